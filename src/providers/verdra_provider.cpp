// tessaly.providers.verdra_provider: criteria-based judge metrics computed through the
// criteria-judge library, with token counts of the judge's prompts and answers.
#include "judge_common.hpp"
#include "support.hpp"

#include <optional>
#include <vector>

using namespace tsy;

namespace {


// ---- criteria and instances ------------------------------------------------------------------

// "{field}" becomes "field" for the prediction field (whatever its characters), then every
// remaining "{identifier}" loses its braces.
Ref normalise_placeholders(PyObject* globals, PyObject* text, PyObject* prediction_field) {
    Ref placeholder = Ref::checked(PyNumber_Add(Ref::checked(PyNumber_Add(tsy::text("{").get(), prediction_field)).get(),
                                                tsy::text("}").get()));
    Ref replaced = call_method(text, "replace", placeholder, prediction_field);
    return call_method(lookup_global(globals, "re").get(), "sub", lookup_global(globals, "VARIABLES_PATTERN"),
                       tsy::text("\\1"), replaced);
}

Ref get_criteria(Invocation& a) {
    PyObject* self = a[0];
    PyObject *prediction_field = a[1], *context_fields = a[2];
    Ref options = new_list();
    Ref option_class = a.global("VrCriteriaOption");
    for_each(getattr(self, "options").get(), [&](PyObject* option) {
        Ref description = normalise_placeholders(a.globals().get(), getattr(option, "description").get(), prediction_field);
        append(options.get(), call(option_class, kw("name", getattr(option, "name")), kw("description", description),
                                   kw("score", getattr(option, "value")))
                                  .get());
    });
    Ref description = normalise_placeholders(a.globals().get(), getattr(self, "criteria_description").get(), prediction_field);
    return call(a.global("VrCriteria"), kw("name", getattr(self, "metric_name")), kw("description", description),
                kw("to_evaluate_field", prediction_field), kw("context_fields", context_fields), kw("options", options));
}

Ref get_instances(Invocation& a) {
    PyObject *data = a[1], *prediction_field = a[2], *context_fields = a[3];
    Ref instances = new_list();
    Ref context_data = call(getattr(get_item(data, context_fields).get(), "to_dict"), kw("orient", text("records")));
    Ref predictions = call_method(get_item(data, prediction_field).get(), "tolist");
    Ref instance_class = a.global("Instance");
    auto add = [&](const Ref& fields) { append(instances.get(), call(instance_class, kw("fields", fields)).get()); };
    if (truthy(context_data.get())) {
        Ref contexts = Ref::checked(PyObject_GetIter(context_data.get()));
        Ref values = Ref::checked(PyObject_GetIter(predictions.get()));
        for (;;) {
            Ref c = Ref::steal(PyIter_Next(contexts.get()));
            if (!c) break;
            Ref p = Ref::steal(PyIter_Next(values.get()));
            if (!p) break;
            Ref fields = new_dict();
            dict_set(fields.get(), prediction_field, p.get());
            call_method(fields.get(), "update", c);
            add(fields);
        }
        if (PyErr_Occurred()) throw_error();
    } else {
        for_each(predictions.get(), [&](PyObject* p) {
            Ref fields = new_dict();
            dict_set(fields.get(), prediction_field, p);
            add(fields);
        });
    }
    return instances;
}

// ---- the judge and its engine ------------------------------------------------------------------

Ref one_entry(const char* key, PyObject* value) {
    Ref d = new_dict();
    dict_set(d.get(), key, value);
    return d;
}

Ref get_inference_engine_params(Invocation& a) {
    PyObject* self = a[0];
    Ref params = new_dict();
    dict_set(params.get(), "seed", integer(36).get());
    Ref policy = new_list_of({text("public").get()});
    dict_set(params.get(), "data_classification_policy", policy.get());

    Ref model = getattr(getattr(self, "llm_judge"), "model");
    auto judged_by = [&](const char* cls) { return is_instance(model.get(), a.global(cls).get()); };
    auto dumped_credentials = [&] { return call_method(getattr(getattr(model, "provider"), "credentials").get(), "model_dump"); };
    Ref added = new_dict();
    if (judged_by("NimbalFoundationModel")) {
        dict_set(added.get(), "credentials", providers::hosting_credentials(model.get()).get());
        dict_set(added.get(), "provider", text("lumora-sdk").get());
        dict_set(added.get(), "model", getattr(model, "model_id").get());
        Ref limit = one_entry("concurrency_limit", call(a.global("get_lumora_concurrency_limit")).get());
        dict_set(added.get(), "provider_specific_args", one_entry("lumora-sdk", limit.get()).get());
    } else if (judged_by("OpenAIFoundationModel")) {
        Ref credentials = one_entry("api_key", getattr(getattr(getattr(model, "provider"), "credentials"), "api_key").get());
        dict_set(added.get(), "credentials", credentials.get());
        dict_set(added.get(), "provider", text("open-ai").get());
        dict_set(added.get(), "model", getattr(model, "model_id").get());
        Ref arguments = one_entry("temperature", integer(0).get());
        Ref parameters = Ref::steal(PyObject_GetAttrString(model.get(), "parameters"));
        if (!parameters) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
            PyErr_Clear();
        } else if (truthy(parameters.get())) {
            call_method(arguments.get(), "update", parameters);
        }
        dict_set(added.get(), "provider_specific_args", one_entry("open-ai", arguments.get()).get());
    } else if (judged_by("PortKeyGateway")) {
        dict_set(added.get(), "credentials", dumped_credentials().get());
        dict_set(added.get(), "model", getattr(model, "model_id").get());
    } else if (judged_by("VertexAIFoundationModel")) {
        dict_set(added.get(), "credentials", dumped_credentials().get());
        dict_set(added.get(), "provider", text("vertex-ai").get());
        dict_set(added.get(), "model", getattr(model, "model_id").get());
    } else if (judged_by("AWSBedrockFoundationModel")) {
        dict_set(added.get(), "credentials", dumped_credentials().get());
        dict_set(added.get(), "model", getattr(model, "model_id").get());
        dict_set(added.get(), "provider", text("aws").get());
        Ref parameters = getattr(model, "parameters");
        dict_set(added.get(), "provider_specific_args",
                 one_entry("aws", truthy(parameters.get()) ? parameters.get() : new_dict().get()).get());
        call_method(params.get(), "update", added);
        if (PyDict_DelItemString(params.get(), "seed") < 0) throw_error();
        return params;
    } else if (judged_by("AzureOpenAIFoundationModel")) {
        raise(PyExc_Exception, "Azure OpenAI Model provider is not supported.");
    } else {
        raise(PyExc_Exception, "LLM Model provider is not supported.");
    }
    call_method(params.get(), "update", added);
    return params;
}

