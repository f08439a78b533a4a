// Running the engine without the interpreter lock.
//
// A canonisation converts its arguments under the lock, releases it for the
// engine's work and takes it back to build the result, so that calls on
// several threads run in parallel. The engine asks its stop check between
// steps whether to stop; the check answers from two sources:
// - the thread's stop flag (a `_quorl._StopFlag` set in the context variable
//   `_quorl._current_stop_flag`), which any thread may set; it is read
//   without the lock, so a worker thread never waits for the lock to poll;
// - on the main thread, the interpreter's signal handlers (Ctrl-C raises
//   KeyboardInterrupt). Running them needs the lock, so the check takes it
//   back at most once per kSignalPollInterval, and polling often costs no
//   more than a read of a coarse clock. Other threads skip this: the
//   interpreter runs signal handlers on the main thread only. Which thread a
//   call runs on is asked at its first signal poll, so calls shorter than one
//   interval almost never ask (only one that meets a tick of the clock).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <utility>

#include "error/quorl_error.hpp"
#include "host_module/module_state.hpp"
#include "host_module/py_ref.hpp"

namespace quorl::host {

inline constexpr std::chrono::milliseconds kSignalPollInterval{2};

// The clock that spaces the signal polls: the coarse monotonic clock, which
// advances every few milliseconds and costs a fifth of steady_clock to read.
// A call of microseconds polls tens of times, and a signal poll a tick late
// still answers Ctrl-C at once to a person.
struct SignalPollClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<SignalPollClock>;
    static constexpr bool is_steady = true;
    static time_point now() noexcept;
};

// The class `_quorl._StopFlag` and the context variable that holds the
// current thread's flag.
PyRef create_stop_flag_type(PyObject* module);
PyRef create_current_stop_flag();

// Releases the interpreter lock for its lifetime (the calling thread must hold it).
class ReleasedLock {
public:
    ReleasedLock() : thread_(PyEval_SaveThread()) {}
    ~ReleasedLock() { PyEval_RestoreThread(thread_); }
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

    // Runs code that needs the lock, such as signal handlers, and releases it again.
    template <class Body>
    auto with_lock(Body&& body) {
        PyEval_RestoreThread(thread_);
        struct Release {
            ReleasedLock& lock;
            ~Release() { lock.thread_ = PyEval_SaveThread(); }
        } release{*this};
        return std::forward<Body>(body)();
    }

private:
    PyThreadState* thread_;
};

// One engine call's stop check and released lock. Made under the lock. A
// call that polls only between blocking system calls (a read that waits on a
// pipe) runs the signal handlers at every poll: a signal that cut such a wait
// short must be answered then, not at the next poll, which may never come.
class EngineCall {
public:
    explicit EngineCall(const ModuleState& state,
                        SignalPollClock::duration signal_poll_interval = kSignalPollInterval);
    EngineCall(const EngineCall&) = delete;
    EngineCall& operator=(const EngineCall&) = delete;

    // False (with the pending exception) when the thread's stop flag could not be read.
    bool ready() const { return ready_; }

    // Whether a poll asked the work to stop: the stop flag was set, or a
    // signal handler raised. Every later poll asks it too.
    bool stopped() const { return stopped_by_flag_ || stopped_by_signal_; }

    // Runs work(stop) with the lock released and returns its result once the
    // lock is held again (also when the work throws). When the work stopped
    // on the stop flag, KeyboardInterrupt is pending afterwards; when a
    // signal handler raised, that handler's exception.
    template <class Work>
    auto run_released(Work&& work) {
        auto result = [&] {
            released_.emplace();
            struct Reacquire {
                std::optional<ReleasedLock>& lock;
                ~Reacquire() { lock.reset(); }
            } reacquire{released_};
            return std::forward<Work>(work)(StopCheck(&EngineCall::poll, this));
        }();
        if (stopped_by_flag_ && PyErr_Occurred() == nullptr) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return result;
    }

private:
    static bool poll(void* call);
    bool signal_handler_raised();

    bool ready_ = false;
    PyRef flag_owner_;                        // keeps the stop flag alive for the call
    const std::atomic<bool>* flag_ = nullptr; // null when the thread has no flag
    // Whether this thread runs signal handlers, found out at the first signal poll.
    enum class SignalRole { Unknown, MainThread, OtherThread };
    SignalRole signal_role_ = SignalRole::Unknown;
    bool stopped_by_flag_ = false;
    bool stopped_by_signal_ = false;
    std::optional<ReleasedLock> released_;    // while the engine works
    SignalPollClock::duration signal_poll_interval_;
    SignalPollClock::time_point next_signal_poll_{};
};

}  // namespace quorl::host
