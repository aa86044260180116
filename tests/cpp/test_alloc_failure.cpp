#include <gtest/gtest.h>

#include <new>
#include <random>

#include "check.h"
#include "common/alloc.h"
#include "helpers.h"
#include "module/driver.h"

namespace {

// Leaves the hook switched off whatever way a test ends.
struct NoFailureAfter {
    ~NoFailureAfter() { SetAllocFailure(0); }
};

struct Input {
    const char *name;
    int32_t d;
    std::vector<point> pts;
};

// The last input: random_n distinct points of {0..5}^3, with many ties in every dimension.
std::vector<Input> Inputs(int32_t random_n) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> g(0, 5);
    return {
        {"one point", 2, MakePoints({{1, 2}})},
        {"two points", 1, MakePoints({{0}, {1}})},
        {"2-D example", 2, MakePoints({{0, 0}, {1, 6}, {2, 1}, {3, 8}})},
        {"random points of a 3-D grid", 3,
         DistinctPoints(random_n, 3, [&] { return double(g(rng)); })},
    };
}

}  // namespace

TEST(AllocFailure, BuildTreeReleasesEverythingAtEveryAllocation) {
    NoFailureAfter guard;
    for (Input &in : Inputs(200)) {
        SCOPED_TRACE(in.name);
        const int32_t n = int32_t(in.pts.size());
        mylist *lists = SortedListSet(in.pts, n, in.d);
        SetAllocFailure(0);
        tree_node *root = BuildTree(lists, n, in.d);
        const long total = AllocCount();
        const std::string want = TreeDump(root, in.pts.data(), in.d, true);
        FreeTree(root);
        ASSERT_GE(total, 2);  // at least a node and its center
        for (long k = 1; k <= total; ++k) {
            SCOPED_TRACE("failing allocation " + std::to_string(k) + " of " +
                         std::to_string(total));
            lists = SortedListSet(in.pts, n, in.d);  // BuildTree takes it over, also when it throws
            SetAllocFailure(k);
            try {
                FreeTree(BuildTree(lists, n, in.d));
                ADD_FAILURE() << "no std::bad_alloc";
            } catch (const std::bad_alloc &) {
            }
            SetAllocFailure(0);
            root = BuildOver(in.pts, in.d);
            EXPECT_EQ(TreeDump(root, in.pts.data(), in.d, true), want);
            FreeTree(root);
        }
    }
}

TEST(AllocFailure, RunQuorlReleasesEverythingAtEveryAllocation) {
    NoFailureAfter guard;
    // Fewer random points than above: each step also runs the pair search, twice.
    for (Input &in : Inputs(80)) {
        SCOPED_TRACE(in.name);
        const int32_t n = int32_t(in.pts.size());
        SetAllocFailure(0);
        const pair_list want = run_quorl(n, in.d, 1.0, in.pts);
        const long total = AllocCount();
        ASSERT_GE(total, 1 + in.d + 2);  // the list set, one block per dimension, a leaf
        for (long k = 1; k <= total; ++k) {
            SCOPED_TRACE("failing allocation " + std::to_string(k) + " of " +
                         std::to_string(total));
            SetAllocFailure(k);
            EXPECT_THROW(run_quorl(n, in.d, 1.0, in.pts), std::bad_alloc);
            SetAllocFailure(0);
            EXPECT_TRUE(run_quorl(n, in.d, 1.0, in.pts) == want);
        }
    }
}

// The compact path: the checks' tables are plain vectors, every core array is counted.
TEST(AllocFailure, RunQuorlCompactReleasesEverythingAtEveryAllocation) {
    NoFailureAfter guard;
    for (Input &in : Inputs(80)) {
        SCOPED_TRACE(in.name);
        const int32_t n = int32_t(in.pts.size());
        auto spelled = [&]() { return SpelledOut(run_quorl_compact(n, in.d, 1.0, in.pts)); };
        SetAllocFailure(0);
        const pair_list want = run_quorl(n, in.d, 1.0, in.pts);
        SetAllocFailure(0);
        ASSERT_TRUE(spelled() == want);
        const long total = AllocCount();
        ASSERT_GE(total, 5);  // coordinates, the tree's arrays, the sorted ids, the pair block
        for (long k = 1; k <= total; ++k) {
            SCOPED_TRACE("failing allocation " + std::to_string(k) + " of " +
                         std::to_string(total));
            SetAllocFailure(k);
            EXPECT_THROW(run_quorl_compact(n, in.d, 1.0, in.pts), std::bad_alloc);
            SetAllocFailure(0);
            EXPECT_TRUE(spelled() == want);
        }
    }
}

TEST(AllocFailure, SortPointsAndListCopyAllocateNothingWhenTheyFail) {
    NoFailureAfter guard;
    std::vector<point> pts = MakePoints({{2, 0}, {1, 1}, {0, 2}});
    list_elt sentinel;
    mylist list = {&sentinel, nullptr, nullptr};
    SetAllocFailure(1);
    EXPECT_THROW(SortPoints(pts.data(), 3, 0, &list), std::bad_alloc);
    EXPECT_TRUE(list.base == &sentinel && list.head == nullptr && list.tail == nullptr);

    SetAllocFailure(0);
    mylist *src = SortedListSet(pts, 3, 2);
    SetAllocFailure(1);
    EXPECT_THROW(ListCopy(&src[1], &list, 3), std::bad_alloc);
    EXPECT_TRUE(list.base == &sentinel && list.head == nullptr && list.tail == nullptr);
    EXPECT_EQ(ListLinkError(src[1], 3), "");
    FreeListSet(src, 2);
}
