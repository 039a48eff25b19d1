"""Runs every bench/bench_*.py in turn and passes their figures through.

Each benchmark prints its figures as ratios against baselines measured in
the same run. Extra arguments are handed to every benchmark. Exits non-zero
if any benchmark failed, after running the rest.
"""

from __future__ import annotations

import subprocess
import sys
import time
from pathlib import Path


def main(argv: list[str]) -> int:
    here = Path(__file__).resolve().parent
    benches = sorted(here.glob("bench_*.py"))
    failed = []
    for bench in benches:
        print(f"== {bench.name}", flush=True)
        start = time.monotonic()
        rc = subprocess.call([sys.executable, str(bench), *argv])
        print(f"== {bench.name}: {'ok' if rc == 0 else f'failed ({rc})'} in {time.monotonic() - start:.0f} s\n", flush=True)
        if rc != 0:
            failed.append(bench.name)
    if failed:
        print("failed: " + ", ".join(failed))
        return 1
    print(f"{len(benches)} benchmarks ran")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
