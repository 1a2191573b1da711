// partitioned_runner: the progress of a run, as its caller shows it.
#include "progress.hpp"

#include "checkpoint_store.hpp"
#include "native_object.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

using namespace tsy;

namespace partitioned {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kRelaySeconds = 0.25;  // a worker's events, at most this often per partition
constexpr double kTickSeconds = 0.1;
constexpr int kBarWidth = 20;

enum class Stage { pending, running, finished };

struct Partition {
    Py_ssize_t rows = -1;  // unknown until evaluated, for a Dask DataFrame's partitions
    Py_ssize_t results = 0, failed = 0, metrics = 0;
    Stage stage = Stage::pending;
};

// The counts of a run: updated by the sinks and the workers' events, read by the ticker. Every
// change is C++ alone under the interpreter lock, between calls into the interpreter, so each
// thread finds them whole.
struct RunState {
    static constexpr const char* kTypeName = "tessaly.evaluators.impl.partitioned_runner.RunProgress";

    Ref sys;  // the module's, for sys.stderr at each line
    std::vector<Partition> partitions;
    Py_ssize_t total_rows = -1;
    Py_ssize_t finished_rows = 0, finished_failed = 0, finished = 0, resumed = 0, resumed_rows = 0;
    Clock::time_point start = Clock::now(), last_line = start;
    double refresh = 0.5, every = 10.0;  // seconds between updates: on a terminal, and lines elsewhere
    bool shown = false, terminal = false, broken = false;

    template <class F>
    void refs(F&& f) {
        f(sys);
    }
};

// What a partition's evaluation tells: see evaluation_progress.hpp.
struct Sink {
    static constexpr const char* kTypeName = "tessaly.evaluators.impl.partitioned_runner.ProgressSink";
    static PyMethodDef* methods();

    Ref run;                // the run's state, in this process; or else
    Ref log_event, topic;   // a worker's log_event and the run's topic
    Py_ssize_t index = 0, rows = 0, metrics = 0, results = 0, failed = 0;
    Py_ssize_t told = 0, told_failed = 0;  // of the running metric, by its provider
    Clock::time_point last_sent{};
    bool unsent = false;

    template <class F>
    void refs(F&& f) {
        f(run);
        f(log_event);
        f(topic);
    }
};

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// A number of seconds given as a module constant.
double seconds_of(Handle value) {
    const double seconds = PyFloat_AsDouble(value.get());
    if (seconds == -1.0 && PyErr_Occurred()) throw_error();
    return seconds;
}

// ---- the sink -------------------------------------------------------------------------------------

void send(Sink& s) noexcept {
    s.unsent = false;
    s.last_sent = Clock::now();
    PyObject* pending = PyErr_GetRaisedException();
    try {
        Ref message = new_list_of({integer(s.index), integer(s.rows), integer(s.results), integer(s.failed),
                                   integer(s.metrics)});
        s.log_event(s.topic, message);
    } catch (...) {
        PyErr_Clear();  // shown only: a lost event costs no record
    }
    PyErr_SetRaisedException(pending);
}

void heard(Sink& s) noexcept {
    if (s.run) {
        RunState& run = native<RunState>(s.run);
        if (s.index < 0 || static_cast<size_t>(s.index) >= run.partitions.size()) return;
        Partition& p = run.partitions[static_cast<size_t>(s.index)];
        if (p.stage == Stage::finished) return;
        p = {s.rows, s.results, s.failed, s.metrics, Stage::running};
    } else if (s.log_event) {
        s.unsent = true;
        if (seconds_since(s.last_sent) >= kRelaySeconds) send(s);
    }
}

// ProgressSink.metrics_resolved(self, count)
PyObject* sink_metrics_resolved(PyObject* self, PyObject* count) noexcept {
    return guard_object([&] {
        Sink& s = native<Sink>(self);
        s.metrics = std::max<Py_ssize_t>(to_ssize(count, true), 0);
        heard(s);
        return none();
    });
}

// ProgressSink.record_done(self, failed)
PyObject* sink_record_done(PyObject* self, PyObject* failed) noexcept {
    return guard_object([&] {
        Sink& s = native<Sink>(self);
        const bool did_fail = Handle(failed).truthy();
        ++s.results, ++s.told;
        if (did_fail) ++s.failed, ++s.told_failed;
        heard(s);
        return none();
    });
}

// ProgressSink.metric_done(self, results, failed): what the provider did not tell is added, and
// the failed count is the metric's own.
PyObject* sink_metric_done(PyObject* self, PyObject* const* args, Py_ssize_t count) noexcept {
    return guard_object([&] {
        if (count != 2) raise(PyExc_TypeError, "metric_done() takes 2 arguments (%zd given)", count);
        Handle results_given = args[0], failed_given = args[1];
        Sink& s = native<Sink>(self);
        const Py_ssize_t results = to_ssize(results_given, true), failed = to_ssize(failed_given, true);
        s.results = std::max<Py_ssize_t>(s.results + results - s.told, 0);
        s.failed = std::max<Py_ssize_t>(s.failed + failed - s.told_failed, 0);
        s.told = s.told_failed = 0;
        heard(s);
        return none();
    });
}

PyMethodDef sink_methods[] = {
    {"metrics_resolved", sink_metrics_resolved, METH_O, nullptr},
    {"record_done", sink_record_done, METH_O, nullptr},
    {"metric_done", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sink_metric_done)), METH_FASTCALL,
     nullptr},
    {}};

