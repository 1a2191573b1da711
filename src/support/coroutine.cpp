#include "coroutine.hpp"

#include "call_events.hpp"
#include "frame_arena.hpp"

#include <frameobject.h>
#include <opcode_ids.h>

namespace tsy {

namespace {

static_assert(PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000,
              "frame states, opcodes and object headers of Python 3.13");

// Where a coroutine is in its life, as inspect.getcoroutinestate tells it.
enum class State : uint8_t {
    created,    // made, not started: nothing of its body has run
    running,    // a step of it runs now
    suspended,  // waiting in an await
    finished,   // returned, raised or closed: its frames are gone
};

struct CoroutineObject {
    PyObject_HEAD
    Chain chain;         // empty whenever the coroutine is not running a frame
    PyObject* function;  // the native function that made it, which names it
    PyObject* weakrefs;
    PyObject* frame;     // cr_frame, made when first asked for and kept until the coroutine finishes
    PyObject* origin;    // cr_origin: where it was made, when origin tracking was on
    State state;
    bool awaited;  // an await of it began (its __await__ was asked for): from then on it iterates
    uint8_t count;       // the arguments of the call that made it, which its frame shows
    PyObject* kwargs;
    PyObject* args[kMaxParams];
};

CoroutineObject* as_coroutine(PyObject* o) noexcept { return reinterpret_cast<CoroutineObject*>(o); }

// Takes the raised exception: `(exc)` form of throw(), or the deprecated (type, value, tb).
Ref normalize_thrown(PyObject* type, PyObject* value, PyObject* tb) {
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) raise(PyExc_TypeError, "throw() third argument must be a traceback object");
    if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None)
            raise(PyExc_TypeError, "instance exception may not have a separate value");
        Ref exc = Ref::borrow(type);
        if (tb && PyException_SetTraceback(exc.get(), tb) < 0) throw_error();
        return exc;
    }
    if (PyExceptionClass_Check(type)) {
        Ref exc;
        if (!value || value == Py_None) exc = call(type);
        else if (PyExceptionInstance_Check(value) && is_instance(value, type)) exc = Ref::borrow(value);
        else if (PyTuple_Check(value)) exc = Ref::checked(PyObject_Call(type, value, nullptr));  // type(*value)
        else exc = call(type, value);
        if (tb && PyException_SetTraceback(exc.get(), tb) < 0) throw_error();
        return exc;
    }
    raise(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
          Py_TYPE(type)->tp_name);
}

// Turns the error a C++ frame finished with into the interpreter's raised exception.
void raise_frame_error(std::exception_ptr error) noexcept {
    try {
        std::rethrow_exception(error);
    } catch (PyError& e) {
        // As for generators, a StopIteration must not leak out of a coroutine body, or the
        // awaiting code would take it for a normal return.
        if (!e.matches(PyExc_StopIteration)) return e.restore();
        PyObject* replacement = PyObject_CallOneArg(PyExc_RuntimeError, interned_name("coroutine raised StopIteration"));
        if (!replacement) return;  // the failure to make it is raised instead
        PyException_SetCause(replacement, Ref(e.exception()).release());
        PyException_SetContext(replacement, Ref(e.exception()).release());
        PyErr_SetRaisedException(replacement);
    } catch (...) {
        set_error_from_current_exception();
    }
}

// The value of a StopIteration the interpreter is raising (None if it carries none).
Ref take_stop_value() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref value = getattr(exc.get(), "value");
    return value;
}

// Runs the frame until it awaits something new or finishes.
void resume_frame(CoroutineObject* self, Ref sent, Ref thrown) {
    self->chain.sent = std::move(sent);
    self->chain.thrown = std::move(thrown);
    self->chain.current.resume();
}

// Marks the coroutine finished and lets go of what only a live coroutine shows: its frame
// object and the arguments of its call.
inline void end_call(CoroutineObject* self) noexcept {
    self->state = State::finished;
    self->chain.current = {};
    if (self->frame) [[unlikely]]
        Py_CLEAR(self->frame);
    if (self->kwargs) [[unlikely]]
        Py_CLEAR(self->kwargs);
    for (uint8_t i = std::exchange(self->count, 0); i > 0; --i) Py_CLEAR(self->args[i - 1]);
}

// Lets go of the frames (destroying them, unless the root frame finished and freed itself),
// of what the chain held, and of the call (`end_call`). Each is tested first: after a frame
// returned, nearly all of them are empty already.
inline void finish(CoroutineObject* self) noexcept {
    Chain& chain = self->chain;
    end_call(self);
    if (auto root = std::exchange(chain.root, {})) root.destroy();
    if (chain.delegate) chain.delegate.reset();
    if (chain.sent) chain.sent.reset();
    if (chain.thrown) chain.thrown.reset();
    if (chain.returned) chain.returned.reset();
    if (chain.failed) [[unlikely]]
        chain.failed = nullptr;
}

