"""What the support layer refuses at compile time: module code that would hold a borrowed
reference where it may outlive its object, and builds for an interpreter it cannot serve.

Each case is a few lines of C++ compiled against the project's headers and this interpreter's
(syntax and template checks only, no object file).
"""

from __future__ import annotations

import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

SUPPORT = Path(__file__).resolve().parents[2] / "src" / "support"
COMPILER = shutil.which("g++") or shutil.which("c++")

pytestmark = [
    pytest.mark.skipif(COMPILER is None, reason="no C++ compiler"),
    pytest.mark.skipif(not (SUPPORT / "support.hpp").exists(), reason="the sources are not beside the tests"),
]


def compile_snippet(tmp_path, body: str, *defines: str) -> subprocess.CompletedProcess:
    source = tmp_path / "snippet.cpp"
    source.write_text('#include "support.hpp"\nusing namespace tsy;\n' + body)
    return subprocess.run(
        [COMPILER, "-std=c++20", "-fsyntax-only", *[f"-D{d}" for d in defines], f"-I{SUPPORT}",
         f"-I{sysconfig.get_paths()['include']}", str(source)],
        capture_output=True, text=True, timeout=120,
    )


ACCEPTED = {
    "owned parameters": "Async body(Ref self, Ref data, Py_ssize_t n) { co_return data; }",
    "a lambda body with owned parameters": "auto f = [](Ref entered) -> Async { co_return entered; };",
    "handles in a plain function": "Ref f(Invocation& args) { auto [self, data] = args.bind<2>(); return data[0]; }",
}

REFUSED = {
    "a borrowed Handle parameter": "Async body(Ref self, Handle data) { co_return Ref::borrow(data); }",
    "a raw pointer parameter": "Async body(PyObject* data) { co_return Ref::borrow(data); }",
    "a lambda body with a borrowed parameter": "auto f = [](Handle entered) -> Async { co_return none(); };",
}


@pytest.mark.parametrize("body", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_owned_references_compile(tmp_path, body):
    done = compile_snippet(tmp_path, body)
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("body", REFUSED.values(), ids=REFUSED.keys())
def test_a_coroutine_body_with_a_borrowed_parameter_does_not_compile(tmp_path, body):
    done = compile_snippet(tmp_path, body)
    assert done.returncode != 0
    assert "a coroutine body takes its parameters as Ref" in done.stderr


def test_the_free_threaded_interpreter_is_refused(tmp_path):
    done = compile_snippet(tmp_path, "", "Py_GIL_DISABLED=1")
    assert done.returncode != 0
    assert "the free-threaded build is not supported" in done.stderr
