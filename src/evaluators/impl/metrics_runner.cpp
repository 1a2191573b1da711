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

Prepared prepare(Handle globals, Handle configuration, Handle data, Handle metrics, Handle api_client,
                 Handle metric_groups) {
    auto global = [&](const char* name) { return lookup_global(globals, name); };
    Prepared p;
    p.api_client = Ref::borrow(api_client);
    if (!api_client.truthy()) {
        if (!global("api_client_cache").truthy()) globals.set_item("api_client_cache", global("APIClient")());
        p.api_client = global("api_client_cache");
    }
    p.meter_client = global("MeterClient")(kw("vexmon_client", p.api_client.attr("vexmon_client")));

    p.data = Ref::borrow(data);
    Ref pd = global("pd");
    if (p.data.is_dict()) p.data = pd.method("DataFrame", new_list_of({p.data}));
    if (p.data.is_list()) p.data = pd.method("DataFrame", p.data);

    global("__validate_data")(kw("configuration", configuration), kw("data", p.data));
    global("__populate_record_id_timestamp")(kw("configuration", configuration), kw("data", p.data));
    p.metrics = global("_resolve_metric_dependencies")(kw("metrics", metrics), kw("metric_groups", metric_groups));
    return p;
}

Ref tracking_payload(Handle metric) {
    Ref payload = new_dict();
    payload.set_item("objectType", text("Metric Evaluation"));
    payload.set_item("custom.metric_name", metric.attr("name"));
    return payload;
}

// [result for result in results if result is not None]
Ref without_none(Handle results) {
    Ref kept = new_list();
    for (const Ref& result : iterate(results))
        if (!result.is_none()) append(kept, result);
    return kept;
}

// ---- synchronous run ---------------------------------------------------------------------------

// Tells a watcher of the evaluation's progress what a metric gave: its record results, and how
// many carry errors (evaluation_progress.hpp).
void tell_metric_done(Handle sink, Handle result) {
    Py_ssize_t results = 0, failed = 0;
    Ref records = result.is_none() ? none() : getattr_or(result, "record_level_metrics", Py_None);
    if (!records.is_none()) {
        for (const Ref& record : iterate(records)) {
            ++results;
            if (getattr_or(record, "errors", Py_None).truthy()) ++failed;
        }
    }
    sink.method("metric_done", integer(results), integer(failed));
}

// _evaluate_metrics(configuration, data, metrics, api_client=None, metric_groups=[], **kwargs)
Ref evaluate_metrics(Invocation& args) {
    auto [configuration, data, metrics, api_client, metric_groups] = args.bind<5>();
    Prepared p = prepare(args.globals(), configuration, data, metrics, api_client, metric_groups);

    Ref results = new_list();
    Ref segment_manager = args.global("SegmentBatchManager")();
    Ref sink = progress_sink();
    if (sink) sink.method("metrics_resolved", integer(p.metrics.len()));

    Ref output_fields = configuration.attr("output_fields");
    if (output_fields.truthy()) {
        Handle str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);  // the type itself, whatever `str` names
        Ref as_text = new_dict();
        for (const Ref& field : iterate(output_fields)) as_text.set_item(field, str_type);
        p.data = p.data.method("astype", as_text);
    }

    for (const Ref& metric : iterate(p.metrics)) {
        Ref label = text_format("Metric Evaluation - %U", format(metric.attr("name")));
        Ref timer = args.global("track_duration")(label);
        with_context(timer, [&] {  // with track_duration(label):
            CallArgs evaluate;
            evaluate.kw("data", p.data).kw("configuration", configuration);
            if (metric.attr("metric_dependencies").truthy()) evaluate.kw("metrics_result", results);
            else evaluate.kw("meter_client", p.meter_client);
            evaluate.kw("api_client", p.api_client).merge(args.kwargs());
            Ref result = evaluate.call(metric.attr("evaluate"));
            append(results, result);
            if (sink) tell_metric_done(sink, result);
        });
        args.global("run_in_event_loop")(segment_manager.attr("track_event"), tracking_payload(metric));
    }

    return args.global("MetricsEvaluationResult")(kw("metrics_result", without_none(results)));
}

// ---- asynchronous run --------------------------------------------------------------------------

