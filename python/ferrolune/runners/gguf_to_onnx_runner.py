"""Convert a llama-architecture GGUF file into a runnable ONNX decoder.

Run as ``python gguf_to_onnx_runner.py`` with the request
``{"input_path": "model.gguf", "output_path": "model.onnx"}`` on standard
input; prints ``{"output_path": "/abs/model.onnx"}`` or ``{"error": ...}``.

The graph computes what llama.cpp computes for the llama architecture:
token embedding, per block RMS norm, attention with rotary position
embeddings on adjacent element pairs (llama.cpp's "normal" rope mode) and
grouped-query heads under a causal mask, RMS norm, SwiGLU feed-forward, then
the final norm and the output head (the embedding matrix when the file has
no output tensor). Input ``input_ids`` int64 [batch, sequence], output
``logits`` float32 [batch, sequence, vocab], with a key-value cache:
``past_key_values.{i}.key``/``.value`` in (empty by default) and
``present.{i}.key``/``.value`` out, [batch, kv heads, length, head size].

Weights are dequantized to float32 with the ``gguf`` package. Every GGUF
key-value (the tokenizer included) and the original tensor table are kept
in ``metadata_props`` so that ``onnx_to_gguf_runner.py`` can restore the
GGUF file. Weights above 2 GB go to one external data file beside the
output, ``<output name>.data``.
"""

from __future__ import annotations

import contextlib
import json
import os
import shutil
import sys
import tempfile
from dataclasses import dataclass
from typing import Any

try:
    import numpy as np
except ImportError:  # named in the error reply, see convert()
    np = None  # type: ignore[assignment]

try:
    from . import _conversion_common as common
except ImportError:  # started as a script: the sibling module is on sys.path
    import _conversion_common as common  # type: ignore[no-redef,import-not-found]

ConversionError = common.ConversionError

OPSET = 17
IR_VERSION = 8
# Protocol buffers cannot hold a message of 2 GiB or more; stay clear of it.
EXTERNAL_DATA_THRESHOLD = 2_000_000_000
EXTERNAL_ALIGNMENT = 4096  # lets onnxruntime map each weight directly

SUPPORTED_ARCHITECTURES = ("llama",)


# ---------------------------------------------------------------------------
# reading the GGUF file


@dataclass
class GgufTensor:
    name: str
    type_name: str  # GGMLQuantizationType name, e.g. "Q4_K"
    shape: list[int]  # GGUF order: ne0 (the contiguous dimension) first
    reader_tensor: Any

    @property
    def numpy_shape(self) -> tuple[int, ...]:
        return tuple(reversed(self.shape))


@dataclass
class GgufFile:
    version: int
    kvs: list[tuple[str, str, Any, str | None]]  # key, type, value, item type
    tensors: dict[str, GgufTensor]

    def value(self, key: str, default: Any = None) -> Any:
        for k, _, v, _ in self.kvs:
            if k == key:
                return v
        return default


def read_gguf(path: str) -> GgufFile:
    gguf = common.require("gguf")
    if not os.path.exists(path):
        raise ConversionError(f"input file not found: {path}")
    if not os.path.isfile(path):
        raise ConversionError(f"input is not a regular file: {path}")
    try:
        reader = gguf.GGUFReader(path)
    except Exception as exc:  # the reader raises whatever the damage provokes
        raise ConversionError(f"not a valid GGUF file: {path}: {exc or type(exc).__name__}") from None

    vt = gguf.GGUFValueType
    kvs = []
    version = 0
    for field in reader.fields.values():
        if field.name == "GGUF.version":
            version = int(field.parts[0][0])
        if field.name.startswith("GGUF."):
            continue
        main = vt(int(field.types[0]))
        if main == vt.ARRAY:
            item = vt(int(field.parts[3][0]))
            if item == vt.ARRAY:
                raise ConversionError(f"GGUF key '{field.name}' holds nested arrays, which are not supported")
            if item == vt.STRING:
                value: Any = [common.gguf_bytes_to_text(bytes(field.parts[i])) for i in field.data]
            else:
                value = [field.parts[i][0].item() for i in field.data]
            kvs.append((field.name, main.name, value, item.name))
        elif main == vt.STRING:
            kvs.append((field.name, main.name, common.gguf_bytes_to_text(bytes(field.parts[-1])), None))
        else:
            kvs.append((field.name, main.name, field.parts[-1][0].item(), None))

    tensors = {}
    for t in reader.tensors:
        tensors[t.name] = GgufTensor(
            name=t.name,
            type_name=gguf.GGMLQuantizationType(int(t.tensor_type)).name,
            shape=[int(d) for d in t.shape],
            reader_tensor=t,
        )
    return GgufFile(version=version, kvs=kvs, tensors=tensors)