// Whether the collector has finalized the object, which it remembers for the object's life:
// the flag the collector keeps in the low bit of the header before the object (what
// PyObject_GC_IsFinalized reads, without a call).
bool gc_finalized(PyObject* o) noexcept {
    return reinterpret_cast<const uintptr_t*>(o)[-1] & 1;
}

// The heart of the bridge: one step of send/throw. `value` is sent (borrowed) unless
// `thrown` holds an exception to raise at the current await.
PySendResult advance(CoroutineObject* self, PyObject* value, Ref thrown, PyObject** out);

// The end of a step whose frame finished: its value, or its error raised, with the traceback
// entry of the coroutine's frame.
PySendResult conclude(CoroutineObject* self, PyObject** out) noexcept {
    if (self->chain.failed) [[unlikely]] {
        std::exception_ptr error = std::move(self->chain.failed);
        raise_frame_error(error);
        add_traceback_entry(self->function, self->args, self->count, self->kwargs);
        PyObject* raised = PyErr_GetRaisedException();  // kept from what freeing the frames runs
        finish(self);
        PyErr_SetRaisedException(raised);
        *out = nullptr;
        return PYGEN_ERROR;
    }
    *out = self->chain.returned ? self->chain.returned.release() : Py_NewRef(Py_None);
    // A frame that returned leaves its chain empty: it freed itself as it finished, and took
    // what came back from each await (and what was thrown in) as it resumed. What the coroutine
    // shows of its call is all that is left.
    assert(!self->chain.root && !self->chain.delegate && !self->chain.sent && !self->chain.thrown);
    end_call(self);
    return PYGEN_RETURN;
}

// The first step of `await`, which often runs the whole body: it starts the frame, and the
// turns of `advance` follow only if the frame awaits something.
[[gnu::always_inline]] inline PySendResult first_step(CoroutineObject* self, PyObject** out) {
    self->state = State::running;
    self->chain.current.resume();  // the frame keeps its own errors
    if (!self->chain.root) return conclude(self, out);
    self->state = State::suspended;  // on its first await, which `advance` drives
    return advance(self, Py_None, nullptr, out);
}

// True when a step can be the first step: not started, nothing thrown in, nothing sent.
bool starts_plainly(const CoroutineObject* self, PyObject* value, PyObject* thrown) noexcept {
    return self->state == State::created && self->chain.root && !thrown && value == Py_None;
}

// One step as profilers and sys.monitoring see it: a run of the coroutine's function that
// starts (or resumes, or has an exception thrown in), then yields, returns or raises.
[[gnu::noinline]] PySendResult watched_step(CoroutineObject* self, PyObject* value, Ref thrown, PyObject** out) {
    using namespace call_events;
    const Start how = thrown ? Start::thrown : self->state == State::created ? Start::call : Start::resume;
    PyObject* code = function_code(self->function);
    if (!code || !start(self->function, code, how, thrown.get())) {
        *out = nullptr;
        return PYGEN_ERROR;
    }
    const PySendResult r = starts_plainly(self, value, thrown.get()) ? first_step(self, out)
                                                                     : advance(self, value, std::move(thrown), out);
    const End ending = r == PYGEN_NEXT ? End::yielded : r == PYGEN_RETURN ? End::returned : End::raised;
    if (!end(self->function, code, ending, *out)) {
        Py_CLEAR(*out);
        return PYGEN_ERROR;
    }
    return r;
}

// A step of the coroutine, from whichever entry.
// A step with a value sent in, the way every await comes: with no exception to carry, it
// makes no reference of its own.
inline PySendResult drive(CoroutineObject* self, PyObject* value, PyObject** out) {
    if (call_events::watched()) [[unlikely]]
        return watched_step(self, value, nullptr, out);
    return starts_plainly(self, value, nullptr) ? first_step(self, out) : advance(self, value, nullptr, out);
}

PySendResult step(CoroutineObject* self, PyObject* value, Ref thrown, PyObject** out) {
    // A native coroutine awaiting another nests one step in the other on the C stack: bound
    // the depth as the interpreter bounds nested calls (RecursionError, not a crash).
    if (Py_EnterRecursiveCall(" in a native coroutine")) {
        *out = nullptr;
        return PYGEN_ERROR;
    }
    PySendResult r;
    if (!thrown) r = drive(self, value, out);
    else if (call_events::watched()) [[unlikely]] r = watched_step(self, value, std::move(thrown), out);
    else r = advance(self, value, std::move(thrown), out);
    Py_LeaveRecursiveCall();
    return r;
}

