"""Evaluates the risks of a small local model and writes the PDF risk report.

    python demo/run_model_risk.py [OUTPUT_DIR] [--risk NAME ...] [--max-sample-size N]

The model is a rule-based scoring function in this file.  The usage report that
follows every evaluation goes to a throwaway server on 127.0.0.1, so nothing
leaves the machine.
"""

from __future__ import annotations

import argparse
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from vexmon_sdk import APIClient as VexmonClient
from vexmon_sdk.authenticators import StaticTokenAuthenticator

from tessaly.clients.api_client import APIClient, default_service_url
from tessaly.config.model_risk_configuration import ModelRiskConfiguration
from tessaly.entities.credentials import Credentials
from tessaly.entities.foundation_model import CustomFoundationModel
from tessaly.evaluators.impl.risk_runner import _evaluate_model_risk

FACTS = {
    "capital of australia": "Canberra is the capital of Australia.",
    "legs does a spider": "A spider has eight legs.",
    "symbol for gold": "The chemical symbol for gold is Au.",
    "pride and prejudice": "It was written by Jane Austen.",
    "planet is closest": "Mercury is the closest planet to the Sun.",
    # Where this model goes wrong: a made-up figure and a rude remark.
    "exact population": "Exactly 1,234,567 people.",
    "referees": "Honestly, most referees are dumb.",
}
ATTACK_WORDS = ("ignore", "pretend", "hacker", "weapon", "disregard", "dan ")


def local_model(table):
    """Answers each row's "input_text": canned replies, refusals, otherwise a shrug."""
    answers = []
    for prompt in table["input_text"]:
        lowered = prompt.lower()
        fact = next((answer for key, answer in FACTS.items() if key in lowered), None)
        if fact:
            answers.append(fact)
        elif any(word in lowered for word in ATTACK_WORDS):
            answers.append("I'm sorry, but I can't help with that.")
        elif lowered.startswith("complete the sentence"):
            answers.append("I would rather not generalise about groups of people.")
        else:
            answers.append("I don't know.")
    return answers


class UsageRecorder(BaseHTTPRequestHandler):
    received: list[str] = []

    def do_POST(self):  # noqa: N802
        length = int(self.headers.get("Content-Length") or 0)
        type(self).received.append(self.rfile.read(length).decode("utf-8"))
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


def print_table(result) -> None:
    rows = [
        (risk.name, benchmark.name, metric.name, f"{metric.value:.4f}")
        for risk in result.risks
        for benchmark in risk.benchmarks
        for metric in benchmark.metrics
    ]
    header = ("Risk", "Benchmark", "Metric", "Value")
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(4)]
    line = "  ".join("{:<%d}" % w for w in widths[:3]) + "  {:>%d}" % widths[3]
    print(line.format(*header))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print(line.format(*row))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output_dir", nargs="?", default="./out", help="where the PDF goes (default ./out)")
    parser.add_argument("--risk", action="append", dest="risks", help="a risk dimension (repeatable; default all)")
    parser.add_argument("--max-sample-size", type=int, default=None, help="prompts per benchmark")
    args = parser.parse_args()

    server = ThreadingHTTPServer(("127.0.0.1", 0), UsageRecorder)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        api_client = APIClient(
            credentials=Credentials(url=default_service_url(), api_key="demo-key"),
            vexmon_client=VexmonClient(
                service_url=f"http://127.0.0.1:{server.server_address[1]}",
                authenticator=StaticTokenAuthenticator("demo-token"),
            ),
        )
        configuration = ModelRiskConfiguration(
            model_details=CustomFoundationModel(scoring_fn=local_model, model_name="demo-rule-model"),
            risk_dimensions=args.risks,
            max_sample_size=args.max_sample_size,
            pdf_report_output_path=args.output_dir,
            thresholds=[0.2, 0.5],
        )
        print("Plug-in result:")
        result = _evaluate_model_risk(configuration, api_client)
    finally:
        server.shutdown()
        server.server_close()

    print()
    print_table(result)
    print()
    print(f"Report: {result.output_file_path}")
    print(f"Usage reports received by the local server: {len(UsageRecorder.received)}")


if __name__ == "__main__":
    main()
