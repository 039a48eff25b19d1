"""The ONNX runner's greedy generation loop on models converted from GGUF:
the tokens it generates are llama.cpp's, and its reply measures generation."""

from __future__ import annotations

import dataclasses
import importlib.util
import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from onnx import TensorProto, helper, numpy_helper

import model_factory as mf
from test_conversion_runners import TO_ONNX, convert, llama_completion

ort = pytest.importorskip("onnxruntime")

RUNNER = Path(__file__).resolve().parent.parent / "python" / "ferrolune" / "runners" / "onnx_runner.py"


def load_runner():
    if str(RUNNER.parent) not in sys.path:
        sys.path.insert(0, str(RUNNER.parent))  # the runner's sibling modules
    spec = importlib.util.spec_from_file_location("onnx_runner_generation_under_test", RUNNER)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


runner = load_runner()


def request(model: Path, **overrides) -> dict:
    req = {"batch_size": 1, "execution_provider": "CPUExecutionProvider", "model_path": str(model),
           "prompt_tokens": 10, "threads": 1}
    req.update(overrides)
    return req


@pytest.fixture(scope="module")
def llama(tmp_path_factory):
    root = tmp_path_factory.mktemp("gen")
    m = mf.write_llama_gguf(root / "m.gguf", seed=11)
    return m, convert(TO_ONNX, m.path, root / "m.onnx")


def test_generated_tokens_are_llama_completions_greedy_continuation(llama):
    m, onnx_path = llama
    session = ort.InferenceSession(str(onnx_path), providers=["CPUExecutionProvider"])
    req = runner.Request.parse(json.dumps(request(onnx_path, batch_size=2, prompt_tokens=10)))
    workload = runner.choose_workload(session, req)
    assert isinstance(workload, runner.GenerationWorkload)
    workload.run()
    rows = workload.generated
    assert rows.shape == (2, 10) and (rows[0] == rows[1]).all()
    assert workload.tokens() == 20

    # The runner's seed prompt starts with id 1 (<s>, which llama.cpp adds
    # itself) followed by byte tokens, so it can be given as text.
    seed = [(i * 7 + 1) % mf.BYTE_VOCAB_SIZE for i in range(runner.GENERATION_SEED_TOKENS)]
    assert seed[0] == mf.BOS_ID and all(t > mf.BYTE_BASE for t in seed[1:])
    prompt = bytes(t - mf.BYTE_BASE for t in seed[1:]).decode("ascii")
    ids = [int(t) for t in rows[0]]
    if mf.EOS_ID in ids:
        pytest.skip("llama.cpp stops at end of text; the runner does not")
    assert llama_completion(m.path, prompt, 10) == mf.decode_pieces(ids) + b"\n\n"


def test_runner_reply_measures_generation_of_a_converted_model(llama):
    _, onnx_path = llama
    proc = subprocess.run([sys.executable, str(RUNNER)], input=json.dumps(request(onnx_path)).encode(),
                          capture_output=True, timeout=300)
    assert proc.returncode == 0, proc.stderr.decode()
    lines = proc.stdout.decode().splitlines()
    assert len(lines) == 1
    reply = json.loads(lines[0])
    assert set(reply) == {"tokens_per_sec", "latency_ms", "peak_memory_mb"}, reply
    assert reply["tokens_per_sec"] > 0 and reply["peak_memory_mb"] > 0
    # latency is one timed generation of prompt_tokens tokens
    assert reply["tokens_per_sec"] * reply["latency_ms"] / 1000 == pytest.approx(10)