Ref get_judge(Invocation& a) {
    PyObject* self = a[0];
    Ref use_cache = call(a.global("get_tabluo_enable_inference_cache"));
    auto judged_by = [&](const char* cls) {
        Ref judge = getattr(self, "llm_judge");
        return truthy(judge.get()) && is_instance(getattr(judge, "model").get(), a.global(cls).get());
    };
    Ref engine_class = judged_by("PortKeyGateway")                  ? a.global("PortKeyInferenceEngine")
                       : judged_by("GoogleAIStudioFoundationModel") ? a.global("GoogleStudioInferenceEngine")
                                                                    : a.global("CrossProviderInferenceEngine");
    Ref params = call_method(self, "_VerdraProvider__get_inference_engine_params");
    CallArgs engine_args;
    engine_args.merge(params.get()).kw("use_cache", use_cache);
    Ref engine = engine_args.call(engine_class.get());
    return call(a.global("DirectJudge"), kw("inference_engine", engine), kw("generate_feedback", Py_True));
}

// ---- evaluation --------------------------------------------------------------------------------

// One row's prompt: `template.format(**row)`, a repeated column label refused as `**` does.
Ref fill_prompt(Invocation& a) {
    PyObject* row = a[0];
    Ref format = getattr(getattr(a.closure(), "prompt_template").get(), "format");
    Ref fields = new_dict();
    for_each(Ref::checked(PyMapping_Keys(row)).get(), [&](PyObject* key) {
        int repeated = PyDict_Contains(fields.get(), key);
        if (repeated < 0) throw_error();
        if (repeated) {
            Ref name = str(getattr(format.get(), "__qualname__").get());
            raise(PyExc_TypeError, "%U() got multiple values for keyword argument '%S'", name.get(), key);
        }
        dict_set(fields.get(), key, get_item(row, key).get());
    });
    Ref empty = Ref::checked(PyTuple_New(0));
    return Ref::checked(PyObject_Call(format.get(), empty.get(), fields.get()));
}

