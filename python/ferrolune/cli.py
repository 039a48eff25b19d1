"""Command line for Ferrolune: ``ferrolune {profile,analyze,optimize,export,convert}``.

Human-readable output by default, the system's JSON forms with ``--json``.
Exit status: 0 on success, 1 when the operation fails (its message goes to
standard error), 2 on usage errors.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
import unicodedata
from typing import Any, Iterator, Sequence

from . import _ferrolune as native

_ANALYZE_LABELS = {
    "format": "format",
    "param_count": "parameters",
    "architecture": "architecture",
    "context_length": "context length",
    "layer_count": "layers",
    "hidden_size": "hidden size",
    "attention_head_count": "attention heads",
    "attention_head_count_kv": "key/value heads",
    "feed_forward_length": "feed-forward length",
    "kv_cache_size_mb": "KV cache (MiB)",
    "memory_footprint_mb": "weights at F16 (MiB)",
    "flops_per_token": "FLOPs per token",
}


def _print_json(text: str) -> None:
    sys.stdout.write(text + "\n")


_BIDI_CONTROLS = frozenset("\u061c\u200e\u200f\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069")
_NAMED_ESCAPES = {"\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _printable(text: str) -> str:
    """Texts from a model file, shown with what a terminal would act on
    escaped, in the form the native error messages use."""
    out = []
    for c in text:
        if c in _NAMED_ESCAPES:
            out.append(_NAMED_ESCAPES[c])
        elif unicodedata.category(c) in ("Cc", "Zl", "Zp") or c in _BIDI_CONTROLS:
            out.append(f"\\x{ord(c):02x}" if ord(c) < 0x80 else f"\\u{ord(c):04x}")
        else:
            out.append(c)
    return "".join(out)


def _show(value: Any) -> str:
    if value is None:
        return "-"
    if isinstance(value, float):
        return f"{value:,.1f}"
    if isinstance(value, int):
        return f"{value:,}"
    return _printable(str(value))


def cmd_profile(args: argparse.Namespace) -> int:
    profile = native.profile_hardware()
    if args.json:
        _print_json(profile.to_json())
        return 0
    detail = json.loads(profile.to_json())
    cpu, gpu, ram = detail["cpu"], detail["gpu"], detail["ram"]
    print(f"CPU:  {cpu['brand']} ({cpu['core_count']} logical cores, {cpu['simd_level']})")
    if gpu is None:
        print("GPU:  none detected")
    else:
        cc = gpu["compute_capability"]
        cc_text = f", compute capability {cc[0]}.{cc[1]}" if cc else ""
        print(f"GPU:  {gpu['name']} ({gpu['vram_mb']} MiB, {gpu['vendor']}{cc_text})")
    print(f"RAM:  {ram['total_mb']} MiB total, {ram['available_mb']} MiB available")
    return 0


_U64_MAX = 2**64 - 1
# Figures computed from the parameter count: estimates whenever it is one.
_FROM_PARAM_COUNT = ("param_count", "memory_footprint_mb", "flops_per_token")


def _param_count_estimated(info: dict[str, Any]) -> bool:
    """Whether the reader computed the parameter count instead of reading it.

    A GGUF file without "general.parameter_count" gets 12 * L * E^2 from its
    block count and embedding width (saturating, as the reader does); the
    dictionary's keys are fixed, so the CLI recognises that figure. An
    explicit count equal to that figure would be marked too; the mark then
    says nothing false about the value."""
    count, layers, width = info.get("param_count"), info.get("layer_count"), info.get("hidden_size")
    if info.get("format") != "gguf" or count is None or layers is None or width is None:
        return False
    return bool(count == min(12 * layers * width * width, _U64_MAX))


def cmd_analyze(args: argparse.Namespace) -> int:
    info = native.analyze_model(args.model)
    if args.json:
        _print_json(json.dumps(info, separators=(",", ":")))
        return 0
    estimated = set(_FROM_PARAM_COUNT) if _param_count_estimated(info) else set()
    width = max(len(label) for label in _ANALYZE_LABELS.values())
    for key, value in info.items():
        shown = _show(value)
        if key in estimated and value is not None:
            shown = f"~{shown} (estimated)"
        print(f"{_ANALYZE_LABELS.get(key, key):<{width}}  {shown}")
    return 0


@contextlib.contextmanager
def _child_output_to_stderr() -> Iterator[None]:
    """Sends whatever the tools print (llama-quantize inherits our standard
    output) to standard error, so standard output holds only our answer."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        os.dup2(2, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def _optimize(args: argparse.Namespace) -> Any:
    # The quantizer's output is captured below us; only its start, end and
    # any failure reach standard error, as one line each.
    return native.optimize(
        args.model,
        args.format,
        gpu=args.gpu,
        max_latency_ms=args.latency,
        output_path=args.output,
    )


