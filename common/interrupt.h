#ifndef QUORL_COMMON_INTERRUPT_H
#define QUORL_COMMON_INTERRUPT_H

#include <atomic>
#include <cstddef>
#include <exception>

// Stopping the core's work from outside (Ctrl-C in Python). RequestStop() asks every call that
// is running to stop; the core notices at its checks (every allocation, every task of a parallel
// loop, and the long loops between), which throw `interrupted`, and the call unwinds as it does
// from a failed allocation: every block freed. The request lasts until the last call that was
// running when it came has ended, so the next call runs normally.
class interrupted : public std::exception {
  public:
    const char *what() const noexcept override { return "interrupted"; }
};

extern std::atomic<bool> stop_requested;

inline bool StopRequested() { return stop_requested.load(std::memory_order_relaxed); }
inline void ThrowIfStopped() {
    if (StopRequested()) throw interrupted();
}
// For a long serial loop at its step i: ThrowIfStopped() every 16,384 steps.
inline void ThrowIfStoppedAt(size_t i) {
    if ((i & 16383) == 0) ThrowIfStopped();
}
void RequestStop();

// Held for the whole of a call that a stop request may end; the last one to end clears the request.
class stoppable_call {
  public:
    stoppable_call();
    ~stoppable_call();
    stoppable_call(const stoppable_call &) = delete;
    stoppable_call &operator=(const stoppable_call &) = delete;
};

// Progress of a call, for whoever watches it (the bindings' waiting thread): `stage` names what
// runs, and `fraction` in [0, 1] never decreases. Spans nest: a span maps the fractions reported
// inside it onto [begin, end] of the enclosing one, so a stage reports its own 0 to 1 without
// knowing where it sits in the call.
struct progress_sink {
    std::atomic<double> fraction{0.0};
    std::atomic<const char *> stage{""};
    // The innermost span, as a part of the whole call, and how many spans are open; only the
    // watched thread touches these.
    double lo = 0.0, hi = 1.0;
    int depth = 0;
};

// Reports on `sink` what the calling thread does, from now until the watch is destroyed (a null
// sink watches nothing). At most a few calls are watched at once; beyond that a call simply goes
// unreported.
class progress_watch {
  public:
    explicit progress_watch(progress_sink *sink);
    ~progress_watch();
    progress_watch(const progress_watch &) = delete;
    progress_watch &operator=(const progress_watch &) = delete;

  private:
    int slot_;
};

// Reports `fraction` of the innermost span done. Only a watched thread reports; elsewhere (the
// other threads of a parallel loop, calls nobody watches) this costs one load and does nothing.
void Progress(double fraction);

class progress_span {
  public:
    progress_span(const char *stage, double begin, double end);
    ~progress_span();
    progress_span(const progress_span &) = delete;
    progress_span &operator=(const progress_span &) = delete;

  private:
    progress_sink *sink_;
    double lo_, hi_;
    const char *stage_;
};

#endif