// The same for an await from a native frame (am_send), with no exception thrown in.
PySendResult nested_send(CoroutineObject* self, PyObject* value, PyObject** out) {
    if (Py_EnterRecursiveCall(" in a native coroutine")) {
        *out = nullptr;
        return PYGEN_ERROR;
    }
    const PySendResult r = drive(self, value, out);
    Py_LeaveRecursiveCall();
    return r;
}

PySendResult advance(CoroutineObject* self, PyObject* value, Ref thrown, PyObject** out) {
    *out = nullptr;
    if (!self->chain.root) {
        // As for the interpreter's coroutines, also when an exception is thrown in (close()
        // never gets here: it is silent on a finished coroutine), and also to code that the
        // finishing frame runs as it frees itself.
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    if (self->state == State::running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    }
    if (self->state == State::created && !thrown && value != Py_None) {
        // Refused before anything runs: the coroutine stays unstarted and usable.
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return PYGEN_ERROR;
    }
    Chain& chain = self->chain;
    const bool starting = self->state == State::created;
    self->state = State::running;
    try {
        PyObject* sent = value;  // borrowed: the caller holds it through the call
        if (starting) {
            chain.thrown = std::move(thrown);  // raised at the very start, if any
            chain.current.resume();
            sent = Py_None;  // what the frame awaits now starts with None
        }
        // Each turn hands the awaited iterator what came in (a value, or an exception to
        // throw), then resumes the frame with what the iterator gave back, until the
        // iterator yields (out to the loop) or the frame finishes.
        while (chain.root) {
            Ref delegate = std::move(chain.delegate);
            Ref result_value, error;
            if (!delegate) {  // a throw into a frame that awaits nothing
                error = std::move(thrown);
            } else if (thrown) {
                if (PyErr_GivenExceptionMatches(thrown.get(), PyExc_GeneratorExit)) {
                    // close() closes the awaited object first, then the frame.
                    Ref close = Ref::steal(PyObject_GetAttrString(delegate.get(), "close"));
                    if (!close) PyErr_Clear();
                    else if (!Ref::steal(PyObject_CallNoArgs(close.get()))) thrown = Ref::steal(PyErr_GetRaisedException());
                    error = std::move(thrown);
                } else {
                    Ref method = Ref::steal(PyObject_GetAttrString(delegate.get(), "throw"));
                    if (!method) {
                        PyErr_Clear();
                        error = std::move(thrown);
                    } else {
                        Ref yielded = Ref::steal(PyObject_CallOneArg(method.get(), thrown.get()));
                        thrown.reset();
                        if (yielded) {
                            chain.delegate = std::move(delegate);
                            self->state = State::suspended;
                            *out = yielded.release();
                            return PYGEN_NEXT;
                        }
                        if (PyErr_ExceptionMatches(PyExc_StopIteration)) result_value = take_stop_value();
                        else error = Ref::steal(PyErr_GetRaisedException());
                    }
                }
            } else {
                PyObject* r = nullptr;
                PySendResult sr = PyIter_Send(delegate.get(), sent, &r);
                if (sr == PYGEN_NEXT) {
                    chain.delegate = std::move(delegate);
                    self->state = State::suspended;
                    *out = r;
                    return PYGEN_NEXT;
                }
                if (sr == PYGEN_RETURN) result_value = Ref::steal(r);
                else error = Ref::steal(PyErr_GetRaisedException());
            }
            resume_frame(self, error ? nullptr : std::move(result_value), std::move(error));
            sent = Py_None;
        }
    } catch (...) {
        // Only the bridge's own bookkeeping can land here (the frame keeps its errors).
        set_error_from_current_exception();
        finish(self);
        return PYGEN_ERROR;
    }
    return conclude(self, out);
}

PySendResult coroutine_am_send(PyObject* self, PyObject* arg, PyObject** out) noexcept {
    return nested_send(as_coroutine(self), arg ? arg : Py_None, out);
}

// ---- the StopIteration of `await` ------------------------------------------------------------
//
// The interpreter's `await` of an object that is not one of its own coroutines goes through
// tp_iternext, and a returned value other than None travels in a StopIteration, which the
// interpreter unpacks and drops at once. Making that exception costs more than the rest of
// the await, so one is kept in reserve and raised again while nothing else holds it: not
// caught and kept by anyone (its reference count is the reserve's alone), and with nothing
// attached to it (traceback, context, cause, notes, attributes). Otherwise a new one is made,
// the generic way of calling the class skipped.

PyStopIterationObject* stop_in_reserve = nullptr;  // kept for the life of the process

bool reusable(const PyStopIterationObject* e) {
    return Py_REFCNT(e) == 1 && !e->dict && !e->notes && !e->traceback && !e->context && !e->cause &&
           !e->suppress_context && e->args && PyTuple_CheckExact(e->args) && Py_REFCNT(e->args) == 1 &&
           PyTuple_GET_SIZE(e->args) == 1;
}

// Puts `value` (a reference taken over) into the reserve's value and args, then drops what
// they held: last, since dropping may run any code, which may await in turn.
void carry(PyStopIterationObject* e, PyObject* value) {
    PyObject* old_item = PyTuple_GET_ITEM(e->args, 0);
    PyObject* old_value = e->value;
    PyTuple_SET_ITEM(e->args, 0, Py_NewRef(value));
    e->value = value;
    Py_XDECREF(old_item);
    Py_XDECREF(old_value);
}

// Raises StopIteration(value), taking over the reference to `value`.
void raise_stop_iteration(PyObject* value) {
    if (PyStopIterationObject* e = stop_in_reserve; e && reusable(e)) {
        Py_INCREF(e);  // the raised reference
        PyObject* old_item = PyTuple_GET_ITEM(e->args, 0);
        PyObject* old_value = e->value;
        PyTuple_SET_ITEM(e->args, 0, Py_NewRef(value));
        e->value = value;
        PyErr_SetRaisedException(reinterpret_cast<PyObject*>(e));
        Py_XDECREF(old_item);
        Py_XDECREF(old_value);
        return;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(PyExc_StopIteration);
    PyObject* args = PyTuple_Pack(1, value);
    PyObject* self = args ? type->tp_alloc(type, 0) : nullptr;  // zeroed and tracked
    if (!self) {
        Py_XDECREF(args);
        Py_DECREF(value);
        return;
    }
    auto* e = reinterpret_cast<PyStopIterationObject*>(self);
    e->args = args;
    e->value = value;
    Py_XSETREF(stop_in_reserve, reinterpret_cast<PyStopIterationObject*>(Py_NewRef(self)));
    PyErr_SetRaisedException(self);
}

// The reserve lets go of the last value it carried once the await that took it is over (its
// coroutine is being freed), so that the value does not outlive its use.
void release_stop_value() {
    PyStopIterationObject* e = stop_in_reserve;
    if (e && e->value != Py_None && reusable(e)) carry(e, Py_NewRef(Py_None));
}

// Makes a finished step look like a method result: StopIteration carries the return value.
PyObject* step_result(PySendResult r, PyObject* out) noexcept {
    if (r == PYGEN_NEXT) return out;
    if (r == PYGEN_RETURN) {
        Ref value = Ref::steal(out);
        Ref stop = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, value.get()));
        if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
    }
    return nullptr;
}

