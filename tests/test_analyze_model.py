"""analyze_model(): the twelve keys, their types and values, and its errors,
on files written by the real gguf and onnx packages and on hand-built damaged
ones."""

from __future__ import annotations

import json
import os
import pathlib
import re
import struct
import subprocess
import sys

import pytest

import model_factory
from ferrolune import _ferrolune

KEYS = [
    "format", "param_count", "architecture", "context_length", "layer_count", "hidden_size",
    "attention_head_count", "attention_head_count_kv", "feed_forward_length",
    "kv_cache_size_mb", "memory_footprint_mb", "flops_per_token",
]
INT_KEYS = {"param_count", "context_length", "layer_count", "hidden_size", "attention_head_count",
            "attention_head_count_kv", "feed_forward_length"}
FLOAT_KEYS = {"kv_cache_size_mb", "memory_footprint_mb", "flops_per_token"}


def check_types(info: dict) -> None:
    assert list(info) == KEYS
    assert info["format"] in ("gguf", "onnx")
    for k, v in info.items():
        if v is None:
            continue
        if k in INT_KEYS:
            assert type(v) is int, k
        elif k in FLOAT_KEYS:
            assert type(v) is float, k
        else:
            assert type(v) is str, k


def gguf_bytes(entries: list[bytes], kv_count: int | None = None, version: int = 3) -> bytes:
    count = len(entries) if kv_count is None else kv_count
    return b"GGUF" + struct.pack("<IQQ", version, 0, count) + b"".join(entries)


def gstr(s: bytes) -> bytes:
    return struct.pack("<Q", len(s)) + s


def kv_u32(key: bytes, v: int) -> bytes:
    return gstr(key) + struct.pack("<II", 4, v)


def test_llama_gguf_from_the_gguf_package(tmp_path: pathlib.Path) -> None:
    m = model_factory.write_llama_gguf(tmp_path / "llama.gguf", n_layer=2, n_embd=64, n_head=4,
                                       n_head_kv=2, n_ff=128, context_length=256)
    info = _ferrolune.analyze_model(str(m.path))
    check_types(info)
    params = 12 * 2 * 64 * 64
    assert info == {
        "format": "gguf", "param_count": params, "architecture": "llama", "context_length": 256,
        "layer_count": 2, "hidden_size": 64, "attention_head_count": 4, "attention_head_count_kv": 2,
        "feed_forward_length": 128,
        "kv_cache_size_mb": 2 * 2 * 2 * (64 / 4) * 256 * 2 / 1048576,
        "memory_footprint_mb": 2 * params / 1048576, "flops_per_token": 2.0 * params,
    }


def test_large_vocabulary_gguf(tmp_path: pathlib.Path) -> None:
    path = model_factory.write_large_vocab_gguf(tmp_path / "vocab.gguf", n_layer=2, n_embd=64,
                                                n_head=4, n_head_kv=4, context_length=32768)
    info = _ferrolune.analyze_model(str(path))
    check_types(info)
    assert (info["architecture"], info["layer_count"], info["context_length"]) == ("llama", 2, 32768)
    assert info["attention_head_count_kv"] == 4


