// tessaly.evaluators.impl.risk_runner: evaluates the risks of a foundation model through the
// risk plug-in, reports the evaluation and converts the plug-in's nested result.
#include "support.hpp"

using namespace tsy;

namespace {

constexpr const char* kEvaluationFailed = "Error while evaluating FM risks. Reason: %S";
constexpr const char* kUnparsable = "Failed to parse model risk result. %S";
constexpr const char* kModelNotOffered =
    "The Model ID provided is not supported for your environment. Here is a list of the available models: %S";

// VEXMON_ENDPOINT_TABLE.get(governance_url).rivet_url: the hosting service's URL of the
// governance service's region.
Ref rivet_url_for(const Invocation& args, Handle governance_url) {
    return args.global("VEXMON_ENDPOINT_TABLE").method("get", governance_url).attr("rivet_url");
}

// _evaluate_model_risk(configuration, api_client=None)
Ref evaluate_model_risk(Invocation& args) {
    auto [configuration, api_client] = args.bind<2>();
    Ref default_client;  // the client made here, when none is given; api_client then borrows it
    if (!api_client.truthy()) api_client = default_client = args.global("APIClient")();
    Ref meter_client = args.global("MeterClient")(kw("vexmon_client", api_client.attr("vexmon_client")));

    auto [system_credentials, scoring_function] =
        unpack<2>(args.global("build_system_credentials")(configuration, api_client.attr("credentials")));
    Ref plugin = args.global("EvaluateFMRisk")(
        kw("system_credentials", system_credentials),
        kw("foundation_model_name", configuration.attr("model_details").attr("model_name")),
        kw("risk_dimensions", configuration.attr("risk_dimensions")), kw("scoring_function", scoring_function),
        kw("max_sample_size", configuration.attr("max_sample_size")));

    Ref risks_metrics_results, pdf_file_path;
    try {
        risks_metrics_results = plugin.method("evaluate_fm_risks");
        builtin("print")(risks_metrics_results);
        pdf_file_path = none();
        if (configuration.attr("pdf_report_output_path").truthy())
            pdf_file_path = plugin.method("get_pdf_report", risks_metrics_results,
                                          configuration.attr("pdf_report_output_path"),
                                          configuration.attr("thresholds"));
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        raise_in_context(new_exception(PyExc_Exception, text_format(kEvaluationFailed, e.exception())), e);
    }

    meter_client.method("update_evaluations");

    Ref output_file_path = pdf_file_path.truthy() ? pdf_file_path.str() : none();
    Ref mr_result = args.global("ModelRiskResult")(kw("risks", new_list()), kw("output_file_path", output_file_path));

    try {
        Ref risks = mr_result.attr("risks");
        Ref risk_class = args.global("Risk"), benchmark_class = args.global("Benchmark"),
            metric_class = args.global("RiskMetric");
        for (const Ref& risk_item : iterate(risks_metrics_results.method("items"))) {
            auto [risk_name, benchmark_results] = unpack<2>(risk_item);
            Ref benchmarks = new_list();
            for (const Ref& benchmark_item : iterate(benchmark_results.method("items"))) {
                auto [benchmark_name, metric_results] = unpack<2>(benchmark_item);
                Ref metrics = new_list();
                for (const Ref& metric_item : iterate(metric_results.method("items"))) {
                    auto [metric_name, value] = unpack<2>(metric_item);
                    append(metrics, metric_class(kw("name", metric_name), kw("value", value)));
                }
                append(benchmarks, benchmark_class(kw("name", benchmark_name), kw("metrics", metrics)));
            }
            risks.method("append", risk_class(kw("name", risk_name), kw("benchmarks", benchmarks)));
        }
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
        raise_in_context(new_exception(PyExc_ValueError, text_format(kUnparsable, e.exception())), e);
    }
    return mr_result;
}

// build_system_credentials(configuration, credentials) -> (system_credentials, scoring_function)
Ref build_system_credentials(Invocation& args) {
    auto [configuration, credentials] = args.bind<2>();
    Ref system_credentials = new_dict();
    Ref scoring_function = none();
    Ref model = configuration.attr("model_details");

    if (model.isinstance(args.global("NimbalFoundationModel"))) {
        system_credentials.set_item("lumora_ai_project_id", model.attr("project_id"));
        Ref nimbal_client = args.global("get_ozri_credentials")(credentials);
        args.global("check_if_model_id_is_valid")(model.attr("model_id"), nimbal_client);
        system_credentials.set_item("lumora_ai_model_id", model.attr("model_id"));
        Ref own = model.attr("provider").attr("credentials");
        if (own.truthy()) {
            system_credentials.set_item("lumora_ai_endpoint_url", own.attr("url"));
            if (own.attr("version").truthy()) {
                system_credentials.set_item("lumora_ai_dpx_username", own.attr("username"));
                system_credentials.set_item("lumora_ai_dpx_apikey", own.attr("api_key"));
            } else {
                system_credentials.set_item("lumora_ai_cloud_apikey", own.attr("api_key"));
            }
        } else if (credentials.attr("version").truthy()) {
            system_credentials.set_item("lumora_ai_endpoint_url", credentials.attr("url"));
            system_credentials.set_item("lumora_ai_dpx_username", credentials.attr("username"));
            system_credentials.set_item("lumora_ai_dpx_apikey", credentials.attr("api_key"));
        } else {
            system_credentials.set_item("lumora_ai_cloud_apikey", credentials.attr("api_key"));
            system_credentials.set_item("lumora_ai_endpoint_url", rivet_url_for(args, credentials.attr("url")));
        }
    } else if (model.isinstance(args.global("CustomFoundationModel"))) {
        scoring_function = model.attr("_scoring_fn");
    }

    Ref console = configuration.attr("lumora_gc_configuration");
    if (console.truthy()) {
        auto console_credential = [&](const char* name) { return console.attr("credentials").attr(name); };
        system_credentials.set_item("op_url", console_credential("url"));
        system_credentials.set_item("op_username", console_credential("username"));
        system_credentials.set_item("op_password", console_credential("password"));
        system_credentials.set_item("op_model_id", console.attr("model_id"));
        system_credentials.set_item("op_apikey", console_credential("api_key"));
        if (system_credentials["op_url"].contains(text("dpx"))) {
            system_credentials.set_item("op_dpx_apikey", console_credential("api_key"));
            Ref parts = args.global("urlsplit")(console_credential("url"));
            system_credentials.set_item("op_dpx_host", parts.attr("netloc"));
        }
    }
    return tuple_of({system_credentials, scoring_function});
}

// get_ozri_credentials(tessaly_credentials)
Ref get_ozri_credentials(Invocation& args) {
    auto [tessaly_credentials] = args.bind<1>();
    Ref credentials_class = args.global("LumoraAICredentials");
    Ref signature = args.global("inspect").method("signature", credentials_class.attr("__init__"));
    Ref shared_fields = new_dict();
    for (const Ref& name : iterate(signature.attr("parameters"))) {
        if (!name.is_str()) continue;
        // if hasattr(tessaly_credentials, name): shared_fields[name] = getattr(...), read once
        if (Ref value = getattr_or(tessaly_credentials, name, nullptr)) shared_fields.set_item(name, value);
    }
    if (tessaly_credentials.attr("version").truthy())
        shared_fields.set_item("instance_id", text("cairnhost"));
    else
        shared_fields.set_item("url", rivet_url_for(args, tessaly_credentials.attr("url")));
    Ref hosting_credentials = CallArgs().merge(shared_fields).call(credentials_class);  // LumoraAICredentials(**...)
    return args.global("LumoraAIAPIClient")(hosting_credentials);
}

// check_if_model_id_is_valid(model_id, nimbal_client)
Ref check_if_model_id_is_valid(Invocation& args) {
    auto [model_id, nimbal_client] = args.bind<2>();
    Ref fm_manager = args.global("FoundationModelsManager")(nimbal_client);
    if (fm_manager.method("get_model_specs", kw("model_id", model_id)).truthy()) return none();
    Ref available = new_list();
    for (const Ref& resource : iterate(fm_manager.method("get_model_specs", kw("get_all", true))["resources"]))
        append(available, resource["model_id"]);
    raise(PyExc_ValueError, kModelNotOffered, available);
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
