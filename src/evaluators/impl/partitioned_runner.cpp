// tessaly.evaluators.impl.partitioned_runner: evaluates metrics over a table in partitions,
// one after another in this process or on the workers of a Dask cluster, and merges the
// results of the partitions into the result of the whole table. With a checkpoint, each
// finished partition is kept in a store as soon as it is finished, and a later run of the same
// work evaluates only the partitions the store does not hold (partitioned_runner/).
#include "support.hpp"

#include "partitioned_runner/checkpoint_store.hpp"
#include "partitioned_runner/fingerprint.hpp"
#include "partitioned_runner/progress.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

using namespace tsy;
using namespace partitioned;

namespace {

constexpr const char* kNeedsDask =
    "A Dask client needs Dask: install the optional dependencies with pip install 'tessaly[dask]' "
    "(dask[dataframe] and distributed)";
constexpr const char* kNotAClient = "Argument 'client' has incorrect type (expected distributed.Client, got %.200s)";
constexpr const char* kNotACheckpoint =
    "Argument 'checkpoint' has incorrect type (expected str, os.PathLike or None, got %.200s)";
constexpr const char* kEmptyCheckpoint = "checkpoint must name a directory or a URL, not an empty text";
constexpr const char* kRetryNeedsCheckpoint = "retry_failed needs a checkpoint: without one nothing is stored to retry";
constexpr const char* kRowsAtLeastOne = "partition_rows must be at least 1, not %S";
constexpr const char* kInFlightAtLeastOne = "partitions_in_flight must be at least 1, not %S";
constexpr const char* kCannotMerge =
    "cannot merge the results of metric %R across partitions: %.200s is not an aggregate result";
constexpr const char* kNotUsed = "checkpoint %R: %zd stored partition%s not used, evaluated again: %U";
constexpr const char* kNotSaved =
    "checkpoint %R: partition%s %U not saved (%U): their results are in this run's result, and a later run "
    "evaluates them again";
constexpr const char* kManifestReplaced =
    "checkpoint %R: its manifest could not be used (%U) and was written anew: the partitions of a table whose "
    "identifiers the run fills cannot be resumed from it";

// Everything a partition is evaluated with, besides its table.
struct Evaluation {
    Ref configuration, metrics, api_client, metric_groups, kwargs;
};

// ---- one partition -----------------------------------------------------------------------------

// `run`, the options of one partition's evaluation (a dict made by Checkpoint::options, or None):
//   index         the partition's place in the table
//   progress      whom to tell of its records (Progress::watcher)
//   store         the checkpoint store's location: the finished partition is saved there
//   fingerprint   the partition's, or None to compute it here (a Dask DataFrame's partition)
//   work          the run's work digest, for that
//   seed, timestamp   the run's identity: fill missing identifiers here (a Dask DataFrame's)
//   resume        look in the store first (a Dask DataFrame's partition: only here is it known)
//   retry_failed  with resume: a stored partition with records that failed on a request is not used
Ref option(Handle run, const char* key) {
    Ref value = run.is_none() ? Ref() : dict_get(run, key);
    return value ? value : none();
}

// _evaluate_partition(configuration, data, metrics, api_client, metric_groups, kwargs, run=None):
// (rows, _evaluate_metrics(configuration, data, metrics, api_client, metric_groups, **kwargs), notes),
// or (0, None, notes) for a partition without rows. Runs where the partition is, on a worker too:
// it saves the finished partition itself, so that the death of the caller loses nothing done.
// `notes` tells the caller what the store gave or refused: "resumed" (the result is the stored
// one), "not_used" ((why, reason) of a stored entry not used), "not_saved" (why the finished
// partition could not be saved; its result still counts).
Ref evaluate_partition(Invocation& args) {
    auto [configuration, data, metrics, api_client, metric_groups, kwargs, run] = args.bind<7>();
    Ref notes = new_dict();
    Ref index_option = option(run, "index");
    const Py_ssize_t index = index_option.is_none() ? 0 : to_ssize(index_option);
    Ref seed = option(run, "seed");
    if (!seed.is_none()) fill_identifiers(configuration, data, seed_of(seed), option(run, "timestamp"), index);
    const Py_ssize_t rows = data.len();
    if (rows == 0) return tuple_of({integer(0), Py_None, notes});

    std::optional<Store> store;
    Ref fingerprint = option(run, "fingerprint");
    if (Ref location = option(run, "store"); !location.is_none()) {
        try {
            store.emplace(location);
        } catch (PyError& e) {
            if (!e.is_exception()) throw;
            notes.set_item("not_saved", describe_error(e));  // evaluated all the same
        }
        if (store && fingerprint.is_none()) fingerprint = partition_fingerprint(option(run, "work"), index, data);
        if (store && option(run, "resume").truthy()) {
            Stored stored = store->load(index, fingerprint, option(run, "retry_failed").truthy());
            if (stored.result) {
                notes.set_item("resumed", Py_True);
                return tuple_of({integer(rows), stored.result, notes});
            }
            const char* why = stored.why == Unused::other_work ? "other_work"
                              : stored.why == Unused::corrupt  ? "corrupt"
                              : stored.why == Unused::unreadable ? "unreadable"
                                                                 : nullptr;
            if (why) notes.set_item("not_used", tuple_of({text(why), stored.reason ? stored.reason : none()}));
        }
    }

    CallArgs evaluate;
    evaluate.arg(configuration).arg(data).arg(metrics).arg(api_client).arg(metric_groups).merge(kwargs);
    Ref result;
    if (Ref sink = make_sink(option(run, "progress"), index, rows)) {
        // Published for the evaluation alone, in this thread's context: the metrics runner and the
        // providers find it there, the event loop's tasks in their copies of it.
        Ref variable = progress_variable();
        Ref token = variable.method("set", sink);
        try {
            result = evaluate.call(args.global("_evaluate_metrics"));
        } catch (...) {
            variable.method("reset", token);
            throw;
        }
        variable.method("reset", token);
        flush_sink(sink);
    } else {
        result = evaluate.call(args.global("_evaluate_metrics"));
    }

    if (store) {
        try {
            store->save(index, fingerprint, rows, result);
        } catch (PyError& e) {
            if (!e.is_exception()) throw;
            notes.set_item("not_saved", describe_error(e));
        }
    }
    return tuple_of({integer(rows), result, notes});
}

// The rows of a partition's (rows, result, notes).
Py_ssize_t rows_of(Handle outcome) { return to_ssize(outcome[0]); }

// ---- the table and its partitions --------------------------------------------------------------

// A Dask DataFrame is told by its module, so that Dask is imported only where one is given.
bool is_dask_frame(Handle data) {
    Handle type = reinterpret_cast<PyObject*>(data.type());
    Ref module = getattr_or(type, "__module__", Py_None);
    if (!module.is_str()) return false;
    const std::string_view name = utf8(module);
    return (name == "dask" || name.starts_with("dask.")) && data.has_attr("to_delayed");
}

// The caller's data as `_evaluate_metrics` takes it: a mapping or a list of mappings becomes a
// new table, a table stays the caller's.
Ref as_table(Handle globals, Handle data) {
    Ref pd = lookup_global(globals, "pd");
    if (data.is_dict()) return pd.method("DataFrame", new_list_of({data}));
    if (data.is_list()) return pd.method("DataFrame", data);
    return Ref::borrow(data);
}

// The pandas partitions of `table`, as independent tables of at most `rows` rows.
class TableSlices {
public:
    TableSlices(Ref table, Py_ssize_t rows) : table_(std::move(table)), rows_(rows), total_(table_.len()) {}
    // Written so that no step overflows, whatever `rows` is (sys.maxsize, say).
    Py_ssize_t count() const { return total_ / rows_ + (total_ % rows_ != 0); }
    Py_ssize_t total_rows() const { return total_; }
    // table.iloc[start:stop].copy()
    Ref slice(Py_ssize_t i) const {
        const Py_ssize_t start = i * rows_;  // below total_: i < count()
        Ref bounds = builtin("slice")(integer(start), integer(start + std::min(rows_, total_ - start)));
        return table_.attr("iloc")[bounds].method("copy");
    }

private:
    Ref table_;
    Py_ssize_t rows_, total_;
};

// ---- the checkpoint of a run --------------------------------------------------------------------

// A run's use of its checkpoint store: what it hands each partition's evaluation, and what it tells
// the caller of the store, once each: the stored entries it did not use, the partitions it could
// not save.
class Checkpoint {
public:
    // Opens the store at `location` (None: no checkpoint) and refuses one that cannot be written,
    // before anything is evaluated.
    Checkpoint(Handle globals, Handle location, bool retry_failed, const Evaluation& e, Handle partition_rows)
        : globals_(globals), retry_failed_(retry_failed) {
        if (location.is_none()) return;
        store_.emplace(location);
        store_->probe();
        identity_ = store_->identity();
        if (identity_.replaced) warn(text_format(kManifestReplaced, location, identity_.replaced));
        work_ = work_digest(e.configuration, e.metrics, e.metric_groups, e.kwargs, partition_rows);
    }

