#ifndef QUORL_DISTRIBUTED_MERGE_H
#define QUORL_DISTRIBUTED_MERGE_H

#include <cstdint>
#include <string>

// What Kruskal's algorithm makes of an edge of a part of a graph, seen from the rest of it, which
// meets the part only at its terminals.
enum edge_fate : int8_t {
    kRejected = 0,  // closes a cycle of lighter edges: in no minimum spanning tree of the whole
    kFinal = 1,     // joins a part without terminals: in the whole's tree, whatever the rest holds
    kPending = 2,   // the heaviest edge between two terminals on some path: the rest decides
};

// Kruskal's algorithm over m edges between vertices 0..v-1, already in the order of their keys
// (ends[2e], ends[2e + 1] are the two ends of edge e): fate[e] says what became of edge e. A
// pending edge joined two groups that each held a terminal (terminal[x] != 0); rep[2e] and
// rep[2e + 1] get a terminal of each, and the pending edges between those terminals, with their
// keys, stand for the accepted forest wherever the rest of the graph can reach it: the minimum
// spanning tree of the whole is the final edges of every part together with the tree of the
// pending edges and the edges between parts. Returns an empty string, or what is wrong with an
// end (outside 0..v-1), having written the fates of the edges before it.
std::string KruskalCompress(int64_t v, const int64_t *ends, size_t m, const uint8_t *terminal,
                            int8_t *fate, int64_t *rep);

#endif