def test_gguf_without_architecture(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "bare.gguf"
    path.write_bytes(gguf_bytes([gstr(b"general.name") + struct.pack("<I", 8) + gstr(b"bare"),
                                 kv_u32(b"llama.block_count", 3)]))
    info = _ferrolune.analyze_model(str(path))
    check_types(info)
    assert info["format"] == "gguf"
    assert info["architecture"] is None
    assert info["layer_count"] == 3
    # No embedding length: no estimate, so no derived figures either.
    assert info["param_count"] is None and info["memory_footprint_mb"] is None


def test_onnx_graph_from_the_onnx_package(tmp_path: pathlib.Path) -> None:
    path = model_factory.write_onnx_weights(tmp_path / "w.onnx", [[64, 32], [32], []], node_count=3)
    info = _ferrolune.analyze_model(str(path))
    check_types(info)
    assert info == dict.fromkeys(KEYS) | {
        "format": "onnx", "param_count": 64 * 32 + 32 + 1, "layer_count": 3,
        "memory_footprint_mb": 2 * 2081 / 1048576, "flops_per_token": 2.0 * 2081,
    }


def test_onnx_with_only_a_zero_sized_weight(tmp_path: pathlib.Path) -> None:
    path = model_factory.write_onnx_weights(tmp_path / "z.onnx", [[0, 8]], node_count=1)
    info = _ferrolune.analyze_model(str(path))
    assert info["param_count"] is None and info["flops_per_token"] is None
    assert info["layer_count"] == 1


def test_onnx_weights_stored_outside_the_file_are_not_needed(tmp_path: pathlib.Path) -> None:
    import numpy as np
    import onnx
    from onnx import helper, numpy_helper

    w = numpy_helper.from_array(np.ones((256, 128), dtype=np.float32), "w")
    graph = helper.make_graph([helper.make_node("Identity", ["w"], ["y"])], "g", [],
                              [helper.make_tensor_value_info("y", onnx.TensorProto.FLOAT, [256, 128])],
                              initializer=[w])
    model = helper.make_model(graph)
    onnx.save(model, str(tmp_path / "ext.onnx"), save_as_external_data=True,
              all_tensors_to_one_file=True, location="ext.data", size_threshold=0)
    (tmp_path / "ext.data").unlink()  # the shapes are in the .onnx file
    info = _ferrolune.analyze_model(str(tmp_path / "ext.onnx"))
    assert info["param_count"] == 256 * 128


def nested(levels: int) -> bytes:
    """ModelProto.graph -> node -> attribute -> g -> node ... `levels` deep."""
    path = [7] + [(1, 5, 6)[(i - 1) % 3] for i in range(1, levels)]
    body = b""
    for field in reversed(path):
        body = bytes([field << 3 | 2]) + encode_varint(len(body)) + body
    return body


def encode_varint(v: int) -> bytes:
    out = bytearray()
    while v >= 0x80:
        out.append(v & 0x7F | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)


GGUF_FILE = "read GGUF file: {}: "
ONNX_FILE = "read ONNX file: {}: "

# The error names the file first; the reader's own texts follow as causes.
BAD_FILES = [
    ("model.bin", b"", "unrecognised model file extension '.bin'; expected '.gguf' or '.onnx'"),
    ("model", b"", "unrecognised model file extension '.'; expected '.gguf' or '.onnx'"),
    ("short.gguf", b"GG", GGUF_FILE + "read GGUF magic: failed to fill whole buffer"),
    ("zip.gguf", b"PK\x03\x04....", GGUF_FILE + "not a GGUF file (bad magic: [80, 75, 3, 4])"),
    ("v4.gguf", gguf_bytes([], version=4), GGUF_FILE + "unsupported GGUF version 4; expected 1\u20133"),
    ("cut.gguf", gguf_bytes([], kv_count=1), GGUF_FILE + "read KV key: failed to fill whole buffer"),
    ("huge_key.gguf", gguf_bytes([struct.pack("<Q", 2**64 - 1)]), GGUF_FILE + "read KV key: failed to fill whole buffer"),
    ("type13.gguf", gguf_bytes([gstr(b"general.name") + struct.pack("<I", 13)]),
     GGUF_FILE + "unknown value type 13 for key 'general.name'"),
    ("float_params.gguf", gguf_bytes([gstr(b"general.parameter_count") + struct.pack("<If", 6, 7e9)]),
     GGUF_FILE + "read general.parameter_count (type=Float32): cannot coerce value type Float32 to u64"),
    ("huge_array.gguf", gguf_bytes([gstr(b"x.a") + struct.pack("<IIQ", 9, 0, 2**64 - 1)], kv_count=2),
     GGUF_FILE + "read KV key: failed to fill whole buffer"),
    # Whole metadata, but the file ends where its two tensor descriptions should start.
    ("cut_after_metadata.gguf", b"GGUF" + struct.pack("<IQQ", 3, 2, 1) + kv_u32(b"llama.block_count", 2),
     GGUF_FILE + "check the 2 tensor descriptions after the metadata: failed to fill whole buffer"),
    ("gguf_named.onnx", gguf_bytes([]), ONNX_FILE + "decode ONNX protobuf: "),
    ("deep.onnx", nested(101), ONNX_FILE + "decode ONNX protobuf: nesting deeper than the recursion limit"),
    ("cut.onnx", nested(5)[:-1], ONNX_FILE + "decode ONNX protobuf: "),
    # Protocol buffers read these as an empty ModelProto; no runtime could load them.
    ("empty.onnx", b"", ONNX_FILE + "not an ONNX model: the file is empty"),
    ("two_bytes.onnx", b"\x08\x07", ONNX_FILE + "not an ONNX model: it has no graph"),
    ("empty_graph.onnx", b"\x3a\x00", ONNX_FILE + "not an ONNX model: its graph has neither nodes nor weights"),
]


@pytest.mark.parametrize("name,content,expected", BAD_FILES, ids=[b[0] for b in BAD_FILES])
def test_bad_files_raise_runtime_error(tmp_path: pathlib.Path, name: str, content: bytes,
                                       expected: str) -> None:
    path = tmp_path / name
    path.write_bytes(content)
    expected = expected.format(path)
    with pytest.raises(RuntimeError) as e:
        _ferrolune.analyze_model(str(path))
    if expected.endswith(": ") or "recursion" in expected:
        assert str(e.value).startswith(expected)
    else:
        assert str(e.value) == expected


def test_onnx_nesting_at_the_limit_is_accepted(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "deep.onnx"
    path.write_bytes(nested(100))
    assert _ferrolune.analyze_model(str(path))["layer_count"] == 1


@pytest.mark.parametrize("suffix,message", [(".gguf", "open GGUF file: {}: No such file or directory (os error 2)"),
                                            (".onnx", "read ONNX file: {}: No such file or directory (os error 2)")])
def test_missing_file(tmp_path: pathlib.Path, suffix: str, message: str) -> None:
    path = str(tmp_path / ("absent" + suffix))
    with pytest.raises(RuntimeError, match="^" + re.escape(message.format(path)) + "$"):
        _ferrolune.analyze_model(path)


# str, bytes and os.PathLike are paths (tests/test_path_arguments.py); the rest is not.
@pytest.mark.parametrize("arg", [7, bytearray(b"m.gguf"), None])
def test_path_of_another_type_is_refused(arg: object) -> None:
    with pytest.raises(TypeError, match="model_path"):
        _ferrolune.analyze_model(arg)  # type: ignore[arg-type]


def run_analyze_in_child(path: pathlib.Path) -> subprocess.CompletedProcess[str]:
    """analyze_model in a child Python with a time limit: a reader that blocks
    or reads forever fails the test instead of hanging it."""
    code = ("import sys\nfrom ferrolune import _ferrolune\n"
            "try:\n    _ferrolune.analyze_model(sys.argv[1])\nexcept RuntimeError as e:\n"
            "    print(e)\n    sys.exit(3)\n")
    return subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("suffix", [".gguf", ".onnx"])
@pytest.mark.parametrize("kind", ["fifo", "/dev/zero", "/dev/urandom"])
def test_fifo_and_endless_devices_are_refused_before_reading(tmp_path: pathlib.Path, kind: str,
                                                             suffix: str) -> None:
    path = tmp_path / ("x" + suffix)
    if kind == "fifo":
        os.mkfifo(path)
    else:
        path.symlink_to(kind)
    done = run_analyze_in_child(path)
    assert done.returncode == 3, done.stderr
    assert done.stdout.strip().endswith(": not a regular file")
    assert str(path) in done.stdout


WIDE = 2**32


@pytest.mark.parametrize("context,blocks,expected", [
    (WIDE + 5, 2, {"context_length": None, "layer_count": 2, "kv_cache_size_mb": None}),
    (4096, WIDE + 2, {"context_length": 4096, "layer_count": None, "param_count": None, "kv_cache_size_mb": None}),
    (WIDE - 1, 2, {"context_length": WIDE - 1, "layer_count": 2}),
], ids=["context_2_32_plus_5", "blocks_2_32_plus_2", "largest_that_fits"])
def test_integers_wider_than_their_member_are_unknown(tmp_path: pathlib.Path, context: int, blocks: int,
                                                      expected: dict) -> None:
    path = tmp_path / "wide.gguf"
    path.write_bytes(gguf_bytes([
        gstr(b"llama.context_length") + struct.pack("<IQ", 10, context),
        gstr(b"llama.block_count") + struct.pack("<IQ", 10, blocks),
        kv_u32(b"llama.embedding_length", 64), kv_u32(b"llama.attention.head_count", 4),
    ]))
    info = _ferrolune.analyze_model(str(path))
    check_types(info)
    assert {k: info[k] for k in expected} == expected


@pytest.mark.parametrize("n_head,n_head_kv,kv_heads_per_layer", [
    (32, [8, 8, 2, 2, 0, 0], [8, 8, 2, 2, 0, 0]),
    ([32, 32, 32, 16, 16, 16], 4, [4, 4, 4, 4, 4, 4]),
    (32, 8, [8] * 6),
], ids=["kv_per_layer", "heads_per_layer", "scalars"])
def test_per_layer_head_counts_from_the_gguf_package(tmp_path: pathlib.Path, n_head, n_head_kv,
                                                     kv_heads_per_layer: list[int]) -> None:
    n_embd, ctx = 4096, 4096
    path = model_factory.write_metadata_gguf(tmp_path / "layers.gguf", n_layer=6, n_embd=n_embd, n_head=n_head,
                                             n_head_kv=n_head_kv, context_length=ctx)
    info = _ferrolune.analyze_model(str(path))
    check_types(info)
    heads = n_head if isinstance(n_head, list) else [n_head] * 6
    assert info["attention_head_count"] == max(heads)
    assert info["attention_head_count_kv"] == max(kv_heads_per_layer)
    per_layer = [2 * k * (n_embd / h) * ctx * 2 / 1048576 for k, h in zip(kv_heads_per_layer, heads)]
    assert info["kv_cache_size_mb"] == pytest.approx(sum(per_layer), rel=1e-12)


@pytest.mark.parametrize("key", [b"x." + b"k" * 100_000, b"x.\x1b]0;title\x07\x1b[2J\n\r\x00\x9b\xff",
                                 b"x.\x1b[31m" * 5000],
                         ids=["100_kb_key", "control_bytes", "many_escapes"])
def test_key_names_in_errors_are_escaped_and_bounded(tmp_path: pathlib.Path, key: bytes) -> None:
    path = tmp_path / "key.gguf"
    path.write_bytes(gguf_bytes([gstr(key) + struct.pack("<I", 13)]))
    with pytest.raises(RuntimeError) as e:
        _ferrolune.analyze_model(str(path))
    text = str(e.value)
    assert len(text) < len(str(path)) + 400
    assert not any(ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F for c in text)
    assert text.startswith(GGUF_FILE.format(path) + "unknown value type 13 for key 'x.")


def test_control_characters_in_a_path_are_escaped(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "bad\x1b[2Jname\n.gguf"
    path.write_bytes(b"PK\x03\x04")
    with pytest.raises(RuntimeError) as e:
        _ferrolune.analyze_model(str(path))
    assert str(e.value) == f"read GGUF file: {tmp_path}/bad\\x1b[2Jname\\n.gguf: not a GGUF file (bad magic: [80, 75, 3, 4])"


def test_cli_analyze_never_writes_escape_sequences(tmp_path: pathlib.Path,
                                                   capsys: pytest.CaptureFixture[str]) -> None:
    from ferrolune import cli

    path = tmp_path / "arch.gguf"
    path.write_bytes(gguf_bytes([gstr(b"general.architecture") + struct.pack("<I", 8) + gstr(b"ll\x1b[31mama\x07"),
                                 kv_u32(b"llama.block_count", 2)]))
    assert cli.main(["analyze", str(path)]) == 0
    out = capsys.readouterr().out
    assert "\x1b" not in out and "\x07" not in out
    assert "ll\\x1b[31mama\\x07" in out
    # The JSON form keeps the value itself, escaped by JSON's own rules.
    assert cli.main(["analyze", str(path), "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["architecture"] == "ll\x1b[31mama\x07"
