"""Model inspection speed and memory against the usual ways of reading the
same files, each baseline measured in this same run.

  * GGUF: analyze_model() on a llama GGUF with a 152,064-token vocabulary and
    150,000 merges (about 6 MB of metadata), warm, against the gguf
    package's GGUFReader and llama.cpp's own gguf_init_from_file (no_alloc),
    the latter when the llama.cpp tools build left its library behind.
  * ONNX: analyze_model() on a 200 MB ONNX file with its weights inside,
    against onnx.load(path, load_external_data=False) summing the dims, and
    against merely reading the file into memory. Peak memory growth is
    measured in a fresh process for each.

Run by `make bench`, or directly (with the module importable):
    PYTHONPATH=build/<dir>/pkg python bench/bench_inspection.py [--quick]
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

ROOT = Path(__file__).resolve().parent
sys.path.insert(0, str(ROOT.parent / "tests"))

import model_factory as mf  # noqa: E402

LLAMA_VERSION = os.environ.get("LLAMA_CPP_PYTHON_VERSION", "0.3.36")
LLAMA_SRC = Path(os.environ.get("FERROLUNE_CACHE_DIR", Path.home() / ".cache" / "ferrolune")) / f"src-{LLAMA_VERSION}"

# Runs one inspection in a fresh interpreter and reports its time and the
# growth of the peak resident set over what the imports alone took. VmHWM
# belongs to this process image; getrusage's maxrss would carry the parent's.
CHILD = r"""
import json, sys, time
def hwm_kb():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("VmHWM:"))
mode, path = sys.argv[1], sys.argv[2]
if mode == "ferrolune":
    from ferrolune import _ferrolune
    run = lambda: _ferrolune.analyze_model(path)["param_count"]
elif mode == "onnx":
    import math, onnx
    run = lambda: sum(math.prod(t.dims) for t in onnx.load(path, load_external_data=False).graph.initializer)
else:
    run = lambda: len(open(path, "rb").read())
before = hwm_kb()
start = time.perf_counter()
value = run()
elapsed = time.perf_counter() - start
after = hwm_kb()
print(json.dumps({"ms": elapsed * 1e3, "growth_mb": (after - before) / 1024, "value": value}))
"""


def median_ms(fn, repeats: int) -> float:
    fn()  # warm: page cache, first-call costs
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append((time.perf_counter() - start) * 1e3)
    return statistics.median(times)


def timed(fn) -> float:
    start = time.perf_counter()
    fn()
    return (time.perf_counter() - start) * 1e3


def child(mode: str, path: Path) -> dict:
    out = subprocess.run([sys.executable, "-c", CHILD, mode, str(path)], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def llama_cpp_reader(work: Path) -> Path | None:
    """Builds the llama.cpp timing helper against the tools build's ggml-base."""
    include = LLAMA_SRC / f"llama_cpp_python-{LLAMA_VERSION}" / "vendor" / "llama.cpp" / "ggml" / "include"
    lib = LLAMA_SRC / "build" / "ggml" / "src" / "libggml-base.a"
    cxx = shutil.which("g++") or shutil.which("c++")
    if not (include.is_dir() and lib.is_file() and cxx):
        return None
    exe = work / "gguf_open_llamacpp"
    subprocess.run([cxx, "-O2", "-std=c++17", f"-I{include}", str(ROOT / "gguf_open_llamacpp.cpp"), str(lib),
                    "-fopenmp", "-lpthread", "-lm", "-o", str(exe)], check=True, capture_output=True)
    return exe


def bench_gguf(work: Path, repeats: int) -> None:
    from ferrolune import _ferrolune
    import gguf

    path = mf.write_large_vocab_gguf(work / "vocab.gguf")
    reader = gguf.GGUFReader(str(path))
    tokens = len(reader.fields["tokenizer.ggml.tokens"].data)
    merges = len(reader.fields["tokenizer.ggml.merges"].data)
    metadata_mb = reader.tensors[0].data_offset / 1e6 if reader.tensors else path.stat().st_size / 1e6
    del reader

    ours = median_ms(lambda: _ferrolune.analyze_model(str(path)), repeats)
    print(f"GGUF, {tokens} tokens and {merges} merges (about {metadata_mb:.1f} MB of metadata)")
    print(f"  analyze_model                     {ours:9.3f} ms  (median of {repeats}, warm)")
    # GGUFReader takes seconds on this file: two runs, the cache already warm.
    base = statistics.median(timed(lambda: gguf.GGUFReader(str(path))) for _ in range(2))
    print(f"  gguf.GGUFReader                   {base:9.3f} ms  ratio {base / ours:8.1f}x")
    exe = None
    try:
        exe = llama_cpp_reader(work)
    except subprocess.CalledProcessError as e:
        print(f"  llama.cpp gguf_init_from_file     not built: {e.stderr.decode(errors='replace')[-200:]}")
    if exe:
        subprocess.run([str(exe), str(path), "1"], check=True, capture_output=True)  # warm
        out = subprocess.run([str(exe), str(path), str(repeats)], check=True, capture_output=True, text=True)
        base = float(out.stdout)
        print(f"  llama.cpp gguf_init_from_file     {base:9.3f} ms  ratio {base / ours:8.1f}x  (no_alloc)")
    elif exe is None:
        print("  llama.cpp gguf_init_from_file     skipped (no llama.cpp tools build with libggml-base.a)")


def bench_onnx(work: Path, repeats: int, size_mb: int) -> None:
    from ferrolune import _ferrolune

    side = 4096
    per = side * side * 4
    count = max(1, round(size_mb * 1e6 / per))
    path = mf.write_onnx_weights(work / "big.onnx", [[side, side]] * count + [[side]], node_count=3)
    file_mb = path.stat().st_size / 1e6
    print(f"ONNX, {file_mb:.0f} MB with its weights inside ({count} x [{side}, {side}] float32 and a bias)")
    ours = median_ms(lambda: _ferrolune.analyze_model(str(path)), repeats)
    ours_mem = child("ferrolune", path)
    print(f"  analyze_model                     {ours:9.3f} ms  (median of {repeats}, warm)  "
          f"peak growth {ours_mem['growth_mb']:6.1f} MB")
    base = child("onnx", path)
    if base["value"] != ours_mem["value"]:
        print(f"  !! onnx.load counts {base['value']} parameters, analyze_model {ours_mem['value']}")
    print(f"  onnx.load(load_external_data=False) {base['ms']:7.1f} ms  ratio {base['ms'] / ours:8.1f}x  "
          f"peak growth {base['growth_mb']:6.1f} MB  ratio {base['growth_mb'] / max(ours_mem['growth_mb'], 0.1):6.1f}x")
    read = child("read", path)
    print(f"  reading the file into memory      {read['ms']:9.1f} ms  ratio {read['ms'] / ours:8.1f}x  "
          f"peak growth {read['growth_mb']:6.1f} MB")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer repeats and a 40 MB ONNX file")
    args = parser.parse_args()
    repeats = 10 if args.quick else 50
    with tempfile.TemporaryDirectory(prefix="ferrolune-bench-") as tmp:
        work = Path(tmp)
        bench_gguf(work, repeats)
        bench_onnx(work, repeats, 40 if args.quick else 200)
    return 0


if __name__ == "__main__":
    sys.exit(main())
