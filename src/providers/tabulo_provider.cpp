// tessaly.providers.tabulo_provider: judge-based and similarity metrics computed through the
// judge library, with a process-wide cache of inference engines.
#include "judge_common.hpp"
#include "support.hpp"

#include <cmath>

using namespace tsy;

namespace {


// ---- the tokenizer patch of the similarity scorer --------------------------------------------

Ref patched_get_tokenizer(Invocation& a) {
    Ref tokenizer = call(a.closure(), a[0], a[1]);
    Ref length = Ref::steal(PyObject_GetAttrString(tokenizer.get(), "model_max_length"));
    if (!length) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        return tokenizer;
    }
    if (truthy(Ref::checked(PyObject_RichCompare(length.get(), integer(100000).get(), Py_GT)).get()))
        setattr(tokenizer.get(), "model_max_length", integer(512).get());
    return tokenizer;
}

// Newer tokenizers report an absurd maximum length, which overflows when the scorer
// truncates to it; the scorer's loader is wrapped once per process to cap it.
Ref patch_bertscore_overflow(Invocation& a) {
    try {
        Ref utils = import("bert_score.utils");
        Ref scorer = import("bert_score.scorer");
        if (hasattr(utils.get(), "_is_patched_for_overflow")) return none();
        Ref original = getattr(utils, "get_tokenizer");
        Ref prefix = text("patch_bertscore_overflow.<locals>");
        Ref patched = make_function({.name = "patched_get_tokenizer",
                                     .params = {Param("model_type"), Param("use_fast").defaults_to(boolean(false))},
                                     .body = patched_get_tokenizer},
                                    a.globals(), prefix.get(), original.get());
        setattr(utils.get(), "get_tokenizer", patched.get());
        if (hasattr(scorer.get(), "get_tokenizer")) setattr(scorer.get(), "get_tokenizer", patched.get());
        setattr(utils.get(), "_is_patched_for_overflow", Py_True);
    } catch (PyError& e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
    return none();
}

// ---- construction and entry points -------------------------------------------------------------

Ref init(Invocation& a) {
    PyObject* self = a[0];
    PyObject* configuration = a[1];
    setattr(self, "configuration", configuration);
    setattr(self, "configuration_", new_dict().get());
    setattr(self, "metric_name", a[2]);
    setattr(self, "metric_display_name", a[3]);
    setattr(self, "metric_method", a[4]);
    setattr(self, "metric_group", a[7]);
    setattr(self, "column_mapping", truthy(a[8]) ? a[8] : call(a.global("TabuloColumnMapping")).get());
    setattr(self, "llm_judge", truthy(a[9]) ? a[9] : getattr(configuration, "llm_judge").get());
    setattr(self, "metric_alias", a[6]);
    setattr(self, "metric_prefix", a[5]);
    setattr(self, "thresholds", a[10]);
    return none();
}

Ref evaluate(Invocation& a) {
    PyObject* self = a[0];
    try {
        call(a.global("patch_bertscore_overflow"));
        Ref data = call_method(self, "_TabuloProvider__pre_process_data", kw("data", a[1]));
        Ref result = call_method(self, "_TabuloProvider__compute_metric", kw("data", data));
        return call_method(self, "_TabuloProvider__post_process", kw("result", result));
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        Ref message = text_format("Error while computing metrics: %S with the method %S using tabulo library. Reason: %S",
                                  getattr(self, "metric_name").get(), getattr(self, "metric_method").get(), e.exception().get());
        raise_in_context(new_exception(PyExc_Exception, message.get()), e);
    }
}

// The synchronous evaluation, on the loop's default executor thread.
Ref evaluate_async(Invocation& a) {
    Async run = providers::evaluate_in_default_executor(Ref::borrow(a.globals()), Ref::borrow(a[0]),
                                                        Ref::borrow(a[1]), false);
    return make_coroutine(std::move(run), a);
}

// ---- the library metric ----------------------------------------------------------------------------

Ref generate_tabulo_metric(Invocation& a) {
    PyObject* self = a[0];
    if (text_equals(getattr(self, "metric_method").get(), "llm_as_judge"))
        return call_method(self, "_TabuloProvider__get_llmaj_metric", kw("metric_name", a[1]));
    return text_format("%U.%U.%S", a[2], a[1], getattr(self, "metric_method").get());
}

Ref get_llmaj_template(Invocation& a) {
    PyObject* name = a[1];
    Ref stem = get_item(a.global("METRIC_TO_TEMPLATE").get(), name);
    const char* realisation = text_equals(name, "faithfulness") ? "_verbal" : "_numeric";
    return text_format("templates.rag_eval.%S.%S%s", name, stem.get(), realisation);
}

Ref get_llmaj_format(Invocation& a) {
    Ref type = getattr(getattr(getattr(getattr(a[0], "llm_judge"), "model"), "provider"), "type");
    if (equal(type.get(), getattr(a.global("ModelProviderType"), "OPENAI").get())) return call(a.global("ChatAPIFormat"));
    return none();
}

Ref get_llmaj_metric(Invocation& a) {
    PyObject* self = a[0];
    PyObject* name = a[1];
    Ref engine = call_method(self, "_TabuloProvider__get_ai_evaluator_inference_engine");
    Ref format = call_method(self, "_TabuloProvider__get_llmaj_format");
    Ref tmpl = call_method(self, "_TabuloProvider__get_llmaj_template", kw("metric_name", name));
    Ref task = text_format("tasks.rag_eval.%S.binary", name);
    Ref main_score = text_format("%S_judge", name);
    Ref prediction_field = getattr(getattr(self, "column_mapping"), text_equals(name, "context_relevance") ? "contexts" : "answer");
    return call(a.global("TaskBasedLLMasJudge"), kw("inference_model", engine), kw("format", format), kw("template", tmpl),
                kw("task", task), kw("main_score", main_score), kw("prediction_field", prediction_field),
                kw("infer_log_probs", Py_False), kw("judge_to_generator_fields_mapping", new_dict()));
}

// ---- inference engines -----------------------------------------------------------------------------

// The standard JSON module (not one of the module's globals).
Ref json_module() { return import("json"); }

Ref sorted_json(PyObject*, PyObject* value) {
    return call(getattr(json_module().get(), "dumps"), value, kw("sort_keys", Py_True));
}

// `text` is exactly a str (the factory checks its arguments); empty text reads as no settings.
Ref parsed_json(PyObject*, PyObject* text) {
    if (PyUnicode_GET_LENGTH(text) > 0) return call(getattr(json_module().get(), "loads"), text);
    return new_dict();
}

// The engine for one provider, model and set of credentials; memoised by the class's
// TTL cache around it. Arguments that are not exactly str are refused before this body, so
// the cache never stores an engine for them.
Ref create_inference_engine_impl(Invocation& a) {
    PyObject *provider = a[0], *model_id = a[1], *use_cache = a[2];
    Ref credentials = parsed_json(a.globals().get(), a[3]);
    Ref parameters = parsed_json(a.globals().get(), a[4]);
    if (text_equals(provider, "nimbal"))
        return call(a.global("RivetInferenceEngineGeneration"), kw("credentials", credentials), kw("model_name", model_id),
                    kw("use_cache", use_cache));
    if (text_equals(provider, "openai"))
        return call(a.global("OpenAiInferenceEngine"), kw("model_name", model_id), kw("credentials", credentials),
                    kw("use_cache", use_cache));
    if (text_equals(provider, "azure_openai"))
        return call(a.global("AzureOpenAIInferenceEngine"), kw("model_name", model_id), kw("credentials", credentials),
                    kw("use_cache", use_cache));
    if (text_equals(provider, "vertexai") || text_equals(provider, "google_ai_studio") || text_equals(provider, "aws_bedrock"))
        return CallArgs()
            .kw("model", model_id)
            .kw("credentials", credentials)
            .kw("use_cache", use_cache)
            .merge(parameters.get())
            .call(a.global("LiteLLMInferenceEngine").get());
    if (text_equals(provider, "portkey"))
        return call(a.global("PortKeyInferenceEngine"), kw("credentials", credentials), kw("model", model_id),
                    kw("use_cache", use_cache));
    if (text_equals(provider, "corvo_gateway"))
        return call(a.global("CorvoAIGatewayInferenceEngine"), kw("credentials", credentials), kw("use_cache", use_cache));
    raise(PyExc_Exception, "LLM Model provider '%S' is not supported.", provider);
}

Ref get_ai_evaluator_inference_engine(Invocation& a) {
    PyObject* self = a[0];
    PyObject* g = a.globals().get();
    Ref use_cache = call(a.global("get_tabluo_enable_inference_cache"));
    auto model = [&] { return getattr(getattr(self, "llm_judge"), "model"); };
    auto judged_by = [&](const char* cls) { return is_instance(model().get(), a.global(cls).get()); };
    auto dumped_credentials = [&](bool by_alias) {
        Ref credentials = getattr(getattr(model(), "provider"), "credentials");
        Ref dumped = by_alias ? call(getattr(credentials.get(), "model_dump"), kw("by_alias", Py_True))
                              : call_method(credentials.get(), "model_dump");
        return sorted_json(g, dumped.get());
    };
    Ref factory = getattr(a.global("TabuloProvider").get(), "_create_inference_engine_impl");
    auto make = [&](const char* provider, Ref model_id, Ref credentials_json) {
        return call(factory, kw("provider", text(provider)), kw("model_id", model_id), kw("use_cache", use_cache),
                    kw("credentials_json", credentials_json));
    };

    if (judged_by("NimbalFoundationModel")) {
        Ref m = model();
        return make("nimbal", getattr(m, "model_id"), sorted_json(g, providers::hosting_credentials(m.get()).get()));
    }
    if (judged_by("OpenAIFoundationModel")) return make("openai", getattr(model(), "model_id"), dumped_credentials(false));
    if (judged_by("AzureOpenAIFoundationModel"))
        return make("azure_openai", getattr(model(), "model_id"), dumped_credentials(true));
    if (judged_by("VertexAIFoundationModel")) return make("vertexai", getattr(model(), "model_id"), dumped_credentials(false));
    if (judged_by("GoogleAIStudioFoundationModel"))
        return make("google_ai_studio", getattr(model(), "model_id"), dumped_credentials(false));
    if (judged_by("AWSBedrockFoundationModel")) {
        Ref parameters = getattr(model(), "parameters");
        if (!truthy(parameters.get())) parameters = new_dict();
        return call(factory, kw("provider", text("aws_bedrock")), kw("model_id", getattr(model(), "model_id")),
                    kw("use_cache", use_cache), kw("credentials_json", dumped_credentials(false)),
                    kw("parameters_json", sorted_json(g, parameters.get())));
    }
    if (judged_by("CustomFoundationModel")) {
        Ref m = model();
        Ref model_name = getattr_or(m.get(), "model_id", Py_None);
        if (!truthy(model_name.get())) model_name = text("custom_fn");
        Ref parallel = getattr_or(m.get(), "num_parallel_requests", integer(20).get());
        return call(a.global("CustomFunctionInferenceEngine"), kw("scoring_fn", getattr(m, "_scoring_fn")),
                    kw("model_name", model_name), kw("context", getattr_or(m.get(), "context", Py_None)),
                    kw("num_parallel_requests", parallel), kw("use_cache", use_cache));
    }
    if (judged_by("PortKeyGateway")) return make("portkey", getattr(model(), "model_id"), dumped_credentials(false));
    if (judged_by("CorvoAIGateway")) return make("corvo_gateway", text(""), dumped_credentials(false));
    raise(PyExc_Exception, "LLM Model provider is not supported.");
}

// ---- data preparation --------------------------------------------------------------------------------

// Every name of `fields` is a column label (true for an empty list).
bool all_present(PyObject* fields, PyObject* labels) {
    bool all = true;
    for_each(fields, [&](PyObject* f) { all = all && contains(labels, f); });
    return all;
}

// `table.astype(str)`: every cell as its string form. pandas 3 keeps missing cells missing
// there, where older pandas writes them as "None" or "nan"; they are written so under both,
// so that instances and record identifiers do not depend on the pandas version.
Ref cells_as_text(PyObject* table) {
    PyObject* text_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    Ref converted = call_method(table, "astype", text_type);
    Ref missing = call_method(table, "isna");
    if (!truthy(call_method(getattr(missing, "values").get(), "any").get())) return converted;
    return call_method(converted.get(), "mask", missing, call_method(table, "map", text_type));
}

// Columns are assigned as lists, by position: the instance table's rows are the table's
// rows in order, whatever the caller's row labels.
Ref pre_process_data(Invocation& a) {
    PyObject* self = a[0];
    Ref configuration = getattr(self, "configuration");
    Ref mapping = getattr(self, "column_mapping");
    Ref instances = call_method(a.global("pd").get(), "DataFrame");
    Ref labels = call_method(getattr(a[1], "columns").get(), "to_list");
    Ref data = cells_as_text(a[1]);
    // A column's values without its row labels: assigned by position, dtype kept.
    auto column = [&](PyObject* name) { return getattr(get_item(data.get(), name), "array"); };
    auto assign = [&](const char* key, const Ref& values) { set_item(instances.get(), getattr(mapping, key).get(), values.get()); };

    Ref question = item_at(getattr(configuration, "input_fields").get(), 0);
    if (contains(labels.get(), question.get())) assign("question", column(question.get()));

    Ref output_fields = getattr(configuration, "output_fields");
    if (all_present(output_fields.get(), labels.get())) assign("answer", column(item_at(output_fields.get(), 0).get()));

    auto lists = [&](const char* fields_name, const char* key) {
        Ref fields = getattr(configuration, fields_name);
        if (!all_present(fields.get(), labels.get())) return;
        Py_ssize_t count = length(fields.get());
        if (count > 1) {
            assign(key, call_method(getattr(get_item(data.get(), fields.get()), "values").get(), "tolist"));
        } else if (count == 1) {
            Ref cells = get_item(data.get(), item_at(fields.get(), 0).get());
            assign(key, getattr(call_method(cells.get(), "apply", a.global("transform_str_to_list")), "array"));
        }
    };
    lists("context_fields", "contexts");
    lists("reference_fields", "ground_truths");

    set_item(instances.get(), text("record_id").get(), column(getattr(configuration, "record_id_field").get()).get());
    return instances;
}

// ---- the run and its results -------------------------------------------------------------------------

Ref compute_metric(Invocation& a) {
    PyObject* self = a[0];
    PyObject* data = a[1];
    Ref test_data = call(getattr(data, "to_dict"), kw("orient", text("records")));
    for_each(test_data.get(), [&](PyObject* instance) {
        Ref metadata = new_dict();
        dict_set(metadata.get(), "data_classification_policy", list_of_texts({"public"}).get());
        set_item(instance, text("metadata").get(), metadata.get());
    });

    Ref alias = getattr(self, "metric_alias");
    Ref metric_name = truthy(alias.get()) ? alias : getattr(self, "metric_name");
    Ref step = call_method(self, "_TabuloProvider__generate_tabulo_metric", kw("metric_name", metric_name),
                           kw("metric_prefix", getattr(self, "metric_prefix")));

    const bool run_with_lock = contains(getattr(self, "METRIC_METHODS_WITH_LOCKS").get(), getattr(self, "metric_method").get()) ||
                               !getattr(self, "llm_judge").is_none();
    Ref instances;
    auto run = [&] {
        Ref streams = new_dict();
        dict_set(streams.get(), "test", test_data.get());
        Ref multi_stream = call(getattr(a.global("MultiStream").get(), "from_iterables"), streams, kw("copying", Py_True));
        Ref op = call(a.global("SequentialOperator"), kw("steps", new_list_of({step.get()})));
        Ref processed = call(op, multi_stream);
        instances = list_of(get_item(processed.get(), text("test").get()).get());
    };
    if (run_with_lock) with_context(getattr(self, "_lock").get(), run);
    else run();

    Ref values = new_list();
    Ref score = text("score"), instance_key = text("instance");
    for_each(instances.get(), [&](PyObject* instance) {
        Ref scores = get_item(get_item(get_item(instance, score.get()).get(), instance_key.get()).get(), score.get());
        append(values.get(), scores.get());
    });
    Ref table = call_method(a.global("pd").get(), "DataFrame");
    set_item(table.get(), getattr(self, "metric_name").get(), values.get());
    set_item(table.get(), text("record_id").get(),
             call_method(get_item(data, text("record_id").get()).get(), "to_list").get());
    return table;
}

// A missing record value: NaN, or any value unequal to itself (the NaN of another number type).
bool is_missing(PyObject* value) {
    if (PyFloat_Check(value)) return std::isnan(PyFloat_AS_DOUBLE(value));
    Ref differs = Ref::checked(PyObject_RichCompare(value, value, Py_NE));
    return truthy(differs.get());
}

// Record values are the scores, floored at zero for the clipped metric methods, rounded to
// four places; the aggregate's mean is the raw column's. Its min and max leave missing values
// out, as the mean does: min() and max() over a list holding NaN answer according to where
// the NaN stands, so the same records in another order would give another aggregate.
Ref post_process(Invocation& a) {
    PyObject* self = a[0];
    PyObject* result = a[1];
    Ref metric_name = getattr(self, "metric_name"), display_name = getattr(self, "metric_display_name"),
        method = getattr(self, "metric_method"), group = getattr(self, "metric_group"), thresholds = getattr(self, "thresholds");
    Ref clip_methods = getattr(self, "CLIP_METRIC_METHODS");
    const bool apply_clipping =
        contains(clip_methods.get(), metric_name.get()) && contains(get_item(clip_methods.get(), metric_name.get()).get(), method.get());
    Ref provider = getattr(getattr(a.global("EvaluationProvider"), "TABULO"), "value");
    Ref record_class = a.global("RecordMetricResult");
    static const KeywordCall& record_call =
        *new KeywordCall{"name", "display_name", "method", "group", "provider", "value", "record_id", "thresholds"};

    // Whole columns as lists hold the same objects as row-by-row reads of the table, except
    // that a missing score read row by row is NaN where the list holds None.
    Ref scores = call_method(get_item(result, metric_name.get()).get(), "to_list");
    Ref missing = number(Py_NAN);
    Ref record_ids = call_method(get_item(result, text("record_id").get()).get(), "to_list");
    Ref records = new_list(), present = new_list();
    Ref zero = number(0.0);
    const Py_ssize_t count = PyList_GET_SIZE(scores.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref raw = Ref::borrow(PyList_GET_ITEM(scores.get(), i));
        if (raw.is_none()) raw = missing;
        if (apply_clipping && !truthy(Ref::checked(PyObject_RichCompare(raw.get(), zero.get(), Py_GT)).get())) raw = zero;
        Ref value = round_number(raw.get(), 4);
        Ref record_id = str(PyList_GET_ITEM(record_ids.get(), i));
        Ref record = record_call(record_class.get(), {metric_name.get(), display_name.get(), method.get(), group.get(),
                                                      provider.get(), value.get(), record_id.get(), thresholds.get()});
        append(records.get(), record.get());
        Ref recorded = getattr(record, "value");
        if (!is_missing(recorded.get())) append(present.get(), recorded.get());
    }
    Ref mean = round_number(call_method(get_item(result, metric_name.get()).get(), "mean").get(), 4);
    static Handle min = builtin("min");
    static Handle max = builtin("max");
    // Every value missing: NaN, as the mean is. No rows at all: min() of nothing fails.
    const bool all_missing = count > 0 && PyList_GET_SIZE(present.get()) == 0;
    Ref low = all_missing ? missing : call(min, present);
    Ref high = all_missing ? missing : call(max, present);
    return call(a.global("AggregateMetricResult"), kw("name", metric_name), kw("display_name", display_name),
                kw("method", method), kw("group", group), kw("provider", provider), kw("value", mean),
                kw("total_records", integer(count)), kw("record_level_metrics", records),
                kw("min", low), kw("max", high), kw("mean", mean), kw("thresholds", thresholds));
}

// ---- the module ----------------------------------------------------------------------------------------

// Annotated[str, Field(default=..., description=...)]
Ref text_field(const Module& m, const char* default_value, const char* description) {
    Ref field = call(m.global("Field"), kw("default", text(default_value)), kw("description", text(description)));
    Ref args = tuple_of({reinterpret_cast<PyObject*>(&PyUnicode_Type), field.get()});
    return get_item(m.global("Annotated").get(), args.get());
}

// cached(cache=..., lock=...)(staticmethod(f))
Ref engine_cache_around(const Module& m, Ref f) {
    Ref decorator = call(m.global("cached"), kw("cache", m.global("_inference_engine_cache")),
                         kw("lock", m.global("_inference_engine_cache_lock")));
    return call(decorator, call(reinterpret_cast<PyObject*>(&PyStaticMethod_Type), f));
}

void exec(Module& m) {
    m.import("asyncio");
    m.import("functools");
    m.from_import("threading", "Lock");
    m.from_import("typing", "Annotated");
    m.from_import("typing", "ClassVar");
    m.import("pandas", "pd");
    m.from_import("cachetools", "TTLCache");
    m.from_import("cachetools", "cached");
    m.from_import("tessaly.config", "GenAIConfiguration");
    m.from_import("tessaly.entities.credentials", "NimbalCredentials");
    m.from_import("tessaly.entities.enums", "EvaluationProvider");
    m.from_import("tessaly.entities.enums", "MetricGroup");
    m.from_import("tessaly.entities.enums", "ModelProviderType");
    m.from_import("tessaly.entities.evaluation_result", "AggregateMetricResult");
    m.from_import("tessaly.entities.evaluation_result", "RecordMetricResult");
    for (const char* model : {"NimbalFoundationModel", "OpenAIFoundationModel", "AzureOpenAIFoundationModel",
                              "VertexAIFoundationModel", "GoogleAIStudioFoundationModel", "AWSBedrockFoundationModel",
                              "CustomFoundationModel", "PortKeyGateway", "CorvoAIGateway"})
        m.from_import("tessaly.entities.foundation_model", model);
    m.from_import("tessaly.entities.llm_judge", "LLMJudge");
    m.from_import("tessaly.entities.metric_threshold", "MetricThreshold");
    m.from_import("tessaly.providers.inference_engines.custom_function_inference_engine", "CustomFunctionInferenceEngine");
    m.from_import("tessaly.providers.inference_engines.portkey_inference_engine", "PortKeyInferenceEngine");
    m.from_import("tessaly.providers.inference_engines.corvo_gateway_inference_engine", "CorvoAIGatewayInferenceEngine");
    m.from_import("tessaly.utils.async_util", "start_event_loop_run_func");
    m.from_import("tessaly.utils.environment", "get_tabluo_enable_inference_cache");
    m.from_import("tessaly.utils.python_utils", "transform_str_to_list");
    m.from_import("lazy_imports", "LazyModule");
    m.from_import("lazy_imports", "load");
    m.from_import("pydantic", "BaseModel");
    m.from_import("pydantic", "Field");
    m.from_import("tabulo.logging_utils", "set_verbosity");

    m.lazy_import("tabulo_imports",
                  {"from tabulo.formats import ChatAPIFormat, Format",
                   "from tabulo.inference import AzureOpenAIInferenceEngine, OpenAiInferenceEngine, "
                   "RivetInferenceEngineGeneration, LiteLLMInferenceEngine",
                   "from tabulo.llm_as_judge import TaskBasedLLMasJudge", "from tabulo.operator import SequentialOperator",
                   "from tabulo.stream import MultiStream"},
                  "lazy_tabulo",
                  {"ChatAPIFormat", "Format", "RivetInferenceEngineGeneration", "OpenAiInferenceEngine",
                   "AzureOpenAIInferenceEngine", "TaskBasedLLMasJudge", "SequentialOperator", "MultiStream",
                   "LiteLLMInferenceEngine"});

    call(m.global("set_verbosity"), text("warning"));

    m.def({.name = "patch_bertscore_overflow",
           .params = {},
           .body = patch_bertscore_overflow,
           .doc = "\n    Workaround for transformers>=5.0.0 where tokenizer.model_max_length defaults to a very large number,\n"
                  "    causing OverflowError in rust tokenizers when truncation=True is used by bert_score.\n    "});
    m.set("_inference_engine_cache",
          call(m.global("TTLCache"), kw("maxsize", integer(128)), kw("ttl", integer(3600))));
    m.set("_inference_engine_cache_lock", call(m.global("Lock")));

    ClassBuilder mapping(m, "TabuloColumnMapping");
    mapping.base(m.global("BaseModel"))
        .doc("Column mapping expected by tabulo")
        .annotate("question", text_field(m, "question", "Expected question column name by tabulo"))
        .annotate("answer", text_field(m, "answer", "Expected answer column name by tabulo"))
        .annotate("contexts", text_field(m, "contexts", "Expected contexts column name by tabulo"))
        .annotate("ground_truths", text_field(m, "ground_truths", "Expected ground_truths column name by tabulo"));
    m.set("TabuloColumnMapping", mapping.build());

    Ref templates = new_dict();
    dict_set(templates.get(), "faithfulness", text("judge_with_question_simplified").get());
    dict_set(templates.get(), "context_relevance", text("judge_context_relevance_ares").get());
    dict_set(templates.get(), "answer_correctness", text("judge_loose_match_no_context").get());
    dict_set(templates.get(), "answer_relevance", text("judge_answer_relevance").get());
    m.set("METRIC_TO_TEMPLATE", templates);

    Ref clip = new_dict();
    dict_set(clip.get(), "context_relevance", set_of_texts({"sentence_bert_bge", "sentence_bert_mini_lm"}).get());
    dict_set(clip.get(), "faithfulness", set_of_texts({"sentence_bert_mini_lm"}).get());
    dict_set(clip.get(), "answer_correctness", set_of_texts({"sentence_bert_mini_lm"}).get());

    Ref class_var = m.global("ClassVar");
    Ref str_type = Ref::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    Ref set_of_str = get_item(reinterpret_cast<PyObject*>(&PySet_Type), str_type.get());
    Ref dict_of_sets = get_item(reinterpret_cast<PyObject*>(&PyDict_Type), tuple_of({str_type.get(), set_of_str.get()}).get());

    auto self = [] { return Param("self"); };
    auto data = [] { return Param("data").annotated("pd.DataFrame"); };
    ClassBuilder provider(m, "TabuloProvider");
    provider.annotate("CLIP_METRIC_METHODS", get_item(class_var.get(), dict_of_sets.get()))
        .annotate("METRIC_METHODS_WITH_LOCKS", get_item(class_var.get(), set_of_str.get()))
        .attr("CLIP_METRIC_METHODS", clip)
        .attr("METRIC_METHODS_WITH_LOCKS", set_of_texts({"bert_score_recall", "sentence_bert_mini_lm", "sentence_bert_bge"}))
        .attr("_lock", call(m.global("Lock")))
        .method({.name = "__init__",
                 .params = {self(), Param("configuration").annotated("GenAIConfiguration"),
                            Param("metric_name").annotated("str").exactly(&PyUnicode_Type),
                            Param("metric_display_name").annotated("str").exactly(&PyUnicode_Type),
                            Param("metric_method").annotated("str").exactly(&PyUnicode_Type),
                            Param("metric_prefix").annotated("str").exactly(&PyUnicode_Type),
                            Param("metric_alias").annotated("str | None").exactly(&PyUnicode_Type, true).defaults_to_none(),
                            Param("metric_group").annotated("MetricGroup | None").defaults_to_none(),
                            Param("column_mapping").annotated("TabuloColumnMapping | None").defaults_to_none(),
                            Param("llm_judge").annotated("LLMJudge | None").defaults_to_none(),
                            Param("thresholds").annotated("list[MetricThreshold]").exactly(&PyList_Type).defaults_to_empty_list()},
                 .body = init,
                 .var_keywords = "kwargs"})
        .method({.name = "evaluate_async",
                 .params = {self(), data()},
                 .body = evaluate_async,
                 .returns = "AggregateMetricResult",
                 .coroutine = true})
        .method({.name = "evaluate", .params = {self(), data()}, .body = evaluate, .returns = "AggregateMetricResult"})
        .private_method({.name = "__generate_tabulo_metric",
                         .params = {self(), Param("metric_name").annotated("str").exactly(&PyUnicode_Type),
                                    Param("metric_prefix").annotated("str").exactly(&PyUnicode_Type)},
                         .body = generate_tabulo_metric})
        .decorated("_create_inference_engine_impl",
                   {.name = "_create_inference_engine_impl",
                    .params = {Param("provider").annotated("str").exactly(&PyUnicode_Type),
                               Param("model_id").annotated("str").exactly(&PyUnicode_Type),
                               Param("use_cache").annotated("bool"),
                               Param("credentials_json").annotated("str").exactly(&PyUnicode_Type),
                               Param("parameters_json").annotated("str").exactly(&PyUnicode_Type)
                                   .defaults_to(text(""))},
                    .body = create_inference_engine_impl,
                    .doc = "TTL-cached factory for inference engines."},
                   engine_cache_around)
        .private_method({.name = "__get_ai_evaluator_inference_engine",
                         .params = {self()},
                         .body = get_ai_evaluator_inference_engine})
        .private_method({.name = "__get_llmaj_template",
                         .params = {self(), Param("metric_name").annotated("str").exactly(&PyUnicode_Type)},
                         .body = get_llmaj_template,
                         .returns = "str"})
        .private_method({.name = "__get_llmaj_format", .params = {self()}, .body = get_llmaj_format, .returns = "Format | None"})
        .private_method({.name = "__get_llmaj_metric",
                         .params = {self(), Param("metric_name").annotated("str").exactly(&PyUnicode_Type)},
                         .body = get_llmaj_metric})
        .private_method({.name = "__pre_process_data",
                         .params = {self(), data()},
                         .body = pre_process_data,
                         .returns = "pd.DataFrame",
                         .doc = "Goes over the dataframe and update the column names to match what is expected by tabulo"})
        .private_method({.name = "__compute_metric",
                         .params = {self(), data()},
                         .body = compute_metric,
                         .returns = "pd.DataFrame",
                         .doc = "Runs the metrics over the provided inputs and adds their scores.\n\n"
                                "        The input examples are dictionaries with the question, the answer, the contexts\n"
                                "        and the ground_truths of one record; the metric applied is the catalog metric\n"
                                "        (or the judge) built for this provider.\n        "})
        .private_method({.name = "__post_process",
                         .params = {self(), Param("result").annotated("pd.DataFrame")},
                         .body = post_process,
                         .returns = "AggregateMetricResult"});
    m.set("TabuloProvider", provider.build());
}

}  // namespace

TSY_MODULE(tabulo_provider, "Judge-based and similarity metrics computed through the judge library.", exec)
