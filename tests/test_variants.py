"""Each quantization is measured on a file of that quantization.

The fakes stand in for llama.cpp's tools: the quantizer records which input
got which type and writes a GGUF-headed file marked with the type; the
generator's throughput depends on the mark of the file it is given, its
threads and its GPU layers. The real cases run the built tools on a
generated F16 model.
"""

from __future__ import annotations

import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import model_factory
from ferrolune import _ferrolune as fl

# Throughput per measured file; "input" is the F16 input itself.
BASE = {"input": 100.0, "q8_0": 200.0, "q4_k_m": 300.0, "q4_0": 250.0, "f16": 150.0}
OWN_TYPE = {"F16": "input", "Q8_0": "q8_0", "Q4_K_M": "q4_k_m", "Q4_0": "q4_0"}

FAKE_QUANTIZE = """#!/bin/sh
echo "$1 $3" >> '{log}'
{delay}
printf 'GGUF\\nFAKE-MARK=%s\\n' "$3" > "$2"
exit {status}
"""

# The figure is printed in llama.cpp's timing-line form.
FAKE_COMPLETION = """#!/bin/sh
case "$1" in --version) echo "version: 1 (fake)"; exit 0;; --help) echo "-no-cnv"; exit 0;; esac
model=""; threads=0; layers=0
while [ $# -gt 0 ]; do
  case "$1" in -m) model="$2"; shift;; --threads) threads="$2"; shift;; --n-gpu-layers) layers="$2"; shift;; esac
  shift
done
mark=$(/bin/grep -a -o 'FAKE-MARK=[a-z0-9_]*' "$model" | /usr/bin/cut -d= -f2)
[ -n "$mark" ] || mark=input
case "$mark" in {cases} esac
tps=$(/usr/bin/awk "BEGIN {{ printf \\"%.2f\\", $base + $threads + 0.5 * $layers }}")
echo "common_perf_print:        eval time =      10.00 ms /    50 runs   (    0.20 ms per token, $tps tokens per second)" >&2
"""


def fake_tps(mark: str, threads: int, layers: int) -> float:
    return round(BASE[mark] + threads + 0.5 * layers, 2)


def write_tool(directory: Path, name: str, text: str) -> None:
    path = directory / name
    path.write_text(text)
    path.chmod(0o755)


@pytest.fixture
def fakes(tmp_path: Path, monkeypatch: pytest.MonkeyPatch):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    log = tmp_path / "quantize.log"

    def install(quantize_status: int = 0, quantize_delay: str = "") -> Path:
        write_tool(bin_dir, "llama-quantize", FAKE_QUANTIZE.format(log=log, status=quantize_status, delay=quantize_delay))
        cases = " ".join(f"{k}) base={v};;" for k, v in BASE.items())
        write_tool(bin_dir, "llama-completion", FAKE_COMPLETION.format(cases=cases))
        return log

    monkeypatch.setenv("PATH", str(bin_dir))
    return install


@pytest.fixture
def f16_model(tmp_path: Path) -> Path:
    # feed-forward 8x the embedding: a compute-bound model, whose space holds
    # F16 (the input's own type), Q8_0 and Q4_K_M.
    path = tmp_path / "work" / "model.gguf"
    path.parent.mkdir()
    model_factory.write_llama_gguf(path, n_embd=64, n_ff=512, dtype="f16")
    return path


def leftovers(*dirs: Path) -> list[Path]:
    return [p for d in dirs for p in d.glob(".ferrolune-variants-*")]


def measured_configs(err: str) -> list[str]:
    """The configurations of the search's init and iteration lines."""
    found = re.findall(r"^\[Bayes init \d+/\d+\] (\S+/\S+/\d+ threads/\d+ gpu_layers) \u2192", err, re.M)
    found += re.findall(r"^\[Bayes iter \d+/\d+\] (\S+/\S+/\d+ threads/\d+ gpu_layers)$", err, re.M)
    return found


