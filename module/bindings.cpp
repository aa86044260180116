#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "module/bindings.h"
#include "module/driver.h"
#include "tree/alloc.h"

namespace py = pybind11;

namespace pybind11 {
namespace detail {

// The pair list becomes a list of (list, list) tuples, as the generic conversion would make it,
// but every list entry for one point position is the same int object: entries cost a pointer
// instead of a fresh int each, which is most of the result's memory and conversion time. The
// type name is the one the generic conversion composes, so the signature text is unchanged.
template <>
class type_caster<pair_list> {
public:
    PYBIND11_TYPE_CASTER(pair_list, const_name("List[Tuple[List[int], List[int]]]"));

    bool load(handle, bool) { return false; }  // only ever returned to Python

    static handle cast(const pair_list &src, return_value_policy, handle) {
        std::vector<PyObject *> ints;
        PyObject *result = PyList_New(Py_ssize_t(src.size()));
        bool ok = result != nullptr;
        for (size_t p = 0; ok && p < src.size(); ++p) {
            PyObject *tuple = PyTuple_New(2);
            if (tuple == nullptr) {
                ok = false;
                break;
            }
            PyList_SET_ITEM(result, Py_ssize_t(p), tuple);
            const std::vector<int32_t> *sides[2] = {&src[p].first, &src[p].second};
            for (int k = 0; ok && k < 2; ++k) {
                PyObject *list = PyList_New(Py_ssize_t(sides[k]->size()));
                if (list == nullptr) {
                    ok = false;
                    break;
                }
                PyTuple_SET_ITEM(tuple, k, list);
                Py_ssize_t j = 0;
                for (int32_t index : *sides[k]) {
                    if (size_t(index) >= ints.size()) ints.resize(size_t(index) + 1, nullptr);
                    PyObject *&item = ints[size_t(index)];
                    if (item == nullptr && (item = PyLong_FromLong(index)) == nullptr) {
                        ok = false;
                        break;
                    }
                    Py_INCREF(item);
                    PyList_SET_ITEM(list, j++, item);
                }
            }
        }
        for (PyObject *item : ints) Py_XDECREF(item);
        if (!ok) {
            Py_XDECREF(result);
            throw error_already_set();  // an empty handle would surface as a TypeError
        }
        return result;
    }
};

}  // namespace detail
}  // namespace pybind11

void DefineQuorl(py::module_ &m, bool module_local) {
    PrepareExceptionStorage();
    m.doc() = "Well-separated pair decomposition (QUORL) plugin";
    // build_quorl comes before point is registered, so its signature names the type by its C++
    // name, "point"; that is why the record lives in the global namespace.
    m.def("build_quorl", &run_quorl,
          "The function that computes QUORL following the Callahan and Kosaraju O(n log(n)) "
          "algorithm");
    auto cls = module_local ? py::class_<point>(m, "point", py::module_local())
                            : py::class_<point>(m, "point");
    cls.def(py::init<std::vector<double> &>()).def("coord", &point::coordinates);
}
