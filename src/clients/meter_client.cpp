// tessaly.clients.meter_client: reports performed evaluations to the governance service's
// usage interface.
#include "support.hpp"

using namespace tsy;

namespace {

// MeterClient.__init__(self, vexmon_client)
Ref init(Invocation& a) {
    setattr(a[0], "vexmon_client", a[1]);
    return none();
}

// MeterClient.update_evaluations(self): one evaluation, reported once. A refused report
// is only logged; transport and token errors reach the caller.
Ref update_evaluations(Invocation& a) {
    PyObject* self = a[0];
    Ref url = call_method(text("{0}/v2/usage/total_evaluations").get(), "format",
                          getattr(getattr(self, "vexmon_client").get(), "service_url"));
    Ref token = call(a.global("get_authenticator_token"), getattr(getattr(self, "vexmon_client").get(), "authenticator"));

    Ref headers = new_dict();
    dict_set(headers.get(), "Content-Type", text("application/json").get());
    dict_set(headers.get(), "Authorization", Ref::checked(PyUnicode_Format(text("Bearer %s").get(), token.get())).get());

    Ref now = call_method(a.global("datetime").get(), "now");
    Ref body = new_dict();
    dict_set(body.get(), "amount", integer(1).get());
    dict_set(body.get(), "timestamp", str(now.get()).get());
    dict_set(body.get(), "type", text("relative").get());

    bool verify = !truthy(getattr(getattr(self, "vexmon_client").get(), "disable_ssl_verification").get());
    Ref response = call(getattr(a.global("requests").get(), "post"), kw("url", url), kw("json", body),
                        kw("headers", headers), kw("verify", boolean(verify)));
    if (!truthy(getattr(response.get(), "ok").get()))
        call_method(a.global("logger").get(), "debug", text("Failed to update evaluations usage."));
    return none();
}

void exec(Module& m) {
    m.import("os");
    m.from_import("datetime", "datetime");
    m.import("requests");
    m.from_import("cirrus_sdk_core.authenticators", "BearerTokenAuthenticator");
    m.from_import("vexmon_sdk", "APIClient", "VexmonClient");
    m.from_import("tessaly.utils.gov_sdk_logger", "GovSDKLogger");
    m.from_import("tessaly.utils.python_utils", "get_authenticator_token");
    m.set("logger", call_method(m.global("GovSDKLogger").get(), "get_logger", m.global("__name__")));

    ClassBuilder meter(m, "MeterClient");
    meter.method({.name = "__init__",
                  .params = {Param("self"), Param("vexmon_client").annotated("VexmonClient")},
                  .body = init})
        .method({.name = "update_evaluations", .params = {Param("self")}, .body = update_evaluations});
    m.set("MeterClient", meter.build());
}

}  // namespace

TSY_MODULE(meter_client, "Client of the governance service's usage interface.", exec)
