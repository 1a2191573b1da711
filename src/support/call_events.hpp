// Native calls and coroutine steps as profilers, tracers and sys.monitoring tools see them.
//
// The interpreter reports a call of a native function from Python code only as the call of a
// callable that is not one of its own functions (a CALL event, then C_RETURN), which cProfile
// and sys.setprofile leave out, and reports nothing of a call from native code nor of the steps
// of a native coroutine. So each native call and each step of a native coroutine reports
// itself, when anyone listens:
//
// - to a profile function (sys.setprofile, the profile module) as a C call of the function
//   (c_call, then c_return or c_exception): no frame of the function can be shown to it;
// - to the tools of sys.monitoring (cProfile among them), as a Python function's frame would:
//   its code starts (or resumes, or has an exception thrown in), then returns, yields or
//   unwinds. Left out while a trace or profile function is set, which would take these events
//   for events of the Python frame that called the native function.
#pragma once

#include "ref.hpp"

namespace tsy::call_events {

enum class Start { call, resume, thrown };
enum class End { returned, yielded, raised };

// Whether anyone may listen at all: set for good by the audit event that comes with every way
// of starting to listen (a profile or trace function, a sys.monitoring callback), or when that
// cannot be watched. Until then a call pays for one load and one branch.
extern bool listeners_possible __attribute__((visibility("hidden")));
// Sets `listeners_possible` (and `tracemalloc_possible`) now if someone listens (or traces)
// already, and arranges to be told of anyone who starts to; once per module, as it is executed.
void watch_for_listeners() noexcept;
// Whether tracemalloc may be tracing: set for good when the interpreter was started with it, or
// by the audit event of its module's first import (the only way to start it from Python). Until
// then a reused object need not be told to it.
extern bool tracemalloc_possible __attribute__((visibility("hidden")));
// Whether anything listens now.
bool watched_now() noexcept;
inline bool watched() noexcept { return listeners_possible && watched_now(); }

// Reports that `function` (a native function) starts or resumes running; its code object is
// `code`. For Start::thrown, `thrown` is the exception thrown in, which a tool is shown as the
// interpreter shows it (raised while the event fires); it stays the caller's, and nothing is
// left raised. False, with an exception raised, when a listener failed.
bool start(PyObject* function, PyObject* code, Start how, PyObject* thrown = nullptr) noexcept;
// Reports how the run that `start` reported ended: with `value` returned or yielded, or with
// the exception being raised (which stays raised). False, with an exception raised (in place
// of any), when a listener failed.
bool end(PyObject* function, PyObject* code, End how, PyObject* value) noexcept;

}  // namespace tsy::call_events
