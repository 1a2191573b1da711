// tessaly.clients.meter_client: reports performed evaluations to the governance service's
// usage interface.
#include "support.hpp"

using namespace tsy;

namespace {

// MeterClient.__init__(self, vexmon_client)
Ref init(Invocation& args) {
    auto [self, vexmon_client] = args.bind<2>();
    self.set_attr("vexmon_client", vexmon_client);
    return none();
}

// MeterClient.update_evaluations(self): one evaluation, reported once. A refused report
// is only logged; transport and token errors reach the caller.
Ref update_evaluations(Invocation& args) {
    auto [self] = args.bind<1>();
    Ref url = text("{0}/v2/usage/total_evaluations").method("format", self.attr("vexmon_client").attr("service_url"));
    Ref token = args.global("get_authenticator_token")(self.attr("vexmon_client").attr("authenticator"));

    Ref headers = new_dict();
    headers.set_item("Content-Type", text("application/json"));
    headers.set_item("Authorization", text("Bearer %s").method("__mod__", token));  // str's own "Bearer %s" % token

    Ref body = new_dict();
    body.set_item("amount", integer(1));
    body.set_item("timestamp", args.global("datetime").method("now").str());
    body.set_item("type", text("relative"));

    const bool verify = !self.attr("vexmon_client").attr("disable_ssl_verification").truthy();
    Ref response = args.global("requests").method("post", kw("url", url), kw("json", body), kw("headers", headers),
                                                  kw("verify", verify));
    if (!response.attr("ok").truthy())
        args.global("logger").method("debug", text("Failed to update evaluations usage."));
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
    m.set("logger", m.global("GovSDKLogger").method("get_logger", m.global("__name__")));

    ClassBuilder meter(m, "MeterClient");
    meter.method({.name = "__init__",
                  .params = {Param("self"), Param("vexmon_client").annotated("VexmonClient")},
                  .body = init})
        .method({.name = "update_evaluations", .params = {Param("self")}, .body = update_evaluations});
    m.set("MeterClient", meter.build());
}

}  // namespace

TSY_MODULE(meter_client, "Client of the governance service's usage interface.", exec)
