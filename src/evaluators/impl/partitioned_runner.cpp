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

// Everything a partition is evaluated with, besides its table.
struct Evaluation {
    Ref configuration, metrics, api_client, metric_groups, kwargs;
};

// ---- one partition -----------------------------------------------------------------------------

// _evaluate_partition(configuration, data, metrics, api_client, metric_groups, kwargs):
// (rows, _evaluate_metrics(configuration, data, metrics, api_client, metric_groups, **kwargs)),
// or (0, None) for a partition without rows. Runs where the partition is, on a worker too.
Ref evaluate_partition(Invocation& a) {
    PyObject* data = a[1];
    const Py_ssize_t rows = length(data);
    if (rows == 0) return tuple_of({integer(0).get(), Py_None});
    Ref result = CallArgs()
                     .arg(a[0])
                     .arg(data)
                     .arg(a[2])
                     .arg(a[3])
                     .arg(a[4])
                     .merge(a[5])
                     .call(a.global("_evaluate_metrics").get());
    return tuple_of({integer(rows).get(), result.get()});
}

// The rows of a partition's (rows, result).
Py_ssize_t rows_of(PyObject* outcome) { return to_ssize(item_at(outcome, 0).get()); }

// ---- the table and its partitions --------------------------------------------------------------

// A Dask DataFrame is told by its module, so that Dask is imported only where one is given.
bool is_dask_frame(PyObject* data) {
    Ref module = getattr_or(reinterpret_cast<PyObject*>(Py_TYPE(data)), "__module__", Py_None);
    if (!PyUnicode_Check(module.get())) return false;
    const std::string_view name = utf8(module.get());
    return (name == "dask" || name.starts_with("dask.")) && hasattr(data, "to_delayed");
}

// The caller's data as `_evaluate_metrics` takes it: a mapping or a list of mappings becomes a
// new table, a table stays the caller's.
Ref as_table(PyObject* globals, PyObject* data) {
    Ref pd = lookup_global(globals, "pd");
    if (PyDict_Check(data)) return call_method(pd.get(), "DataFrame", new_list_of({data}));
    if (PyList_Check(data)) return call_method(pd.get(), "DataFrame", data);
    return Ref::borrow(data);
}

// The pandas partitions of `table`, as independent tables of at most `rows` rows.
class TableSlices {
public:
    TableSlices(Ref table, Py_ssize_t rows) : table_(std::move(table)), rows_(rows), total_(length(table_.get())) {}
    // Written so that no step overflows, whatever `rows` is (sys.maxsize, say).
    Py_ssize_t count() const { return total_ / rows_ + (total_ % rows_ != 0); }
    Py_ssize_t total_rows() const { return total_; }
    Ref slice(Py_ssize_t i) const {
        const Py_ssize_t start = i * rows_;  // below total_: i < count()
        Ref bounds = Ref::checked(PySlice_New(integer(start).get(), integer(start + std::min(rows_, total_ - start)).get(),
                                              nullptr));
        Ref part = get_item(getattr(table_, "iloc").get(), bounds.get());
        return call_method(part.get(), "copy");
    }

private:
    Ref table_;
    Py_ssize_t rows_, total_;
};

// ---- progress ------------------------------------------------------------------------------------

class Progress {
public:
    Progress(PyObject* globals, bool shown, Py_ssize_t partitions, Py_ssize_t total_rows)
        : globals_(globals), shown_(shown), partitions_(partitions), total_rows_(total_rows) {
        if (shown_) start_ = call_method(lookup_global(globals, "time").get(), "monotonic");
    }

    // One line on standard error per finished partition: records done (of the total, where
    // it is known), partitions done, seconds since the start.
    void finished(Py_ssize_t rows) {
        ++done_;
        rows_ += rows;
        if (!shown_) return;
        Ref now = call_method(lookup_global(globals_, "time").get(), "monotonic");
        Ref elapsed = Ref::checked(PyNumber_Subtract(now.get(), start_.get()));
        Ref seconds = format(elapsed.get(), ".1f");
        Ref line = total_rows_ >= 0
                       ? text_format("partitioned run: %zd of %zd records, %zd of %zd partitions, %U s\n", rows_,
                                     total_rows_, done_, partitions_, seconds.get())
                       : text_format("partitioned run: %zd records, %zd of %zd partitions, %U s\n", rows_, done_,
                                     partitions_, seconds.get());
        Ref stderr_ = getattr(lookup_global(globals_, "sys"), "stderr");
        call_method(stderr_.get(), "write", line);
        call_method(stderr_.get(), "flush");
    }

private:
    PyObject* globals_;
    bool shown_;
    Py_ssize_t partitions_, total_rows_, done_ = 0, rows_ = 0;
    Ref start_;
};

