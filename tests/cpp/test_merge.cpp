// Kruskal with terminals: the minimum spanning forest of a graph cut into parts is each part's
// final edges plus the forest of the pending edges and the edges between parts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "distributed/merge.h"

namespace {

struct edge {
    int64_t a, b;
    int key;  // distinct keys: the forest is unique
};

// The forest Kruskal keeps of `edges` (in key order) over v vertices, as a set of keys.
std::set<int> Forest(int64_t v, const std::vector<edge> &edges) {
    std::vector<int64_t> parent(static_cast<size_t>(v));
    std::iota(parent.begin(), parent.end(), 0);
    auto find = [&](int64_t x) {
        while (parent[size_t(x)] != x) x = parent[size_t(x)] = parent[size_t(parent[size_t(x)])];
        return x;
    };
    std::set<int> kept;
    for (const edge &e : edges) {
        const int64_t ra = find(e.a), rb = find(e.b);
        if (ra == rb) continue;
        parent[size_t(ra)] = rb;
        kept.insert(e.key);
    }
    return kept;
}

// The parts' edges reduced one part at a time, then merged with the edges between parts.
std::set<int> Merged(int64_t v, const std::vector<int> &part, const std::vector<edge> &edges) {
    const int parts = *std::max_element(part.begin(), part.end()) + 1;
    std::set<int> kept;
    std::vector<edge> top;
    for (int p = 0; p < parts; ++p) {
        std::vector<uint8_t> terminal(size_t(v), 0);
        std::vector<int64_t> ends;
        std::vector<edge> own;
        for (const edge &e : edges) {
            if (part[size_t(e.a)] != part[size_t(e.b)]) {
                if (part[size_t(e.a)] == p) terminal[size_t(e.a)] = 1;
                if (part[size_t(e.b)] == p) terminal[size_t(e.b)] = 1;
            } else if (part[size_t(e.a)] == p) {
                own.push_back(e);
                ends.push_back(e.a);
                ends.push_back(e.b);
            }
        }
        std::vector<int8_t> fate(own.size());
        std::vector<int64_t> rep(2 * own.size());
        EXPECT_EQ(KruskalCompress(v, ends.data(), own.size(), terminal.data(), fate.data(),
                                  rep.data()),
                  "");
        for (size_t e = 0; e < own.size(); ++e) {
            if (fate[e] == kFinal) kept.insert(own[e].key);
            if (fate[e] == kPending) {
                EXPECT_TRUE(terminal[size_t(rep[2 * e])] && terminal[size_t(rep[2 * e + 1])]);
                top.push_back({rep[2 * e], rep[2 * e + 1], own[e].key});
            }
        }
    }
    for (const edge &e : edges)
        if (part[size_t(e.a)] != part[size_t(e.b)]) top.push_back(e);
    std::sort(top.begin(), top.end(), [](const edge &x, const edge &y) { return x.key < y.key; });
    const std::set<int> upper = Forest(v, top);
    kept.insert(upper.begin(), upper.end());
    return kept;
}

class MergeTest : public ::testing::TestWithParam<int> {};

TEST_P(MergeTest, PartsReducedThenMergedGiveTheWholeForest) {
    const int parts = GetParam();
    for (unsigned seed = 1; seed <= 40; ++seed) {
        std::mt19937 rng(seed);
        const int64_t v = 2 + int64_t(rng() % 60);
        std::vector<int> part(static_cast<size_t>(v));
        for (int &p : part) p = int(rng() % unsigned(parts));
        part[0] = parts - 1;  // every part number up to parts - 1 is used at least once
        // Few edges inside parts make forests, many make cycles: both are wanted.
        const size_t m = size_t(rng() % size_t(4 * v));
        std::vector<int> keys(m);
        std::iota(keys.begin(), keys.end(), 0);
        std::shuffle(keys.begin(), keys.end(), rng);
        std::vector<edge> edges;
        for (size_t e = 0; e < m; ++e)
            edges.push_back({int64_t(rng() % uint64_t(v)), int64_t(rng() % uint64_t(v)), keys[e]});
        std::sort(edges.begin(), edges.end(),
                  [](const edge &x, const edge &y) { return x.key < y.key; });
        EXPECT_EQ(Merged(v, part, edges), Forest(v, edges)) << "seed " << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(Parts, MergeTest, ::testing::Values(1, 2, 3, 7));

TEST(Merge, RefusesAnEndOutsideTheVertices) {
    const int64_t ends[4] = {0, 1, 1, 5};
    const uint8_t terminal[3] = {0, 0, 0};
    int8_t fate[2];
    int64_t rep[4];
    EXPECT_EQ(KruskalCompress(3, ends, 2, terminal, fate, rep), "edge 1 has an end outside 0..2");
    EXPECT_EQ(fate[0], kFinal);
}

}  // namespace
