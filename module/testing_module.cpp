// _quorl_testing: the very bindings of quorl, compiled into a module of its own together with the
// allocation fault hook, so that tests can fail the k-th core allocation inside a whole
// build_quorl call. The hook's state lives in the core library that each module links, which is
// why the module carries its own build_quorl instead of reaching into quorl's.
#include "common/alloc.h"
#include "module/bindings.h"

PYBIND11_MODULE(_quorl_testing, m) {
    DefineQuorl(m, true);
    m.doc() = "Test hooks for quorl: build_quorl and point as in quorl, plus allocation faults";
    m.def("fail_allocation_at", &SetAllocFailure,
          "Make the k-th following core allocation fail (k >= 1); 0 turns it off. "
          "Also resets allocation_count().");
    m.def("allocation_count", &AllocCount, "Core allocations since the last fail_allocation_at().");
}
