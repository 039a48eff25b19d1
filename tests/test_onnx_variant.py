"""Quantized ONNX variants made by the variant runner with ONNX Runtime's own
tools, checked with the real onnx and onnxruntime packages and the runner
that measures ONNX models."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import model_factory as mf

onnx = pytest.importorskip("onnx")
ort = pytest.importorskip("onnxruntime")

PKG = Path(__file__).resolve().parent.parent / "python" / "ferrolune" / "runners"
RUNNER = PKG / "onnx_variant_runner.py"
MEASURE = PKG / "onnx_runner.py"

FLOAT, INT8, UINT8, FLOAT16 = (onnx.TensorProto.FLOAT, onnx.TensorProto.INT8, onnx.TensorProto.UINT8,
                               onnx.TensorProto.FLOAT16)


def run(script: Path, request: str | dict, python: str = sys.executable) -> dict:
    """Run a runner as the native side does; the reply must be the only stdout."""
    text = request if isinstance(request, str) else json.dumps(request)
    proc = subprocess.run([python, str(script)], input=text.encode(), capture_output=True, timeout=300)
    lines = proc.stdout.decode().splitlines()
    assert proc.returncode == 0, proc.stderr.decode()
    assert len(lines) == 1, f"stdout must hold one reply line, got {proc.stdout!r}\nstderr: {proc.stderr.decode()}"
    return json.loads(lines[0])


def weight_types(path: Path) -> set[int]:
    return {t.data_type for t in onnx.load(str(path)).graph.initializer}


def io_types(session) -> list[str]:
    return [a.type for a in session.get_inputs()] + [a.type for a in session.get_outputs()]


@pytest.fixture
def decoder(tmp_path: Path) -> Path:
    # Big enough weights that the quantizer does not pass them over.
    return mf.write_onnx_decoder(tmp_path / "decoder.onnx", vocab=256, n_embd=64)


@pytest.fixture
def dense(tmp_path: Path) -> Path:
    """float32 x[batch, 64] -> MatMul -> Relu -> MatMul -> y[batch, 32]: float inputs as well as outputs."""
    from onnx import TensorProto, helper, numpy_helper

    rng = np.random.default_rng(1)
    graph = helper.make_graph(
        [helper.make_node("MatMul", ["x", "w1"], ["h"]), helper.make_node("Relu", ["h"], ["r"]),
         helper.make_node("MatMul", ["r", "w2"], ["y"])],
        "dense",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, ["batch", 64])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, ["batch", 32])],
        initializer=[numpy_helper.from_array(rng.standard_normal((64, 128)).astype(np.float32), "w1"),
                     numpy_helper.from_array(rng.standard_normal((128, 32)).astype(np.float32), "w2")],
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    path = tmp_path / "dense.onnx"
    onnx.save(model, str(path))
    return path


# quantization, a weight type the variant must hold, one it must no longer hold
VARIANTS = [
    pytest.param("Int8", INT8, None, id="int8"),
    pytest.param("F16", FLOAT16, FLOAT, id="f16"),
]


@pytest.mark.parametrize("quantization,present,absent", VARIANTS)
def test_dense_variant_runs_on_the_cpu_with_float32_io(dense: Path, quantization, present, absent):
    before = dense.read_bytes()
    out = dense.with_name(f"dense-{quantization}.onnx")
    reply = run(RUNNER, {"input": str(dense), "output": str(out), "quantization": quantization})
    assert reply == {"output": str(out.resolve())}
    assert dense.read_bytes() == before
    types = weight_types(out)
    assert present in types and absent not in types and types != weight_types(dense)

    original = ort.InferenceSession(str(dense), providers=["CPUExecutionProvider"])
    variant = ort.InferenceSession(str(out), providers=["CPUExecutionProvider"])
    assert io_types(variant) == io_types(original) == ["tensor(float)", "tensor(float)"]
    x = np.random.default_rng(2).standard_normal((3, 64)).astype(np.float32)
    want, = original.run(None, {"x": x})
    got, = variant.run(None, {"x": x})
    assert got.dtype == np.float32
    # Close to the original, not equal to it: the weights really changed.
    assert not np.array_equal(got, want)
    assert np.abs(got - want).max() < 0.05 * np.abs(want).max()
    assert not [p for p in out.parent.iterdir() if p.name.startswith(".ferrolune-") or p.name.startswith("ort.quant")]


@pytest.mark.parametrize("quantization,present,absent", VARIANTS)
def test_decoder_variant_is_measured_by_the_onnx_runner(decoder: Path, quantization, present, absent):
    out = decoder.with_name(f"decoder-{quantization}.onnx")
    assert run(RUNNER, {"input": str(decoder), "output": str(out), "quantization": quantization}) == {
        "output": str(out.resolve())}
    assert present in weight_types(out)
    session = ort.InferenceSession(str(out), providers=["CPUExecutionProvider"])
    assert io_types(session) == ["tensor(int64)", "tensor(float)"]
    reply = run(MEASURE, {"batch_size": 1, "execution_provider": "CPUExecutionProvider", "model_path": str(out),
                          "prompt_tokens": 8, "threads": 1})
    assert "error" not in reply, reply
    assert reply["tokens_per_sec"] > 0


def test_replaces_an_existing_output_whole(dense: Path):
    out = dense.with_name("out.onnx")
    out.write_bytes(b"old")
    assert run(RUNNER, {"input": str(dense), "output": str(out), "quantization": "F16"}) == {"output": str(out)}
    assert FLOAT16 in weight_types(out)


def _not_onnx(tmp: Path) -> tuple[Path, str]:
    p = tmp / "garbage.onnx"
    p.write_bytes(b"\xff\x00 this is not a protobuf")
    return p, "not a valid ONNX file"


def _missing(tmp: Path) -> tuple[Path, str]:
    return tmp / "absent.onnx", "input file not found"


def _empty(tmp: Path) -> tuple[Path, str]:
    p = tmp / "empty.onnx"
    p.write_bytes(b"")
    return p, "the model has no graph"


def _external_data(tmp: Path) -> tuple[Path, str]:
    from onnx import TensorProto, helper, numpy_helper

    w = numpy_helper.from_array(np.ones((64, 64), dtype=np.float32), "w")
    graph = helper.make_graph([helper.make_node("MatMul", ["x", "w"], ["y"])], "ext",
                              [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 64])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 64])], initializer=[w])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    p = tmp / "ext.onnx"
    onnx.save(model, str(p), save_as_external_data=True, all_tensors_to_one_file=True, location="ext.data",
              size_threshold=0)
    return p, "keeps its weights in external data files"


@pytest.mark.parametrize("make_input", [_not_onnx, _missing, _empty, _external_data],
                         ids=["not_onnx", "missing", "empty", "external_data"])
@pytest.mark.parametrize("quantization", ["Int8", "F16"])
def test_bad_input_gives_an_error_and_leaves_no_output(tmp_path: Path, make_input, quantization):
    src, message = make_input(tmp_path)
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    out = out_dir / "variant.onnx"
    reply = run(RUNNER, {"input": str(src), "output": str(out), "quantization": quantization})
    assert message in reply["error"], reply
    assert list(out_dir.iterdir()) == []


def test_a_failed_conversion_keeps_the_previous_output(tmp_path: Path):
    src, _ = _not_onnx(tmp_path)
    out = tmp_path / "kept.onnx"
    out.write_bytes(b"previous")
    assert "error" in run(RUNNER, {"input": str(src), "output": str(out), "quantization": "Int8"})
    assert out.read_bytes() == b"previous"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["garbage.onnx", "kept.onnx"]


def _same_text(src: Path) -> str:
    return str(src)


def _other_spelling(src: Path) -> str:
    return str(src.parent / "." / ".." / src.parent.name / src.name)


def _symlink(src: Path) -> str:
    link = src.with_name("link.onnx")
    link.symlink_to(src)
    return str(link)


def _hard_link(src: Path) -> str:
    link = src.with_name("hard.onnx")
    os.link(src, link)
    return str(link)


@pytest.mark.parametrize("output_of", [_same_text, _other_spelling, _symlink, _hard_link],
                         ids=["same_text", "other_spelling", "symlink", "hard_link"])
def test_never_writes_onto_the_input(dense: Path, output_of):
    before = dense.read_bytes()
    reply = run(RUNNER, {"input": str(dense), "output": output_of(dense), "quantization": "Int8"})
    assert "onto itself" in reply["error"]
    assert dense.read_bytes() == before


@pytest.mark.parametrize(
    "request_text,message",
    [
        ('{"input": "a.onnx", "output": "b.onnx", "quantization": "Q4_K_M"}', "'quantization' must be one of Int8, F16"),
        ('{"input": "a.onnx", "output": "b.onnx"}', "'quantization' must be a string"),
        ('{"input": "", "output": "b.onnx", "quantization": "F16"}', "'input' must be a non-empty string"),
        ("[1]", "not a JSON object"),
    ],
    ids=["unknown_quantization", "no_quantization", "empty_input", "not_an_object"],
)
def test_invalid_requests_are_error_replies(request_text: str, message: str):
    assert message in run(RUNNER, request_text)["error"]


def test_missing_onnxruntime_names_the_interpreter(dense: Path, tmp_path: Path):
    """An interpreter whose onnxruntime cannot be imported: the reply says which interpreter lacked it."""
    shadow = tmp_path / "shadow"
    (shadow / "onnxruntime").mkdir(parents=True)
    (shadow / "onnxruntime" / "__init__.py").write_text("raise ImportError('no onnxruntime here')\n")
    python = tmp_path / "python-without-ort"
    python.write_text(f"#!/bin/sh\nPYTHONPATH='{shadow}' exec '{sys.executable}' \"$@\"\n")
    python.chmod(0o755)
    out = tmp_path / "never.onnx"
    reply = run(RUNNER, {"input": str(dense), "output": str(out), "quantization": "Int8"}, python=str(python))
    assert "the Python package 'onnxruntime' is required" in reply["error"]
    assert f"{sys.executable} cannot import it" in reply["error"]
    assert not out.exists()


def test_runner_ships_in_the_installed_package():
    import ferrolune

    installed = Path(ferrolune.__file__).resolve().parent / "runners" / RUNNER.name
    if installed.parent == PKG:
        pytest.skip("ferrolune is imported from the checkout, not an installed package")
    assert installed.read_bytes() == RUNNER.read_bytes()


def test_optimize_writes_the_measured_onnx_variant_and_leaves_no_other_file(tmp_path: Path) -> None:
    """Through optimize(): each quantization measured on its own variant, the
    winner's file written as {stem}-optimized.onnx, nothing else left."""
    import ferrolune

    model = tmp_path / "dec.onnx"
    mf.write_onnx_decoder(model, vocab=64, n_embd=64)
    result = ferrolune.optimize(model, "onnx")

    assert result.runtime == "OnnxRuntime"
    assert result.output_path == str(tmp_path / "dec-optimized.onnx")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dec-optimized.onnx", "dec.onnx"]
    # Both variants were measured, and the written file is the winner's type.
    assert {r["quantization"] for r in result.measurements} == {"F16", "Int8"}
    written = weight_types(Path(result.output_path))
    if result.quantization == "Int8":
        assert INT8 in written or UINT8 in written
    else:
        assert FLOAT16 in written
    session = ort.InferenceSession(result.output_path, providers=["CPUExecutionProvider"])
    assert session.get_inputs()
