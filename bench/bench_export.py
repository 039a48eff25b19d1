"""Cost of export_ollama() and of one conversion round trip through the runner protocol.

  * export_ollama() of a GGUF model grown by --size-mib MiB of random bytes
    (the export only copies bytes), into a fresh bundle directory each
    time, best and median of --repeat runs;
  * convert_gguf_to_onnx() against a runner that answers at once, which is
    the fixed cost of starting python3, finding the script and reading the
    reply.

Each figure is also given as a ratio against a baseline measured in the same
run: shutil.copyfile of the same model, and python3 on PATH running the same
runner with the request piped in by subprocess.

Needs an optimize() that works without runtimes (it falls back to
estimates). Run directly:
    PYTHONPATH=<build>/pkg python bench/bench_export.py [--size-mib N] [--repeat N]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import ferrolune  # noqa: E402
import model_factory  # noqa: E402

INSTANT_RUNNER = 'import sys, json; json.loads(sys.stdin.read()); print(json.dumps({"output_path": "done"}))\n'


def timed(fn, repeat: int) -> list[float]:
    out = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        out.append(time.perf_counter() - t0)
    return out


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--size-mib", type=int, default=256)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--json", type=Path)
    args, _ = ap.parse_known_args()  # run_all hands every benchmark the same arguments

    with tempfile.TemporaryDirectory(prefix="ferrolune-bench-export-") as tmp_s:
        tmp = Path(tmp_s)
        small = tmp / "small.gguf"
        model_factory.write_llama_gguf(small)
        empty_bin = tmp / "empty-bin"
        empty_bin.mkdir()
        saved_path = os.environ["PATH"]
        os.environ["PATH"] = str(empty_bin)
        try:
            result = ferrolune.optimize(str(small), "gguf")
        finally:
            os.environ["PATH"] = saved_path

        # The bundle is made from the result's model path, so grow that file.
        with open(small, "ab") as f:
            chunk = os.urandom(1 << 20)
            for _ in range(args.size_mib):
                f.write(chunk)
        counter = iter(range(10**6))
        export_s = timed(lambda: ferrolune.export_ollama(result, str(tmp / f"bundle{next(counter)}")), args.repeat)
        copy_s = timed(lambda: shutil.copyfile(small, tmp / f"copy{next(counter)}.gguf"), args.repeat)
        for p in tmp.glob("bundle*/model.gguf"):
            p.unlink()
        for p in tmp.glob("copy*.gguf"):
            p.unlink()

        co = tmp / "co" / "python" / "ferrolune" / "runners"
        co.mkdir(parents=True)
        (co / "gguf_to_onnx_runner.py").write_text(INSTANT_RUNNER)
        os.chdir(tmp / "co")
        os.environ.pop("FERROLUNE_SOURCE_DIR", None)
        convert_s = timed(lambda: ferrolune.convert_gguf_to_onnx("a.gguf", "b.onnx"), args.repeat)
        python3 = shutil.which("python3") or sys.executable
        request = b'{"input_path":"a.gguf","output_path":"b.onnx"}'
        bare_s = timed(lambda: subprocess.run([python3, str(co / "gguf_to_onnx_runner.py")], input=request,
                                              capture_output=True, check=True), args.repeat)

    report = {
        "export_size_mib": args.size_mib,
        "export_best_s": min(export_s),
        "export_median_s": statistics.median(export_s),
        "export_mib_per_s_best": args.size_mib / min(export_s),
        "copyfile_best_s": min(copy_s),
        "export_vs_copyfile_median": statistics.median(export_s) / statistics.median(copy_s),
        "convert_roundtrip_best_s": min(convert_s),
        "convert_roundtrip_median_s": statistics.median(convert_s),
        "bare_runner_median_s": statistics.median(bare_s),
        "convert_vs_bare_runner_median": statistics.median(convert_s) / statistics.median(bare_s),
    }
    print(json.dumps(report, indent=2))
    if args.json:
        args.json.write_text(json.dumps(report, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