// ---- running the partitions ----------------------------------------------------------------------

// The (rows, result) of each partition, in table order.
using Outcomes = std::vector<Ref>;

Ref evaluate_here(PyObject* globals, const Evaluation& e, PyObject* data) {
    return call(lookup_global(globals, "_evaluate_partition"), e.configuration, data, e.metrics, e.api_client,
                e.metric_groups, e.kwargs);
}

// In this process, one partition after another: memory is bounded by a partition.
Outcomes run_here_pandas(PyObject* globals, const Evaluation& e, const TableSlices& slices, Progress& progress) {
    Outcomes outcomes;
    for (Py_ssize_t i = 0; i < slices.count(); ++i) {
        Ref outcome = evaluate_here(globals, e, slices.slice(i).get());
        progress.finished(rows_of(outcome.get()));
        outcomes.push_back(std::move(outcome));
    }
    return outcomes;
}

Outcomes run_here_dask(PyObject* globals, const Evaluation& e, PyObject* parts, Progress& progress) {
    Outcomes outcomes;
    for_each(parts, [&](PyObject* part) {
        Ref table = call_method(part, "compute");
        Ref outcome = evaluate_here(globals, e, table.get());
        table.reset();
        progress.finished(rows_of(outcome.get()));
        outcomes.push_back(std::move(outcome));
    });
    return outcomes;
}

// On the workers of `client`: at most `in_flight` partitions at once, each evaluated where its
// table is. A failed partition stops the submission of the later ones; once every earlier one
// has finished, the first failure in table order is raised as the partition raised it.
// Whatever ends the run early (a failure, an interruption) cancels what is still pending.
class ClusterRun {
public:
    ClusterRun(PyObject* globals, const Evaluation& e, PyObject* client, Py_ssize_t in_flight, Progress& progress)
        : globals_(globals), evaluation_(e), client_(Ref::borrow(client)), in_flight_(in_flight),
          progress_(progress), distributed_(import("distributed")),
          completed_(call(getattr(distributed_, "as_completed"))) {}

    // `make_part(i)` gives what the task of partition i takes as its table: a table, or the
    // future of one.
    template <class MakePart>
    Outcomes run(Py_ssize_t partitions, MakePart make_part) {
        tasks_ = new_list(partitions);
        for (Py_ssize_t i = 0; i < partitions; ++i) PyList_SET_ITEM(tasks_.get(), i, Py_NewRef(Py_None));
        keys_ = new_dict();
        Outcomes outcomes(static_cast<size_t>(partitions));
        try {
            Py_ssize_t next = 0, stop = partitions;
            for (; next < std::min(in_flight_, partitions); ++next) submit(next, make_part(next));
            for_each(completed_.get(), [&](PyObject* future) {
                const Py_ssize_t i = index_of(future);
                Ref status = getattr(future, "status");
                if (text_equals(status.get(), "finished")) {
                    outcomes[static_cast<size_t>(i)] = call_method(future, "result");
                    progress_.finished(rows_of(outcomes[static_cast<size_t>(i)].get()));
                } else {  // failed, or cancelled by someone else: its result() raises why
                    dict_set(failures_.get(), integer(i).get(), future);
                    if (i < stop) {
                        stop = i;  // nothing after it is needed any more
                        cancel_from(i + 1);
                    }
                }
                set_item(tasks_.get(), integer(i).get(), Py_None);  // the partition's table may go
                if (next < stop) {
                    submit(next, make_part(next));
                    ++next;
                }
            });
            if (stop < partitions) call_method(dict_get(failures_.get(), integer(stop).get()).get(), "result");  // raises
        } catch (PyError&) {
            cancel_from(0);
            throw;
        }
        return outcomes;
    }

private:
    void submit(Py_ssize_t i, Ref part) {
        const Evaluation& e = evaluation_;
        Ref future = CallArgs()
                         .arg(lookup_global(globals_, "_evaluate_partition"))
                         .arg(e.configuration)
                         .arg(part)
                         .arg(e.metrics)
                         .arg(e.api_client)
                         .arg(e.metric_groups)
                         .arg(e.kwargs)
                         .kw("pure", Py_False)
                         .call(getattr(client_, "submit").get());
        dict_set(keys_.get(), getattr(future, "key").get(), integer(i).get());
        set_item(tasks_.get(), integer(i).get(), tuple_of({future.get(), part.get()}).get());
        call_method(completed_.get(), "add", future);
    }

