"""What a type checker sees of the native modules: their stubs, through the py.typed marker.

stubtest imports each module and compares its stub with it; `mypy --strict` checks the stubs
themselves and sdk_user.py, a user's script that calls every module's entries. Both run in a
subprocess of this interpreter, so they see the package as it is installed, with a fresh cache.
"""

import ast
import inspect
import os
import subprocess
import sys
from pathlib import Path

from native_modules import NATIVE_MODULES

HERE = Path(__file__).parent
CONFIG = HERE / "mypy.ini"
MODULES = NATIVE_MODULES


def run_python(tmp_path: Path, *args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    env = {key: value for key, value in os.environ.items() if not key.startswith("MYPY")}
    env["MYPY_CACHE_DIR"] = str(tmp_path / "mypy-cache")
    env["NO_COLOR"] = "1"
    return subprocess.run(
        [sys.executable, *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=600
    )


def allowlist() -> list[str]:
    """Differences that come from the installed pydantic, not from the stubs: a type checker
    gives pydantic models the interpreter's `__replace__` (copy.replace), which only newer
    pydantic releases give them at run time."""
    import pydantic

    if hasattr(pydantic.BaseModel, "__replace__"):
        return []
    return [r".*\.(LumoraUrls|TabuloColumnMapping)\.__replace__"]


def test_stubs_match_the_modules_at_run_time(tmp_path):
    allowed = tmp_path / "allowlist.txt"
    allowed.write_text("\n".join(allowlist()) + "\n")
    result = run_python(
        tmp_path, "-m", "mypy.stubtest", "--mypy-config-file", str(CONFIG), "--allowlist", str(allowed),
        *MODULES, cwd=tmp_path
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_and_a_user_script_pass_strict_mypy(tmp_path):
    modules = [arg for module in ["sdk_user", *MODULES] for arg in ("-m", module)]
    result = run_python(
        tmp_path, "-m", "mypy", "--strict", "--config-file", str(CONFIG), *modules, cwd=HERE
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "no issues found in 9 source files" in result.stdout


def stub_method(stub: ast.Module, class_name: str, method_name: str) -> ast.FunctionDef:
    [cls] = [node for node in stub.body if isinstance(node, ast.ClassDef) and node.name == class_name]
    [method] = [node for node in cls.body if isinstance(node, ast.FunctionDef) and node.name == method_name]
    return method


def test_cached_factory_stub_takes_the_runtime_parameters():
    """stubtest checks the cached factory as a class variable only; its call is compared here."""
    from tessaly.providers import tabulo_provider

    stub = ast.parse(Path(tabulo_provider.__file__).with_name("tabulo_provider.pyi").read_text())
    call = stub_method(stub, "_CachedEngineFactory", "__call__").args
    assert not (call.posonlyargs or call.vararg or call.kwonlyargs or call.kwarg)
    arguments = call.args[1:]  # after self
    defaults = [inspect.Parameter.empty] * (len(arguments) - len(call.defaults))
    defaults += [ast.literal_eval(default) for default in call.defaults]
    in_stub = [(arg.arg, ast.unparse(arg.annotation), default) for arg, default in zip(arguments, defaults)]

    parameters = inspect.signature(tabulo_provider.TabuloProvider._create_inference_engine_impl).parameters
    assert all(parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for parameter in parameters.values())
    assert in_stub == [(name, parameter.annotation, parameter.default) for name, parameter in parameters.items()]
