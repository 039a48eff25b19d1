"""The runner-script protocol of convert_gguf_to_onnx() and convert_onnx_to_gguf().

The tests put their own small runner scripts into a checkout-like folder
(co/python/ferrolune/runners/) and run the conversion functions from a working
directory inside it, or with FERROLUNE_SOURCE_DIR naming a folder inside
it, so the fakes answer before the real scripts beside the module could.
Where a test needs the search to miss, it only checks that the fake did not
answer, or runs a copy of the module that has no scripts beside it.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import ferrolune

RUNNERS = {
    "gguf_to_onnx_runner.py": ferrolune.convert_gguf_to_onnx,
    "onnx_to_gguf_runner.py": ferrolune.convert_onnx_to_gguf,
}

# Records the request it read, then answers as behaviour.json beside it says:
# "stdout" printed verbatim (default: a reply naming this fake and the
# requested output), "stderr" printed to standard error, "exit" as status.
FAKE_RUNNER = r'''
import json, os, sys
here = os.path.dirname(os.path.abspath(__file__))
name = os.path.basename(__file__)
request = sys.stdin.buffer.read()
with open(os.path.join(here, name + ".request"), "wb") as f:
    f.write(request)
with open(os.path.join(here, "behaviour.json")) as f:
    behaviour = json.load(f)
out = behaviour.get("stdout")
if out is None:
    out = json.dumps({"output_path": "fake:" + name + ":" + json.loads(request)["output_path"]})
sys.stderr.write(behaviour.get("stderr", ""))
sys.stdout.write(out)
sys.stdout.flush()
sys.exit(behaviour.get("exit", 0))
'''


class Checkout:
    def __init__(self, root: Path) -> None:
        self.root = root
        self.scripts = root / "python" / "ferrolune" / "runners"
        self.scripts.mkdir(parents=True)
        for name in RUNNERS:
            (self.scripts / name).write_text(FAKE_RUNNER)
        self.behave()

    def behave(self, **behaviour: object) -> None:
        (self.scripts / "behaviour.json").write_text(json.dumps(behaviour))

    def request(self, name: str) -> bytes:
        return (self.scripts / (name + ".request")).read_bytes()

    def below(self, levels: int) -> Path:
        p = self.root
        for i in range(1, levels + 1):
            p = p / f"d{i}"
        p.mkdir(parents=True, exist_ok=True)
        return p


@pytest.fixture
def checkout(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Checkout:
    monkeypatch.delenv("FERROLUNE_SOURCE_DIR", raising=False)
    co = Checkout(tmp_path / "co")
    monkeypatch.chdir(co.root)
    return co


@pytest.mark.parametrize("name", RUNNERS)
def test_request_is_compact_and_the_reported_path_comes_back_unchanged(checkout: Checkout, name: str) -> None:
    convert = RUNNERS[name]
    assert convert("in dir/a.gguf", "rel/b.onnx") == f"fake:{name}:rel/b.onnx"
    assert checkout.request(name) == b'{"input_path":"in dir/a.gguf","output_path":"rel/b.onnx"}'


def test_request_escapes_quotes_and_keeps_unicode(checkout: Checkout) -> None:
    ferrolune.convert_gguf_to_onnx('m "q"\\é.gguf', "o\n.onnx")
    assert checkout.request("gguf_to_onnx_runner.py") == (
        '{"input_path":"m \\"q\\"\\\\é.gguf","output_path":"o\\n.onnx"}'.encode()
    )


INVALID = "conversion process returned invalid output (stderr: {})"


@pytest.mark.parametrize(
    ("stdout", "stderr", "exit_code", "expected", "error"),
    [
        ('{"output_path": "/abs/m.onnx"}', "", 0, "/abs/m.onnx", None),
        ('\n  {"output_path": "m.onnx"}  \r\n', "", 0, "m.onnx", None),
        ('["m.onnx", null]', "", 0, "m.onnx", None),
        ('{"output_path": "m.onnx", "progress": [1, {"x": null}]}', "", 0, "m.onnx", None),
        ('{"output_path": "m.onnx"}', "warning\n", 3, "m.onnx", None),
        ('{"output_path": "m.onnx", "error": "input is not a GGUF file"}', "", 0, None, "input is not a GGUF file"),
        ('[null, "gguf package missing"]', "", 1, None, "gguf package missing"),
        ('{"output_path": null, "error": null}', "", 0, None, "conversion succeeded but no output_path was returned"),
        ("{}", "", 0, None, "conversion succeeded but no output_path was returned"),
        ('loading model\n{"output_path": "m.onnx"}', "  step 1\nstep 2 \n", 0, None, INVALID.format("step 1\nstep 2")),
        ('{"output_path": "a"} {"output_path": "b"}', "", 0, None, INVALID.format("")),
        ('{"output_path": "a"} done', "", 0, None, INVALID.format("")),
        ('{"output_path": "a", "output_path": "b"}', "", 0, None, INVALID.format("")),
        ('{"error": "a", "error": null}', "", 0, None, INVALID.format("")),
        ('{"output_path": 42}', "", 0, None, INVALID.format("")),
        ('["m.onnx"]', "", 0, None, INVALID.format("")),
        ('["m.onnx", null, null]', "", 0, None, INVALID.format("")),
        ('"m.onnx"', "", 0, None, INVALID.format("")),
        ("", "Traceback (most recent call last):\nImportError: onnx\n", 1, None,
         INVALID.format("Traceback (most recent call last):\nImportError: onnx")),
    ],
    ids=[
        "object", "white_space_around", "array_form", "unknown_members_skipped", "non_zero_exit_with_path",
        "error_wins", "array_error", "both_null", "empty_object", "log_line_first", "second_value",
        "trailing_text", "duplicate_output_path", "duplicate_error", "wrong_type", "short_array", "long_array",
        "bare_string", "crash_without_output",
    ],
)
def test_reply_rules(checkout: Checkout, stdout: str, stderr: str, exit_code: int,
                     expected: str | None, error: str | None) -> None:
    checkout.behave(stdout=stdout, stderr=stderr, exit=exit_code)
    if error is None:
        assert ferrolune.convert_gguf_to_onnx("a.gguf", "b.onnx") == expected
    else:
        with pytest.raises(RuntimeError) as info:
            ferrolune.convert_gguf_to_onnx("a.gguf", "b.onnx")
        assert str(info.value) == error


@pytest.mark.parametrize("levels", [0, 1, 5])
def test_working_directory_walk_finds_the_checkout_up_to_five_levels_below(
        checkout: Checkout, monkeypatch: pytest.MonkeyPatch, levels: int) -> None:
    monkeypatch.chdir(checkout.below(levels))
    for name, convert in RUNNERS.items():
        assert convert("a", "b") == f"fake:{name}:b"


def _not_the_fake(convert, *args: str) -> None:
    # Some later place (the real scripts beside the module, or none) may
    # answer; the fake in the checkout must not.
    try:
        got = convert(*args)
    except RuntimeError as e:
        assert "fake:" not in str(e)
    else:
        assert not got.startswith("fake:")


def test_working_directory_walk_stops_six_levels_below(checkout: Checkout, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(checkout.below(6))
    for convert in RUNNERS.values():
        _not_the_fake(convert, "missing.input", "out")


@pytest.fixture
def elsewhere(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """A working directory with no checkout above it."""
    d = tmp_path / "elsewhere"
    d.mkdir()
    monkeypatch.chdir(d)
    return d


@pytest.mark.parametrize("levels", [0, 2, 4])
def test_source_checkout_variable_finds_the_scripts_up_to_four_levels_below(
        checkout: Checkout, elsewhere: Path, monkeypatch: pytest.MonkeyPatch, levels: int) -> None:
    monkeypatch.setenv("FERROLUNE_SOURCE_DIR", str(checkout.below(levels)))
    assert ferrolune.convert_onnx_to_gguf("a.onnx", "b.gguf") == "fake:onnx_to_gguf_runner.py:b.gguf"


def test_source_checkout_variable_stops_five_levels_below(
        checkout: Checkout, elsewhere: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("FERROLUNE_SOURCE_DIR", str(checkout.below(5)))
    _not_the_fake(ferrolune.convert_onnx_to_gguf, "missing.input", "b.gguf")


def test_working_directory_comes_before_the_source_checkout_variable(
        checkout: Checkout, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    other = Checkout(tmp_path / "other")
    other.behave(stdout='{"output_path": "from the variable"}')
    monkeypatch.setenv("FERROLUNE_SOURCE_DIR", str(other.root))
    assert ferrolune.convert_gguf_to_onnx("a", "b") == "fake:gguf_to_onnx_runner.py:b"


@pytest.mark.parametrize("name", RUNNERS)
def test_runs_under_the_host_interpreter_without_python3_on_path(
        checkout: Checkout, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, name: str) -> None:
    empty = tmp_path / "empty-bin"
    empty.mkdir()
    monkeypatch.setenv("PATH", str(empty))
    monkeypatch.delenv("FERROLUNE_PYTHON", raising=False)
    assert RUNNERS[name]("a", "b") == f"fake:{name}:b"


def _recording_interpreter(path: Path, record: Path, pythonpath: Path | None = None) -> Path:
    """A wrapper around this interpreter that notes each start in `record`."""
    base = os.path.realpath(sys.executable)
    setting = f"export PYTHONPATH='{pythonpath}'" if pythonpath else "unset PYTHONPATH"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(f'#!/bin/sh\necho started >> "{record}"\n{setting}\nexec "{base}" -S "$@"\n')
    path.chmod(0o755)
    return path


@pytest.mark.parametrize(("named", "chosen"), [("wrapper", "wrapper"), ("missing", "host"), (None, "host")],
                         ids=["named_interpreter_runs_the_script", "unusable_name_falls_back_to_the_host",
                              "host_without_a_name"])
def test_ferrolune_python_names_the_interpreter(
        checkout: Checkout, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, named: str | None, chosen: str) -> None:
    record = tmp_path / "record"
    wrapper = _recording_interpreter(tmp_path / "bin" / "my-python", record)
    # python3 on PATH is never the choice while the host interpreter is usable.
    _recording_interpreter(tmp_path / "bin" / "python3", record)
    monkeypatch.setenv("PATH", str(tmp_path / "bin"))
    if named is None:
        monkeypatch.delenv("FERROLUNE_PYTHON", raising=False)
    else:
        monkeypatch.setenv("FERROLUNE_PYTHON", str(wrapper if named == "wrapper" else tmp_path / "absent"))
    assert ferrolune.convert_gguf_to_onnx("a", "b") == "fake:gguf_to_onnx_runner.py:b"
    assert record.exists() == (chosen == "wrapper")


def test_scripts_beside_the_extension_are_found_without_asking_python3(
        elsewhere: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    # python3 on PATH is an interpreter that cannot import ferrolune, as
    # when the module runs from a virtual environment that is not activated.
    module_dir = Path(ferrolune._ferrolune.__file__).parent
    if not (module_dir / "runners" / "gguf_to_onnx_runner.py").exists():
        pytest.skip("runner scripts are not installed beside the extension module")
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    python3 = bin_dir / "python3"
    base = os.path.realpath(sys.executable)  # the interpreter itself, outside any virtual environment
    python3.write_text(f'#!/bin/sh\nunset PYTHONPATH\nexec "{base}" -S "$@"\n')
    python3.chmod(0o755)
    monkeypatch.setenv("PATH", str(bin_dir))
    monkeypatch.delenv("FERROLUNE_SOURCE_DIR", raising=False)
    monkeypatch.delenv("PYTHONPATH", raising=False)
    (elsewhere / "not.gguf").write_bytes(b"definitely not a model")
    with pytest.raises(RuntimeError) as info:
        ferrolune.convert_gguf_to_onnx(str(elsewhere / "not.gguf"), str(elsewhere / "out.onnx"))
    assert "not found — ensure ferrolune is properly installed" not in str(info.value)


@pytest.fixture
def module_without_runners(tmp_path: Path) -> Path:
    """A copy of the package with the extension module but no runner scripts beside it."""
    pkg = tmp_path / "pkg" / "ferrolune"
    pkg.mkdir(parents=True)
    module = Path(ferrolune._ferrolune.__file__)
    shutil.copy2(module, pkg / module.name)
    shutil.copy2(Path(ferrolune.__file__), pkg / "__init__.py")
    return pkg.parent


def _convert_in_child(pkg_root: Path, cwd: Path, path: str, name: str,
                      **extra_env: str) -> subprocess.CompletedProcess[str]:
    env = {k: v for k, v in os.environ.items() if k not in ("FERROLUNE_SOURCE_DIR", "PYTHONPATH", "FERROLUNE_PYTHON")}
    env.update(PYTHONPATH=str(pkg_root), PATH=path, **extra_env)
    code = (f"import ferrolune\ntry:\n    print(ferrolune.{RUNNERS[name].__name__}('a', 'b'))\n"
            "except RuntimeError as e:\n    print('RuntimeError:', e)\n")
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, env=env, capture_output=True, text=True, check=True)


def _python3_wrapper(bin_dir: Path, pythonpath: Path | None) -> None:
    bin_dir.mkdir(exist_ok=True)
    base = os.path.realpath(sys.executable)
    setting = f"export PYTHONPATH='{pythonpath}'" if pythonpath else "unset PYTHONPATH"
    (bin_dir / "python3").write_text(f'#!/bin/sh\n{setting}\nexec "{base}" -S "$@"\n')
    (bin_dir / "python3").chmod(0o755)


@pytest.mark.parametrize("name", RUNNERS)
def test_script_found_nowhere_names_the_direction(
        module_without_runners: Path, elsewhere: Path, tmp_path: Path, name: str) -> None:
    _python3_wrapper(tmp_path / "bin", None)  # a python3 that knows no ferrolune package
    # The host interpreter asked for the installed package finds this copy,
    # which has no runners.
    child = _convert_in_child(module_without_runners, elsewhere, str(tmp_path / "bin"), name)
    assert child.stdout == f"RuntimeError: {name} not found — ensure ferrolune is properly installed\n"


def test_installed_package_location_comes_from_the_chosen_interpreter(
        module_without_runners: Path, elsewhere: Path, tmp_path: Path) -> None:
    # The interpreter named by FERROLUNE_PYTHON sees an installed ferrolune
    # whose runners directory holds the scripts.
    installed = Checkout(tmp_path / "site")
    (installed.scripts.parent / "__init__.py").write_text("")
    wrapper = _recording_interpreter(tmp_path / "bin" / "my-python", tmp_path / "record",
                                     installed.scripts.parent.parent)
    child = _convert_in_child(module_without_runners, elsewhere, "/usr/bin:/bin", "onnx_to_gguf_runner.py",
                              FERROLUNE_PYTHON=str(wrapper))
    assert child.stdout == "fake:onnx_to_gguf_runner.py:b\n"