// The rows that `apply(axis=1)` hands out are the table's values interleaved to one type;
// read from `values` they are the same objects when that type is `object` and every column
// holds plain numpy values, text or categories. Numeric-only tables (numpy scalars there,
// Python ones here) and nullable extension columns (their missing-value markers) differ.
bool rows_read_alike(PyObject* data, PyObject* values) {
    if (utf8(getattr(getattr(values, "dtype"), "kind").get()) != "O") return false;
    bool plain = true;
    Ref numpy_dtype = getattr(import("numpy").get(), "dtype");
    for_each(getattr(data, "dtypes").get(), [&](PyObject* dtype) {
        if (!plain || is_instance(dtype, numpy_dtype.get())) return;
        std::string_view name = utf8(str(dtype).get());
        plain = name == "str" || name == "category";
    });
    return plain;
}

// A custom prompt template with each field numbered by the column it names, so that a row's
// prompt is `format(*values)` of those columns: `{response!r:>9}` becomes `{1!r:>9}` when
// `response` is the second column the template names. Attribute and index parts,
// conversions and format specs stay as written, and literal braces stay escaped.
struct NumberedTemplate {
    Ref format;                     // the numbered template's bound `format`
    std::vector<Py_ssize_t> columns;  // for each number, the column (index into the labels)
};

// Nothing where numbering could change what `format(**row)` gives: a label that is not text
// (the keywords would be refused), a positional or automatic field, a field that names no
// column, a nested format spec, or a template the parser refuses (format reports it).
std::optional<NumberedTemplate> numbered_template(PyObject* tmpl, PyObject* labels) {
    const Py_ssize_t width = PyList_GET_SIZE(labels);
    for (Py_ssize_t j = 0; j < width; ++j)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(labels, j))) return std::nullopt;
    if (!PyUnicode_CheckExact(tmpl)) return std::nullopt;
    Ref parsed;
    try {
        parsed = list_of(call_method(import("_string").get(), "formatter_parser", tmpl).get());
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        return std::nullopt;
    }
    NumberedTemplate numbered;
    Ref pieces = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parsed.get()); ++i) {
        auto part = unpack(PyList_GET_ITEM(parsed.get(), i), 4);  // literal, field, spec, conversion
        Ref literal = call_method(call_method(part[0].get(), "replace", text("{"), text("{{")).get(), "replace",
                                  text("}"), text("}}"));
        append(pieces.get(), literal.get());
        PyObject* field = part[1].get();
        if (field == Py_None) continue;
        // The column is the field's name up to its first attribute or index part.
        const Py_ssize_t length = PyUnicode_GET_LENGTH(field);
        Py_ssize_t end = 0;
        while (end < length) {
            const Py_UCS4 c = PyUnicode_READ_CHAR(field, end);
            if (c == '.' || c == '[') break;
            ++end;
        }
        if (end == 0 || Py_UNICODE_ISDIGIT(PyUnicode_READ_CHAR(field, 0))) return std::nullopt;
        Ref name = Ref::checked(PyUnicode_Substring(field, 0, end));
        Py_ssize_t column = -1;
        for (Py_ssize_t j = 0; j < width && column < 0; ++j)
            if (PyUnicode_Compare(name.get(), PyList_GET_ITEM(labels, j)) == 0) column = j;
        if (column < 0) return std::nullopt;
        PyObject* spec = part[2].get();
        if (PyUnicode_FindChar(spec, '{', 0, PyUnicode_GET_LENGTH(spec), 1) >= 0) return std::nullopt;
        size_t number = 0;
        while (number < numbered.columns.size() && numbered.columns[number] != column) ++number;
        if (number == numbered.columns.size()) numbered.columns.push_back(column);
        Ref rest = Ref::checked(PyUnicode_Substring(field, end, length));
        PyObject* conversion = part[3].get();
        append(pieces.get(), text_format("{%zu%U%s%U%s%U}", number, rest.get(), conversion == Py_None ? "" : "!",
                                         conversion == Py_None ? text("").get() : conversion,
                                         PyUnicode_GET_LENGTH(spec) ? ":" : "", spec).get());
    }
    Ref joined = Ref::checked(PyUnicode_Join(text("").get(), pieces.get()));
    numbered.format = getattr(joined.get(), "format");
    return numbered;
}