// send() and next() come from interpreter code, whose own frames bound the depth; a native
// frame delegates through am_send, throw() and close(), which are guarded.
PyObject* coroutine_send(PyObject* self, PyObject* arg) noexcept {
    PyObject* out = nullptr;
    PySendResult r = drive(as_coroutine(self), arg, &out);
    return step_result(r, out);
}

// ---- not an iterator, but to an await ------------------------------------------------------------
//
// The interpreter's `await` of an object that is not one of its own coroutines asks for its
// __await__ (which gives the coroutine itself) and then drives it through tp_iternext, which
// is the fastest way in. Anywhere else iteration is a mistake that would run the body (post a
// request, say): as with the interpreter's coroutines, iter(), next(), for and list() refuse,
// and so does `yield from` outside a generator made with types.coroutine.

// True when the Python code asking for the iterator is a `yield from` in a generator that may
// delegate to a coroutine (types.coroutine), which the interpreter allows.
bool asked_by_coroutine_generator(bool& in_plain_generator) {
    in_plain_generator = false;
    PyFrameObject* frame = PyEval_GetFrame();  // borrowed
    if (!frame) return false;
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    Ref bytecode = Ref::checked(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(code.get())));
    const int at = PyFrame_GetLasti(frame);
    if (at < 0 || at >= PyBytes_GET_SIZE(bytecode.get())) return false;
    if (static_cast<unsigned char>(PyBytes_AS_STRING(bytecode.get())[at]) != GET_YIELD_FROM_ITER) return false;
    const int flags = reinterpret_cast<PyCodeObject*>(code.get())->co_flags;
    if (flags & (CO_ITERABLE_COROUTINE | CO_COROUTINE)) return true;
    in_plain_generator = flags & CO_GENERATOR;
    return false;
}

PyObject* coroutine_iter(PyObject* self) noexcept {
    return guard_object([&]() -> Ref {
        bool in_plain_generator = false;
        if (asked_by_coroutine_generator(in_plain_generator)) {
            as_coroutine(self)->awaited = true;
            return Ref::borrow(self);
        }
        if (in_plain_generator) raise(PyExc_TypeError, "cannot 'yield from' a coroutine object in a non-coroutine generator");
        raise(PyExc_TypeError, "'%.200s' object is not iterable", Py_TYPE(self)->tp_name);
    });
}

PyObject* coroutine_await(PyObject* self) noexcept {
    CoroutineObject* c = as_coroutine(self);
    if (c->state == State::suspended) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    c->awaited = true;
    return Py_NewRef(self);
}