    Py_ssize_t index_of(PyObject* future) {
        Ref i = dict_get(keys_.get(), getattr(future, "key").get());
        if (!i) raise(PyExc_RuntimeError, "a task of another run came back: %R", future);
        return to_ssize(i.get());
    }

    // Cancels every submitted task from partition `first` on that is not finished yet.
    void cancel_from(Py_ssize_t first) {
        Ref pending = new_list();
        for (Py_ssize_t i = first; i < PyList_GET_SIZE(tasks_.get()); ++i) {
            PyObject* task = PyList_GET_ITEM(tasks_.get(), i);
            if (task == Py_None) continue;
            for_each(task, [&](PyObject* f) {
                if (hasattr(f, "cancel") && !truthy(call_method(f, "done").get())) append(pending.get(), f);
            });
        }
        if (length(pending.get())) call_method(client_.get(), "cancel", pending);
    }

    PyObject* globals_;
    const Evaluation& evaluation_;
    Ref client_;
    Py_ssize_t in_flight_;
    Progress& progress_;
    Ref distributed_, completed_;
    Ref tasks_;     // per partition: (task future, its table or the table's future), or None
    Ref keys_;      // task key -> partition index
    Ref failures_ = new_dict();  // partition index -> the future of its failed task
};

// ---- merging the partitions' results ---------------------------------------------------------------

bool is_number(PyObject* v) {
    if (PyBool_Check(v)) return false;
    if (PyFloat_Check(v)) return !std::isnan(PyFloat_AS_DOUBLE(v));
    return PyLong_Check(v) || (PyNumber_Check(v) && !PyUnicode_Check(v) && truthy(Ref::checked(PyObject_RichCompare(v, v, Py_EQ)).get()));
}

// How many record results of an aggregate have a numeric value: the records that entered
// its mean.
Py_ssize_t entered(PyObject* aggregate) {
    Py_ssize_t n = 0;
    for_each(getattr(aggregate, "record_level_metrics").get(), [&](PyObject* record) {
        Ref value = getattr(record, "value");
        if (is_number(value.get())) ++n;
    });
    return n;
}

