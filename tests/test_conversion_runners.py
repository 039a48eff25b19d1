"""GGUF <-> ONNX conversion runners, with the real gguf/onnx/onnxruntime
packages and llama.cpp's llama-completion on small generated llama models."""

from __future__ import annotations

import importlib.util
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import model_factory as mf

gguf = pytest.importorskip("gguf")
onnx = pytest.importorskip("onnx")
ort = pytest.importorskip("onnxruntime")

PKG = Path(__file__).resolve().parent.parent / "python" / "ferrolune" / "runners"
TO_ONNX = PKG / "gguf_to_onnx_runner.py"
TO_GGUF = PKG / "onnx_to_gguf_runner.py"


def load(path: Path):
    if str(PKG) not in sys.path:
        sys.path.insert(0, str(PKG))  # the runners' sibling module
    spec = importlib.util.spec_from_file_location(path.stem + "_under_test", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


def run_runner(script: Path, request: str | dict, cwd: Path | None = None) -> dict:
    """Run a runner as the native side does; the reply must be the only stdout."""
    text = request if isinstance(request, str) else json.dumps(request)
    proc = subprocess.run([sys.executable, str(script)], input=text.encode(), capture_output=True,
                          cwd=cwd, timeout=600)
    lines = proc.stdout.decode().splitlines()
    assert len(lines) == 1, f"stdout must hold one reply line, got {proc.stdout!r}\nstderr: {proc.stderr.decode()}"
    reply = json.loads(lines[0])
    assert isinstance(reply, dict)
    return reply


def convert(script: Path, src: Path, dst: Path) -> Path:
    reply = run_runner(script, {"input_path": str(src), "output_path": str(dst)})
    assert "error" not in reply, reply["error"]
    assert reply["output_path"] == str(dst.resolve())
    return Path(reply["output_path"])


# ---------------------------------------------------------------------------
# an independent reference: llama's forward pass in float64 numpy


def _rms(x, w, eps):
    return x / np.sqrt(np.mean(x * x, -1, keepdims=True) + eps) * w


def _rope(x, base):
    """Rotate adjacent pairs (x[2i], x[2i+1]) by pos * base^(-2i/d)."""
    t, _, d = x.shape
    ang = np.arange(t)[:, None] * base ** (-np.arange(0, d, 2) / d)[None, :]
    c, s = np.cos(ang)[:, None, :], np.sin(ang)[:, None, :]
    out = np.empty_like(x)
    out[..., 0::2] = x[..., 0::2] * c - x[..., 1::2] * s
    out[..., 1::2] = x[..., 0::2] * s + x[..., 1::2] * c
    return out


def reference_logits(weights: dict, shape: dict, ids: list[int]) -> np.ndarray:
    w = {k: v.astype(np.float64) for k, v in weights.items()}
    n_head, n_kv, hd = shape["n_head"], shape["n_head_kv"], shape["n_embd"] // shape["n_head"]
    t = len(ids)
    x = w["token_embd.weight"][ids]
    causal = np.triu(np.full((t, t), -np.inf), 1)
    for i in range(shape["n_layer"]):
        p = f"blk.{i}."
        h = _rms(x, w[p + "attn_norm.weight"], shape["eps"])
        q = _rope((h @ w[p + "attn_q.weight"].T).reshape(t, n_head, hd), shape["base"])
        k = _rope((h @ w[p + "attn_k.weight"].T).reshape(t, n_kv, hd), shape["base"])
        v = (h @ w[p + "attn_v.weight"].T).reshape(t, n_kv, hd)
        k, v = np.repeat(k, n_head // n_kv, axis=1), np.repeat(v, n_head // n_kv, axis=1)
        s = np.einsum("thd,uhd->htu", q, k) / np.sqrt(hd) + causal
        s = np.exp(s - s.max(-1, keepdims=True))
        s /= s.sum(-1, keepdims=True)
        x = x + np.einsum("htu,uhd->thd", s, v).reshape(t, -1) @ w[p + "attn_output.weight"].T
        h = _rms(x, w[p + "ffn_norm.weight"], shape["eps"])
        g = h @ w[p + "ffn_gate.weight"].T
        x = x + (g / (1 + np.exp(-g)) * (h @ w[p + "ffn_up.weight"].T)) @ w[p + "ffn_down.weight"].T
    head = w.get("output.weight", w["token_embd.weight"])
    return _rms(x, w["output_norm.weight"], shape["eps"]) @ head.T


def shape_of(m: mf.LlamaModel) -> dict:
    return {"n_layer": m.n_layer, "n_head": m.n_head, "n_head_kv": m.n_head_kv,
            "n_embd": m.n_embd, "eps": m.rms_eps, "base": m.rope_base}


def onnx_logits(path: Path, ids: list[int]) -> np.ndarray:
    session = ort.InferenceSession(str(path), providers=["CPUExecutionProvider"])
    return session.run(["logits"], {"input_ids": np.array([ids], dtype=np.int64)})[0][0]


def onnx_greedy(path: Path, ids: list[int], n: int) -> list[int]:
    session = ort.InferenceSession(str(path), providers=["CPUExecutionProvider"])
    seq, out = list(ids), []
    for _ in range(n):
        logits = session.run(["logits"], {"input_ids": np.array([seq], dtype=np.int64)})[0]
        token = int(np.argmax(logits[0, -1]))
        out.append(token)
        seq.append(token)
        if token == mf.EOS_ID:
            break
    return out


# ---------------------------------------------------------------------------
# llama.cpp


def llama_tool(name: str) -> str:
    candidates = [os.environ.get("FERROLUNE_LLAMA_BIN"),
                  os.path.expanduser("~/.cache/ferrolune/llama.cpp-0.3.36/bin")]
    for d in candidates:
        if d and os.access(os.path.join(d, name), os.X_OK):
            return os.path.join(d, name)
    found = shutil.which(name)
    if not found:
        pytest.skip(f"{name} is not built (scripts/build-llama-tools.sh)")
    return found


PROMPT = "hello"
N_PREDICT = 12


def llama_completion(model: Path, prompt: str, n: int) -> bytes:
    """What llama-completion prints for a greedy continuation of `prompt`."""
    cmd = [llama_tool("llama-completion"), "-m", str(model), "-p", prompt, "-n", str(n),
           "--temp", "0", "--top-k", "1", "-s", "1", "--no-warmup", "-no-cnv", "-t", "2",
           "--special", "--no-display-prompt"]
    # llama.cpp's logger leaks its queue at exit, so the tail of the output
    # is sometimes lost when the logging thread was starved of CPU. The final
    # timing line on stderr proves everything before it was written; passive
    # OpenMP waiting leaves the logging thread room to run.
    env = dict(os.environ, OMP_WAIT_POLICY="PASSIVE")
    for _ in range(6):
        proc = subprocess.run(cmd, capture_output=True, stdin=subprocess.DEVNULL, env=env, timeout=300)
        assert proc.returncode == 0, proc.stderr.decode(errors="replace")[-2000:]
        if b"common_perf_print:    graphs reused" in proc.stderr:
            return proc.stdout
    pytest.fail("llama-completion's output was cut off six times in a row")


def expected_completion(ids: list[int]) -> bytes:
    text = mf.decode_pieces(ids, special=True)
    if ids and ids[-1] == mf.EOS_ID:
        text += b" [end of text]\n"
    return text + b"\n\n"


# ---------------------------------------------------------------------------
# fixtures

MODELS = {
    "f32": dict(dtype="f32", tied=False),
    "f16": dict(dtype="f16", tied=False),
    "f32-tied": dict(dtype="f32", tied=True),
    "f16-tied": dict(dtype="f16", tied=True),
}


@pytest.fixture(scope="module")
def converted(tmp_path_factory):
    """Each test model, written once, converted to ONNX once."""
    root = tmp_path_factory.mktemp("models")
    out = {}
    for key, kw in MODELS.items():
        m = mf.write_llama_gguf(root / f"{key}.gguf", seed=3, **kw)
        out[key] = (m, convert(TO_ONNX, m.path, root / f"{key}.onnx"))
    return out


# ---------------------------------------------------------------------------
# GGUF -> ONNX


@pytest.mark.parametrize("key", list(MODELS))
def test_onnx_logits_agree_with_numpy_forward(converted, key):
    m, onnx_path = converted[key]
    ids = mf.prompt_token_ids("ferrolune")
    got = onnx_logits(onnx_path, ids)
    want = reference_logits(m.weights, shape_of(m), ids)
    assert got.shape == (len(ids), mf.BYTE_VOCAB_SIZE)
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-4)


@pytest.mark.parametrize("key", list(MODELS))
def test_onnx_greedy_continuation_equals_llama_completion(converted, key):
    m, onnx_path = converted[key]
    ids = onnx_greedy(onnx_path, mf.prompt_token_ids(PROMPT), N_PREDICT)
    assert len(set(ids)) > 1, "a continuation that repeats one token proves little"
    assert llama_completion(m.path, PROMPT, N_PREDICT) == expected_completion(ids)


def test_converted_model_keeps_gguf_metadata_and_tokenizer(converted):
    m, onnx_path = converted["f32-tied"]
    props = {p.key: p.value for p in onnx.load(str(onnx_path)).metadata_props}
    tokens = json.loads(props["gguf.kv.tokenizer.ggml.tokens"])
    assert tokens == {"type": "ARRAY", "item_type": "STRING", "value": mf.byte_vocab()[0]}
    assert json.loads(props["gguf.kv.llama.block_count"]) == {"type": "UINT32", "value": m.n_layer}
    assert json.loads(props["gguf.kv.general.architecture"])["value"] == "llama"
    names = [r["name"] for r in json.loads(props["gguf.tensors"])]
    assert "output.weight" not in names and names[0] == "token_embd.weight"
    model = onnx.load(str(onnx_path))
    onnx.checker.check_model(model)
    cache = [f"{i}.{kind}" for i in range(m.n_layer) for kind in ("key", "value")]
    assert [i.name for i in model.graph.input] == ["input_ids"] + [f"past_key_values.{c}" for c in cache]
    assert [o.name for o in model.graph.output] == ["logits"] + [f"present.{c}" for c in cache]


def test_cache_gives_the_logits_of_the_whole_sequence(converted):
    m, onnx_path = converted["f16"]
    session = ort.InferenceSession(str(onnx_path), providers=["CPUExecutionProvider"])
    names = [o.name for o in session.get_outputs()]
    ids = mf.prompt_token_ids("cached")
    full = session.run(["logits"], {"input_ids": np.array([ids, ids])})[0]
    # batch 2: the empty default cache is for one row, so pass one explicitly
    empty = np.zeros((2, m.n_head_kv, 0, m.head_dim), dtype=np.float32)
    feeds = {f"past_key_values.{i}.{k}": empty for i in range(m.n_layer) for k in ("key", "value")}
    steps = []
    for start, stop in ((0, 3), (3, 4), (4, len(ids))):
        feeds["input_ids"] = np.array([ids[start:stop]] * 2)
        outs = session.run(names, feeds)
        steps.append(outs[0])
        feeds.update({n.replace("present", "past_key_values"): v for n, v in zip(names[1:], outs[1:])})
    np.testing.assert_allclose(np.concatenate(steps, axis=1), full, rtol=0, atol=1e-4)


def test_relative_output_path_is_reported_absolute(tmp_path):
    mf.write_llama_gguf(tmp_path / "m.gguf", n_layer=1)
    reply = run_runner(TO_ONNX, {"input_path": "m.gguf", "output_path": "out.onnx"}, cwd=tmp_path)
    assert reply == {"output_path": str(tmp_path / "out.onnx")}
    assert onnx_logits(tmp_path / "out.onnx", [1, 70]).shape == (2, mf.BYTE_VOCAB_SIZE)


@pytest.fixture(scope="module")
def quantized(tmp_path_factory):
    """A model wide enough for the K-quants, quantized by llama-quantize."""
    root = tmp_path_factory.mktemp("quant")
    base = mf.write_llama_gguf(root / "base.gguf", n_embd=256, n_head=8, n_head_kv=2, n_ff=512, seed=5)
    return root, base


@pytest.mark.parametrize("qtype", ["Q8_0", "Q4_0", "Q4_K_M", "BF16"])
def test_quantized_gguf_converts_to_its_dequantized_values(quantized, qtype):
    root, base = quantized
    src = root / f"{qtype}.gguf"
    if not src.exists():
        proc = subprocess.run([llama_tool("llama-quantize"), str(base.path), str(src), qtype],
                              capture_output=True, timeout=300)
        assert proc.returncode == 0, proc.stderr.decode(errors="replace")[-2000:]
    reader = gguf.GGUFReader(str(src))
    types = {t.tensor_type.name for t in reader.tensors}
    weights = {t.name: gguf.quants.dequantize(np.asarray(t.data), t.tensor_type).reshape(tuple(reversed(t.shape.tolist())))
               for t in reader.tensors}
    onnx_path = convert(TO_ONNX, src, root / f"{qtype}.onnx")
    ids = mf.prompt_token_ids("quant")
    np.testing.assert_allclose(onnx_logits(onnx_path, ids), reference_logits(weights, shape_of(base), ids),
                               rtol=0, atol=1e-4)
    assert qtype.split("_")[0] in "".join(types)


# ---------------------------------------------------------------------------
# ONNX -> GGUF


@pytest.mark.parametrize("key", list(MODELS))
def test_round_trip_restores_the_gguf_file_exactly(converted, tmp_path, key):
    m, onnx_path = converted[key]
    back = convert(TO_GGUF, onnx_path, tmp_path / "back.gguf")
    # names, shapes, types, key-values and their order, tensor data: all of it
    assert back.read_bytes() == m.path.read_bytes()


@pytest.mark.parametrize("key", ["f32", "f16-tied"])
def test_round_trip_runs_in_llama_completion_with_the_same_continuation(converted, tmp_path, key):
    m, onnx_path = converted[key]
    back = convert(TO_GGUF, onnx_path, tmp_path / "back.gguf")
    ids = onnx_greedy(onnx_path, mf.prompt_token_ids(PROMPT), N_PREDICT)
    assert llama_completion(back, PROMPT, N_PREDICT) == expected_completion(ids)


@pytest.mark.parametrize("qtype, written", [("Q8_0", "Q8_0"), ("Q4_0", "Q4_0"), ("BF16", "BF16"), ("Q4_K_M", "F16")])
def test_round_trip_of_quantized_model_keeps_or_widens_types(quantized, tmp_path, qtype, written):
    root, _ = quantized
    src = root / f"{qtype}.gguf"
    onnx_path = root / f"{qtype}.onnx"
    if not onnx_path.exists():
        pytest.skip("needs the quantized conversion test to have run")
    back = convert(TO_GGUF, onnx_path, tmp_path / "back.gguf")
    a = {t.name: t for t in gguf.GGUFReader(str(src)).tensors}
    b = {t.name: t for t in gguf.GGUFReader(str(back)).tensors}
    assert list(a) == list(b)
    for name, ta in a.items():
        tb = b[name]
        assert tb.shape.tolist() == ta.shape.tolist()
        if ta.tensor_type.name == written or ta.tensor_type.name in ("F32", "F16"):
            # the package wrote the same type again: same bytes
            assert tb.tensor_type == ta.tensor_type
            assert np.asarray(tb.data).tobytes() == np.asarray(ta.data).tobytes(), name
        else:
            assert tb.tensor_type.name == "F16", name
    out = llama_completion(back, PROMPT, 4)
    assert out.endswith(b"\n\n")


def test_external_data_model_runs_and_converts_back(tmp_path):
    to_onnx, to_gguf = load(TO_ONNX), load(TO_GGUF)
    m = mf.write_llama_gguf(tmp_path / "m.gguf", seed=9)
    out = to_onnx.convert(str(m.path), str(tmp_path / "big.onnx"), external_threshold=0)
    data = tmp_path / "big.onnx.data"
    assert data.stat().st_size >= 4 * m.param_count
    assert (tmp_path / "big.onnx").stat().st_size < data.stat().st_size
    ids = mf.prompt_token_ids("abc")
    np.testing.assert_allclose(onnx_logits(Path(out), ids), reference_logits(m.weights, shape_of(m), ids),
                               rtol=0, atol=1e-4)
    # the pair can move together: the model names its data file relatively
    moved = tmp_path / "moved"
    moved.mkdir()
    for f in ("big.onnx", "big.onnx.data"):
        (tmp_path / f).rename(moved / f)
    back = to_gguf.convert(str(moved / "big.onnx"), str(tmp_path / "back.gguf"))
    assert Path(back).read_bytes() == m.path.read_bytes()


# ---------------------------------------------------------------------------
# bad input: one clear error reply, nothing written, nothing clobbered


def _gguf_with_arch(path: Path, arch: str) -> Path:
    w = gguf.GGUFWriter(str(path), arch)
    w.add_block_count(1)
    w.add_tensor("token_embd.weight", np.zeros((4, 8), dtype=np.float32))
    w.write_header_to_file()
    w.write_kv_data_to_file()
    w.write_tensors_to_file()
    w.close()
    return path


def _llama_edit(path: Path, drop: str = "", add: tuple[str, np.ndarray] | None = None) -> Path:
    """A small llama GGUF with one tensor left out or one added."""
    src = mf.write_llama_gguf(path.with_suffix(".full.gguf"), n_layer=1)
    r = gguf.GGUFReader(str(src.path))
    w = gguf.GGUFWriter(str(path), "llama")
    for f in r.fields.values():
        if f.name.startswith("GGUF.") or f.name == "general.architecture":
            continue
        if f.types[0] == gguf.GGUFValueType.ARRAY:
            w.add_key_value(f.name, f.contents(), f.types[0], sub_type=f.types[-1])
        else:
            w.add_key_value(f.name, f.contents(), f.types[0])
    for t in r.tensors:
        if t.name != drop:
            w.add_tensor(t.name, np.asarray(t.data))
    if add:
        w.add_tensor(*add)
    w.write_header_to_file()
    w.write_kv_data_to_file()
    w.write_tensors_to_file()
    w.close()
    return path


def _truncated(path: Path) -> Path:
    full = mf.write_llama_gguf(path.with_suffix(".full.gguf"), n_layer=1).path.read_bytes()
    path.write_bytes(full[: len(full) // 3])
    return path


GGUF_FAULTS = [
    ("missing", lambda p: p.with_name("absent.gguf"), "input file not found"),
    ("empty", lambda p: (p.write_bytes(b""), p)[1], "not a valid GGUF file"),
    ("text", lambda p: (p.write_text("this is not a model\n"), p)[1], "not a valid GGUF file"),
    ("truncated", _truncated, "not a valid GGUF file"),
    ("onnx-bytes", lambda p: (p.write_bytes(mf.write_onnx_decoder(p.with_suffix(".onnx")).read_bytes()), p)[1],
     "not a valid GGUF file"),
    ("gpt2", lambda p: _gguf_with_arch(p, "gpt2"), "unsupported architecture 'gpt2'"),
    ("no-ffn-up", lambda p: _llama_edit(p, drop="blk.0.ffn_up.weight"), "lacks the tensor 'blk.0.ffn_up.weight'"),
    # found only while the weights are being written
    ("bad-rope-freqs", lambda p: _llama_edit(p, add=("rope_freqs.weight", np.ones(3, dtype=np.float32))),
     "rope_freqs.weight has 3 values, expected 8"),
]


@pytest.mark.parametrize("make, fragment", [c[1:] for c in GGUF_FAULTS], ids=[c[0] for c in GGUF_FAULTS])
def test_gguf_to_onnx_rejects_bad_input_without_touching_the_output(tmp_path, make, fragment):
    src = make(tmp_path / "in.gguf")
    out = tmp_path / "out.onnx"
    out.write_bytes(b"previous contents")
    reply = run_runner(TO_ONNX, {"input_path": str(src), "output_path": str(out)})
    assert fragment in reply.get("error", ""), reply
    assert str(src) in reply["error"] or "architecture" in fragment or "tensor" in fragment or "rope" in fragment
    assert out.read_bytes() == b"previous contents"
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".ferrolune-")) == []


def _converted(path: Path) -> Path:
    src = mf.write_llama_gguf(path.with_suffix(".gguf"), n_layer=1)
    return Path(load(TO_ONNX).convert(str(src.path), str(path)))


def _truncated_onnx(path: Path) -> Path:
    data = _converted(path).read_bytes()
    path.write_bytes(data[: len(data) // 2])
    return path


def _with_prop(path: Path, key: str, value: str) -> Path:
    model = onnx.load(str(_converted(path)))
    for p in model.metadata_props:
        if p.key == key:
            p.value = value
    onnx.save(model, str(path))
    return path


ONNX_FAULTS = [
    ("missing", lambda p: p.with_name("absent.onnx"), "input file not found"),
    ("garbage", lambda p: (p.write_bytes(b"\xff\x00garbage" * 10), p)[1], "not a valid ONNX file"),
    ("gguf-bytes", lambda p: (p.write_bytes(mf.write_llama_gguf(p.with_suffix(".gguf"), n_layer=1).path.read_bytes()), p)[1],
     "not a valid ONNX file"),
    ("no-metadata", lambda p: mf.write_onnx_decoder(p), "carries no GGUF metadata"),
    ("truncated", _truncated_onnx, "not a valid ONNX file"),
    ("tensor-table-not-json", lambda p: _with_prop(p, "gguf.tensors", "[{"), "damaged GGUF metadata"),
    ("kv-not-json", lambda p: _with_prop(p, "gguf.kv.llama.block_count", "3"), "damaged GGUF metadata for 'llama.block_count'"),
    ("unknown-type", lambda p: _with_prop(p, "gguf.tensors", json.dumps(
        [{"name": "t", "type": "Q9_9", "shape": [4], "initializer": "output_norm.weight"}])), "unknown GGUF type 'Q9_9'"),
]


@pytest.mark.parametrize("make, fragment", [c[1:] for c in ONNX_FAULTS], ids=[c[0] for c in ONNX_FAULTS])
def test_onnx_to_gguf_rejects_bad_input_without_touching_the_output(tmp_path, make, fragment):
    src = make(tmp_path / "in.onnx")
    out = tmp_path / "out.gguf"
    out.write_bytes(b"previous contents")
    reply = run_runner(TO_GGUF, {"input_path": str(src), "output_path": str(out)})
    assert fragment in reply.get("error", ""), reply
    assert out.read_bytes() == b"previous contents"


def test_missing_metadata_error_names_what_is_missing(tmp_path):
    reply = run_runner(TO_GGUF, {"input_path": str(mf.write_onnx_decoder(tmp_path / "plain.onnx")),
                                 "output_path": str(tmp_path / "x.gguf")})
    assert "'gguf.tensors'" in reply["error"] and "'gguf.kv_order'" in reply["error"]
    assert not (tmp_path / "x.gguf").exists()


@pytest.mark.parametrize("script", [TO_ONNX, TO_GGUF], ids=["to-onnx", "to-gguf"])
@pytest.mark.parametrize("request_text, fragment", [
    ("", "not JSON"),
    ("[1, 2]", "expected a JSON object"),
    ('{"input_path": "a"}', "'output_path' must be a non-empty string"),
    ('{"input_path": 3, "output_path": "b"}', "'input_path' must be a non-empty string"),
    ('{"input_path": "a", "output_path": "/no/such/dir/b"}', "output directory does not exist"),
])
def test_bad_request_gets_an_error_reply(script, request_text, fragment):
    assert fragment in run_runner(script, request_text)["error"]


@pytest.mark.parametrize("script", [TO_ONNX, TO_GGUF], ids=["to-onnx", "to-gguf"])
def test_missing_packages_are_named_in_the_reply(tmp_path, script):
    # -S leaves out site-packages: no numpy, gguf or onnx
    proc = subprocess.run([sys.executable, "-S", str(script)], capture_output=True, timeout=120,
                          input=json.dumps({"input_path": str(tmp_path / "a"), "output_path": str(tmp_path / "b")}).encode())
    reply = json.loads(proc.stdout)
    assert "the Python package 'numpy' is required" in reply["error"], reply
    assert "pip install numpy" in reply["error"]
    assert f"{sys.executable} cannot import it" in reply["error"]  # which interpreter lacked it
