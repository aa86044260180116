// The deepest fair split trees that doubles allow, decomposed on a thread with a 1 MiB stack.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "check.h"
#include "helpers.h"
#include "module/driver.h"
#include "pairs/search.h"

namespace {

typedef std::vector<std::vector<double>> rows_t;

// 2^e raised by `step` ulps of its mantissa: successive exponents then differ by a factor a little
// above 2, so the midpoint cut passes strictly below the largest point and takes it alone.
double Spaced(int e, int step) { return std::ldexp(1.0 + step * 0x1p-52, e); }

// Points on every axis at 2^e (or Spaced) for e in [lo, hi], on the negative half too when
// `both`. All but one point of a box sit at 0 in its longest dimension, so a cut takes one or
// two points and the tree is a path with single leaves hanging off it.
rows_t Axes(int d, int lo, int hi, bool spaced, bool both) {
    rows_t rows;
    for (int k = 0; k < d; ++k)
        for (int e = lo; e <= hi; ++e)
            for (double sign : {1.0, -1.0})
                if (sign > 0 || both) {
                    rows.emplace_back(size_t(d), 0.0);
                    const double x = spaced ? Spaced(e, e - lo) : std::ldexp(1.0, e);
                    rows.back()[size_t(k)] = sign * x;
                }
    return rows;
}

// (2^i, 0) for i = 0..510 and (0, 2^-j) for j = 1..1074: long x sides first, then tiny y ones.
rows_t Mixed() {
    rows_t rows;
    for (int i = 0; i <= 510; ++i) rows.push_back({std::ldexp(1.0, i), 0.0});
    for (int j = 1; j <= 1074; ++j) rows.push_back({0.0, std::ldexp(1.0, -j)});
    return rows;
}

// The origin and ±w_k on axis k with w_k growing by more than 2 per axis: every cut goes through
// the plane holding all the smaller points, which go with the side cut off (a tie), so that side
// is a nested BuildTree call over nearly all points, one nesting level per dimension.
rows_t Cascade(int d) {
    rows_t rows(1, std::vector<double>(size_t(d), 0.0));
    for (int k = 0; k < d; ++k)
        for (double sign : {1.0, -1.0}) {
            rows.emplace_back(size_t(d), 0.0);
            rows.back()[size_t(k)] = sign * Spaced(k - d / 2, k);
        }
    return rows;
}

// Depths that the construction reaches on a tree, counted without running it: tree height
// (edges), nested BuildTree calls (a chain continues while the rest holds more than half of the
// call's points), the deepest chain of FindWSP2 splits, and the deepest FindWSP + FindWSP2 + dfs
// nesting of the pair search as its rules are written recursively.
struct Depths {
    int height = 0, build = 0, wsp2 = 0, frames = 0;
};

Depths Measure(tree_node *root, int32_t n, int32_t d, double s) {
    Depths out;
    struct Item {
        tree_node *t;
        int depth, call, nest;
    };
    std::vector<Item> order, work{{root, 0, n, 1}};
    while (!work.empty()) {  // pre-order: every parent before its children
        Item it = work.back();
        work.pop_back();
        order.push_back(it);
        out.height = std::max(out.height, it.depth);
        out.build = std::max(out.build, it.nest);
        if (it.t->pt != nullptr) continue;
        work.push_back({it.t->right, it.depth + 1, it.t->right->size, it.nest + 1});
        const bool chained = it.t->left->size > it.call / 2;
        work.push_back({it.t->left, it.depth + 1, chained ? it.call : it.t->left->size,
                        chained ? it.nest : it.nest + 1});
    }
    // dfs recurses into left children and loops over right ones.
    std::unordered_map<const tree_node *, int> dfs;
    for (size_t i = order.size(); i-- > 0;) {
        const tree_node *t = order[i].t;
        dfs[t] = t->pt ? 1 : std::max(1 + dfs[t->left], dfs[t->right]);
    }
    for (const Item &it : order) {
        if (it.t->pt != nullptr) continue;
        struct Call {
            tree_node *a, *b;
            int level;
        };
        std::vector<Call> calls{{it.t->left, it.t->right, 1}};
        while (!calls.empty()) {
            Call c = calls.back();
            calls.pop_back();
            out.wsp2 = std::max(out.wsp2, c.level);
            const bool a_leaf = c.a->pt != nullptr, b_leaf = c.b->pt != nullptr;
            const double r = std::max(c.a->radius, c.b->radius);
            if ((a_leaf && b_leaf) || Separated(CenterDistance(c.a, c.b, d), r, s)) {
                const int frames = it.depth + 1 + c.level + std::max(dfs[c.a], dfs[c.b]);
                out.frames = std::max(out.frames, frames);
            } else if ((c.a->radius > c.b->radius && !a_leaf) || b_leaf) {
                calls.push_back({c.a->right, c.b, c.level + 1});
                calls.push_back({c.a->left, c.b, c.level + 1});
            } else {
                calls.push_back({c.a, c.b->right, c.level + 1});
                calls.push_back({c.a, c.b->left, c.level + 1});
            }
        }
    }
    return out;
}

#if defined(__SANITIZE_ADDRESS__)
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif

struct Job {
    std::vector<point> *pts;
    int32_t d;
    double s;
    pair_list pairs;
    std::string error;
    double seconds = 0;
    long stack_used = -1;  // bytes the call wrote more than 4 KiB below the thread's entry frame
};

// Stack addresses as integers: the painted bytes belong to no object.
void Paint(uintptr_t low, uintptr_t top) {
    for (uintptr_t a = low; a < top; ++a) *reinterpret_cast<volatile unsigned char *>(a) = 0xA5;
}

uintptr_t FirstWritten(uintptr_t low, uintptr_t top) {
    while (low < top && *reinterpret_cast<volatile unsigned char *>(low) == 0xA5) ++low;
    return low;
}

void *Work(void *arg) {
    Job &job = *static_cast<Job *>(arg);
    uintptr_t low = 0, top = 0;
    if (!kSanitized) {  // paint the unused stack to see afterwards how deep the call went
        pthread_attr_t attr;
        void *addr;
        size_t size;
        pthread_getattr_np(pthread_self(), &attr);
        pthread_attr_getstack(&attr, &addr, &size);
        pthread_attr_destroy(&attr);
        low = reinterpret_cast<uintptr_t>(addr) + 16384;
        top = reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) - 4096;
        Paint(low, top);
    }
    const auto start = std::chrono::steady_clock::now();
    try {
        const int32_t n = int32_t(job.pts->size());
        job.pairs = run_quorl(n, job.d, job.s, *job.pts);
        // The array build and its search must manage the same depth and agree pair for pair.
        if (SpelledOut(run_quorl_compact(n, job.d, job.s, *job.pts)) != job.pairs)
            job.error = "run_quorl_compact differs from run_quorl";
    } catch (const std::exception &e) {
        job.error = e.what();
    }
    job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (low != 0) job.stack_used = long(top - FirstWritten(low, top));
    return nullptr;
}