PyObject* coroutine_iternext(PyObject* self) noexcept {
    CoroutineObject* c = as_coroutine(self);
    if (!c->awaited) [[unlikely]] {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not an iterator", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    PyObject* out = nullptr;
    PySendResult r = drive(c, Py_None, &out);
    if (r != PYGEN_RETURN) return r == PYGEN_NEXT ? out : nullptr;
    if (out == Py_None) {
        Py_DECREF(out);  // StopIteration without a value: no exception needed at all
        return nullptr;
    }
    raise_stop_iteration(out);
    return nullptr;
}

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return nullptr;
    PyObject* out = nullptr;
    PySendResult r = guard<PySendResult>(PYGEN_ERROR, [&] {
        Ref exc = normalize_thrown(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
        return step(as_coroutine(self), Py_None, std::move(exc), &out);
    });
    return step_result(r, out);
}

PyObject* coroutine_close(PyObject* self, PyObject*) noexcept {
    CoroutineObject* c = as_coroutine(self);
    if (!c->chain.root) Py_RETURN_NONE;
    if (c->state == State::created) {  // never ran: nothing to unwind but its captured arguments
        finish(c);
        Py_RETURN_NONE;
    }
    Ref exit = Ref::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
    if (!exit) return nullptr;
    PyObject* out = nullptr;
    PySendResult r = step(c, Py_None, std::move(exit), &out);
    if (r == PYGEN_NEXT) {
        Py_DECREF(out);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        finish(c);
        return nullptr;
    }
    if (r == PYGEN_RETURN) {
        Py_DECREF(out);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

// "coroutine '...' was never awaited", through the warnings module as the interpreter warns
// it: with the coroutine as its source, so that tracemalloc can say where it was made, and with
// where it was made when origin tracking is on.
void warn_never_awaited(PyObject* self) noexcept {
    bool warned = false;
    Ref warnings = Ref::steal(PyImport_GetModule(interned_name("warnings")));  // never imported here
    Ref warn = warnings ? Ref::steal(PyObject_GetAttrString(warnings.get(), "_warn_unawaited_coroutine")) : nullptr;
    if (warn) {
        Ref done = Ref::steal(PyObject_CallOneArg(warn.get(), self));
        // A filter that turns the warning into an error has warned too: the error is reported.
        warned = done || PyErr_ExceptionMatches(PyExc_RuntimeWarning);
    }
    if (PyErr_Occurred()) PyErr_WriteUnraisable(self);
    if (!warned && PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited",
                                    function_qualname(as_coroutine(self)->function)) < 0)
        PyErr_WriteUnraisable(self);
}

void coroutine_finalize(PyObject* self) noexcept {
    CoroutineObject* c = as_coroutine(self);
    if (!c->chain.root) return;
    PyObject* saved = PyErr_GetRaisedException();
    if (c->state == State::created) {
        warn_never_awaited(self);
        finish(c);
    } else {
        PyObject* r = coroutine_close(self, nullptr);
        if (r) Py_DECREF(r);
        else PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(saved);
}

// Finished coroutine objects kept for the next ones: an await makes one and frees one.
constexpr int kKeptCoroutines = 64;
CoroutineObject* kept_coroutines[kKeptCoroutines];
int kept_count = 0;

void coroutine_dealloc(PyObject* self) noexcept {
    CoroutineObject* c = as_coroutine(self);
    PyObject_GC_UnTrack(self);
    if (!c->chain.root) {  // finished: no frame to finalize or free, nothing to recurse into
        if (c->weakrefs) PyObject_ClearWeakRefs(self);
        Py_CLEAR(c->function);
        Py_CLEAR(c->origin);
        release_stop_value();
        // One that was finalized keeps the collector's mark: kept, it would never be again. A
        // kept one keeps its (empty) chain for the next.
        if (kept_count < kKeptCoroutines && !gc_finalized(self)) {
            kept_coroutines[kept_count++] = c;
            return;
        }
        c->chain.~Chain();
        Py_TYPE(self)->tp_free(self);
        return;
    }
    // Freeing a frame can free the coroutine it awaits, and so on down a chain: the
    // trashcan keeps that from exhausting the C stack.
    Py_TRASHCAN_BEGIN(self, coroutine_dealloc)
    bool resurrected = false;
    if (c->chain.root) {  // only a live frame gives the finalizer work
        PyObject_GC_Track(self);
        resurrected = PyObject_CallFinalizerFromDealloc(self) < 0;
        if (!resurrected) PyObject_GC_UnTrack(self);
    }
    if (!resurrected) {
        if (c->weakrefs) PyObject_ClearWeakRefs(self);
        finish(c);
        Py_CLEAR(c->function);
        Py_CLEAR(c->origin);
        c->chain.~Chain();
        Py_TYPE(self)->tp_free(self);
    }
    Py_TRASHCAN_END
}

// What a chain holds: the state of its await, and every `Ref` in each of its frames, from the
// innermost running one to the root; and what only a live coroutine shows (its frame object,
// the arguments of its call).
int coroutine_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    CoroutineObject* c = as_coroutine(self);
    Py_VISIT(c->function);
    Py_VISIT(c->origin);
    if (!c->chain.root) return 0;
    Py_VISIT(c->frame);
    Py_VISIT(c->kwargs);
    for (uint8_t i = 0; i < c->count; ++i) Py_VISIT(c->args[i]);
    Py_VISIT(c->chain.delegate.get());
    Py_VISIT(c->chain.sent.get());
    Py_VISIT(c->chain.thrown.get());
    Py_VISIT(c->chain.returned.get());
    // A compiler may place a nested frame inside its caller's (and so on outwards): the frames
    // sharing a slot then follow one another in the chain, and the slot is visited once.
    const void* visited = nullptr;
    for (auto frame = c->chain.current; frame; frame = frame.promise().parent) {
        const frame_arena::Slot slot = frame_arena::slot_of(frame.address());
        if (slot.begin == visited) continue;
        visited = slot.begin;
        if (int r = frame_arena::traverse(slot, visit, arg)) return r;
    }
    return 0;
}

// Breaks a cycle through the coroutine: its frames go, with every reference they held. A
// running coroutine is never garbage (whoever runs it holds it). The collector finalizes
// before it clears, and finalizing closes the frames, so most cycles are broken by then; this
// is what frees a cycle whose finalizer failed before it could resume a frame (a tool's
// callback that raised on the thrown-in GeneratorExit, an interruption landing there, the depth
// bound of a step, no memory for the GeneratorExit). A coroutine is finalized once in its life:
// one that such a failure left alive (a report that kept it) has only this left once dropped.
int coroutine_clear(PyObject* self) noexcept {
    CoroutineObject* c = as_coroutine(self);
    if (c->state != State::running) finish(c);
    return 0;
}

PyObject* coroutine_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", function_qualname(as_coroutine(self)->function),
                                self);
}

