// tessaly.evaluators.impl.risk_runner: evaluates the risks of a foundation model through the
// risk plug-in, reports the evaluation and converts the plug-in's nested result.
#include "support.hpp"

using namespace tsy;

namespace {


// The hosting service's URL of the governance service's region.
Ref rivet_url_for(PyObject* globals, PyObject* governance_url) {
    Ref record = call_method(lookup_global(globals, "VEXMON_ENDPOINT_TABLE").get(), "get", governance_url);
    return getattr(record.get(), "rivet_url");
}

Ref evaluate_model_risk(Invocation& a) {
    PyObject* configuration = a[0];
    Ref api_client = Ref::borrow(a[1]);
    if (!truthy(api_client.get())) api_client = call(a.global("APIClient"));
    Ref meter_client = call(a.global("MeterClient"), kw("vexmon_client", getattr(api_client, "vexmon_client")));

    auto pair = unpack(call(a.global("build_system_credentials"), configuration, getattr(api_client, "credentials")).get(), 2);
    Ref plugin = call(a.global("EvaluateFMRisk"), kw("system_credentials", pair[0]),
                      kw("foundation_model_name", getattr(getattr(configuration, "model_details"), "model_name")),
                      kw("risk_dimensions", getattr(configuration, "risk_dimensions")), kw("scoring_function", pair[1]),
                      kw("max_sample_size", getattr(configuration, "max_sample_size")));

    Ref results, pdf_file_path;
    try {
        results = call_method(plugin.get(), "evaluate_fm_risks");
        Ref print = getattr(Ref::checked(PyImport_ImportModule("builtins")).get(), "print");
        call(print, results);
        pdf_file_path = none();
        if (truthy(getattr(configuration, "pdf_report_output_path").get()))
            pdf_file_path = call_method(plugin.get(), "get_pdf_report", results, getattr(configuration, "pdf_report_output_path"),
                                        getattr(configuration, "thresholds"));
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        Ref message = text_format("Error while evaluating FM risks. Reason: %S", e.exception().get());
        raise_in_context(new_exception(PyExc_Exception, message.get()), e);
    }

    call_method(meter_client.get(), "update_evaluations");

    Ref output_file_path = truthy(pdf_file_path.get()) ? str(pdf_file_path.get()) : none();
    Ref mr_result = call(a.global("ModelRiskResult"), kw("risks", new_list()), kw("output_file_path", output_file_path));

    try {
        Ref risks = getattr(mr_result, "risks");
        Ref risk_class = a.global("Risk"), benchmark_class = a.global("Benchmark"), metric_class = a.global("RiskMetric");
        for_each(call_method(results.get(), "items").get(), [&](PyObject* risk_item) {
            auto risk = unpack(risk_item, 2);
            Ref benchmarks = new_list();
            for_each(call_method(risk[1].get(), "items").get(), [&](PyObject* benchmark_item) {
                auto benchmark = unpack(benchmark_item, 2);
                Ref metrics = new_list();
                for_each(call_method(benchmark[1].get(), "items").get(), [&](PyObject* metric_item) {
                    auto metric = unpack(metric_item, 2);
                    append(metrics.get(), call(metric_class, kw("name", metric[0]), kw("value", metric[1])).get());
                });
                append(benchmarks.get(), call(benchmark_class, kw("name", benchmark[0]), kw("metrics", metrics)).get());
            });
            call_method(risks.get(), "append", call(risk_class, kw("name", risk[0]), kw("benchmarks", benchmarks)));
        });
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        Ref message = text_format("Failed to parse model risk result. %S", e.exception().get());
        raise_in_context(new_exception(PyExc_ValueError, message.get()), e);
    }
    return mr_result;
}

Ref build_system_credentials(Invocation& a) {
    PyObject* configuration = a[0];
    PyObject* credentials = a[1];
    Ref system = new_dict();
    Ref scoring_function = none();
    Ref model = getattr(configuration, "model_details");

    if (is_instance(model.get(), a.global("NimbalFoundationModel").get())) {
        dict_set(system.get(), "lumora_ai_project_id", getattr(model, "project_id").get());
        Ref nimbal_client = call(a.global("get_ozri_credentials"), credentials);
        call(a.global("check_if_model_id_is_valid"), getattr(model, "model_id"), nimbal_client);
        dict_set(system.get(), "lumora_ai_model_id", getattr(model, "model_id").get());
        Ref own = getattr(getattr(model, "provider"), "credentials");
        if (truthy(own.get())) {
            dict_set(system.get(), "lumora_ai_endpoint_url", getattr(own, "url").get());
            if (truthy(getattr(own, "version").get())) {
                dict_set(system.get(), "lumora_ai_dpx_username", getattr(own, "username").get());
                dict_set(system.get(), "lumora_ai_dpx_apikey", getattr(own, "api_key").get());
            } else {
                dict_set(system.get(), "lumora_ai_cloud_apikey", getattr(own, "api_key").get());
            }
        } else if (truthy(getattr(credentials, "version").get())) {
            dict_set(system.get(), "lumora_ai_endpoint_url", getattr(credentials, "url").get());
            dict_set(system.get(), "lumora_ai_dpx_username", getattr(credentials, "username").get());
            dict_set(system.get(), "lumora_ai_dpx_apikey", getattr(credentials, "api_key").get());
        } else {
            dict_set(system.get(), "lumora_ai_cloud_apikey", getattr(credentials, "api_key").get());
            dict_set(system.get(), "lumora_ai_endpoint_url", rivet_url_for(a.globals().get(), getattr(credentials, "url").get()).get());
        }
    } else if (is_instance(model.get(), a.global("CustomFoundationModel").get())) {
        scoring_function = getattr(model, "_scoring_fn");
    }

    Ref console = getattr(configuration, "lumora_gc_configuration");
    if (truthy(console.get())) {
        auto console_credential = [&](const char* name) { return getattr(getattr(console, "credentials"), name); };
        dict_set(system.get(), "op_url", console_credential("url").get());
        dict_set(system.get(), "op_username", console_credential("username").get());
        dict_set(system.get(), "op_password", console_credential("password").get());
        dict_set(system.get(), "op_model_id", getattr(console, "model_id").get());
        dict_set(system.get(), "op_apikey", console_credential("api_key").get());
        int dpx = PySequence_Contains(dict_get(system.get(), "op_url").get(), text("dpx").get());
        if (dpx < 0) throw_error();
        if (dpx) {
            dict_set(system.get(), "op_dpx_apikey", console_credential("api_key").get());
            Ref parts = call(a.global("urlsplit"), console_credential("url"));
            dict_set(system.get(), "op_dpx_host", getattr(parts, "netloc").get());
        }
    }
    return tuple_of({system.get(), scoring_function.get()});
}

Ref get_ozri_credentials(Invocation& a) {
    PyObject* credentials = a[0];
    Ref credentials_class = a.global("LumoraAICredentials");
    Ref signature = call_method(a.global("inspect").get(), "signature", getattr(credentials_class, "__init__"));
    Ref shared_fields = new_dict();
    for_each(getattr(signature, "parameters").get(), [&](PyObject* name) {
        if (!PyUnicode_Check(name)) return;
        Ref value = Ref::steal(PyObject_GetAttr(credentials, name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
            PyErr_Clear();
            return;
        }
        dict_set(shared_fields.get(), name, value.get());
    });
    if (truthy(getattr(credentials, "version").get()))
        dict_set(shared_fields.get(), "instance_id", text("cairnhost").get());
    else
        dict_set(shared_fields.get(), "url", rivet_url_for(a.globals().get(), getattr(credentials, "url").get()).get());
    Ref hosting_credentials = CallArgs().merge(shared_fields.get()).call(credentials_class.get());
    return call(a.global("LumoraAIAPIClient"), hosting_credentials);
}

Ref check_if_model_id_is_valid(Invocation& a) {
    Ref manager = call(a.global("FoundationModelsManager"), a[1]);
    Ref specs = call(getattr(manager.get(), "get_model_specs"), kw("model_id", a[0]));
    if (truthy(specs.get())) return none();
    Ref all = call(getattr(manager.get(), "get_model_specs"), kw("get_all", Py_True));
    Ref available = new_list();
    for_each(get_item(all.get(), text("resources").get()).get(), [&](PyObject* resource) {
        append(available.get(), get_item(resource, text("model_id").get()).get());
    });
    raise(PyExc_ValueError,
          "The Model ID provided is not supported for your environment. Here is a list of the available models: %S",
          available.get());
}

void exec(Module& m) {
    m.import("inspect");
    m.from_import("urllib.parse", "urlsplit");
    m.from_import("quorra_metrics_plugin.mra.evaluate_fm_risk", "EvaluateFMRisk");
    m.from_import("nimbalkit.client", "APIClient", "LumoraAIAPIClient");
    m.from_import("nimbalkit.credentials", "Credentials", "LumoraAICredentials");
    m.from_import("nimbalkit.foundation_models_manager", "FoundationModelsManager");
    m.from_import("tessaly.clients.api_client", "APIClient");
    m.from_import("tessaly.clients.meter_client", "MeterClient");
    m.from_import("tessaly.config.model_risk_configuration", "ModelRiskConfiguration");
    m.from_import("tessaly.entities.credentials", "NimbalCredentials");
    m.from_import("tessaly.entities.foundation_model", "CustomFoundationModel");
    m.from_import("tessaly.entities.foundation_model", "NimbalFoundationModel");
    m.from_import("tessaly.entities.model_risk_result", "Benchmark");
    m.from_import("tessaly.entities.model_risk_result", "ModelRiskResult");
    m.from_import("tessaly.entities.model_risk_result", "Risk");
    m.from_import("tessaly.entities.model_risk_result", "RiskMetric");
    m.from_import("tessaly.utils.endpoint_table", "VEXMON_ENDPOINT_TABLE");

    m.def({.name = "_evaluate_model_risk",
           .params = {Param("configuration").annotated("ModelRiskConfiguration"),
                      Param("api_client").annotated("APIClient | None").defaults_to_none()},
           .body = evaluate_model_risk,
           .returns = "ModelRiskResult"});
    m.def({.name = "build_system_credentials",
           .params = {Param("configuration"), Param("credentials")},
           .body = build_system_credentials});
    m.def({.name = "get_ozri_credentials", .params = {Param("tessaly_credentials")}, .body = get_ozri_credentials});
    m.def({.name = "check_if_model_id_is_valid",
           .params = {Param("model_id"), Param("nimbal_client")},
           .body = check_if_model_id_is_valid});
}

}  // namespace

TSY_MODULE(risk_runner, "Risk evaluation of foundation models through the risk plug-in.", exec)