void RunOnThread(Job &job, size_t stack_bytes) {
    pthread_attr_t attr;
    pthread_t thread;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, stack_bytes), 0);
    ASSERT_EQ(pthread_create(&thread, &attr, Work, &job), 0);
    pthread_attr_destroy(&attr);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
}

struct DeepCase {
    const char *name;
    int32_t d;
    rows_t (*rows)();
    int min_height;  // argued from the construction, so that the case stays as deep as meant
};

// Spaced axes of normal numbers: every cut takes exactly one point, so the height is n - 1
// (among subnormals the ulp steps vanish and a cut may take two). Exact powers: a cut may land on
// the second largest point once the smallest no longer counts (53 bits), so a cut takes at most
// two points. Signed axes: the cut at 0 sends all points at 0 with the negative half (a tie), so
// d - 1 nested calls lead to the d negative half-axes, then one point per cut; the pair search
// then descends both halves of the root together. Tie cascade: one nested call per dimension.
const DeepCase kCases[] = {
    {"PowersUp", 1, [] { return Axes(1, 0, 511, false, false); }, 511 / 2},
    {"PowersDownToSubnormal", 1, [] { return Axes(1, -1074, 0, false, false); }, 1074 / 2},
    {"PowersFullRange", 1, [] { return Axes(1, -1074, 511, false, false); }, 1585 / 2},
    {"PowersBothSigns", 1, [] { return Axes(1, -1074, 510, false, true); }, 1584 / 2},
    {"SpacedNormalRange", 1, [] { return Axes(1, -1022, 511, true, false); }, 1533},
    {"BigXTinyY", 2, Mixed, 1584 / 2},
    {"SpacedAxes2D", 2, [] { return Axes(2, -1074, 510, true, false); }, 1585},
    {"SignedSpacedAxes3D", 3, [] { return Axes(3, -400, 400, true, true); }, 3 * 801},
    {"SignedSpacedAxes6D", 6, [] { return Axes(6, -400, 400, true, true); }, 6 * 801},
    {"SpacedAxes8D", 8, [] { return Axes(8, -500, 500, true, false); }, 8007},
    {"TieCascade200D", 200, [] { return Cascade(200); }, 200},
};

