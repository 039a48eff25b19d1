"""Turn an ONNX model written by gguf_to_onnx_runner.py back into GGUF.

Run as ``python onnx_to_gguf_runner.py`` with the request
``{"input_path": "model.onnx", "output_path": "model.gguf"}`` on standard
input; prints ``{"output_path": "/abs/model.gguf"}`` or ``{"error": ...}``.

The GGUF key-values, their order and types, and the tensor table (names,
shapes, types, order) come from the model's ``metadata_props``; the tensor
values come from the initializers. Each tensor is stored again in its
original type when the ``gguf`` package can quantize to it (F32, F16, BF16,
Q8_0, Q4_0, Q4_1, Q5_0, Q5_1, ...); types it cannot produce (the K-quants,
for one) are written as F16 and named on standard error. An ONNX model
without that metadata cannot be converted: the architecture, the tokenizer
and the tensor layout that llama.cpp needs are not in a plain ONNX graph.
"""

from __future__ import annotations

import json
import os
import sys
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


class _WireError(ValueError):
    pass


def _varint(buf: Any, pos: int, end: int) -> tuple[int, int]:
    value = shift = 0
    while True:
        if pos >= end or shift > 63:
            raise _WireError("truncated or overlong varint")
        byte = buf[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        if byte < 0x80:
            return value, pos
        shift += 7


def _fields(buf: Any, start: int, end: int) -> Any:
    """(field number, start, end) of each length-delimited field of the
    message in buf[start:end]; other fields are checked and skipped."""
    pos = start
    while pos < end:
        key, pos = _varint(buf, pos, end)
        number, wire = key >> 3, key & 7
        if number == 0:
            raise _WireError("field number 0")
        if wire == 0:
            _, pos = _varint(buf, pos, end)
        elif wire == 1:
            pos += 8
        elif wire == 5:
            pos += 4
        elif wire == 2:
            length, pos = _varint(buf, pos, end)
            if pos + length > end:
                raise _WireError("length-delimited field runs past the end of its message")
            yield number, pos, pos + length
            pos += length
        else:
            raise _WireError(f"unsupported wire type {wire}")
        if pos > end:
            raise _WireError("field runs past the end of its message")


class OnnxFile:
    """The parts of an ONNX model this converter needs, read without
    decoding the whole message: the metadata and where each initializer
    lies. Initializers are decoded one at a time, so converting a model
    never holds more than one weight besides the memory-mapped file."""

    # ModelProto.graph, ModelProto.metadata_props, GraphProto.initializer,
    # TensorProto.name, StringStringEntryProto.key / .value
    GRAPH, METADATA, INITIALIZER, TENSOR_NAME, KEY, VALUE = 7, 14, 5, 8, 1, 2

    def __init__(self, path: str):
        import mmap

        self.path = path
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            if size == 0:
                raise _WireError("the file is empty")
            self.buf = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        self.props: dict[str, str] = {}
        self.initializers: dict[str, tuple[int, int]] = {}
        graphs = 0
        for number, a, b in _fields(self.buf, 0, size):
            if number == self.METADATA:
                entry = {n: bytes(self.buf[x:y]).decode("utf-8") for n, x, y in _fields(self.buf, a, b)}
                self.props[entry.get(self.KEY, "")] = entry.get(self.VALUE, "")
            elif number == self.GRAPH:
                graphs += 1
                for n, x, y in _fields(self.buf, a, b):
                    if n == self.INITIALIZER:
                        name = next((bytes(self.buf[i:j]).decode("utf-8")
                                     for m, i, j in _fields(self.buf, x, y) if m == self.TENSOR_NAME), "")
                        self.initializers[name] = (x, y)
        if graphs == 0:
            raise _WireError("the model has no graph")

    def tensor(self, name: str) -> Any:
        from onnx import TensorProto

        import mmap

        a, b = self.initializers[name]
        t = TensorProto()
        t.ParseFromString(self.buf[a:b])
        # The pages just read are not needed again; drop them from this
        # process's resident set (they stay in the page cache).
        start = a - a % mmap.PAGESIZE
        if hasattr(self.buf, "madvise") and b > start:
            self.buf.madvise(mmap.MADV_DONTNEED, start, b - start)
        return t


def load_onnx(path: str) -> OnnxFile:
    common.require("onnx")
    if not os.path.exists(path):
        raise ConversionError(f"input file not found: {path}")
    if not os.path.isfile(path):
        raise ConversionError(f"input is not a regular file: {path}")
    try:
        return OnnxFile(path)
    except Exception as exc:  # damaged bytes, bad UTF-8, unreadable file
        raise ConversionError(f"not a valid ONNX file: {path}: {exc or type(exc).__name__}") from None


def _metadata(model: OnnxFile, path: str) -> tuple[dict[str, str], list[dict[str, Any]], list[str]]:
    props = model.props
    missing = [k for k in (common.TENSORS_KEY, common.KV_ORDER_KEY) if k not in props]
    if missing:
        raise ConversionError(
            f"ONNX model {path} carries no GGUF metadata (metadata_props lacks "
            f"{', '.join(repr(k) for k in missing)}); only models converted from GGUF "
            "by gguf_to_onnx_runner.py can be turned back into GGUF"
        )
    try:
        tensors = json.loads(props[common.TENSORS_KEY])
        order = json.loads(props[common.KV_ORDER_KEY])
        if not isinstance(tensors, list) or not isinstance(order, list):
            raise ValueError("expected JSON lists")
        for rec in tensors:
            if not (isinstance(rec, dict) and isinstance(rec.get("name"), str)
                    and isinstance(rec.get("type"), str) and isinstance(rec.get("shape"), list)
                    and isinstance(rec.get("initializer"), str)):
                raise ValueError(f"bad tensor record {rec!r:.200}")
    except ValueError as exc:
        raise ConversionError(f"ONNX model {path} has damaged GGUF metadata: {exc}") from None
    return props, tensors, order


def _can_store(gguf: Any, qtype: Any, shape: tuple[int, ...]) -> bool:
    """Whether the gguf package can quantize a tensor of this shape to qtype."""
    if qtype in (gguf.GGMLQuantizationType.F32, gguf.GGMLQuantizationType.F16):
        return True
    block, _ = gguf.GGML_QUANT_SIZES[qtype]
    if shape[-1] % block:
        return False
    try:
        gguf.quants.quantize(np.zeros((1, block), dtype=np.float32), qtype)
    except (NotImplementedError, gguf.quants.QuantError, ValueError):
        return False
    return True


def convert(input_path: str, output_path: str) -> str:
    """Convert; return the absolute output path. Raises ConversionError."""
    common.require("numpy")
    gguf = common.require("gguf")
    common.require("onnx")
    from onnx import numpy_helper

    out = common.check_output_path(output_path)
    model = load_onnx(input_path)
    props, records, order = _metadata(model, input_path)
    base_dir = os.path.dirname(os.path.abspath(input_path))

    kvs = []
    vt = gguf.GGUFValueType
    for key in order:
        text = props.get(common.KV_PREFIX + key)
        if text is None:
            raise ConversionError(f"ONNX model {input_path} has damaged GGUF metadata: key '{key}' is missing")
        try:
            type_name, value, item = common.decode_kv(text)
            vtype = vt[type_name]
            itype = vt[item] if item is not None else None
        except (ValueError, KeyError) as exc:
            raise ConversionError(f"ONNX model {input_path} has damaged GGUF metadata for '{key}': {exc}") from None
        kvs.append((key, vtype, value, itype))
    arch = next((v for k, _, v, _ in kvs if k == "general.architecture"), None)
    if not isinstance(arch, str):
        raise ConversionError(f"ONNX model {input_path} has damaged GGUF metadata: no general.architecture")

    plan = []
    for rec in records:
        if rec["initializer"] not in model.initializers:
            raise ConversionError(f"ONNX model lacks the initializer '{rec['initializer']}' for tensor '{rec['name']}'")
        try:
            # Only the shape is needed now; the data is decoded again when
            # written (a decoded message keeps its data until it is freed).
            dims = tuple(model.tensor(rec["initializer"]).dims)
        except Exception as exc:
            raise ConversionError(f"not a valid ONNX file: {input_path}: initializer "
                                  f"'{rec['initializer']}' cannot be decoded: {exc}") from None
        try:
            qtype = gguf.GGMLQuantizationType[rec["type"]]
        except KeyError:
            raise ConversionError(f"tensor '{rec['name']}' has unknown GGUF type '{rec['type']}'") from None
        np_shape = tuple(reversed([int(d) for d in rec["shape"]]))
        stored = np_shape[::-1] if rec.get("transposed") else np_shape
        if dims != stored:
            raise ConversionError(
                f"initializer '{rec['initializer']}' has shape {list(dims)}, expected {list(stored)}"
            )
        if not _can_store(gguf, qtype, np_shape):
            target = gguf.GGMLQuantizationType.F16 if len(np_shape) > 1 else gguf.GGMLQuantizationType.F32
            print(f"[onnx_to_gguf] {rec['name']}: the gguf package cannot write {qtype.name}; "
                  f"storing {target.name}", file=sys.stderr)
            qtype = target
        plan.append((rec, rec["initializer"], qtype, np_shape))

    def tensor_bytes(rec: dict[str, Any], init: Any, qtype: Any, np_shape: tuple[int, ...]) -> np.ndarray:
        try:
            arr = numpy_helper.to_array(model.tensor(init), base_dir)
        except Exception as exc:
            raise ConversionError(f"cannot read the data of initializer '{init}': {exc}") from None
        arr = np.asarray(arr, dtype=np.float32)
        if rec.get("transposed"):
            arr = arr.T
        arr = np.ascontiguousarray(arr.reshape(np_shape))
        if qtype == gguf.GGMLQuantizationType.F32:
            return arr
        if qtype == gguf.GGMLQuantizationType.F16:
            return arr.astype(np.float16)
        return gguf.quants.quantize(arr, qtype)

    print(f"[onnx_to_gguf] {arch}: {len(kvs)} key-values, {len(plan)} tensors", file=sys.stderr)
    with common.replacing(out, ".gguf") as tmp:
        writer = _Writer(tmp, arch)
        try:
            for key, vtype, value, itype in kvs:
                if key == "general.architecture":
                    continue  # written by the writer itself
                if key == "general.alignment":
                    writer.data_alignment = int(value)
                writer.add_key_value(key, _to_gguf_value(value, vtype, itype, vt), vtype, sub_type=itype)
            for rec, init, qtype, np_shape in plan:
                nbytes = _nbytes(gguf, qtype, np_shape)
                writer.add_tensor_info(rec["name"], np_shape, np.dtype(np.float32), nbytes, raw_dtype=qtype)
            writer.write_header_to_file()
            writer.write_kv_data_to_file()
            writer.write_ti_data_to_file()
            for rec, init, qtype, np_shape in plan:
                writer.write_tensor_data(tensor_bytes(rec, init, qtype, np_shape))
        finally:
            writer.close()
    return out


def _nbytes(gguf: Any, qtype: Any, np_shape: tuple[int, ...]) -> int:
    block, type_size = gguf.GGML_QUANT_SIZES[qtype]
    n = int(np.prod(np_shape, dtype=np.int64))
    return n // block * type_size


def _to_gguf_value(value: Any, vtype: Any, itype: Any, vt: Any) -> Any:
    if vtype == vt.STRING:
        return common.text_to_gguf_bytes(value)
    if vtype == vt.ARRAY and itype == vt.STRING:
        return [common.text_to_gguf_bytes(v) for v in value]
    return value


def _writer_class() -> Any:
    gguf = common.require("gguf")

    class Writer(gguf.GGUFWriter):  # type: ignore[misc,name-defined]
        # The stock writer refuses empty arrays, which do occur in real files.
        def _pack_val(self, val: Any, vtype: Any, add_vtype: bool, sub_type: Any = None) -> bytes:
            if vtype == gguf.GGUFValueType.ARRAY and len(val) == 0 and sub_type is not None:
                data = bytearray()
                if add_vtype:
                    data += self._pack("I", vtype)
                data += self._pack("I", sub_type)
                data += self._pack("Q", 0)
                return bytes(data)
            return super()._pack_val(val, vtype, add_vtype, sub_type)

    return Writer


def _Writer(path: str, arch: str) -> Any:
    return _writer_class()(path, arch)


def main() -> int:
    return common.run_script(lambda r: convert(r.input_path, r.output_path))


if __name__ == "__main__":
    sys.exit(main())
