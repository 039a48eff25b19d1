"""optimize() and OptimizationResult: the pipeline seen from Python.

The real end-to-end cases measure a tiny generated llama GGUF with the
cached llama.cpp tools; the rest run with a PATH that holds only fake tools
(so every measurement fails fast and llama.cpp falls back to estimates).
"""

from __future__ import annotations

import json
import os
import re
import subprocess
from pathlib import Path

import pytest

import model_factory
from ferrolune import _ferrolune as fl

STAGE_LINES = [
    re.compile(r"^\[Stage 1/4\] Hardware: \d+ cores, GPU=(yes|no), VRAM=(\d+MB|none), RAM=\d+MB$"),
    re.compile(r"^\[Stage 2/4\] Model: workload=MemoryBound, params=0\.0B, FP16=\d+MB$"),
    # ollama is not installed: it is left out before anything is measured.
    re.compile(r"^\[Stage 3/7\] Eliminated Ollama: 'ollama' not installed$"),
    re.compile(r"^\[Stage 3/4\] Preselected runtimes: \[LlamaCpp\]$"),
    re.compile(r"^\[Stage 4/4\] Bayesian optimization: \d+ initial samples \+ \d+ refinement iterations$"),
]

BOTH_FAILED = "cartesian fallback also failed: "
LATENCY_UNMET = "no valid configuration found: no configuration meets the latency constraint of 0.0 ms."
NO_RUNTIMES = "no compatible runtimes found \u2014 install the required binaries and retry.\nFailure reasons: "


