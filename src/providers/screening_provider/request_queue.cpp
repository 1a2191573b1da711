#include "request_queue.hpp"

#include <deque>

using namespace tsy;

namespace screening {

namespace {

// What a queue knows. A C++ object inside an interpreter object: the collector sees its
// references through the type's traverse, since they live on the heap, not in a frame.
struct State {
    Ref send, payloads, session, loop;
    Ref context;   // the records' context, in which `queue_of` finds this queue
    Ref results;   // one place per body, in order
    Ref running;   // task -> index of its body, for every record started and not ended
    Ref finished;  // the future `send_all` awaits: the results, or the error of the run
    Ref drained;   // after a cancellation: done once every started record has ended
    Ref on_done;   // `record_done` bound to the queue, each record task's done callback
    std::deque<Ref> waiting;  // futures of attempts waiting for a turn, first come first served
    Py_ssize_t count = 0, next = 0;  // bodies, and the first not started
    Py_ssize_t active = 0;    // records started and not ended
    Py_ssize_t sleeping = 0;  // of those, sleeping in back-off
    Py_ssize_t busy = 0;      // turns taken
    Py_ssize_t turns = 0;     // 0: no bound
    bool stopped = false;     // cancelled or failed: nothing more starts
};

struct QueueObject {
    PyObject_HEAD
    State state;
};

State& state_of(PyObject* queue) { return reinterpret_cast<QueueObject*>(queue)->state; }

// The context variable through which a record's request finds its queue.
PyObject* queue_variable() {
    static PyObject* variable = PyContextVar_New("tessaly_screening_request_queue", nullptr);
    if (!variable) throw_error();
    return variable;
}

// Reports an error that has nowhere to go, as the interpreter reports one in a callback.
void unraisable(PyError& error, PyObject* where) noexcept {
    error.restore();
    PyErr_WriteUnraisable(where);
}

bool future_done(PyObject* future) { return truthy(call_method(future, "done").get()); }

// Sets a future's result unless it is done already (cancelled, say).
void resolve(const Ref& future, PyObject* value) {
    if (!future_done(future.get())) call_method(future.get(), "set_result", value);
}

void complete(State& s) {
    resolve(s.finished, s.results.get());
    s.context.reset();
}

void start(State& s, Py_ssize_t i) {
    Ref request = call(s.send, PyList_GET_ITEM(s.payloads.get(), i), s.session);
    Ref context = Ref::checked(PyContext_Copy(s.context.get()));
    Ref task = call(getattr(s.loop, "create_task"), request, kw("context", context));
    dict_set(s.running.get(), task.get(), integer(i).get());
    call_method(task.get(), "add_done_callback", s.on_done);
    ++s.active;
}

// The run fails with `error`: nothing more starts; `send_all` cancels what runs.
void fail(State& s, const Ref& error) noexcept {
    s.stopped = true;
    PyObject* saved = PyErr_GetRaisedException();
    try {
        if (s.finished && !future_done(s.finished.get())) call_method(s.finished.get(), "set_exception", error);
    } catch (PyError& e) {
        unraisable(e, s.finished.get());
    }
    PyErr_SetRaisedException(saved);
}

// Starts records while turns can serve them; completes the run after the last.
void fill(PyObject* queue) noexcept {
    State& s = state_of(queue);
    try {
        while (!s.stopped && s.next < s.count && (s.turns == 0 || s.active - s.sleeping < s.turns)) start(s, s.next++);
        if (!s.stopped && s.next == s.count && s.active == 0) complete(s);
    } catch (...) {
        fail(s, caught());
    }
}

// A record's task ended: its result, its exception or its cancellation takes its place.
PyObject* record_done(PyObject* queue, PyObject* task) noexcept {
    State& s = state_of(queue);
    if (!s.running) Py_RETURN_NONE;  // cleared by the collector
    try {
        Ref index = Ref::checked(PyObject_CallMethod(s.running.get(), "pop", "O", task));
        const Py_ssize_t i = to_ssize(index.get());
        --s.active;
        Ref result;
        if (truthy(call_method(task, "cancelled").get())) {
            result = call(getattr(import("asyncio"), "CancelledError"));
        } else {
            result = call_method(task, "exception");
            if (result.is_none()) result = call_method(task, "result");
        }
        set_item(s.results.get(), integer(i).get(), result.get());
    } catch (...) {
        fail(s, caught());
    }
    fill(queue);
    if (s.active == 0 && s.drained) {
        try {
            resolve(s.drained, Py_None);
        } catch (PyError& e) {
            unraisable(e, queue);
        }
    }
    Py_RETURN_NONE;
}

PyMethodDef record_done_def = {"record_done", record_done, METH_O, nullptr};

int queue_traverse(PyObject* self, visitproc visit, void* arg) {
    State& s = state_of(self);
    for (const Ref* r : {&s.send, &s.payloads, &s.session, &s.loop, &s.context, &s.results, &s.running, &s.finished,
                         &s.drained, &s.on_done})
        Py_VISIT(r->get());
    for (const Ref& w : s.waiting) Py_VISIT(w.get());
    return 0;
}

int queue_clear(PyObject* self) {
    State& s = state_of(self);
    s.stopped = true;
    State cleared;  // the references go only once the state no longer shows them
    std::swap(s.send, cleared.send);
    std::swap(s.payloads, cleared.payloads);
    std::swap(s.session, cleared.session);
    std::swap(s.loop, cleared.loop);
    std::swap(s.context, cleared.context);
    std::swap(s.results, cleared.results);
    std::swap(s.running, cleared.running);
    std::swap(s.finished, cleared.finished);
    std::swap(s.drained, cleared.drained);
    std::swap(s.on_done, cleared.on_done);
    std::swap(s.waiting, cleared.waiting);
    return 0;
}

void queue_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    queue_clear(self);
    state_of(self).~State();
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject* queue_type() {
    static PyTypeObject type = [] {
        PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
        t.tp_name = "tessaly.providers.screening_provider.RequestQueue";
        t.tp_basicsize = sizeof(QueueObject);
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
        t.tp_doc = "The requests of one evaluation, let onto the wire as the session's connections allow.";
        t.tp_dealloc = queue_dealloc;
        t.tp_traverse = queue_traverse;
        t.tp_clear = queue_clear;
        return t;
    }();
    if (!(type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&type) < 0) throw_error();
    return &type;
}

Ref make_queue(Ref send, Ref payloads, Ref session, Py_ssize_t turns) {
    Ref loop = call(getattr(import("asyncio"), "get_running_loop"));
    auto* q = PyObject_GC_New(QueueObject, queue_type());
    if (!q) throw_error();
    new (&q->state) State();
    Ref queue = Ref::steal(reinterpret_cast<PyObject*>(q));
    State& s = q->state;
    s.send = std::move(send);
    s.payloads = std::move(payloads);
    s.session = std::move(session);
    s.loop = std::move(loop);
    s.count = PyList_GET_SIZE(s.payloads.get());
    s.turns = turns;
    s.results = new_list(s.count);
    for (Py_ssize_t i = 0; i < s.count; ++i) PyList_SET_ITEM(s.results.get(), i, Py_NewRef(Py_None));
    s.running = new_dict();
    s.finished = call_method(s.loop.get(), "create_future");
    s.on_done = Ref::checked(PyCFunction_New(&record_done_def, queue.get()));
    s.context = Ref::checked(PyContext_CopyCurrent());
    if (PyContext_Enter(s.context.get()) < 0) throw_error();
    Ref token = Ref::steal(PyContextVar_Set(queue_variable(), queue.get()));
    PyContext_Exit(s.context.get());
    if (!token) throw_error();
    PyObject_GC_Track(q);
    return queue;
}

}  // namespace

Py_ssize_t turns_of(PyObject* session) {
    Ref connector = getattr_or(session, "connector", Py_None);
    if (connector.is_none()) return 0;
    Py_ssize_t turns = 0;
    for (const char* limit : {"limit", "limit_per_host"}) {
        const Py_ssize_t n = to_ssize(getattr(connector, limit).get(), true);
        if (n > 0 && (turns == 0 || n < turns)) turns = n;
    }
    return turns;
}

Ref queue_of(PyObject* session) {
    PyObject* value = nullptr;
    if (PyContextVar_Get(queue_variable(), nullptr, &value) < 0) throw_error();
    Ref queue = Ref::steal(value);
    if (!queue || Py_TYPE(queue.get()) != queue_type() || !state_of(queue.get()).session.is(session)) return nullptr;
    return queue;
}

Async send_all(Ref send, Ref payloads, Ref session, Py_ssize_t turns) {
    Ref queue = make_queue(std::move(send), std::move(payloads), std::move(session), turns);
    State& s = state_of(queue.get());
    fill(queue.get());
    Ref error;
    try {
        Ref finished = s.finished;
        Ref results = co_await std::move(finished);
        co_return results;
    } catch (...) {
        error = caught();
    }
    // Cancelled, or failed: as gather does, the error goes on once every request has ended.
    s.stopped = true;
    if (s.active > 0) {
        s.drained = call_method(s.loop.get(), "create_future");
        Ref running = list_of(s.running.get());
        for_each(running.get(), [](PyObject* task) { call_method(task, "cancel"); });
        // Closing the coroutine cannot wait; a second cancellation stops the wait.
        if (!PyErr_GivenExceptionMatches(error.get(), PyExc_GeneratorExit)) {
            Ref drained = s.drained;
            try {
                co_await std::move(drained);
            } catch (PyError&) {
            }
        }
    }
    throw PyError(error);
}

Ref Turn::take() {
    if (!queue_) return nullptr;
    State& s = state_of(queue_.get());
    if (s.turns == 0 || (s.busy < s.turns && s.waiting.empty())) {
        ++s.busy;
        held_ = true;
        return nullptr;
    }
    Ref handing = call_method(s.loop.get(), "create_future");
    s.waiting.push_back(handing);
    held_ = true;  // from the moment the future is done; `abandon` tells otherwise
    return handing;
}

void Turn::abandon(const Ref& handing) noexcept {
    PyObject* saved = PyErr_GetRaisedException();
    try {
        if (!future_done(handing.get())) {  // ended before its turn came: it never will
            call_method(handing.get(), "cancel");
            held_ = false;
        } else if (truthy(call_method(handing.get(), "cancelled").get())) {
            held_ = false;
        }
    } catch (PyError& e) {
        unraisable(e, handing.get());
    }
    PyErr_SetRaisedException(saved);
    give_back();
}

void Turn::give_back() noexcept {
    if (!held_) return;
    held_ = false;
    State& s = state_of(queue_.get());
    PyObject* saved = PyErr_GetRaisedException();
    try {
        while (!s.waiting.empty()) {  // handed to the first attempt still waiting
            Ref next = std::move(s.waiting.front());
            s.waiting.pop_front();
            if (!future_done(next.get())) {
                call_method(next.get(), "set_result", Py_None);
                PyErr_SetRaisedException(saved);
                return;
            }
        }
        --s.busy;
    } catch (...) {
        --s.busy;
        fail(s, caught());
    }
    PyErr_SetRaisedException(saved);
}

void Turn::sleeping(bool asleep) noexcept {
    if (!queue_) return;
    State& s = state_of(queue_.get());
    if (!asleep) {
        --s.sleeping;
        return;
    }
    ++s.sleeping;
    fill(queue_.get());
}

}  // namespace screening