// metric.evaluate_async(data=..., configuration=..., metrics_result=results, meter_client=...,
//                       api_client=..., **kwargs)
Ref start_metric(Handle metric, const Prepared& p, Handle configuration, Handle results, Handle kwargs) {
    return CallArgs()
        .kw("data", p.data)
        .kw("configuration", configuration)
        .kw("metrics_result", results)
        .kw("meter_client", p.meter_client)
        .kw("api_client", p.api_client)
        .merge(kwargs)
        .call(metric.attr("evaluate_async"));
}

// Metrics that others depend on run first, one at a time, each awaited once; everything
// else then runs concurrently under the bound.
Async evaluate_metrics_async_run(Ref globals, Ref configuration, Ref data, Ref metrics, Ref api_client,
                                 Ref metric_groups, Ref kwargs) {
    Prepared p = prepare(globals, configuration, data, metrics, api_client, metric_groups);

    Ref results = new_list();
    Ref futures = new_list();
    Ref metrics_with_dependencies = new_list();
    Ref dependency_metric_map = new_dict();
    Ref segment_manager = lookup_global(globals, "SegmentBatchManager")();

    Ref all_metrics = list_of(p.metrics);
    for (const Ref& metric : iterate(all_metrics)) {
        if (metric.attr("metric_dependencies").truthy()) {
            append(metrics_with_dependencies, metric);
            continue;
        }
        append(futures, start_metric(metric, p, configuration, results, kwargs));
        Ref tracking = segment_manager.method("track_event", tracking_payload(metric));
        co_await tracking;
        dependency_metric_map.set_item(metric.attr("name"), futures[-1]);
    }

    segment_manager = lookup_global(globals, "SegmentBatchManager")();
    for (const Ref& metric : iterate(metrics_with_dependencies)) {
        Ref dependencies = list_of(metric.attr("metric_dependencies"));
        for (const Ref& dependency : iterate(dependencies)) {
            Ref name = dependency.attr("name");
            Ref pending = dict_get(dependency_metric_map, name);
            if (!pending) continue;
            Ref value = co_await pending;
            append(results, value);
            dependency_metric_map.method("pop", name);  // del dependency_metric_map[name]
            futures.method("remove", pending);
        }
        append(futures, start_metric(metric, p, configuration, results, kwargs));
        Ref tracking = segment_manager.method("track_event", tracking_payload(metric));
        co_await tracking;
    }

    Ref max_concurrency = dict_get(kwargs, "max_concurrency");
    if (!max_concurrency) max_concurrency = integer(kDefaultMaxConcurrency);
    Ref gathering = lookup_global(globals, "gather_with_concurrency")(kw("coros", futures),
                                                                      kw("max_concurrency", max_concurrency));
    Ref gathered = co_await gathering;
    results.method("extend", gathered);

    co_return lookup_global(globals, "MetricsEvaluationResult")(kw("metrics_result", without_none(results)));
}

// _evaluate_metrics_async(configuration, data, metrics, api_client=None, metric_groups=[], **kwargs)
Ref evaluate_metrics_async(Invocation& args) {
    auto [configuration, data, metrics, api_client, metric_groups] = args.bind<5>();
    return make_coroutine(evaluate_metrics_async_run(Ref::borrow(args.globals()), Ref::borrow(configuration),
                                                     Ref::borrow(data), Ref::borrow(metrics), Ref::borrow(api_client),
                                                     Ref::borrow(metric_groups), Ref::borrow(args.kwargs())),
                          args);
}

// ---- ordering ----------------------------------------------------------------------------------

// metric.name in [queued.name for queued in queue]
bool name_is_queued(Handle queue, Handle metric) {
    Ref names = new_list();
    for (const Ref& queued : iterate(queue)) append(names, queued.attr("name"));
    return names.contains(metric.attr("name"));
}

// _resolve_metric_dependencies(metrics=[], metric_groups=[]): requested metrics keep their
// order; a dependency not yet queued by name goes to the front (one level only), a group's
// metric not yet queued by name to the end.
Ref resolve_metric_dependencies(Invocation& args) {
    auto [metrics, metric_groups] = args.bind<2>();
    Ref metrics_queue = list_of(metrics);
    for (const Ref& metric : iterate(metrics)) {
        Ref dependencies = metric.attr("metric_dependencies");
        if (!dependencies.truthy()) continue;
        for (const Ref& dependency : iterate(dependencies))
            if (!name_is_queued(metrics_queue, dependency)) metrics_queue.method("insert", integer(0), dependency);
    }
    for (const Ref& group : iterate(metric_groups))
        for (const Ref& metric : iterate(group.method("get_metrics")))
            if (!name_is_queued(metrics_queue, metric)) append(metrics_queue, metric);
    return metrics_queue;
}

