"""Builders, fakes and a PDF checker shared by the model-risk tests."""

from __future__ import annotations

import re

from vexmon_sdk import APIClient as VexmonClient
from vexmon_sdk.authenticators import StaticTokenAuthenticator

from tessaly.clients.api_client import APIClient
from tessaly.config.model_risk_configuration import LumoraGCConfiguration, ModelRiskConfiguration
from tessaly.entities.credentials import Credentials, NimbalCredentials
from tessaly.entities.enums import ModelProviderType
from tessaly.entities.foundation_model import (
    CustomFoundationModel,
    ModelProvider,
    NimbalFoundationModel,
)

USAGE_PATH = "/v2/usage/total_evaluations"
USAGE_TOKEN = "usage-token"
CLOUD_URL = "https://api.tsy.eu-de.cloud.tessaly.dev"  # a key of the endpoint table
ON_PREM_URL = "https://cpd.example.internal"
KNOWN_MODEL = "tern/lark-13b-chat"
CATALOGUE = [
    "tern/lark-8b-instruct",
    "tern/lark-13b-chat",
    "corvid/raven-70b-instruct",
    "meridian/mistle-7b",
]
REFUSAL = "I'm sorry, I can't help with that."


def make_api_client(server_url: str, credentials: Credentials | None = None) -> APIClient:
    """An SDK client whose usage reports go to ``server_url``."""
    return APIClient(
        credentials=credentials
        or Credentials(url=CLOUD_URL, api_key="sdk-key", username="sdk-user"),
        vexmon_client=VexmonClient(
            service_url=server_url, authenticator=StaticTokenAuthenticator(USAGE_TOKEN)
        ),
    )


def custom_model(name: str = "my-local-model", fn=None) -> CustomFoundationModel:
    return CustomFoundationModel(
        scoring_fn=fn or (lambda table: [REFUSAL] * len(table)), model_name=name
    )


def hosted_model(credentials=None, model_id: str = KNOWN_MODEL) -> NimbalFoundationModel:
    return NimbalFoundationModel(
        model_id=model_id,
        model_name="lark-13b-chat",
        project_id="project-1",
        provider=ModelProvider(
            type=ModelProviderType.NIMBAL,
            credentials=NimbalCredentials() if credentials is None else credentials,
        ),
    )


def configuration(model=None, **fields) -> ModelRiskConfiguration:
    return ModelRiskConfiguration(model_details=model or custom_model(), **fields)


def console(url: str = "https://gc.example.com/api") -> LumoraGCConfiguration:
    return LumoraGCConfiguration(
        credentials=Credentials(url=url, username="gc-user", password="gc-pass", api_key="gc-key"),
        model_id="gc-model-7",
    )


def usage_requests(server):
    return [r for r in server.requests if r.path == USAGE_PATH]


class Untouchable:
    """Credentials that must not be read."""

    def __getattr__(self, name):
        raise AssertionError(f"credentials.{name} was read")


class ScriptedPlugin:
    """Stands in for the risk plug-in; a test sets what it returns or raises."""

    result = None
    report = None  # what get_pdf_report returns
    evaluate_error: BaseException | None = None
    report_error: BaseException | None = None
    instances: list = []
    events: list = []

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        self.report_calls = []
        type(self).instances.append(self)
        type(self).events.append("construct")

    def evaluate_fm_risks(self, *args, **kwargs):
        assert not args and not kwargs
        type(self).events.append("evaluate")
        if self.evaluate_error is not None:
            raise self.evaluate_error
        return self.result

    def get_pdf_report(self, *args, **kwargs):
        assert not kwargs, "the report is requested with positional arguments"
        type(self).events.append("report")
        self.report_calls.append(args)
        if self.report_error is not None:
            raise self.report_error
        return self.report


# ----------------------------------------------------------------------------
# PDF structure
# ----------------------------------------------------------------------------

_XREF_ENTRY = re.compile(rb"(\d{10}) (\d{5}) ([nf])(?: \r| \n|\r\n)")


def check_pdf_structure(data: bytes) -> dict:
    """Checks what a reader relies on to open the file; returns what it found.

    Header; "startxref" pointing at a classic cross-reference table; every
    in-use entry pointing exactly at "N G obj"; a trailer whose /Size matches
    the table and whose /Root is a catalog; every stream as long as its
    /Length says.  Returns {"objects": {number: body}, "pages": count}.
    """
    assert re.match(rb"%PDF-1\.[0-7]\r?\n", data), data[:16]
    tail = re.search(rb"startxref\r?\n(\d+)\r?\n%%EOF\r?\n?$", data)
    assert tail, "no startxref / %%EOF at the end"
    xref_at = int(tail.group(1))
    header = re.compile(rb"xref\r?\n(\d+) (\d+)\r?\n").match(data, xref_at)
    assert header, f"startxref {xref_at} does not point at an xref table"
    first, count = int(header.group(1)), int(header.group(2))
    assert first == 0
    position = header.end()
    objects: dict[int, bytes] = {}
    for number in range(count):
        entry = _XREF_ENTRY.match(data, position)
        assert entry, f"xref entry {number} is malformed: {data[position:position + 20]!r}"
        assert len(entry.group(0)) == 20, "xref entries are 20 bytes"
        position = entry.end()
        offset, generation, kind = int(entry.group(1)), int(entry.group(2)), entry.group(3)
        if number == 0:
            assert kind == b"f" and generation == 65535
            continue
        assert kind == b"n", f"object {number} is not in use"
        at = re.compile(rb"%d %d obj\b" % (number, generation)).match(data, offset)
        assert at, f"xref offset {offset} of object {number} points at {data[offset:offset + 12]!r}"
        end = data.index(b"endobj", at.end())
        objects[number] = data[at.end():end]
    trailer = re.compile(rb"trailer\s*<<(.*?)>>\s*startxref", re.S).match(data, position)
    assert trailer, "no trailer right after the xref table"
    size = re.search(rb"/Size (\d+)", trailer.group(1))
    assert size and int(size.group(1)) == count, "trailer /Size disagrees with the xref table"
    root = re.search(rb"/Root (\d+) 0 R", trailer.group(1))
    assert root and b"/Type /Catalog" in objects[int(root.group(1))]

    for number, body in objects.items():
        stream = re.search(rb"/Length (\d+)\s*>>\s*stream\r?\n", body)
        if stream:
            length = int(stream.group(1))
            after = body[stream.end() + length:]
            assert re.match(rb"\r?\n?endstream", after), f"stream {number} length is wrong"
    pages = sum(1 for body in objects.values() if re.search(rb"/Type /Page\b(?!s)", body))
    kids = re.search(rb"/Count (\d+)", objects[2])
    assert kids and int(kids.group(1)) == pages
    return {"objects": objects, "pages": pages}


_ESCAPES = {b"n": b"\n", b"r": b"\r", b"t": b"\t", b"b": b"\b", b"f": b"\f",
            b"(": b"(", b")": b")", b"\\": b"\\"}


def pdf_text_lines(data: bytes) -> list[str]:
    """The strings shown with Tj in the content streams, in order."""
    structure = check_pdf_structure(data)
    lines = []
    for body in structure["objects"].values():
        stream = re.search(rb"stream\r?\n(.*)endstream", body, re.S)
        if not stream:
            continue
        for literal in re.finditer(rb"\(((?:\\.|[^\\()])*)\)\s*Tj", stream.group(1), re.S):
            raw = re.sub(rb"\\(.)", lambda m: _ESCAPES.get(m.group(1), m.group(1)), literal.group(1))
            lines.append(raw.decode("cp1252"))
    return lines
