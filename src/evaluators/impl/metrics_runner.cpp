// tessaly.evaluators.impl.metrics_runner: evaluates metrics over a table of records, one
// after another or as coroutines under a concurrency bound.
#include "support.hpp"

#include <sys/random.h>

#include <cerrno>
#include <vector>

using namespace tsy;

namespace {

constexpr const char* kEmptyData = "The provided data is empty for metrics computation.";
constexpr long kDefaultMaxConcurrency = 10;

// What both entries have in hand once the data is ready and the metrics are ordered.
struct Prepared {
    Ref api_client;
    Ref meter_client;
    Ref data;
    Ref metrics;  // in evaluation order
};

Prepared prepare(PyObject* globals, PyObject* configuration, PyObject* data, PyObject* metrics,
                 PyObject* api_client, PyObject* metric_groups) {
    Prepared p;
    p.api_client = Ref::borrow(api_client);
    if (!truthy(api_client)) {
        if (!truthy(lookup_global(globals, "api_client_cache").get()))
            dict_set(globals, "api_client_cache", call(lookup_global(globals, "APIClient")).get());
        p.api_client = lookup_global(globals, "api_client_cache");
    }
    p.meter_client = call(lookup_global(globals, "MeterClient"),
                          kw("vexmon_client", getattr(p.api_client.get(), "vexmon_client")));

    p.data = Ref::borrow(data);
    Ref pd = lookup_global(globals, "pd");
    if (PyDict_Check(p.data.get())) p.data = call_method(pd.get(), "DataFrame", new_list_of({p.data.get()}));
    if (PyList_Check(p.data.get())) p.data = call_method(pd.get(), "DataFrame", p.data);

    call(lookup_global(globals, "__validate_data"), kw("configuration", configuration), kw("data", p.data));
    call(lookup_global(globals, "__populate_record_id_timestamp"), kw("configuration", configuration),
         kw("data", p.data));
    p.metrics = call(lookup_global(globals, "_resolve_metric_dependencies"), kw("metrics", metrics),
                     kw("metric_groups", metric_groups));
    return p;
}

Ref tracking_payload(PyObject* metric) {
    Ref payload = new_dict();
    dict_set(payload.get(), "objectType", text("Metric Evaluation").get());
    dict_set(payload.get(), "custom.metric_name", getattr(metric, "name").get());
    return payload;
}

Ref without_none(PyObject* results) {
    Ref kept = new_list();
    for_each(results, [&](PyObject* r) {
        if (r != Py_None) append(kept.get(), r);
    });
    return kept;
}

// ---- synchronous run ---------------------------------------------------------------------------

Ref evaluate_metrics(Invocation& a) {
    PyObject* configuration = a[0];
    Prepared p = prepare(a.globals().get(), configuration, a[1], a[2], a[3], a[4]);

    Ref results = new_list();
    Ref segment_manager = call(a.global("SegmentBatchManager"));

    Ref output_fields = getattr(configuration, "output_fields");
    if (truthy(output_fields.get())) {
        Ref as_text = new_dict();
        for_each(output_fields.get(), [&](PyObject* field) {
            dict_set(as_text.get(), field, reinterpret_cast<PyObject*>(&PyUnicode_Type));
        });
        p.data = call_method(p.data.get(), "astype", as_text);
    }

    for_each(p.metrics.get(), [&](PyObject* metric) {
        Ref label = text_format("Metric Evaluation - %U", format(getattr(metric, "name").get()).get());
        Ref timer = call(a.global("track_duration"), label);
        with_context(timer.get(), [&] {
            CallArgs args;
            args.kw("data", p.data).kw("configuration", configuration);
            if (truthy(getattr(metric, "metric_dependencies").get())) args.kw("metrics_result", results);
            else args.kw("meter_client", p.meter_client);
            args.kw("api_client", p.api_client).merge(a.kwargs());
            append(results.get(), args.call(getattr(metric, "evaluate").get()).get());
        });
        call(a.global("run_in_event_loop"), getattr(segment_manager.get(), "track_event"), tracking_payload(metric));
    });

    return call(a.global("MetricsEvaluationResult"), kw("metrics_result", without_none(results.get())));
}

// ---- asynchronous run --------------------------------------------------------------------------

Ref start_metric(PyObject* metric, const Prepared& p, PyObject* configuration, PyObject* results, PyObject* kwargs) {
    return CallArgs()
        .kw("data", p.data)
        .kw("configuration", configuration)
        .kw("metrics_result", results)
        .kw("meter_client", p.meter_client)
        .kw("api_client", p.api_client)
        .merge(kwargs)
        .call(getattr(metric, "evaluate_async").get());
}

// Metrics that others depend on run first, one at a time, each awaited once; everything
// else then runs concurrently under the bound.
Async evaluate_metrics_async_run(Ref globals, Ref configuration, Ref data, Ref metrics, Ref api_client,
                                 Ref metric_groups, Ref kwargs) {
    PyObject* g = globals.get();
    Prepared p = prepare(g, configuration.get(), data.get(), metrics.get(), api_client.get(), metric_groups.get());

    Ref results = new_list();
    Ref futures = new_list();
    Ref metrics_with_dependencies = new_list();
    Ref dependency_metric_map = new_dict();
    Ref segment_manager = call(lookup_global(g, "SegmentBatchManager"));

    Ref all_metrics = list_of(p.metrics.get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all_metrics.get()); ++i) {
        PyObject* metric = PyList_GET_ITEM(all_metrics.get(), i);
        if (truthy(getattr(metric, "metric_dependencies").get())) {
            append(metrics_with_dependencies.get(), metric);
            continue;
        }
        append(futures.get(), start_metric(metric, p, configuration.get(), results.get(), kwargs.get()).get());
        Ref tracking = call_method(segment_manager.get(), "track_event", tracking_payload(metric));
        co_await tracking;
        dict_set(dependency_metric_map.get(), getattr(metric, "name").get(), item_at(futures.get(), -1).get());
    }

