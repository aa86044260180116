#ifndef QUORL_MODULE_BINDINGS_H
#define QUORL_MODULE_BINDINGS_H

#include <pybind11/pybind11.h>

// Defines, in this order, the module docstring, build_quorl, the class point, its constructor and
// coord. `module_local` registers point for this module only, so that a second module built from
// the same bindings can live in one process beside quorl.
void DefineQuorl(pybind11::module_ &m, bool module_local);

#endif