def dequantize(t: GgufTensor) -> np.ndarray:
    """The tensor as float32 in numpy layout (rows = ne1, columns = ne0)."""
    gguf = common.require("gguf")
    rt = t.reader_tensor
    qtype = gguf.GGMLQuantizationType(int(rt.tensor_type))
    try:
        if qtype == gguf.GGMLQuantizationType.F32:
            arr = np.asarray(rt.data, dtype=np.float32)
        elif qtype == gguf.GGMLQuantizationType.F16:
            arr = np.asarray(rt.data).astype(np.float32)
        else:
            arr = gguf.quants.dequantize(np.asarray(rt.data), qtype)
    except NotImplementedError:
        raise ConversionError(
            f"tensor '{t.name}' has type {t.type_name}, which the gguf package cannot dequantize"
        ) from None
    try:
        return np.ascontiguousarray(arr.reshape(t.numpy_shape), dtype=np.float32)
    except ValueError:
        raise ConversionError(
            f"tensor '{t.name}' data does not match its shape {t.shape} and type {t.type_name}"
        ) from None


# ---------------------------------------------------------------------------
# model description


@dataclass
class LlamaShape:
    n_layer: int
    n_embd: int
    n_head: int
    n_head_kv: int
    head_dim: int
    n_vocab: int
    rms_eps: float
    rope_base: float
    rope_scale: float  # positions are multiplied by this (1 / linear factor)
    attn_scale: float
    tied: bool


