"""The README's example of an evaluation runs as it is written, and does what it says."""

from __future__ import annotations

import contextlib
import io
import re
from pathlib import Path

README = Path(__file__).resolve().parents[2] / "README.md"


def example(title: str) -> str:
    """The first Python block under the README heading `title`."""
    text = README.read_text()
    section = text[text.index(f"## {title}\n"):]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def test_the_minimal_evaluation_runs_as_written():
    printed = io.StringIO()
    namespace: dict = {}
    with contextlib.redirect_stdout(printed):
        exec(compile(example("An evaluation in a few lines"), str(README), "exec"), namespace)
    lines = printed.getvalue().splitlines()
    assert [line.split()[0] for line in lines] == ["hap", "pii"]
    # the second question holds an e-mail address: the personal-data detector finds it
    pii = namespace["result"].metrics_result[1]
    assert [record.value for record in pii.record_level_metrics][1] > 0
    assert {"record_id", "record_timestamp"} <= set(namespace["table"].columns)