    segment_manager = call(lookup_global(g, "SegmentBatchManager"));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(metrics_with_dependencies.get()); ++i) {
        Ref metric = Ref::borrow(PyList_GET_ITEM(metrics_with_dependencies.get(), i));
        Ref dependencies = list_of(getattr(metric.get(), "metric_dependencies").get());
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(dependencies.get()); ++j) {
            Ref name = getattr(PyList_GET_ITEM(dependencies.get(), j), "name");
            Ref pending = dict_get(dependency_metric_map.get(), name.get());
            if (!pending) continue;
            Ref value = co_await pending;
            append(results.get(), value.get());
            if (PyDict_DelItem(dependency_metric_map.get(), name.get()) < 0) throw_error();
            call_method(futures.get(), "remove", pending);
        }
        append(futures.get(), start_metric(metric.get(), p, configuration.get(), results.get(), kwargs.get()).get());
        Ref tracking = call_method(segment_manager.get(), "track_event", tracking_payload(metric.get()));
        co_await tracking;
    }

    Ref bound = dict_get(kwargs.get(), "max_concurrency");
    if (!bound) bound = integer(kDefaultMaxConcurrency);
    Ref gathering = call(lookup_global(g, "gather_with_concurrency"), kw("coros", futures), kw("max_concurrency", bound));
    Ref gathered = co_await gathering;
    call_method(results.get(), "extend", gathered);

    co_return call(lookup_global(g, "MetricsEvaluationResult"), kw("metrics_result", without_none(results.get())));
}

Ref evaluate_metrics_async(Invocation& a) {
    return make_coroutine(evaluate_metrics_async_run(Ref::borrow(a.globals()), Ref::borrow(a[0]), Ref::borrow(a[1]),
                                                     Ref::borrow(a[2]), Ref::borrow(a[3]), Ref::borrow(a[4]),
                                                     Ref::borrow(a.kwargs())), a);
}

