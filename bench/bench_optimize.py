"""Cost and quality of optimize().

Overhead: optimize() on a generated llama GGUF with the real llama.cpp tools
(ollama absent, as on this machine), timed from Python, against the tool
runs it made. Every llama.cpp tool is reached through a small wrapper that
logs when the real tool started and ended, so the figures are

  * the sum of the tool runs' durations (several run at once, so this can
    exceed the wall time),
  * the busy time: the union of those intervals, when at least one tool ran,
  * overhead ratio = optimize() wall time / busy time (target <= 1.05).

Search quality: optimize() with a fake llama-completion whose throughput is
a known function of --threads and --n-gpu-layers (planning for an RTX 4090,
so the GPU-layer dimension spans 0 to 32). The best throughput the twelve
Bayesian measurements found, as a fraction of the exhaustive best over the
same space, averaged over several surfaces.

Run by `make bench` (llama.cpp tools on PATH) or directly:
    python bench/bench_optimize.py [--repeat N] [--json OUT]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import model_factory  # noqa: E402
from ferrolune import _ferrolune as fl  # noqa: E402

LLAMA_TOOLS = ("llama-completion", "llama-cli", "llama-quantize")
MODEL: dict[str, Any] = dict(n_layer=4, n_embd=256, n_head=4, n_head_kv=2, n_ff=768, context_length=512)


def write_wrapper(directory: Path, name: str, real: str, log: Path) -> None:
    script = directory / name
    script.write_text(
        "#!/bin/sh\n"
        "start=$(date +%s%N)\n"
        f"'{real}' \"$@\"\n"
        "rc=$?\n"
        f"echo \"$start $(date +%s%N) {name}\" >> '{log}'\n"
        "exit $rc\n"
    )
    script.chmod(0o755)


def busy_seconds(intervals: list[tuple[int, int]]) -> float:
    total, end = 0, None
    for s, e in sorted(intervals):
        if end is None or s > end:
            total += e - s
            end = e
        elif e > end:
            total += e - end
            end = e
    return total / 1e9


def overhead(tmp: Path, repeat: int) -> dict:
    model = tmp / "bench.gguf"
    model_factory.write_llama_gguf(model, **MODEL)
    wrappers = tmp / "wrapped-bin"
    wrappers.mkdir()
    log = tmp / "tool-runs.log"
    found = 0
    for name in LLAMA_TOOLS:
        real = shutil.which(name)
        if real:
            write_wrapper(wrappers, name, real, log)
            found += 1
    if not shutil.which("llama-completion") and not shutil.which("llama-cli"):
        raise SystemExit("bench_optimize: llama.cpp tools not on PATH (run through `make bench`)")

    saved = os.environ["PATH"]
    # The wrappers only; they call the real tools by absolute path. ollama
    # stays absent.
    os.environ["PATH"] = f"{wrappers}:/usr/bin:/bin"
    runs = []
    try:
        for _ in range(repeat):
            log.unlink(missing_ok=True)
            t0 = time.perf_counter()
            result = fl.optimize(str(model), "gguf")
            wall = time.perf_counter() - t0
            intervals = []
            for line in log.read_text().splitlines():
                s, e, _name = line.split()
                intervals.append((int(s), int(e)))
            runs.append(dict(wall_s=wall, tool_runs=len(intervals),
                             tool_sum_s=sum(e - s for s, e in intervals) / 1e9,
                             tool_busy_s=busy_seconds(intervals), runtime=result.runtime,
                             requantized=result.output_path is not None))
    finally:
        os.environ["PATH"] = saved
    best = min(runs, key=lambda r: r["wall_s"] / r["tool_busy_s"])
    return dict(runs=runs, overhead_ratio=best["wall_s"] / best["tool_busy_s"],
                median_ratio=sorted(r["wall_s"] / r["tool_busy_s"] for r in runs)[len(runs) // 2])


FAKE_COMPLETION = """#!{python}
import json, math, os, sys
args = sys.argv[1:]
if "--version" in args:
    print("version: 0 (fake)"); sys.exit(0)
if "--help" in args:
    print("-no-cnv"); sys.exit(0)
