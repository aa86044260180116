#ifndef QUORL_MODULE_RELEASED_H
#define QUORL_MODULE_RELEASED_H

#include <pybind11/pybind11.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "common/alloc.h"
#include "common/interrupt.h"

// A thread kept for running the parts of calls, so that its OpenMP threads stay ready from one
// call to the next (a new thread each call would start them anew, at a cost of milliseconds).
class executor {
  public:
    executor();
    // Runs job on the thread; the caller learns of its end from the job itself.
    void Start(std::function<void()> job);

  private:
    void Loop();
    std::mutex lock_;
    std::condition_variable wake_;
    std::function<void()> job_;
};
// An idle executor, or a new one (throws std::system_error when no thread can be had).
executor *TakeExecutor();
void GiveExecutor(executor *e);

// One call of the core from Python, whose parts run with the interpreter lock released. CPython
// runs signal handlers only on the main thread, and only when that thread runs Python, so on the
// main thread (or when a progress callback is given) each part runs on a thread of its own while
// the calling thread takes the lock back every 50 ms: to let the handlers run (Ctrl-C's raises
// KeyboardInterrupt) and to pass the progress on as progress(fraction, stage). A handler or
// callback that raises asks the core to stop; once the part has unwound, freeing everything, its
// exception is raised here. Elsewhere a part runs on the calling thread, as before.
class released_call {
  public:
    explicit released_call(pybind11::object progress = pybind11::none());
    ~released_call();
    released_call(const released_call &) = delete;
    released_call &operator=(const released_call &) = delete;

    // Runs work() with the lock released; rethrows what it threw, or the Python exception of a
    // handler or callback that asked it to stop.
    template <typename F>
    void Run(F &&work);

    // Reports the call done: progress(1.0, "done").
    void Finish();

  private:
    // With the lock held: runs the signal handlers and passes the progress on; false when either
    // raised, keeping the exception to raise once the core has stopped.
    bool Watch();
    void Report();  // passes the progress on; keeps what the callback raises
    void RaisePending();

    pybind11::object progress_;
    progress_sink sink_;
    stoppable_call call_;
    bool watched_;
    double shown_ = -1.0;
    const char *shown_stage_ = nullptr;
    PyObject *type_ = nullptr, *value_ = nullptr, *trace_ = nullptr;
};

template <typename F>
void released_call::Run(F &&work) {
    std::exception_ptr failed;
    bool threaded = watched_;
    {
        pybind11::gil_scoped_release unlocked;
        std::mutex lock;
        std::condition_variable woken;
        bool done = false;
        executor *runner = nullptr;
        if (threaded) {
            try {
                runner = TakeExecutor();
            } catch (const std::exception &) {
                threaded = false;  // no thread to be had: run unwatched, as off the main thread
            }
        }
        if (threaded) {
            runner->Start([&] {
                {
                    progress_watch watch(progress_.is_none() ? nullptr : &sink_);
                    try {
                        work();
                    } catch (...) {
                        failed = std::current_exception();
                    }
                }
                std::lock_guard<std::mutex> guard(lock);
                done = true;
                woken.notify_one();
            });
            std::unique_lock<std::mutex> held(lock);
            while (!woken.wait_for(held, std::chrono::milliseconds(50), [&] { return done; })) {
                held.unlock();
                {
                    pybind11::gil_scoped_acquire gil;
                    if (!Watch()) RequestStop();
                }
                held.lock();
            }
            held.unlock();
            GiveExecutor(runner);
        } else {
            try {
                work();
            } catch (...) {
                failed = std::current_exception();
            }
        }
    }
    if (type_ != nullptr) RaisePending();
    if (failed) {
        try {
            std::rethrow_exception(failed);
        } catch (const interrupted &) {
            // Stopped by a request from another call's thread: this one ends the same way.
            PyErr_SetNone(PyExc_KeyboardInterrupt);
            throw pybind11::error_already_set();
        }
    }
    if (threaded) {
        Report();
        if (type_ != nullptr) RaisePending();
    }
}

#endif