PyObject* get_running(PyObject* self, void*) noexcept {
    const CoroutineObject* c = as_coroutine(self);
    return PyBool_FromLong(c->state == State::running && c->chain.root);  // a finished frame freeing itself runs no more
}
PyObject* get_suspended(PyObject* self, void*) noexcept {
    return PyBool_FromLong(as_coroutine(self)->state == State::suspended);
}
PyObject* get_await(PyObject* self, void*) noexcept {
    CoroutineObject* c = as_coroutine(self);
    PyObject* d = c->chain.delegate.get();
    return Py_NewRef(d ? d : Py_None);
}
PyObject* get_code(PyObject* self, void*) noexcept {
    PyObject* code = function_code(as_coroutine(self)->function);
    return code ? Py_NewRef(code) : nullptr;
}
// The frame of a coroutine not finished: its code and the line of its definition, its
// parameters as its locals. Made when first asked for, the same object after.
PyObject* get_frame(PyObject* self, void*) noexcept {
    CoroutineObject* c = as_coroutine(self);
    if (c->state == State::finished || !c->chain.root) Py_RETURN_NONE;
    if (!c->frame) {
        c->frame = guard<PyObject*>(nullptr, [&] { return function_frame(c->function, c->args, c->count, c->kwargs).release(); });
        if (!c->frame) return nullptr;
    }
    return Py_NewRef(c->frame);
}
PyObject* get_origin(PyObject* self, void*) noexcept {
    PyObject* origin = as_coroutine(self)->origin;
    return Py_NewRef(origin ? origin : Py_None);
}
PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(function_name(as_coroutine(self)->function)); }
PyObject* get_qualname(PyObject* self, void*) noexcept {
    return Py_NewRef(function_qualname(as_coroutine(self)->function));
}

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)), METH_FASTCALL,
     "throw(value)\n\nRaise exception in coroutine, return next yielded value or raise StopIteration."},
    {"close", coroutine_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_origin", get_origin, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods coroutine_async = {coroutine_await, nullptr, nullptr, coroutine_am_send};

// Where a coroutine is made: (file, line, function) of the Python frames that made it, the
// innermost first, as many as sys.set_coroutine_origin_tracking_depth asks for.
[[gnu::noinline, gnu::cold]] Ref origin_of(int depth) {
    Ref origin = new_list();
    Ref frame = Ref::borrow(reinterpret_cast<PyObject*>(PyEval_GetFrame()));
    for (int i = 0; i < depth && frame; ++i) {
        auto* f = reinterpret_cast<PyFrameObject*>(frame.get());
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(f)));
        append(origin, tuple_of({code.attr("co_filename"), integer(PyFrame_GetLineNumber(f)), code.attr("co_name")}));
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(f)));
    }
    return Ref::checked(PyList_AsTuple(origin.get()));
}

}  // namespace