def _print_result(result: Any) -> None:
    print(f"runtime:        {result.runtime}")
    print(f"quantization:   {result.quantization}")
    print(f"threads:        {result.threads}")
    print(f"batch size:     {result.batch_size}")
    print(f"GPU layers:     {result.gpu_layers}")
    chosen_estimate = any(r["winner"] and r["estimate"] for r in result.measurements)
    print(f"tokens/s:       {result.tokens_per_sec:.1f}{' (estimate)' if chosen_estimate else ''}")
    print(f"latency:        {result.latency_ms:.1f} ms")
    print(f"peak memory:    {result.peak_memory_mb} MB")
    print(f"optimized file: {result.output_path or f'- ({result.requantize_skipped_reason})'}")
    _print_measurements(result.measurements)


_TABLE_HEADER = ("", "runtime", "quantization", "threads", "GPU layers", "batch", "tokens/s", "latency (ms)",
                 "peak memory (MB)", "")


def _table_row(row: dict[str, Any]) -> tuple[str, ...]:
    tps = f"{row['tokens_per_sec']:.1f}"
    if row["tokens_per_sec_stddev"] is not None:
        tps += f" \u00b1 {row['tokens_per_sec_stddev']:.1f}"
    return (
        "*" if row["winner"] else "",
        row["runtime"],
        row["quantization"],
        str(row["threads"]),
        str(row["gpu_layers"]),
        str(row["batch_size"]),
        tps,
        f"{row['latency_ms']:.1f}",
        str(row["peak_memory_mb"]),
        "estimate" if row["estimate"] else "",
    )


def _print_measurements(rows: list[dict[str, Any]]) -> None:
    """Every measured configuration, best first: what was tried, not only
    what won. Failed measurements are not rows; their reasons were on
    standard error while the search ran."""
    if not rows:
        return
    table = [_TABLE_HEADER, *(_table_row(r) for r in rows)]
    widths = [max(len(cells[i]) for cells in table) for i in range(len(_TABLE_HEADER))]
    # Names left, figures right, as a reader scans them.
    right = {3, 4, 5, 6, 7, 8}
    print()
    print("measured configurations (best first; * = chosen):")
    for cells in table:
        parts = [c.rjust(w) if i in right else c.ljust(w) for i, (c, w) in enumerate(zip(cells, widths))]
        print("  ".join(parts).rstrip())
    if any(r["estimate"] for r in rows):
        print("estimate: no llama.cpp tool was found; the figure is computed from the hardware, not measured")


def _print_manifest(manifest_text: str) -> None:
    manifest = json.loads(manifest_text)
    print(f"bundle:         {manifest['output_dir']}")
    print(f"  Modelfile:    {manifest['modelfile_path']}")
    print(f"  model:        {manifest['model_gguf_path']}")
    for command in manifest["ollama_commands"]:
        print(f"  $ {command}")


