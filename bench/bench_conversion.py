"""Conversion cost and cross-runtime speed of one generated llama model.

For a random-weight llama GGUF of about 100 M parameters (F16 weights):

  * wall time and peak resident memory of gguf_to_onnx_runner.py and of
    onnx_to_gguf_runner.py, each a fresh python3 process as the native
    module starts it;
  * generation speed of the same model on llama.cpp (llama-completion,
    50 tokens, greedy) and on ONNX Runtime (onnx_runner.py, the converted
    model, 50 tokens generated one at a time), side by side.

Run by `make bench` (llama.cpp tools on PATH) or directly:
    python bench/bench_conversion.py [--small] [--threads N] [--json OUT]
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PKG = ROOT / "python" / "ferrolune" / "runners"
# about 100.7 M parameters: 16 blocks of 6.29 M plus the byte vocabulary
FULL = dict(n_layer=16, n_embd=768, n_head=12, n_head_kv=4, n_ff=2048, context_length=512)
SMALL = dict(n_layer=2, n_embd=128, n_head=4, n_head_kv=2, n_ff=256, context_length=256)
GENERATED_TOKENS = 50


def run_measured(cmd: list[str], stdin: bytes = b"", env: dict | None = None) -> tuple[bytes, bytes, float, float]:
    """Run cmd and return stdout, stderr, wall seconds, peak RSS (MB) of that child alone."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    assert proc.stdin and proc.stdout and proc.stderr
    # The request is small and the replies are short, so writing first,
    # then reading, cannot deadlock; wait4 gives this child's own rusage.
    proc.stdin.write(stdin)
    proc.stdin.close()
    out = proc.stdout.read()
    err = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    elapsed = time.perf_counter() - start
    if proc.returncode != 0 and b"output_path" not in out and b"tokens_per_sec" not in out:
        raise RuntimeError(f"{cmd[0]} failed ({proc.returncode}): {err.decode(errors='replace')[-2000:]}")
    return out, err, elapsed, usage.ru_maxrss * 1024 / 1e6


def gguf_param_count(path: Path) -> int:
    import gguf

    return sum(int(t.n_elements) for t in gguf.GGUFReader(str(path)).tensors)


def convert(script: str, src: Path, dst: Path) -> tuple[float, float]:
    req = json.dumps({"input_path": str(src), "output_path": str(dst)}).encode()
    out, err, elapsed, peak = run_measured([sys.executable, str(PKG / script)], req)
    reply = json.loads(out)
    if "error" in reply:
        raise RuntimeError(f"{script}: {reply['error']}")
    return elapsed, peak


def llama_speed(model: Path, threads: int) -> tuple[float, float]:
    """Generation tokens/s and prompt tokens/s from llama-completion's timing lines."""
    exe = shutil.which("llama-completion")
    if exe is None:
        cached = Path.home() / ".cache/ferrolune/llama.cpp-0.3.36/bin/llama-completion"
        exe = str(cached) if cached.exists() else None
    if exe is None:
        raise RuntimeError("llama-completion not found on PATH")
    cmd = [exe, "-m", str(model), "-p", "benchmark", "-n", str(GENERATED_TOKENS), "--temp", "0",
           "--top-k", "1", "-s", "1", "-no-cnv", "-t", str(threads), "--ignore-eos"]
    env = dict(os.environ, OMP_WAIT_POLICY="PASSIVE")
    for _ in range(5):
        _, err, _, _ = run_measured(cmd, env=env)
        text = err.decode(errors="replace")
        gen = re.search(r"\n[^\n]*?\beval time =.*?/\s*(\d+) runs.*?([\d.]+) tokens per second", text)
        prompt = re.search(r"prompt eval time =.*?([\d.]+) tokens per second", text)
        # llama.cpp sometimes loses its last log lines at exit; run again
        if gen and prompt:
            return float(gen.group(2)), float(prompt.group(1))
    raise RuntimeError("llama-completion printed no timing lines")


