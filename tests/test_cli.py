"""The `ferrolune` command line, run as a subprocess like a user or a script would."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import model_factory

ANALYZE_KEYS = [
    "format", "param_count", "architecture", "context_length", "layer_count", "hidden_size",
    "attention_head_count", "attention_head_count_kv", "feed_forward_length", "kv_cache_size_mb",
    "memory_footprint_mb", "flops_per_token",
]


def cli(*args: str, path: str | None = None, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    if path is not None:
        env["PATH"] = path
    return subprocess.run([sys.executable, "-m", "ferrolune", *args], capture_output=True, text=True,
                          env=env, cwd=cwd, timeout=600)


@pytest.fixture(scope="module")
def tiny_gguf(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("cli") / "tiny.gguf"
    model_factory.write_llama_gguf(path)
    return path


@pytest.fixture
def no_tools(tmp_path: Path) -> str:
    """A PATH with nothing on it but an empty directory: no runtime is installed."""
    empty = tmp_path / "empty-bin"
    empty.mkdir()
    return str(empty)


def test_profile_json_is_the_profile_form() -> None:
    done = cli("profile", "--json")
    assert done.returncode == 0, done.stderr
    profile = json.loads(done.stdout)
    assert list(profile) == ["cpu", "gpu", "ram"]
    assert profile["cpu"]["core_count"] >= 1


def test_profile_text_names_cpu_and_memory() -> None:
    done = cli("profile")
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("CPU:")
    assert "RAM:" in done.stdout


def test_analyze_json_has_the_twelve_keys(tiny_gguf: Path) -> None:
    done = cli("analyze", str(tiny_gguf), "--json")
    assert done.returncode == 0, done.stderr
    info = json.loads(done.stdout)
    assert list(info) == ANALYZE_KEYS
    assert info["format"] == "gguf"
    assert info["architecture"] == "llama"


def test_analyze_text_lists_every_field(tiny_gguf: Path) -> None:
    done = cli("analyze", str(tiny_gguf))
    assert done.returncode == 0, done.stderr
    assert len(done.stdout.splitlines()) == 12
    assert "llama" in done.stdout


def test_failure_exits_1_with_the_error_text_on_stderr(tmp_path: Path) -> None:
    model = tmp_path / "weights.bin"
    model.write_bytes(b"not a model")
    done = cli("analyze", str(model))
    assert done.returncode == 1
    assert done.stdout == ""
    assert done.stderr.strip() == "unrecognised model file extension '.bin'; expected '.gguf' or '.onnx'"


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["frobnicate"],
        ["optimize", "model.gguf"],  # --format is required
        ["optimize", "model.gguf", "--format", "safetensors"],
        ["optimize", "model.gguf", "--format", "gguf", "--latency", "fast"],
        ["convert", "a.gguf", "b.txt"],
    ],
)
def test_usage_errors_exit_2(args: list[str], tmp_path: Path) -> None:
    done = cli(*args, cwd=tmp_path)
    assert done.returncode == 2, (done.stdout, done.stderr)
    assert "usage:" in done.stderr
    assert not (tmp_path / "b.txt").exists()


def test_optimize_with_export_prints_one_json_document(tiny_gguf: Path, tmp_path: Path, no_tools: str) -> None:
    bundle = tmp_path / "bundle"
    done = cli("optimize", str(tiny_gguf), "--format", "GGUF", "--export", str(bundle), "--json", path=no_tools)
    assert done.returncode == 0, done.stderr
    doc = json.loads(done.stdout)
    assert list(doc) == ["result", "output_path", "manifest", "measurements"]
    assert doc["result"]["config"]["runtime"] == "LlamaCpp"
    assert doc["output_path"] is None  # no llama-quantize on PATH
    assert doc["manifest"]["ollama_commands"][1] == "ollama run mymodel"
    assert sorted(p.name for p in bundle.iterdir()) == ["Modelfile", "metadata.json", "model.gguf"]
    # Progress lines go to stderr, in stage order.
    stages = [line for line in done.stderr.splitlines() if line.startswith("[Stage ") and "/4]" in line]
    assert [s[:12] for s in stages] == ["[Stage 1/4] ", "[Stage 2/4] ", "[Stage 3/4] ", "[Stage 4/4] "]


def test_optimize_text_output_and_latency_failure(tiny_gguf: Path, no_tools: str) -> None:
    done = cli("optimize", str(tiny_gguf), "--format", "gguf", path=no_tools)
    assert done.returncode == 0, done.stderr
    assert "runtime:        LlamaCpp" in done.stdout
    too_strict = cli("optimize", str(tiny_gguf), "--format", "gguf", "--latency", "0.0001", path=no_tools)
    assert too_strict.returncode == 1
    assert too_strict.stdout == ""
    assert "cartesian fallback also failed: " in too_strict.stderr


def test_export_subcommand_writes_the_bundle(tiny_gguf: Path, tmp_path: Path, no_tools: str) -> None:
    bundle = tmp_path / "out" / "nested"
    done = cli("export", str(tiny_gguf), str(bundle), "--format", "gguf", path=no_tools)
    assert done.returncode == 0, done.stderr
    assert (bundle / "model.gguf").read_bytes() == tiny_gguf.read_bytes()
    assert "ollama run mymodel" in done.stdout


def test_convert_round_trip(tiny_gguf: Path, tmp_path: Path) -> None:
    onnx_path = tmp_path / "tiny.onnx"
    done = cli("convert", str(tiny_gguf), str(onnx_path), "--json")
    assert done.returncode == 0, done.stderr
    assert Path(json.loads(done.stdout)["output_path"]) == onnx_path.resolve()
    back = tmp_path / "back.gguf"
    done = cli("convert", str(onnx_path), str(back))
    assert done.returncode == 0, done.stderr
    assert back.exists()


def test_console_script_is_installed() -> None:
    script = shutil.which("ferrolune", path=str(Path(sys.executable).parent))
    if script is None:
        pytest.skip("the package is not installed in this interpreter's environment (development build)")
    done = subprocess.run([script, "profile", "--json"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "core_count" in done.stdout


def test_environment_that_is_not_activated_runs_its_own_interpreter(tiny_gguf: Path, tmp_path: Path) -> None:
    # The system's python3 (all of PATH here) lacks numpy and onnxruntime;
    # the environment the console script belongs to has them, and the
    # conversion and the ONNX Runtime measurements must run there.
    script = shutil.which("ferrolune", path=str(Path(sys.executable).parent))
    if script is None:
        pytest.skip("the package is not installed in this interpreter's environment (development build)")
    env = {k: v for k, v in os.environ.items()
           if k not in ("VIRTUAL_ENV", "PYTHONPATH", "PYTHONHOME", "FERROLUNE_PYTHON", "FERROLUNE_SOURCE_DIR")}
    env["PATH"] = "/usr/bin:/bin"

    def run(*args: str) -> subprocess.CompletedProcess[str]:
        # Outside the checkout, so the installed runners are the ones found.
        return subprocess.run([script, *args], capture_output=True, text=True, env=env, cwd=tmp_path, timeout=900)

    onnx_path = tmp_path / "tiny.onnx"
    done = run("convert", str(tiny_gguf), str(onnx_path), "--json")
    assert done.returncode == 0, done.stderr
    assert Path(json.loads(done.stdout)["output_path"]) == onnx_path.resolve()

    done = run("optimize", str(onnx_path), "--format", "onnx", "--json")
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)["result"]
    assert result["config"]["runtime"] == "OnnxRuntime"
    assert result["metrics"]["tokens_per_sec"] > 0
    assert "onnxruntime (python package)" not in done.stderr


def test_optimize_with_the_real_llama_tools(tiny_gguf: Path, tmp_path: Path, llama_bin: Path) -> None:
    output = tmp_path / "tiny-q.gguf"
    done = cli("optimize", str(tiny_gguf), "--format", "gguf", "--output", str(output), "--json",
               path=f"{llama_bin}:{Path(sys.executable).parent}")
    assert done.returncode == 0, done.stderr
    doc = json.loads(done.stdout)
    assert doc["result"]["config"]["runtime"] == "LlamaCpp"
    assert doc["result"]["metrics"]["tokens_per_sec"] > 0
    # Measured, not estimated: the estimate line never appears.
    assert "hardware-aware estimates" not in done.stderr
    assert doc["output_path"] == str(output)
    assert output.read_bytes()[:4] == b"GGUF"