def _emit(result: Any, manifest_text: str | None, as_json: bool) -> None:
    if as_json:
        # One document for scripts: the result's own JSON, the optimized
        # file, and the bundle manifest when one was written.
        output_path = json.dumps(result.output_path)
        manifest = manifest_text if manifest_text is not None else "null"
        measurements = json.dumps(result.measurements, separators=(",", ":"), ensure_ascii=False)
        _print_json(f'{{"result":{result.to_json()},"output_path":{output_path},"manifest":{manifest},'
                    f'"measurements":{measurements}}}')
        return
    _print_result(result)
    if manifest_text is not None:
        _print_manifest(manifest_text)


def cmd_optimize(args: argparse.Namespace) -> int:
    result = _optimize(args)
    manifest = None
    if args.export:
        with _child_output_to_stderr():
            manifest = native.export_ollama(result, args.export)
    _emit(result, manifest, args.json)
    return 0


def cmd_export(args: argparse.Namespace) -> int:
    result = _optimize(args)
    with _child_output_to_stderr():
        manifest = native.export_ollama(result, args.output_dir)
    _emit(result, manifest, args.json)
    return 0


def _extension(path: str) -> str:
    return os.path.splitext(path)[1].lower()


def cmd_convert(args: argparse.Namespace) -> int:
    source, target = _extension(args.input), _extension(args.output)
    if (source, target) == (".gguf", ".onnx"):
        convert = native.convert_gguf_to_onnx
    elif (source, target) == (".onnx", ".gguf"):
        convert = native.convert_onnx_to_gguf
    else:
        raise _UsageError("convert needs a .gguf input and an .onnx output, or an .onnx input and a .gguf output")
    with _child_output_to_stderr():
        written = convert(args.input, args.output)
    if args.json:
        _print_json(json.dumps({"output_path": written}, separators=(",", ":")))
    else:
        print(written)
    return 0


class _UsageError(Exception):
    pass


def _add_search_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--format", required=True, type=str.lower, choices=["gguf", "onnx"], help="model format")
    p.add_argument("--gpu", metavar="NAME", help='plan for this GPU model instead of the detected one ("cpu" for none)')
    p.add_argument("--latency", metavar="MS", type=float, help="latency limit in milliseconds")
    p.add_argument("--output", metavar="PATH", help="where to write the re-quantized model")
    p.add_argument("--json", action="store_true", help="print JSON instead of text")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="ferrolune", description="Find the fastest way to run a local LLM file on this machine.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("profile", help="show this machine's hardware profile")
    p.add_argument("--json", action="store_true", help="print the profile's JSON")
    p.set_defaults(run=cmd_profile)

    p = sub.add_parser("analyze", help="inspect a model file without loading its weights")
    p.add_argument("model", metavar="MODEL")
    p.add_argument("--json", action="store_true", help="print JSON instead of text")
    p.set_defaults(run=cmd_analyze)

    p = sub.add_parser("optimize", help="measure configurations and re-quantize the fastest")
    p.add_argument("model", metavar="MODEL")
    _add_search_options(p)
    p.add_argument("--export", metavar="DIR", help="also write an Ollama bundle into DIR")
    p.set_defaults(run=cmd_optimize)

    p = sub.add_parser("export", help="optimize, then write an Ollama bundle")
    p.add_argument("model", metavar="MODEL")
    p.add_argument("output_dir", metavar="DIR")
    _add_search_options(p)
    p.set_defaults(run=cmd_export)

    p = sub.add_parser("convert", help="convert between GGUF and ONNX (direction from the extensions)")
    p.add_argument("input", metavar="INPUT")
    p.add_argument("output", metavar="OUTPUT")
    p.add_argument("--json", action="store_true", help="print JSON instead of text")
    p.set_defaults(run=cmd_convert)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return int(args.run(args))
    except _UsageError as exc:
        parser.print_usage(sys.stderr)
        print(f"ferrolune: error: {exc}", file=sys.stderr)
        return 2
    except RuntimeError as exc:
        sys.stdout.flush()
        print(exc, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        # The work below has stopped and cleaned up; a traceback adds nothing.
        sys.stdout.flush()
        print("ferrolune: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