def onnx_speed(model: Path, threads: int) -> tuple[float, float, int]:
    req = json.dumps({"batch_size": 1, "execution_provider": "CPUExecutionProvider", "model_path": str(model),
                      "prompt_tokens": GENERATED_TOKENS, "threads": threads}).encode()
    out, _, _, _ = run_measured([sys.executable, str(PKG / "onnx_runner.py")], req)
    reply = json.loads(out)
    if "error" in reply:
        raise RuntimeError(f"onnx_runner.py: {reply['error']}")
    return reply["tokens_per_sec"], reply["latency_ms"], reply["peak_memory_mb"]


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--small", action="store_true", help="a tiny model, to check the benchmark itself")
    ap.add_argument("--threads", type=int, default=min(4, os.cpu_count() or 1))
    ap.add_argument("--json", help="also write the figures to this file")
    args, _ = ap.parse_known_args(argv)  # run_all.py hands every benchmark the same arguments

    with tempfile.TemporaryDirectory(prefix="ferrolune-bench-") as tmp:
        d = Path(tmp)
        shape = SMALL if args.small else FULL
        # The model is written by a child: a child's peak RSS counts the
        # parent's memory at the time it was started, so this process stays small.
        t0 = time.perf_counter()
        factory = [sys.executable, str(ROOT / "tests" / "model_factory.py"), "llama", str(d / "model.gguf"),
                   "--f16", "--seed", "1"]
        for key, value in shape.items():
            factory += ["--ctx" if key == "context_length" else "--" + key.replace("_", "-"), str(value)]
        run_measured(factory)
        write_s = time.perf_counter() - t0
        params = gguf_param_count(d / "model.gguf")
        gguf_mb = (d / "model.gguf").stat().st_size / 1e6

        to_onnx_s, to_onnx_mb = convert("gguf_to_onnx_runner.py", d / "model.gguf", d / "model.onnx")
        onnx_mb = (d / "model.onnx").stat().st_size / 1e6
        to_gguf_s, to_gguf_mb = convert("onnx_to_gguf_runner.py", d / "model.onnx", d / "back.gguf")
        same = (d / "back.gguf").read_bytes() == (d / "model.gguf").read_bytes()
        # baseline: one plain copy of the ONNX file, the I/O any conversion needs
        t0 = time.perf_counter()
        shutil.copyfile(d / "model.onnx", d / "copy.onnx")
        copy_s = time.perf_counter() - t0

        llama_tps, llama_prompt_tps = llama_speed(d / "model.gguf", args.threads)
        ort_tps, ort_latency, ort_mb = onnx_speed(d / "model.onnx", args.threads)

    figures = {
        "params": params, "gguf_mb": round(gguf_mb, 1), "onnx_mb": round(onnx_mb, 1),
        "threads": args.threads, "generate_gguf_s": round(write_s, 2),
        "gguf_to_onnx_s": round(to_onnx_s, 2), "gguf_to_onnx_peak_mb": round(to_onnx_mb, 1),
        "onnx_to_gguf_s": round(to_gguf_s, 2), "onnx_to_gguf_peak_mb": round(to_gguf_mb, 1),
        "round_trip_identical": same, "copy_onnx_s": round(copy_s, 3),
        "llamacpp_generation_tps": llama_tps, "llamacpp_prompt_tps": llama_prompt_tps,
        "onnxruntime_generation_tps": round(ort_tps, 2), "onnxruntime_ms_per_token": round(ort_latency / GENERATED_TOKENS, 2),
        "onnxruntime_peak_mb": ort_mb,
    }
    print(f"bench_conversion: llama model, {params / 1e6:.1f} M parameters (F16 GGUF {gguf_mb:.0f} MB, "
          f"F32 ONNX {onnx_mb:.0f} MB), {args.threads} threads")
    print(f"  copy of the ONNX file {copy_s:8.2f} s   (baseline)")
    print(f"  gguf_to_onnx          {to_onnx_s:8.2f} s   ratio {to_onnx_s / copy_s:6.1f}x   peak {to_onnx_mb:7.1f} MB"
          f" ({to_onnx_mb / onnx_mb:.2f}x the ONNX file)")
    print(f"  onnx_to_gguf          {to_gguf_s:8.2f} s   ratio {to_gguf_s / copy_s:6.1f}x   peak {to_gguf_mb:7.1f} MB"
          f" ({to_gguf_mb / onnx_mb:.2f}x the ONNX file)   identical round trip: {same}")
    print(f"  llama.cpp             {llama_tps:8.2f} tokens/s generated ({GENERATED_TOKENS} tokens, greedy)  (baseline)")
    print(f"  ONNX Runtime          {ort_tps:8.2f} tokens/s generated ({GENERATED_TOKENS} tokens, greedy, KV cache)"
          f"  ratio {ort_tps / llama_tps:.2f}x")
    if args.json:
        Path(args.json).write_text(json.dumps(figures, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