    bool active() const { return store_.has_value(); }
    const Identity& identity() const { return identity_; }

    // Partition `index` of a pandas table, as the store has it: its result when it is this work's,
    // null when it is to be evaluated (its fingerprint kept for that).
    Ref stored(Py_ssize_t index, Handle table) {
        Ref fingerprint = partition_fingerprint(work_, index, table);
        Stored found = store_->load(index, fingerprint, retry_failed_);
        if (found.result) return found.result;
        fingerprints_.set_item(integer(index), fingerprint);
        if (found.why == Unused::other_work) not_used("other_work", nullptr);
        else if (found.why == Unused::corrupt) not_used("corrupt", found.reason);
        else if (found.why == Unused::unreadable) not_used("unreadable", found.reason);
        return nullptr;
    }

    // The `run` options of partition `index`'s evaluation (see evaluate_partition). A Dask
    // DataFrame's partition is filled, fingerprinted and looked up where it is evaluated.
    Ref options(Py_ssize_t index, Handle watcher, bool dask_frame) const {
        Ref run = new_dict();
        run.set_item("index", integer(index));
        run.set_item("progress", watcher);
        if (!active()) return run;
        run.set_item("store", store_->location());
        run.set_item("work", work_);
        if (dask_frame) {
            run.set_item("seed", identity_.seed);
            run.set_item("timestamp", identity_.timestamp);
            run.set_item("resume", Py_True);
            run.set_item("retry_failed", boolean(retry_failed_));
        } else {
            run.set_item("fingerprint", fingerprints_[integer(index)]);
        }
        return run;
    }

