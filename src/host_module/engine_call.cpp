#include "host_module/engine_call.hpp"

#include <time.h>

#include <new>

#include "host_module/arguments.hpp"

namespace quorl::host {

namespace {

// A `_quorl._StopFlag`: set once, never cleared, read by engine calls on any thread.
struct StopFlagObject {
    PyObject_HEAD
    std::atomic<bool> is_set;
};

std::atomic<bool>& flag_of(PyObject* self) { return reinterpret_cast<StopFlagObject*>(self)->is_set; }

PyObject* new_stop_flag(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "_StopFlag() takes no arguments");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&flag_of(self)) std::atomic<bool>(false);
    return self;
}

void dealloc_stop_flag(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types hold a reference to their type
}

PyObject* set_flag(const ModuleState&, PyObject* self) {
    flag_of(self).store(true, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyObject* flag_is_set(const ModuleState&, PyObject* self) {
    return PyBool_FromLong(flag_of(self).load(std::memory_order_relaxed));
}

constexpr Signature<0> kSet{"_StopFlag.set", {}};
constexpr Signature<0> kIsSet{"_StopFlag.is_set", {}};

PyMethodDef stop_flag_methods[] = {
    {"set", method_entry<kSet, set_flag>(), METH_FASTCALL | METH_KEYWORDS,
     "set($self)\n--\n\nMakes every call running under this flag stop at its next poll with KeyboardInterrupt."},
    {"is_set", method_entry<kIsSet, flag_is_set>(), METH_FASTCALL | METH_KEYWORDS, "is_set($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot stop_flag_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&new_stop_flag)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_stop_flag)},
    {Py_tp_methods, stop_flag_methods},
    {0, nullptr},
};

PyType_Spec stop_flag_spec = {"_quorl._StopFlag", sizeof(StopFlagObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, stop_flag_slots};

// Whether the calling thread is the interpreter's main thread, the only one
// that runs signal handlers: 1 or 0, -1 with the pending exception. Threads
// are started through the threading module, so without it loaded this is
// the main thread.
int on_main_thread() {
    PyObject* threading = PyDict_GetItemString(PyImport_GetModuleDict(), "threading");  // borrowed
    if (threading == nullptr) return 1;
    PyRef main_thread = PyRef::steal(PyObject_CallMethod(threading, "main_thread", nullptr));
    if (!main_thread) return -1;
    PyRef ident = PyRef::steal(PyObject_GetAttrString(main_thread.get(), "ident"));
    if (!ident) return -1;
    const unsigned long main_ident = PyLong_AsUnsignedLong(ident.get());
    if (main_ident == static_cast<unsigned long>(-1) && PyErr_Occurred() != nullptr) return -1;
    return main_ident == PyThread_get_thread_ident() ? 1 : 0;
}

}  // namespace

SignalPollClock::time_point SignalPollClock::now() noexcept {
#ifdef CLOCK_MONOTONIC_COARSE
    constexpr clockid_t clock = CLOCK_MONOTONIC_COARSE;  // Linux
#else
    constexpr clockid_t clock = CLOCK_MONOTONIC;
#endif
    timespec now{};
    clock_gettime(clock, &now);
    return time_point(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
}

PyRef create_stop_flag_type(PyObject* module) {
    return PyRef::steal(PyType_FromModuleAndSpec(module, &stop_flag_spec, nullptr));
}

PyRef create_current_stop_flag() {
    return PyRef::steal(PyContextVar_New("quorl_stop_flag", nullptr));
}

EngineCall::EngineCall(const ModuleState& state, SignalPollClock::duration signal_poll_interval)
    : signal_poll_interval_(signal_poll_interval) {
    PyObject* flag = nullptr;
    if (PyContextVar_Get(state.current_stop_flag, nullptr, &flag) < 0) return;
    flag_owner_ = PyRef::steal(flag);
    if (flag_owner_) {
        if (!PyObject_TypeCheck(flag, state.stop_flag_type)) {
            raise_cast_error(flag, "_StopFlag");
            return;
        }
        flag_ = &flag_of(flag);
    }
    next_signal_poll_ = SignalPollClock::now() + signal_poll_interval_;
    ready_ = true;
}

bool EngineCall::signal_handler_raised() {
    return released_->with_lock([this] {
        // Asked at the first signal poll, not as the call starts: most calls
        // end before one is due and so never pay for the question.
        if (signal_role_ == SignalRole::Unknown) {
            const int main_thread = on_main_thread();
            if (main_thread < 0) return true;  // its exception is pending and ends the call
            signal_role_ = main_thread == 1 ? SignalRole::MainThread : SignalRole::OtherThread;
            if (signal_role_ == SignalRole::OtherThread) return false;
        }
        return PyErr_CheckSignals() != 0;
    });
}

bool EngineCall::poll(void* context) {
    EngineCall& call = *static_cast<EngineCall*>(context);
    if (call.stopped_by_flag_ || call.stopped_by_signal_) return true;
    if (call.flag_ != nullptr && call.flag_->load(std::memory_order_relaxed)) {
        call.stopped_by_flag_ = true;
        return true;
    }
    if (call.signal_role_ == SignalRole::OtherThread) return false;
    const auto now = SignalPollClock::now();
    if (now < call.next_signal_poll_) return false;
    call.next_signal_poll_ = now + call.signal_poll_interval_;
    call.stopped_by_signal_ = call.signal_handler_raised();
    return call.stopped_by_signal_;
}

}  // namespace quorl::host
