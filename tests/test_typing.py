"""The type stubs describe the module well enough for `mypy --strict` users."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import ferrolune

USAGE = '''
from __future__ import annotations

import os
from pathlib import Path

import ferrolune
from ferrolune import HardwareProfile, OptimizationResult
from ferrolune._ferrolune import analyze_model, optimize


def plan(path: str) -> tuple[str, float, str | None]:
    hw: HardwareProfile = ferrolune.profile_hardware()
    cores: int = hw.cpu_cores
    vram: int | None = hw.gpu_vram_mb
    info = analyze_model(path)
    layers = info["layer_count"]
    result: OptimizationResult = optimize(path, "gguf", gpu=None, max_latency_ms=200, use_cache=True)
    manifest: str = ferrolune.export_ollama(result, "bundle")
    onnx: str = ferrolune.convert_gguf_to_onnx(path, "out.onnx")
    batch: int = result.batch_size
    for row in result.measurements:
        spread: float | None = row["tokens_per_sec_stddev"]
        marked: bool = row["winner"] and not row["estimate"]
        print(row["runtime"], row["threads"] + row["gpu_layers"], spread, marked)
    # Every path argument takes what open() takes.
    analyze_model(Path(path))
    analyze_model(os.fsencode(path))
    optimize(Path(path), "gguf", output_path=b"out.gguf")
    ferrolune.export_ollama(result, Path("bundle"))
    ferrolune.convert_onnx_to_gguf(Path("m.onnx"), b"m.gguf")
    print(cores, vram, layers, manifest, onnx, batch, HardwareProfile.detect().to_json())
    return result.runtime, result.tokens_per_sec + result.latency_ms, result.output_path
'''

MISUSE = '''
import ferrolune

ferrolune.optimize("m.gguf", "gguf", use_cache=None)
ferrolune.profile_hardware().cpu_cores = 3
ferrolune.analyze_model(3)
ferrolune.optimize("m.gguf", "gguf").measurements[0]["tokens"]
'''


def run_mypy(tmp_path: Path, source: str) -> subprocess.CompletedProcess[str]:
    target = tmp_path / "usage.py"
    target.write_text(source)
    env = dict(os.environ)
    # An installed package is found by mypy itself (and must not be named on
    # MYPYPATH); a development build is pointed at explicitly.
    package_root = Path(ferrolune.__file__).resolve().parent.parent
    if package_root.name != "site-packages":
        env["MYPYPATH"] = str(package_root)
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull, str(target)],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300,
    )


def test_typical_usage_passes_strict_checking(tmp_path: Path) -> None:
    done = run_mypy(tmp_path, USAGE)
    assert done.returncode == 0, done.stdout + done.stderr


def test_misuse_is_reported(tmp_path: Path) -> None:
    done = run_mypy(tmp_path, MISUSE)
    assert done.returncode == 1
    assert 'Argument "use_cache" to "optimize" has incompatible type "None"' in done.stdout
    assert "cpu_cores" in done.stdout
    assert 'Argument 1 to "analyze_model" has incompatible type "int"' in done.stdout
    assert '"tokens"' in done.stdout
