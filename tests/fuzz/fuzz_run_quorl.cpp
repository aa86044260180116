// libFuzzer target for the whole decomposition. Bytes become n, d, s and points: an input that
// starts with 0xFF spells out the call (Literal), any other is decoded by Generated. Most generated
// inputs are meant to be accepted, so that they reach the tree and the pair search; the rest carry
// one or two faults: NaN, infinities, coordinates above DBL_MAX / 2, extents whose squares
// overflow, equal points (also -0.0 against 0.0), short points, n and d at and beyond their
// limits. Every run must be refused exactly when the documented limits say so, with
// std::invalid_argument (std::length_error for d < 0), or else leave the coordinates untouched
// and return a decomposition that passes CheckDecomposition; anything else aborts. The same
// points, equal ones allowed, must pass check_points_array exactly when those limits (but for equal
// points and s) say so, and then EuclideanMST must give brute-force Kruskal's tree and
// GreedySpanner a graph that joins every pair within its stretch.
//
// tests/fuzz/fuzz_build_quorl.py decodes bytes the same way: keep the two in step.
// QUORL_FUZZ_STATS=1 prints at exit how many inputs were accepted.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "../cpp/check.h"
#include "../cpp/kruskal.h"
#include "../cpp/stretch.h"
#include "module/driver.h"
#include "mst/emst.h"
#include "spanner/spanner.h"