PyTypeObject* coroutine_type() {
    static PyTypeObject type = [] {
        PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
        t.tp_name = "native_coroutine";
        t.tp_basicsize = sizeof(CoroutineObject);
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
        t.tp_doc = "A coroutine implemented in C++.";
        t.tp_dealloc = coroutine_dealloc;
        t.tp_finalize = coroutine_finalize;
        t.tp_traverse = coroutine_traverse;
        t.tp_clear = coroutine_clear;
        t.tp_repr = coroutine_repr;
        t.tp_as_async = &coroutine_async;
        t.tp_iter = coroutine_iter;
        t.tp_iternext = coroutine_iternext;
        t.tp_methods = coroutine_methods;
        t.tp_getset = coroutine_getset;
        t.tp_weaklistoffset = offsetof(CoroutineObject, weakrefs);
        return t;
    }();
    if (!(type.tp_flags & Py_TPFLAGS_READY)) {
        if (PyType_Ready(&type) < 0) throw_error();
        // asyncio accepts what collections.abc calls a Coroutine.
        Ref abc = import_from("collections.abc", "Coroutine");
        call_method(abc.get(), "register", reinterpret_cast<PyObject*>(&type));
    }
    return &type;
}

namespace {

// What PyObject_Init does for a kept object of a static (immortal) type, without the call: its
// one reference, and the creation told to a reference tracer if one is set (PyRefTracer).
inline void revive(PyObject* o) noexcept {
    o->ob_refcnt = 1;
    void* data;
    if (PyRefTracer tracer = PyRefTracer_GetTracer(&data)) [[unlikely]]
        tracer(o, PyRefTracer_CREATE, data);
}

[[gnu::noinline, gnu::cold]] void retrace(CoroutineObject* c) noexcept {
    constexpr uintptr_t kGcHeader = 2 * sizeof(PyObject*);  // the collector's, before the object
    if (PyTraceMalloc_Track(0, reinterpret_cast<uintptr_t>(c) - kGcHeader, kGcHeader + sizeof(CoroutineObject)) == -1)
        PyErr_Clear();  // no memory for the trace: the object goes on untraced
}

}  // namespace

Ref make_coroutine(Async task, const Invocation& call) {
    const int depth = PyThreadState_GetUnchecked()->coroutine_origin_tracking_depth;
    PyObject* origin = depth > 0 ? origin_of(depth).release() : nullptr;  // made before anything can fail
    CoroutineObject* c;
    if (kept_count > 0) {  // with an empty chain, and the type it had
        c = kept_coroutines[--kept_count];
        revive(reinterpret_cast<PyObject*>(c));
        // tracemalloc names where an object was made by where its memory was allocated: the
        // memory is told to it again, also when it was allocated before tracemalloc started.
        if (call_events::tracemalloc_possible) [[unlikely]]
            retrace(c);
    } else {
        c = PyObject_GC_New(CoroutineObject, coroutine_type());
        if (!c) {
            Py_XDECREF(origin);
            throw_error();
        }
        new (&c->chain) Chain{};
    }
    c->chain.root = c->chain.current = task.release();
    c->chain.root.promise().chain = &c->chain;
    c->function = Py_NewRef(call.function().get());
    c->weakrefs = nullptr;
    c->frame = nullptr;
    c->origin = origin;
    c->state = State::created;
    c->awaited = false;
    c->count = static_cast<uint8_t>(call.count_);
    for (size_t i = 0; i < call.count_; ++i) c->args[i] = Py_XNewRef(call.args_[i]);
    c->kwargs = Py_XNewRef(call.kwargs_);
    PyObject_GC_Track(c);
    return Ref::steal(reinterpret_cast<PyObject*>(c));
}

// ---- inside the frame ------------------------------------------------------------------------

// A frame the arena cannot place is refused, not made elsewhere: what it held would be hidden
// from the collector. The call that makes it raises MemoryError (`guard`).
void* AsyncPromise::operator new(size_t size) {
    if (void* p = frame_arena::allocate(size)) return p;
    throw std::bad_alloc();
}

void AsyncPromise::operator delete(void* p) noexcept { frame_arena::release(p); }

Ref AsyncPromise::Awaiter::await_resume() {
    if (chain->thrown) throw PyError(std::move(chain->thrown));
    return std::move(chain->sent);
}

// An interpreter coroutine suspended in an await of its own (its cr_await is not None), read
// from its frame state as the interpreter reads it: the state after a yield from an awaited
// iterator (FRAME_SUSPENDED_YIELD_FROM). The modules are built for this interpreter only.
static bool suspended_in_await(PyObject* coroutine) {
    constexpr int8_t kSuspendedYieldFrom = -1;
    return reinterpret_cast<PyCoroObject*>(coroutine)->cr_frame_state == kSuspendedYieldFrom;
}