// One metric's aggregates of the partitions, in table order, as one aggregate of the whole
// table: record results one after another; counts added; min and max over the partitions'
// (missing ones left out); errors one after another; the mean the partitions' means weighted
// by the records that entered each, rounded as a mean is (equal to the mean of the whole
// table to within that rounding). Value and errors follow the mean: with a mean the value is
// the mean, as each provider makes it; with none, every partition's errors are kept.
Ref merge_aggregates(PyObject* aggregates) {
    const Py_ssize_t n = PyList_GET_SIZE(aggregates);
    PyObject* first = PyList_GET_ITEM(aggregates, 0);
    if (n == 1) return Ref::borrow(first);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* part = PyList_GET_ITEM(aggregates, i);
        if (!hasattr(part, "record_level_metrics") || !hasattr(part, "total_records"))
            raise(PyExc_TypeError, kCannotMerge, getattr_or(first, "name", Py_None).get(), type_name(part));
    }
    Ref records = new_list();
    Ref total = integer(0);
    Ref weighted = number(0.0);
    Ref weights = integer(0);
    Ref low, high, errors = new_list();
    PyObject* with_mean = nullptr;
    bool every_errors_list = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* part = PyList_GET_ITEM(aggregates, i);
        call_method(records.get(), "extend", getattr(part, "record_level_metrics"));
        total = Ref::checked(PyNumber_Add(total.get(), getattr(part, "total_records").get()));
        Ref part_errors = getattr_or(part, "errors", Py_None);
        if (PyList_Check(part_errors.get())) call_method(errors.get(), "extend", part_errors);
        else every_errors_list = false;
        Ref mean = getattr(part, "mean");
        const Py_ssize_t weight = entered(part);
        if (is_number(mean.get()) && weight > 0) {
            if (!with_mean) with_mean = part;
            Ref w = integer(weight);
            weighted = Ref::checked(PyNumber_Add(weighted.get(), Ref::checked(PyNumber_Multiply(mean.get(), w.get())).get()));
            weights = Ref::checked(PyNumber_Add(weights.get(), w.get()));
        }
        Ref part_min = getattr(part, "min"), part_max = getattr(part, "max");
        if (is_number(part_min.get()) && (!low || truthy(Ref::checked(PyObject_RichCompare(part_min.get(), low.get(), Py_LT)).get())))
            low = part_min;
        if (is_number(part_max.get()) && (!high || truthy(Ref::checked(PyObject_RichCompare(part_max.get(), high.get(), Py_GT)).get())))
            high = part_max;
    }
    Ref update = new_dict();
    dict_set(update.get(), "record_level_metrics", records.get());
    dict_set(update.get(), "total_records", total.get());
    if (with_mean) {
        Ref mean = round_number(Ref::checked(PyNumber_TrueDivide(weighted.get(), weights.get())).get(), 4);
        dict_set(update.get(), "mean", mean.get());
        dict_set(update.get(), "value", mean.get());
        // A partition may have a mean without a min or max: then the whole table has none either.
        dict_set(update.get(), "min", low ? low.get() : Py_None);
        dict_set(update.get(), "max", high ? high.get() : Py_None);
        dict_set(update.get(), "errors", getattr_or(with_mean, "errors", Py_None).get());
    } else {
        if (low) dict_set(update.get(), "min", low.get());
        if (high) dict_set(update.get(), "max", high.get());
        if (every_errors_list) dict_set(update.get(), "errors", errors.get());
    }
    return call_method(first, "model_copy", kw("update", update));
}

// The key that matches a metric's aggregates across partitions: its name, method and display
// name, and which of the aggregates with those it is.
Ref match_key(PyObject* aggregate, PyObject* seen) {
    Ref key = tuple_of({getattr_or(aggregate, "name", Py_None).get(), getattr_or(aggregate, "method", Py_None).get(),
                        getattr_or(aggregate, "display_name", Py_None).get()});
    Ref count = dict_get(seen, key.get());
    Ref occurrence = count ? count : integer(0);
    dict_set(seen, key.get(), Ref::checked(PyNumber_Add(occurrence.get(), integer(1).get())).get());
    return tuple_of({key.get(), occurrence.get()});
}

// The results of the partitions (each a MetricsEvaluationResult or None for a partition
// without rows) as the one result of the whole table.
Ref merge_results(PyObject* globals, const Outcomes& outcomes) {
    Ref groups = new_dict();  // match key -> the aggregates of the partitions, in first-seen order
    for (const Ref& outcome : outcomes) {
        Ref result = item_at(outcome.get(), 1);
        if (result.is_none()) continue;
        Ref seen = new_dict();
        for_each(getattr(result, "metrics_result").get(), [&](PyObject* aggregate) {
            Ref key = match_key(aggregate, seen.get());
            Ref group = dict_get(groups.get(), key.get());
            if (!group) {
                group = new_list();
                dict_set(groups.get(), key.get(), group.get());
            }
            append(group.get(), aggregate);
        });
    }
    Ref merged = new_list();
    for_each(Ref::checked(PyDict_Values(groups.get())).get(),
             [&](PyObject* group) { append(merged.get(), merge_aggregates(group).get()); });
    return call(lookup_global(globals, "MetricsEvaluationResult"), kw("metrics_result", merged));
}

// ---- the entry -----------------------------------------------------------------------------------

Ref require_client(PyObject* client) {
    Ref distributed;
    try {
        distributed = import("distributed");
    } catch (PyError& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        raise_from(new_exception(PyExc_ImportError, text(kNeedsDask).get()), e);
    }
    if (!is_instance(client, getattr(distributed, "Client").get())) raise(PyExc_TypeError, kNotAClient, type_name(client));
    return distributed;
}

