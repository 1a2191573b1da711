// tessaly.utils.endpoint_table: the base URLs of the token, governance, machine-learning
// and data-platform services of every deployment region and environment.
#include "support.hpp"

using namespace tsy;

namespace {

// A deployment's key: the value of a `Region` member, or an environment's own name.
struct Deployment {
    const char* region_member;  // null for environments
    const char* key;            // environment name, or the host slug of a region
    const char* iam_url;
};

constexpr const char* kPublicIam = "https://iam.cloud.tessaly.dev";
constexpr const char* kTestIam = "https://iam.test.cloud.tessaly.dev";

// In the order the tables hold them.
constexpr Deployment kDeployments[] = {
    {"US_SOUTH", "us-south", kPublicIam},
    {"AU_SYD", "au-syd", kPublicIam},
    {"CA_TOR", "ca-tor", kPublicIam},
    {"EU_DE", "eu-de", kPublicIam},
    {"JP_TOK", "jp-tok", kPublicIam},
    {"EU_GB", "eu-gb", kPublicIam},
    {nullptr, "kovqa", kPublicIam},
    {nullptr, "kov1dev", kTestIam},
    {nullptr, "tarndev", kTestIam},
    {nullptr, "tarnqa", kPublicIam},
    {"AP_SOUTH", "ap-south-1", "https://iam.ap-south-1.cloud.tessaly.dev"},
    {nullptr, "govcloudpreprod", "https://iam.preprod.govcloud.tessaly.dev"},
    {"US_GOV_EAST1", "us-gov-east1", "https://iam.govcloud.tessaly.dev"},
};

void exec(Module& m) {
    m.from_import("pydantic", "BaseModel");
    m.from_import("tessaly.entities.enums", "Region");

    ClassBuilder record(m, "LumoraUrls");
    record.base(m.global("BaseModel"));
    for (const char* field : {"iam_url", "tsy_url", "rivet_url", "kelm_url", "region"}) record.annotate(field, "str");
    m.set("LumoraUrls", record.build());

    Ref region_urls = new_dict();
    m.set("LUMORA_REGION_URLS", region_urls);
    Ref lumora_urls = m.global("LumoraUrls");
    Ref region = m.global("Region");
    for (const Deployment& d : kDeployments) {
        Ref key = d.region_member ? region.attr(d.region_member).attr("value") : text(d.key);
        Ref urls = lumora_urls(kw("iam_url", text(d.iam_url)),
                               kw("tsy_url", text_format("https://api.tsy.%s.cloud.tessaly.dev", d.key)),
                               kw("rivet_url", text_format("https://%s.ml.cloud.tessaly.dev", d.key)),
                               kw("kelm_url", text_format("https://api.dataplatform.%s.cloud.tessaly.dev", d.key)),
                               kw("region", key));
        region_urls.set_item(key, urls);
    }

    // {urls.tsy_url: LUMORA_REGION_URLS.get(key) for key, urls in LUMORA_REGION_URLS.items()}
    Ref endpoint_table = new_dict();
    for (const Ref& item : iterate(region_urls.method("items"))) {
        auto [key, urls] = unpack<2>(item);
        endpoint_table.set_item(urls.attr("tsy_url"), region_urls.method("get", key));
    }
    m.set("VEXMON_ENDPOINT_TABLE", endpoint_table);
}

}  // namespace

TSY_MODULE(endpoint_table, "Base URLs of the services of every deployment region and environment.", exec)