// ---- what is shown ----------------------------------------------------------------------------------

struct Snapshot {
    double done = 0;  // records
    Py_ssize_t failed = 0;
    double elapsed = 0, rate = 0, left = -1;  // left: -1 unknown
};

Snapshot snapshot(const RunState& run) {
    Snapshot s;
    s.done = static_cast<double>(run.finished_rows);
    s.failed = run.finished_failed;
    for (const Partition& p : run.partitions) {
        if (p.stage != Stage::running) continue;
        if (p.rows > 0 && p.metrics > 0)
            s.done += static_cast<double>(p.rows) *
                      std::min(1.0, static_cast<double>(p.results) / static_cast<double>(p.rows * p.metrics));
        s.failed += p.failed;
    }
    s.elapsed = seconds_since(run.start);
    const double evaluated = s.done - static_cast<double>(run.resumed_rows);
    if (s.elapsed > 0 && evaluated > 0) s.rate = evaluated / s.elapsed;
    if (run.total_rows >= 0 && s.rate > 0) s.left = (static_cast<double>(run.total_rows) - s.done) / s.rate;
    return s;
}

std::string grouped(long long n) {
    std::string digits = std::to_string(n < 0 ? -n : n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return n < 0 ? "-" + out : out;
}

// 0.4, 7.5, 12, 1,234: a tenth where a slow start would otherwise show nothing
std::string rate_text(double rate) {
    if (rate >= 9.95) return grouped(static_cast<long long>(rate + 0.5));
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%.1f", rate);
    return buffer;
}

std::string clock_text(double seconds) {
    if (seconds < 0) return "--:--";
    const long long s = static_cast<long long>(seconds + 0.5);
    char buffer[32];
    if (s >= 3600) std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else std::snprintf(buffer, sizeof buffer, "%lld:%02lld", s / 60, s % 60);
    return buffer;
}

std::string partitions_text(const RunState& run, const char* of) {
    std::string line = grouped(run.finished) + of + grouped(static_cast<long long>(run.partitions.size()));
    return run.resumed ? line + " partitions (" + grouped(run.resumed) + " resumed)" : line + " partitions";
}

// partitioned run: 4,512 of 10,000 records (45%), 150 records/s, 0:37 left, 3 failed, 4 of 10 partitions (2 resumed)
std::string plain_line(const RunState& run, const Snapshot& s) {
    const long long done = static_cast<long long>(s.done);
    std::string line = "partitioned run: " + grouped(done);
    if (run.total_rows >= 0) {
        const int percent = run.total_rows ? static_cast<int>(100 * s.done / static_cast<double>(run.total_rows)) : 100;
        line += " of " + grouped(run.total_rows) + " records (" + std::to_string(percent) + "%)";
    } else {
        line += " records";
    }
    line += ", " + rate_text(s.rate) + " records/s";
    if (run.total_rows >= 0) line += ", " + clock_text(s.left) + " left";
    return line + ", " + grouped(s.failed) + " failed, " + partitions_text(run, " of ");
}

// partitioned run [########------------] 4,512/10,000 records 45% 150 rec/s 0:37 left 3 failed 4/10 partitions
std::string terminal_line(const RunState& run, const Snapshot& s) {
    const double total = static_cast<double>(run.total_rows);
    const double fraction = run.total_rows > 0 ? s.done / total
                            : run.partitions.empty() ? 1.0
                                                     : static_cast<double>(run.finished) /
                                                           static_cast<double>(run.partitions.size());
    const int filled = std::clamp(static_cast<int>(fraction * kBarWidth), 0, kBarWidth);
    std::string line = "partitioned run [" + std::string(static_cast<size_t>(filled), '#') +
                       std::string(static_cast<size_t>(kBarWidth - filled), '-') + "] " +
                       grouped(static_cast<long long>(s.done));
    if (run.total_rows >= 0) line += "/" + grouped(run.total_rows);
    line += " records";
    if (run.total_rows >= 0) line += " " + std::to_string(static_cast<int>(100 * std::min(fraction, 1.0))) + "%";
    line += "  " + rate_text(s.rate) + " rec/s";
    if (run.total_rows >= 0) line += "  " + clock_text(s.left) + " left";
    return line + "  " + grouped(s.failed) + " failed  " + partitions_text(run, "/");
}

// partitioned run done: 10,000 records, 3 failed, 1:07 elapsed, 2 of 10 partitions resumed
std::string last_line(const RunState& run, const Snapshot& s, bool completed) {
    std::string line = completed ? "partitioned run done: " + grouped(static_cast<long long>(s.done)) + " records"
                                 : "partitioned run stopped: " + grouped(static_cast<long long>(s.done)) +
                                       (run.total_rows >= 0 ? " of " + grouped(run.total_rows) : std::string()) +
                                       " records";
    return line + ", " + grouped(s.failed) + " failed, " + clock_text(s.elapsed) + " elapsed, " +
           grouped(run.resumed) + " of " + grouped(static_cast<long long>(run.partitions.size())) +
           " partitions resumed";
}

void write(RunState& run, const std::string& line) noexcept {
    if (run.broken) return;
    PyObject* pending = PyErr_GetRaisedException();
    try {
        Ref stream = run.sys.attr("stderr");
        stream.method("write", text(line));
        stream.method("flush");
    } catch (...) {
        PyErr_Clear();
        run.broken = true;  // a stream that cannot be written to shows nothing more
    }
    PyErr_SetRaisedException(pending);
}

bool complete(const RunState& run, const Snapshot& s) {
    if (run.total_rows >= 0) return s.done >= static_cast<double>(run.total_rows);
    return static_cast<size_t>(run.finished) == run.partitions.size();
}

// Shows the run if a line is due: on a terminal the line rewritten in place; elsewhere a plain
// line every so often, and none once every record is done (the last line says so, once).
void show(RunState& run) noexcept {
    if (!run.shown || run.broken) return;
    if (seconds_since(run.last_line) < (run.terminal ? run.refresh : run.every)) return;
    const Snapshot s = snapshot(run);
    if (!run.terminal && complete(run, s)) return;
    run.last_line = Clock::now();
    write(run, run.terminal ? "\r" + terminal_line(run, s) + "\x1b[K" : plain_line(run, s) + "\n");
}

// The ticker thread's body, bound to the run's state: shows the run until `stop` is set.
PyObject* tick(PyObject* state, PyObject* stop) noexcept {
    try {
        while (!Handle(stop).method("wait", number(kTickSeconds)).truthy()) show(native<RunState>(state));
    } catch (...) {
        PyErr_Clear();
    }
    Py_RETURN_NONE;
}
PyMethodDef tick_def = {"tick", tick, METH_O, nullptr};

// A worker's event, (timestamp, [index, rows, results, failed, metrics]), bound to the run's
// state: the highest counts heard of a partition not finished yet.
PyObject* relayed(PyObject* state, PyObject* event) noexcept {
    try {
        RunState& run = native<RunState>(state);
        auto [when, message] = unpack<2>(event);
        auto [index, rows, results, failed, metrics] = unpack<5>(message);
        const Py_ssize_t i = to_ssize(index);
        if (i >= 0 && static_cast<size_t>(i) < run.partitions.size()) {
            Partition& p = run.partitions[static_cast<size_t>(i)];
            if (p.stage != Stage::finished) {
                p.stage = Stage::running;
                p.rows = to_ssize(rows);
                p.metrics = std::max(p.metrics, to_ssize(metrics));
                p.results = std::max(p.results, to_ssize(results));
                p.failed = std::max(p.failed, to_ssize(failed));
            }
        }
    } catch (...) {
        PyErr_Clear();  // not one of ours: nothing to count
    }
    Py_RETURN_NONE;
}
PyMethodDef relayed_def = {"relayed", relayed, METH_O, nullptr};

}  // namespace

