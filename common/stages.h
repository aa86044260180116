#ifndef QUORL_COMMON_STAGES_H
#define QUORL_COMMON_STAGES_H

#include <atomic>
#include <string>
#include <vector>

// A clock for the stages of a call, for benchmarks that ask where the time goes and how much of
// it one thread spends alone. Off unless StageClock(true) was called; then each StageMark(name)
// records the wall time and the process CPU time (every thread's) since the previous mark, or
// since StageClock(true), under `name`. Marks are made on the calling thread between parallel
// regions. Process-wide: meant for one call at a time.
struct stage_time {
    std::string name;
    double wall, cpu;  // seconds
};

// Turns the clock on (clearing what it held) or off, and returns what it held.
std::vector<stage_time> StageClock(bool on);

void StageMarkSlow(const char *name);
extern std::atomic<bool> stage_clock_on;

// Costs one load of a flag when the clock is off.
inline void StageMark(const char *name) {
    if (stage_clock_on.load(std::memory_order_relaxed)) StageMarkSlow(name);
}

#endif
