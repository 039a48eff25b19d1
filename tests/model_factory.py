"""Small real model files for tests and benchmarks.

Everything here writes genuine files with the `gguf` and `onnx` packages, so
the readers, the runtimes and the converters see what they would see in the
field, only smaller.

Usable three ways:
  * imported from a test (`import model_factory`, tests/ is on sys.path),
  * imported by path (`importlib.util.spec_from_file_location`),
  * as a script, so a C++ test can make a file through a child process:

      python tests/model_factory.py llama OUT.gguf [--f16] [--tied] [...]
      python tests/model_factory.py large-vocab OUT.gguf
      python tests/model_factory.py onnx-decoder OUT.onnx
      python tests/model_factory.py onnx-weights OUT.onnx --shape 4096,4096 ...

  The script prints the absolute path of the written file on stdout.

The llama GGUF uses a byte-level SentencePiece-style vocabulary:

    id 0 "<unk>" (unknown), 1 "<s>" (control, BOS), 2 "</s>" (control, EOS),
    id 3 + b  "<0xBB>" (byte token for byte value b), 259 tokens in all.

With `add_space_prefix` off, llama.cpp tokenizes an ASCII prompt without
blanks into exactly one byte token per byte, so a test can feed exact token
ids through a text prompt (`prompt_token_ids`) and read the continuation
back byte for byte (`decode_pieces`).
"""

from __future__ import annotations

import argparse
import os
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Sequence

import numpy as np

UNK_ID = 0
BOS_ID = 1
EOS_ID = 2
BYTE_BASE = 3
BYTE_VOCAB_SIZE = BYTE_BASE + 256

LARGE_VOCAB_SIZE = 152_064
LARGE_VOCAB_MERGES = 150_000

# llama.cpp token types (LLAMA_TOKEN_TYPE_*); plain ints so that the values
# written do not depend on the gguf package's enum spelling.
TOKEN_NORMAL = 1
TOKEN_UNKNOWN = 2
TOKEN_CONTROL = 3
TOKEN_BYTE = 6


@dataclass
class LlamaModel:
    """What was written, for tests that need an independent reference.

    `weights` holds every tensor under its GGUF name as float32, in numpy
    layout (rows = output features), already rounded to the stored dtype so
    that a numpy forward pass sees exactly the values llama.cpp reads.
    """

    path: Path
    n_layer: int
    n_embd: int
    n_head: int
    n_head_kv: int
    n_ff: int
    context_length: int
    n_vocab: int
    dtype: str
    tied: bool
    rms_eps: float
    rope_base: float
    weights: dict[str, np.ndarray] = field(repr=False, default_factory=dict)

    @property
    def head_dim(self) -> int:
        return self.n_embd // self.n_head

    @property
    def param_count(self) -> int:
        return int(sum(w.size for w in self.weights.values()))


def byte_vocab() -> tuple[list[str], list[float], list[int]]:
    """The 259-token byte-level vocabulary: tokens, scores, token types."""
    tokens = ["<unk>", "<s>", "</s>"] + [f"<0x{b:02X}>" for b in range(256)]
    scores = [0.0, 0.0, 0.0] + [-1000.0 - b for b in range(256)]
    types = [TOKEN_UNKNOWN, TOKEN_CONTROL, TOKEN_CONTROL] + [TOKEN_BYTE] * 256
    return tokens, scores, types


def prompt_token_ids(text: str, add_bos: bool = True) -> list[int]:
    """The token ids llama.cpp gives `text` with the byte vocabulary.

    Only meaningful for prompts without blanks: llama.cpp's SentencePiece
    tokenizer turns a blank into U+2581 before the byte fallback.
    """
    data = text.encode("utf-8")
    if b" " in data:
        raise ValueError("prompt must not contain blanks (they become U+2581)")
    ids = [BYTE_BASE + b for b in data]
    return ([BOS_ID] if add_bos else []) + ids


