#include "call_events.hpp"

#include <frameobject.h>

#include <cstring>
#include <utility>

namespace tsy::call_events {

namespace {

// The monitoring events a native call may fire, in the order of `Scope::states`.
enum Event { py_start, py_resume, py_throw, py_return, py_yield, py_unwind, kEvents };
constexpr uint8_t kEventTypes[kEvents] = {
    PY_MONITORING_EVENT_PY_START,  PY_MONITORING_EVENT_PY_RESUME, PY_MONITORING_EVENT_PY_THROW,
    PY_MONITORING_EVENT_PY_RETURN, PY_MONITORING_EVENT_PY_YIELD,  PY_MONITORING_EVENT_PY_UNWIND,
};

// Which tools listen to which event, as of a version of the interpreter's monitoring. The
// version changes whenever a tool's events do, and every thread state carries it in the high
// bits of its eval breaker (the low 8 bits are flags): reading it there spares a call.
struct Scope {
    PyMonitoringState states[kEvents] = {};
    uint64_t version = 0;
    uintptr_t seen = ~uintptr_t{0};  // the eval breaker's version bits when the states were read
    bool any = false;
};
Scope scope;

static_assert(PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000,
              "the eval breaker's version bits of Python 3.13");
constexpr uintptr_t kBreakerFlags = (uintptr_t{1} << 8) - 1;

[[gnu::noinline]] bool refresh(uintptr_t seen) noexcept {
    if (PyMonitoring_EnterScope(scope.states, &scope.version, kEventTypes, kEvents) < 0) {
        PyErr_Clear();
        return false;
    }
    scope.seen = seen;
    scope.any = false;
    for (const PyMonitoringState& s : scope.states) scope.any = scope.any || s.active;
    return scope.any;
}

bool monitored(PyThreadState* ts) noexcept {
    const uintptr_t seen = __atomic_load_n(&ts->eval_breaker, __ATOMIC_RELAXED) & ~kBreakerFlags;
    return seen == scope.seen ? scope.any : refresh(seen);
}

// A C-call event for the profile function, as the interpreter sends one for a built-in
// function; the profile function's own calls are not reported to it.
bool profile(PyThreadState* ts, int what, PyObject* function) noexcept {
    PyFrameObject* frame = PyEval_GetFrame();
    if (!frame) return true;  // nothing Python runs: nowhere to place the call
    Ref held = Ref::borrow(reinterpret_cast<PyObject*>(frame));
    ++ts->tracing;
    const int failed = ts->c_profilefunc(ts->c_profileobj, frame, what, function);
    --ts->tracing;
    return failed == 0;
}

}  // namespace

bool listeners_possible = false;
bool tracemalloc_possible = false;

namespace {

bool names_tracemalloc(PyObject* name) noexcept {
    return PyUnicode_Check(name) && (PyUnicode_CompareWithASCIIString(name, "tracemalloc") == 0 ||
                                     PyUnicode_CompareWithASCIIString(name, "_tracemalloc") == 0);
}

// The audit hook behind both flags: it only ever sets them, and costs a few compares per event.
int watch_audit(const char* event, PyObject* args, void*) noexcept {
    if (!listeners_possible && (std::strcmp(event, "sys.setprofile") == 0 || std::strcmp(event, "sys.settrace") == 0 ||
                                std::strncmp(event, "sys.monitoring.", 15) == 0))
        listeners_possible = true;
    // ("import", (name, filename, sys.path, sys.meta_path, sys.path_hooks)) as a module is loaded
    if (!tracemalloc_possible && std::strcmp(event, "import") == 0 && PyTuple_Check(args) && PyTuple_GET_SIZE(args) > 0 &&
        names_tracemalloc(PyTuple_GET_ITEM(args, 0)))
        tracemalloc_possible = true;
    return 0;
}

// Tracing already (`-X tracemalloc`, PYTHONTRACEMALLOC), or its module loaded before this one.
bool tracemalloc_started_or_loaded() noexcept {
    static const char probe = 0;
    const auto address = reinterpret_cast<uintptr_t>(&probe);
    if (PyTraceMalloc_Track(0, address, 1) == 0) {  // -2 when not tracing
        PyTraceMalloc_Untrack(0, address);
        return true;
    }
    PyErr_Clear();
    PyObject* modules = PyImport_GetModuleDict();
    for (const char* name : {"tracemalloc", "_tracemalloc"}) {
        PyObject* found = nullptr;
        if (PyDict_GetItemStringRef(modules, name, &found) != 0) {  // found, or an error: assume it may
            Py_XDECREF(found);
            PyErr_Clear();
            return true;
        }
    }
    return false;
}

}  // namespace

void watch_for_listeners() noexcept {
    static bool installed = false;
    if (std::exchange(installed, true)) return;
    PyObject* pending = PyErr_GetRaisedException();
    // Refused by a hook of the host's: then every call asks whether anyone listens.
    if (PySys_AddAuditHook(watch_audit, nullptr) < 0) listeners_possible = true;
    PyErr_Clear();
    if (tracemalloc_started_or_loaded()) tracemalloc_possible = true;
    // Someone listening already, or a sys.monitoring tool that may start to without an audit event.
    if (watched_now()) listeners_possible = true;
    if (Ref sys = Ref::steal(PyImport_ImportModule("sys"))) {
        Ref get_tool = Ref::steal(PyObject_GetAttrString(sys.get(), "monitoring"));
        if (get_tool) get_tool = Ref::steal(PyObject_GetAttrString(get_tool.get(), "get_tool"));
        for (int tool = 0; get_tool && tool < 6 && !listeners_possible; ++tool) {
            Ref name = Ref::steal(PyObject_CallFunction(get_tool.get(), "i", tool));
            listeners_possible = !name || !name.is_none();
        }
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
}

bool watched_now() noexcept {
    PyThreadState* ts = PyThreadState_GetUnchecked();
    if (!ts || ts->tracing) return false;
    if (ts->c_profilefunc) return true;
    return !ts->c_tracefunc && monitored(ts);
}

bool start(PyObject* function, PyObject* code, Start how, PyObject* thrown) noexcept {
    PyThreadState* ts = PyThreadState_GetUnchecked();
    if (!ts || ts->tracing) return true;
    if (ts->c_profilefunc) return profile(ts, PyTrace_C_CALL, function);
    if (ts->c_tracefunc || !monitored(ts)) return true;
    switch (how) {
        case Start::call: return PyMonitoring_FirePyStartEvent(&scope.states[py_start], code, 0) == 0;
        case Start::resume: return PyMonitoring_FirePyResumeEvent(&scope.states[py_resume], code, 0) == 0;
        case Start::thrown: {
            // The event hands the tool the exception being raised, and raises it again after.
            if (!thrown) return true;
            PyErr_SetRaisedException(Py_NewRef(thrown));
            if (PyMonitoring_FirePyThrowEvent(&scope.states[py_throw], code, 0) < 0) return false;
            Py_XDECREF(PyErr_GetRaisedException());
            return true;
        }
    }
    return true;
}

bool end(PyObject* function, PyObject* code, End how, PyObject* value) noexcept {
    PyThreadState* ts = PyThreadState_GetUnchecked();
    if (!ts || ts->tracing) return true;
    if (ts->c_profilefunc) {
        if (how != End::raised) return profile(ts, PyTrace_C_RETURN, function);
        // The function's error stays raised across the report, as the interpreter keeps it.
        PyObject* raised = PyErr_GetRaisedException();
        const bool reported = profile(ts, PyTrace_C_EXCEPTION, function);
        if (reported) PyErr_SetRaisedException(raised);
        else Py_XDECREF(raised);
        return reported;
    }
    if (ts->c_tracefunc || !monitored(ts)) return true;
    switch (how) {
        case End::returned: return PyMonitoring_FirePyReturnEvent(&scope.states[py_return], code, 0, value) == 0;
        case End::yielded: return PyMonitoring_FirePyYieldEvent(&scope.states[py_yield], code, 0, value) == 0;
        case End::raised: return PyMonitoring_FirePyUnwindEvent(&scope.states[py_unwind], code, 0) == 0;
    }
    return true;
}

}  // namespace tsy::call_events
