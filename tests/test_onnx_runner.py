"""The ONNX Runtime runner script against the real onnxruntime, with small
graphs built here with onnx.helper."""

from __future__ import annotations

import importlib.util
import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import onnx
import onnxruntime as ort
import pytest
from onnx import TensorProto, helper, numpy_helper

RUNNER = Path(__file__).resolve().parent.parent / "python" / "ferrolune" / "runners" / "onnx_runner.py"


def load_runner():
    if str(RUNNER.parent) not in sys.path:
        sys.path.insert(0, str(RUNNER.parent))  # the runner's sibling modules
    spec = importlib.util.spec_from_file_location("onnx_runner_under_test", RUNNER)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up here
    spec.loader.exec_module(module)
    return module


def save(graph, path: Path) -> Path:
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    onnx.checker.check_model(model)
    onnx.save(model, path)
    return path


def token_model(path: Path, vocab: int = 16, width: int = 8) -> Path:
    """input_ids [batch, seq] -> Gather over an embedding -> logits [batch, seq, vocab]."""
    emb = numpy_helper.from_array(np.random.default_rng(1).random((vocab, width), dtype=np.float32), "emb")
    head = numpy_helper.from_array(np.random.default_rng(2).random((width, vocab), dtype=np.float32), "head")
    ids = helper.make_tensor_value_info("input_ids", TensorProto.INT64, ["batch", "seq"])
    mask = helper.make_tensor_value_info("attention_mask", TensorProto.INT64, ["batch", "seq"])
    logits = helper.make_tensor_value_info("logits", TensorProto.FLOAT, ["batch", "seq", vocab])
    nodes = [
        helper.make_node("Gather", ["emb", "input_ids"], ["hidden"]),
        helper.make_node("MatMul", ["hidden", "head"], ["logits"]),
    ]
    return save(helper.make_graph(nodes, "tokens", [ids, mask], [logits], [emb, head]), path)


def float_model(path: Path) -> Path:
    x = helper.make_tensor_value_info("x", TensorProto.FLOAT, ["n", 4])
    y = helper.make_tensor_value_info("y", TensorProto.FLOAT, ["n", 4])
    return save(helper.make_graph([helper.make_node("Relu", ["x"], ["y"])], "relu", [x], [y]), path)


def request(model: Path, **overrides) -> str:
    req = {
        "batch_size": 1,
        "execution_provider": "CPUExecutionProvider",
        "model_path": str(model),
        "prompt_tokens": 50,
        "threads": 1,
    }
    req.update(overrides)
    return json.dumps(req, separators=(",", ":"))


def run_runner(stdin: str, *args: str, env=None) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, str(RUNNER), *args], input=stdin, capture_output=True, text=True, timeout=120, env=env
    )


@pytest.mark.parametrize("builder", [token_model, float_model], ids=["token-input", "float-input"])
@pytest.mark.parametrize("batch_size", [1, 3])
def test_run_mode_prints_one_success_reply(tmp_path, builder, batch_size):
    model = builder(tmp_path / "m.onnx")
    proc = run_runner(request(model, batch_size=batch_size, threads=2))
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert len(lines) == 1, proc.stdout
    reply = json.loads(lines[0])
    assert set(reply) == {"tokens_per_sec", "latency_ms", "peak_memory_mb"}
    assert reply["tokens_per_sec"] > 0
    assert reply["latency_ms"] > 0
    assert isinstance(reply["peak_memory_mb"], int) and reply["peak_memory_mb"] > 0


@pytest.mark.parametrize(
    "stdin, expected",
    [
        ("not json", "invalid request"),
        ("[1, 2]", "invalid request: not a JSON object"),
        (json.dumps({"model_path": "/x.onnx"}), "invalid request: 'execution_provider' must be a string"),
        (request(Path("/x.onnx"), threads=True), "invalid request: 'threads' must be an integer"),
        (request(Path("/x.onnx"), batch_size=-1), "invalid request: 'batch_size' must not be negative"),
        (request(Path("/nonexistent/model.onnx")), "could not load /nonexistent/model.onnx"),
    ],
)
def test_bad_requests_get_an_error_reply_and_exit_zero(stdin, expected):
    proc = run_runner(stdin)
    assert proc.returncode == 0, proc.stderr
    reply = json.loads(proc.stdout)
    assert list(reply) == ["error"]
    assert expected in reply["error"]


def test_unavailable_provider_is_named_instead_of_measuring_the_cpu(tmp_path):
    if "CUDAExecutionProvider" in ort.get_available_providers():
        pytest.skip("this machine has the CUDA provider")
    proc = run_runner(request(token_model(tmp_path / "m.onnx"), execution_provider="CUDAExecutionProvider"))
    assert proc.returncode == 0
    reply = json.loads(proc.stdout)
    assert "tokens_per_sec" not in reply
    assert "CUDAExecutionProvider is not available" in reply["error"]


def test_damaged_model_file_gets_an_error_reply(tmp_path):
    broken = tmp_path / "broken.onnx"
    broken.write_bytes(b"\x08\x07garbage that is not a model")
    reply = json.loads(run_runner(request(broken)).stdout)
    assert reply["error"].startswith(f"could not load {broken}")


def test_check_succeeds_with_onnxruntime():
    proc = run_runner("", "--check")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == ""


def test_check_fails_when_onnxruntime_cannot_be_imported(tmp_path):
    (tmp_path / "onnxruntime.py").write_text("raise ImportError('broken on purpose')\n")
    env = {"PYTHONPATH": str(tmp_path), "PATH": "/usr/bin:/bin"}
    proc = run_runner("", "--check", env=env)
    assert proc.returncode != 0
    assert "broken on purpose" in proc.stderr


def test_unknown_arguments_are_refused():
    assert run_runner("", "--bogus").returncode == 2


class TestInputsFromSignature:
    @pytest.fixture
    def runner(self):
        return load_runner()

    def session(self, model: Path):
        return ort.InferenceSession(str(model), providers=["CPUExecutionProvider"])

    def test_token_inputs_have_batch_rows_of_prompt_length_within_the_vocabulary(self, runner, tmp_path):
        sess = self.session(token_model(tmp_path / "m.onnx", vocab=5))
        req = runner.Request("m", "CPUExecutionProvider", threads=1, batch_size=3, prompt_tokens=50)
        feeds = runner.build_inputs(sess, req)
        ids = feeds["input_ids"]
        assert ids.shape == (3, 50) and ids.dtype == np.int64
        assert ids.min() >= 0 and ids.max() < 5
        assert len(np.unique(ids)) > 1
        assert (feeds["attention_mask"] == 1).all() and feeds["attention_mask"].shape == (3, 50)

    @pytest.mark.parametrize(
        "declared, expected",
        [
            (["batch", "seq"], [2, 50]),
            ([None, 4], [2, 4]),
            ([1, "seq", 8], [1, 50, 8]),
            ([], []),
        ],
    )
    def test_free_dimensions_take_batch_then_prompt_length(self, runner, declared, expected):
        req = runner.Request("m", "CPUExecutionProvider", threads=1, batch_size=2, prompt_tokens=50)
        assert runner.input_shape(declared, req) == expected

    @pytest.mark.parametrize("threads, expected", [(4, 4), (0, 0)])
    def test_threads_set_intra_op_threads(self, runner, threads, expected):
        req = runner.Request("m", "CPUExecutionProvider", threads=threads, batch_size=1, prompt_tokens=50)
        assert runner.session_options(ort, req).intra_op_num_threads == expected
