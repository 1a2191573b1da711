"""Region endpoint table: the per-deployment service URLs and the lookup by governance URL."""

from __future__ import annotations

import inspect
from urllib.parse import urlsplit

import pydantic
import pytest

from tessaly.entities.enums import Region
from tessaly.utils import endpoint_table
from tessaly.utils.endpoint_table import (
    LUMORA_REGION_URLS,
    VEXMON_ENDPOINT_TABLE,
    LumoraUrls,
)

FIELDS = ["iam_url", "tsy_url", "rivet_url", "kelm_url", "region"]
URL_FIELDS = FIELDS[:4]

EXPECTED_KEYS = [
    Region.US_SOUTH.value,
    Region.AU_SYD.value,
    Region.CA_TOR.value,
    Region.EU_DE.value,
    Region.JP_TOK.value,
    Region.EU_GB.value,
    "kovqa",
    "kov1dev",
    "tarndev",
    "tarnqa",
    Region.AP_SOUTH.value,
    "govcloudpreprod",
    Region.US_GOV_EAST1.value,
]
PUBLIC_TOKEN_KEYS = EXPECTED_KEYS[:7] + ["tarnqa"]
TEST_TOKEN_KEYS = ["kov1dev", "tarndev"]
OWN_TOKEN_KEYS = [Region.AP_SOUTH.value, "govcloudpreprod", Region.US_GOV_EAST1.value]

RECORDS = list(LUMORA_REGION_URLS.values())


def valid_fields(**overrides):
    fields = {
        "iam_url": "https://iam.example.test",
        "tsy_url": "https://tsy.example.test",
        "rivet_url": "https://rivet.example.test",
        "kelm_url": "https://kelm.example.test",
        "region": "somewhere",
    }
    fields.update(overrides)
    return fields


# --------------------------------------------------------------------------
# Module shape
# --------------------------------------------------------------------------


def test_module_exports_only_its_names():
    public = {name for name in vars(endpoint_table) if not name.startswith("_")}
    assert public == {
        "BaseModel",
        "Region",
        "LumoraUrls",
        "LUMORA_REGION_URLS",
        "VEXMON_ENDPOINT_TABLE",
    }
    assert endpoint_table.BaseModel is pydantic.BaseModel
    assert endpoint_table.Region is Region
    assert not [
        name
        for name, value in vars(endpoint_table).items()
        if not name.startswith("_") and inspect.isfunction(value)
    ]


def test_tables_are_plain_dicts():
    assert type(LUMORA_REGION_URLS) is dict
    assert type(VEXMON_ENDPOINT_TABLE) is dict


# --------------------------------------------------------------------------
# LumoraUrls
# --------------------------------------------------------------------------


def test_record_class_fields_in_order_all_required_text():
    assert issubclass(LumoraUrls, pydantic.BaseModel)
    assert list(LumoraUrls.model_fields) == FIELDS
    for name, info in LumoraUrls.model_fields.items():
        assert info.is_required(), name
        assert info.annotation is str, name
    assert LumoraUrls.__annotations__ == {name: "str" for name in FIELDS}


def test_record_keeps_the_given_values_in_field_order():
    fields = valid_fields()
    record = LumoraUrls(**{name: fields[name] for name in reversed(FIELDS)})
    assert list(record.model_dump().items()) == [(name, fields[name]) for name in FIELDS]


@pytest.mark.parametrize("missing", FIELDS)
def test_record_requires_every_field(missing):
    fields = valid_fields()
    del fields[missing]
    with pytest.raises(pydantic.ValidationError) as raised:
        LumoraUrls(**fields)
    assert [error["loc"] for error in raised.value.errors()] == [(missing,)]


@pytest.mark.parametrize("field", FIELDS)
@pytest.mark.parametrize(
    "value", [42, 1.5, None, ["https://x.example.test"]], ids=["int", "float", "None", "list"]
)
def test_record_rejects_non_text(field, value):
    with pytest.raises(pydantic.ValidationError):
        LumoraUrls(**valid_fields(**{field: value}))


# --------------------------------------------------------------------------
# LUMORA_REGION_URLS
# --------------------------------------------------------------------------


def test_region_table_keys_in_order():
    assert list(LUMORA_REGION_URLS) == EXPECTED_KEYS
    assert all(type(key) is str for key in LUMORA_REGION_URLS)


def test_region_table_holds_records_under_their_region():
    for key, record in LUMORA_REGION_URLS.items():
        assert type(record) is LumoraUrls
        assert record.region == key
        assert LUMORA_REGION_URLS.get(record.region) is record


def test_token_service_sharing():
    iam = {key: record.iam_url for key, record in LUMORA_REGION_URLS.items()}
    public = {iam[key] for key in PUBLIC_TOKEN_KEYS}
    test = {iam[key] for key in TEST_TOKEN_KEYS}
    own = [iam[key] for key in OWN_TOKEN_KEYS]
    assert len(public) == 1
    assert len(test) == 1
    assert public != test
    assert len(set(own)) == 3
    assert not set(own) & (public | test)


def test_other_services_are_distinct_per_record():
    for field in ["tsy_url", "rivet_url", "kelm_url"]:
        values = [getattr(record, field) for record in RECORDS]
        assert len(set(values)) == 13, field


def test_forty_four_distinct_urls():
    urls = [getattr(record, field) for record in RECORDS for field in URL_FIELDS]
    assert len(urls) == 52
    assert len(set(urls)) == 44


@pytest.mark.parametrize("field", URL_FIELDS)
def test_urls_are_https_scheme_and_host_only(field):
    for record in RECORDS:
        url = getattr(record, field)
        assert type(url) is str
        parts = urlsplit(url)
        assert parts.scheme == "https", url
        assert parts.hostname, url
        assert parts.netloc == parts.hostname, url  # no port, no user info
        assert (parts.path, parts.query, parts.fragment) == ("", "", ""), url
        assert url == f"https://{parts.netloc}", url
        assert not url.endswith("/"), url
        assert url.strip() == url, url


# --------------------------------------------------------------------------
# VEXMON_ENDPOINT_TABLE
# --------------------------------------------------------------------------


def test_governance_table_keyed_by_tsy_url_in_order():
    assert list(VEXMON_ENDPOINT_TABLE) == [record.tsy_url for record in RECORDS]
    assert len(VEXMON_ENDPOINT_TABLE) == 13


def test_governance_table_shares_the_record_objects():
    for (key, record), original in zip(VEXMON_ENDPOINT_TABLE.items(), RECORDS):
        assert record is original
        assert record.tsy_url == key


@pytest.mark.parametrize(
    "alter",
    [
        lambda url: url + "/",
        lambda url: url.upper(),
        lambda url: url.swapcase(),
        lambda url: url.replace("https://", "http://"),
        lambda url: url + ":443",
        lambda url: " " + url,
    ],
    ids=["trailing-slash", "upper", "swapcase", "http", "port", "space"],
)
def test_altered_governance_url_is_not_found(alter):
    for url in VEXMON_ENDPOINT_TABLE:
        altered = alter(url)
        assert altered != url
        assert VEXMON_ENDPOINT_TABLE.get(altered) is None


def test_lookup_gives_the_machine_learning_service_of_the_region():
    for key, record in LUMORA_REGION_URLS.items():
        assert VEXMON_ENDPOINT_TABLE.get(record.tsy_url).rivet_url == record.rivet_url
        assert VEXMON_ENDPOINT_TABLE[record.tsy_url].region == key