    // What the evaluation of partition `index` noted of the store.
    void noted(Py_ssize_t index, Handle notes) {
        if (Ref unused = dict_get(notes, "not_used")) {
            auto [why, reason] = unpack<2>(unused);
            not_used(utf8(why) == "corrupt" ? "corrupt" : utf8(why) == "unreadable" ? "unreadable" : "other_work",
                     reason);
        }
        if (Ref reason = dict_get(notes, "not_saved")) {
            append(not_saved_, integer(index));
            if (!not_saved_reason_) not_saved_reason_ = reason;
        }
    }

    // One warning for the stored entries that were not used: how many, and why.
    void tell_not_used() {
        const Py_ssize_t count = other_work_ + corrupt_ + unreadable_;
        if (!active() || count == 0 || told_not_used_) return;
        told_not_used_ = true;
        Ref reasons = new_list();
        if (other_work_)
            append(reasons, text_format("%zd made by other work (other data, metrics, configuration or partition size)",
                                        other_work_));
        if (corrupt_) append(reasons, text_format("%zd corrupt (%U)", corrupt_, corrupt_reason_));
        if (unreadable_) append(reasons, text_format("%zd unreadable (%U)", unreadable_, unreadable_reason_));
        warn(text_format(kNotUsed, store_->location(), count, count == 1 ? "" : "s",
                         text(", ").method("join", reasons)));
    }

    // One warning for the partitions that could not be saved.
    void tell_not_saved() {
        if (!active() || not_saved_.len() == 0) return;
        Ref indexes = text(", ").method("join", builtin("map")(builtin("str"), not_saved_));
        warn(text_format(kNotSaved, store_->location(), not_saved_.len() == 1 ? "" : "s", indexes, not_saved_reason_));
        not_saved_ = new_list();
    }

private:
    void not_used(const char* why, Handle reason) {
        const std::string_view kind = why;
        if (kind == "corrupt") {
            ++corrupt_;
            if (!corrupt_reason_) corrupt_reason_ = reason ? Ref::borrow(reason) : text("unknown");
        } else if (kind == "unreadable") {
            ++unreadable_;
            if (!unreadable_reason_) unreadable_reason_ = reason ? Ref::borrow(reason) : text("unknown");
        } else {
            ++other_work_;
        }
    }

    void warn(Handle message) const {
        lookup_global(globals_, "warnings").method("warn", message, lookup_global(globals_, "CheckpointWarning"));
    }

