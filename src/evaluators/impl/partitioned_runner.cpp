// tessaly.evaluators.impl.partitioned_runner: evaluates metrics over a table in partitions,
// one after another in this process or on the workers of a Dask cluster, and merges the
// results of the partitions into the result of the whole table.
#include "support.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

using namespace tsy;

namespace {

constexpr const char* kNeedsDask =
    "A Dask client needs Dask: install the optional dependencies with pip install 'tessaly[dask]' "
    "(dask[dataframe] and distributed)";
constexpr const char* kNotAClient = "Argument 'client' has incorrect type (expected distributed.Client, got %.200s)";
constexpr const char* kRowsAtLeastOne = "partition_rows must be at least 1, not %S";
constexpr const char* kInFlightAtLeastOne = "partitions_in_flight must be at least 1, not %S";
constexpr const char* kCannotMerge =
    "cannot merge the results of metric %R across partitions: %.200s is not an aggregate result";
constexpr const char* kProgressOfTotal = "partitioned run: %zd of %zd records, %zd of %zd partitions, %U s\n";
constexpr const char* kProgress = "partitioned run: %zd records, %zd of %zd partitions, %U s\n";

// Everything a partition is evaluated with, besides its table.
struct Evaluation {
    Ref configuration, metrics, api_client, metric_groups, kwargs;
};

// ---- one partition -----------------------------------------------------------------------------

// _evaluate_partition(configuration, data, metrics, api_client, metric_groups, kwargs):
// (rows, _evaluate_metrics(configuration, data, metrics, api_client, metric_groups, **kwargs)),
// or (0, None) for a partition without rows. Runs where the partition is, on a worker too.
Ref evaluate_partition(Invocation& args) {
    auto [configuration, data, metrics, api_client, metric_groups, kwargs] = args.bind<6>();
    const Py_ssize_t rows = data.len();
    if (rows == 0) return tuple_of({integer(0), Py_None});
    Ref result = CallArgs()
                     .arg(configuration)
                     .arg(data)
                     .arg(metrics)
                     .arg(api_client)
                     .arg(metric_groups)
                     .merge(kwargs)
                     .call(args.global("_evaluate_metrics"));
    return tuple_of({integer(rows), result});
}

// The rows of a partition's (rows, result).
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

// ---- progress ------------------------------------------------------------------------------------

class Progress {
public:
    Progress(Handle globals, bool shown, Py_ssize_t partitions, Py_ssize_t total_rows)
        : globals_(globals), shown_(shown), partitions_(partitions), total_rows_(total_rows) {
        if (shown_) start_ = lookup_global(globals, "time").method("monotonic");
    }

    // One line on standard error per finished partition: records done (of the total, where
    // it is known), partitions done, seconds since the start.
    void finished(Py_ssize_t rows) {
        ++done_;
        rows_ += rows;
        if (!shown_) return;
        Ref elapsed = lookup_global(globals_, "time").method("monotonic").sub(start_);
        Ref seconds = format(elapsed, ".1f");
        Ref line = total_rows_ >= 0 ? text_format(kProgressOfTotal, rows_, total_rows_, done_, partitions_, seconds)
                                    : text_format(kProgress, rows_, done_, partitions_, seconds);
        Ref stderr_ = lookup_global(globals_, "sys").attr("stderr");
        stderr_.method("write", line);
        stderr_.method("flush");
    }

private:
    Handle globals_;  // the module's, alive as long as its functions are
    bool shown_;
    Py_ssize_t partitions_, total_rows_, done_ = 0, rows_ = 0;
    Ref start_;
};

// ---- running the partitions ----------------------------------------------------------------------

// The (rows, result) of each partition, in table order.
using Outcomes = std::vector<Ref>;

Ref evaluate_here(Handle globals, const Evaluation& e, Handle data) {
    return lookup_global(globals, "_evaluate_partition")(e.configuration, data, e.metrics, e.api_client,
                                                         e.metric_groups, e.kwargs);
}

// In this process, one partition after another: memory is bounded by a partition.
Outcomes run_here_pandas(Handle globals, const Evaluation& e, const TableSlices& slices, Progress& progress) {
    Outcomes outcomes;
    for (Py_ssize_t i = 0; i < slices.count(); ++i) {
        Ref outcome = evaluate_here(globals, e, slices.slice(i));
        progress.finished(rows_of(outcome));
        outcomes.push_back(std::move(outcome));
    }
    return outcomes;
}

Outcomes run_here_dask(Handle globals, const Evaluation& e, Handle parts, Progress& progress) {
    Outcomes outcomes;
    for (const Ref& part : iterate(parts)) {
        Ref table = part.method("compute");
        Ref outcome = evaluate_here(globals, e, table);
        table.reset();
        progress.finished(rows_of(outcome));
        outcomes.push_back(std::move(outcome));
    }
    return outcomes;
}

// On the workers of `client`: at most `in_flight` partitions at once, each evaluated where its
// table is. A failed partition stops the submission of the later ones; once every earlier one
// has finished, the first failure in table order is raised as the partition raised it.
// Whatever ends the run early (a failure, an interruption) cancels what is still pending.
class ClusterRun {
public:
    ClusterRun(Handle globals, const Evaluation& e, Handle client, Py_ssize_t in_flight, Progress& progress)
        : globals_(globals), evaluation_(e), client_(Ref::borrow(client)), in_flight_(in_flight),
          progress_(progress), distributed_(import("distributed")),
          completed_(distributed_.attr("as_completed")()) {}

