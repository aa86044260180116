#include "common/stages.h"

#include <time.h>

#include <mutex>

std::atomic<bool> stage_clock_on{false};

namespace {

std::mutex clock_lock;
std::vector<stage_time> held;
double last_wall = 0.0, last_cpu = 0.0;

double Seconds(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

}  // namespace

std::vector<stage_time> StageClock(bool on) {
    std::lock_guard<std::mutex> guard(clock_lock);
    std::vector<stage_time> out;
    out.swap(held);
    last_wall = Seconds(CLOCK_MONOTONIC);
    last_cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID);
    stage_clock_on = on;
    return out;
}

void StageMarkSlow(const char *name) {
    std::lock_guard<std::mutex> guard(clock_lock);
    if (!stage_clock_on) return;
    const double wall = Seconds(CLOCK_MONOTONIC), cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID);
    // A stage marked again in the same call (once a round, say) adds up under one name.
    bool merged = false;
    for (stage_time &s : held)
        if (s.name == name) {
            s.wall += wall - last_wall;
            s.cpu += cpu - last_cpu;
            merged = true;
        }
    if (!merged) held.push_back({name, wall - last_wall, cpu - last_cpu});
    last_wall = wall;
    last_cpu = cpu;
}