// ---- ordering ----------------------------------------------------------------------------------

bool name_is_queued(PyObject* queue, PyObject* metric) {
    Ref names = new_list();
    for_each(queue, [&](PyObject* queued) { append(names.get(), getattr(queued, "name").get()); });
    int found = PySequence_Contains(names.get(), getattr(metric, "name").get());
    if (found < 0) throw_error();
    return found;
}

// Requested metrics keep their order; a dependency not yet queued by name goes to the
// front (one level only), a group's metric not yet queued by name to the end.
Ref resolve_metric_dependencies(Invocation& a) {
    PyObject* metrics = a[0];
    Ref queue = list_of(metrics);
    for_each(metrics, [&](PyObject* metric) {
        Ref dependencies = getattr(metric, "metric_dependencies");
        if (!truthy(dependencies.get())) return;
        for_each(dependencies.get(), [&](PyObject* dependency) {
            if (!name_is_queued(queue.get(), dependency) && PyList_Insert(queue.get(), 0, dependency) < 0)
                throw_error();
        });
    });
    for_each(a[1], [&](PyObject* group) {
        for_each(call_method(group, "get_metrics").get(), [&](PyObject* metric) {
            if (!name_is_queued(queue.get(), metric)) append(queue.get(), metric);
        });
    });
    return queue;
}

// ---- preparation of the table ------------------------------------------------------------------

Ref validate_data(Invocation& a) {
    if (truthy(getattr(a[1], "empty").get())) raise(PyExc_ValueError, "%s", kEmptyData);
    return none();
}

// A column needs filling when the table lacks it or it holds nothing but nulls.
bool needs_filling(PyObject* data, PyObject* configuration, const char* field) {
    Ref columns = call_method(getattr(data, "columns").get(), "to_list");
    int present = PySequence_Contains(columns.get(), getattr(configuration, field).get());
    if (present < 0) throw_error();
    if (!present) return true;
    Ref column = get_item(data, getattr(configuration, field).get());
    return truthy(call_method(call_method(column.get(), "isnull").get(), "all").get());
}

// The standard library's uuid4, as bound when the module was imported.
PyObject* standard_uuid4 = nullptr;

// `count` texts of fresh version-4 UUIDs, as str(uuid.uuid4()) gives them: 16 bytes from the
// system's random source (where os.urandom takes them), version and variant bits set.
Ref uuid4_texts(Py_ssize_t count) {
    constexpr char kHex[] = "0123456789abcdef";
    std::vector<unsigned char> random(static_cast<size_t>(count) * 16);
    for (size_t done = 0; done < random.size();) {
        ssize_t n = getrandom(random.data() + done, random.size() - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            PyErr_SetFromErrno(PyExc_OSError);
            throw_error();
        }
        done += static_cast<size_t>(n);
    }
    Ref texts = new_list(count);
    for (Py_ssize_t i = 0; i < count; ++i) {
        unsigned char* b = random.data() + i * 16;
        b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
        b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
        Ref text = Ref::checked(PyUnicode_New(36, 127));
        char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()));
        for (int j = 0, k = 0; j < 16; ++j) {
            if (j == 4 || j == 6 || j == 8 || j == 10) out[k++] = '-';
            out[k++] = kHex[b[j] >> 4];
            out[k++] = kHex[b[j] & 0xf];
        }
        PyList_SET_ITEM(texts.get(), i, text.release());
    }
    return texts;
}

