// The kernels built for AVX2 (without FMA, which would round differently); only called where the
// processor has it.
#include "blocks/kernel.h"

namespace quorl_avx2 {
#include "blocks/kernel_body.inc"
}  // namespace quorl_avx2

const square_kernels &Avx2SquareKernelsUnchecked() { return quorl_avx2::kKernels; }