// `data.apply(lambda row: template.format(**row), axis=1).to_list()`. Where the rows read
// alike (see above) they come from one list per row instead of a Series per row; other
// tables (no rows, repeated column labels, other column types) take the row-wise walk.
Ref judge_prompts(PyObject* globals, PyObject* self, PyObject* data) {
    Ref labels = call_method(getattr(data, "columns").get(), "to_list");
    const bool unique = truthy(getattr(getattr(data, "columns"), "is_unique").get());
    const Py_ssize_t count = length(data);
    // The type the table's values interleave to depends on its column types alone: read
    // from the table's first zero rows, without interleaving every row.
    Ref no_rows = Ref::checked(PySlice_New(integer(0).get(), integer(0).get(), nullptr));
    Ref kind = getattr(get_item(getattr(data, "iloc").get(), no_rows.get()).get(), "values");
    if (count > 0 && unique && rows_read_alike(data, kind.get())) {
        Ref tmpl = getattr(self, "prompt_template");
        Ref prompts = new_list(count);
        if (auto numbered = numbered_template(tmpl.get(), labels.get())) {
            // Only the columns the template names, read whole (their cells are the objects
            // the rows would hold), by position: no row lists and no dict of every column.
            std::vector<Ref> columns;
            for (Py_ssize_t column : numbered->columns) {
                columns.push_back(call_method(get_item(data, PyList_GET_ITEM(labels.get(), column)).get(), "to_list"));
                if (PyList_GET_SIZE(columns.back().get()) != count) raise(PyExc_SystemError, "column length changed");
            }
            std::vector<PyObject*> args(columns.size());
            for (Py_ssize_t i = 0; i < count; ++i) {
                for (size_t k = 0; k < args.size(); ++k) args[k] = PyList_GET_ITEM(columns[k].get(), i);
                PyList_SET_ITEM(prompts.get(), i,
                                Ref::checked(PyObject_Vectorcall(numbered->format.get(), args.data(), args.size(), nullptr))
                                    .release());
            }
            return prompts;
        }
        Ref rows = call_method(getattr(data, "values").get(), "tolist");
        Ref format = getattr(tmpl.get(), "format");
        Ref empty = Ref::checked(PyTuple_New(0));
        const Py_ssize_t width = PyList_GET_SIZE(labels.get());
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* row = PyList_GET_ITEM(rows.get(), i);
            Ref fields = new_dict();
            for (Py_ssize_t j = 0; j < width; ++j)
                dict_set(fields.get(), PyList_GET_ITEM(labels.get(), j), PyList_GET_ITEM(row, j));
            PyList_SET_ITEM(prompts.get(), i, Ref::checked(PyObject_Call(format.get(), empty.get(), fields.get())).release());
        }
        return prompts;
    }
    Ref fill = make_function({.name = "<lambda>", .params = {Param("row")}, .body = fill_prompt}, globals, nullptr, self);
    Ref rows = call(getattr(data, "apply"), fill, kw("axis", integer(1)));
    return call_method(rows.get(), "to_list");
}