surface = json.loads(os.environ["FERROLUNE_FAKE_SURFACE"])
threads = int(args[args.index("--threads") + 1])
layers = int(args[args.index("--n-gpu-layers") + 1])
tf = surface["threads"].get(str(threads), 0.5)
gf = 1.0 + surface["boost"] * math.exp(-((layers - surface["peak_layer"]) / surface["width"]) ** 2)
tps = surface["base"] * tf * gf
print(f"llama_perf_context_print:        eval time =     {{49000.0 / tps:.6f}} ms /    49 runs   "
      f"(    {{1000.0 / tps:.6f}} ms per token, {{tps:.6f}} tokens per second)")
"""


def surface_value(surface: dict, threads: int, layers: int) -> float:
    tf = surface["threads"].get(str(threads), 0.5)
    return surface["base"] * tf * (1.0 + surface["boost"] * math.exp(-((layers - surface["peak_layer"]) / surface["width"]) ** 2))


def thread_values(cores: int) -> list[int]:
    return sorted({min(max(v, 1), 64) for v in (cores // 2, cores, 2 * cores)})


def search_quality(tmp: Path) -> dict:
    model = tmp / "quality.gguf"
    # 32 blocks, so the GPU-layer dimension spans 0 to 32 as the surfaces assume.
    model_factory.write_llama_gguf(model, n_layer=32)
    fake_bin = tmp / "fake-bin"
    fake_bin.mkdir()
    fake = fake_bin / "llama-completion"
    fake.write_text(FAKE_COMPLETION.format(python=sys.executable))
    fake.chmod(0o755)

    threads = thread_values(fl.profile_hardware().cpu_cores)
    shapes = [  # (peak layer, width, boost, favoured thread count index)
        (0, 4.0, 1.0, 0), (8, 3.0, 2.0, -1), (20, 2.0, 3.0, len(threads) // 2),
        (32, 6.0, 1.5, -1), (13, 1.5, 4.0, 0),
    ]
    saved = os.environ["PATH"]
    os.environ["PATH"] = str(fake_bin)
    fractions = []
    try:
        for peak, width, boost, fav in shapes:
            tfac = {str(t): 0.7 for t in threads}
            tfac[str(threads[fav])] = 1.0
            surface = dict(base=40.0, threads=tfac, peak_layer=peak, width=width, boost=boost)
            os.environ["FERROLUNE_FAKE_SURFACE"] = json.dumps(surface)
            result = fl.optimize(str(model), "gguf", gpu="4090")
            exhaustive = max(surface_value(surface, t, g) for t in threads for g in range(33))
            fractions.append(result.tokens_per_sec / exhaustive)
    finally:
        os.environ["PATH"] = saved
        os.environ.pop("FERROLUNE_FAKE_SURFACE", None)
    return dict(fractions=fractions, mean_fraction=sum(fractions) / len(fractions))


def main(argv: list[str]) -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--json", type=Path)
    args, _ = ap.parse_known_args(argv)  # run_all.py hands every benchmark the same arguments

    with tempfile.TemporaryDirectory(prefix="ferrolune-bench-optimize-") as tmp_s:
        tmp = Path(tmp_s)
        # optimize() prints progress on stderr and llama-quantize on both
        # streams; keep the figures readable.
        sys.stdout.flush()
        saved = [os.dup(1), os.dup(2)]
        with open(tmp / "optimize.log", "wb") as sink:
            os.dup2(sink.fileno(), 1)
            os.dup2(sink.fileno(), 2)
            try:
                cost = overhead(tmp, args.repeat)
                quality = search_quality(tmp)
            finally:
                for fd, saved_fd in zip((1, 2), saved):
                    os.dup2(saved_fd, fd)
                    os.close(saved_fd)

    for i, r in enumerate(cost["runs"], 1):
        print(f"optimize() run {i}: wall {r['wall_s']:.2f} s, {r['tool_runs']} tool runs, "
              f"sum {r['tool_sum_s']:.2f} s, busy {r['tool_busy_s']:.2f} s, "
              f"ratio {r['wall_s'] / r['tool_busy_s']:.3f} ({r['runtime']}, requantized={r['requantized']})")
    print(f"overhead ratio (best of {len(cost['runs'])}): {cost['overhead_ratio']:.3f}  "
          f"(median {cost['median_ratio']:.3f}; target <= 1.05)")
    print("search quality, best found / exhaustive best per surface: "
          + ", ".join(f"{f:.3f}" for f in quality["fractions"]))
    print(f"search quality (mean over {len(quality['fractions'])} surfaces): {quality['mean_fraction']:.3f}")
    if args.json:
        args.json.write_text(json.dumps(dict(overhead=cost, quality=quality), indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