def mark_of(path: Path) -> str:
    found = re.search(rb"FAKE-MARK=([a-z0-9_]+)", path.read_bytes())
    return found.group(1).decode() if found else "input"


@pytest.mark.parametrize("gpu", ["cpu", "RTX 4090"], ids=["cpu_only", "with_gpu_layers"])
def test_winner_reports_its_own_files_figure_and_that_file_is_the_output(
    fakes, f16_model: Path, capfd: pytest.CaptureFixture[str], gpu: str
) -> None:
    log = fakes()
    result = fl.optimize(str(f16_model), "gguf", gpu=gpu)
    err = capfd.readouterr().err

    assert result.runtime == "LlamaCpp"
    mark = OWN_TYPE[result.quantization] if result.quantization == "F16" else result.quantization.lower()
    assert result.tokens_per_sec == fake_tps(mark, result.threads, result.gpu_layers)

    configs = measured_configs(err)
    assert configs and len(configs) == len(set(configs)), configs

    # Each type made once, from the input; none of higher precision than F16.
    made = log.read_text().split("\n")[:-1] if log.exists() else []
    types = [line.split()[1] for line in made]
    assert len(types) == len(set(types)), made
    assert all(line.split()[0] == str(f16_model) for line in made)
    assert "f16" not in types

    output = f16_model.parent / "model-optimized.gguf"
    assert result.output_path == str(output)
    assert mark_of(output) == mark
    if result.quantization != "F16":
        assert result.quantization.lower() in types
    assert leftovers(f16_model.parent) == []


def test_input_type_winning_gives_a_copy_of_the_input(
    fakes, f16_model: Path, monkeypatch: pytest.MonkeyPatch, capfd: pytest.CaptureFixture[str]
) -> None:
    fakes()
    BASE_SLOW = dict(BASE, q8_0=1.0, q4_k_m=1.0)
    bin_dir = Path(os.environ["PATH"])
    cases = " ".join(f"{k}) base={v};;" for k, v in BASE_SLOW.items())
    write_tool(bin_dir, "llama-completion", FAKE_COMPLETION.format(cases=cases))

    result = fl.optimize(str(f16_model), "gguf", gpu="cpu")

    assert result.quantization == "F16"
    assert Path(result.output_path).read_bytes() == f16_model.read_bytes()
    assert "[ferrolune] the input is already F16: copied it \u2192 " in capfd.readouterr().err
    assert leftovers(f16_model.parent) == []


def test_without_the_quantizer_only_the_inputs_own_type_is_measured(
    fakes, f16_model: Path, capfd: pytest.CaptureFixture[str]
) -> None:
    fakes()
    (Path(os.environ["PATH"]) / "llama-quantize").unlink()

    result = fl.optimize(str(f16_model), "gguf", gpu="cpu")
    err = capfd.readouterr().err

    assert err.count("[ferrolune] llama-quantize not found \u2014 only the input's own type (F16) is measured\n") == 1
    assert {c.split("/")[1] for c in measured_configs(err)} == {"F16"}
    assert result.quantization == "F16"
    assert result.tokens_per_sec == fake_tps("input", result.threads, 0)


def test_failing_quantizer_leaves_only_the_own_type_and_no_directory(
    fakes, f16_model: Path, capfd: pytest.CaptureFixture[str]
) -> None:
    log = fakes(quantize_status=1)
    result = fl.optimize(str(f16_model), "gguf", gpu="cpu")
    err = capfd.readouterr().err
    assert result.quantization == "F16"
    assert "llama-quantize exited with code 1" in err
    # Each failed type was tried once, not once per configuration.
    types = [line.split()[1] for line in log.read_text().splitlines()]
    assert len(types) == len(set(types))
    assert leftovers(f16_model.parent) == []


def test_failed_search_leaves_no_directory(fakes, f16_model: Path) -> None:
    fakes()
    with pytest.raises(RuntimeError, match="^cartesian fallback also failed: "):
        fl.optimize(str(f16_model), "gguf", gpu="cpu", max_latency_ms=1e-9)
    assert leftovers(f16_model.parent) == []
    assert not (f16_model.parent / "model-optimized.gguf").exists()


