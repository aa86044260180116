#include "blocks/panels.h"

#include "common/memory.h"
#include "common/parallel.h"

void FillPanels(const double *xs, int32_t n, int32_t d, point_panels &out, int32_t workers) {
    out.n = n;
    out.d = d;
    const int64_t np = out.panels();
    out.v.resize(size_t(np) * size_t(d) * kLanes);
    const int32_t threads = int64_t(n) * d >= (1 << 20) ? UsableThreads(workers) : 1;
    QUORL_OMP(parallel for num_threads(threads) schedule(static) if (threads > 1))
    for (int64_t p = 0; p < np; ++p) {
        double *to = out.panel(p);
        for (int32_t j = 0; j < kLanes; ++j) {
            const int64_t i = std::min<int64_t>(p * kLanes + j, int64_t(n) - 1);
            const double *x = xs + i * d;
            for (int32_t k = 0; k < d; ++k) to[k * kLanes + j] = x[k];
        }
    }
}
