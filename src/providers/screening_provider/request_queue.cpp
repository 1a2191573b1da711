#include "request_queue.hpp"

#include "native_object.hpp"

#include <deque>

using namespace tsy;

namespace screening {

namespace {

// What a queue knows, inside an interpreter object (so that the record tasks and their
// contexts can hold it, and the collector sees what it holds).
struct Queue {
    static constexpr const char* kTypeName = "tessaly.providers.screening_provider.RequestQueue";

    Ref send, payloads, session, loop;
    Ref context;   // the records' context, in which `queue_of` finds this queue
    Ref results;   // one place per body, in order
    Ref running;   // task -> index of its body, for every record started and not ended
    Ref finished;  // the future `send_all` awaits: the results, or the error of the run
    Ref drained;   // after a cancellation: done once every started record has ended
    Ref on_done;   // `record_done` bound to the queue: each record task's done callback
    Ref progress;  // the sink told of each record as it ends, or null (evaluation_progress.hpp)
    std::deque<Ref> waiting;  // futures of attempts waiting for a turn, first come first served
    Py_ssize_t count = 0, next = 0;  // bodies, and the first not started
    Py_ssize_t active = 0;    // records started and not ended
    Py_ssize_t sleeping = 0;  // of those, sleeping in back-off
    Py_ssize_t busy = 0;      // turns taken
    Py_ssize_t turns = 0;     // 0: no bound
    bool stopped = false;     // cancelled, failed or cleared: nothing more starts

    template <class F>
    void refs(F&& f) {
        for (Ref* r : {&send, &payloads, &session, &loop, &context, &results, &running, &finished, &drained, &on_done,
                       &progress})
            f(*r);
        for (Ref& w : waiting) f(w);
        stopped = stopped || !loop;  // cleared
    }
};

// The context variable through which a record's request finds its queue.
Handle queue_variable() {
    static PyObject* variable = PyContextVar_New("tessaly_screening_request_queue", nullptr);
    if (!variable) throw_error();
    return variable;
}

// Reports an error that has nowhere to go, as the interpreter reports one raised in a callback.
void unraisable(Handle where) noexcept {
    try {
        throw;
    } catch (PyError& e) {
        e.restore();
    } catch (...) {
        set_error_from_current_exception();
    }
    PyErr_WriteUnraisable(where.get());
}

bool done(Handle future) { return future.method("done").truthy(); }

// future.set_result(value), unless the future is done already (cancelled, say).
void resolve(Handle future, Handle value) {
    if (!done(future)) future.method("set_result", value);
}

// The run fails with `error`: nothing more starts; `send_all` cancels what runs.
void fail(Queue& q, Handle error) noexcept {
    q.stopped = true;
    PyObject* pending = PyErr_GetRaisedException();
    try {
        if (q.finished && !done(q.finished)) q.finished.method("set_exception", error);
    } catch (...) {
        unraisable(q.finished);
    }
    PyErr_SetRaisedException(pending);
}

// Record i's request, as a task of the loop in the records' context.
void start(Queue& q, Py_ssize_t i) {
    Ref request = q.send(q.payloads[i], q.session);
    Ref context = Ref::checked(PyContext_Copy(q.context.get()));
    Ref task = q.loop.method("create_task", request, kw("context", context));
    q.running.set_item(task, integer(i));
    task.method("add_done_callback", q.on_done);
    ++q.active;
}

// Starts records while turns can serve them; completes the run after the last.
void fill(Queue& q) noexcept {
    try {
        while (!q.stopped && q.next < q.count && (q.turns == 0 || q.active - q.sleeping < q.turns)) start(q, q.next++);
        if (!q.stopped && q.next == q.count && q.active == 0) {
            resolve(q.finished, q.results);
            q.context.reset();
        }
    } catch (...) {
        fail(q, caught());
    }
}

// Tells the watcher of the evaluation's progress that a record ended, failed unless its request
// gave a decoded answer. Progress is only shown: a watcher that fails costs no record.
void tell_progress(Queue& q, Handle result) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    try {
        const bool failed = !result.is_dict() || result.contains(interned("error"));
        q.progress.method("record_done", boolean(failed));
    } catch (...) {
        unraisable(q.progress);
    }
    PyErr_SetRaisedException(pending);
}

// A record's task ended: its result, its exception or its cancellation takes its place.
PyObject* record_done(PyObject* queue, PyObject* finished_task) noexcept {
    Queue& q = native<Queue>(queue);
    Handle task = finished_task;
    if (!q.running) Py_RETURN_NONE;  // cleared by the collector
    try {
        const Py_ssize_t i = to_ssize(q.running.method("pop", task));
        --q.active;
        Ref result;
        if (task.method("cancelled").truthy()) {
            result = import("asyncio").attr("CancelledError")();
        } else {
            result = task.method("exception");
            if (result.is_none()) result = task.method("result");
        }
        q.results.set_item(integer(i), result);
        if (q.progress) tell_progress(q, result);
    } catch (...) {
        fail(q, caught());
    }
    fill(q);
    if (q.active == 0 && q.drained) {
        try {
            resolve(q.drained, Py_None);
        } catch (...) {
            unraisable(queue);
        }
    }
    Py_RETURN_NONE;
}

PyMethodDef record_done_def = {"record_done", record_done, METH_O, nullptr};

Ref make_queue(Ref send, Ref payloads, Ref session, Py_ssize_t turns) {
    Ref queue = make_native<Queue>();
    Queue& q = native<Queue>(queue);
    q.send = std::move(send);
    q.payloads = std::move(payloads);
    q.session = std::move(session);
    q.loop = import("asyncio").attr("get_running_loop")();
    q.count = q.payloads.len();
    q.turns = turns;
    q.results = new_list(q.count);
    for (Py_ssize_t i = 0; i < q.count; ++i) PyList_SET_ITEM(q.results.get(), i, Py_NewRef(Py_None));
    q.running = new_dict();
    q.finished = q.loop.method("create_future");
    q.on_done = Ref::checked(PyCFunction_New(&record_done_def, queue.get()));
    q.progress = progress_sink();
    // A copy of the current context in which the queue variable names this queue.
    q.context = Ref::checked(PyContext_CopyCurrent());
    if (PyContext_Enter(q.context.get()) < 0) throw_error();
    Ref token = Ref::steal(PyContextVar_Set(queue_variable().get(), queue.get()));
    PyContext_Exit(q.context.get());
    if (!token) throw_error();
    return queue;
}

}  // namespace