def decode_pieces(ids: Sequence[int], special: bool = True) -> bytes:
    """The bytes llama.cpp prints for `ids` (control texts only if `special`)."""
    out = bytearray()
    names = {UNK_ID: b"<unk>", BOS_ID: b"<s>", EOS_ID: b"</s>"}
    for i in ids:
        if i >= BYTE_BASE:
            # llama.cpp prints each piece with printf("%s"), so a NUL byte
            # never reaches the output
            if i != BYTE_BASE:
                out.append(i - BYTE_BASE)
        elif i == UNK_ID or special:
            # llama.cpp prints an unknown token's text even without --special
            out += names[i]
    return bytes(out)


def _rng_matrix(rng: np.random.Generator, rows: int, cols: int, std: float) -> np.ndarray:
    return (rng.standard_normal((rows, cols)) * std).astype(np.float32)


def llama_weights(
    n_layer: int,
    n_embd: int,
    n_head: int,
    n_head_kv: int,
    n_ff: int,
    n_vocab: int,
    tied: bool,
    seed: int,
) -> dict[str, np.ndarray]:
    """Random llama weights under their GGUF names, float32, numpy layout.

    The scales keep activations near unit size and spread the logits widely,
    so greedy choices are not decided by rounding noise (llama.cpp computes
    F16 matrix products with F16 activations).
    """
    if n_embd % n_head or n_head % n_head_kv:
        raise ValueError("n_embd must be a multiple of n_head, n_head of n_head_kv")
    head_dim = n_embd // n_head
    rng = np.random.default_rng(seed)
    # With a tied head the logits are dominated by the input embedding, and a
    # random model just repeats its last token; stronger layer outputs give a
    # continuation that actually depends on the attention and feed-forward.
    out_scale = 6.0 if tied else 1.0
    w: dict[str, np.ndarray] = {}
    w["token_embd.weight"] = _rng_matrix(rng, n_vocab, n_embd, 1.0)
    in_std = 1.0 / np.sqrt(n_embd)
    for i in range(n_layer):
        p = f"blk.{i}."
        w[p + "attn_norm.weight"] = (1.0 + 0.1 * rng.standard_normal(n_embd)).astype(np.float32)
        w[p + "attn_q.weight"] = _rng_matrix(rng, n_head * head_dim, n_embd, 2.0 * in_std)
        w[p + "attn_k.weight"] = _rng_matrix(rng, n_head_kv * head_dim, n_embd, 2.0 * in_std)
        w[p + "attn_v.weight"] = _rng_matrix(rng, n_head_kv * head_dim, n_embd, in_std)
        w[p + "attn_output.weight"] = _rng_matrix(rng, n_embd, n_head * head_dim, out_scale * in_std)
        w[p + "ffn_norm.weight"] = (1.0 + 0.1 * rng.standard_normal(n_embd)).astype(np.float32)
        w[p + "ffn_gate.weight"] = _rng_matrix(rng, n_ff, n_embd, in_std)
        w[p + "ffn_up.weight"] = _rng_matrix(rng, n_ff, n_embd, in_std)
        w[p + "ffn_down.weight"] = _rng_matrix(rng, n_embd, n_ff, out_scale / np.sqrt(n_ff))
    w["output_norm.weight"] = (1.0 + 0.1 * rng.standard_normal(n_embd)).astype(np.float32)
    if not tied:
        w["output.weight"] = _rng_matrix(rng, n_vocab, n_embd, 0.5)
    return w


def _stored(name: str, arr: np.ndarray, dtype: str) -> np.ndarray:
    # Norm vectors stay F32 the way llama.cpp's own converter keeps them.
    if dtype == "f16" and arr.ndim == 2:
        return arr.astype(np.float16)
    return arr.astype(np.float32)


