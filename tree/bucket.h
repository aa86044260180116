#ifndef QUORL_TREE_BUCKET_H
#define QUORL_TREE_BUCKET_H

#include <cstdint>

#include "common/interrupt.h"
#include "common/memory.h"
#include "common/parallel.h"
#include "tree/flat.h"

// The fair split tree cut off at buckets, over the positions of the points in leaf order, for
// nearest-neighbour searches. Nodes are numbered in pre-order: the left child of an internal node
// i is i + 1, right[i] its right child (< 0 marks a bucket), parent[i] its parent (-1 at the
// root). The points under node i are the positions start[i] .. start[i] + count[i]; box holds the
// node's bounding box, lo[0..d) then hi[0..d).
struct bucket_tree {
    int32_t d = 0;
    int32_t nodes = 0;
    checked_vector<int32_t> start, count, right, parent;
    checked_vector<double> box;

    double *lo(int32_t i) { return &box[size_t(i) * 2 * size_t(d)]; }
    const double *lo(int32_t i) const { return &box[size_t(i) * 2 * size_t(d)]; }
    bool bucket(int32_t i) const { return right[size_t(i)] < 0; }
};

// The points in the tree's leaf order. Equal points stand together, in input order, at the place
// of the first of them; group_end (empty when all points are distinct) gives for each position
// the end of its run of equal points.
struct ordered_points {
    checked_vector<double> xs;   // n rows of d coordinates
    checked_vector<int32_t> id;  // the input position of each
    checked_vector<int32_t> group_end;
};

// The bucket tree and the ordered points of the n points xs[i*d .. i*d + d), n >= 1: the fair
// split tree of the distinct points (BuildFlatTree, freed before returning) with every node of at
// most `bucket` distinct points made a bucket. Equal points are allowed. Requires d >= 1 and
// finite coordinates within the checked limits; throws std::bad_alloc, keeping nothing. The
// fair split tree (BuildFlatTree), the copy of the points into leaf order and the buckets' boxes
// are made on `workers` threads (from 4096 points for the latter two).
void BuildBucketTree(const double *xs, int32_t n, int32_t d, int32_t bucket, bucket_tree &t,
                     ordered_points &p, int32_t workers = 1);

// Runs body(v, *own) for every bucket v of t on `workers` OpenMP threads (UsableThreads; the
// calling thread alone below 64 nodes), chunks of `chunk` nodes to a thread at a time, so that a
// thread's buckets lie near each other; own = make() is made once per thread (a pointer-like
// holder of what one thread works with). The first exception ends the loop and is rethrown;
// a stop request ends it too. Progress goes from 0 to 1 over the nodes.
template <typename Make, typename Body>
void EachBucket(const bucket_tree &t, int32_t workers, int32_t chunk, const Make &make,
                const Body &body) {
    if (t.nodes < 64 || (workers = UsableThreads(workers)) <= 1) {
        auto own = make();
        for (int32_t v = 0; v < t.nodes; ++v)
            if (t.bucket(v)) {
                ThrowIfStopped();
                body(v, *own);
                if ((v & 1023) == 0) Progress(double(v) / double(t.nodes));
            }
        return;
    }
    task_errors errors(static_cast<size_t>(workers));
    QUORL_OMP(parallel num_threads(workers)) {
        PrepareExceptionStorage();
        const size_t me = size_t(ThreadNumber());
        decltype(make()) own;
        errors.Run(me, [&] { own = make(); });
        // Every thread meets the loop, also one whose holder failed.
        QUORL_OMP(for schedule(dynamic, chunk))
        for (int32_t v = 0; v < t.nodes; ++v) {
            if (!own || !t.bucket(v) || errors.stopped()) continue;
            try {
                ThrowIfStopped();
                body(v, *own);
                if ((v & 1023) == 0) Progress(double(v) / double(t.nodes));
            } catch (...) {
                errors.Keep(me);
            }
        }
    }
    errors.Rethrow();
}

#endif