Py_ssize_t workers_threads(PyObject* client) {
    Py_ssize_t threads = 0;
    Ref counts = call_method(client, "nthreads");
    for_each(call_method(counts.get(), "values").get(), [&](PyObject* n) { threads += to_ssize(n); });
    return std::max<Py_ssize_t>(threads, 1);
}

// _evaluate_metrics_partitioned(configuration, data, metrics, api_client=None, metric_groups=[], *,
//     partition_rows=50000, client=None, progress=False, partitions_in_flight=None, **kwargs)
Ref evaluate_metrics_partitioned(Invocation& a) {
    PyObject* globals = a.globals().get();
    PyObject *configuration = a[0], *data = a[1];
    // Any count of at least 1 is taken, those beyond what a table can hold as the most.
    const Py_ssize_t rows = to_ssize(a[5], true);
    if (rows < 1) raise(PyExc_ValueError, kRowsAtLeastOne, a[5]);
    PyObject *client = a[6], *in_flight = a[8];
    const Py_ssize_t in_flight_bound = in_flight == Py_None ? 0 : to_ssize(in_flight, true);
    if (in_flight != Py_None && in_flight_bound < 1) raise(PyExc_ValueError, kInFlightAtLeastOne, in_flight);
    if (client != Py_None) require_client(client);
    Evaluation e{Ref::borrow(configuration), Ref::borrow(a[2]), Ref::borrow(a[3]), Ref::borrow(a[4]),
                 Ref::borrow(a.kwargs())};
    Ref runner = lookup_global(globals, "metrics_runner");
    const bool show = truthy(a[7]);
    auto bound = [&] { return in_flight != Py_None ? in_flight_bound : workers_threads(client); };

    Outcomes outcomes;
    if (is_dask_frame(data)) {
        // Partitions as the frame has them, each made where it is evaluated; identifiers and
        // timestamps missing in one are filled there.
        Ref parts = call_method(data, "to_delayed");
        const Py_ssize_t count = length(parts.get());
        Progress progress(globals, show, count, -1);
        if (client == Py_None) {
            outcomes = run_here_dask(globals, e, parts.get(), progress);
        } else {
            ClusterRun run(globals, e, client, bound(), progress);
            outcomes = run.run(count, [&](Py_ssize_t i) {
                return call_method(client, "compute", item_at(parts.get(), i));
            });
        }
        Py_ssize_t total = 0;
        for (const Ref& o : outcomes) total += rows_of(o.get());
        if (total == 0) {  // refused as _evaluate_metrics refuses an empty table
            call(getattr(runner, "__validate_data"), kw("configuration", configuration),
                 kw("data", getattr(data, "_meta")));
        }
    } else {
        // Identifiers and timestamps first, into the caller's table, so that they do not
        // depend on the partitioning.
        Ref table = as_table(globals, data);
        call(getattr(runner, "__validate_data"), kw("configuration", configuration), kw("data", table));
        call(getattr(runner, "__populate_record_id_timestamp"), kw("configuration", configuration), kw("data", table));
        TableSlices slices(table, rows);
        Progress progress(globals, show, slices.count(), slices.total_rows());
        if (client == Py_None) {
            outcomes = run_here_pandas(globals, e, slices, progress);
        } else {
            ClusterRun run(globals, e, client, bound(), progress);
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

    m.def({.name = "_evaluate_metrics_partitioned",
           .params = {Param("configuration").annotated(kConfiguration),
                      Param("data").annotated("pd.DataFrame | dd.DataFrame | dict | list[dict]"),
                      Param("metrics").annotated("list[GenAIMetric]").exactly(&PyList_Type),
                      Param("api_client").annotated("APIClient").defaults_to_none(),
                      Param("metric_groups").annotated("list[MetricGroup]").exactly(&PyList_Type).defaults_to_empty_list(),
                      Param("partition_rows").annotated("int").exactly(&PyLong_Type).keyword_only().defaults_to(integer(50000)),
                      Param("client").annotated("distributed.Client | None").keyword_only().defaults_to_none(),
                      Param("progress").annotated("bool").keyword_only().defaults_to(boolean(false)),
                      Param("partitions_in_flight").annotated("int | None").exactly(&PyLong_Type, true).keyword_only().defaults_to_none()},
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