// A generator made by a `types.coroutine` function, which `await` takes as it is.
static bool iterable_coroutine(PyObject* o) {
    if (!PyGen_CheckExact(o)) return false;
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyGen_GetCode(reinterpret_cast<PyGenObject*>(o))));
    return reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_ITERABLE_COROUTINE;
}

static bool has_await(PyTypeObject* t) { return t->tp_as_async && t->tp_as_async->am_await; }

AsyncPromise::Awaiter AsyncPromise::await_transform(Handle awaitable) {
    // The iterator that `await o` would delegate to.
    PyObject* o = awaitable.get();
    PyTypeObject* t = Py_TYPE(o);
    if (t == coroutine_type()) {
        if (as_coroutine(o)->state == State::suspended) raise(PyExc_RuntimeError, "coroutine is being awaited already");
        return Awaiter{chain, Ref::borrow(o)};
    }
    if (PyCoro_CheckExact(o)) {
        if (suspended_in_await(o)) raise(PyExc_RuntimeError, "coroutine is being awaited already");
        return Awaiter{chain, Ref::borrow(o)};
    }
    if (iterable_coroutine(o)) return Awaiter{chain, Ref::borrow(o)};
    if (!has_await(t)) raise(PyExc_TypeError, "'%.100s' object can't be awaited", t->tp_name);
    Ref it = Ref::checked(t->tp_as_async->am_await(o));
    if (PyCoro_CheckExact(it.get()) || !PyIter_Check(it.get()))
        raise(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it.get())->tp_name);
    return Awaiter{chain, std::move(it)};
}

AsyncPromise::Nested AsyncPromise::await_transform(Async&& nested) { return Nested(nested.release()); }

Ref AsyncPromise::Nested::await_resume() {
    auto finished = std::exchange(child, {});
    Chain& chain = *finished.promise().chain;
    std::exception_ptr failure = std::move(chain.failed);
    Ref value = std::move(chain.returned);
    finished.destroy();
    if (failure) std::rethrow_exception(failure);
    return value ? value : none();
}

AsyncWith::AsyncWith(Handle manager)
    : aenter_(special_method(manager, "__aenter__", "asynchronous context manager")),
      aexit_(special_method(manager, "__aexit__", "asynchronous context manager")) {}

// What `__aenter__` or `__aexit__` (`method`) gave must be something to await, as the
// interpreter's `async with` tells.
static void refuse_unawaitable(PyObject* o, const char* method) {
    if (Py_TYPE(o) == coroutine_type() || PyCoro_CheckExact(o) || iterable_coroutine(o) || has_await(Py_TYPE(o))) return;
    raise(PyExc_TypeError, "'async with' received an object from %s that does not implement __await__: %.100s", method,
          Py_TYPE(o)->tp_name);
}

Ref AsyncWith::enter() {
    Ref entering = call(aenter_);
    aenter_.reset();  // only the exit is needed from here on
    refuse_unawaitable(entering.get(), "__aenter__");
    return entering;
}

AsyncExit AsyncWith::exit(const Ref& failure) {
    if (!failure) {
        Ref exiting = call(aexit_, Py_None, Py_None, Py_None);
        refuse_unawaitable(exiting.get(), "__aexit__");
        return {std::move(exiting), Ref()};
    }
    Ref tb = Ref::steal(PyException_GetTraceback(failure.get()));
    if (!tb) tb = none();
    Ref exiting = call(aexit_, reinterpret_cast<PyObject*>(Py_TYPE(failure.get())), failure, tb);
    try {
        refuse_unawaitable(exiting.get(), "__aexit__");
    } catch (PyError& refused) {  // refused while the body's error is handled
        chain_context(refused, failure);
        throw;
    }
    return {std::move(exiting), failure};
}

AsyncPromise::ExitAwaiter AsyncPromise::await_transform(AsyncExit&& exit) {
    Ref exiting = std::move(exit.exiting);  // the awaiter holds what it awaits itself
    try {
        return ExitAwaiter{await_transform(exiting.get()), std::move(exit.exception)};
    } catch (PyError& refused) {  // not awaitable: refused while the body's error is handled
        if (exit.exception) chain_context(refused, exit.exception);
        throw;
    }
}

void AsyncPromise::ExitAwaiter::await_resume() {
    Ref suppress;
    try {
        suppress = exiting.await_resume();
    } catch (PyError& exit_error) {
        if (exception) chain_context(exit_error, exception);
        throw;
    }
    if (exception && !truthy(suppress.get())) throw PyError(std::move(exception));
}

}  // namespace tsy
