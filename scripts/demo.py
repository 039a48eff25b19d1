"""The demo: a small generated llama model through the whole command line.

Writes a random-weight llama GGUF, then runs `ferrolune profile`,
`ferrolune analyze` and `ferrolune optimize --export` with the real
llama.cpp tools on PATH (which prints the winner and the table of every
configuration it measured, best first), and lists the Ollama bundle it wrote.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

import model_factory  # noqa: E402  (the tests' model writer)


def run(*args: str) -> None:
    print(f"\n$ ferrolune {' '.join(args)}", flush=True)
    subprocess.run([sys.executable, "-m", "ferrolune", *args], check=True)


def main() -> int:
    work = ROOT / "build" / "demo"
    if work.exists():
        shutil.rmtree(work)
    work.mkdir(parents=True)
    model = work / "tiny-llama.gguf"
    info = model_factory.write_llama_gguf(model, n_layer=4, n_embd=256, n_head=8, n_head_kv=4, n_ff=768,
                                          context_length=1024, dtype="f16", seed=7)
    print(f"wrote {model} ({model.stat().st_size / 1e6:.1f} MB, {info.param_count:,} parameters)")
    for tool in ("llama-bench", "llama-completion", "llama-quantize"):
        print(f"{tool}: {shutil.which(tool) or 'not on PATH'}")

    bundle = work / "bundle"
    run("profile")
    run("analyze", str(model))
    run("optimize", str(model), "--format", "gguf", "--export", str(bundle))

    print(f"\nbundle files in {bundle}:")
    for entry in sorted(bundle.iterdir()):
        print(f"  {entry.name:<14} {entry.stat().st_size:>12,} bytes")
    print("\nModelfile:")
    print((bundle / "Modelfile").read_text(encoding="utf-8"))
    optimized = work / "tiny-llama-optimized.gguf"
    if optimized.exists():
        print(f"re-quantized model: {optimized} ({optimized.stat().st_size / 1e6:.1f} MB)")
    return 0


if __name__ == "__main__":
    os.environ.setdefault("PYTHONUNBUFFERED", "1")
    sys.exit(main())