def _add_llama_header(
    writer, *, n_layer: int, n_embd: int, n_head: int, n_head_kv: int, n_ff: int,
    context_length: int, rms_eps: float, rope_base: float, dtype: str, name: str,
) -> None:
    writer.add_name(name)
    writer.add_context_length(context_length)
    writer.add_embedding_length(n_embd)
    writer.add_block_count(n_layer)
    writer.add_feed_forward_length(n_ff)
    writer.add_head_count(n_head)
    writer.add_head_count_kv(n_head_kv)
    writer.add_rope_dimension_count(n_embd // n_head)
    writer.add_rope_freq_base(rope_base)
    writer.add_layer_norm_rms_eps(rms_eps)
    writer.add_file_type(1 if dtype == "f16" else 0)  # LLAMA_FTYPE_MOSTLY_F16 / ALL_F32


def write_llama_gguf(
    path: str | os.PathLike[str],
    *,
    n_layer: int = 2,
    n_embd: int = 64,
    n_head: int = 4,
    n_head_kv: int = 2,
    n_ff: int = 128,
    context_length: int = 256,
    dtype: str = "f32",
    tied: bool = False,
    seed: int = 0,
    rms_eps: float = 1e-5,
    rope_base: float = 10000.0,
) -> LlamaModel:
    """Write a random-weight llama GGUF with the byte vocabulary.

    `dtype` is "f32" or "f16" (2-D weights only; norms stay F32). `tied`
    leaves out output.weight so llama.cpp reuses token_embd.weight.
    """
    import gguf

    dtype = dtype.lower()
    if dtype not in ("f32", "f16"):
        raise ValueError(f"dtype must be f32 or f16, got {dtype!r}")
    tokens, scores, types = byte_vocab()
    weights = llama_weights(n_layer, n_embd, n_head, n_head_kv, n_ff, len(tokens), tied, seed)

    path = Path(path)
    writer = gguf.GGUFWriter(str(path), "llama")
    _add_llama_header(
        writer, n_layer=n_layer, n_embd=n_embd, n_head=n_head, n_head_kv=n_head_kv, n_ff=n_ff,
        context_length=context_length, rms_eps=rms_eps, rope_base=rope_base, dtype=dtype,
        name="ferrolune-test-llama",
    )
    writer.add_tokenizer_model("llama")
    writer.add_token_list(tokens)
    writer.add_token_scores(scores)
    writer.add_token_types(types)
    writer.add_unk_token_id(UNK_ID)
    writer.add_bos_token_id(BOS_ID)
    writer.add_eos_token_id(EOS_ID)
    writer.add_add_bos_token(True)
    writer.add_add_eos_token(False)
    writer.add_add_space_prefix(False)

    rounded: dict[str, np.ndarray] = {}
    for name, arr in weights.items():
        stored = _stored(name, arr, dtype)
        writer.add_tensor(name, stored)
        rounded[name] = stored.astype(np.float32)
    _write_and_close(writer)

    return LlamaModel(
        path=path.resolve(), n_layer=n_layer, n_embd=n_embd, n_head=n_head, n_head_kv=n_head_kv,
        n_ff=n_ff, context_length=context_length, n_vocab=len(tokens), dtype=dtype, tied=tied,
        rms_eps=rms_eps, rope_base=rope_base, weights=rounded,
    )


def _byte_level_chars() -> list[int]:
    """GPT-2's byte-to-character table: printable bytes map to themselves,
    the others to code points from U+0100 on (what byte-level BPE expects)."""
    printable = [*range(ord("!"), ord("~") + 1), *range(0xA1, 0xAD), *range(0xAE, 0x100)]
    table = {b: b for b in printable}
    extra = 0
    for b in range(256):
        if b not in table:
            table[b] = 0x100 + extra
            extra += 1
    return [table[b] for b in range(256)]


def large_vocab() -> tuple[list[str], list[str], list[int]]:
    """A BPE-style vocabulary of 152,064 tokens with 150,000 merges.

    Tokens 0-255 stand for the bytes; each merge "a b" adds the token a+b:
    first every two-byte pair, then three-byte tokens made of a pair and a
    byte. The remaining ids are control tokens, as in large chat models.
    """
    base = [chr(c) for c in _byte_level_chars()]
    tokens = list(base)
    merges: list[str] = []
    for a in base:
        for b in base:
            merges.append(f"{a} {b}")
            tokens.append(a + b)
    pairs = tokens[256:]
    need = LARGE_VOCAB_MERGES - len(merges)
    for k in range(need):
        pair = pairs[k // 256]
        b = base[k % 256]
        merges.append(f"{pair} {b}")
        tokens.append(pair + b)
    n_normal = len(tokens)
    types = [TOKEN_NORMAL] * n_normal
    for k in range(LARGE_VOCAB_SIZE - n_normal):
        tokens.append(f"<|extra_{k}|>")
        types.append(TOKEN_CONTROL)
    return tokens, merges, types


def write_large_vocab_gguf(
    path: str | os.PathLike[str],
    *,
    n_layer: int = 2,
    n_embd: int = 64,
    n_head: int = 4,
    n_head_kv: int = 4,
    n_ff: int = 128,
    context_length: int = 32768,
    dtype: str = "f16",
    seed: int = 0,
) -> Path:
    """Write a llama GGUF whose metadata is dominated by a large BPE vocabulary.

    Meant for inspection: the key-value section (token list, merges, token
    types) is several megabytes while the tensors stay small.
    """
    import gguf

    tokens, merges, types = large_vocab()
    weights = llama_weights(n_layer, n_embd, n_head, n_head_kv, n_ff, len(tokens), True, seed)
    path = Path(path)
    writer = gguf.GGUFWriter(str(path), "llama")
    _add_llama_header(
        writer, n_layer=n_layer, n_embd=n_embd, n_head=n_head, n_head_kv=n_head_kv, n_ff=n_ff,
        context_length=context_length, rms_eps=1e-6, rope_base=1_000_000.0, dtype=dtype,
        name="ferrolune-test-large-vocab",
    )
    writer.add_tokenizer_model("gpt2")
    writer.add_tokenizer_pre("default")
    writer.add_token_list(tokens)
    writer.add_token_merges(merges)
    writer.add_token_types(types)
    writer.add_bos_token_id(LARGE_VOCAB_SIZE - 3)
    writer.add_eos_token_id(LARGE_VOCAB_SIZE - 2)
    writer.add_add_bos_token(False)
    for name, arr in weights.items():
        writer.add_tensor(name, _stored(name, arr, dtype))
    _write_and_close(writer)
    return path.resolve()


def _write_and_close(writer) -> None:
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()


def write_metadata_gguf(
    path: str | os.PathLike[str], *, arch: str = "llama", n_layer: int, n_embd: int,
    n_head: int | Sequence[int], n_head_kv: int | Sequence[int], context_length: int,
) -> Path:
    """A GGUF file with llama-style shape metadata and no tensors; the head
    counts may be lists with one value per layer, as recent converters write."""
    import gguf

    writer = gguf.GGUFWriter(str(path), arch)
    writer.add_block_count(n_layer)
    writer.add_embedding_length(n_embd)
    writer.add_context_length(context_length)
    writer.add_head_count(n_head)
    writer.add_head_count_kv(n_head_kv)
    _write_and_close(writer)
    return Path(path)


# ---------------------------------------------------------------------------
# ONNX


def write_onnx_decoder(
    path: str | os.PathLike[str],
    *,
    vocab: int = 32,
    n_embd: int = 16,
    seed: int = 0,
    opset: int = 17,
) -> Path:
    """A tiny decoder-shaped graph: input_ids [batch, seq] int64 -> logits.

    logits[b, s, :] = embedding[input_ids[b, s]] @ head, float32 of shape
    [batch, seq, vocab]. Small enough for any test, real enough for
    onnxruntime to run a generation loop on it.
    """
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    rng = np.random.default_rng(seed)
    embedding = rng.standard_normal((vocab, n_embd)).astype(np.float32)
    head = rng.standard_normal((n_embd, vocab)).astype(np.float32)
    graph = helper.make_graph(
        [
            helper.make_node("Gather", ["embedding", "input_ids"], ["hidden"], axis=0),
            helper.make_node("MatMul", ["hidden", "head"], ["logits"]),
        ],
        "ferrolune_test_decoder",
        [helper.make_tensor_value_info("input_ids", TensorProto.INT64, ["batch", "sequence"])],
        [helper.make_tensor_value_info("logits", TensorProto.FLOAT, ["batch", "sequence", vocab])],
        initializer=[
            numpy_helper.from_array(embedding, "embedding"),
            numpy_helper.from_array(head, "head"),
        ],
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    path = Path(path)
    onnx.save(model, str(path))
    return path.resolve()


def write_onnx_weights(
    path: str | os.PathLike[str],
    shapes: Sequence[Sequence[int]],
    *,
    node_count: int = 1,
    opset: int = 17,
) -> Path:
    """A graph whose initializers have the given shapes and `node_count` nodes.

    For inspection tests: the weights are zeros (their contents do not
    matter) and the nodes are a chain of Identity operators on one input.
    Shapes may hold 0; an empty shape is a scalar.
    """
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    inits = [
        numpy_helper.from_array(np.zeros(tuple(s), dtype=np.float32), f"w{i}")
        for i, s in enumerate(shapes)
    ]
    nodes = []
    prev = "x"
    for i in range(node_count):
        out = "y" if i == node_count - 1 else f"t{i}"
        nodes.append(helper.make_node("Identity", [prev], [out]))
        prev = out
    outputs = [helper.make_tensor_value_info(prev, TensorProto.FLOAT, [1])]
    graph = helper.make_graph(
        nodes, "ferrolune_test_weights",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1])],
        outputs, initializer=inits,
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset)])
    model.ir_version = 8
    path = Path(path)
    onnx.save(model, str(path))
    return path.resolve()