def describe(g: GgufFile) -> LlamaShape:
    arch = g.value("general.architecture")
    if arch is None:
        raise ConversionError("GGUF file has no 'general.architecture' key")
    if arch not in SUPPORTED_ARCHITECTURES:
        raise ConversionError(
            f"unsupported architecture '{arch}': only llama-architecture GGUF files can be converted to ONNX"
        )

    def key(name: str, default: Any = None, required: bool = False) -> Any:
        v = g.value(f"{arch}.{name}", default)
        if v is None and required:
            raise ConversionError(f"GGUF file lacks the key '{arch}.{name}'")
        if isinstance(v, list):
            raise ConversionError(f"per-layer values for '{arch}.{name}' are not supported")
        return v

    for name in g.tensors:
        if "_exps" in name:
            raise ConversionError("mixture-of-experts llama models are not supported")

    n_layer = int(key("block_count", required=True))
    n_embd = int(key("embedding_length", required=True))
    n_head = int(key("attention.head_count", required=True))
    n_head_kv = int(key("attention.head_count_kv", n_head))
    if n_head <= 0 or n_head_kv <= 0 or n_head % n_head_kv:
        raise ConversionError(f"head counts {n_head} and {n_head_kv} do not form query groups")
    head_dim = int(key("attention.key_length", n_embd // n_head))
    if int(key("attention.value_length", head_dim)) != head_dim:
        raise ConversionError("different key and value head sizes are not supported")
    n_rot = int(key("rope.dimension_count", head_dim))
    if n_rot != head_dim:
        raise ConversionError(f"partial rotary embeddings ({n_rot} of {head_dim}) are not supported")
    if n_layer < 1:
        raise ConversionError("a llama model needs at least one block")
    if head_dim % 2:
        raise ConversionError(f"head size {head_dim} is odd")

    scaling = key("rope.scaling.type", "none")
    factor = float(key("rope.scaling.factor", 0.0) or 0.0)
    if scaling in ("none", "") or factor in (0.0, 1.0):
        rope_scale = 1.0
    elif scaling == "linear":
        rope_scale = 1.0 / factor
    else:
        raise ConversionError(f"rope scaling '{scaling}' is not supported")

    if "token_embd.weight" not in g.tensors:
        raise ConversionError("GGUF file lacks the tensor 'token_embd.weight'")
    emb = g.tensors["token_embd.weight"]
    if len(emb.shape) != 2 or emb.shape[0] != n_embd:
        raise ConversionError(f"token_embd.weight has shape {emb.shape}, expected [{n_embd}, vocab]")

    expected: dict[str, list[int] | None] = {"output_norm.weight": [n_embd]}
    for i in range(n_layer):
        p = f"blk.{i}."
        expected.update({
            p + "attn_norm.weight": [n_embd],
            p + "attn_q.weight": [n_embd, n_head * head_dim],
            p + "attn_k.weight": [n_embd, n_head_kv * head_dim],
            p + "attn_v.weight": [n_embd, n_head_kv * head_dim],
            p + "attn_output.weight": [n_head * head_dim, n_embd],
            p + "ffn_norm.weight": [n_embd],
            p + "ffn_gate.weight": None,
            p + "ffn_up.weight": None,
            p + "ffn_down.weight": None,
        })
    for name, shape in expected.items():
        if name not in g.tensors:
            raise ConversionError(f"GGUF file lacks the tensor '{name}'")
        if shape is not None and g.tensors[name].shape != shape:
            raise ConversionError(f"tensor '{name}' has shape {g.tensors[name].shape}, expected {shape}")
    tied = "output.weight" not in g.tensors
    if not tied and g.tensors["output.weight"].shape != emb.shape:
        raise ConversionError(f"output.weight has shape {g.tensors['output.weight'].shape}, expected {emb.shape}")

    attn_scale = float(key("attention.scale", 0.0) or 0.0) or 1.0 / float(np.sqrt(head_dim))
    return LlamaShape(
        n_layer=n_layer, n_embd=n_embd, n_head=n_head, n_head_kv=n_head_kv, head_dim=head_dim,
        n_vocab=emb.shape[1], rms_eps=float(key("attention.layer_norm_rms_epsilon", 1e-5)),
        rope_base=float(key("rope.freq_base", 10000.0)), rope_scale=rope_scale,
        attn_scale=attn_scale, tied=tied,
    )


# ---------------------------------------------------------------------------
# graph construction


def _varint(n: int) -> bytes:
    out = bytearray()
    while True:
        low = n & 0x7F
        n >>= 7
        if n:
            out.append(low | 0x80)
        else:
            out.append(low)
            return bytes(out)


# protobuf keys (field number << 3 | length-delimited) of ModelProto.graph
# and GraphProto.initializer
_MODEL_GRAPH_KEY = bytes([7 << 3 | 2])
_GRAPH_INITIALIZER_KEY = bytes([5 << 3 | 2])


class GraphBuilder:
    """Collects nodes and initializers.

    Weights leave memory as soon as they are converted: into the external
    data file, or, serialized, into a spool file that `write_model` splices
    into the model's graph. A protobuf message may carry a repeated field in
    pieces anywhere in its encoding, so the model never has to exist as one
    message in memory (which took five copies of the weights).
    """

    def __init__(self, spool_dir: str, external_path: str | None, external_location: str):
        self.onnx = common.require("onnx")
        self.nodes: list[Any] = []
        self.initializers: list[Any] = []
        self.counter = 0
        self.external_location = external_location
        self.external_file = open(external_path, "wb") if external_path else None
        self.spool = None if external_path else tempfile.TemporaryFile(dir=spool_dir, prefix=".ferrolune-")
        self.spool_size = 0

    def close(self) -> None:
        for f in (self.external_file, self.spool):
            if f:
                f.close()
        self.external_file = self.spool = None

    def fresh(self, hint: str) -> str:
        self.counter += 1
        return f"{hint}_{self.counter}"

    def op(self, op_type: str, inputs: list[str], hint: str | None = None, **attrs: Any) -> str:
        out = self.fresh(hint or op_type.lower())
        self.nodes.append(self.onnx.helper.make_node(op_type, inputs, [out], **attrs))
        return out

    def const(self, name: str, value: np.ndarray) -> str:
        self.initializers.append(self.onnx.numpy_helper.from_array(np.asarray(value), name))
        return name

    def weight(self, name: str, value: np.ndarray) -> str:
        from onnx import TensorProto

        value = np.ascontiguousarray(value, dtype=np.float32)
        t = TensorProto()
        t.name = name
        t.data_type = TensorProto.FLOAT
        t.dims.extend(value.shape)
        if self.spool is not None:
            t.raw_data = value.tobytes()
            data = t.SerializeToString()
            del t
            piece = _GRAPH_INITIALIZER_KEY + _varint(len(data))
            self.spool.write(piece)
            self.spool.write(data)
            self.spool_size += len(piece) + len(data)
            return name
        assert self.external_file is not None
        f = self.external_file
        pad = (-f.tell()) % EXTERNAL_ALIGNMENT
        if pad:
            f.write(b"\0" * pad)
        offset = f.tell()
        value.tofile(f)
        t.data_location = TensorProto.EXTERNAL
        for k, v in (("location", self.external_location), ("offset", str(offset)), ("length", str(value.nbytes))):
            entry = t.external_data.add()
            entry.key, entry.value = k, v
        self.initializers.append(t)
        return name

    def write_model(self, model: Any, path: str) -> None:
        """Write `model` with the spooled weights added to its graph."""
        graph = model.graph.SerializeToString()
        head = type(model)()
        head.CopyFrom(model)
        head.ClearField("graph")
        with open(path, "wb") as f:
            f.write(head.SerializeToString())
            f.write(_MODEL_GRAPH_KEY + _varint(len(graph) + self.spool_size))
            f.write(graph)
            if self.spool is not None:
                self.spool.seek(0)
                shutil.copyfileobj(self.spool, f, 16 << 20)


def build_graph(g: GgufFile, s: LlamaShape, b: GraphBuilder) -> tuple[list[dict[str, Any]], Any]:
    """Add the decoder to `b`; return the tensor table for the metadata and the graph."""
    from onnx import TensorProto, helper

    records: list[dict[str, Any]] = []
    emitted: set[str] = set()

    def gguf_weight(name: str, transpose: bool) -> str:
        """Initializer for a GGUF tensor. 2-D projection weights are stored
        transposed ([in, out]) so that MatMul needs no Transpose node."""
        t = g.tensors[name]
        arr = dequantize(t)
        if transpose:
            arr = arr.T
        init = name
        b.weight(init, arr)
        del arr
        records.append({"name": name, "type": t.type_name, "shape": t.shape,
                        "initializer": init, "transposed": transpose})
        emitted.add(name)
        return init

    i64 = lambda *v: np.array(v, dtype=np.int64)  # noqa: E731
    f32 = lambda v: np.array(v, dtype=np.float32)  # noqa: E731
    b.const("c_two", f32(2.0))
    b.const("c_eps", f32(s.rms_eps))
    b.const("c_attn_scale", f32(s.attn_scale))
    b.const("c_neg", f32(np.finfo(np.float32).min))
    b.const("c_zero_f", f32(0.0))
    b.const("c_zero", np.array(0, dtype=np.int64))
    b.const("c_one", np.array(1, dtype=np.int64))
    b.const("c_two_i", np.array(2, dtype=np.int64))
    b.const("ax_last", i64(-1))
    b.const("ax_0", i64(0))
    b.const("ax_1", i64(1))
    g_size = s.n_head // s.n_head_kv
    hd, half = s.head_dim, s.head_dim // 2
    b.const("shape_q", i64(0, 0, s.n_head_kv, g_size, hd))
    b.const("shape_pairs_q", i64(0, 0, s.n_head, half, 2))
    b.const("shape_pairs_kv", i64(0, 0, s.n_head_kv, half, 2))
    b.const("shape_q_heads", i64(0, 0, s.n_head, hd))
    b.const("shape_kv_heads", i64(0, 0, s.n_head_kv, hd))
    b.const("shape_merge", i64(0, 0, s.n_head * hd))

    # llama.cpp: theta_i = pos * base^(-2i/d), pairs (x[2i], x[2i+1]) rotated.
    inv_freq = (s.rope_base ** (-np.arange(0, hd, 2, dtype=np.float64) / hd)) * s.rope_scale
    if "rope_freqs.weight" in g.tensors:
        factors = dequantize(g.tensors["rope_freqs.weight"]).reshape(-1).astype(np.float64)
        if factors.size != half:
            raise ConversionError(f"rope_freqs.weight has {factors.size} values, expected {half}")
        inv_freq = inv_freq / factors
        t = g.tensors["rope_freqs.weight"]
        b.weight("rope_freqs.weight", dequantize(t))
        records.append({"name": t.name, "type": t.type_name, "shape": t.shape,
                        "initializer": t.name, "transposed": False})
        emitted.add(t.name)
    b.const("inv_freq", inv_freq.astype(np.float32))

    # Key-value cache: per block past_key_values.{i}.key/value
    # [batch, kv heads, past, head size] in, present.{i}.key/value with the
    # new positions appended out. The inputs default to an empty cache (batch
    # 1), so a caller that only has token ids can still run the model.
    past_shape: list[str | int] = ["batch", s.n_head_kv, "past_sequence", hd]
    present_shape: list[str | int] = ["batch", s.n_head_kv, "total_sequence", hd]
    cache_inputs, cache_outputs = [], []
    for i in range(s.n_layer):
        for kind in ("key", "value"):
            name = f"past_key_values.{i}.{kind}"
            b.const(name, np.zeros((1, s.n_head_kv, 0, hd), dtype=np.float32))
            cache_inputs.append(helper.make_tensor_value_info(name, TensorProto.FLOAT, past_shape))
            cache_outputs.append(helper.make_tensor_value_info(f"present.{i}.{kind}", TensorProto.FLOAT, present_shape))

    # positions past .. past+S-1 and the causal mask [S, past+S]
    ids_shape = b.op("Shape", ["input_ids"], "ids_shape")
    seq = b.op("Gather", [ids_shape, "c_one"], "seq_len", axis=0)
    past_len = b.op("Gather", [b.op("Shape", ["past_key_values.0.key"]), "c_two_i"], "past_len", axis=0)
    total = b.op("Add", [past_len, seq], "total_len")
    pos = b.op("Range", [past_len, total, "c_one"], "positions")
    key_pos = b.op("Range", ["c_zero", total, "c_one"], "key_positions")
    pos_f = b.op("Cast", [pos], "positions_f", to=TensorProto.FLOAT)
    angles = b.op("Mul", [b.op("Unsqueeze", [pos_f, "ax_1"]), "inv_freq"], "angles")  # [S, D/2]
    # broadcast over heads: [S, 1, D/2]
    cos = b.op("Unsqueeze", [b.op("Cos", [angles]), "ax_1"], "rope_cos")
    sin = b.op("Unsqueeze", [b.op("Sin", [angles]), "ax_1"], "rope_sin")
    later = b.op("Greater", [b.op("Unsqueeze", [key_pos, "ax_0"]), b.op("Unsqueeze", [pos, "ax_1"])])
    mask = b.op("Where", [later, "c_neg", "c_zero_f"], "causal_mask")  # [S, T]

    def rms_norm(x: str, weight: str) -> str:
        ms = b.op("ReduceMean", [b.op("Pow", [x, "c_two"])], "ms", axes=[-1], keepdims=1)
        normed = b.op("Div", [x, b.op("Sqrt", [b.op("Add", [ms, "c_eps"])])])
        return b.op("Mul", [normed, weight], "rms")

    def linear(x: str, name: str) -> str:
        y = b.op("MatMul", [x, gguf_weight(name + ".weight", transpose=True)])
        bias = name + ".bias"
        if bias in g.tensors:
            y = b.op("Add", [y, gguf_weight(bias, transpose=False)])
        return y

    def rope(x: str, pairs_shape: str, heads_shape: str) -> str:
        pairs = b.op("Reshape", [x, pairs_shape])  # [B, S, H, D/2, 2]
        x0 = b.op("Squeeze", [b.op("Slice", [pairs, "c_zero_1", "c_one_1", "ax_last"])] + ["ax_last"])
        x1 = b.op("Squeeze", [b.op("Slice", [pairs, "c_one_1", "c_two_1", "ax_last"])] + ["ax_last"])
        r0 = b.op("Sub", [b.op("Mul", [x0, cos]), b.op("Mul", [x1, sin])])
        r1 = b.op("Add", [b.op("Mul", [x0, sin]), b.op("Mul", [x1, cos])])
        both = b.op("Concat", [b.op("Unsqueeze", [r0, "ax_last"]), b.op("Unsqueeze", [r1, "ax_last"])], axis=-1)
        return b.op("Reshape", [both, heads_shape])

    b.const("c_zero_1", i64(0))
    b.const("c_one_1", i64(1))
    b.const("c_two_1", i64(2))

    emb = gguf_weight("token_embd.weight", transpose=False)  # [vocab, E]
    x = b.op("Gather", [emb, "input_ids"], "embd", axis=0)  # [B, S, E]
    for i in range(s.n_layer):
        p = f"blk.{i}."
        h = rms_norm(x, gguf_weight(p + "attn_norm.weight", transpose=False))
        q = b.op("Reshape", [linear(h, p + "attn_q"), "shape_q_heads"])
        k = b.op("Reshape", [linear(h, p + "attn_k"), "shape_kv_heads"])
        v = b.op("Reshape", [linear(h, p + "attn_v"), "shape_kv_heads"])
        q = rope(q, "shape_pairs_q", "shape_q_heads")
        k = rope(k, "shape_pairs_kv", "shape_kv_heads")
        # Query head h reads key/value head h // group (llama.cpp's broadcast).
        q = b.op("Transpose", [b.op("Reshape", [q, "shape_q"])], perm=[0, 2, 3, 1, 4])  # [B,Hkv,G,S,D]
        k = b.op("Transpose", [k], perm=[0, 2, 1, 3])  # [B,Hkv,S,D]
        v = b.op("Transpose", [v], perm=[0, 2, 1, 3])
        b.nodes.append(helper.make_node("Concat", [f"past_key_values.{i}.key", k], [f"present.{i}.key"], axis=2))
        b.nodes.append(helper.make_node("Concat", [f"past_key_values.{i}.value", v], [f"present.{i}.value"], axis=2))
        kt = b.op("Transpose", [b.op("Unsqueeze", [f"present.{i}.key", "c_two_1"])], perm=[0, 1, 2, 4, 3])  # [B,Hkv,1,D,T]
        vt = b.op("Unsqueeze", [f"present.{i}.value", "c_two_1"])  # [B,Hkv,1,T,D]
        scores = b.op("Add", [b.op("Mul", [b.op("MatMul", [q, kt]), "c_attn_scale"]), mask])
        probs = b.op("Softmax", [scores], axis=-1)
        ctx = b.op("Transpose", [b.op("MatMul", [probs, vt])], perm=[0, 3, 1, 2, 4])  # [B,S,Hkv,G,D]
        attn = linear(b.op("Reshape", [ctx, "shape_merge"]), p + "attn_output")
        x = b.op("Add", [x, attn], "resid")
        h = rms_norm(x, gguf_weight(p + "ffn_norm.weight", transpose=False))
        gate = linear(h, p + "ffn_gate")
        silu = b.op("Mul", [gate, b.op("Sigmoid", [gate])])
        ff = linear(b.op("Mul", [silu, linear(h, p + "ffn_up")]), p + "ffn_down")
        x = b.op("Add", [x, ff], "resid")
    h = rms_norm(x, gguf_weight("output_norm.weight", transpose=False))
    if s.tied:
        head = b.op("Transpose", [emb], "tied_head", perm=[1, 0])
    else:
        head = gguf_weight("output.weight", transpose=True)
    b.nodes.append(helper.make_node("MatMul", [h, head], ["logits"]))

    # Tensors the decoder does not use still travel, so nothing is lost.
    for name, t in g.tensors.items():
        if name not in emitted:
            print(f"[gguf_to_onnx] keeping unused tensor '{name}' as an initializer", file=sys.stderr)
            gguf_weight(name, transpose=False)

    # The table keeps the GGUF file's order so the way back restores it.
    file_order = {name: i for i, name in enumerate(g.tensors)}
    records.sort(key=lambda r: file_order[r["name"]])

    graph = helper.make_graph(
        b.nodes, "ferrolune_llama",
        [helper.make_tensor_value_info("input_ids", TensorProto.INT64, ["batch", "sequence"])] + cache_inputs,
        [helper.make_tensor_value_info("logits", TensorProto.FLOAT, ["batch", "sequence", s.n_vocab])]
        + cache_outputs,
        initializer=b.initializers,
    )
    return records, graph


def metadata(g: GgufFile, records: list[dict[str, Any]]) -> dict[str, str]:
    props = {
        common.SOURCE_FORMAT_KEY: "gguf",
        common.VERSION_KEY: str(g.version),
        common.TENSORS_KEY: json.dumps(records, separators=(",", ":")),
        common.KV_ORDER_KEY: json.dumps([k for k, _, _, _ in g.kvs], ensure_ascii=True, separators=(",", ":")),
    }
    for key, type_name, value, item in g.kvs:
        props[common.KV_PREFIX + key] = common.encode_kv(type_name, value, item)
    return props


def total_weight_bytes(g: GgufFile) -> int:
    return sum(4 * int(np.prod(t.shape, dtype=np.int64)) for t in g.tensors.values())


def convert(input_path: str, output_path: str, external_threshold: int = EXTERNAL_DATA_THRESHOLD) -> str:
    """Convert; return the absolute output path. Raises ConversionError."""
    common.require("numpy")
    onnx = common.require("onnx")
    out = common.check_output_path(output_path)
    g = read_gguf(input_path)
    s = describe(g)
    external = total_weight_bytes(g) > external_threshold
    data_final = out + ".data"
    print(f"[gguf_to_onnx] {s.n_layer} blocks, {s.n_embd} wide, {s.n_head}/{s.n_head_kv} heads, "
          f"vocab {s.n_vocab}{', tied head' if s.tied else ''}"
          f"{', weights in ' + os.path.basename(data_final) if external else ''}", file=sys.stderr)

    with contextlib.ExitStack() as stack:
        tmp_model = stack.enter_context(common.replacing(out, ".onnx"))
        tmp_data = stack.enter_context(common.replacing(data_final, ".data")) if external else None
        b = GraphBuilder(os.path.dirname(out), tmp_data, os.path.basename(data_final))
        stack.callback(b.close)
        records, graph = build_graph(g, s, b)
        model = onnx.helper.make_model(
            graph, opset_imports=[onnx.helper.make_opsetid("", OPSET)],
            producer_name="ferrolune", producer_version="gguf_to_onnx",
        )
        model.ir_version = IR_VERSION
        for key, value in metadata(g, records).items():
            entry = model.metadata_props.add()
            entry.key, entry.value = key, value
        b.write_model(model, tmp_model)
        # Leaving the stack closes the builder, then moves the data file and
        # the model into place (or removes both temporary files on failure).
    return out


def main() -> int:
    return common.run_script(lambda r: convert(r.input_path, r.output_path))


if __name__ == "__main__":
    sys.exit(main())
