#include "module/bindings.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "common/alloc.h"
#include "module/driver.h"
#include "module/released.h"

namespace py = pybind11;

py::list PairLists(const int32_t *order, size_t n, const int32_t *start, const int32_t *size,
                   const int32_t *pairs, size_t count) {
    // Hundreds of thousands of new lists would start a cyclic collection every few hundred of
    // them, each walking the ever larger young result: two thirds of the time. The result holds
    // no cycles; collection resumes, as it was, once it is built.
    struct gc_pause {
        int was_enabled = PyGC_Disable();
        ~gc_pause() {
            if (was_enabled) PyGC_Enable();
        }
    } pause;
    std::vector<py::object> ints;
    ints.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        ints.push_back(py::reinterpret_steal<py::object>(PyLong_FromLong(order[i])));
        if (!ints.back()) throw py::error_already_set();
    }
    py::list result(count);  // throws error_already_set on failure
    for (size_t p = 0; p < count; ++p) {
        // Millions of pairs take seconds: let Ctrl-C's handler run meanwhile.
        if ((p & 0xFFFF) == 0xFFFF && PyErr_CheckSignals() != 0) throw py::error_already_set();
        PyObject *tuple = PyTuple_New(2);
        if (tuple == nullptr) throw py::error_already_set();
        PyList_SET_ITEM(result.ptr(), Py_ssize_t(p), tuple);
        for (int k = 0; k < 2; ++k) {
            const size_t node = size_t(pairs[2 * p + size_t(k)]);
            PyObject *side = PyList_New(size[node]);
            if (side == nullptr) throw py::error_already_set();
            PyTuple_SET_ITEM(tuple, k, side);
            const py::object *from = ints.data() + start[node];
            for (int32_t j = 0; j < size[node]; ++j) {
                PyObject *item = from[j].ptr();
                Py_INCREF(item);
                PyList_SET_ITEM(side, j, item);
            }
        }
    }
    return result;
}

namespace pybind11 {
namespace detail {

// The decomposition reaches Python as the list of (list, list) tuples that the generic conversion
// of a pair list would make, built straight from the node pairs and the leaf order: no C++ index
// lists are spelled out first, and every entry for one point position is the same int object, so
// an entry costs a pointer instead of a fresh int. The type name is the one the generic conversion
// composes for a pair list, so the signature text is unchanged.
template <>
class type_caster<compact_pairs> {
  public:
    PYBIND11_TYPE_CASTER(compact_pairs, const_name("List[Tuple[List[int], List[int]]]"));

    bool load(handle, bool) { return false; }  // only ever returned to Python

    static handle cast(const compact_pairs &src, return_value_policy, handle) {
        const flat_tree &t = src.tree;
        return PairLists(t.order.data(), t.order.size(), t.start.data(), t.size.data(),
                         src.pairs.ids(), src.pairs.pairs())
            .release();
    }
};

}  // namespace detail
}  // namespace pybind11

void DefineQuorl(py::module_ &m, bool module_local) {
    PrepareExceptionStorage();
    m.doc() = "Well-separated pair decomposition (QUORL) plugin";
    // build_quorl comes before point is registered, so its signature names the type by its C++
    // name, "point"; that is why the record lives in the global namespace.
    // A lambda, so that the Python signature stays the four arguments it always had; the pairs
    // are guarded against exhausting memory as quorlkit's are, on the calling thread only.
    m.def(
        "build_quorl",
        [](int32_t n, int32_t d, double s, const std::vector<point> &points) {
            released_call call;
            compact_pairs result;
            call.Run([&] { result = run_quorl_compact(n, d, s, points); });
            return result;
        },
        "The function that computes QUORL following the Callahan and Kosaraju O(n log(n)) "
        "algorithm");
    auto cls = module_local ? py::class_<point>(m, "point", py::module_local())
                            : py::class_<point>(m, "point");
    cls.def(py::init<std::vector<double> &>()).def("coord", &point::coordinates);
}
