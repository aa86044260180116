#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>

#include "helpers.h"

namespace {

// Points 0..3 lie in ascending order in dimension 0 and in descending order in dimension 1, so
// each end point is the head of one list and the tail of the other.
std::vector<point> Crossed() { return MakePoints({{0, 3}, {1, 2}, {2, 1}, {3, 0}}); }

// Every link of every list, to see whether an operation changed any of them.
std::vector<const void *> LinkSnapshot(const mylist *lists, int32_t d) {
    std::vector<const void *> s;
    for (int32_t k = 0; k < d; ++k) {
        s.insert(s.end(), {lists[k].base, lists[k].head, lists[k].tail});
        for (const list_elt *e = lists[k].head; e != nullptr; e = e->next)
            s.insert(s.end(), {e->prev, e->next, e->pt});
    }
    return s;
}

}  // namespace

TEST(Point, ConstructionCopiesAndSizesTheBookkeeping) {
    std::vector<double> none;
    point empty(none);
    EXPECT_TRUE(empty.coords.empty());
    EXPECT_TRUE(empty.elts.empty());
    EXPECT_TRUE(empty.coordinates().empty());

    std::vector<double> v = {1.5, -2.0, 3.0};
    point p(v);
    EXPECT_EQ(v, std::vector<double>({1.5, -2.0, 3.0}));  // the constructor leaves its argument
    EXPECT_EQ(p.elts, std::vector<list_elt *>(3, nullptr));
    v[0] = 9.0;
    v.push_back(4.0);
    EXPECT_EQ(p.coords, std::vector<double>({1.5, -2.0, 3.0}));

    p.coordinates()[1] = 7.0;  // a reference, not a copy
    EXPECT_EQ(p.coords[1], 7.0);
    EXPECT_EQ(&p.coordinates(), &p.coords);
}

TEST(Point, CopyAfterSortingSharesElementsNotArrays) {
    std::vector<point> pts = Crossed();
    mylist *lists = SortedListSet(pts, 4, 2);
    {
        point copy = pts[1];
        point assigned = pts[0];
        assigned = pts[1];
        for (const point *c : {&copy, &assigned}) {
            EXPECT_NE(c->elts.data(), pts[1].elts.data());
            EXPECT_NE(c->coords.data(), pts[1].coords.data());
            EXPECT_EQ(c->elts, pts[1].elts);
            EXPECT_EQ(c->coords, pts[1].coords);
        }
        point moved(std::move(copy));
        EXPECT_TRUE(copy.coords.empty() && copy.elts.empty());
        EXPECT_EQ(moved.elts, pts[1].elts);
    }
    // The copies are gone; the elements they referred to must still be alive and intact.
    for (int32_t k = 0; k < 2; ++k) EXPECT_EQ(ListLinkError(lists[k], 4), "") << k;
    FreeListSet(lists, 2);
}

