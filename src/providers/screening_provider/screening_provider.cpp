// tessaly.providers.screening_provider: computes one detector metric over a table by
// sending one request per record to the detection service, with retries, and turning the
// detections into scores, evidences and errors.
#include "json_text.hpp"
#include "request_queue.hpp"
#include "support.hpp"

using namespace tsy;

namespace {

constexpr const char* kNotInitialized =
    "Tessaly SDK must be initialized to compute %S using %S. Please initialize the client to proceed, or remove "
    "this metric from the evaluation.";
constexpr const char* kNoInstanceId =
    "Tessaly service instance id is required to compute %S using %S. You can set the service instance ID using the "
    "`TSY_SERVICE_INSTANCE_ID` environment variable in the notebook and retry.";
constexpr const char* kFailed = "Error while computing metrics: %S. Reason: %S";

// ---- construction and addressing -------------------------------------------------------------------

// ScreeningProvider.__init__(self, configuration, metric_name, metric_display_name, metric_method=None,
//                            metric_group=None, thresholds=[], **kwargs)
Ref init(Invocation& args) {
    auto [self, configuration, metric_name, metric_display_name, metric_method, metric_group, thresholds] =
        args.bind<7>();
    Handle kwargs = args.kwargs();
    Ref api_client = dict_get(kwargs, "api_client");
    if (!api_client || !api_client.truthy()) raise(PyExc_ValueError, kNotInitialized, metric_name, metric_method);
    if (!api_client.attr("vexmon_client").isinstance(args.global("VexmonClient")))
        raise(PyExc_ValueError, kNoInstanceId, metric_name, metric_method);
    Ref template_ = self.method("_ScreeningProvider__get_base_url", metric_name);
    self.set_attr("base_url", template_.method("format", self.method("get_detector_url", api_client)));
    self.set_attr("configuration", configuration);
    self.set_attr("configuration_", new_dict());
    self.set_attr("metric_name", metric_name);
    self.set_attr("metric_display_name", metric_display_name);
    self.set_attr("metric_method", metric_method);
    self.set_attr("metric_group", metric_group);
    self.set_attr("service_instance_id", self.method("get_service_instance_id", api_client));
    self.set_attr("thresholds", thresholds);
    Ref detector_params = dict_get(kwargs, "detector_params");
    self.set_attr("detector_params", detector_params ? detector_params : none());
    return none();
}

// ScreeningProvider.get_detector_url(self, api_client)
Ref get_detector_url(Invocation& args) {
    auto [self, api_client] = args.bind<2>();
    self.set_attr("vexmon_client", api_client.attr("vexmon_client"));
    self.set_attr("verify", boolean(!api_client.attr("credentials").attr("disable_ssl").truthy()));
    if (api_client.attr("credentials").attr("version").truthy()) return api_client.attr("credentials").attr("url");
    Ref endpoint_table = import_from("tessaly.utils.endpoint_table", "VEXMON_ENDPOINT_TABLE");
    return endpoint_table.method("get", api_client.attr("credentials").attr("url")).attr("rivet_url");
}

// ScreeningProvider.get_service_instance_id(self, api_client)
Ref get_service_instance_id(Invocation& args) {
    auto [self, api_client] = args.bind<2>();
    self.set_attr("vexmon_client", api_client.attr("vexmon_client"));
    return self.attr("vexmon_client").attr("service_instance_id");
}

// ScreeningProvider.set_metric_name(self, metric_name)
Ref set_metric_name(Invocation& args) {
    auto [self, argument] = args.bind<2>();
    Ref metric_name = Ref::borrow(argument);
    if (self.attr("metric_name").equals("prompt_safety_risk") && self.attr("metric_method").equals("stonewatch"))
        metric_name = text("harm");
    if (args.global("StonewatchRisks").method("values").contains(metric_name)) return text("stonewatch");
    return metric_name;
}

// ScreeningProvider.__get_base_url(self, metric_name)
Ref get_base_url(Invocation& args) {
    auto [self, metric_name] = args.bind<2>();
    if (metric_name.equals("answer_relevance")) return text("{}/ml/v1/text/detection/generated?version=2023-10-25");
    if (metric_name.equals("context_relevance") || metric_name.equals("faithfulness"))
        return text("{}/ml/v1/text/detection/context?version=2023-10-25");
    if (metric_name.equals("tool_call_accuracy")) return text("{}/ml/v1/text/detection/chat?version=2023-10-25");
    return text("{}/ml/v1/text/detection?version=2023-10-25");
}

// ScreeningProvider.__get_headers(self)
Ref get_headers(Invocation& args) {
    auto [self] = args.bind<1>();
    Ref token = args.global("get_authenticator_token")(self.attr("vexmon_client").attr("authenticator"));
    Ref headers = new_dict();
    headers.set_item("Content-Type", interned("application/json"));
    headers.set_item("Authorization", interned("Bearer ").add(token.str()));
    headers.set_item("x-governance-instance-id", self.attr("service_instance_id"));
    headers.set_item("origin", interned("sdk"));
    return headers;
}

// ---- request bodies ------------------------------------------------------------------------------------

// ScreeningProvider.__pre_process_data(self, data) -> (json_payloads, record_ids)
Ref pre_process_data(Invocation& args) {
    auto [self, data] = args.bind<2>();
    Ref configuration = self.attr("configuration"), metric_name = self.attr("metric_name");
    auto first_column = [&](const char* fields) { return data[configuration.attr(fields)[0]]; };
    Ref input_contents = first_column("input_fields").method("to_list");
    Ref output_contents = none(), context_contents = none(), tool_calls_content = none(),
        tools_catalog_content = none();
    if (metric_name.equals("answer_relevance") || metric_name.equals("faithfulness"))
        output_contents = first_column("output_fields").method("to_list");
    if (metric_name.equals("context_relevance") || metric_name.equals("faithfulness")) {
        Ref context_fields = configuration.attr("context_fields");
        if (context_fields.len() > 1) {
            context_contents = data[context_fields].attr("values").method("tolist");
        } else if (context_fields.len() == 1) {
            Ref cells = data[context_fields[0]];
            context_contents = cells.method("apply", args.global("transform_str_to_list")).method("tolist");
        }
    }
    if (metric_name.equals("tool_call_accuracy")) {
        tools_catalog_content = self.method("get_tools_catalog_content");
        tool_calls_content = self.method("get_tool_calls_content", data);
    }
    Ref json_payloads = self.method("_ScreeningProvider__get_json_payloads", input_contents, output_contents,
                                    context_contents, tools_catalog_content, tool_calls_content);
    Ref record_ids = data[configuration.attr("record_id_field")].method("to_list");
    return tuple_of({json_payloads, record_ids});
}

// ScreeningProvider.__get_json_payloads(self, input_contents, output_contents, context_contents,
//                                       tools_catalog_content, tool_calls_content)
Ref get_json_payloads(Invocation& args) {
    auto [self, input_contents, output_contents, context_contents, tools_catalog_content, tool_calls_content] =
        args.bind<6>();
    Ref json_payloads = new_list();
    Ref metric_name = self.attr("metric_name");
    Ref key = self.method("set_metric_name", metric_name);

    // {"detectors": {key: detector_params or {}}, ...members}: the shared head is written once.
    Ref detector_params = self.attr("detector_params");
    Ref detectors = new_dict();
    detectors.set_item(key, detector_params.truthy() ? detector_params : new_dict());
    const std::optional<screening::BodyHead> head = screening::BodyHead::of(detectors);
    auto add = [&](std::initializer_list<screening::Member> members) {
        if (head) {
            if (auto body = head->body(members)) {
                append(json_payloads, *body);
                return;
            }
        }
        // Something the native writer does not write as json.dumps does: the body as a dict,
        // through json.dumps itself and its own errors.
        Ref body = new_dict();
        body.set_item("detectors", detectors);
        for (const screening::Member& m : members) body.set_item(m.key, m.value);
        append(json_payloads, args.global("json").method("dumps", body));
    };

    if (metric_name.equals("answer_relevance")) {
        for (const auto& [prompt, generated_text] : zip(input_contents, output_contents))
            add({{"prompt", prompt}, {"generated_text", generated_text}});
    } else if (metric_name.equals("context_relevance") || metric_name.equals("faithfulness")) {
        Handle texts = metric_name.equals("faithfulness") ? output_contents : input_contents;
        Ref docs = text("docs");
        for (const auto& [input, context] : zip(texts, context_contents))
            add({{"input", input}, {"context_type", docs}, {"context", context}});
    } else if (metric_name.equals("tool_call_accuracy")) {
        Ref user = text("user"), assistant = text("assistant");
        for (const auto& [input, tool_calls] : zip(input_contents, tool_calls_content)) {
            Ref user_message = new_dict(), assistant_message = new_dict();
            user_message.set_item("content", input);
            user_message.set_item("role", user);
            assistant_message.set_item("tool_calls", tool_calls);
            assistant_message.set_item("role", assistant);
            add({{"messages", new_list_of({user_message, assistant_message})}, {"tools", tools_catalog_content}});
        }
    } else {
        for (const Ref& input : iterate(input_contents)) add({{"input", input}});
    }
    return json_payloads;
}

// ---- sending ---------------------------------------------------------------------------------------------

// {"error": Error(code=code, message_en=message)}
Ref request_error(Handle globals, Handle code, Handle message) {
    Ref result = new_dict();
    result.set_item("error", lookup_global(globals, "Error")(kw("code", code), kw("message_en", message)));
    return result;
}

// str(e), or the kind of failure when the exception has no text of its own (the client's
// TimeoutError has none), so that a failed record always says what happened.
Ref failure_text(const PyError& e) {
    Ref message = e.text();
    return message.len() > 0 ? message : getattr(e.type(), "__name__");
}

// ScreeningProvider.send_with_retries(self, payload, session): one request, tried again after a
// gateway error with exponential back-off. Its failures become its result; only an exception
// that is not an ordinary error (a cancellation) leaves it. Each attempt waits for its turn on
// the wire before it starts (and so before the client's timeout of the request starts), and
// gives the turn back once its response is left: a back-off sleep holds neither a connection
// nor a turn (request_queue.hpp).
Async send_with_retries_run(Ref globals, Ref self, Ref payload, Ref session) {
    Ref queue = screening::queue_of(session);
    // for attempt in range(self.RETRY_COUNT): only the iterator is kept, not the range object.
    for (const Ref& attempt : iterate(builtin("range")(self.attr("RETRY_COUNT")))) {
        screening::Turn turn(queue);
        if (Ref waiting = turn.take()) {
            Ref handing = waiting;
            try {
                co_await std::move(waiting);
            } catch (...) {
                turn.abandon(handing);
                throw;
            }
        }
        Ref result, back_off;
        try {
            Ref posting = session.attr("post")(kw("url", self.attr("base_url")),
                                               kw("headers", self.method("_ScreeningProvider__get_headers")),
                                               kw("data", payload), kw("ssl", self.attr("verify")));
            // async with posting as response: (inline, so a request in flight holds one frame)
            AsyncWith with(posting);
            posting.reset();  // the bound __aexit__ holds it from here on
            Ref entering = with.enter();
            Ref response = co_await std::move(entering);
            Ref failure;
            try {
                Ref response_status = response.attr("status");
                Ref reading = response.method("text");
                Ref response_text = co_await std::move(reading);
                Ref json = lookup_global(globals, "json");
                if (response_status.equals(200)) {
                    result = json.method("loads", response_text);
                } else if (self.attr("RETRY_AFTER_STATUS_CODES").contains(response_status) &&
                           attempt.lt(self.attr("RETRY_COUNT").sub(1))) {
                    back_off = self.attr("BACK_OFF_FACTOR").mul(integer(2).pow(attempt));
                } else {
                    Ref decoded = json.method("loads", response_text);
                    result = request_error(globals, response_status.str(), decoded.str());
                }
            } catch (...) {
                failure = caught();
            }
            AsyncExit exiting = with.exit(failure);
            co_await std::move(exiting);
        } catch (PyError& e) {
            if (!e.is_exception()) throw;
            co_return request_error(globals, text("REQUEST_FAILED"), failure_text(e));
        }
        turn.give_back();
        if (!back_off) co_return result ? result : none();
        turn.sleeping(true);
        try {
            Ref sleeping = lookup_global(globals, "asyncio").method("sleep", back_off);
            co_await std::move(sleeping);
        } catch (...) {
            turn.sleeping(false);
            throw;
        }
        turn.sleeping(false);
    }
    co_return none();
}

Ref send_with_retries(Invocation& args) {
    auto [self, payload, session] = args.bind<3>();
    return make_coroutine(send_with_retries_run(Ref::borrow(args.globals()), Ref::borrow(self), Ref::borrow(payload),
                                                Ref::borrow(session)),
                          args);
}

// ScreeningProvider.__compute_metric(self, api_payloads): every request over one session, which
// is closed however the sending ends; as many on the wire at once as the session has
// connections (request_queue.hpp).
Async compute_metric_run(Ref globals, Ref self, Ref api_payloads) {
    Ref session = lookup_global(globals, "aiohttp").attr("ClientSession")();
    auto send_on = [&](Ref entered) -> Async {
        Async sending = screening::send_all(self.attr("send_with_retries"), api_payloads, entered,
                                            screening::turns_of(entered));
        co_return co_await std::move(sending);
    };
    Async sending = async_with(session, send_on);
    Ref responses = co_await std::move(sending);
    co_return responses;
}

Ref compute_metric(Invocation& args) {
    auto [self, api_payloads] = args.bind<2>();
    return make_coroutine(compute_metric_run(Ref::borrow(args.globals()), Ref::borrow(self), Ref::borrow(api_payloads)),
                          args);
}

// ScreeningProvider.evaluate_async(self, data)
Async evaluate_async_run(Ref self, Ref data) {
    try {
        Ref prepared = self.method("_ScreeningProvider__pre_process_data", kw("data", data));
        auto [json_payloads, record_ids] = unpack<2>(prepared);
        Ref computing = self.method("_ScreeningProvider__compute_metric", json_payloads);
        Ref results = co_await std::move(computing);
        co_return self.method("_ScreeningProvider__post_process", results, record_ids);
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        raise_in_context(new_exception(PyExc_Exception, text_format(kFailed, self.attr("metric_name"), e.exception())),
                         e);
    }
}

Ref evaluate_async(Invocation& args) {
    auto [self, data] = args.bind<2>();
    return make_coroutine(evaluate_async_run(Ref::borrow(self), Ref::borrow(data)), args);
}

// ScreeningProvider.evaluate(self, data)
Ref evaluate(Invocation& args) {
    auto [self, data] = args.bind<2>();
    return args.global("run_in_event_loop")(self.attr("evaluate_async"), kw("data", data));
}

// ---- results ---------------------------------------------------------------------------------------------

// ScreeningProvider.__get_additional_info(self, results)
Ref get_additional_info(Invocation& args) {
    auto [self, results] = args.bind<2>();
    Ref evidences = new_list();
    const bool retrieval = args.global("RAG_EVIDENCE_METRICS").contains(self.attr("metric_name"));
    for (const Ref& detection : iterate(results)) {
        if (retrieval) {
            append(evidences, detection["evidence"][0]);
            continue;
        }
        Ref evidence = new_dict();
        for (const char* member : {"text", "score", "start", "end"}) evidence.set_item(member, detection[member]);
        append(evidences, evidence);
    }
    return evidences;
}

// The keyword shapes of the results, made once (never freed: they outlive the interpreter's
// last use of the module).
struct ResultCalls {
    KeywordCall scored{"name", "display_name", "method", "provider", "group", "record_id", "thresholds", "value"};
    KeywordCall with_evidences{"name",      "display_name", "method", "provider", "group",
                               "record_id", "thresholds",   "value",  "evidences"};
    KeywordCall failed{"name",      "display_name", "method", "provider", "group",
                       "record_id", "thresholds",   "value",  "errors"};
    KeywordCall error{"code", "message_en"};
};
const ResultCalls& result_calls() {
    static const ResultCalls* calls = new ResultCalls();
    return *calls;
}

// ScreeningProvider.__post_process(self, results, record_ids)
Ref post_process(Invocation& args) {
    auto [self, results, record_ids] = args.bind<3>();
    const ResultCalls& calls = result_calls();
    static Handle max = builtin("max");
    Ref record_results = new_list(), values = new_list(), errors = new_list();
    Ref metric_name = self.attr("metric_name");
    const bool accuracy = args.global("ACCURACY_METRICS").contains(metric_name);
    const bool with_evidences = args.global("EVIDENCES").contains(metric_name) ||
                                (args.global("RAG_EVIDENCE_METRICS").contains(metric_name) &&
                                 args.global("RAG_SMALL_MODELS").contains(self.attr("metric_method")));
    Ref provider = args.global("EvaluationProvider").attr("DETECTORS").attr("value");
    Ref name = metric_name.equals("keyword") ? text("keyword_detection")
               : metric_name.equals("regex") ? text("regex_detection")
                                             : metric_name;
    Ref display_name = self.attr("metric_display_name"), method = self.attr("metric_method"),
        group = self.attr("metric_group"), thresholds = self.attr("thresholds");
    Ref error_class = args.global("Error"), record_class = args.global("RecordMetricResult");
    Ref error_key = interned("error"), detections_key = interned("detections"), score_key = interned("score");
    Ref zero = integer(0), one = integer(1);

    for (const auto& [result, record_id] : zip(results, record_ids)) {
        if (result.contains(error_key)) {
            Ref error = result[error_key];
            Ref code = error.attr("code"), message = error.attr("message_en").str();
            Ref record_errors = new_list_of({calls.error(error_class, {code, message})});
            append(record_results, calls.failed(record_class, {name, display_name, method, provider, group, record_id,
                                                               thresholds, Py_None, record_errors}));
            append(errors, calls.error(error_class, {code, message}));
            continue;
        }
        Ref detections = result[detections_key];
        Ref value = zero;
        if (detections.len() > 0) {
            Ref scores = new_list();
            for (const Ref& detection : iterate(detections)) append(scores, detection[score_key]);
            Ref highest = max(scores);
            value = round_number(accuracy ? one.sub(highest) : highest, 4);
        } else if (accuracy) {
            value = one;
        }
        Ref evidences = with_evidences ? self.method("_ScreeningProvider__get_additional_info", detections) : none();
        append(record_results,
               evidences.truthy() ? calls.with_evidences(record_class, {name, display_name, method, provider, group,
                                                                        record_id, thresholds, value, evidences})
                                  : calls.scored(record_class, {name, display_name, method, provider, group,
                                                                record_id, thresholds, value}));
        append(values, value);
    }

    CallArgs aggregate;
    Ref total_records = integer(results.len());
    Ref value, low, high, mean;
    const Py_ssize_t scored = values.len();
    if (scored > 0) {
        mean = round_number(builtin("sum")(values).truediv(integer(scored)), 4);
        low = builtin("min")(values);
        high = max(values);
        value = mean;
    } else {
        low = high = mean = none();
        value = text("Error");
    }
    aggregate.kw("name", metric_name).kw("display_name", display_name).kw("method", method).kw("group", group);
    aggregate.kw("provider", provider).kw("value", value).kw("total_records", total_records);
    aggregate.kw("record_level_metrics", record_results).kw("min", low).kw("max", high).kw("mean", mean);
    aggregate.kw("thresholds", thresholds);
    if (scored == 0) aggregate.kw("errors", errors);
    return aggregate.call(args.global("AggregateMetricResult"));
}

// ---- tool calls ------------------------------------------------------------------------------------------

// A cell holding JSON text becomes the decoded value; any other cell stays as it is.
Ref decode_text_cell(Invocation& args) {
    auto [cell] = args.bind<1>();
    if (!cell.is_str()) return Ref::borrow(cell);
    return args.global("json").method("loads", cell);
}

// ScreeningProvider.get_tool_calls_content(self, data)
Ref get_tool_calls_content(Invocation& args) {
    auto [self, data] = args.bind<2>();
    Ref tool_calls_content = new_list();
    Ref field = self.attr("configuration").attr("tool_calls_field");
    if (!field.truthy()) return tool_calls_content;

    Ref decode = make_function({.name = "decode_text_cell", .params = {Param("cell")}, .body = decode_text_cell},
                               args.globals());
    data.set_item(field, data[field].method("apply", decode));

    Ref extract = args.global("ToolCallMetricProvider").attr("extract_tool_calls_from_response");
    Ref loads = args.global("json").attr("loads");
    Ref function_key = text("function"), arguments_key = text("arguments");
    for (const Ref& pair : iterate(data.method("iterrows"))) {  // for _, row in data.iterrows():
        auto [index, row] = unpack<2>(pair);
        Ref tool_calls = extract(row[field]);
        for (const Ref& tool_call : iterate(tool_calls)) {
            Ref function = tool_call[function_key];
            Ref arguments = function[arguments_key];
            if (arguments.is_str()) function.set_item(arguments_key, loads(arguments));
        }
        append(tool_calls_content, tool_calls);
    }
    return tool_calls_content;
}

// ScreeningProvider.get_tools_catalog_content(self)
Ref get_tools_catalog_content(Invocation& args) {
    auto [self] = args.bind<1>();
    Ref tools = self.attr("configuration").attr("tools");
    if (tools.is_list()) {
        bool all_callable = true;
        for (const Ref& tool : iterate(tools)) all_callable = all_callable && tool.is_callable();
        if (all_callable) {
            Ref schemas = args.global("ToolCallMetricProvider")
                              .method("get_tools_list_schema", self.attr("configuration").attr("tools"));
            Ref dumped = new_list();
            for (const Ref& schema : iterate(schemas)) append(dumped, schema.method("model_dump"));
            return dumped;
        }
    }
    return self.attr("configuration").attr("tools");
}

// ---- the module ------------------------------------------------------------------------------------------

void exec(Module& m) {
    m.import("asyncio");
    m.import("json");
    m.from_import("typing", "Optional");
    m.import("aiohttp");
    m.import("pandas", "pd");
    m.from_import("vexmon_sdk", "APIClient", "VexmonClient");
    m.from_import("tessaly.config", "GenAIConfiguration");
    m.from_import("tessaly.entities.base_classes", "Error");
    m.from_import("tessaly.entities.enums", "EvaluationProvider");
    m.from_import("tessaly.entities.enums", "StonewatchRisks");
    m.from_import("tessaly.entities.enums", "MetricGroup");
    m.from_import("tessaly.entities.evaluation_result", "AggregateMetricResult");
    m.from_import("tessaly.entities.evaluation_result", "RecordMetricResult");
    m.from_import("tessaly.entities.metric_threshold", "MetricThreshold");
    m.from_import("tessaly.providers.tool_call_metric_provider", "ToolCallMetricProvider");
    m.from_import("tessaly.utils.async_util", "run_in_event_loop");
    m.from_import("tessaly.utils.python_utils", "get_authenticator_token");
    m.from_import("tessaly.utils.python_utils", "transform_str_to_list");

    m.set("ACCURACY_METRICS", list_of_texts({"topic_relevance", "tool_call_accuracy"}));
    m.set("RAG_EVIDENCE_METRICS", list_of_texts({"faithfulness", "context_relevance"}));
    m.set("RAG_SMALL_MODELS", list_of_texts({"faithfulness_model", "context_relevance_model"}));
    m.set("EVIDENCES", list_of_texts({"hap", "pii", "keyword", "regex"}));

    auto self = [] { return Param("self"); };
    auto text_param = [](const char* name) { return Param(name).exactly(&PyUnicode_Type); };
    auto list_param = [](const char* name) { return Param(name).exactly(&PyList_Type); };
    auto list_or_none = [](const char* name) { return Param(name).exactly(&PyList_Type, true); };

    ClassBuilder provider(m, "ScreeningProvider");
    provider.attr("RETRY_AFTER_STATUS_CODES", new_list_of({integer(502), integer(503), integer(504)}))
        .attr("RETRY_COUNT", integer(3))
        .attr("BACK_OFF_FACTOR", integer(1))
        .method({.name = "__init__",
                 .params = {self(), Param("configuration"), text_param("metric_name"),
                            text_param("metric_display_name"),
                            Param("metric_method").exactly(&PyUnicode_Type, true).defaults_to_none(),
                            Param("metric_group").defaults_to_none(),
                            list_param("thresholds").defaults_to_empty_list()},
                 .body = init,
                 .var_keywords = "kwargs"})
        .method({.name = "evaluate", .params = {self(), Param("data")}, .body = evaluate})
        .method({.name = "evaluate_async", .params = {self(), Param("data")}, .body = evaluate_async,
                 .coroutine = true})
        .private_method({.name = "__pre_process_data", .params = {self(), Param("data")}, .body = pre_process_data})
        .method({.name = "send_with_retries",
                 .params = {self(), Param("payload"), Param("session")},
                 .body = send_with_retries,
                 .coroutine = true})
        .private_method({.name = "__compute_metric",
                         .params = {self(), list_param("api_payloads")},
                         .body = compute_metric,
                         .coroutine = true})
        .private_method({.name = "__get_additional_info", .params = {self(), Param("results")},
                         .body = get_additional_info})
        .private_method({.name = "__post_process",
                         .params = {self(), list_param("results"), list_param("record_ids")},
                         .body = post_process})
        .private_method({.name = "__get_json_payloads",
                         .params = {self(), list_param("input_contents"), list_or_none("output_contents"),
                                    list_or_none("context_contents"), list_or_none("tools_catalog_content"),
                                    list_or_none("tool_calls_content")},
                         .body = get_json_payloads})
        .private_method({.name = "__get_headers", .params = {self()}, .body = get_headers})
        .method({.name = "get_detector_url", .params = {self(), Param("api_client")}, .body = get_detector_url})
        .method({.name = "get_service_instance_id", .params = {self(), Param("api_client")},
                 .body = get_service_instance_id})
        .method({.name = "set_metric_name", .params = {self(), Param("metric_name")}, .body = set_metric_name})
        .private_method({.name = "__get_base_url", .params = {self(), Param("metric_name")}, .body = get_base_url})
        .method({.name = "get_tool_calls_content", .params = {self(), Param("data")}, .body = get_tool_calls_content})
        .method({.name = "get_tools_catalog_content", .params = {self()}, .body = get_tools_catalog_content});
    m.set("ScreeningProvider", provider.build());
}

}  // namespace

TSY_MODULE(screening_provider, "Detector metrics computed by the remote detection service.", exec)
