// tessaly.providers.screening_provider: computes one detector metric over a table by
// sending one request per record to the detection service, with retries, and turning the
// detections into scores, evidences and errors.
#include "json_text.hpp"
#include "request_queue.hpp"
#include "support.hpp"

using namespace tsy;

namespace {

// `"..." + str(x) + "..."`
Ref error_text(const char* before, PyObject* name, const char* middle, PyObject* method, const char* after) {
    return text_format("%s%S%s%S%s", before, name, middle, method, after);
}

// ---- construction and addressing -------------------------------------------------------------------

Ref init(Invocation& a) {
    PyObject* self = a[0];
    PyObject* configuration = a[1];
    PyObject* metric_name = a[2];
    PyObject* metric_method = a[4];
    Ref api_client = dict_get(a.kwargs(), "api_client");
    if (!api_client || !truthy(api_client.get())) {
        raise(PyExc_ValueError, "%U", error_text("Tessaly SDK must be initialized to compute ", metric_name, " using ",
                                                 metric_method,
                                                 ". Please initialize the client to proceed, or remove this metric "
                                                 "from the evaluation.")
                                          .get());
    }
    if (!is_instance(getattr(api_client.get(), "vexmon_client").get(), a.global("VexmonClient").get())) {
        raise(PyExc_ValueError, "%U",
              error_text("Tessaly service instance id is required to compute ", metric_name, " using ", metric_method,
                         ". You can set the service instance ID using the `TSY_SERVICE_INSTANCE_ID` environment "
                         "variable in the notebook and retry.")
                  .get());
    }
    Ref tmpl = call_method(self, "_ScreeningProvider__get_base_url", metric_name);
    Ref root = call_method(self, "get_detector_url", api_client);
    setattr(self, "base_url", call_method(tmpl.get(), "format", root).get());
    setattr(self, "configuration", configuration);
    setattr(self, "configuration_", new_dict().get());
    setattr(self, "metric_name", metric_name);
    setattr(self, "metric_display_name", a[3]);
    setattr(self, "metric_method", metric_method);
    setattr(self, "metric_group", a[5]);
    setattr(self, "service_instance_id", call_method(self, "get_service_instance_id", api_client).get());
    setattr(self, "thresholds", a[6]);
    Ref params = dict_get(a.kwargs(), "detector_params");
    setattr(self, "detector_params", params ? params.get() : Py_None);
    return none();
}

Ref get_detector_url(Invocation& a) {
    PyObject* self = a[0];
    PyObject* api_client = a[1];
    setattr(self, "vexmon_client", getattr(api_client, "vexmon_client").get());
    setattr(self, "verify", boolean(!truthy(getattr(getattr(api_client, "credentials").get(), "disable_ssl").get())).get());
    Ref credentials = getattr(api_client, "credentials");
    if (truthy(getattr(credentials.get(), "version").get())) return getattr(getattr(api_client, "credentials").get(), "url");
    Ref table = import_from("tessaly.utils.endpoint_table", "VEXMON_ENDPOINT_TABLE");
    Ref record = call_method(table.get(), "get", getattr(getattr(api_client, "credentials").get(), "url"));
    return getattr(record.get(), "rivet_url");
}

Ref get_service_instance_id(Invocation& a) {
    setattr(a[0], "vexmon_client", getattr(a[1], "vexmon_client").get());
    return getattr(getattr(a[0], "vexmon_client").get(), "service_instance_id");
}

Ref set_metric_name(Invocation& a) {
    PyObject* self = a[0];
    Ref name = Ref::borrow(a[1]);
    if (text_equals(getattr(self, "metric_name").get(), "prompt_safety_risk") && text_equals(getattr(self, "metric_method").get(), "stonewatch"))
        name = text("harm");
    if (contains(call_method(a.global("StonewatchRisks").get(), "values").get(), name.get())) return text("stonewatch");
    return name;
}

Ref get_base_url(Invocation& a) {
    PyObject* name = a[1];
    if (text_equals(name, "answer_relevance")) return text("{}/ml/v1/text/detection/generated?version=2023-10-25");
    if (text_equals(name, "context_relevance") || text_equals(name, "faithfulness"))
        return text("{}/ml/v1/text/detection/context?version=2023-10-25");
    if (text_equals(name, "tool_call_accuracy")) return text("{}/ml/v1/text/detection/chat?version=2023-10-25");
    return text("{}/ml/v1/text/detection?version=2023-10-25");
}

Ref get_headers(Invocation& a) {
    PyObject* self = a[0];
    Ref headers = new_dict();
    dict_set(headers.get(), "Content-Type", interned("application/json").get());
    Ref token = call(a.global("get_authenticator_token"), getattr(getattr(self, "vexmon_client").get(), "authenticator"));
    Ref bearer = Ref::checked(PyUnicode_Concat(interned("Bearer ").get(), str(token.get()).get()));
    dict_set(headers.get(), "Authorization", bearer.get());
    dict_set(headers.get(), "x-governance-instance-id", getattr(self, "service_instance_id").get());
    dict_set(headers.get(), "origin", interned("sdk").get());
    return headers;
}

// ---- request bodies ------------------------------------------------------------------------------------

Ref pre_process_data(Invocation& a) {
    PyObject* self = a[0];
    PyObject* data = a[1];
    auto column = [&](const char* fields) {
        return get_item(data, item_at(getattr(getattr(self, "configuration").get(), fields).get(), 0).get());
    };
    Ref input_contents = call_method(column("input_fields").get(), "to_list");
    Ref output_contents = none(), context_contents = none(), tool_calls_content = none(), tools_catalog_content = none();
    Ref name = getattr(self, "metric_name");
    if (text_equals(name.get(), "answer_relevance") || text_equals(name.get(), "faithfulness"))
        output_contents = call_method(column("output_fields").get(), "to_list");
    if (text_equals(name.get(), "context_relevance") || text_equals(name.get(), "faithfulness")) {
        Ref context_fields = getattr(getattr(self, "configuration").get(), "context_fields");
        Py_ssize_t count = length(context_fields.get());
        if (count > 1) {
            context_contents = call_method(getattr(get_item(data, context_fields.get()).get(), "values").get(), "tolist");
        } else if (count == 1) {
            Ref cells = get_item(data, item_at(context_fields.get(), 0).get());
            context_contents = call_method(call_method(cells.get(), "apply", a.global("transform_str_to_list")).get(), "tolist");
        }
    }
    if (text_equals(name.get(), "tool_call_accuracy")) {
        tools_catalog_content = call_method(self, "get_tools_catalog_content");
        tool_calls_content = call_method(self, "get_tool_calls_content", data);
    }
    Ref payloads = call_method(self, "_ScreeningProvider__get_json_payloads", input_contents, output_contents,
                                context_contents, tools_catalog_content, tool_calls_content);
    Ref record_ids = call_method(get_item(data, getattr(getattr(self, "configuration").get(), "record_id_field").get()).get(), "to_list");
    return tuple_of({payloads.get(), record_ids.get()});
}

// zip(first, second): calls `each(a, b)` until either runs out.
template <class Each>
void zip_each(PyObject* first, PyObject* second, Each&& each) {
    Ref it1 = Ref::checked(PyObject_GetIter(first));
    Ref it2 = Ref::checked(PyObject_GetIter(second));
    for (;;) {
        Ref x = Ref::steal(PyIter_Next(it1.get()));
        if (!x) break;
        Ref y = Ref::steal(PyIter_Next(it2.get()));
        if (!y) break;
        each(x.get(), y.get());
    }
    if (PyErr_Occurred()) throw_error();
}

Ref get_json_payloads(Invocation& a) {
    PyObject* self = a[0];
    PyObject *inputs = a[1], *outputs = a[2], *contexts = a[3], *catalog = a[4], *tool_calls = a[5];
    Ref payloads = new_list();
    Ref name = getattr(self, "metric_name");
    Ref key = call_method(self, "set_metric_name", name);

    // {"detectors": {key: params or {}}, ...members}: the shared head is written once.
    Ref params = getattr(self, "detector_params");
    Ref detectors = new_dict();
    dict_set(detectors.get(), key.get(), truthy(params.get()) ? params.get() : new_dict().get());
    const std::optional<screening::BodyHead> head = screening::BodyHead::of(detectors.get());
    auto add = [&](std::initializer_list<screening::Member> members) {
        if (head) {
            if (auto text = head->body(members)) {
                append(payloads.get(), text->get());
                return;
            }
        }
        // Something the native writer does not write as json.dumps does: the body as a dict,
        // through json.dumps itself and its own errors.
        Ref b = new_dict();
        dict_set(b.get(), "detectors", detectors.get());
        for (const screening::Member& m : members) dict_set(b.get(), m.key, m.value);
        append(payloads.get(), call(getattr(a.global("json").get(), "dumps"), b).get());
    };

    if (text_equals(name.get(), "answer_relevance")) {
        zip_each(inputs, outputs, [&](PyObject* prompt, PyObject* generated) {
            add({{"prompt", prompt}, {"generated_text", generated}});
        });
    } else if (text_equals(name.get(), "context_relevance") || text_equals(name.get(), "faithfulness")) {
        const bool faithfulness = text_equals(name.get(), "faithfulness");
        Ref docs = tsy::text("docs");
        zip_each(faithfulness ? outputs : inputs, contexts, [&](PyObject* text, PyObject* context) {
            add({{"input", text}, {"context_type", docs.get()}, {"context", context}});
        });
    } else if (text_equals(name.get(), "tool_call_accuracy")) {
        Ref user_role = text("user"), assistant_role = text("assistant");
        zip_each(inputs, tool_calls, [&](PyObject* input, PyObject* calls) {
            Ref user = new_dict();
            dict_set(user.get(), "content", input);
            dict_set(user.get(), "role", user_role.get());
            Ref assistant = new_dict();
            dict_set(assistant.get(), "tool_calls", calls);
            dict_set(assistant.get(), "role", assistant_role.get());
            Ref messages = new_list_of({user.get(), assistant.get()});
            add({{"messages", messages.get()}, {"tools", catalog}});
        });
    } else {
        for_each(inputs, [&](PyObject* input) { add({{"input", input}}); });
    }
    return payloads;
}

// ---- sending ---------------------------------------------------------------------------------------------

Ref request_error(PyObject* globals, PyObject* code, PyObject* message) {
    Ref error = call(lookup_global(globals, "Error"), kw("code", code), kw("message_en", message));
    Ref result = new_dict();
    dict_set(result.get(), "error", error.get());
    return result;
}

// str(e), or the kind of failure when the exception has no text of its own (the client's
// TimeoutError has none), so that a failed record always says what happened.
Ref failure_text(const PyError& e) {
    Ref message = e.text();
    if (PyUnicode_GET_LENGTH(message.get()) > 0) return message;
    return getattr(e.type(), "__name__");
}

// One request, tried again after a gateway error with exponential back-off. Its failures
// become its result; only an exception that is not an ordinary error (a cancellation)
// leaves it. Each attempt waits for its turn on the wire before it starts (and so before the
// client's timeout of the request starts), and gives the turn back once its response is left:
// the back-off sleep holds neither a connection nor a turn.
Async send_with_retries_run(Ref globals, Ref self, Ref payload, Ref session) {
    PyObject* g = globals.get();
    Ref queue = screening::queue_of(session.get());
    // Only the iterator is kept: the range object would stay alive beside it for as long
    // as the request is in flight.
    Ref it = Ref::checked(
        PyObject_GetIter(call(reinterpret_cast<PyObject*>(&PyRange_Type), getattr(self.get(), "RETRY_COUNT")).get()));
    while (Ref attempt = Ref::steal(PyIter_Next(it.get()))) {
        screening::Turn turn(queue);
        Ref waiting = turn.take();
        if (waiting) {
            Ref handing = waiting;
            try {
                co_await std::move(waiting);
            } catch (...) {
                turn.abandon(handing);
                throw;
            }
        }
        Ref result, wait;
        try {
            Ref request;
            {  // the arguments go with the call: the session keeps what it needs of them
                Ref url = getattr(self.get(), "base_url");
                Ref headers = call_method(self.get(), "_ScreeningProvider__get_headers");
                Ref verify = getattr(self.get(), "verify");
                request = call(getattr(session.get(), "post"), kw("url", url), kw("headers", headers),
                               kw("data", payload), kw("ssl", verify));
            }
            // async with request as response: (inline, so a request in flight holds one frame)
            AsyncWith with(request.get());
            request.reset();  // the bound __aexit__ holds it from here on
            Ref entering = with.enter();
            Ref response = co_await std::move(entering);
            Ref failure;
            try {
                Ref status = getattr(response.get(), "status");
                Ref reading = call_method(response.get(), "text");
                Ref body = co_await std::move(reading);
                Ref json = lookup_global(g, "json");
                // A gateway error with attempts left is tried again after a wait.
                auto retried = [&] {
                    if (!contains(getattr(self.get(), "RETRY_AFTER_STATUS_CODES").get(), status.get())) return false;
                    Ref last = Ref::checked(PyNumber_Subtract(getattr(self.get(), "RETRY_COUNT").get(), integer(1).get()));
                    return truthy(Ref::checked(PyObject_RichCompare(attempt.get(), last.get(), Py_LT)).get());
                };
                if (equal(status.get(), integer(200).get())) {
                    result = call_method(json.get(), "loads", body);
                } else if (retried()) {
                    Ref power = Ref::checked(PyNumber_Power(integer(2).get(), attempt.get(), Py_None));
                    wait = Ref::checked(PyNumber_Multiply(getattr(self.get(), "BACK_OFF_FACTOR").get(), power.get()));
                } else {
                    Ref decoded = call_method(json.get(), "loads", body);
                    result = request_error(g, str(status.get()).get(), str(decoded.get()).get());
                }
            } catch (...) {
                failure = caught();
            }
            AsyncExit exiting = with.exit(failure);
            co_await std::move(exiting);
        } catch (PyError& e) {
            if (!e.is_exception()) throw;
            co_return request_error(g, text("REQUEST_FAILED").get(), failure_text(e).get());
        }
        turn.give_back();
        if (!wait) co_return result ? result : none();
        turn.sleeping(true);
        try {
            Ref sleeping = call_method(lookup_global(g, "asyncio").get(), "sleep", wait);
            co_await std::move(sleeping);
        } catch (...) {
            turn.sleeping(false);
            throw;
        }
        turn.sleeping(false);
    }
    if (PyErr_Occurred()) throw_error();
    co_return none();
}

Ref send_with_retries(Invocation& a) {
    return make_coroutine(send_with_retries_run(Ref::borrow(a.globals()), Ref::borrow(a[0]), Ref::borrow(a[1]),
                                                Ref::borrow(a[2])), a);
}

// All requests over one session, which is closed however the sending ends; as many on the
// wire at once as the session has connections (request_queue.hpp).
Async compute_metric_run(Ref globals, Ref self, Ref payloads) {
    Ref session = call(getattr(lookup_global(globals.get(), "aiohttp").get(), "ClientSession"));
    auto send_on = [&](Ref entered) -> Async {
        Ref send = getattr(self.get(), "send_with_retries");
        Async sending = screening::send_all(send, payloads, entered, screening::turns_of(entered.get()));
        co_return co_await std::move(sending);
    };
    Async sending = async_with(session, send_on);
    Ref responses = co_await std::move(sending);
    co_return responses;
}

Ref compute_metric(Invocation& a) {
    return make_coroutine(compute_metric_run(Ref::borrow(a.globals()), Ref::borrow(a[0]), Ref::borrow(a[1])), a);
}

Async evaluate_async_run(Ref self, Ref data) {
    try {
        Ref prepared = call_method(self.get(), "_ScreeningProvider__pre_process_data", kw("data", data));
        auto parts = unpack(prepared.get(), 2);
        Ref computing = call_method(self.get(), "_ScreeningProvider__compute_metric", parts[0]);
        Ref results = co_await computing;
        co_return call_method(self.get(), "_ScreeningProvider__post_process", results, parts[1]);
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        Ref message = text_format("Error while computing metrics: %S. Reason: %S", getattr(self.get(), "metric_name").get(),
                                  e.exception().get());
        raise_in_context(new_exception(PyExc_Exception, message.get()), e);
    }
}

Ref evaluate_async(Invocation& a) {
    return make_coroutine(evaluate_async_run(Ref::borrow(a[0]), Ref::borrow(a[1])), a);
}

Ref evaluate(Invocation& a) {
    return call(a.global("run_in_event_loop"), getattr(a[0], "evaluate_async"), kw("data", a[1]));
}

// ---- results ---------------------------------------------------------------------------------------------

Ref get_additional_info(Invocation& a) {
    PyObject* self = a[0];
    Ref evidences = new_list();
    const bool retrieval = contains(a.global("RAG_EVIDENCE_METRICS").get(), getattr(self, "metric_name").get());
    for_each(a[1], [&](PyObject* detection) {
        if (retrieval) {
            append(evidences.get(), item_at(get_item(detection, interned("evidence").get()).get(), 0).get());
            return;
        }
        Ref evidence = new_dict();
        for (const char* member : {"text", "score", "start", "end"})
            dict_set(evidence.get(), member, get_item(detection, interned(member).get()).get());
        append(evidences.get(), evidence.get());
    });
    return evidences;
}

// The keyword shapes of the results, made once (never freed: they outlive the interpreter's
// last use of the module).
struct ResultCalls {
    KeywordCall scored{"name", "display_name", "method", "provider", "group", "record_id", "thresholds", "value"};
    KeywordCall with_evidences{"name", "display_name", "method", "provider", "group", "record_id", "thresholds",
                               "value", "evidences"};
    KeywordCall failed{"name", "display_name", "method", "provider", "group", "record_id", "thresholds",
                       "value", "errors"};
    KeywordCall error{"code", "message_en"};
};
const ResultCalls& result_calls() {
    static const ResultCalls* calls = new ResultCalls();
    return *calls;
}

Ref post_process(Invocation& a) {
    PyObject* self = a[0];
    PyObject* results = a[1];
    const ResultCalls& calls = result_calls();
    static PyObject* max = builtin("max");
    Ref record_results = new_list(), values = new_list(), errors = new_list();
    Ref metric_name = getattr(self, "metric_name");
    const bool accuracy = contains(a.global("ACCURACY_METRICS").get(), metric_name.get());
    const bool with_evidences = contains(a.global("EVIDENCES").get(), metric_name.get()) ||
                                (contains(a.global("RAG_EVIDENCE_METRICS").get(), metric_name.get()) &&
                                 contains(a.global("RAG_SMALL_MODELS").get(), getattr(self, "metric_method").get()));
    Ref provider = getattr(getattr(a.global("EvaluationProvider"), "DETECTORS"), "value");
    Ref record_name = text_equals(metric_name.get(), "keyword") ? text("keyword_detection")
                      : text_equals(metric_name.get(), "regex") ? text("regex_detection")
                                                                : metric_name;
    Ref display_name = getattr(self, "metric_display_name"), method = getattr(self, "metric_method"),
        group = getattr(self, "metric_group"), thresholds = getattr(self, "thresholds");
    Ref error_class = a.global("Error");
    Ref record_class = a.global("RecordMetricResult");
    Ref error_key = interned("error"), detections_key = interned("detections"), score_key = interned("score");
    Ref zero = integer(0), one = integer(1);

    zip_each(results, a[2], [&](PyObject* result, PyObject* record_id) {
        if (contains(result, error_key.get())) {
            Ref error = get_item(result, error_key.get());
            Ref code = getattr(error, "code");
            Ref message = str(getattr(error, "message_en").get());
            Ref record_errors = new_list_of({calls.error(error_class.get(), {code.get(), message.get()}).get()});
            append(record_results.get(), calls.failed(record_class.get(), {record_name.get(), display_name.get(), method.get(),
                                                                           provider.get(), group.get(), record_id,
                                                                           thresholds.get(), Py_None, record_errors.get()})
                                             .get());
            append(errors.get(), calls.error(error_class.get(), {code.get(), message.get()}).get());
            return;
        }
        Ref detections = get_item(result, detections_key.get());
        Ref value = zero;
        if (length(detections.get()) > 0) {
            Ref scores = new_list();
            for_each(detections.get(), [&](PyObject* d) { append(scores.get(), get_item(d, score_key.get()).get()); });
            Ref highest = call(max, scores);
            value = round_number(accuracy ? Ref::checked(PyNumber_Subtract(one.get(), highest.get())).get() : highest.get(), 4);
        } else if (accuracy) {
            value = one;
        }
        Ref evidences = with_evidences ? call_method(self, "_ScreeningProvider__get_additional_info", detections) : none();
        Ref record = truthy(evidences.get())
                         ? calls.with_evidences(record_class.get(), {record_name.get(), display_name.get(), method.get(),
                                                                     provider.get(), group.get(), record_id,
                                                                     thresholds.get(), value.get(), evidences.get()})
                         : calls.scored(record_class.get(), {record_name.get(), display_name.get(), method.get(),
                                                             provider.get(), group.get(), record_id, thresholds.get(),
                                                             value.get()});
        append(record_results.get(), record.get());
        append(values.get(), value.get());
    });

    CallArgs aggregate;
    Ref total = integer(length(results));
    Ref value, low, high, mean;
    if (PyList_GET_SIZE(values.get()) > 0) {
        static PyObject* sum = builtin("sum");
        static PyObject* min = builtin("min");
        Ref count = integer(PyList_GET_SIZE(values.get()));
        mean = round_number(Ref::checked(PyNumber_TrueDivide(call(sum, values).get(), count.get())).get(), 4);
        low = call(min, values);
        high = call(max, values);
        value = mean;
    } else {
        low = high = mean = none();
        value = text("Error");
    }
    aggregate.kw("name", metric_name).kw("display_name", display_name).kw("method", method).kw("group", group)
        .kw("provider", provider).kw("value", value).kw("total_records", total)
        .kw("record_level_metrics", record_results).kw("min", low).kw("max", high).kw("mean", mean)
        .kw("thresholds", thresholds);
    if (PyList_GET_SIZE(values.get()) == 0) aggregate.kw("errors", errors);
    return aggregate.call(a.global("AggregateMetricResult").get());
}

// ---- tool calls ------------------------------------------------------------------------------------------

// A cell holding JSON text becomes the decoded value; any other cell stays as it is.
Ref decode_text_cell(Invocation& a) {
    PyObject* cell = a[0];
    if (!PyUnicode_Check(cell)) return Ref::borrow(cell);
    return call_method(a.global("json").get(), "loads", cell);
}

Ref get_tool_calls_content(Invocation& a) {
    PyObject* self = a[0];
    PyObject* data = a[1];
    Ref result = new_list();
    Ref field = getattr(getattr(self, "configuration").get(), "tool_calls_field");
    if (!truthy(field.get())) return result;

    Ref decode = make_function({.name = "decode_text_cell", .params = {Param("cell")}, .body = decode_text_cell},
                               a.globals());
    set_item(data, field.get(), call_method(get_item(data, field.get()).get(), "apply", decode).get());

    Ref extract = getattr(a.global("ToolCallMetricProvider").get(), "extract_tool_calls_from_response");
    Ref loads = getattr(a.global("json").get(), "loads");
    Ref function_key = text("function"), arguments_key = text("arguments");
    for_each(call_method(data, "iterrows").get(), [&](PyObject* pair) {
        Ref row = item_at(pair, 1);
        Ref tool_calls = call(extract, get_item(row.get(), field.get()));
        for_each(tool_calls.get(), [&](PyObject* tool_call) {
            Ref function = get_item(tool_call, function_key.get());
            Ref arguments = get_item(function.get(), arguments_key.get());
            if (PyUnicode_Check(arguments.get())) set_item(function.get(), arguments_key.get(), call(loads, arguments).get());
        });
        append(result.get(), tool_calls.get());
    });
    return result;
}

Ref get_tools_catalog_content(Invocation& a) {
    PyObject* self = a[0];
    Ref tools = getattr(getattr(self, "configuration").get(), "tools");
    if (PyList_Check(tools.get())) {
        bool all_callable = true;
        for_each(tools.get(), [&](PyObject* tool) { all_callable = all_callable && PyCallable_Check(tool); });
        if (all_callable) {
            Ref schemas = call_method(a.global("ToolCallMetricProvider").get(), "get_tools_list_schema",
                                      getattr(getattr(self, "configuration").get(), "tools"));
            Ref dumped = new_list();
            for_each(schemas.get(), [&](PyObject* schema) { append(dumped.get(), call_method(schema, "model_dump").get()); });
            return dumped;
        }
    }
    return getattr(getattr(self, "configuration").get(), "tools");
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

    Ref retry_statuses = new_list_of({integer(502).get(), integer(503).get(), integer(504).get()});
    auto self = [] { return Param("self"); };
    auto list_or_none = [](const char* name) { return Param(name).exactly(&PyList_Type, true); };

    ClassBuilder provider(m, "ScreeningProvider");
    provider.attr("RETRY_AFTER_STATUS_CODES", retry_statuses)
        .attr("RETRY_COUNT", integer(3))
        .attr("BACK_OFF_FACTOR", integer(1))
        .method({.name = "__init__",
                 .params = {self(), Param("configuration"), Param("metric_name").exactly(&PyUnicode_Type),
                            Param("metric_display_name").exactly(&PyUnicode_Type),
                            Param("metric_method").exactly(&PyUnicode_Type, true).defaults_to_none(),
                            Param("metric_group").defaults_to_none(),
                            Param("thresholds").exactly(&PyList_Type).defaults_to_empty_list()},
                 .body = init,
                 .var_keywords = "kwargs"})
        .method({.name = "evaluate", .params = {self(), Param("data")}, .body = evaluate})
        .method({.name = "evaluate_async", .params = {self(), Param("data")}, .body = evaluate_async, .coroutine = true})
        .private_method({.name = "__pre_process_data", .params = {self(), Param("data")}, .body = pre_process_data})
        .method({.name = "send_with_retries",
                 .params = {self(), Param("payload"), Param("session")},
                 .body = send_with_retries,
                 .coroutine = true})
        .private_method({.name = "__compute_metric",
                         .params = {self(), Param("api_payloads").exactly(&PyList_Type)},
                         .body = compute_metric,
                         .coroutine = true})
        .private_method({.name = "__get_additional_info", .params = {self(), Param("results")}, .body = get_additional_info})
        .private_method({.name = "__post_process",
                         .params = {self(), Param("results").exactly(&PyList_Type), Param("record_ids").exactly(&PyList_Type)},
                         .body = post_process})
        .private_method({.name = "__get_json_payloads",
                         .params = {self(), Param("input_contents").exactly(&PyList_Type), list_or_none("output_contents"),
                                    list_or_none("context_contents"), list_or_none("tools_catalog_content"),
                                    list_or_none("tool_calls_content")},
                         .body = get_json_payloads})
        .private_method({.name = "__get_headers", .params = {self()}, .body = get_headers})
        .method({.name = "get_detector_url", .params = {self(), Param("api_client")}, .body = get_detector_url})
        .method({.name = "get_service_instance_id", .params = {self(), Param("api_client")}, .body = get_service_instance_id})
        .method({.name = "set_metric_name", .params = {self(), Param("metric_name")}, .body = set_metric_name})
        .private_method({.name = "__get_base_url", .params = {self(), Param("metric_name")}, .body = get_base_url})
        .method({.name = "get_tool_calls_content", .params = {self(), Param("data")}, .body = get_tool_calls_content})
        .method({.name = "get_tools_catalog_content", .params = {self()}, .body = get_tools_catalog_content});
    m.set("ScreeningProvider", provider.build());
}

}  // namespace

TSY_MODULE(screening_provider, "Detector metrics computed by the remote detection service.", exec)
