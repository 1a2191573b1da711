// tessaly.providers.verdra_provider: criteria-based judge metrics computed through the
// criteria-judge library, with token counts of the judge's prompts and answers.
#include "judge_common.hpp"
#include "support.hpp"

#include <algorithm>
#include <optional>
#include <vector>

using namespace tsy;

namespace {

constexpr const char* kFailed = "Error while computing metrics: %S. Reason: %S";
constexpr const char* kNoCriteriaNorTemplate = "the metric has neither a criteria description nor a prompt template";
constexpr const char* kRepeatedKeyword = "%U() got multiple values for keyword argument '%S'";

// ---- criteria and instances ------------------------------------------------------------------

// VerdraProvider.__get_criteria(self, prediction_field, context_fields)
Ref get_criteria(Invocation& args) {
    auto [self, prediction_field, context_fields] = args.bind<3>();
    // "{field}" becomes "field" for the prediction field (whatever its characters), then every
    // remaining "{identifier}" loses its braces.
    auto normalise = [&](Handle description) {
        Ref placeholder = text("{").add(prediction_field).add(text("}"));
        Ref replaced = description.method("replace", placeholder, prediction_field);
        return args.global("re").method("sub", args.global("VARIABLES_PATTERN"), text("\\1"), replaced);
    };
    Ref criteria_options = new_list();
    Ref option_class = args.global("VrCriteriaOption");
    for (const Ref& option : iterate(self.attr("options"))) {
        Ref description = normalise(option.attr("description"));
        append(criteria_options, option_class(kw("name", option.attr("name")), kw("description", description),
                                              kw("score", option.attr("value"))));
    }
    Ref description = normalise(self.attr("criteria_description"));
    return args.global("VrCriteria")(kw("name", self.attr("metric_name")), kw("description", description),
                                     kw("to_evaluate_field", prediction_field), kw("context_fields", context_fields),
                                     kw("options", criteria_options));
}

// VerdraProvider.__get_instances(self, data, prediction_field, context_fields)
Ref get_instances(Invocation& args) {
    auto [self, data, prediction_field, context_fields] = args.bind<4>();
    Ref instances = new_list();
    Ref context_data = data[context_fields].method("to_dict", kw("orient", text("records")));
    Ref predictions = data[prediction_field].method("tolist");
    Ref instance_class = args.global("Instance");
    if (context_data.truthy()) {
        for (const auto& [c, p] : zip(context_data, predictions)) {
            Ref fields = new_dict();
            fields.set_item(prediction_field, p);
            fields.method("update", c);
            append(instances, instance_class(kw("fields", fields)));
        }
    } else {
        for (const Ref& p : iterate(predictions)) {
            Ref fields = new_dict();
            fields.set_item(prediction_field, p);
            append(instances, instance_class(kw("fields", fields)));
        }
    }
    return instances;
}

// ---- the judge and its engine ------------------------------------------------------------------

// {key: value}
Ref one_entry(const char* key, Handle value) {
    Ref entry = new_dict();
    entry.set_item(key, value);
    return entry;
}

// VerdraProvider.__get_inference_engine_params(self)
Ref get_inference_engine_params(Invocation& args) {
    auto [self] = args.bind<1>();
    Ref params = new_dict();
    params.set_item("seed", integer(36));
    params.set_item("data_classification_policy", new_list_of({text("public")}));

    Ref model = self.attr("llm_judge").attr("model");
    auto judged_by = [&](const char* cls) { return model.isinstance(args.global(cls)); };
    auto dumped_credentials = [&] { return model.attr("provider").attr("credentials").method("model_dump"); };
    Ref added = new_dict();
    if (judged_by("NimbalFoundationModel")) {
        added.set_item("credentials", providers::hosting_credentials(model));
        added.set_item("provider", text("lumora-sdk"));
        added.set_item("model", model.attr("model_id"));
        Ref limit = one_entry("concurrency_limit", args.global("get_lumora_concurrency_limit")());
        added.set_item("provider_specific_args", one_entry("lumora-sdk", limit));
    } else if (judged_by("OpenAIFoundationModel")) {
        added.set_item("credentials", one_entry("api_key", model.attr("provider").attr("credentials").attr("api_key")));
        added.set_item("provider", text("open-ai"));
        added.set_item("model", model.attr("model_id"));
        Ref arguments = one_entry("temperature", integer(0));
        Ref parameters = getattr_or(model, "parameters", Py_None);  // the attribute is optional
        if (parameters.truthy()) arguments.method("update", parameters);
        added.set_item("provider_specific_args", one_entry("open-ai", arguments));
    } else if (judged_by("PortKeyGateway")) {
        added.set_item("credentials", dumped_credentials());
        added.set_item("model", model.attr("model_id"));
    } else if (judged_by("VertexAIFoundationModel")) {
        added.set_item("credentials", dumped_credentials());
        added.set_item("provider", text("vertex-ai"));
        added.set_item("model", model.attr("model_id"));
    } else if (judged_by("AWSBedrockFoundationModel")) {
        added.set_item("credentials", dumped_credentials());
        added.set_item("model", model.attr("model_id"));
        added.set_item("provider", text("aws"));
        Ref parameters = model.attr("parameters");
        added.set_item("provider_specific_args", one_entry("aws", parameters.truthy() ? parameters : new_dict()));
        params.method("update", added);
        params.method("pop", text("seed"));  // del params["seed"]
        return params;
    } else if (judged_by("AzureOpenAIFoundationModel")) {
        raise(PyExc_Exception, "Azure OpenAI Model provider is not supported.");
    } else {
        raise(PyExc_Exception, "LLM Model provider is not supported.");
    }
    params.method("update", added);
    return params;
}

// VerdraProvider.__get_judge(self)
Ref get_judge(Invocation& args) {
    auto [self] = args.bind<1>();
    Ref enable_inf_cache = args.global("get_tabluo_enable_inference_cache")();
    auto judged_by = [&](const char* cls) {
        Ref llm_judge = self.attr("llm_judge");
        return llm_judge.truthy() && llm_judge.attr("model").isinstance(args.global(cls));
    };
    Ref engine_class = judged_by("PortKeyGateway")                  ? args.global("PortKeyInferenceEngine")
                       : judged_by("GoogleAIStudioFoundationModel") ? args.global("GoogleStudioInferenceEngine")
                                                                    : args.global("CrossProviderInferenceEngine");
    Ref params = self.method("_VerdraProvider__get_inference_engine_params");
    CallArgs engine_args;  // engine_class(**params, use_cache=enable_inf_cache)
    engine_args.merge(params).kw("use_cache", enable_inf_cache);
    Ref engine = engine_args.call(engine_class);
    return args.global("DirectJudge")(kw("inference_engine", engine), kw("generate_feedback", true));
}

// ---- prompts from the rows -------------------------------------------------------------------

// lambda row: self.prompt_template.format(**row), a repeated column label refused as `**` refuses it.
Ref fill_prompt(Invocation& args) {
    auto [row] = args.bind<1>();
    Ref format = args.closure().attr("prompt_template").attr("format");
    Ref fields = new_dict();
    for (const Ref& key : iterate(list_of(row.method("keys")))) {
        if (fields.contains(key)) raise(PyExc_TypeError, kRepeatedKeyword, format.attr("__qualname__").str(), key);
        fields.set_item(key, row[key]);
    }
    return call_unpacked(format, tuple_of({}), fields);
}

// The rows that `apply(axis=1)` hands out are the table's values interleaved to one type;
// read from `values` they are the same objects when that type is `object` and every column
// holds plain numpy values, text or categories. Numeric-only tables (numpy scalars there,
// Python ones here) and nullable extension columns (their missing-value markers) differ.
bool rows_read_alike(Handle data, Handle values) {
    if (!values.attr("dtype").attr("kind").equals("O")) return false;
    Ref numpy_dtype = import("numpy").attr("dtype");
    for (const Ref& dtype : iterate(data.attr("dtypes"))) {
        if (dtype.isinstance(numpy_dtype)) continue;
        Ref name = dtype.str();
        if (!name.equals("str") && !name.equals("category")) return false;
    }
    return true;
}

// A custom prompt template with each field numbered by the column it names, so that a row's
// prompt is `format(*values)` of those columns: `{response!r:>9}` becomes `{1!r:>9}` when
// `response` is the second column the template names. Attribute and index parts,
// conversions and format specs stay as written, and literal braces stay escaped.
struct NumberedTemplate {
    Ref format;                       // the numbered template's bound `format`
    std::vector<Py_ssize_t> columns;  // for each number, the column (index into the labels)
};

// Nothing where numbering could change what `format(**row)` gives: a label that is not text
// (the keywords would be refused), a positional or automatic field, a field that names no
// column, a nested format spec, or a template the parser refuses (format reports it).
std::optional<NumberedTemplate> numbered_template(Handle tmpl, Handle labels) {
    for (const Ref& label : iterate(labels))
        if (label.type() != &PyUnicode_Type) return std::nullopt;
    if (tmpl.type() != &PyUnicode_Type) return std::nullopt;
    Ref parsed;
    try {
        parsed = list_of(import("_string").method("formatter_parser", tmpl));
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        return std::nullopt;
    }
    NumberedTemplate numbered;
    Ref pieces = new_list();
    Handle slice = builtin("slice");
    for (const Ref& part : iterate(parsed)) {
        auto [literal, field, format_spec, conversion] = unpack<4>(part);
        append(pieces, literal.method("replace", text("{"), text("{{")).method("replace", text("}"), text("}}")));
        if (field.is_none()) continue;
        // The column is the field's name up to its first attribute or index part.
        Py_ssize_t end = 0;
        for (const Ref& character : iterate(field)) {
            if (character.equals(".") || character.equals("[")) break;
            ++end;
        }
        if (end == 0 || field[0].method("isdigit").truthy()) return std::nullopt;
        Ref name = field[slice(integer(0), integer(end))];
        if (!labels.contains(name)) return std::nullopt;
        const Py_ssize_t column = to_ssize(labels.method("index", name));
        if (format_spec.contains(text("{"))) return std::nullopt;
        auto known = std::find(numbered.columns.begin(), numbered.columns.end(), column);
        const size_t number = known - numbered.columns.begin();
        if (known == numbered.columns.end()) numbered.columns.push_back(column);
        Ref rest = field[slice(integer(end), Py_None)];
        append(pieces, text_format("{%zu%U%s%U%s%U}", number, rest, conversion.is_none() ? "" : "!",
                                   conversion.is_none() ? text("") : conversion, format_spec.len() ? ":" : "",
                                   format_spec));
    }
    numbered.format = text("").method("join", pieces).attr("format");
    return numbered;
}

// `data.apply(lambda row: template.format(**row), axis=1).to_list()`. Where the rows read
// alike (see above) they come from one list per row instead of a Series per row; other
// tables (no rows, repeated column labels, other column types) take the row-wise walk.
Ref judge_prompts(Handle globals, Handle self, Handle data) {
    Ref labels = data.attr("columns").method("to_list");
    const bool unique = data.attr("columns").attr("is_unique").truthy();
    const Py_ssize_t count = data.len();
    // The type the table's values interleave to depends on its column types alone: read
    // from the table's first zero rows, without interleaving every row.
    Ref no_rows = builtin("slice")(integer(0), integer(0));
    Ref no_values = data.attr("iloc")[no_rows].attr("values");
    if (count > 0 && unique && rows_read_alike(data, no_values)) {
        Ref tmpl = self.attr("prompt_template");
        if (auto numbered = numbered_template(tmpl, labels)) {
            if (numbered->columns.empty()) {  // nothing to fill: format() for each row
                Ref prompts = new_list();
                for (Py_ssize_t i = 0; i < count; ++i) append(prompts, numbered->format());
                return prompts;
            }
            // list(map(format, *columns)) over only the columns the template names, read whole
            // (their cells are the objects the rows would hold): no row lists and no dict of
            // every column.
            CallArgs format_rows;
            format_rows.arg(numbered->format);
            for (Py_ssize_t column : numbered->columns) {
                Ref cells = data[labels[column]].method("to_list");
                if (cells.len() != count) raise(PyExc_SystemError, "column length changed");
                format_rows.arg(std::move(cells));
            }
            return list_of(format_rows.call(builtin("map")));
        }
        // format(**dict(zip(labels, row))) for each row of the table's values
        Ref rows = data.attr("values").method("tolist");
        Ref format = tmpl.attr("format");
        Ref no_args = tuple_of({});
        Ref prompts = new_list();
        for (const Ref& row : iterate(rows)) {
            Ref fields = new_dict();
            for (const auto& [label, cell] : zip(labels, row)) fields.set_item(label, cell);
            append(prompts, call_unpacked(format, no_args, fields));
        }
        return prompts;
    }
    Ref fill =
        make_function({.name = "<lambda>", .params = {Param("row")}, .body = fill_prompt}, globals, nullptr, self);
    return data.method("apply", fill, kw("axis", integer(1))).method("to_list");
}

// ---- evaluation --------------------------------------------------------------------------------

// VerdraProvider.evaluate(self, data)
Ref evaluate(Invocation& args) {
    auto [self, data] = args.bind<2>();
    try {
        Ref judge = self.method("_VerdraProvider__get_judge");
        Ref results;
        if (self.attr("criteria_description").truthy()) {
            Ref criteria = self.method("_VerdraProvider__get_criteria", self.attr("prediction_field"),
                                       self.attr("context_fields"));
            Ref instances = self.method("_VerdraProvider__get_instances", kw("data", data),
                                        kw("prediction_field", self.attr("prediction_field")),
                                        kw("context_fields", self.attr("context_fields")));
            results = judge(kw("instances", instances), kw("criteria", criteria));
        } else if (self.attr("prompt_template").truthy()) {
            Ref prompts = judge_prompts(args.globals(), self, data);
            Ref valid_outputs = new_list();
            for (const Ref& option : iterate(self.attr("options"))) append(valid_outputs, option.attr("name"));
            results = judge.method("evaluate_with_custom_prompt", kw("judge_prompts", prompts),
                                   kw("valid_outputs", valid_outputs));
        } else {
            raise(PyExc_ValueError, kNoCriteriaNorTemplate);
        }
        return self.method("_VerdraProvider__post_process", kw("results", results), kw("data", data));
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        raise_from(new_exception(PyExc_Exception, text_format(kFailed, self.attr("metric_name"), e.exception())), e);
    }
}

// VerdraProvider.evaluate_async(self, data): the synchronous evaluation, on the loop's default
// executor thread.
Ref evaluate_async(Invocation& args) {
    auto [self, data] = args.bind<2>();
    return make_coroutine(providers::evaluate_in_default_executor(Ref::borrow(args.globals()), Ref::borrow(self),
                                                                  Ref::borrow(data), true),
                          args);
}

// len(encode(str(value))), or None when there are no tokens.
Ref token_count(Handle encode, Handle value) {
    const Py_ssize_t n = encode(value.str()).len();
    return n ? integer(n) : none();
}

// VerdraProvider.__post_process(self, results, data)
Ref post_process(Invocation& args) {
    auto [self, results, data] = args.bind<3>();
    Ref record_results = new_list();
    if (self.attr("compute_token_count").truthy())
        self.set_attr("encoding", args.global("tiktoken").method("get_encoding", text("cl100k_base")));
    Ref input_tokens = none(), output_tokens = none();
    Ref scores = new_dict();
    for (const Ref& option : iterate(self.attr("options"))) scores.set_item(option.attr("name"), option.attr("value"));

    Ref record_ids = data[self.attr("record_id_field")].method("tolist");
    Ref record_timestamps = data[self.attr("record_timestamp_field")].method("tolist");
    Ref metric_name = self.attr("metric_name"), display_name = self.attr("display_name"),
        method = self.attr("metric_method"), group = self.attr("metric_group"), thresholds = self.attr("thresholds");
    Ref provider = args.global("EvaluationProvider").attr("TABULO").attr("value");
    Ref record_class = args.global("RecordMetricResult");
    Ref prompt_key = interned("prompt"), response_key = interned("unparsed_response");
    const bool count_tokens = self.attr("compute_token_count").truthy();
    Ref encode = count_tokens ? self.attr("encoding").attr("encode") : none();
    static const KeywordCall& record_call = *new KeywordCall{
        "name",  "display_name", "method",           "group",      "provider",    "value",
        "label", "record_id",    "record_timestamp", "thresholds", "explanation", "additional_info"};

    for (const auto& [record_id, record_timestamp, result] : zip(record_ids, record_timestamps, results)) {
        if (count_tokens) {
            Ref metadata = result.attr("metadata");
            input_tokens = token_count(encode, metadata[prompt_key]);
            output_tokens = token_count(encode, metadata[response_key]);
        }
        Ref selected_option = result.attr("selected_option");
        Ref value = dict_get(scores, selected_option);  // scores.get(selected_option)
        if (!value) value = none();
        Ref explanation = result.attr("explanation");
        Ref feedback = result.attr("feedback");
        Ref additional_info = new_dict();
        additional_info.set_item("feedback", feedback.truthy() ? feedback : none());
        additional_info.set_item("input_tokens", input_tokens);
        additional_info.set_item("output_tokens", output_tokens);
        append(record_results, record_call(record_class, {metric_name, display_name, method, group, provider, value,
                                                          selected_option, record_id, record_timestamp, thresholds,
                                                          explanation, additional_info}));
    }
    return args.global("AggregateMetricResult").method("create", record_results);
}

// ---- construction and the module ---------------------------------------------------------------

// VerdraProvider.__init__(self, metric_name, display_name, value_type, llm_judge, options,
//                         criteria_description=None, prompt_template=None, context_fields=[],
//                         prediction_field=None, metric_group=None, metric_method=None, thresholds=[],
//                         **kwargs)
Ref init(Invocation& args) {
    auto [self, metric_name, display_name, value_type, llm_judge, options, criteria_description, prompt_template,
          context_fields, prediction_field, metric_group, metric_method, thresholds] = args.bind<13>();
    Handle kwargs = args.kwargs();
    // Stored in the order the instance lists them, which is not the parameter order.
    self.set_attr("metric_name", metric_name);
    self.set_attr("display_name", display_name);
    self.set_attr("value_type", value_type);
    self.set_attr("llm_judge", llm_judge);
    self.set_attr("criteria_description", criteria_description);
    self.set_attr("prompt_template", prompt_template);
    self.set_attr("options", options);
    self.set_attr("context_fields", context_fields);
    self.set_attr("prediction_field", prediction_field);
    self.set_attr("metric_group", metric_group);
    self.set_attr("metric_method", metric_method);
    self.set_attr("thresholds", thresholds);
    auto keyword = [&](const char* name, Handle fallback) {  // kwargs.get(name, fallback)
        Ref value = dict_get(kwargs, name);
        return value ? value : Ref::borrow(fallback);
    };
    self.set_attr("record_id_field", keyword("record_id_field", text("record_id")));
    self.set_attr("record_timestamp_field", keyword("record_timestamp_field", text("record_timestamp")));
    self.set_attr("compute_token_count", keyword("compute_token_count", Py_False));
    return none();
}

void exec(Module& m) {
    m.import("asyncio");
    m.import("functools");
    m.import("re");
    m.import("pandas", "pd");
    m.import("tiktoken");
    m.from_import("lazy_imports", "LazyModule");
    m.from_import("lazy_imports", "load");
    m.from_import("tessaly.entities.criteria", "Option");
    m.from_import("tessaly.entities.enums", "EvaluationProvider");
    m.from_import("tessaly.entities.enums", "MetricGroup");
    m.from_import("tessaly.entities.evaluation_result", "AggregateMetricResult");
    m.from_import("tessaly.entities.evaluation_result", "RecordMetricResult");
    for (const char* model :
         {"AWSBedrockFoundationModel", "AzureOpenAIFoundationModel", "GoogleAIStudioFoundationModel",
          "OpenAIFoundationModel", "PortKeyGateway", "VertexAIFoundationModel", "NimbalFoundationModel"})
        m.from_import("tessaly.entities.foundation_model", model);
    m.from_import("tessaly.entities.credentials", "NimbalCredentials");
    m.from_import("tessaly.entities.llm_judge", "LLMJudge");
    m.from_import("tessaly.entities.metric_threshold", "MetricThreshold");
    m.from_import("tessaly.providers.inference_engines.google_inference_engine", "GoogleStudioInferenceEngine");
    m.from_import("tessaly.providers.inference_engines.portkey_inference_engine", "PortKeyInferenceEngine");
    m.from_import("tessaly.utils.async_util", "start_event_loop_run_func");
    m.from_import("tessaly.utils.environment", "get_tabluo_enable_inference_cache");
    m.from_import("tessaly.utils.environment", "get_lumora_concurrency_limit");

    m.lazy_import("vr_imports",
                  {"from verdra.judges import Criteria as VrCriteria",
                   "from verdra.judges import CriteriaOption as VrCriteriaOption",
                   "from verdra.judges import Instance, DirectJudge",
                   "from tabulo.inference import CrossProviderInferenceEngine"},
                  "lazy_vr",
                  {"VrCriteria", "VrCriteriaOption", "Instance", "DirectJudge", "CrossProviderInferenceEngine"});

    m.set("VARIABLES_PATTERN", text("\\{([a-zA-Z_][a-zA-Z0-9_]*)\\}"));

    auto self = [] { return Param("self"); };
    auto text_param = [](const char* name) { return Param(name).annotated("str").exactly(&PyUnicode_Type); };
    auto text_or_none = [](const char* name) {
        return Param(name).annotated("str | None").exactly(&PyUnicode_Type, true).defaults_to_none();
    };
    auto list_param = [](const char* name, const char* annotation) {
        return Param(name).annotated(annotation).exactly(&PyList_Type);
    };
    ClassBuilder provider(m, "VerdraProvider");
    provider.doc("\n    Invokes the criteria-judge library for computing the LLM-as-judge metrics.\n    ")
        .method({.name = "__init__",
                 .params = {self(), text_param("metric_name"), text_param("display_name"), text_param("value_type"),
                            Param("llm_judge").annotated("LLMJudge"), list_param("options", "list[Option]"),
                            text_or_none("criteria_description"), text_or_none("prompt_template"),
                            list_param("context_fields", "list[str]").defaults_to_empty_list(),
                            text_or_none("prediction_field"),
                            Param("metric_group").annotated("MetricGroup").defaults_to_none(),
                            text_or_none("metric_method"),
                            list_param("thresholds", "list[MetricThreshold]").defaults_to_empty_list()},
                 .body = init,
                 .var_keywords = "kwargs"})
        .method({.name = "evaluate_async",
                 .params = {self(), Param("data").annotated("pd.DataFrame")},
                 .body = evaluate_async,
                 .returns = "AggregateMetricResult",
                 .coroutine = true})
        .method({.name = "evaluate",
                 .params = {self(), Param("data").annotated("pd.DataFrame")},
                 .body = evaluate,
                 .returns = "AggregateMetricResult"})
        .private_method({.name = "__get_judge", .params = {self()}, .body = get_judge})
        .private_method({.name = "__get_instances",
                         .params = {self(), Param("data"), Param("prediction_field"), Param("context_fields")},
                         .body = get_instances})
        .private_method(
            {.name = "__get_inference_engine_params", .params = {self()}, .body = get_inference_engine_params})
        .private_method({.name = "__get_criteria",
                         .params = {self(), Param("prediction_field"), Param("context_fields")},
                         .body = get_criteria})
        .private_method({.name = "__post_process",
                         .params = {self(), Param("results"), Param("data")},
                         .body = post_process,
                         .returns = "AggregateMetricResult"});
    m.set("VerdraProvider", provider.build());
}

}  // namespace

TSY_MODULE(verdra_provider, "Criteria-based judge metrics computed through the criteria-judge library.", exec)
