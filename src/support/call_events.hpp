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

// Whether anything listens now; cheap enough for every call.
bool watched() noexcept;

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