    Handle globals_;  // the module's, alive as long as its functions are
    bool retry_failed_;
    std::optional<Store> store_;
    Identity identity_;
    Ref work_;
    Ref fingerprints_ = new_dict();  // partition index -> fingerprint, of the partitions to evaluate
    Py_ssize_t other_work_ = 0, corrupt_ = 0, unreadable_ = 0;
    Ref corrupt_reason_, unreadable_reason_;
    bool told_not_used_ = false;
    Ref not_saved_ = new_list(), not_saved_reason_;
};

// ---- running the partitions ----------------------------------------------------------------------

// The (rows, result, notes) of each partition, in table order.
using Outcomes = std::vector<Ref>;

// What a run does with each partition's outcome as it comes back.
class Finish {
public:
    Finish(Outcomes& outcomes, Progress& progress, Checkpoint& checkpoint)
        : outcomes_(outcomes), progress_(progress), checkpoint_(checkpoint) {}
    void operator()(Py_ssize_t index, Ref outcome) {
        Ref notes = outcome[2];
        if (dict_get(notes, "resumed")) progress_.resumed(index, rows_of(outcome), outcome[1]);
        else progress_.finished(index, outcome);
        checkpoint_.noted(index, notes);
        outcomes_[static_cast<size_t>(index)] = std::move(outcome);
    }

private:
    Outcomes& outcomes_;
    Progress& progress_;
    Checkpoint& checkpoint_;
};

Ref evaluate_here(Handle globals, const Evaluation& e, Handle data, Handle run) {
    return lookup_global(globals, "_evaluate_partition")(e.configuration, data, e.metrics, e.api_client,
                                                         e.metric_groups, e.kwargs, run);
}

// In this process, one partition after another: memory is bounded by a partition.
void run_here_pandas(Handle globals, const Evaluation& e, const TableSlices& slices,
                     const std::vector<Py_ssize_t>& todo, const Checkpoint& checkpoint, const Progress& progress,
                     Finish& finish) {
    for (Py_ssize_t i : todo)
        finish(i, evaluate_here(globals, e, slices.slice(i), checkpoint.options(i, progress.watcher(false), false)));
}

void run_here_dask(Handle globals, const Evaluation& e, Handle parts, const Checkpoint& checkpoint,
                   const Progress& progress, Finish& finish) {
    Py_ssize_t i = 0;
    for (const Ref& part : iterate(parts)) {
        Ref table = part.method("compute");
        Ref outcome = evaluate_here(globals, e, table, checkpoint.options(i, progress.watcher(false), true));
        table.reset();
        finish(i++, std::move(outcome));
    }
}

// On the workers of `client`: at most `in_flight` partitions at once, each evaluated where its
// table is. A failed partition stops the submission of the later ones; once every earlier one
// has finished, the first failure in table order is raised as the partition raised it.
// Whatever ends the run early (a failure, an interruption) cancels what is still pending.
class ClusterRun {
public:
    ClusterRun(Handle globals, const Evaluation& e, Handle client, Py_ssize_t in_flight)
        : globals_(globals), evaluation_(e), client_(Ref::borrow(client)), in_flight_(in_flight),
          distributed_(import("distributed")), completed_(distributed_.attr("as_completed")()) {}

    // Evaluates the partitions `todo` (indexes, in table order): `make_part(i)` gives what the task
    // of partition i takes as its table (a table, or the future of one), `make_options(i)` its
    // options; `finish(i, outcome)` takes each outcome.
    template <class MakePart, class MakeOptions>
    void run(const std::vector<Py_ssize_t>& todo, MakePart make_part, MakeOptions make_options, Finish& finish) {
        const Py_ssize_t count = static_cast<Py_ssize_t>(todo.size());
        tasks_ = new_list_of({Py_None}).mul(count);  // [None] * count, by place in `todo`
        keys_ = new_dict();
        auto submit_next = [&](Py_ssize_t k) {
            const Py_ssize_t i = todo[static_cast<size_t>(k)];
            submit(k, make_part(i), make_options(i));
        };
        try {
            Py_ssize_t next = 0, stop = count;
            for (; next < std::min(in_flight_, count); ++next) submit_next(next);
            for (const Ref& future : iterate(completed_)) {
                const Py_ssize_t k = place_of(future);
                if (future.attr("status").equals("finished")) {
                    finish(todo[static_cast<size_t>(k)], future.method("result"));
                } else {  // failed, or cancelled by someone else: its result() raises why
                    failures_.set_item(integer(k), future);
                    if (k < stop) {
                        stop = k;  // nothing after it is needed any more
                        cancel_from(k + 1);
                    }
                }
                tasks_.set_item(integer(k), Py_None);  // the partition's table may go
                if (next < stop) submit_next(next++);
            }
            if (stop < count) failures_[integer(stop)].method("result");  // raises
        } catch (PyError&) {
            cancel_from(0);
            throw;
        }
    }

private:
    void submit(Py_ssize_t k, Ref part, Ref options) {
        const Evaluation& e = evaluation_;
        Ref future = client_.method("submit", lookup_global(globals_, "_evaluate_partition"), e.configuration, part,
                                    e.metrics, e.api_client, e.metric_groups, e.kwargs, options, kw("pure", false));
        keys_.set_item(future.attr("key"), integer(k));
        tasks_.set_item(integer(k), tuple_of({future, part}));
        completed_.method("add", future);
    }

    Py_ssize_t place_of(Handle future) {
        Ref k = dict_get(keys_, future.attr("key"));
        if (!k) raise(PyExc_RuntimeError, "a task of another run came back: %R", future);
        return to_ssize(k);
    }

    // Cancels every submitted task from place `first` on that is not finished yet.
    void cancel_from(Py_ssize_t first) {
        Ref pending = new_list();
        for (Py_ssize_t k = first; k < tasks_.len(); ++k) {
            Ref task = tasks_[k];
            if (task.is_none()) continue;
            for (const Ref& f : iterate(task))
                if (f.has_attr("cancel") && !f.method("done").truthy()) append(pending, f);
        }
        if (pending.len()) client_.method("cancel", pending);
    }