@pytest.fixture(scope="module")
def tiny_gguf(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("model") / "tiny.gguf"
    model_factory.write_llama_gguf(path)
    return path


@pytest.fixture
def model_copy(tiny_gguf: Path, tmp_path: Path) -> Path:
    """A private copy, so output files land in this test's directory."""
    path = tmp_path / "tiny.gguf"
    path.write_bytes(tiny_gguf.read_bytes())
    return path


@pytest.fixture
def real_tools(llama_bin: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    # Only llama.cpp's tools: ollama is not installed.
    monkeypatch.setenv("PATH", str(llama_bin))
    return llama_bin


def thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


def child_pids() -> set[int]:
    pids: set[int] = set()
    for task in os.listdir("/proc/self/task"):
        text = Path(f"/proc/self/task/{task}/children").read_text()
        pids.update(int(p) for p in text.split())
    return pids


def stage_lines(err: str) -> list[str]:
    return [line for line in err.splitlines() if line.startswith("[Stage ")]


def test_real_tools_measure_requantize_and_leave_nothing_running(
    real_tools: Path, model_copy: Path, capfd: pytest.CaptureFixture[str]
) -> None:
    threads_before, children_before = thread_count(), child_pids()

    result = fl.optimize(str(model_copy), "gguf")

    assert thread_count() == threads_before
    assert child_pids() == children_before
    err = capfd.readouterr().err
    stages = stage_lines(err)
    assert len(stages) == len(STAGE_LINES)
    for pattern, line in zip(STAGE_LINES, stages):
        assert pattern.match(line), line
    assert not re.search(r"^\[Bayes .*\] Ollama/", err, re.M)
    assert "[ferrolune] llama-cli not found" not in err
    assert re.search(r"^\[Bayes final\] Best: LlamaCpp/", err, re.M)

    assert result.runtime == "LlamaCpp"
    assert result.tokens_per_sec > 0
    assert result.latency_ms > 0
    expected_output = model_copy.parent / "tiny-optimized.gguf"
    assert result.output_path == str(expected_output)
    assert expected_output.read_bytes()[:4] == b"GGUF"
    assert expected_output.stat().st_size < model_copy.stat().st_size
    assert result.requantize_skipped_reason is None

    loaded = subprocess.run(
        [str(real_tools / "llama-completion"), "-m", str(expected_output), "-p", "hi", "-n", "4",
         "--no-warmup", "-no-cnv"],
        capture_output=True, timeout=120, stdin=subprocess.DEVNULL,
    )
    # Random weights print arbitrary bytes; only the exit status matters.
    assert loaded.returncode == 0, loaded.stderr[-2000:]


def test_real_tools_with_unreachable_latency_give_the_two_level_error(
    real_tools: Path, model_copy: Path, capfd: pytest.CaptureFixture[str]
) -> None:
    with pytest.raises(RuntimeError) as info:
        fl.optimize(str(model_copy), "gguf", max_latency_ms=1e-9)
    text = str(info.value)
    # Every measurement succeeded and none met the limit: that is the reason
    # given at both levels. ollama is not installed, so neither search tried it.
    assert text.startswith(BOTH_FAILED + LATENCY_UNMET)
    assert text.count(LATENCY_UNMET) == 2
    assert "ollama" not in text
    err = capfd.readouterr().err
    assert "exceeds limit 0.0ms \u2014 falling back to cartesian search" in err
    assert "ollama'" not in err.replace("Eliminated Ollama: 'ollama' not installed", "")
    assert not (model_copy.parent / "tiny-optimized.gguf").exists()


def test_without_llama_tools_estimates_win_and_nothing_is_written(
    fake_tools, model_copy: Path, capfd: pytest.CaptureFixture[str]
) -> None:
    threads_before, children_before = thread_count(), child_pids()
    result = fl.optimize(str(model_copy), "gguf")
    assert thread_count() == threads_before
    assert child_pids() == children_before
    err = capfd.readouterr().err
    assert "[ferrolune] llama-cli not found \u2014 using hardware-aware estimates for GGUF configs\n" in err
    assert result.runtime == "LlamaCpp"
    assert result.quantization == "Q4_K_M"
    assert result.output_path is None
    assert result.latency_ms == pytest.approx(1000.0 / result.tokens_per_sec)


@pytest.mark.parametrize("fmt", ["GGUF", "Gguf", "gguf"])
def test_format_is_case_insensitive(fake_tools, model_copy: Path, fmt: str) -> None:
    assert fl.optimize(str(model_copy), fmt).runtime == "LlamaCpp"


@pytest.mark.parametrize("fmt, shown", [("safetensors", "safetensors"), ("ONNX ", "onnx "), ("", "")])
def test_unknown_format_fails_before_any_work(fake_tools, model_copy: Path, fmt: str, shown: str,
                                              capfd: pytest.CaptureFixture[str]) -> None:
    with pytest.raises(RuntimeError, match=re.escape(f"unknown model format '{shown}'; expected 'onnx' or 'gguf'")):
        fl.optimize(str(model_copy), fmt)
    assert capfd.readouterr().err == ""


def test_stated_onnx_format_overrides_the_file(fake_tools, model_copy: Path,
                                               capfd: pytest.CaptureFixture[str]) -> None:
    with pytest.raises(RuntimeError) as info:
        fl.optimize(str(model_copy), "onnx", gpu="cpu")
    assert str(info.value).startswith(BOTH_FAILED + NO_RUNTIMES)
    assert "[Stage 3/4] Preselected runtimes: [OnnxRuntime]" in capfd.readouterr().err


def test_gpu_presets_replace_the_detected_gpu(fake_tools, model_copy: Path,
                                              capfd: pytest.CaptureFixture[str]) -> None:
    planned = fl.optimize(str(model_copy), "gguf", gpu="RTX 4090")
    assert ", GPU=yes, VRAM=24576MB, " in stage_lines(capfd.readouterr().err)[0]
    assert planned.gpu_layers > 0  # estimates reward offloading

    cpu_only = fl.optimize(str(model_copy), "gguf", gpu="cpu")
    assert ", GPU=no, VRAM=none, " in stage_lines(capfd.readouterr().err)[0]
    assert cpu_only.gpu_layers == 0

    with pytest.raises(RuntimeError, match=re.escape("Unknown GPU model: 'nvidiartx4090'. Try: 4090")):
        fl.optimize(str(model_copy), "gguf", gpu="NVIDIA RTX 4090")


@pytest.mark.parametrize(
    "model_rel, given, expected_rel",
    [
        ("llama.gguf", None, "llama-optimized.gguf"),
        ("dir/llama.Q4.gguf", None, "dir/llama.Q4-optimized.gguf"),
        ("llama.gguf", "out/custom.bin", "out/custom.bin"),
    ],
)
def test_output_path_rules(fake_tools, tiny_gguf: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                           model_rel: str, given: str | None, expected_rel: str) -> None:
    monkeypatch.chdir(tmp_path)
    (tmp_path / model_rel).parent.mkdir(parents=True, exist_ok=True)
    (tmp_path / model_rel).write_bytes(tiny_gguf.read_bytes())
    if given:
        (tmp_path / given).parent.mkdir(parents=True, exist_ok=True)
    fake_tools.add("llama-quantize")

    result = fl.optimize(model_rel, "gguf", output_path=given)

    assert result.output_path == expected_rel
    assert fake_tools.args("llama-quantize") == [model_rel, expected_rel, "q4_k_m"]


@pytest.mark.parametrize("status", [1, 139])
def test_failing_quantizer_leaves_output_path_none(fake_tools, model_copy: Path, status: int) -> None:
    fake_tools.add("llama-quantize", status=status)
    result = fl.optimize(str(model_copy), "gguf")
    assert fake_tools.args("llama-quantize") is not None
    assert result.output_path is None


@pytest.mark.parametrize("alias", ["same", "dot", "symlink", "hardlink"])
def test_output_naming_the_input_is_refused_and_the_input_kept(
    fake_tools, model_copy: Path, alias: str
) -> None:
    fake_tools.add("llama-quantize")
    original = model_copy.read_bytes()
    target = {
        "same": str(model_copy),
        "dot": str(model_copy.parent / "." / model_copy.name),
        "symlink": str(model_copy.parent / "alias.gguf"),
        "hardlink": str(model_copy.parent / "linked.gguf"),
    }[alias]
    if alias == "symlink":
        Path(target).symlink_to(model_copy)
    if alias == "hardlink":
        os.link(model_copy, target)
    result = fl.optimize(str(model_copy), "gguf", output_path=target)
    assert result.output_path is None
    assert fake_tools.args("llama-quantize") is None
    assert model_copy.read_bytes() == original


def test_result_object(fake_tools, model_copy: Path) -> None:
    fake_tools.add("llama-quantize")
    result = fl.optimize(str(model_copy), "gguf", use_cache=False)

    data = json.loads(result.to_json())
    assert list(data) == ["config", "metrics"]
    assert list(data["config"]) == ["runtime", "quantization", "threads", "batch_size", "gpu_layers"]
    assert data["config"]["runtime"] == result.runtime
    assert data["config"]["threads"] == result.threads
    assert data["metrics"]["tokens_per_sec"] == result.tokens_per_sec
    assert data["metrics"]["peak_memory_mb"] == result.peak_memory_mb
    assert "optimized" not in result.to_json()
    assert " " not in result.to_json()

    tps = f"{result.tokens_per_sec:.1f}"
    assert repr(result) == f"OptimizationResult(runtime={result.runtime}, quant={result.quantization}, tps={tps})"
    assert str(result) == repr(result)
    assert isinstance(result.threads, int) and isinstance(result.latency_ms, float)
    with pytest.raises(AttributeError):
        result.runtime = "Ollama"  # type: ignore[misc]


@pytest.mark.parametrize(
    "target, reason",
    [
        ("input", r"^refusing to re-quantize '.*tiny\.gguf' onto itself"),
        ("missing_dir", r"^cannot write '.*/absent/out\.gguf': No such file or directory$"),
    ],
    ids=["output_names_the_input", "output_directory_missing"],
)
def test_skipped_requantization_says_why(
    real_tools: Path, model_copy: Path, capfd: pytest.CaptureFixture[str], target: str, reason: str
) -> None:
    output = str(model_copy) if target == "input" else str(model_copy.parent / "absent" / "out.gguf")
    original = model_copy.read_bytes()

    result = fl.optimize(str(model_copy), "gguf", output_path=output)

    assert result.output_path is None
    assert re.search(reason, result.requantize_skipped_reason), result.requantize_skipped_reason
    captured = capfd.readouterr()
    skipped = [line for line in captured.err.splitlines() if line.startswith("[ferrolune] no re-quantized model")]
    assert skipped == [f"[ferrolune] no re-quantized model written: {result.requantize_skipped_reason}"]
    # The tool's own dumps stay captured; nothing reaches standard output.
    assert captured.out == ""
    assert model_copy.read_bytes() == original


def test_requantization_reports_start_and_end_and_keeps_tool_output_off_the_terminal(
    real_tools: Path, model_copy: Path, capfd: pytest.CaptureFixture[str]
) -> None:
    result = fl.optimize(str(model_copy), "gguf")
    captured = capfd.readouterr()
    assert result.output_path is not None
    assert captured.out == ""
    # One start and one end line per file made: the measured files in the
    # search's private directory (made side by side, so their lines may
    # interleave), then the winner's file renamed into place.
    starts = [line for line in captured.err.splitlines() if line.startswith("[ferrolune] re-quantizing ")]
    ends = [line for line in captured.err.splitlines() if line.startswith("[ferrolune] re-quantized to ")]
    assert starts and len(starts) == len(ends), (starts, ends)
    for line in starts:
        assert re.match(r"^\[ferrolune\] re-quantizing .*tiny\.gguf to \w+ \u2192 .*/\.ferrolune-variants-\w+/\w+\.gguf$",
                        line), line
    for line in ends:
        assert re.match(r"^\[ferrolune\] re-quantized to \w+: [\d.]+ [KMG]B \u2192 [\d.]+ [KMG]B in [\d.]+ s$", line)
    assert f"[ferrolune] wrote the measured {result.quantization} file \u2192 {result.output_path}\n" in captured.err
    # No loader or tensor dump lines of the tool.
    assert "llama_model_loader" not in captured.err


@pytest.mark.parametrize(
    "content",
    [b"", b"\0" * 4096, b"this is plain text, not a model\n" * 20],
    ids=["empty", "zeros", "plain_text"],
)
def test_file_that_is_no_model_fails_before_any_measurement(
    fake_tools, tmp_path: Path, capfd: pytest.CaptureFixture[str], content: bytes
) -> None:
    model = tmp_path / "not-a-model.gguf"
    model.write_bytes(content)
    fake_tools.add("llama-quantize")
    with pytest.raises(RuntimeError) as raised:
        fl.optimize(str(model), "gguf")
    err = capfd.readouterr().err
    assert "[Stage" not in err and "[Bayes" not in err
    assert "install the required binaries" not in str(raised.value)
    # The reader's own words, naming the file.
    assert str(model) in str(raised.value)
    assert fake_tools.args("llama-quantize") is None
