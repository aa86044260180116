// A stop request must end every long call of the core with `interrupted`, wherever it lands,
// freeing every block (the sanitizer build checks that), and must not outlive the calls it
// stopped.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "common/alloc.h"
#include "common/interrupt.h"
#include "helpers.h"
#include "module/driver.h"
#include "mst/emst.h"
#include "neighbors/knn.h"
#include "neighbors/query.h"
#include "spanner/spanner.h"

namespace {

// Runs call() with a stop requested after `delay`; true when it was stopped.
bool StoppedAfter(const std::function<void()> &call, std::chrono::microseconds delay) {
    stoppable_call held;
    std::thread stopper([delay] {
        std::this_thread::sleep_for(delay);
        RequestStop();
    });
    bool stopped = false;
    try {
        call();
    } catch (const interrupted &) {
        stopped = true;
    }
    stopper.join();
    return stopped;
}

}  // namespace

TEST(Interrupt, EveryLongCallStopsAndFreesItsBlocks) {
    const int32_t n = 200000, d = 3;
    const std::vector<double> xs = Uniform(n, d, 7);
    const std::vector<std::pair<const char *, std::function<void(int32_t)>>> calls = {
        {"emst", [&](int32_t w) { EuclideanMST(xs.data(), n, d, w); }},
        {"reachability",
         [&](int32_t w) {
             checked_vector<double> core;
             tie_edges ties;
             checked_vector<int32_t> order;
             MutualReachabilityMST(xs.data(), n, d, 10, 1.0, core, &ties, w, &order);
         }},
        {"knn", [&](int32_t w) { KNearestNeighbours(xs.data(), n, d, 10, w, true); }},
        {"query", [&](int32_t) { KNearestQuery(xs.data(), n / 2, d, xs.data(), n, 5); }},
        {"closest pair", [&](int32_t w) { ClosestPair(xs.data(), n, d, w); }},
        {"decompose",
         [&](int32_t w) {
             decompose_options options;
             options.workers = w;
             decompose_array(n, d, 2.0, xs.data(), options);
         }},
        {"spanner", [&](int32_t w) { GreedySpanner(xs.data(), 20000, d, 1.1, INT64_MAX, w); }},
    };
    for (const auto &call : calls)
        for (int32_t w : {1, 3}) {
            int stopped = 0;
            for (int delay : {0, 2000, 20000}) {
                stopped += StoppedAfter([&] { call.second(w); }, std::chrono::microseconds(delay));
                // The request ended with the call: the next one runs to its end.
                EXPECT_FALSE(StopRequested()) << call.first;
            }
            EXPECT_GE(stopped, 2) << call.first << " on " << w << " threads ran on regardless";
        }
    EXPECT_EQ(PagesHeld(), 0);
}