def test_output_elsewhere_gets_the_private_directory_beside_it(
    fakes, f16_model: Path, tmp_path: Path
) -> None:
    fakes()
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    result = fl.optimize(str(f16_model), "gguf", gpu="cpu", output_path=str(out_dir / "best.gguf"))
    assert result.output_path == str(out_dir / "best.gguf")
    assert mark_of(out_dir / "best.gguf") == result.quantization.lower()
    assert sorted(p.name for p in out_dir.iterdir()) == ["best.gguf"]
    assert leftovers(f16_model.parent, out_dir) == []


CHILD = """
import sys
from ferrolune import _ferrolune as fl
try:
    fl.optimize(sys.argv[1], "gguf", gpu="cpu")
except KeyboardInterrupt:
    sys.exit(3)
"""


def test_interrupt_while_a_variant_is_made_removes_the_directory(fakes, f16_model: Path, tmp_path: Path) -> None:
    started = tmp_path / "started"
    fakes(quantize_delay=f"echo $$ >> '{started}'; exec /bin/sleep 120")
    proc = subprocess.Popen([sys.executable, "-c", CHILD, str(f16_model)], env=dict(os.environ),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not started.exists() and proc.poll() is None:
            time.sleep(0.05)
        assert started.exists() and proc.poll() is None, "no variant was being made"
        assert leftovers(f16_model.parent) != []
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 3, err
    assert leftovers(f16_model.parent) == []
    assert not (f16_model.parent / "model-optimized.gguf").exists()


def test_real_tools_write_the_reported_type_and_leave_no_variant(
    llama_bin: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capfd: pytest.CaptureFixture[str]
) -> None:
    import gguf

    assert (llama_bin / "llama-bench").exists(), "the measuring tool is part of the cached llama.cpp tools"
    monkeypatch.setenv("PATH", str(llama_bin))
    model = tmp_path / "f16.gguf"
    model_factory.write_llama_gguf(model, n_embd=256, n_ff=512, dtype="f16")

    result = fl.optimize(str(model), "gguf", gpu="cpu")

    err = capfd.readouterr().err
    # ollama is not installed: eliminated up front, never measured.
    assert "[Stage 3/7] Eliminated Ollama: 'ollama' not installed" in err
    assert not [line for line in err.splitlines() if line.startswith("[Bayes") and "Ollama" in line]
    # The reported figures are the winner's own row.
    (winner,) = [r for r in result.measurements if r["winner"]]
    assert winner["quantization"] == result.quantization and winner["tokens_per_sec"] == result.tokens_per_sec
    assert winner["runs"] >= 3

    file_type = {"F16": 1, "Q8_0": 7, "Q4_K_M": 15, "Q4_0": 2}[result.quantization]
    reader = gguf.GGUFReader(result.output_path)
    field = reader.fields["general.file_type"]
    assert int(field.parts[field.data[0]][0]) == file_type
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f16-optimized.gguf", "f16.gguf"]


def test_real_tools_make_smaller_types_from_an_already_quantized_input(
    llama_bin: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    import subprocess

    monkeypatch.setenv("PATH", str(llama_bin))
    f16 = tmp_path / "f16.gguf"
    model_factory.write_llama_gguf(f16, n_embd=256, n_ff=512, dtype="f16")
    q8 = tmp_path / "q8.gguf"
    subprocess.run([str(llama_bin / "llama-quantize"), str(f16), str(q8), "q8_0"], check=True, capture_output=True)
    f16.unlink()

    result = fl.optimize(str(q8), "gguf", gpu="cpu")

    measured = {r["quantization"] for r in result.measurements}
    # Smaller types are made from the Q8_0 input; nothing above it is tried.
    assert "Q4_K_M" in measured
    assert "F16" not in measured
    assert sorted(p.name for p in tmp_path.iterdir()) == ["q8-optimized.gguf", "q8.gguf"]