PyMethodDef* Sink::methods() { return sink_methods; }

// ---- Progress -------------------------------------------------------------------------------------

Progress::Progress(Handle globals, bool shown, Py_ssize_t partitions, Py_ssize_t total_rows)
    : state_(make_native<RunState>()) {
    RunState& run = native<RunState>(state_);
    run.shown = shown;
    run.partitions.resize(static_cast<size_t>(partitions));
    run.total_rows = total_rows;
    if (!shown) return;
    run.sys = lookup_global(globals, "sys");
    run.refresh = seconds_of(lookup_global(globals, "PROGRESS_REFRESH_SECONDS"));
    run.every = seconds_of(lookup_global(globals, "PROGRESS_LINE_SECONDS"));
    try {
        run.terminal = run.sys.attr("stderr").method("isatty").truthy();
    } catch (PyError& e) {
        if (!e.is_exception()) throw;  // a stream without isatty: not a terminal
    }
}

Progress::~Progress() {
    try {
        close(false);
    } catch (...) {
        PyErr_Clear();
    }
}

bool Progress::shown() const { return native<RunState>(state_).shown; }

void Progress::resumed(Py_ssize_t index, Py_ssize_t rows, Handle result) {
    RunState& run = native<RunState>(state_);
    const Py_ssize_t failed = run.shown ? failed_records(result) : 0;
    Partition& p = run.partitions[static_cast<size_t>(index)];
    p = {rows, 0, failed, 0, Stage::finished};
    run.finished_rows += rows, run.finished_failed += failed, ++run.finished;
    run.resumed_rows += rows, ++run.resumed;
}