Py_ssize_t turns_of(Handle session) {
    Ref connector = getattr_or(session, "connector", Py_None);
    if (connector.is_none()) return 0;
    Py_ssize_t turns = 0;
    for (const char* limit : {"limit", "limit_per_host"}) {
        const Py_ssize_t n = to_ssize(connector.attr(limit), true);
        if (n > 0 && (turns == 0 || n < turns)) turns = n;
    }
    return turns;
}

Ref queue_of(Handle session) {
    PyObject* value = nullptr;
    if (PyContextVar_Get(queue_variable().get(), nullptr, &value) < 0) throw_error();
    Ref queue = Ref::steal(value);
    if (!is_native<Queue>(queue) || !native<Queue>(queue).session.is(session)) return nullptr;
    return queue;
}

Async send_all(Ref send, Ref payloads, Ref session, Py_ssize_t turns) {
    Ref queue = make_queue(std::move(send), std::move(payloads), std::move(session), turns);
    Queue& q = native<Queue>(queue);
    fill(q);
    Ref error;
    try {
        Ref finished = q.finished;
        Ref results = co_await std::move(finished);
        co_return results;
    } catch (...) {
        error = caught();
    }
    // Cancelled, or failed: as gather does, the error goes on once every request has ended.
    // Closing the coroutine cannot wait; a second cancellation stops the wait.
    q.stopped = true;
    if (q.active > 0) {
        q.drained = q.loop.method("create_future");
        for (const Ref& task : iterate(list_of(q.running))) task.method("cancel");
        if (!PyErr_GivenExceptionMatches(error.get(), PyExc_GeneratorExit)) {
            Ref drained = q.drained;
            try {
                co_await std::move(drained);
            } catch (PyError&) {
            }
        }
    }
    throw PyError(error);
}

Ref Turn::take() {
    if (!queue_ || !native<Queue>(queue_).loop) return nullptr;  // none, or cleared by the collector
    Queue& q = native<Queue>(queue_);
    held_ = true;  // at once, or from the moment the future hands the turn over
    if (q.turns == 0 || (q.busy < q.turns && q.waiting.empty())) {
        ++q.busy;
        return nullptr;
    }
    Ref handing = q.loop.method("create_future");
    q.waiting.push_back(handing);
    return handing;
}

void Turn::abandon(const Ref& handing) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    try {
        if (!done(handing)) {  // ended before its turn came: it never will
            handing.method("cancel");
            held_ = false;
        } else if (handing.method("cancelled").truthy()) {
            held_ = false;
        }
    } catch (...) {
        unraisable(handing);
    }
    PyErr_SetRaisedException(pending);
    give_back();
}

void Turn::give_back() noexcept {
    if (!held_) return;
    held_ = false;
    Queue& q = native<Queue>(queue_);
    PyObject* pending = PyErr_GetRaisedException();
    try {
        bool handed = false;
        while (!handed && !q.waiting.empty()) {  // to the first attempt still waiting
            Ref next = std::move(q.waiting.front());
            q.waiting.pop_front();
            handed = !done(next);
            if (handed) next.method("set_result", Py_None);
        }
        if (!handed) --q.busy;
    } catch (...) {
        --q.busy;
        fail(q, caught());
    }
    PyErr_SetRaisedException(pending);
}

void Turn::sleeping(bool asleep) noexcept {
    if (!queue_) return;
    Queue& q = native<Queue>(queue_);
    q.sleeping += asleep ? 1 : -1;
    if (asleep) fill(q);
}

}  // namespace screening
