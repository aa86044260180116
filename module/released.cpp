#include "module/released.h"

#include <unistd.h>

#include <vector>

namespace py = pybind11;

executor::executor() { std::thread(&executor::Loop, this).detach(); }

void executor::Start(std::function<void()> job) {
    std::lock_guard<std::mutex> guard(lock_);
    job_ = std::move(job);
    wake_.notify_one();
}

void executor::Loop() {
    PrepareExceptionStorage();
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> held(lock_);
            wake_.wait(held, [&] { return bool(job_); });
            job.swap(job_);
        }
        job();
    }
}

namespace {

std::mutex pool_lock;
std::vector<executor *> idle;
pid_t pool_pid = 0;

}  // namespace

executor *TakeExecutor() {
    std::lock_guard<std::mutex> guard(pool_lock);
    // A child made by fork has none of its parent's threads: the idle ones are not there.
    if (pool_pid != getpid()) {
        idle.clear();
        pool_pid = getpid();
    }
    if (idle.empty()) return new executor();
    executor *e = idle.back();
    idle.pop_back();
    return e;
}

void GiveExecutor(executor *e) {
    std::lock_guard<std::mutex> guard(pool_lock);
    if (pool_pid == getpid()) idle.push_back(e);
}

namespace {

// Whether this is the interpreter's main thread, the one that runs signal handlers.
bool OnMainThread() {
    static const unsigned long main_thread = [] {
        return py::module_::import("threading")
            .attr("main_thread")()
            .attr("ident")
            .cast<unsigned long>();
    }();
    return PyThread_get_thread_ident() == main_thread;
}

}  // namespace

released_call::released_call(py::object progress)
    : progress_(std::move(progress)), watched_(!progress_.is_none() || OnMainThread()) {}

released_call::~released_call() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(trace_);
}

bool released_call::Watch() {
    if (type_ != nullptr) return false;
    if (PyErr_CheckSignals() != 0) {
        PyErr_Fetch(&type_, &value_, &trace_);
        return false;
    }
    Report();
    return type_ == nullptr;
}

void released_call::Report() {
    if (progress_.is_none() || type_ != nullptr) return;
    const double f = sink_.fraction.load(std::memory_order_relaxed);
    const char *stage = sink_.stage.load(std::memory_order_relaxed);
    // Nothing to say before the first stage has begun.
    if (*stage == '\0' || (f == shown_ && stage == shown_stage_)) return;
    shown_ = f;
    shown_stage_ = stage;
    PyObject *r = PyObject_CallFunction(progress_.ptr(), "ds", f, stage);
    if (r == nullptr)
        PyErr_Fetch(&type_, &value_, &trace_);
    else
        Py_DECREF(r);
}

void released_call::Finish() {
    if (progress_.is_none()) return;
    sink_.fraction.store(1.0, std::memory_order_relaxed);
    sink_.stage.store("done", std::memory_order_relaxed);
    Report();
    if (type_ != nullptr) RaisePending();
}

void released_call::RaisePending() {
    PyErr_Restore(type_, value_, trace_);
    type_ = value_ = trace_ = nullptr;
    throw py::error_already_set();
}