Ref evaluate(Invocation& a) {
    PyObject* self = a[0];
    PyObject* data = a[1];
    try {
        Ref judge = call_method(self, "_VerdraProvider__get_judge");
        Ref results;
        if (truthy(getattr(self, "criteria_description").get())) {
            Ref criteria = call_method(self, "_VerdraProvider__get_criteria", getattr(self, "prediction_field"),
                                       getattr(self, "context_fields"));
            Ref instances = call_method(self, "_VerdraProvider__get_instances", kw("data", data),
                                        kw("prediction_field", getattr(self, "prediction_field")),
                                        kw("context_fields", getattr(self, "context_fields")));
            results = call(judge, kw("instances", instances), kw("criteria", criteria));
        } else if (truthy(getattr(self, "prompt_template").get())) {
            Ref prompts = judge_prompts(a.globals().get(), self, data);
            Ref valid_outputs = new_list();
            for_each(getattr(self, "options").get(), [&](PyObject* o) { append(valid_outputs.get(), getattr(o, "name").get()); });
            results = call(getattr(judge.get(), "evaluate_with_custom_prompt"), kw("judge_prompts", prompts),
                           kw("valid_outputs", valid_outputs));
        } else {
            raise(PyExc_ValueError, "the metric has neither a criteria description nor a prompt template");
        }
        return call_method(self, "_VerdraProvider__post_process", kw("results", results), kw("data", data));
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        Ref message = text_format("Error while computing metrics: %S. Reason: %S", getattr(self, "metric_name").get(),
                                  e.exception().get());
        raise_from(new_exception(PyExc_Exception, message.get()), e);
    }
}

// The synchronous evaluation, on the loop's default executor thread.
Ref evaluate_async(Invocation& a) {
    Async run = providers::evaluate_in_default_executor(Ref::borrow(a.globals()), Ref::borrow(a[0]),
                                                        Ref::borrow(a[1]), true);
    return make_coroutine(std::move(run), a);
}

// A count of tokens, or None when there are none.
Ref token_count(PyObject* encode, PyObject* value) {
    Ref tokens = Ref::checked(PyObject_CallOneArg(encode, str(value).get()));
    Py_ssize_t n = length(tokens.get());
    return n ? integer(n) : none();
}

Ref post_process(Invocation& a) {
    PyObject* self = a[0];
    PyObject *results = a[1], *data = a[2];
    Ref records = new_list();
    if (truthy(getattr(self, "compute_token_count").get()))
        setattr(self, "encoding", call_method(a.global("tiktoken").get(), "get_encoding", text("cl100k_base")).get());
    Ref input_tokens = none(), output_tokens = none();
    Ref scores = new_dict();
    for_each(getattr(self, "options").get(), [&](PyObject* o) {
        dict_set(scores.get(), getattr(o, "name").get(), getattr(o, "value").get());
    });

    Ref ids = call_method(get_item(data, getattr(self, "record_id_field").get()).get(), "tolist");
    Ref timestamps = call_method(get_item(data, getattr(self, "record_timestamp_field").get()).get(), "tolist");
    Ref metric_name = getattr(self, "metric_name"), display_name = getattr(self, "display_name"),
        method = getattr(self, "metric_method"), group = getattr(self, "metric_group"), thresholds = getattr(self, "thresholds");
    Ref provider = getattr(getattr(a.global("EvaluationProvider"), "TABULO"), "value");
    Ref record_class = a.global("RecordMetricResult");
    Ref prompt_key = interned("prompt"), response_key = interned("unparsed_response");
    const bool count_tokens = truthy(getattr(self, "compute_token_count").get());
    Ref encode = count_tokens ? getattr(getattr(self, "encoding"), "encode") : none();
    static const KeywordCall& record_call = *new KeywordCall{
        "name", "display_name", "method", "group", "provider", "value", "label", "record_id", "record_timestamp",
        "thresholds", "explanation", "additional_info"};

    Ref it_ids = Ref::checked(PyObject_GetIter(ids.get()));
    Ref it_timestamps = Ref::checked(PyObject_GetIter(timestamps.get()));
    Ref it_results = Ref::checked(PyObject_GetIter(results));
    for (;;) {
        Ref record_id = Ref::steal(PyIter_Next(it_ids.get()));
        if (!record_id) break;
        Ref timestamp = Ref::steal(PyIter_Next(it_timestamps.get()));
        if (!timestamp) break;
        Ref result = Ref::steal(PyIter_Next(it_results.get()));
        if (!result) break;
        if (count_tokens) {
            Ref metadata = getattr(result, "metadata");
            input_tokens = token_count(encode.get(), get_item(metadata.get(), prompt_key.get()).get());
            output_tokens = token_count(encode.get(), get_item(metadata.get(), response_key.get()).get());
        }
        Ref selected = getattr(result, "selected_option");
        Ref value = dict_get(scores.get(), selected.get());
        if (!value) value = none();
        Ref explanation = getattr(result, "explanation");
        Ref feedback = getattr(result, "feedback");
        Ref info = new_dict();
        dict_set(info.get(), "feedback", truthy(feedback.get()) ? feedback.get() : Py_None);
        dict_set(info.get(), "input_tokens", input_tokens.get());
        dict_set(info.get(), "output_tokens", output_tokens.get());
        append(records.get(), record_call(record_class.get(), {metric_name.get(), display_name.get(), method.get(),
                                                               group.get(), provider.get(), value.get(), selected.get(),
                                                               record_id.get(), timestamp.get(), thresholds.get(),
                                                               explanation.get(), info.get()})
                                  .get());
    }
    if (PyErr_Occurred()) throw_error();
    return call_method(a.global("AggregateMetricResult").get(), "create", records);
}

