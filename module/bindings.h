#ifndef QUORL_MODULE_BINDINGS_H
#define QUORL_MODULE_BINDINGS_H

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>

// Defines, in this order, the module docstring, build_quorl, the class point, its constructor and
// coord. `module_local` registers point for this module only, so that a second module built from
// the same bindings can live in one process beside quorl.
void DefineQuorl(pybind11::module_ &m, bool module_local);

// build_quorl's result from node pairs: for each pair p, the tuple of the two lists
// order[start[a], start[a] + size[a]) and likewise for b, where a = pairs[2p] and b = pairs[2p+1].
// Every entry for one position is the same int object. The caller vouches that every run lies
// within order. Throws pybind11::error_already_set (MemoryError) when Python runs out of memory.
pybind11::list PairLists(const int32_t *order, size_t n, const int32_t *start, const int32_t *size,
                         const int32_t *pairs, size_t count);

#endif