Ref populate_record_id_timestamp(Invocation& a) {
    PyObject* configuration = a[0];
    PyObject* data = a[1];
    if (needs_filling(data, configuration, "record_id_field")) {
        const Py_ssize_t rows = length(data);
        Ref uuid = a.global("uuid");
        Ref uuid4 = getattr(uuid.get(), "uuid4");
        Ref ids;
        if (uuid4.is(standard_uuid4)) {
            ids = uuid4_texts(rows);  // the same texts, without a UUID object per row
        } else {  // a replaced uuid or uuid4 is called as it is
            ids = new_list(rows);
            for (Py_ssize_t i = 0; i < rows; ++i) PyList_SET_ITEM(ids.get(), i, str(call(uuid4).get()).release());
        }
        set_item(data, getattr(configuration, "record_id_field").get(), ids.get());
    }
    if (needs_filling(data, configuration, "record_timestamp_field")) {
        Ref now = call_method(a.global("datetime").get(), "now");
        set_item(data, getattr(configuration, "record_timestamp_field").get(), call_method(now.get(), "isoformat").get());
    }
    return none();
}

// ---- the module --------------------------------------------------------------------------------

constexpr const char* kConfiguration = "GenAIConfiguration | AgenticAIConfiguration";

std::vector<Param> entry_params() {
    return {Param("configuration").annotated(kConfiguration),
            Param("data").annotated("pd.DataFrame | dict | list[dict]"),
            Param("metrics").annotated("list[GenAIMetric]").exactly(&PyList_Type),
            Param("api_client").annotated("APIClient").defaults_to_none(),
            Param("metric_groups").annotated("list[MetricGroup]").exactly(&PyList_Type).defaults_to_empty_list()};
}

void exec(Module& m) {
    m.import("os");
    m.import("uuid");
    if (!standard_uuid4) standard_uuid4 = getattr(m.global("uuid"), "uuid4").release();  // kept for good
    m.from_import("datetime", "datetime");
    m.import("pandas", "pd");
    m.from_import("tessaly.clients.api_client", "APIClient");
    m.from_import("tessaly.clients.meter_client", "MeterClient");
    m.from_import("tessaly.config", "AgenticAIConfiguration");
    m.from_import("tessaly.config", "GenAIConfiguration");
    m.from_import("tessaly.entities.enums", "MetricGroup");
    m.from_import("tessaly.entities.evaluation_result", "MetricsEvaluationResult");
    m.from_import("tessaly.entities.metric", "GenAIMetric");
    m.from_import("tessaly.utils.async_util", "gather_with_concurrency");
    m.from_import("tessaly.utils.async_util", "run_in_event_loop");
    m.from_import("tessaly.utils.segment_batch_manager", "SegmentBatchManager");
    m.from_import("tessaly.utils.python_utils", "track_duration");
    m.set("api_client_cache", Py_None);

    m.def({.name = "_evaluate_metrics",
           .params = entry_params(),
           .body = evaluate_metrics,
           .var_keywords = "kwargs",
           .returns = "MetricsEvaluationResult"});
    m.def({.name = "_evaluate_metrics_async",
           .params = entry_params(),
           .body = evaluate_metrics_async,
           .var_keywords = "kwargs",
           .returns = "MetricsEvaluationResult",
           .coroutine = true});
    m.def({.name = "_resolve_metric_dependencies",
           .params = {Param("metrics").annotated("list[GenAIMetric]").exactly(&PyList_Type).defaults_to_empty_list(),
                      Param("metric_groups").annotated("list[MetricGroup]").exactly(&PyList_Type).defaults_to_empty_list()},
           .body = resolve_metric_dependencies,
           .returns = "list[GenAIMetric]",
           .doc = "\n    Helper method to generate the metrics queue based on metrics dependencies and metric groups.\n    "});
    m.def({.name = "__populate_record_id_timestamp",
           .params = {Param("configuration").annotated(kConfiguration), Param("data").annotated("pd.DataFrame")},
           .body = populate_record_id_timestamp});
    m.def({.name = "__validate_data",
           .params = {Param("configuration").annotated(kConfiguration), Param("data").annotated("pd.DataFrame")},
           .body = validate_data});
}

}  // namespace

TSY_MODULE(metrics_runner, "Evaluation of metrics over a table of records.", exec)