def _graph(inputs, outputs, nodes, inits=()):
    model = helper.make_model(helper.make_graph(nodes, "g", inputs, outputs, list(inits)),
                              opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    return ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"])


def _ids(name="input_ids", t=TensorProto.INT64):
    return helper.make_tensor_value_info(name, t, ["b", "s"])


def _past(name):
    return helper.make_tensor_value_info(name, TensorProto.FLOAT, ["b", 2, "p", 3])


def _logits(name="logits", rank=3):
    return helper.make_tensor_value_info(name, TensorProto.FLOAT, ["b", "s", 5][:rank])


_EMB = numpy_helper.from_array(np.eye(5, dtype=np.float32), "emb")
_GATHER = helper.make_node("Gather", ["emb", "input_ids"], ["logits"])


@pytest.mark.parametrize("make, expected", [
    (lambda: _graph([_ids()], [_logits()], [_GATHER], [_EMB]), ("input_ids", "logits", [], [])),
    (lambda: _graph([_ids(), _ids("attention_mask"), _ids("position_ids")], [_logits()], [_GATHER], [_EMB]),
     ("input_ids", "logits", ["attention_mask", "position_ids"], [])),
    (lambda: _graph([_ids(), _past("past_key_values.0.key")], [_logits(), _past("present.0.key")],
                    [_GATHER, helper.make_node("Identity", ["past_key_values.0.key"], ["present.0.key"])], [_EMB]),
     ("input_ids", "logits", [], [("past_key_values.0.key", "present.0.key", "float32", 2, 3)])),
    # a cache that is never returned cannot be carried from step to step
    (lambda: _graph([_ids(), _past("past_key_values.0.key")], [_logits(), _past("other")],
                    [_GATHER, helper.make_node("Identity", ["past_key_values.0.key"], ["other"])], [_EMB]), None),
    # a cache input the loop cannot fill: measured as one forward pass
    (lambda: _graph([_ids(), _ids("past_length")], [_logits()], [_GATHER], [_EMB]), None),
    (lambda: _graph([helper.make_tensor_value_info("x", TensorProto.FLOAT, ["b", 5])],
                    [helper.make_tensor_value_info("y", TensorProto.FLOAT, ["b", 5])],
                    [helper.make_node("Relu", ["x"], ["y"])]), None),
    (lambda: _graph([_ids()], [helper.make_tensor_value_info("hidden", TensorProto.FLOAT, ["b", "s", 5])],
                    [helper.make_node("Gather", ["emb", "input_ids"], ["hidden"])], [_EMB]),
     ("input_ids", "hidden", [], [])),
], ids=["ids-only", "mask-and-positions", "cache", "cache-without-present", "unknown-int-input", "float-model",
        "other-output-name"])
def test_decoder_signature(make, expected):
    sig = runner.decoder_signature(make())
    if expected is None:
        assert sig is None
    else:
        ids, logits, others, cache = expected
        assert sig == runner.DecoderSignature(ids, logits, others, [runner.CacheSlot(*c) for c in cache])


def test_converted_model_is_driven_through_its_cache(llama):
    m, onnx_path = llama
    session = ort.InferenceSession(str(onnx_path), providers=["CPUExecutionProvider"])
    sig = runner.decoder_signature(session)
    assert len(sig.cache) == 2 * m.n_layer
    assert sig.cache[0] == runner.CacheSlot("past_key_values.0.key", "present.0.key", "float32",
                                            m.n_head_kv, m.head_dim)
    req = runner.Request.parse(json.dumps(request(onnx_path, prompt_tokens=12)))
    cached = runner.GenerationWorkload(session, req, sig)
    full = runner.GenerationWorkload(session, req, dataclasses.replace(sig, cache=[]))
    cached.run()
    full.run()
    assert cached.generated.tolist() == full.generated.tolist()


def test_generation_feeds_growing_mask_and_positions():
    # logits = one-hot(position + mask): the next token reveals what was fed.
    one = numpy_helper.from_array(np.eye(64, dtype=np.float32), "emb")
    nodes = [helper.make_node("Add", ["position_ids", "attention_mask"], ["sum"]),
             helper.make_node("Add", ["sum", "input_ids"], ["idx0"]),
             helper.make_node("Sub", ["idx0", "input_ids"], ["idx"]),
             helper.make_node("Gather", ["emb", "idx"], ["logits"])]
    session = _graph([_ids(), _ids("attention_mask"), _ids("position_ids")],
                     [helper.make_tensor_value_info("logits", TensorProto.FLOAT, ["b", "s", 64])], nodes, [one])
    req = runner.Request.parse(json.dumps(request(Path("unused"), prompt_tokens=4)))
    workload = runner.choose_workload(session, req)
    workload.run()
    seed = runner.GENERATION_SEED_TOKENS
    # at step k the last position is seed + k - 1 and the mask there is 1
    assert workload.generated.tolist() == [[seed + k for k in range(4)]]