    // `make_part(i)` gives what the task of partition i takes as its table: a table, or the
    // future of one.
    template <class MakePart>
    Outcomes run(Py_ssize_t partitions, MakePart make_part) {
        tasks_ = new_list_of({Py_None}).mul(partitions);  // [None] * partitions
        keys_ = new_dict();
        Outcomes outcomes(static_cast<size_t>(partitions));
        try {
            Py_ssize_t next = 0, stop = partitions;
            for (; next < std::min(in_flight_, partitions); ++next) submit(next, make_part(next));
            for (const Ref& future : iterate(completed_)) {
                const Py_ssize_t i = index_of(future);
                Ref& outcome = outcomes[static_cast<size_t>(i)];
                if (future.attr("status").equals("finished")) {
                    outcome = future.method("result");
                    progress_.finished(rows_of(outcome));
                } else {  // failed, or cancelled by someone else: its result() raises why
                    failures_.set_item(integer(i), future);
                    if (i < stop) {
                        stop = i;  // nothing after it is needed any more
                        cancel_from(i + 1);
                    }
                }
                tasks_.set_item(integer(i), Py_None);  // the partition's table may go
                if (next < stop) {
                    submit(next, make_part(next));
                    ++next;
                }
            }
            if (stop < partitions) failures_[integer(stop)].method("result");  // raises
        } catch (PyError&) {
            cancel_from(0);
            throw;
        }
        return outcomes;
    }

private:
    void submit(Py_ssize_t i, Ref part) {
        const Evaluation& e = evaluation_;
        Ref future = client_.method("submit", lookup_global(globals_, "_evaluate_partition"), e.configuration, part,
                                    e.metrics, e.api_client, e.metric_groups, e.kwargs, kw("pure", false));
        keys_.set_item(future.attr("key"), integer(i));
        tasks_.set_item(integer(i), tuple_of({future, part}));
        completed_.method("add", future);
    }

    Py_ssize_t index_of(Handle future) {
        Ref i = dict_get(keys_, future.attr("key"));
        if (!i) raise(PyExc_RuntimeError, "a task of another run came back: %R", future);
        return to_ssize(i);
    }