    Handle globals_;
    const Evaluation& evaluation_;
    Ref client_;
    Py_ssize_t in_flight_;
    Ref distributed_, completed_;
    Ref tasks_;                  // per place in `todo`: (task future, its table or the table's future), or None
    Ref keys_;                   // task key -> place in `todo`
    Ref failures_ = new_dict();  // place -> the future of its failed task
};

// ---- merging the partitions' results ---------------------------------------------------------------

// A value that enters a mean: a number, but not a bool, and not a NaN (unequal to itself).
bool is_number(Handle value) {
    PyObject* v = value.get();  // for the type checks
    if (PyBool_Check(v)) return false;
    if (PyFloat_Check(v)) return !std::isnan(PyFloat_AS_DOUBLE(v));
    return PyLong_Check(v) || (PyNumber_Check(v) && !value.is_str() && compare(value, value, Py_EQ));
}

// How many record results of an aggregate have a numeric value: the records that entered
// its mean.
Py_ssize_t entered(Handle aggregate) {
    Py_ssize_t n = 0;
    for (const Ref& record : iterate(aggregate.attr("record_level_metrics")))
        if (is_number(record.attr("value"))) ++n;
    return n;
}

// One metric's aggregates of the partitions, in table order, as one aggregate of the whole
// table: record results one after another; counts added; min and max over the partitions'
// (missing ones left out); errors one after another; the mean the partitions' means weighted
// by the records that entered each, rounded as a mean is (equal to the mean of the whole
// table to within that rounding). Value and errors follow the mean: with a mean the value is
// the mean, as each provider makes it; with none, every partition's errors are kept.
Ref merge_aggregates(Handle aggregates) {
    Ref first = aggregates[0];
    if (aggregates.len() == 1) return first;
    for (const Ref& part : iterate(aggregates))
        if (!part.has_attr("record_level_metrics") || !part.has_attr("total_records"))
            raise(PyExc_TypeError, kCannotMerge, getattr_or(first, "name", Py_None), type_name(part));
    Ref records = new_list(), errors = new_list();
    Ref total = integer(0), weighted = number(0.0), weights = integer(0);
    Ref low, high, with_mean;  // none yet
    bool every_errors_list = true;
    for (const Ref& part : iterate(aggregates)) {
        records.method("extend", part.attr("record_level_metrics"));
        total = total.add(part.attr("total_records"));
        Ref part_errors = getattr_or(part, "errors", Py_None);
        if (part_errors.is_list()) errors.method("extend", part_errors);
        else every_errors_list = false;
        Ref mean = part.attr("mean");
        const Py_ssize_t weight = entered(part);
        if (is_number(mean) && weight > 0) {
            if (!with_mean) with_mean = part;
            weighted = weighted.add(mean.mul(weight));
            weights = weights.add(weight);
        }
        Ref part_min = part.attr("min"), part_max = part.attr("max");
        if (is_number(part_min) && (!low || part_min.lt(low))) low = part_min;
        if (is_number(part_max) && (!high || part_max.gt(high))) high = part_max;
    }
    Ref update = new_dict();
    update.set_item("record_level_metrics", records);
    update.set_item("total_records", total);
    if (with_mean) {
        Ref mean = round_number(weighted.truediv(weights), 4);
        update.set_item("mean", mean);
        update.set_item("value", mean);
        // A partition may have a mean without a min or max: then the whole table has none either.
        update.set_item("min", low ? low : none());
        update.set_item("max", high ? high : none());
        update.set_item("errors", getattr_or(with_mean, "errors", Py_None));
    } else {
        if (low) update.set_item("min", low);
        if (high) update.set_item("max", high);
        if (every_errors_list) update.set_item("errors", errors);
    }
    return first.method("model_copy", kw("update", update));
}

// The key that matches a metric's aggregates across partitions: its name, method and display
// name, and which of the aggregates with those it is (`seen` counts them in one result).
Ref match_key(Handle aggregate, Handle seen) {
    Ref key = tuple_of({getattr_or(aggregate, "name", Py_None), getattr_or(aggregate, "method", Py_None),
                        getattr_or(aggregate, "display_name", Py_None)});
    Ref count = dict_get(seen, key);
    Ref occurrence = count ? count : integer(0);
    seen.set_item(key, occurrence.add(1));
    return tuple_of({key, occurrence});
}

// The results of the partitions (each a MetricsEvaluationResult or None for a partition
// without rows) as the one result of the whole table.
Ref merge_results(Handle globals, const Outcomes& outcomes) {
    Ref groups = new_dict();  // match key -> the aggregates of the partitions, in first-seen order
    for (const Ref& outcome : outcomes) {
        Ref result = outcome[1];
        if (result.is_none()) continue;
        Ref seen = new_dict();
        for (const Ref& aggregate : iterate(result.attr("metrics_result"))) {
            Ref key = match_key(aggregate, seen);
            Ref group = dict_get(groups, key);
            if (!group) {
                group = new_list();
                groups.set_item(key, group);
            }
            append(group, aggregate);
        }
    }
    Ref merged = new_list();
    for (const Ref& group : iterate(groups.method("values"))) append(merged, merge_aggregates(group));
    return lookup_global(globals, "MetricsEvaluationResult")(kw("metrics_result", merged));
}

// ---- the entry -----------------------------------------------------------------------------------

void require_client(Handle client) {
    Ref distributed;
    try {
        distributed = import("distributed");
    } catch (PyError& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        raise_from(new_exception(PyExc_ImportError, text(kNeedsDask)), e);
    }
    if (!client.isinstance(distributed.attr("Client"))) raise(PyExc_TypeError, kNotAClient, type_name(client));
}

Py_ssize_t workers_threads(Handle client) {
    Py_ssize_t threads = 0;
    for (const Ref& n : iterate(client.method("nthreads").method("values"))) threads += to_ssize(n);
    return std::max<Py_ssize_t>(threads, 1);
}

// The checkpoint's location as the store takes it: a URL as given, a path made absolute (the
// workers of a cluster do not share the caller's working directory); None without one.
Ref checkpoint_location(Handle checkpoint) {
    if (checkpoint.is_none()) return none();
    Ref os = import("os");
    Ref location = Ref::borrow(checkpoint);
    if (!location.is_str()) {
        if (!checkpoint.isinstance(os.attr("PathLike"))) raise(PyExc_TypeError, kNotACheckpoint, type_name(checkpoint));
        location = os.method("fspath", checkpoint);
        if (!location.is_str()) raise(PyExc_TypeError, kNotACheckpoint, type_name(location));
    }
    if (location.len() == 0) raise(PyExc_ValueError, "%s", kEmptyCheckpoint);
    return is_url(location) ? location : os.attr("path").method("abspath", location);
}

// How a run goes, from the entry's keywords.
struct Settings {
    Py_ssize_t rows;         // partition_rows
    Ref partition_rows;      // as given, for the fingerprint
    Py_ssize_t in_flight;    // 0: as many as the cluster has worker threads
    bool shown;              // progress
    Ref location;            // checkpoint, or None
    bool retry_failed;