void Progress::finished(Py_ssize_t index, Handle outcome) {
    RunState& run = native<RunState>(state_);
    const Py_ssize_t rows = to_ssize(outcome[0]);
    Ref result = outcome[1];
    const Py_ssize_t failed = run.shown && !result.is_none() ? failed_records(result) : 0;
    Partition& p = run.partitions[static_cast<size_t>(index)];
    p = {rows, 0, failed, 0, Stage::finished};
    run.finished_rows += rows, run.finished_failed += failed, ++run.finished;
}

Ref Progress::watcher(bool on_cluster) const {
    if (!shown()) return none();
    return on_cluster ? topic_ : state_;
}

void Progress::start(Handle client) {
    RunState& run = native<RunState>(state_);
    if (!run.shown) return;
    run.start = run.last_line = Clock::now();
    if (!client.is_none()) {
        topic_ = text_format("tessaly-partitioned-run-%U", import("os").method("urandom", integer(8)).method("hex"));
        Ref handler = Ref::checked(PyCFunction_New(&relayed_def, state_.get()));
        client.method("subscribe_topic", topic_, handler);
        client_ = Ref::borrow(client);
    }
    Ref threading = import("threading");
    stop_ = threading.attr("Event")();
    Ref body = Ref::checked(PyCFunction_New(&tick_def, state_.get()));
    ticker_ = threading.attr("Thread")(kw("target", body), kw("args", tuple_of({stop_})), kw("daemon", true),
                                       kw("name", text("tessaly-partitioned-progress")));
    ticker_.method("start");
    if (run.terminal) write(run, "\r" + terminal_line(run, snapshot(run)) + "\x1b[K");
}

void Progress::close(bool completed) {
    if (closed_) return;
    closed_ = true;
    RunState& run = native<RunState>(state_);
    if (!run.shown) return;
    if (ticker_) {
        stop_.method("set");
        ticker_.method("join");
    }
    if (client_) {
        try {
            client_.method("unsubscribe_topic", topic_);
        } catch (PyError& e) {
            if (!e.is_exception()) throw;  // a client closed under the run: nothing to leave
        }
    }
    const std::string line = last_line(run, snapshot(run), completed);
    write(run, run.terminal ? "\r" + line + "\x1b[K\n" : line + "\n");
}

// ---- sinks ------------------------------------------------------------------------------------------

Ref make_sink(Handle watcher, Py_ssize_t index, Py_ssize_t rows) {
    if (watcher.is_none()) return nullptr;
    Ref sink = make_native<Sink>();
    Sink& s = native<Sink>(sink);
    s.index = index;
    s.rows = rows;
    if (is_native<RunState>(watcher)) {
        s.run = Ref::borrow(watcher);
    } else if (watcher.is_str()) {
        Ref worker;
        try {
            worker = import("distributed").attr("get_worker")();
        } catch (PyError& e) {
            if (!e.is_exception()) throw;
            return nullptr;  // not on a worker: nobody follows this topic here
        }
        s.log_event = worker.attr("log_event");
        s.topic = Ref::borrow(watcher);
    } else {
        return nullptr;
    }
    heard(s);
    return sink;
}

void flush_sink(Handle sink) {
    Sink& s = native<Sink>(sink);
    if (s.log_event && s.unsent) send(s);
}

}  // namespace partitioned