namespace {

// Reads front to back; past the end every read gives 0, so short inputs still decode.
class Bytes {
  public:
    Bytes(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
    // Little endian; each read is its own statement, as the order of operands is unspecified.
    uint8_t U8() { return p_ < end_ ? *p_++ : 0; }
    uint16_t U16() {
        const uint16_t low = U8();
        return uint16_t(low | U8() << 8);
    }
    uint32_t U32() {
        const uint32_t low = U16();
        return low | uint32_t(U16()) << 16;
    }
    uint64_t U64() {
        const uint64_t low = U32();
        return low | uint64_t(U32()) << 32;
    }
    double F64() {
        const uint64_t bits = U64();
        double x;
        memcpy(&x, &bits, sizeof x);
        return x;
    }
    int Range(int lo, int hi) {  // inclusive; hi - lo < 65536
        const unsigned span = unsigned(hi - lo) + 1;
        return lo + int((span <= 256 ? U8() : U16()) % span);
    }

  private:
    const uint8_t *p_, *end_;
};

const double kHalfMax = DBL_MAX / 2;
const double kCenters[] = {0.0,      1.0,       -1.0,   1e-300, 2.2250738585072014e-308,
                           5e-324,   1e154,     -1e154, 1e300,  -1e300,
                           kHalfMax, -kHalfMax, 0.1,    1e-10,  12345.678};

// kMixed draws one of the first four styles per dimension, kJumble per coordinate.
enum Style { kGrid, kPow2, kCluster, kScaled, kMixed, kJumble, kRaw };

struct Params {
    int style, grid, pow_lo, pow_span, cluster_k, scaled_exp;
    double center, step;
    int dim_style[8];
};

double Coordinate(Bytes &in, const Params &p, int style) {
    switch (style) {
        case kGrid: {  // heavy ties; zero comes as 0.0 or -0.0
            const int v = in.Range(-p.grid, p.grid);
            return v == 0 && (in.U8() & 1) ? -0.0 : double(v);
        }
        case kPow2: {  // exponentially spaced: the deepest trees
            const int e = std::min(p.pow_lo + in.Range(0, p.pow_span), 510);
            const int sign = in.U8() % 3;
            return sign == 2 ? 0.0 : std::ldexp(sign ? -1.0 : 1.0, e);
        }
        // A few ulps toward zero from one value; near the double range only a constant dimension
        // (k = 0) is accepted, since one ulp squared overflows there.
        case kCluster: {
            const double k = in.Range(0, p.cluster_k);
            return p.center - std::copysign(k * p.step, p.center);
        }
        // 16-bit mantissas at one exponent: subnormals when it is low, squared extents at the
        // edge of overflow from 496 on.
        case kScaled:
            return std::ldexp(double(int16_t(in.U16())), p.scaled_exp);
        case kJumble:
            return Coordinate(in, p, in.Range(kGrid, kScaled));
        default:
            return in.F64();
    }
}

double Separation(Bytes &in) {
    static const double kS[] = {0.0, 0.5, 1.0, 1.5, 2.0, 3.0, 5.0, 10.0, -1.0, 1e-300, 1e300};
    const uint8_t b = in.U8();
    if (b < 200) return kS[b % std::size(kS)];
    if (b < 250) return double(in.U16()) / 1024.0 - 4.0;
    return in.F64();  // anything, non-finite included
}

bool Equal(const point &a, const point &b, int32_t d) {
    for (int32_t k = 0; k < d; ++k)
        if (!(a.coords[size_t(k)] == b.coords[size_t(k)])) return false;
    return true;
}

struct Input {
    int32_t n = 0, d = 0;
    double s = 0.0;
    std::vector<point> pts;
};

void AddPoint(Input &in, std::vector<double> c) { in.pts.emplace_back(c); }

// One fault, in place.
void Poison(Bytes &in, Input &x) {
    const int count = int(x.pts.size());
    const int i = count ? in.Range(0, count - 1) : 0, j = count ? in.Range(0, count - 1) : 0;
    std::vector<double> *c = count ? &x.pts[size_t(i)].coords : nullptr;
    const size_t k = c && !c->empty() ? in.Range(0, int(c->size()) - 1) : 0;
    static const double kNonFinite[] = {NAN, INFINITY, -INFINITY};
    static const double kHuge[] = {std::nextafter(kHalfMax, INFINITY),
                                   -std::nextafter(kHalfMax, INFINITY),
                                   DBL_MAX,
                                   -DBL_MAX,
                                   kHalfMax,
                                   -kHalfMax};
    static const double kOddS[] = {NAN, INFINITY, -INFINITY, -0.0, 5e-324, DBL_MAX};
    const int32_t bad_n[] = {int32_t(count) + 1, int32_t(count) + 2, -1, INT32_MIN, INT32_MAX, 0};
    const int32_t bad_d[] = {0, -1, INT32_MIN, INT32_MAX, x.d < INT32_MAX ? x.d + 1 : 0};
    switch (in.U8() % 8) {
        case 0:
            if (c && !c->empty()) (*c)[k] = kNonFinite[in.U8() % 3];
            break;
        case 1:
            if (c && !c->empty()) (*c)[k] = kHuge[in.U8() % 6];
            break;
        case 2:  // a copy, zeros with the other sign
            if (count) {
                std::vector<double> copy = x.pts[size_t(j)].coords;
                for (double &v : copy)
                    if (v == 0 && (in.U8() & 1)) v = -v;
                x.pts[size_t(i)] = point(copy);
            }
            break;
        case 3:
            if (c) {
                c->resize(size_t(in.Range(0, int(c->size()))));
                x.pts[size_t(i)] = point(*c);
            }
            break;
        case 4:
            x.n = bad_n[in.U8() % 6];
            break;
        case 5:
            x.d = bad_d[in.U8() % 5];
            break;
        case 6:
            x.s = kOddS[in.U8() % 6];
            break;
        default:  // stretch one coordinate so that the squared extents overflow
            if (c && !c->empty()) (*c)[k] = std::copysign(1e154 * in.Range(1, 8), (*c)[k]);
            break;
    }
}

Input Generated(Bytes &in) {
    Input x;
    const uint8_t h = in.U8(), h2 = in.U8();
    const uint8_t b = in.U8();
    x.d = b < 192 ? 1 + b % 3 : 4 + b % 5;
    static const int kSizes[] = {8, 24, 64, 300};
    static const int kStyles[] = {kGrid, kPow2, kCluster, kScaled, kMixed, kRaw, kJumble, kGrid};
    static const int kExponents[] = {-1074, -1073, -1060, -1022, -1000, -600, -60, -10, 0,
                                     10,    60,    480,   490,   494,   495,  496, 497};
    const int size = kSizes[h2 & 3];
    const int target = in.Range(1, size);
    Params p;
    p.style = kStyles[h & 7];
    p.grid = in.Range(1, 8);
    p.pow_lo = in.Range(-1074, 510);
    p.pow_span = h2 & 4 ? in.Range(0, 1584) : in.Range(0, 63);
    if (in.U8() % 4) {
        p.center = kCenters[in.U8() % std::size(kCenters)];
    } else {
        const double mantissa = int16_t(in.U16());
        p.center = std::ldexp(mantissa, in.Range(-1074, 1000));
    }
    const double mag = std::fabs(p.center);
    p.step = std::ldexp(std::max(std::nextafter(mag, INFINITY) - mag, 5e-324), in.Range(0, 4));
    p.cluster_k = in.Range(0, 32);
    const uint8_t pick = in.U8();
    p.scaled_exp = pick < 128 ? in.Range(-1074, 500) : kExponents[pick % std::size(kExponents)];
    for (int32_t k = 0; k < x.d; ++k)
        p.dim_style[k] = p.style == kMixed ? in.Range(kGrid, kScaled) : p.style;

    // Distinct points only, so that equal points come from Poison alone.
    for (int i = 0; i < target; ++i) {
        std::vector<double> c;
        for (int32_t k = 0; k < x.d; ++k) c.push_back(Coordinate(in, p, p.dim_style[k]));
        if (in.U8() % 8 == 0)  // coordinates past d are never read
            for (int extra = in.Range(1, 2); extra > 0; --extra) c.push_back(in.F64());
        point q(c);
        bool seen = false;
        for (const point &r : x.pts) seen = seen || Equal(q, r, x.d);
        if (!seen) x.pts.push_back(q);
    }
    x.n = int32_t(x.pts.size());
    if ((h2 & 24) == 24) x.n = in.Range(0, x.n);  // the points after n are never read
    x.s = Separation(in);
    if (h2 & 32)  // junk after the first n: never read either
        for (int extra = in.Range(1, 3); extra > 0; --extra) {
            std::vector<double> c;
            for (int dims = in.Range(0, x.d + 1); dims > 0; --dims) c.push_back(in.F64());
            AddPoint(x, c);
        }
    for (int faults = (h >> 3 & 3) == 3 ? 1 + (h >> 5 & 1) : 0; faults > 0; --faults) Poison(in, x);
    return x;
}

// 0xFF, int32 n, int32 d, double s, u8 count, then per point u8 dims and dims doubles: any call,
// written by hand (tests/fuzz/make_seeds.py).
Input Literal(Bytes &in) {
    Input x;
    x.n = int32_t(in.U32());
    x.d = int32_t(in.U32());
    x.s = in.F64();
    for (int count = in.U8(); count > 0; --count) {
        std::vector<double> c;
        for (int dims = in.U8() % 17; dims > 0; --dims) c.push_back(in.F64());
        AddPoint(x, c);
    }
    return x;
}

enum Verdict { kAccept, kRefuse, kNegativeD };

// The documented limits, checked independently of the driver; for the spanning tree (for_mst)
// there is no s and equal points are allowed.
Verdict Expected(const Input &x, bool for_mst = false) {
    if (x.n < 0 || size_t(x.n) > x.pts.size()) return kRefuse;
    if (x.d < 0) return kNegativeD;
    if (x.d == 0 || (!for_mst && !std::isfinite(x.s))) return kRefuse;
    if (x.n == 0) return kAccept;
    std::vector<std::vector<double>> used;
    for (int32_t i = 0; i < x.n; ++i) {
        const std::vector<double> &c = x.pts[size_t(i)].coords;
        if (c.size() < size_t(x.d)) return kRefuse;
        used.emplace_back(c.begin(), c.begin() + x.d);
        for (double &v : used.back()) {
            if (!std::isfinite(v) || std::fabs(v) > kHalfMax) return kRefuse;
            v += 0.0;  // -0.0 and 0.0 are the same coordinate
        }
    }
    double sum = 0.0;
    for (int32_t k = 0; k < x.d; ++k) {
        double lo = used[0][size_t(k)], hi = lo;
        for (const std::vector<double> &c : used) {
            lo = std::min(lo, c[size_t(k)]);
            hi = std::max(hi, c[size_t(k)]);
        }
        sum = sum + (hi - lo) * (hi - lo);
    }
    if (!std::isfinite(sum)) return kRefuse;
    if (for_mst) return kAccept;
    std::sort(used.begin(), used.end());
    return std::adjacent_find(used.begin(), used.end()) == used.end() ? kAccept : kRefuse;
}

size_t runs = 0, accepted = 0, accepted_points = 0;

void PrintStats() {
    fprintf(stderr,
            "quorl_fuzz: %zu of %zu inputs accepted (%.1f%%), %.1f points per accepted"
            " call\n",
            accepted, runs, runs ? 100.0 * double(accepted) / double(runs) : 0.0,
            accepted ? double(accepted_points) / double(accepted) : 0.0);
}

[[noreturn]] void Fail(const Input &x, const char *what) {
    fprintf(stderr, "n=%d d=%d s=%.17g points=%zu: %s\n", x.n, x.d, x.s, x.pts.size(), what);
    abort();
}

// Brute force is O(n^2 log n); up to the largest generated sets it costs no more than the
// decomposition itself.
const int32_t kMaxMstPoints = 300;
// Dijkstra from every point: n^2 log n again, on fewer points.
const int32_t kMaxSpannerPoints = 120;

// The spanning tree of the first n points, where they make an array of n rows of d.
void CheckEmst(const Input &x) {
    if (x.n < 0 || size_t(x.n) > x.pts.size() || x.d < 1) return;
    std::vector<double> xs;
    for (int32_t i = 0; i < x.n; ++i) {
        const std::vector<double> &c = x.pts[size_t(i)].coords;
        if (c.size() < size_t(x.d)) return;
        xs.insert(xs.end(), c.begin(), c.begin() + x.d);
    }
    const bool accept = Expected(x, true) == kAccept;
    try {
        check_points_array(x.n, x.d, xs.data());
    } catch (const std::invalid_argument &e) {
        if (accept) Fail(x, (std::string("check_points_array refused: ") + e.what()).c_str());
        return;
    }
    if (!accept) Fail(x, "check_points_array accepted points outside the limits");
    if (x.n > kMaxMstPoints) return;
    const std::string diff = CompareWithKruskal(EuclideanMST(xs.data(), x.n, x.d),
                                                KruskalMST(xs.data(), x.n, x.d));
    if (!diff.empty()) Fail(x, ("EuclideanMST: " + diff).c_str());
    // The same rounds under the mutual reachability, with a min_samples and alpha from n.
    if (x.n < 1) return;
    const int32_t ms = 1 + int32_t(unsigned(x.n) % 7u) % x.n;
    const double alpha = x.n % 2 ? 1.0 : 0.75;
    checked_vector<double> core;
    const emst_edges got = MutualReachabilityMST(xs.data(), x.n, x.d, ms, alpha, core);
    const reach_tree want = KruskalReachMST(xs, x.n, x.d, ms, alpha);
    if (std::vector<int64_t>(got.ends.begin(), got.ends.end()) != want.ends ||
        std::vector<double>(got.lengths.begin(), got.lengths.end()) != want.w ||
        std::vector<double>(core.begin(), core.end()) != want.core)
        Fail(x, "MutualReachabilityMST differs from Kruskal's tree under its key");
    if (x.n > kMaxSpannerPoints) return;
    // The stretch from the input's own s, folded into 1 < t <= 3.
    const double t = 1.0 + (std::isfinite(x.s) ? std::fmod(std::fabs(x.s), 2.0) : 0.5) + 1e-3;
    const std::string stretch = CheckStretch(xs.data(), x.n, x.d, t,
                                             GreedySpanner(xs.data(), x.n, x.d, t, INT64_MAX));
    if (!stretch.empty()) Fail(x, ("GreedySpanner: " + stretch).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *stats = getenv("QUORL_FUZZ_STATS");
    if (stats && *stats && strcmp(stats, "0") != 0) atexit(PrintStats);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Bytes in(data, size);
    Input x = size && data[0] == 0xFF ? (in.U8(), Literal(in)) : Generated(in);
    const Verdict expected = Expected(x);
    const std::vector<point> before = x.pts;
    ++runs;
    CheckEmst(x);
    // The array path must refuse exactly what the list path refuses, with the same words.
    std::string compact_refusal;
    compact_pairs compact;
    try {
        compact = run_quorl_compact(x.n, x.d, x.s, x.pts);
    } catch (const std::logic_error &e) {
        compact_refusal = e.what();
    }
    pair_list pairs;
    try {
        pairs = run_quorl(x.n, x.d, x.s, x.pts);
    } catch (const std::invalid_argument &e) {
        if (expected != kRefuse) Fail(x, e.what());
        if (compact_refusal != e.what()) Fail(x, "the array path refused otherwise");
        return 0;
    } catch (const std::length_error &e) {
        if (x.d >= 0) Fail(x, e.what());  // n may be out of range too: either refusal will do
        if (compact_refusal != e.what()) Fail(x, "the array path refused otherwise");
        return 0;
    }
    if (!compact_refusal.empty()) Fail(x, ("the array path refused: " + compact_refusal).c_str());
    // ... and otherwise give the very same pairs, spelled out from its node pairs.
    if (compact.pairs.pairs() != pairs.size()) Fail(x, "the array path found another pair count");
    if (SpelledOut(compact) != pairs) Fail(x, "the array path found another pair");
    // The tree is the same to the bit however it is built: from sorted lists throughout, or with
    // lists taking over from the passes over arrays at once.
    if (x.n > 0) {
        std::vector<double> xs;
        for (int32_t i = 0; i < x.n;
             ++i) {  // the call reads the first n points, d coordinates each
            const std::vector<double> &c = x.pts[size_t(i)].coords;
            xs.insert(xs.end(), c.begin(), c.begin() + x.d);
        }
        for (double sort_after : {0.0, 1.0}) {
            const flat_tree t = BuildFlatTree(xs.data(), x.n, x.d, sort_after);
            if (t.order != compact.tree.order || t.start != compact.tree.start ||
                t.size != compact.tree.size ||
                memcmp(t.box.data(), compact.tree.box.data(), sizeof(double) * t.box.size()) != 0)
                Fail(x, "the tree builds disagree");
        }
    }
    ++accepted;
    accepted_points += size_t(x.n);
    if (expected != kAccept) Fail(x, "accepted a call outside the limits");
    for (size_t i = 0; i < x.pts.size(); ++i)
        if (x.pts[i].coords.size() != before[i].coords.size() ||
            (!x.pts[i].coords.empty() && memcmp(x.pts[i].coords.data(), before[i].coords.data(),
                                                sizeof(double) * x.pts[i].coords.size()) != 0))
            Fail(x, "coordinates changed");
    const std::string failure = CheckDecomposition(pairs, x.pts, x.n, x.d, x.s);
    if (!failure.empty()) Fail(x, failure.c_str());
    return 0;
}
