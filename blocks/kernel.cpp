#include "blocks/kernel.h"

// The vectors stay inside this file's inlined helpers, so how a call would pass them is moot.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace quorl_plain {
#include "blocks/kernel_body.inc"
}  // namespace quorl_plain

#ifdef QUORL_AVX2_KERNELS
const square_kernels &Avx2SquareKernelsUnchecked();
#endif

const square_kernels &PlainSquareKernels() { return quorl_plain::kKernels; }

const square_kernels *Avx2SquareKernels() {
#ifdef QUORL_AVX2_KERNELS
    if (__builtin_cpu_supports("avx2")) return &Avx2SquareKernelsUnchecked();
#endif
    return nullptr;
}

const square_kernels &SquareKernels() {
    static const square_kernels *const chosen = [] {
        const square_kernels *avx2 = Avx2SquareKernels();
        return avx2 ? avx2 : &PlainSquareKernels();
    }();
    return *chosen;
}
