// tessaly.providers.tabulo_provider: judge-based and similarity metrics computed through the
// judge library, with a process-wide cache of inference engines.
#include "judge_common.hpp"
#include "support.hpp"

using namespace tsy;

namespace {

constexpr const char* kFailed =
    "Error while computing metrics: %S with the method %S using tabulo library. Reason: %S";

// ---- the tokenizer patch of the similarity scorer --------------------------------------------

// patch_bertscore_overflow.<locals>.patched_get_tokenizer(model_type, use_fast=False), closing
// over the loader it replaces.
Ref patched_get_tokenizer(Invocation& args) {
    auto [model_type, use_fast] = args.bind<2>();
    Ref tokenizer = args.closure()(model_type, use_fast);
    Ref length = getattr_or(tokenizer, "model_max_length", nullptr);
    if (length && length.gt(integer(100000))) tokenizer.set_attr("model_max_length", integer(512));
    return tokenizer;
}

// patch_bertscore_overflow()
// Newer tokenizers report an absurd maximum length, which overflows when the scorer
// truncates to it; the scorer's loader is wrapped once per process to cap it.
Ref patch_bertscore_overflow(Invocation& args) {
    try {
        Ref utils = import("bert_score.utils");
        Ref scorer = import("bert_score.scorer");
        if (utils.has_attr("_is_patched_for_overflow")) return none();
        Ref original_get_tokenizer = utils.attr("get_tokenizer");
        Ref patched = make_function({.name = "patched_get_tokenizer",
                                     .params = {Param("model_type"), Param("use_fast").defaults_to(boolean(false))},
                                     .body = patched_get_tokenizer},
                                    args.globals(), text("patch_bertscore_overflow.<locals>"), original_get_tokenizer);
        utils.set_attr("get_tokenizer", patched);
        if (scorer.has_attr("get_tokenizer")) scorer.set_attr("get_tokenizer", patched);
        utils.set_attr("_is_patched_for_overflow", Py_True);
    } catch (PyError& e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
    return none();
}

// ---- construction and entry points -------------------------------------------------------------

// TabuloProvider.__init__(self, configuration, metric_name, metric_display_name, metric_method, metric_prefix,
//                         metric_alias=None, metric_group=None, column_mapping=None, llm_judge=None,
//                         thresholds=[], **kwargs)
Ref init(Invocation& args) {
    auto [self, configuration, metric_name, metric_display_name, metric_method, metric_prefix, metric_alias,
          metric_group, column_mapping, llm_judge, thresholds] = args.bind<11>();
    self.set_attr("configuration", configuration);
    self.set_attr("configuration_", new_dict());
    self.set_attr("metric_name", metric_name);
    self.set_attr("metric_display_name", metric_display_name);
    self.set_attr("metric_method", metric_method);
    self.set_attr("metric_group", metric_group);
    self.set_attr("column_mapping", column_mapping.truthy() ? column_mapping : args.global("TabuloColumnMapping")());
    self.set_attr("llm_judge", llm_judge.truthy() ? llm_judge : configuration.attr("llm_judge"));
    self.set_attr("metric_alias", metric_alias);
    self.set_attr("metric_prefix", metric_prefix);
    self.set_attr("thresholds", thresholds);
    return none();
}

// TabuloProvider.evaluate(self, data)
Ref evaluate(Invocation& args) {
    auto [self, data] = args.bind<2>();
    try {
        args.global("patch_bertscore_overflow")();
        Ref instances = self.method("_TabuloProvider__pre_process_data", kw("data", data));
        Ref result = self.method("_TabuloProvider__compute_metric", kw("data", instances));
        return self.method("_TabuloProvider__post_process", kw("result", result));
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        Ref message = text_format(kFailed, self.attr("metric_name"), self.attr("metric_method"), e.exception());
        raise_in_context(new_exception(PyExc_Exception, message), e);
    }
}

// TabuloProvider.evaluate_async(self, data): the synchronous evaluation, on the loop's default
// executor thread.
Ref evaluate_async(Invocation& args) {
    auto [self, data] = args.bind<2>();
    Async run = providers::evaluate_in_default_executor(Ref::borrow(args.globals()), Ref::borrow(self),
                                                        Ref::borrow(data), false);
    return make_coroutine(std::move(run), args);
}

// ---- the library metric ----------------------------------------------------------------------------

// TabuloProvider.__generate_tabulo_metric(self, metric_name, metric_prefix)
Ref generate_tabulo_metric(Invocation& args) {
    auto [self, metric_name, metric_prefix] = args.bind<3>();
    if (self.attr("metric_method").equals("llm_as_judge"))
        return self.method("_TabuloProvider__get_llmaj_metric", kw("metric_name", metric_name));
    return text_format("%U.%U.%S", metric_prefix, metric_name, self.attr("metric_method"));
}

// TabuloProvider.__get_llmaj_template(self, metric_name)
Ref get_llmaj_template(Invocation& args) {
    auto [self, metric_name] = args.bind<2>();
    Ref template_name = args.global("METRIC_TO_TEMPLATE")[metric_name];
    const char* realisation = metric_name.equals("faithfulness") ? "_verbal" : "_numeric";
    return text_format("templates.rag_eval.%S.%S%s", metric_name, template_name, realisation);
}

// TabuloProvider.__get_llmaj_format(self)
Ref get_llmaj_format(Invocation& args) {
    auto [self] = args.bind<1>();
    Ref type = self.attr("llm_judge").attr("model").attr("provider").attr("type");
    if (type.equals(args.global("ModelProviderType").attr("OPENAI"))) return args.global("ChatAPIFormat")();
    return none();
}

// TabuloProvider.__get_llmaj_metric(self, metric_name)
Ref get_llmaj_metric(Invocation& args) {
    auto [self, metric_name] = args.bind<2>();
    Ref inference_model = self.method("_TabuloProvider__get_ai_evaluator_inference_engine");
    Ref format = self.method("_TabuloProvider__get_llmaj_format");
    Ref template_ = self.method("_TabuloProvider__get_llmaj_template", kw("metric_name", metric_name));
    Ref task = text_format("tasks.rag_eval.%S.binary", metric_name);
    Ref main_score = text_format("%S_judge", metric_name);
    Ref prediction_field =
        self.attr("column_mapping").attr(metric_name.equals("context_relevance") ? "contexts" : "answer");
    return args.global("TaskBasedLLMasJudge")(
        kw("inference_model", inference_model), kw("format", format), kw("template", template_), kw("task", task),
        kw("main_score", main_score), kw("prediction_field", prediction_field), kw("infer_log_probs", false),
        kw("judge_to_generator_fields_mapping", new_dict()));
}

// ---- inference engines -----------------------------------------------------------------------------

// json.dumps(value, sort_keys=True), with the standard JSON module (not one of the module's globals)
Ref sorted_json(Handle value) { return import("json").method("dumps", value, kw("sort_keys", true)); }

// json.loads(settings) if settings else {}
Ref parsed_json(Handle settings) { return settings.truthy() ? import("json").method("loads", settings) : new_dict(); }

// TabuloProvider._create_inference_engine_impl(provider, model_id, use_cache, credentials_json,
//                                              parameters_json="")
// Memoised by the class's TTL cache around it. Arguments that are not exactly str are refused
// before this body, so the cache never stores an engine for them.
Ref create_inference_engine_impl(Invocation& args) {
    auto [provider, model_id, use_cache, credentials_json, parameters_json] = args.bind<5>();
    Ref credentials = parsed_json(credentials_json);
    Ref parameters = parsed_json(parameters_json);
    if (provider.equals("nimbal"))
        return args.global("RivetInferenceEngineGeneration")(kw("credentials", credentials),
                                                             kw("model_name", model_id), kw("use_cache", use_cache));
    if (provider.equals("openai"))
        return args.global("OpenAiInferenceEngine")(kw("model_name", model_id), kw("credentials", credentials),
                                                    kw("use_cache", use_cache));
    if (provider.equals("azure_openai"))
        return args.global("AzureOpenAIInferenceEngine")(kw("model_name", model_id), kw("credentials", credentials),
                                                         kw("use_cache", use_cache));
    if (provider.equals("vertexai") || provider.equals("google_ai_studio") || provider.equals("aws_bedrock"))
        // LiteLLMInferenceEngine(model=model_id, credentials=credentials, use_cache=use_cache, **parameters)
        return CallArgs().kw("model", model_id).kw("credentials", credentials).kw("use_cache", use_cache)
            .merge(parameters)
            .call(args.global("LiteLLMInferenceEngine"));
    if (provider.equals("portkey"))
        return args.global("PortKeyInferenceEngine")(kw("credentials", credentials), kw("model", model_id),
                                                     kw("use_cache", use_cache));
    if (provider.equals("corvo_gateway"))
        return args.global("CorvoAIGatewayInferenceEngine")(kw("credentials", credentials),
                                                            kw("use_cache", use_cache));
    raise(PyExc_Exception, "LLM Model provider '%S' is not supported.", provider);
}

// TabuloProvider.__get_ai_evaluator_inference_engine(self)
Ref get_ai_evaluator_inference_engine(Invocation& args) {
    auto [self] = args.bind<1>();
    Ref enable_inf_cache = args.global("get_tabluo_enable_inference_cache")();
    // self.llm_judge.model, read afresh at each use
    auto model = [&] { return self.attr("llm_judge").attr("model"); };
    auto judged_by = [&](const char* cls) { return model().isinstance(args.global(cls)); };
    // json.dumps(model.provider.credentials.model_dump(...), sort_keys=True)
    auto credentials_json = [&](bool by_alias) {
        Ref credentials = model().attr("provider").attr("credentials");
        return sorted_json(by_alias ? credentials.method("model_dump", kw("by_alias", true))
                                    : credentials.method("model_dump"));
    };
    Ref factory = args.global("TabuloProvider").attr("_create_inference_engine_impl");
    auto engine = [&](const char* provider, Ref model_id, Ref credentials) {
        return factory(kw("provider", text(provider)), kw("model_id", model_id), kw("use_cache", enable_inf_cache),
                       kw("credentials_json", credentials));
    };

    if (judged_by("NimbalFoundationModel")) {
        Ref m = model();
        return engine("nimbal", m.attr("model_id"), sorted_json(providers::hosting_credentials(m)));
    }
    if (judged_by("OpenAIFoundationModel")) return engine("openai", model().attr("model_id"), credentials_json(false));
    if (judged_by("AzureOpenAIFoundationModel"))
        return engine("azure_openai", model().attr("model_id"), credentials_json(true));
    if (judged_by("VertexAIFoundationModel"))
        return engine("vertexai", model().attr("model_id"), credentials_json(false));
    if (judged_by("GoogleAIStudioFoundationModel"))
        return engine("google_ai_studio", model().attr("model_id"), credentials_json(false));
    if (judged_by("AWSBedrockFoundationModel")) {
        Ref parameters = model().attr("parameters");
        if (!parameters.truthy()) parameters = new_dict();
        return factory(kw("provider", text("aws_bedrock")), kw("model_id", model().attr("model_id")),
                       kw("use_cache", enable_inf_cache), kw("credentials_json", credentials_json(false)),
                       kw("parameters_json", sorted_json(parameters)));
    }
    if (judged_by("CustomFoundationModel")) {
        Ref m = model();
        Ref model_name = getattr_or(m, "model_id", Py_None);
        if (!model_name.truthy()) model_name = text("custom_fn");
        Ref num_parallel_requests = getattr_or(m, "num_parallel_requests", integer(20));
        return args.global("CustomFunctionInferenceEngine")(
            kw("scoring_fn", m.attr("_scoring_fn")), kw("model_name", model_name),
            kw("context", getattr_or(m, "context", Py_None)), kw("num_parallel_requests", num_parallel_requests),
            kw("use_cache", enable_inf_cache));
    }
    if (judged_by("PortKeyGateway")) return engine("portkey", model().attr("model_id"), credentials_json(false));
    if (judged_by("CorvoAIGateway")) return engine("corvo_gateway", text(""), credentials_json(false));
    raise(PyExc_Exception, "LLM Model provider is not supported.");
}

// ---- data preparation --------------------------------------------------------------------------------

// all(field in labels for field in fields) (true for an empty list), going through every field.
bool all_present(Handle fields, Handle labels) {
    bool all = true;
    for (const Ref& field : iterate(fields)) all = all && labels.contains(field);
    return all;
}

// `table.astype(str)`: every cell as its string form. pandas 3 keeps missing cells missing
// there, where older pandas writes them as "None" or "nan"; they are written so under both,
// so that instances and record identifiers do not depend on the pandas version.
Ref cells_as_text(Handle table) {
    Handle str = builtin("str");
    Ref converted = table.method("astype", str);
    Ref missing = table.method("isna");
    if (!missing.attr("values").method("any").truthy()) return converted;
    return converted.method("mask", missing, table.method("map", str));
}

// TabuloProvider.__pre_process_data(self, data)
// Columns are assigned as lists, by position: the instance table's rows are the table's
// rows in order, whatever the caller's row labels.
Ref pre_process_data(Invocation& args) {
    auto [self, data] = args.bind<2>();
    Ref configuration = self.attr("configuration"), column_mapping = self.attr("column_mapping");
    Ref instances = args.global("pd").method("DataFrame");
    Ref labels = data.attr("columns").method("to_list");
    Ref texts = cells_as_text(data);
    // A column's values without its row labels: assigned by position, dtype kept.
    auto column = [&](Handle name) { return texts[name].attr("array"); };
    auto assign = [&](const char* key, const Ref& values) { instances.set_item(column_mapping.attr(key), values); };

    Ref question = configuration.attr("input_fields")[0];
    if (labels.contains(question)) assign("question", column(question));

    Ref output_fields = configuration.attr("output_fields");
    if (all_present(output_fields, labels)) assign("answer", column(output_fields[0]));

    auto lists = [&](const char* fields_name, const char* key) {
        Ref fields = configuration.attr(fields_name);
        if (!all_present(fields, labels)) return;
        const Py_ssize_t count = fields.len();
        if (count > 1) {
            assign(key, texts[fields].attr("values").method("tolist"));
        } else if (count == 1) {
            assign(key, texts[fields[0]].method("apply", args.global("transform_str_to_list")).attr("array"));
        }
    };
    lists("context_fields", "contexts");
    lists("reference_fields", "ground_truths");

    instances.set_item("record_id", column(configuration.attr("record_id_field")));
    return instances;
}

// ---- the run and its results -------------------------------------------------------------------------

// TabuloProvider.__compute_metric(self, data)
Ref compute_metric(Invocation& args) {
    auto [self, data] = args.bind<2>();
    Ref test_data = data.method("to_dict", kw("orient", text("records")));
    for (const Ref& instance : iterate(test_data)) {
        Ref metadata = new_dict();
        metadata.set_item("data_classification_policy", list_of_texts({"public"}));
        instance.set_item("metadata", metadata);
    }

    Ref metric_alias = self.attr("metric_alias");
    Ref metric_name = metric_alias.truthy() ? metric_alias : self.attr("metric_name");
    Ref step = self.method("_TabuloProvider__generate_tabulo_metric", kw("metric_name", metric_name),
                           kw("metric_prefix", self.attr("metric_prefix")));

    const bool run_with_lock = self.attr("METRIC_METHODS_WITH_LOCKS").contains(self.attr("metric_method")) ||
                               !self.attr("llm_judge").is_none();
    Ref instances;
    auto run = [&] {
        Ref streams = new_dict();
        streams.set_item("test", test_data);
        Ref multi_stream = args.global("MultiStream").method("from_iterables", streams, kw("copying", true));
        Ref metrics_operator = args.global("SequentialOperator")(kw("steps", new_list_of({step})));
        instances = list_of(metrics_operator(multi_stream)["test"]);
    };
    if (run_with_lock) with_context(self.attr("_lock"), run);
    else run();

    Ref metric_values = new_list();
    for (const Ref& instance : iterate(instances)) append(metric_values, instance["score"]["instance"]["score"]);
    Ref table = args.global("pd").method("DataFrame");
    table.set_item(self.attr("metric_name"), metric_values);
    table.set_item("record_id", data["record_id"].method("to_list"));
    return table;
}

// TabuloProvider.__post_process(self, result)
// Record values are the scores, floored at zero for the clipped metric methods, rounded to
// four places; the aggregate's mean is the raw column's. Its min and max leave missing values
// out, as the mean does: min() and max() over a list holding NaN answer according to where
// the NaN stands, so the same records in another order would give another aggregate.
Ref post_process(Invocation& args) {
    auto [self, result] = args.bind<2>();
    Ref metric_name = self.attr("metric_name"), display_name = self.attr("metric_display_name"),
        method = self.attr("metric_method"), group = self.attr("metric_group"), thresholds = self.attr("thresholds");
    Ref clip_methods = self.attr("CLIP_METRIC_METHODS");
    const bool apply_clipping = clip_methods.contains(metric_name) && clip_methods[metric_name].contains(method);
    Ref provider = args.global("EvaluationProvider").attr("TABULO").attr("value");
    Ref record_class = args.global("RecordMetricResult");
    static const KeywordCall& record_call =
        *new KeywordCall{"name", "display_name", "method", "group", "provider", "value", "record_id", "thresholds"};

    // Whole columns as lists hold the same objects as row-by-row reads of the table, except
    // that a missing score read row by row is NaN where the list holds None.
    Ref scores = result[metric_name].method("to_list");
    Ref missing = number(Py_NAN);
    Ref record_ids = result["record_id"].method("to_list");
    Ref records = new_list(), present = new_list();
    Ref zero = number(0.0);
    for (const auto& [score, record_id] : zip(scores, record_ids)) {
        Ref raw = score.is_none() ? missing : score;
        if (apply_clipping && !raw.gt(zero)) raw = zero;
        Ref record = record_call(record_class, {metric_name, display_name, method, group, provider,
                                                round_number(raw, 4), record_id.str(), thresholds});
        append(records, record);
        Ref value = record.attr("value");
        if (!is_nan(value)) append(present, value);
    }
    const Py_ssize_t count = records.len();
    Ref mean = round_number(result[metric_name].method("mean"), 4);
    // Every value missing: NaN, as the mean is. No rows at all: min() of nothing fails.
    const bool all_missing = count > 0 && present.len() == 0;
    Ref low = all_missing ? missing : builtin("min")(present);
    Ref high = all_missing ? missing : builtin("max")(present);
    return args.global("AggregateMetricResult")(
        kw("name", metric_name), kw("display_name", display_name), kw("method", method), kw("group", group),
        kw("provider", provider), kw("value", mean), kw("total_records", integer(count)),
        kw("record_level_metrics", records), kw("min", low), kw("max", high), kw("mean", mean),
        kw("thresholds", thresholds));
}

// ---- the module ----------------------------------------------------------------------------------------

// Annotated[str, Field(default=..., description=...)]
Ref text_field(const Module& m, const char* default_value, const char* description) {
    Ref field = m.global("Field")(kw("default", text(default_value)), kw("description", text(description)));
    return m.global("Annotated")[tuple_of({builtin("str"), field})];
}

// cached(cache=_inference_engine_cache, lock=_inference_engine_cache_lock)(staticmethod(f))
Ref engine_cache_around(const Module& m, Ref f) {
    Ref decorator = m.global("cached")(kw("cache", m.global("_inference_engine_cache")),
                                       kw("lock", m.global("_inference_engine_cache_lock")));
    return decorator(builtin("staticmethod")(f));
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
    m.from_import("tessaly.providers.inference_engines.custom_function_inference_engine",
                  "CustomFunctionInferenceEngine");
    m.from_import("tessaly.providers.inference_engines.portkey_inference_engine", "PortKeyInferenceEngine");
    m.from_import("tessaly.providers.inference_engines.corvo_gateway_inference_engine",
                  "CorvoAIGatewayInferenceEngine");
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
                   "from tabulo.llm_as_judge import TaskBasedLLMasJudge",
                   "from tabulo.operator import SequentialOperator", "from tabulo.stream import MultiStream"},
                  "lazy_tabulo",
                  {"ChatAPIFormat", "Format", "RivetInferenceEngineGeneration", "OpenAiInferenceEngine",
                   "AzureOpenAIInferenceEngine", "TaskBasedLLMasJudge", "SequentialOperator", "MultiStream",
                   "LiteLLMInferenceEngine"});

