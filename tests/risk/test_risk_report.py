"""End to end with the risk plug-in: the benchmarks answered by a custom
scoring function or by the hosting service, and the PDF report it writes."""

from __future__ import annotations

from pathlib import Path

import pandas as pd
import pytest
from quorra_metrics_plugin.mra.evaluate_fm_risk import EvaluateFMRisk
from risk_kit import (
    REFUSAL,
    check_pdf_structure,
    configuration,
    custom_model,
    hosted_model,
    pdf_text_lines,
    usage_requests,
)

from tessaly.entities.foundation_model import OpenAIFoundationModel

ALL_RISKS = ["hallucination", "toxicity", "jailbreaking", "bias"]


def as_nested(result):
    return {
        r.name: {b.name: {m.name: m.value for m in b.metrics} for b in r.benchmarks}
        for r in result.risks
    }


def refusing(table):
    return [REFUSAL] * len(table)


def complying_rudely(table):
    return pd.DataFrame({"generated_text": ["Sure, you stupid idiot, here are the steps."] * len(table)})


def series_of_abstentions(table):
    return pd.Series(["I don't know."] * len(table))


@pytest.mark.parametrize(
    "fn, expected",
    [
        pytest.param(
            refusing,
            {
                "toxicity": {"toxic-continuation": {"toxic_rate": 0.0, "mean_toxicity": 0.0}},
                "jailbreaking": {
                    "role-play-attacks": {"attack_success_rate": 0.0},
                    "instruction-override": {"attack_success_rate": 0.0},
                },
            },
            id="list-of-refusals",
        ),
        pytest.param(
            complying_rudely,
            {
                "toxicity": {"toxic-continuation": {"toxic_rate": 1.0, "mean_toxicity": 1.0}},
                "jailbreaking": {
                    "role-play-attacks": {"attack_success_rate": 1.0},
                    "instruction-override": {"attack_success_rate": 1.0},
                },
            },
            id="table-of-rude-compliance",
        ),
        pytest.param(
            series_of_abstentions,
            {
                "toxicity": {"toxic-continuation": {"toxic_rate": 0.0, "mean_toxicity": 0.0}},
                "jailbreaking": {
                    "role-play-attacks": {"attack_success_rate": 1.0},
                    "instruction-override": {"attack_success_rate": 1.0},
                },
            },
            id="series-of-abstentions",
        ),
    ],
)
def test_custom_model_is_scored_through_its_function(rr, api_client, fn, expected):
    config = configuration(custom_model(fn=fn), risk_dimensions=["toxicity", "jailbreaking"])
    assert as_nested(rr._evaluate_model_risk(config, api_client)) == expected


def test_scoring_function_sees_the_prompts_of_the_sample(rr, api_client):
    tables = []

    def record(table):
        tables.append(table.copy())
        return [REFUSAL] * len(table)

    config = configuration(custom_model(fn=record), risk_dimensions=["jailbreaking", "bias"], max_sample_size=2)
    result = rr._evaluate_model_risk(config, api_client)
    assert [r.name for r in result.risks] == ["jailbreaking", "bias"]
    assert len(tables) == 3  # one call per benchmark
    for table in tables:
        assert list(table.columns) == ["prompt_id", "input_text"]
        assert len(table) == 2
        assert table["input_text"].map(lambda t: isinstance(t, str) and bool(t)).all()


@pytest.mark.parametrize(
    "fn, reason",
    [
        pytest.param(lambda table: ["only one"], "returned 1 answers", id="too-few"),
        pytest.param(lambda table: "one text", "must return a list of texts", id="a-single-text"),
        pytest.param(lambda table: pd.DataFrame({"answer": ["x"] * len(table)}), "'generated_text'", id="no-column"),
        pytest.param(lambda table: [1] * len(table), "not a text", id="not-texts"),
        pytest.param(lambda table: 1 / 0, "division by zero", id="function-raises"),
    ],
)
def test_scoring_function_failures_are_evaluation_failures(rr, api_client, usage_server, fn, reason):
    config = configuration(custom_model(fn=fn), risk_dimensions=["bias"])
    with pytest.raises(Exception, match="^Error while evaluating FM risks. Reason: .*" + reason):
        rr._evaluate_model_risk(config, api_client)
    assert usage_requests(usage_server) == []


@pytest.mark.parametrize(
    "fields, reason",
    [
        ({"risk_dimensions": ["toxicity", "weather"]}, "Unknown risk dimension 'weather'"),
        ({"risk_dimensions": []}, "names no risk"),
    ],
)
def test_plug_in_refusing_its_settings_is_not_wrapped(rr, api_client, usage_server, fields, reason):
    with pytest.raises(ValueError, match=reason) as caught:
        rr._evaluate_model_risk(configuration(**fields), api_client)
    assert not str(caught.value).startswith("Error while evaluating")
    assert usage_requests(usage_server) == []


def test_hosted_model_is_answered_deterministically(rr, api_client, usage_server):
    config = configuration(hosted_model())
    first = as_nested(rr._evaluate_model_risk(config, api_client))
    second = as_nested(rr._evaluate_model_risk(config, api_client))
    assert first == second
    assert list(first) == ALL_RISKS
    values = [v for benchmarks in first.values() for metrics in benchmarks.values() for v in metrics.values()]
    assert values and all(0.0 <= v <= 1.0 for v in values)
    assert len(usage_requests(usage_server)) == 2


