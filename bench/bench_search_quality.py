"""Search quality on scripted surfaces over quantization, threads and GPU layers.

Builds the native `search_quality` program (bench/search_quality.cpp) in
build/bench-search and runs it: the whole optimization pipeline, driven by a
measurement function that is a known function of the configuration, on
several surfaces (smooth, a ridge, quantization x threads interaction,
deterministic per-configuration noise, best at an edge, layer offload, a
plateau with a narrow peak at a middle layer count, fewer threads winning) and
machines (CPU only with 2 and 16 cores, the 4090 preset with 2 and 8 cores,
so GPU layers span 0 to 32). For each case it prints the best throughput the
search found as a fraction of the exhaustive best over the same space and
the measurements it used, then the figures per surface and on average.

Targets: >= 0.95 of the exhaustive best on average, >= 0.85 in every case.

Run by `make bench` or directly:
    python bench/bench_search_quality.py [--json OUT]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# The runtimes' tools, so that both GGUF runtimes count as installed: the
# measurements are scripted, so none of these ever runs.
STAND_INS = ("ollama", "llama-bench", "llama-completion", "llama-cli")
BUILD = ROOT / "build" / "bench-search"
MEAN_TARGET = 0.95
CASE_TARGET = 0.85


def build() -> Path:
    configure = ["cmake", "-S", str(ROOT), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=Release",
                 "-DFERROLUNE_BUILD_BENCH=ON", f"-DPython_EXECUTABLE={sys.executable}"]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    if (BUILD / "CMakeCache.txt").exists():
        configure = [c for c in configure if c not in ("-G", "Ninja")]  # the generator is fixed once
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    jobs = os.environ.get("FERROLUNE_BENCH_JOBS", "2")
    subprocess.run(["cmake", "--build", str(BUILD), "-j", jobs, "--target", "search_quality"], check=True,
                   stdout=subprocess.DEVNULL)
    return BUILD / "bench" / "search_quality"


def parse(stdout: str) -> list[dict]:
    cases = []
    for line in stdout.splitlines():
        words = line.split()
        if not words or words[0] != "case":
            continue
        fields = dict(w.split("=", 1) for w in words[3:])
        if "error" in fields:
            raise SystemExit(f"bench_search_quality: {line}")
        cases.append(dict(surface=words[1], machine=words[2], ratio=float(fields["ratio"]),
                          found=float(fields["found"]), best=float(fields["best"]),
                          measurements=int(fields["measurements"]), space=int(fields["space"]),
                          winner=fields["winner"], optimum=fields["optimum"]))
    if not cases:
        raise SystemExit("bench_search_quality: the program printed no cases")
    return cases


def mean(values: list[float]) -> float:
    return sum(values) / len(values)


def main(argv: list[str]) -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--json", type=Path)
    args, _ = ap.parse_known_args(argv)  # run_all.py hands every benchmark the same arguments

    program = build()
    log = BUILD / "search_quality.log"
    with tempfile.TemporaryDirectory(prefix="ferrolune-bench-search-") as tmp, open(log, "wb") as sink:
        for name in STAND_INS:
            tool = Path(tmp) / name
            tool.write_text("#!/bin/sh\nexit 0\n")
            tool.chmod(0o755)
        env = dict(os.environ, PATH=f"{tmp}:/usr/bin:/bin")
        run = subprocess.run([str(program)], stdout=subprocess.PIPE, stderr=sink, text=True, check=True,
                             timeout=600, env=env)
    cases = parse(run.stdout)

    print(f"{'surface':<16} {'machine':<8} {'ratio':>6} {'meas.':>5} {'space':>5}  winner / exhaustive best")
    for c in cases:
        print(f"{c['surface']:<16} {c['machine']:<8} {c['ratio']:6.3f} {c['measurements']:5d} {c['space']:5d}  "
              f"{c['winner']} / {c['optimum']}")

    surfaces = list(dict.fromkeys(c["surface"] for c in cases))
    print("\nper surface (mean over machines; searched = spaces larger than the budget):")
    for s in surfaces:
        rows = [c for c in cases if c["surface"] == s]
        searched = [c["ratio"] for c in rows if c["space"] > c["measurements"]]
        print(f"  {s:<16} mean {mean([c['ratio'] for c in rows]):.3f}  min {min(c['ratio'] for c in rows):.3f}"
              + (f"  searched mean {mean(searched):.3f}" if searched else "")
              + f"  measurements {mean([c['measurements'] for c in rows]):.1f}")

    overall = mean([c["ratio"] for c in cases])
    searched = [c["ratio"] for c in cases if c["space"] > c["measurements"]]
    worst = min(cases, key=lambda c: c["ratio"])
    print(f"\nsearch quality (mean over {len(cases)} cases): {overall:.3f}  (target >= {MEAN_TARGET})")
    if searched:
        print(f"search quality (mean over the {len(searched)} cases searched, not exhaustive): {mean(searched):.3f}")
    print(f"worst case: {worst['surface']} on {worst['machine']} {worst['ratio']:.3f}  (target >= {CASE_TARGET})")
    print(f"measurements per case: mean {mean([c['measurements'] for c in cases]):.1f}, "
          f"max {max(c['measurements'] for c in cases)}")
    met = overall >= MEAN_TARGET and worst["ratio"] >= CASE_TARGET
    print(f"targets {'met' if met else 'NOT met'}; pipeline log: {log}")
    if args.json:
        args.json.write_text(json.dumps(dict(cases=cases, mean=overall), indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
