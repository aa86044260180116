#include "common/interrupt.h"

#include <pthread.h>

#include <algorithm>
#include <mutex>

std::atomic<bool> stop_requested{false};

namespace {

std::mutex calls_lock;
long running_calls = 0;

// The watched calls by thread. Plain process-wide slots, not thread_local: the thread-local
// storage of a module loaded at run time is allocated lazily, and a failed allocation there
// aborts instead of throwing.
constexpr int kSlots = 16;
struct watched {
    std::atomic<progress_sink *> sink{nullptr};
    pthread_t thread;
};
watched slots[kSlots];
std::atomic<int> watching{0};

progress_sink *MySink() {
    if (watching.load(std::memory_order_relaxed) == 0) return nullptr;
    const pthread_t self = pthread_self();
    for (watched &w : slots) {
        progress_sink *s = w.sink.load(std::memory_order_acquire);
        if (s != nullptr && pthread_equal(w.thread, self)) return s;
    }
    return nullptr;
}

}  // namespace

void RequestStop() { stop_requested.store(true, std::memory_order_relaxed); }

stoppable_call::stoppable_call() {
    std::lock_guard<std::mutex> guard(calls_lock);
    ++running_calls;
}

stoppable_call::~stoppable_call() {
    std::lock_guard<std::mutex> guard(calls_lock);
    if (--running_calls == 0) stop_requested.store(false, std::memory_order_relaxed);
}

progress_watch::progress_watch(progress_sink *sink) : slot_(-1) {
    if (sink == nullptr) return;
    std::lock_guard<std::mutex> guard(calls_lock);
    for (int k = 0; k < kSlots && slot_ < 0; ++k)
        if (slots[k].sink.load(std::memory_order_relaxed) == nullptr) {
            slots[k].thread = pthread_self();
            slots[k].sink.store(sink, std::memory_order_release);
            watching.fetch_add(1, std::memory_order_relaxed);
            slot_ = k;
        }
}

progress_watch::~progress_watch() {
    if (slot_ < 0) return;
    std::lock_guard<std::mutex> guard(calls_lock);
    slots[slot_].sink.store(nullptr, std::memory_order_release);
    watching.fetch_sub(1, std::memory_order_relaxed);
}

void Progress(double fraction) {
    progress_sink *s = MySink();
    if (s == nullptr) return;
    const double f = std::min(1.0, std::max(0.0, fraction));
    const double at = s->lo + f * (s->hi - s->lo);
    if (at > s->fraction.load(std::memory_order_relaxed))
        s->fraction.store(at, std::memory_order_relaxed);
}

progress_span::progress_span(const char *stage, double begin, double end)
    : sink_(MySink()), lo_(0.0), hi_(1.0), stage_(nullptr) {
    if (sink_ == nullptr) return;
    lo_ = sink_->lo;
    hi_ = sink_->hi;
    stage_ = sink_->stage.load(std::memory_order_relaxed);
    sink_->stage.store(stage, std::memory_order_relaxed);
    ++sink_->depth;
    sink_->lo = lo_ + begin * (hi_ - lo_);
    sink_->hi = lo_ + end * (hi_ - lo_);
}

progress_span::~progress_span() {
    if (sink_ == nullptr) return;
    Progress(1.0);
    sink_->lo = lo_;
    sink_->hi = hi_;
    // Outside every span the stage keeps the last one's name: "" would say nothing.
    if (--sink_->depth > 0) sink_->stage.store(stage_, std::memory_order_relaxed);
}