    // Cancels every submitted task from partition `first` on that is not finished yet.
    void cancel_from(Py_ssize_t first) {
        Ref pending = new_list();
        for (Py_ssize_t i = first; i < tasks_.len(); ++i) {
            Ref task = tasks_[i];
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
    Progress& progress_;
    Ref distributed_, completed_;
    Ref tasks_;                  // per partition: (task future, its table or the table's future), or None
    Ref keys_;                   // task key -> partition index
    Ref failures_ = new_dict();  // partition index -> the future of its failed task
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

// _evaluate_metrics_partitioned(configuration, data, metrics, api_client=None, metric_groups=[], *,
//     partition_rows=50000, client=None, progress=False, partitions_in_flight=None, **kwargs)
Ref evaluate_metrics_partitioned(Invocation& args) {
    auto [configuration, data, metrics, api_client, metric_groups, partition_rows, client, progress,
          partitions_in_flight] = args.bind<9>();
    Handle globals = args.globals();
    // Any count of at least 1 is taken, those beyond what a table can hold as the most.
    const Py_ssize_t rows = to_ssize(partition_rows, true);
    if (rows < 1) raise(PyExc_ValueError, kRowsAtLeastOne, partition_rows);
    const bool bounded = !partitions_in_flight.is_none();
    const Py_ssize_t in_flight = bounded ? to_ssize(partitions_in_flight, true) : 0;
    if (bounded && in_flight < 1) raise(PyExc_ValueError, kInFlightAtLeastOne, partitions_in_flight);
    if (!client.is_none()) require_client(client);
    Evaluation e{Ref::borrow(configuration), Ref::borrow(metrics), Ref::borrow(api_client),
                 Ref::borrow(metric_groups), Ref::borrow(args.kwargs())};
    Ref runner = lookup_global(globals, "metrics_runner");
    const bool shown = progress.truthy();
    auto bound = [&] { return bounded ? in_flight : workers_threads(client); };

    Outcomes outcomes;
    if (is_dask_frame(data)) {
        // Partitions as the frame has them, each made where it is evaluated; identifiers and
        // timestamps missing in one are filled there.
        Ref parts = data.method("to_delayed");
        const Py_ssize_t count = parts.len();
        Progress report(globals, shown, count, -1);
        if (client.is_none()) {
            outcomes = run_here_dask(globals, e, parts, report);
        } else {
            ClusterRun run(globals, e, client, bound(), report);
            outcomes = run.run(count, [&](Py_ssize_t i) { return client.method("compute", parts[i]); });
        }
        Py_ssize_t total = 0;
        for (const Ref& outcome : outcomes) total += rows_of(outcome);
        if (total == 0)  // refused as _evaluate_metrics refuses an empty table
            runner.attr("__validate_data")(kw("configuration", configuration), kw("data", data.attr("_meta")));
    } else {
        // Identifiers and timestamps first, into the caller's table, so that they do not
        // depend on the partitioning.
        Ref table = as_table(globals, data);
        runner.attr("__validate_data")(kw("configuration", configuration), kw("data", table));
        runner.attr("__populate_record_id_timestamp")(kw("configuration", configuration), kw("data", table));
        TableSlices slices(table, rows);
        Progress report(globals, shown, slices.count(), slices.total_rows());
        if (client.is_none()) {
            outcomes = run_here_pandas(globals, e, slices, report);
        } else {
            ClusterRun run(globals, e, client, bound(), report);
            // Each partition travels in its task, so that the scheduler can run the task again
            // elsewhere when a worker is lost.
            outcomes = run.run(slices.count(), [&](Py_ssize_t i) { return slices.slice(i); });
        }
    }
    return merge_results(globals, outcomes);
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
    "    its error (the first one in table order).\n    ";

constexpr const char* kConfiguration = "GenAIConfiguration | AgenticAIConfiguration";

void exec(Module& m) {
    m.import("sys");
    m.import("time");
    m.import("pandas", "pd");
    m.from_import("tessaly.entities.evaluation_result", "MetricsEvaluationResult");
    m.import("tessaly.evaluators.impl.metrics_runner", "metrics_runner");
    m.from_import("tessaly.evaluators.impl.metrics_runner", "_evaluate_metrics");

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
                      keyword("partitions_in_flight", "int | None").exactly(&PyLong_Type, true).defaults_to_none()},
           .body = evaluate_metrics_partitioned,
           .var_keywords = "kwargs",
           .returns = "MetricsEvaluationResult",
           .doc = kDoc});
    m.def({.name = "_evaluate_partition",
           .params = {Param("configuration"), Param("data"), Param("metrics"), Param("api_client"),
                      Param("metric_groups"), Param("kwargs")},
           .body = evaluate_partition,
           .returns = "tuple[int, MetricsEvaluationResult | None]",
           .doc = "Evaluates one partition: (its rows, _evaluate_metrics of it), or (0, None) without rows."});
}

}  // namespace

TSY_MODULE(partitioned_runner, "Evaluation of metrics over a table in partitions, in this process or on Dask.", exec)