    Py_ssize_t bound(Handle client) const { return in_flight > 0 ? in_flight : workers_threads(client); }
};

// The notes of a partition that the store had.
Ref resumed_outcome(Py_ssize_t rows, Handle result) {
    Ref notes = new_dict();
    notes.set_item("resumed", Py_True);
    return tuple_of({integer(rows), result, notes});
}

// Runs `body`, closing the progress display and telling what the store could not save however it
// ends: a failed run also keeps what it saved.
template <class Body>
void showing(Progress& report, Checkpoint& checkpoint, Body&& body) {
    try {
        body();
    } catch (...) {
        try {
            report.close(false);
            checkpoint.tell_not_saved();
        } catch (PyError&) {
            // the run's own error is the one to see
        }
        throw;
    }
    report.close(true);
    checkpoint.tell_not_saved();
}

// A pandas table (or the data it is made from), in partitions of at most `s.rows` rows.
Ref evaluate_table(Handle globals, const Evaluation& e, Handle data, Handle client, const Settings& s) {
    Ref runner = lookup_global(globals, "metrics_runner");
    Ref table = as_table(globals, data);
    runner.attr("__validate_data")(kw("configuration", e.configuration), kw("data", table));
    Checkpoint checkpoint(globals, s.location, s.retry_failed, e, s.partition_rows);
    // Identifiers and timestamps first, into the caller's table, so that they do not depend on the
    // partitioning; with a checkpoint, derived from the run the store keeps, so that a resumed
    // run gives every record the identifier it had.
    if (checkpoint.active()) {
        const Identity& identity = checkpoint.identity();
        fill_identifiers(e.configuration, table, seed_of(identity.seed), identity.timestamp, -1);
    } else {
        runner.attr("__populate_record_id_timestamp")(kw("configuration", e.configuration), kw("data", table));
    }
    TableSlices slices(table, s.rows);
    const Py_ssize_t count = slices.count();
    Progress report(globals, s.shown, count, slices.total_rows());
    Outcomes outcomes(static_cast<size_t>(count));
    Finish finish(outcomes, report, checkpoint);
    std::vector<Py_ssize_t> todo;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (checkpoint.active()) {
            Ref part = slices.slice(i);
            if (Ref result = checkpoint.stored(i, part)) {
                finish(i, resumed_outcome(part.len(), result));
                continue;
            }
        }
        todo.push_back(i);
    }
    checkpoint.tell_not_used();
    report.start(client);
    showing(report, checkpoint, [&] {
        if (client.is_none()) {
            run_here_pandas(globals, e, slices, todo, checkpoint, report, finish);
            return;
        }
        // Each partition travels in its task, so that the scheduler can run the task again
        // elsewhere when a worker is lost.
        ClusterRun run(globals, e, client, s.bound(client));
        run.run(
            todo, [&](Py_ssize_t i) { return slices.slice(i); },
            [&](Py_ssize_t i) { return checkpoint.options(i, report.watcher(true), false); }, finish);
    });
    return merge_results(globals, outcomes);
}