    m.global("set_verbosity")(text("warning"));

    m.def({.name = "patch_bertscore_overflow",
           .params = {},
           .body = patch_bertscore_overflow,
           .doc = "\n    Workaround for transformers>=5.0.0 where tokenizer.model_max_length defaults to a very large "
                  "number,\n    causing OverflowError in rust tokenizers when truncation=True is used by bert_score.\n"
                  "    "});
    m.set("_inference_engine_cache", m.global("TTLCache")(kw("maxsize", integer(128)), kw("ttl", integer(3600))));
    m.set("_inference_engine_cache_lock", m.global("Lock")());

    ClassBuilder mapping(m, "TabuloColumnMapping");
    mapping.base(m.global("BaseModel"))
        .doc("Column mapping expected by tabulo")
        .annotate("question", text_field(m, "question", "Expected question column name by tabulo"))
        .annotate("answer", text_field(m, "answer", "Expected answer column name by tabulo"))
        .annotate("contexts", text_field(m, "contexts", "Expected contexts column name by tabulo"))
        .annotate("ground_truths", text_field(m, "ground_truths", "Expected ground_truths column name by tabulo"));
    m.set("TabuloColumnMapping", mapping.build());

    Ref templates = new_dict();
    templates.set_item("faithfulness", text("judge_with_question_simplified"));
    templates.set_item("context_relevance", text("judge_context_relevance_ares"));
    templates.set_item("answer_correctness", text("judge_loose_match_no_context"));
    templates.set_item("answer_relevance", text("judge_answer_relevance"));
    m.set("METRIC_TO_TEMPLATE", templates);

