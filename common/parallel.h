#ifndef QUORL_COMMON_PARALLEL_H
#define QUORL_COMMON_PARALLEL_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>

#include "common/alloc.h"
#include "common/interrupt.h"

// OpenMP where the compiler has it (g++ -fopenmp, libgomp); without it every region runs on the
// calling thread, with the same results.
#ifdef _OPENMP
#include <omp.h>
#define QUORL_OMP_STRING(x) #x
#define QUORL_OMP(x) _Pragma(QUORL_OMP_STRING(omp x))
inline int32_t ThreadNumber() { return omp_get_thread_num(); }
#else
#define QUORL_OMP(x)
inline int32_t ThreadNumber() { return 0; }
#endif

// Exceptions of the tasks of one parallel loop. None may leave an OpenMP region: each task's is
// kept by its index, the others are told to stop, and after the region the exception of the
// lowest index is rethrown, so that the caller sees the one the serial loop would have met first.
class task_errors {
  public:
    // Sized before the region, where a failing allocation may still throw.
    explicit task_errors(size_t tasks) : errors_(tasks) {}
    bool stopped() const { return stop_.load(std::memory_order_relaxed); }
    void Stop() { stop_.store(true, std::memory_order_relaxed); }
    // Call in the catch (...) of task i.
    void Keep(size_t i) {
        errors_[i] = std::current_exception();
        Stop();
    }
    // Runs f() as task i unless the loop is stopping, keeping what it throws; a stop request
    // ends the loop here too.
    template <typename F>
    void Run(size_t i, F &&f) {
        if (stopped()) return;
        try {
            ThrowIfStopped();
            f();
        } catch (...) {
            Keep(i);
        }
    }
    void Rethrow() const {
        for (const std::exception_ptr &e : errors_)
            if (e) std::rethrow_exception(e);
    }

  private:
    checked_vector<std::exception_ptr> errors_;
    std::atomic<bool> stop_{false};
};

#endif