class Deep : public ::testing::TestWithParam<DeepCase> {};

TEST_P(Deep, DecomposesOnOneMebibyteStack) {
    const DeepCase &c = GetParam();
    std::vector<point> pts = MakePoints(c.rows());
    const int32_t n = int32_t(pts.size());
    const double s = 1.0;
    tree_node *root = BuildOver(pts, c.d);
    const Depths depth = Measure(root, n, c.d, s);
    FreeTree(root);
    EXPECT_GE(depth.height, c.min_height);
    // Printed before the run, so that a stack overflow still shows the depths it met.
    printf("%-20s n=%-5d d=%-3d height=%-5d BuildTree=%-3d FindWSP2=%-4d frames=%-5d\n", c.name, n,
           c.d, depth.height, depth.build, depth.wsp2, depth.frames);
    fflush(stdout);

    Job job{&pts, c.d, s, {}, {}};
    RunOnThread(job, size_t(1) << 20);
    ASSERT_EQ(job.error, "");
    EXPECT_EQ(CheckDecomposition(job.pairs, pts, n, c.d, s), "");
    printf("%-20s pairs=%zu time=%.3fs stack beyond 4 KiB=%ld bytes\n", c.name, job.pairs.size(),
           job.seconds, job.stack_used);
}

INSTANTIATE_TEST_SUITE_P(Adversarial, Deep, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<DeepCase> &param) {
                             return std::string(param.param.name);
                         });

// Recursion over the tree would need a frame per level: a path of 8000 edges, or a pair search
// descending two halves of 4800 levels each, then takes hundreds of KiB. The stack the call uses
// must not grow with the height of the tree (BuildTree nests only per halving or tie cascade).
TEST(DeepStack, DoesNotGrowWithTreeHeight) {
    if (kSanitized) GTEST_SKIP() << "stack use is measured in the plain build";
    long base = 0;
    for (const char *name : {"PowersUp", "SpacedAxes8D", "SignedSpacedAxes6D", "PowersBothSigns"}) {
        const DeepCase *c = kCases;
        while (std::string(c->name) != name) ++c;
        std::vector<point> pts = MakePoints(c->rows());
        Job job{&pts, c->d, 1.0, {}, {}};
        RunOnThread(job, size_t(64) << 20);  // room for recursion, so that it can be measured
        ASSERT_EQ(job.error, "");
        if (c == kCases) base = job.stack_used;  // PowersUp, the shallowest
        EXPECT_LT(job.stack_used - base, 32 << 10)
            << name << " used " << job.stack_used << " stack bytes, PowersUp " << base;
    }
}

}  // namespace