// ---- construction and the module ---------------------------------------------------------------

Ref init(Invocation& a) {
    PyObject* self = a[0];
    static const char* const fields[] = {"metric_name", "display_name", "value_type", "llm_judge",
                                         "options", "criteria_description", "prompt_template", "context_fields",
                                         "prediction_field", "metric_group", "metric_method", "thresholds"};
    // Stored in the order the instance lists them, which is not the parameter order.
    static const size_t order[] = {0, 1, 2, 3, 5, 6, 4, 7, 8, 9, 10, 11};
    for (size_t i : order) setattr(self, fields[i], a[i + 1]);
    auto keyword = [&](const char* name, PyObject* fallback) {
        Ref v = dict_get(a.kwargs(), name);
        return v ? v : Ref::borrow(fallback);
    };
    setattr(self, "record_id_field", keyword("record_id_field", text("record_id").get()).get());
    setattr(self, "record_timestamp_field", keyword("record_timestamp_field", text("record_timestamp").get()).get());
    setattr(self, "compute_token_count", keyword("compute_token_count", Py_False).get());
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
    for (const char* model : {"AWSBedrockFoundationModel", "AzureOpenAIFoundationModel", "GoogleAIStudioFoundationModel",
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
                  "lazy_vr", {"VrCriteria", "VrCriteriaOption", "Instance", "DirectJudge", "CrossProviderInferenceEngine"});

    m.set("VARIABLES_PATTERN", text("\\{([a-zA-Z_][a-zA-Z0-9_]*)\\}"));

    auto self = [] { return Param("self"); };
    auto text_or_none = [](const char* name) {
        return Param(name).annotated("str | None").exactly(&PyUnicode_Type, true).defaults_to_none();
    };
    ClassBuilder provider(m, "VerdraProvider");
    provider.doc("\n    Invokes the criteria-judge library for computing the LLM-as-judge metrics.\n    ")
        .method({.name = "__init__",
                 .params = {self(), Param("metric_name").annotated("str").exactly(&PyUnicode_Type),
                            Param("display_name").annotated("str").exactly(&PyUnicode_Type),
                            Param("value_type").annotated("str").exactly(&PyUnicode_Type),
                            Param("llm_judge").annotated("LLMJudge"),
                            Param("options").annotated("list[Option]").exactly(&PyList_Type),
                            text_or_none("criteria_description"), text_or_none("prompt_template"),
                            Param("context_fields").annotated("list[str]").exactly(&PyList_Type).defaults_to_empty_list(),
                            text_or_none("prediction_field"),
                            Param("metric_group").annotated("MetricGroup").defaults_to_none(), text_or_none("metric_method"),
                            Param("thresholds").annotated("list[MetricThreshold]").exactly(&PyList_Type).defaults_to_empty_list()},
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
        .private_method({.name = "__get_inference_engine_params", .params = {self()}, .body = get_inference_engine_params})
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
