#include "module/bindings.h"

PYBIND11_MODULE(quorl, m) { DefineQuorl(m, false); }
