#include "module/point.h"

// piece, key_dim and index get defined first values so that a dump of lists that the tree
// construction has not yet copied shows a null piece rather than garbage.
point::point(std::vector<double> &c)
    : coords(c), piece(nullptr), elts(c.size(), nullptr), key_dim(0), index(0) {}

std::vector<double> &point::coordinates() { return coords; }
