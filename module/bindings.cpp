#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "module/driver.h"

namespace py = pybind11;

// build_quorl is defined before point is registered, so its signature names the type by its C++
// name, "point"; that is why the record lives in the global namespace.
PYBIND11_MODULE(quorl, m) {
    m.doc() = "Well-separated pair decomposition (QUORL) plugin";
    m.def("build_quorl", &run_quorl,
          "The function that computes QUORL following the Callahan and Kosaraju O(n log(n)) "
          "algorithm");
    py::class_<point>(m, "point")
        .def(py::init<std::vector<double> &>())
        .def("coord", &point::coordinates);
}