// A Dask DataFrame, in its own partitions, each made where it is evaluated (never collected
// whole); identifiers and timestamps missing in one are filled there, and with a checkpoint it is
// fingerprinted and looked up in the store there too.
Ref evaluate_dask_frame(Handle globals, const Evaluation& e, Handle data, Handle client, const Settings& s) {
    Ref parts = data.method("to_delayed");
    const Py_ssize_t count = parts.len();
    Checkpoint checkpoint(globals, s.location, s.retry_failed, e, s.partition_rows);
    Progress report(globals, s.shown, count, -1);
    Outcomes outcomes(static_cast<size_t>(count));
    Finish finish(outcomes, report, checkpoint);
    report.start(client);
    showing(report, checkpoint, [&] {
        if (client.is_none()) {
            run_here_dask(globals, e, parts, checkpoint, report, finish);
        } else {
            std::vector<Py_ssize_t> every(static_cast<size_t>(count));
            for (Py_ssize_t i = 0; i < count; ++i) every[static_cast<size_t>(i)] = i;
            ClusterRun run(globals, e, client, s.bound(client));
            run.run(
                every, [&](Py_ssize_t i) { return client.method("compute", parts[i]); },
                [&](Py_ssize_t i) { return checkpoint.options(i, report.watcher(true), true); }, finish);
        }
        Py_ssize_t total = 0;
        for (const Ref& outcome : outcomes) total += rows_of(outcome);
        if (total == 0)  // refused as _evaluate_metrics refuses an empty table
            lookup_global(globals, "metrics_runner")
                .attr("__validate_data")(kw("configuration", e.configuration), kw("data", data.attr("_meta")));
    });
    checkpoint.tell_not_used();
    return merge_results(globals, outcomes);
}

// _evaluate_metrics_partitioned(configuration, data, metrics, api_client=None, metric_groups=[], *,
//     partition_rows=50000, client=None, progress=False, partitions_in_flight=None, checkpoint=None,
//     retry_failed=False, **kwargs)
Ref evaluate_metrics_partitioned(Invocation& args) {
    auto [configuration, data, metrics, api_client, metric_groups, partition_rows, client, progress,
          partitions_in_flight, checkpoint, retry_failed] = args.bind<11>();
    // Any count of at least 1 is taken, those beyond what a table can hold as the most.
    const Py_ssize_t rows = to_ssize(partition_rows, true);
    if (rows < 1) raise(PyExc_ValueError, kRowsAtLeastOne, partition_rows);
    const bool bounded = !partitions_in_flight.is_none();
    const Py_ssize_t in_flight = bounded ? to_ssize(partitions_in_flight, true) : 0;
    if (bounded && in_flight < 1) raise(PyExc_ValueError, kInFlightAtLeastOne, partitions_in_flight);
    Ref location = checkpoint_location(checkpoint);
    if (retry_failed.truthy() && location.is_none()) raise(PyExc_ValueError, "%s", kRetryNeedsCheckpoint);
    if (!client.is_none()) require_client(client);
    Evaluation e{Ref::borrow(configuration), Ref::borrow(metrics), Ref::borrow(api_client),
                 Ref::borrow(metric_groups), Ref::borrow(args.kwargs())};
    Settings s{rows, Ref::borrow(partition_rows), in_flight, progress.truthy(), location, retry_failed.truthy()};
    if (is_dask_frame(data)) return evaluate_dask_frame(args.globals(), e, data, client, s);
    return evaluate_table(args.globals(), e, data, client, s);
}