TEST(Lists, SortPointsLinksSortsAndPointsBack) {
    struct Case {
        const char *name;
        std::vector<std::vector<double>> rows;
        int32_t n;  // the points after the first n must not be touched
    };
    const std::vector<Case> cases = {
        {"one point", {{4.0, -1.0}}, 1},
        {"ties in both dimensions", {{1, 1}, {0, 1}, {1, 0}, {0, 0}, {1, 1}, {2, 0}, {1, 1}}, 7},
        {"all equal in dimension 1", {{3, 5}, {1, 5}, {2, 5}}, 3},
        {"only a prefix", {{5, 0}, {-1, 2}, {3, 1}, {-7, -7}, {0, 0}}, 3},
        {"extremes", {{DBL_MAX, 0}, {-DBL_MAX, -0.0}, {DBL_MIN, 1e-300}, {0, -1e300}}, 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<point> pts = MakePoints(c.rows);
        for (point &p : pts) p.key_dim = -1;
        list_elt sentinel;
        mylist lists[2] = {{&sentinel, nullptr, nullptr}, {&sentinel, nullptr, nullptr}};
        for (int32_t j = 0; j < 2; ++j) {
            SortPoints(pts.data(), c.n, j, &lists[j]);
            EXPECT_EQ(lists[j].base, &sentinel);  // base belongs to the list's owner
        }
        for (int32_t j = 0; j < 2; ++j) {
            SCOPED_TRACE(j);
            const mylist &l = lists[j];
            ASSERT_EQ(ListLinkError(l, size_t(c.n)), "");
            std::vector<int> seen(pts.size(), 0);
            int32_t i = 0;
            for (const list_elt *e = l.head; e != nullptr; e = e->next, ++i) {
                EXPECT_EQ(e, l.head + i);  // linked in block order, so head is the block start
                ++seen[size_t(e->pt - pts.data())];
                if (e->next != nullptr) {
                    EXPECT_LE(e->pt->coords[size_t(j)], e->next->pt->coords[size_t(j)]);
                }
            }
            for (size_t p = 0; p < pts.size(); ++p) {
                const bool sorted = p < size_t(c.n);
                EXPECT_EQ(seen[p], sorted ? 1 : 0) << "point " << p;
                EXPECT_EQ(pts[p].key_dim, sorted ? 1 : -1) << "point " << p;
                if (!sorted) {
                    EXPECT_EQ(pts[p].elts[size_t(j)], nullptr) << "point " << p;
                } else {
                    ASSERT_NE(pts[p].elts[size_t(j)], nullptr) << "point " << p;
                    EXPECT_EQ(pts[p].elts[size_t(j)]->pt, &pts[p]) << "point " << p;
                }
            }
        }
        free(lists[0].head);
        free(lists[1].head);
    }
}

TEST(Lists, DeletePointUnlinksFromEveryList) {
    // Point 0 and 3 are at an end of both lists, 1 and 2 in the middle of both.
    for (int victim = 0; victim < 4; ++victim) {
        SCOPED_TRACE(victim);
        std::vector<point> pts = Crossed();
        mylist *lists = SortedListSet(pts, 4, 2);
        point *p = &pts[size_t(victim)];
        const std::vector<list_elt *> elts = p->elts;
        mylist *const piece = p->piece;
        const std::vector<point *> before[2] = {ListPoints(lists[0]), ListPoints(lists[1])};
        DeletePoint(2, p, lists);
        for (int32_t k = 0; k < 2; ++k) {
            const std::vector<point *> &was = before[k];
            const size_t at = size_t(std::find(was.begin(), was.end(), p) - was.begin());
            std::vector<point *> want = was;
            want.erase(want.begin() + ptrdiff_t(at));
            EXPECT_EQ(ListLinkError(lists[k], 3), "") << k;
            EXPECT_EQ(ListPoints(lists[k]), want) << k;
            // The unlinked element still leads to its former neighbours.
            const list_elt *e = p->elts[size_t(k)];
            EXPECT_EQ(e->prev ? e->prev->pt : nullptr, at > 0 ? was[at - 1] : nullptr) << k;
            EXPECT_EQ(e->next ? e->next->pt : nullptr, at < 3 ? was[at + 1] : nullptr) << k;
        }
        EXPECT_EQ(p->elts, elts);
        EXPECT_EQ(p->piece, piece);
        FreeListSet(lists, 2);
    }
}

TEST(Lists, DeletePointWhileWalkingFromEitherEnd) {
    // The tree construction walks the split list and steps on from each element it unlinks.
    for (bool from_head : {true, false}) {
        SCOPED_TRACE(from_head ? "from head" : "from tail");
        std::vector<point> pts = MakePoints({{2, 0}, {0, 1}, {3, 2}, {1, 3}, {4, 4}});
        mylist *lists = SortedListSet(pts, 5, 2);
        list_elt *e = from_head ? lists[0].head : lists[0].tail;
        for (int i = 0; i < 4; ++i) {
            DeletePoint(2, e->pt, lists);
            e = from_head ? e->next : e->prev;
        }
        point *last = &pts[from_head ? 4 : 1];  // the largest / smallest coordinate 0
        for (int32_t k = 0; k < 2; ++k) {
            EXPECT_EQ(ListLinkError(lists[k], 1), "") << k;
            EXPECT_EQ(lists[k].head, last->elts[size_t(k)]) << k;
        }
        FreeListSet(lists, 2);
    }
}

TEST(Lists, DeletePointWithoutListsDoesNothing) {
    for (int32_t d : {0, -1}) {
        std::vector<point> pts = Crossed();
        mylist *lists = SortedListSet(pts, 4, 2);
        const std::vector<const void *> before = LinkSnapshot(lists, 2);
        DeletePoint(d, &pts[0], lists);
        DeletePoint(d, &pts[2], lists);
        EXPECT_EQ(LinkSnapshot(lists, 2), before) << "d = " << d;
        FreeListSet(lists, 2);
    }
}

TEST(Lists, ListCopyCopiesInOrderAndClearsPiece) {
    // Copies of the whole list, of a prefix, and of a list whose head was unlinked (its block no
    // longer begins at its head) with the count of the points still in it.
    struct Case {
        const char *name;
        int32_t count;
        bool drop_head;
    };
    for (const Case &c : {Case{"whole", 5, false}, Case{"prefix", 2, false},
                          Case{"after unlinking the head", 4, true}}) {
        SCOPED_TRACE(c.name);
        std::vector<point> pts = MakePoints({{3, 1}, {1, 0}, {4, 4}, {1, 3}, {5, 2}});
        mylist *src = SortedListSet(pts, 5, 2);
        if (c.drop_head) DeletePoint(2, src[0].head->pt, src);
        mylist marker[1];
        for (point &p : pts) p.piece = marker;
        std::vector<std::vector<list_elt *>> elts;
        for (const point &p : pts) elts.push_back(p.elts);
        const std::vector<const void *> before = LinkSnapshot(src, 2);
        const std::vector<point *> order = ListPoints(src[0]);

        list_elt sentinel;
        mylist dest = {&sentinel, nullptr, nullptr};
        ListCopy(&src[0], &dest, c.count);

        EXPECT_EQ(dest.base, &sentinel);
        ASSERT_EQ(ListLinkError(dest, size_t(c.count)), "");
        EXPECT_EQ(ListPoints(dest), std::vector<point *>(order.begin(), order.begin() + c.count));
        for (int32_t i = 0; i < c.count; ++i)
            EXPECT_EQ(order[size_t(i)], (dest.head + i)->pt) << "not in block order at " << i;
        for (size_t p = 0; p < pts.size(); ++p) {
            const auto end = order.begin() + c.count;
            const bool copied = std::find(order.begin(), end, &pts[p]) != end;
            EXPECT_EQ(pts[p].piece, copied ? nullptr : marker) << "point " << p;
            EXPECT_EQ(pts[p].elts, elts[p]) << "point " << p;
        }
        EXPECT_EQ(LinkSnapshot(src, 2), before);
        free(dest.head);
        FreeListSet(src, 2);
    }
}

TEST(Lists, FreeListSetReleasesThroughBaseOnly) {
    // A base that is not a malloc'd block would make the sanitizer (or the allocator) abort if
    // FreeListSet released it; with d = 0 only the array itself may go.
    list_elt not_from_malloc;
    mylist *none = static_cast<mylist *>(malloc(sizeof(mylist)));
    *none = {&not_from_malloc, &not_from_malloc, &not_from_malloc};
    FreeListSet(none, 0);

    // A null base releases nothing; a head moved off the block start must not be released.
    std::vector<point> pts = Crossed();
    mylist *lists = SortedListSet(pts, 4, 2);
    DeletePoint(2, lists[0].head->pt, lists);
    free(lists[1].base);
    lists[1].base = nullptr;
    FreeListSet(lists, 2);
}

TEST(Lists, ListEltCompareSigns) {
    struct Case {
        double a, b;  // coordinate 1 of the first and second point
        int sign;
    };
    const std::vector<Case> cases = {
        {1, 2, -1},
        {2, 1, 1},
        {2, 2, 0},
        {-0.0, 0.0, 0},
        {DBL_TRUE_MIN, 0, 1},
        {0, DBL_TRUE_MIN, -1},
        {DBL_MAX, -DBL_MAX, 1},
        {-DBL_MAX, DBL_MAX, -1},  // differences overflow to +-inf
    };
    for (const Case &c : cases) {
        // Coordinate 0 orders the points the other way: only the first point's key_dim counts.
        const double x = c.sign < 0 ? 1.0 : -1.0;
        std::vector<point> pts = MakePoints({{x, c.a}, {-x, c.b}});
        pts[0].key_dim = 1;
        pts[1].key_dim = 0;
        list_elt ea = {nullptr, nullptr, &pts[0]}, eb = {nullptr, nullptr, &pts[1]};
        const int32_t r = ListEltCompare(&ea, &eb);
        if (c.sign < 0) {
            EXPECT_LT(r, 0) << c.a << " vs " << c.b;
        } else {
            EXPECT_EQ(r, c.sign) << c.a << " vs " << c.b;
        }
    }
}