def test_other_model_class_has_no_way_to_be_answered(rr, api_client):
    config = configuration(OpenAIFoundationModel(model_id="gpt-x", model_name="gpt-x"))
    with pytest.raises(Exception, match="^Error while evaluating FM risks. Reason: No model to evaluate"):
        rr._evaluate_model_risk(config, api_client)


# ----------------------------------------------------------------------------
# The PDF report
# ----------------------------------------------------------------------------


@pytest.fixture
def written_report(rr, api_client, tmp_path):
    """A report written through _evaluate_model_risk into a directory that does not exist yet."""
    out = tmp_path / "reports" / "nested"
    config = configuration(
        custom_model("demo (v2) \\ é", fn=complying_rudely),
        risk_dimensions=["toxicity", "jailbreaking"],
        pdf_report_output_path=str(out),
        thresholds=[0.2, 0.5],
    )
    result = rr._evaluate_model_risk(config, api_client)
    return result, out


def test_report_is_written_under_the_output_path(written_report):
    result, out = written_report
    assert isinstance(result.output_file_path, str)
    path = Path(result.output_file_path)
    assert path.parent == out
    assert path.suffix == ".pdf" and path.is_file()
    assert [p.name for p in out.iterdir()] == [path.name]  # no partial file left behind


def test_report_structure_and_text(written_report):
    result, _ = written_report
    data = Path(result.output_file_path).read_bytes()
    assert check_pdf_structure(data)["pages"] == 1
    text = "\n".join(pdf_text_lines(data))
    assert "Model: demo (v2) \\ é" in text
    assert "Thresholds: low < 0.2, 0.2 <= medium < 0.5, high >= 0.5" in text
    for risk in result.risks:
        assert f"Risk: {risk.name}" in text
        for benchmark in risk.benchmarks:
            for metric in benchmark.metrics:
                row = [line for line in text.splitlines() if line.split()[:2] == [benchmark.name, metric.name]]
                assert row and row[0].split()[2:] == [f"{metric.value:.4f}", "high"]


def test_a_pdf_reader_accepts_the_report(written_report, poppler):
    result, _ = written_report
    info = poppler("pdfinfo", result.output_file_path)
    assert info.returncode == 0, info.stderr
    assert info.stderr == ""
    assert "Pages:           1" in info.stdout
    assert "PDF version:     1.4" in info.stdout
    text = poppler("pdftotext", "-layout", result.output_file_path, "-")
    assert text.returncode == 0 and text.stderr == ""
    assert "demo (v2) \\ é" in text.stdout
    for name in ("toxic-continuation", "mean_toxicity", "instruction-override", "attack_success_rate"):
        assert name in text.stdout


def long_result(risks: int):
    return {
        f"risk-{r:02d}": {f"bench-{b}": {"rate": round(r / 100 + b / 1000, 4)} for b in range(4)}
        for r in range(risks)
    }


SIZES = [
    pytest.param({}, None, id="empty"),
    pytest.param({"r": {"b": {}}}, [0.5], id="no-metrics"),
    pytest.param(long_result(30), [0.1, 0.2, 0.3], id="several-pages"),
]


def write_report(directory, result, thresholds) -> Path:
    plugin = EvaluateFMRisk(system_credentials={}, foundation_model_name="m", scoring_function=refusing)
    return plugin.get_pdf_report(result, directory, thresholds)


@pytest.mark.parametrize("result, thresholds", SIZES)
def test_reports_of_any_size_are_well_formed(tmp_path, result, thresholds):
    data = write_report(tmp_path, result, thresholds).read_bytes()
    pages = check_pdf_structure(data)["pages"]
    if len(result) > 10:
        assert pages > 1
    else:
        assert pages == 1
    lines = pdf_text_lines(data)
    if not result:
        assert "No risks were evaluated." in lines
    for risk in result:
        assert f"Risk: {risk}" in lines


@pytest.mark.parametrize("result, thresholds", SIZES)
def test_a_pdf_reader_accepts_reports_of_any_size(tmp_path, poppler, result, thresholds):
    path = write_report(tmp_path, result, thresholds)
    pages = check_pdf_structure(path.read_bytes())["pages"]
    info = poppler("pdfinfo", str(path))
    assert info.returncode == 0 and info.stderr == ""
    assert f"Pages:           {pages}" in info.stdout
    text = poppler("pdftotext", str(path), "-")
    assert text.returncode == 0 and text.stderr == ""
    assert all(f"Risk: {risk}" in text.stdout for risk in result)


@pytest.mark.parametrize(
    "thresholds, error",
    [
        ([0.5, 0.2], ValueError),
        ([0.2, 0.2], ValueError),
        (["low"], TypeError),
        ([True], TypeError),
        ("0.5", TypeError),
    ],
)
def test_report_refuses_thresholds_it_cannot_apply(tmp_path, thresholds, error):
    plugin = EvaluateFMRisk(system_credentials={}, scoring_function=refusing)
    with pytest.raises(error):
        plugin.get_pdf_report({"r": {"b": {"m": 0.1}}}, tmp_path, thresholds)
    assert list(tmp_path.iterdir()) == []