constexpr const char* kDoc =
    "Evaluates metrics as _evaluate_metrics does, partition by partition: a pandas table in\n"
    "    partitions of at most partition_rows rows (its record identifiers and timestamps filled\n"
    "    first), a Dask DataFrame in its own partitions. Without a client the partitions run one\n"
    "    after another in this process; with a distributed.Client they run on its workers, at most\n"
    "    partitions_in_flight at once (default: the cluster's worker threads). The result is the\n"
    "    whole table's: record results in table order, counts, min, max and errors merged exactly,\n"
    "    the mean the partitions' means weighted by the records that entered each (equal to the\n"
    "    whole table's to within its rounding to 4 places). A failing partition fails the run with\n"
    "    its error (the first one in table order).\n"
    "\n"
    "    checkpoint: a local directory (str or os.PathLike) or an fsspec URL (scheme://...) of a\n"
    "    store that every worker reaches. Each finished partition is written there as soon as it is\n"
    "    finished, by whoever finished it; a later call with the same checkpoint, configuration,\n"
    "    metrics, metric groups, extra keywords, partition size and data evaluates only the\n"
    "    partitions not stored yet, and returns what an uninterrupted run returns. Identifiers and\n"
    "    timestamps that the run fills are derived from the store's manifest, so that a resumed run\n"
    "    fills the same ones. A store that cannot be written is refused (OSError) before anything is\n"
    "    evaluated; entries of other work, corrupt or unreadable ones are evaluated again, and a\n"
    "    partition that cannot be saved still counts, each told by one CheckpointWarning.\n"
    "    retry_failed: evaluate again the stored partitions with records whose request failed\n"
    "    (code REQUEST_FAILED or an HTTP status).\n"
    "    progress: records done of the total, records per second, time left and failed record\n"
    "    results on standard error, at record granularity (a line rewritten in place on a terminal,\n"
    "    a line every PROGRESS_LINE_SECONDS elsewhere), and the totals at the end.\n    ";

constexpr const char* kConfiguration = "GenAIConfiguration | AgenticAIConfiguration";

void exec(Module& m) {
    progress_variable();  // made at import, before any thread could race to make it
    m.import("sys");
    m.import("warnings");
    m.import("pandas", "pd");
    m.from_import("tessaly.entities.evaluation_result", "MetricsEvaluationResult");
    m.import("tessaly.evaluators.impl.metrics_runner", "metrics_runner");
    m.from_import("tessaly.evaluators.impl.metrics_runner", "_evaluate_metrics");
    // Seconds between updates of the progress shown: on a terminal, and between lines elsewhere.
    m.set("PROGRESS_REFRESH_SECONDS", number(0.5));
    m.set("PROGRESS_LINE_SECONDS", number(10.0));
    m.set("CheckpointWarning", ClassBuilder(m, "CheckpointWarning")
                                   .base(Ref::borrow(PyExc_UserWarning))
                                   .doc("What a checkpoint store could not give or keep: entries not used, "
                                        "partitions not saved.")
                                   .build());

    auto keyword = [](const char* name, const char* annotation) {
        return Param(name).annotated(annotation).keyword_only();
    };
    m.def({.name = "_evaluate_metrics_partitioned",
           .params = {Param("configuration").annotated(kConfiguration),
                      Param("data").annotated("pd.DataFrame | dd.DataFrame | dict | list[dict]"),
                      Param("metrics").annotated("list[GenAIMetric]").exactly(&PyList_Type),
                      Param("api_client").annotated("APIClient").defaults_to_none(),
                      Param("metric_groups").annotated("list[MetricGroup]").exactly(&PyList_Type)
                          .defaults_to_empty_list(),
                      keyword("partition_rows", "int").exactly(&PyLong_Type).defaults_to(integer(50000)),
                      keyword("client", "distributed.Client | None").defaults_to_none(),
                      keyword("progress", "bool").defaults_to(boolean(false)),
                      keyword("partitions_in_flight", "int | None").exactly(&PyLong_Type, true).defaults_to_none(),
                      keyword("checkpoint", "str | os.PathLike[str] | None").defaults_to_none(),
                      keyword("retry_failed", "bool").exactly(&PyBool_Type).defaults_to(boolean(false))},
           .body = evaluate_metrics_partitioned,
           .var_keywords = "kwargs",
           .returns = "MetricsEvaluationResult",
           .doc = kDoc});
    m.def({.name = "_evaluate_partition",
           .params = {Param("configuration"), Param("data"), Param("metrics"), Param("api_client"),
                      // The extra keywords as a dict, exactly: anything else would be taken for none at all.
                      Param("metric_groups"), Param("kwargs").exactly(&PyDict_Type),
                      Param("run").exactly(&PyDict_Type, true).defaults_to_none()},
           .body = evaluate_partition,
           .returns = "tuple[int, MetricsEvaluationResult | None, dict[str, Any]]",
           .doc = "Evaluates one partition: (its rows, _evaluate_metrics of it, notes), or (0, None, notes) without "
                  "rows; with a store in `run`, looks there first (resume) and saves the finished partition there."});
}

}  // namespace

TSY_MODULE(partitioned_runner, "Evaluation of metrics over a table in partitions, in this process or on Dask.", exec)