# ---------------------------------------------------------------------------
# command line


def _shape(text: str) -> list[int]:
    return [int(p) for p in text.split(",") if p != ""]


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Write small real model files for tests.")
    sub = parser.add_subparsers(dest="kind", required=True)

    p = sub.add_parser("llama", help="random-weight llama GGUF with a byte vocabulary")
    p.add_argument("output")
    p.add_argument("--f16", action="store_true", help="store 2-D weights as F16")
    p.add_argument("--tied", action="store_true", help="no output.weight (tied to embeddings)")
    p.add_argument("--n-layer", type=int, default=2)
    p.add_argument("--n-embd", type=int, default=64)
    p.add_argument("--n-head", type=int, default=4)
    p.add_argument("--n-head-kv", type=int, default=2)
    p.add_argument("--n-ff", type=int, default=128)
    p.add_argument("--ctx", type=int, default=256)
    p.add_argument("--seed", type=int, default=0)

    p = sub.add_parser("large-vocab", help="llama GGUF with a 152,064-token BPE vocabulary")
    p.add_argument("output")
    p.add_argument("--seed", type=int, default=0)

    p = sub.add_parser("onnx-decoder", help="input_ids -> logits ONNX graph")
    p.add_argument("output")
    p.add_argument("--vocab", type=int, default=32)
    p.add_argument("--n-embd", type=int, default=16)
    p.add_argument("--seed", type=int, default=0)

    p = sub.add_parser("onnx-weights", help="ONNX graph with initializers of given shapes")
    p.add_argument("output")
    p.add_argument("--shape", action="append", default=[], type=_shape,
                   help="comma-separated dims; repeat per initializer; empty for a scalar")
    p.add_argument("--nodes", type=int, default=1)

    args = parser.parse_args(argv)
    if args.kind == "llama":
        written = write_llama_gguf(
            args.output, n_layer=args.n_layer, n_embd=args.n_embd, n_head=args.n_head,
            n_head_kv=args.n_head_kv, n_ff=args.n_ff, context_length=args.ctx,
            dtype="f16" if args.f16 else "f32", tied=args.tied, seed=args.seed,
        ).path
    elif args.kind == "large-vocab":
        written = write_large_vocab_gguf(args.output, seed=args.seed)
    elif args.kind == "onnx-decoder":
        written = write_onnx_decoder(args.output, vocab=args.vocab, n_embd=args.n_embd, seed=args.seed)
    else:
        written = write_onnx_weights(args.output, args.shape, node_count=args.nodes)
    print(written)
    return 0


if __name__ == "__main__":
    sys.exit(main())