    Ref clip = new_dict();
    clip.set_item("context_relevance", set_of_texts({"sentence_bert_bge", "sentence_bert_mini_lm"}));
    clip.set_item("faithfulness", set_of_texts({"sentence_bert_mini_lm"}));
    clip.set_item("answer_correctness", set_of_texts({"sentence_bert_mini_lm"}));

    Ref class_var = m.global("ClassVar");
    Ref set_of_str = builtin("set")[builtin("str")];                           // set[str]
    Ref dict_of_sets = builtin("dict")[tuple_of({builtin("str"), set_of_str})];  // dict[str, set[str]]

    auto self = [] { return Param("self"); };
    auto data = [] { return Param("data").annotated("pd.DataFrame"); };
    // `name: str`, exactly a str
    auto text_param = [](const char* name) { return Param(name).annotated("str").exactly(&PyUnicode_Type); };
    ClassBuilder provider(m, "TabuloProvider");
    provider.annotate("CLIP_METRIC_METHODS", class_var[dict_of_sets])
        .annotate("METRIC_METHODS_WITH_LOCKS", class_var[set_of_str])
        .attr("CLIP_METRIC_METHODS", clip)
        .attr("METRIC_METHODS_WITH_LOCKS",
              set_of_texts({"bert_score_recall", "sentence_bert_mini_lm", "sentence_bert_bge"}))
        .attr("_lock", m.global("Lock")())
        .method({.name = "__init__",
                 .params = {self(), Param("configuration").annotated("GenAIConfiguration"), text_param("metric_name"),
                            text_param("metric_display_name"), text_param("metric_method"),
                            text_param("metric_prefix"),
                            Param("metric_alias").annotated("str | None").exactly(&PyUnicode_Type, true)
                                .defaults_to_none(),
                            Param("metric_group").annotated("MetricGroup | None").defaults_to_none(),
                            Param("column_mapping").annotated("TabuloColumnMapping | None").defaults_to_none(),
                            Param("llm_judge").annotated("LLMJudge | None").defaults_to_none(),
                            Param("thresholds").annotated("list[MetricThreshold]").exactly(&PyList_Type)
                                .defaults_to_empty_list()},
                 .body = init,
                 .var_keywords = "kwargs"})
        .method({.name = "evaluate_async",
                 .params = {self(), data()},
                 .body = evaluate_async,
                 .returns = "AggregateMetricResult",
                 .coroutine = true})
        .method({.name = "evaluate", .params = {self(), data()}, .body = evaluate, .returns = "AggregateMetricResult"})
        .private_method({.name = "__generate_tabulo_metric",
                         .params = {self(), text_param("metric_name"), text_param("metric_prefix")},
                         .body = generate_tabulo_metric})
        .decorated("_create_inference_engine_impl",
                   {.name = "_create_inference_engine_impl",
                    .params = {text_param("provider"), text_param("model_id"), Param("use_cache").annotated("bool"),
                               text_param("credentials_json"), text_param("parameters_json").defaults_to(text(""))},
                    .body = create_inference_engine_impl,
                    .doc = "TTL-cached factory for inference engines."},
                   engine_cache_around)
        .private_method({.name = "__get_ai_evaluator_inference_engine",
                         .params = {self()},
                         .body = get_ai_evaluator_inference_engine})
        .private_method({.name = "__get_llmaj_template",
                         .params = {self(), text_param("metric_name")},
                         .body = get_llmaj_template,
                         .returns = "str"})
        .private_method({.name = "__get_llmaj_format",
                         .params = {self()},
                         .body = get_llmaj_format,
                         .returns = "Format | None"})
        .private_method({.name = "__get_llmaj_metric",
                         .params = {self(), text_param("metric_name")},
                         .body = get_llmaj_metric})
        .private_method({.name = "__pre_process_data",
                         .params = {self(), data()},
                         .body = pre_process_data,
                         .returns = "pd.DataFrame",
                         .doc = "Goes over the dataframe and update the column names to match what is expected by "
                                "tabulo"})
        .private_method({.name = "__compute_metric",
                         .params = {self(), data()},
                         .body = compute_metric,
                         .returns = "pd.DataFrame",
                         .doc = "Runs the metrics over the provided inputs and adds their scores.\n\n"
                                "        The input examples are dictionaries with the question, the answer, the "
                                "contexts\n        and the ground_truths of one record; the metric applied is the "
                                "catalog metric\n        (or the judge) built for this provider.\n        "})
        .private_method({.name = "__post_process",
                         .params = {self(), Param("result").annotated("pd.DataFrame")},
                         .body = post_process,
                         .returns = "AggregateMetricResult"});
    m.set("TabuloProvider", provider.build());
}

}  // namespace

TSY_MODULE(tabulo_provider, "Judge-based and similarity metrics computed through the judge library.", exec)
