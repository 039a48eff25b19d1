"""What `ferrolune optimize` shows of the search, and how `ferrolune analyze`
marks figures it computed rather than read.

The optimize cases run the CLI with a PATH holding only fake tools: a fake
llama.cpp whose throughput is a known function of the configuration it is
given, or nothing at all (every llama.cpp figure is then an estimate).
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Any

import pytest

import model_factory


def fake_tokens_per_sec(threads: int, gpu_layers: int) -> float:
    return 5.0 * threads + 2.0 * gpu_layers + 1.0


FAKE_LLAMA = textwrap.dedent(
    """\
    #!{python}
    import sys
    args = sys.argv[1:]
    if "--version" in args:
        print("version: 1 (fake)")
        sys.exit(0)
    if "--help" in args:
        print("usage: -no-cnv")
        sys.exit(0)
    threads = int(args[args.index("--threads") + 1])
    gpu_layers = int(args[args.index("--n-gpu-layers") + 1])
    tps = 5.0 * threads + 2.0 * gpu_layers + 1.0
    print("fake output")
    sys.stderr.write(
        "llama_perf_context_print:        eval time =     100.00 ms /    49 runs   "
        f"({{1000.0 / tps:10.6f}} ms per token, {{tps:10.6f}} tokens per second)\\n"
    )
    """
)

ROW = re.compile(
    r"^(?P<winner>\*?)\s*(?P<runtime>\S+)\s+(?P<quantization>\S+)\s+(?P<threads>\d+)\s+(?P<gpu_layers>\d+)\s+"
    r"(?P<batch_size>\d+)\s+(?P<tps>[\d.]+(?: \u00b1 [\d.]+)?)\s+(?P<latency>[\d.]+)\s+(?P<peak>\d+)"
    r"(?:\s+(?P<estimate>estimate))?$"
)


@pytest.fixture(scope="module")
def tiny_gguf(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("table") / "tiny.gguf"
    model_factory.write_llama_gguf(path)
    return path


@pytest.fixture(scope="module")
def fake_llama(tmp_path_factory: pytest.TempPathFactory) -> str:
    directory = tmp_path_factory.mktemp("fake-bin")
    tool = directory / "llama-completion"
    tool.write_text(FAKE_LLAMA.format(python=sys.executable))
    tool.chmod(0o755)
    return str(directory)


@pytest.fixture(scope="module")
def no_tools(tmp_path_factory: pytest.TempPathFactory) -> str:
    return str(tmp_path_factory.mktemp("empty-bin"))


def cli(*args: str, path: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, PATH=path)
    return subprocess.run([sys.executable, "-m", "ferrolune", *args], capture_output=True, text=True,
                          env=env, cwd=cwd, timeout=600)


def optimize_both_ways(model: Path, path: str, tmp_path: Path) -> tuple[dict[str, Any], str]:
    """The JSON document and the human output of the same (deterministic) search."""
    as_json = cli("optimize", str(model), "--format", "gguf", "--json", path=path, cwd=tmp_path)
    assert as_json.returncode == 0, as_json.stderr
    as_text = cli("optimize", str(model), "--format", "gguf", path=path, cwd=tmp_path)
    assert as_text.returncode == 0, as_text.stderr
    return json.loads(as_json.stdout), as_text.stdout


def table_rows(text: str) -> list[re.Match[str]]:
    lines = text.splitlines()
    start = lines.index("measured configurations (best first; * = chosen):")
    assert lines[start + 1].split()[:2] == ["runtime", "quantization"]
    rows = []
    for line in lines[start + 2:]:
        match = ROW.match(line)
        if match is None:
            break
        rows.append(match)
    return rows


def check_table_matches_json(rows: list[dict[str, Any]], text: str) -> None:
    shown = table_rows(text)
    assert len(shown) == len(rows)
    for row, match in zip(rows, shown):
        spread = row["tokens_per_sec_stddev"]
        tps = f"{row['tokens_per_sec']:.1f}" + ("" if spread is None else f" \u00b1 {spread:.1f}")
        assert match["winner"] == ("*" if row["winner"] else "")
        assert (match["runtime"], match["quantization"]) == (row["runtime"], row["quantization"])
        assert (int(match["threads"]), int(match["gpu_layers"]), int(match["batch_size"])) == (
            row["threads"], row["gpu_layers"], row["batch_size"])
        assert match["tps"] == tps
        assert match["latency"] == f"{row['latency_ms']:.1f}"
        assert int(match["peak"]) == row["peak_memory_mb"]
        assert (match["estimate"] is not None) == row["estimate"]


def check_common_shape(doc: dict[str, Any]) -> list[dict[str, Any]]:
    assert list(doc) == ["result", "output_path", "manifest", "measurements"]
    rows = doc["measurements"]
    assert rows, "a successful search has measured something"
    figures = [r["tokens_per_sec"] for r in rows]
    assert figures == sorted(figures, reverse=True)
    configs = [(r["runtime"], r["quantization"], r["threads"], r["gpu_layers"], r["batch_size"]) for r in rows]
    assert len(set(configs)) == len(configs)
    winners = [r for r in rows if r["winner"]]
    assert len(winners) == 1
    config = doc["result"]["config"]
    assert (winners[0]["runtime"], winners[0]["quantization"], winners[0]["threads"], winners[0]["gpu_layers"],
            winners[0]["batch_size"]) == (config["runtime"], config["quantization"], config["threads"],
                                          config["gpu_layers"], config["batch_size"])
    assert winners[0]["tokens_per_sec"] == doc["result"]["metrics"]["tokens_per_sec"]
    return rows


def test_rows_are_the_fake_tools_figures(tiny_gguf: Path, fake_llama: str, tmp_path: Path) -> None:
    doc, text = optimize_both_ways(tiny_gguf, fake_llama, tmp_path)
    rows = check_common_shape(doc)
    for row in rows:
        # Ollama is not on PATH: its configurations failed and are not rows.
        assert row["runtime"] == "LlamaCpp"
        assert not row["estimate"]
        expected = fake_tokens_per_sec(row["threads"], row["gpu_layers"])
        assert row["tokens_per_sec"] == pytest.approx(expected, rel=1e-6)
        assert row["latency_ms"] == pytest.approx(1000.0 / expected, rel=1e-6)
        # Identical runs: a spread of nothing, but a spread.
        assert row["tokens_per_sec_stddev"] == pytest.approx(0.0, abs=1e-9)
        assert row["runs"] >= 3
    # The fastest configuration has the most threads the search tried.
    assert rows[0]["winner"] and rows[0]["threads"] == max(r["threads"] for r in rows)
    check_table_matches_json(rows, text)
    assert "estimate" not in text


def test_without_llama_tools_every_row_is_an_estimate(tiny_gguf: Path, no_tools: str, tmp_path: Path) -> None:
    doc, text = optimize_both_ways(tiny_gguf, no_tools, tmp_path)
    rows = check_common_shape(doc)
    for row in rows:
        assert row["estimate"]
        assert row["tokens_per_sec_stddev"] is None
    check_table_matches_json(rows, text)
    assert re.search(r"^tokens/s: +[\d.]+ \(estimate\)$", text, re.MULTILINE)
    assert "estimate: no llama.cpp tool was found" in text


def test_json_rows_are_the_api_rows(tiny_gguf: Path, no_tools: str, tmp_path: Path,
                                    monkeypatch: pytest.MonkeyPatch) -> None:
    from ferrolune import _ferrolune as native

    monkeypatch.setenv("PATH", no_tools)
    result = native.optimize(str(tiny_gguf), "gguf", output_path=str(tmp_path / "out.gguf"))
    rows = result.measurements
    assert rows and all(type(r) is dict for r in rows)
    assert list(rows[0]) == ["runtime", "quantization", "threads", "gpu_layers", "batch_size", "tokens_per_sec",
                             "tokens_per_sec_stddev", "latency_ms", "peak_memory_mb", "runs", "estimate", "winner"]
    # A fresh list each time: callers may change it freely.
    rows.clear()
    assert result.measurements
    # The fixed JSON form of the result does not grow.
    assert list(json.loads(result.to_json())) == ["config", "metrics"]


def _gguf_with_count(path: Path, explicit: int | None) -> Path:
    import gguf

    writer = gguf.GGUFWriter(str(path), "llama")
    writer.add_block_count(4)
    writer.add_embedding_length(64)
    if explicit is not None:
        writer.add_uint64("general.parameter_count", explicit)
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()
    return path


@pytest.mark.parametrize(
    ("explicit", "estimated"),
    [
        pytest.param(None, True, id="computed-from-shape"),
        pytest.param(123_456, False, id="explicit-count"),
    ],
)
def test_analyze_marks_computed_figures(tmp_path: Path, no_tools: str, explicit: int | None, estimated: bool) -> None:
    model = _gguf_with_count(tmp_path / "m.gguf", explicit)
    done = cli("analyze", str(model), path=no_tools, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    lines = {line.split("  ")[0].strip(): line for line in done.stdout.splitlines()}
    count = 12 * 4 * 64 * 64 if explicit is None else explicit
    for label in ("parameters", "weights at F16 (MiB)", "FLOPs per token"):
        assert ("(estimated)" in lines[label]) == estimated, lines[label]
        assert ("~" in lines[label]) == estimated, lines[label]
    assert lines["parameters"].endswith(f"{count:,}" + (" (estimated)" if estimated else ""))
    # Figures read from the file are never marked.
    for label in ("layers", "hidden size", "format"):
        assert "estimated" not in lines[label]
    # The JSON form keeps its twelve keys and plain values.
    info = json.loads(cli("analyze", str(model), "--json", path=no_tools, cwd=tmp_path).stdout)
    assert len(info) == 12 and info["param_count"] == count