// ---- preparation of the table ------------------------------------------------------------------

// __validate_data(configuration, data)
Ref validate_data(Invocation& args) {
    [[maybe_unused]] auto [configuration, data] = args.bind<2>();
    if (data.attr("empty").truthy()) raise(PyExc_ValueError, "%s", kEmptyData);
    return none();
}

// A column needs filling when the table lacks it or it holds nothing but nulls:
// `field not in data.columns.to_list() or data[field].isnull().all()`.
bool needs_filling(Handle data, Handle configuration, const char* field) {
    if (!data.attr("columns").method("to_list").contains(configuration.attr(field))) return true;
    return data[configuration.attr(field)].method("isnull").method("all").truthy();
}

// The standard library's uuid4, as bound when the module was imported.
PyObject* standard_uuid4 = nullptr;

// `count` texts of fresh version-4 UUIDs, as str(uuid.uuid4()) gives them: 16 bytes from the
// system's random source (where os.urandom takes them), version and variant bits set.
Ref uuid4_texts(Py_ssize_t count) {
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
        PyList_SET_ITEM(texts.get(), i, uuid_text(b).release());
    }
    return texts;
}

// __populate_record_id_timestamp(configuration, data)
Ref populate_record_id_timestamp(Invocation& args) {
    auto [configuration, data] = args.bind<2>();
    if (needs_filling(data, configuration, "record_id_field")) {
        const Py_ssize_t rows = data.len();
        Ref uuid4 = args.global("uuid").attr("uuid4");
        Ref ids;
        if (uuid4.is(standard_uuid4)) {
            ids = uuid4_texts(rows);  // the same texts, without a UUID object per row
        } else {  // a replaced uuid or uuid4 is called as it is
            ids = new_list();
            for (Py_ssize_t i = 0; i < rows; ++i) append(ids, uuid4().str());
        }
        data.set_item(configuration.attr("record_id_field"), ids);
    }
    if (needs_filling(data, configuration, "record_timestamp_field")) {
        Ref now = args.global("datetime").method("now");
        data.set_item(configuration.attr("record_timestamp_field"), now.method("isoformat"));
    }
    return none();
}

// ---- the module --------------------------------------------------------------------------------

constexpr const char* kConfiguration = "GenAIConfiguration | AgenticAIConfiguration";
constexpr const char* kResolverDoc =
    "\n    Helper method to generate the metrics queue based on metrics dependencies and metric groups.\n    ";

Param metrics_param() { return Param("metrics").annotated("list[GenAIMetric]").exactly(&PyList_Type); }
Param metric_groups_param() {
    return Param("metric_groups").annotated("list[MetricGroup]").exactly(&PyList_Type).defaults_to_empty_list();
}

std::vector<Param> entry_params() {
    return {Param("configuration").annotated(kConfiguration),
            Param("data").annotated("pd.DataFrame | dict | list[dict]"), metrics_param(),
            Param("api_client").annotated("APIClient").defaults_to_none(), metric_groups_param()};
}

std::vector<Param> table_params() {
    return {Param("configuration").annotated(kConfiguration), Param("data").annotated("pd.DataFrame")};
}

void exec(Module& m) {
    progress_variable();  // made at import, before any thread could race to make it
    m.import("os");
    m.import("uuid");
    if (!standard_uuid4) standard_uuid4 = m.global("uuid").attr("uuid4").release();  // kept for good
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
           .params = {metrics_param().defaults_to_empty_list(), metric_groups_param()},
           .body = resolve_metric_dependencies,
           .returns = "list[GenAIMetric]",
           .doc = kResolverDoc});
    m.def({.name = "__populate_record_id_timestamp", .params = table_params(), .body = populate_record_id_timestamp});
    m.def({.name = "__validate_data", .params = table_params(), .body = validate_data});
}

}  // namespace

TSY_MODULE(metrics_runner, "Evaluation of metrics over a table of records.", exec)
