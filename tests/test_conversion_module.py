"""One GGUF model converted through the native module and measured on both
runtimes: convert_gguf_to_onnx / convert_onnx_to_gguf run the runner
scripts, optimize() measures the ONNX file with the real ONNX Runtime adapter."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

import model_factory as mf

ferrolune = pytest.importorskip("ferrolune._ferrolune", reason="the native module is not built")
pytest.importorskip("onnxruntime")
pytest.importorskip("gguf")


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_module_round_trip_returns_absolute_paths_and_restores_the_file(in_tmp):
    m = mf.write_llama_gguf(in_tmp / "m.gguf", seed=21)
    onnx_path = ferrolune.convert_gguf_to_onnx("m.gguf", "m.onnx")
    assert onnx_path == str(in_tmp / "m.onnx")
    back = ferrolune.convert_onnx_to_gguf(onnx_path, str(in_tmp / "back.gguf"))
    assert Path(back).read_bytes() == m.path.read_bytes()


@pytest.mark.parametrize("convert, src, fragment", [
    ("convert_gguf_to_onnx", "notes.gguf", "not a valid GGUF file"),
    ("convert_onnx_to_gguf", "plain.onnx", "carries no GGUF metadata"),
])
def test_module_raises_the_runner_error(in_tmp, convert, src, fragment):
    (in_tmp / "notes.gguf").write_text("not a model")
    mf.write_onnx_decoder(in_tmp / "plain.onnx")
    with pytest.raises(RuntimeError, match=fragment):
        getattr(ferrolune, convert)(src, "out.bin")
    assert not (in_tmp / "out.bin").exists()


def test_optimize_measures_the_converted_model_on_onnx_runtime(in_tmp):
    mf.write_llama_gguf(in_tmp / "m.gguf", seed=22)
    onnx_path = ferrolune.convert_gguf_to_onnx("m.gguf", "m.onnx")
    result = ferrolune.optimize(onnx_path, "onnx")
    assert result.runtime == "OnnxRuntime"
    assert result.tokens_per_sec > 0 and result.latency_ms > 0 and result.peak_memory_mb > 0
    assert json.loads(result.to_json())["config"]["runtime"] == "OnnxRuntime"
