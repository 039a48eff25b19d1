"""Make a quantized variant of an ONNX model with ONNX Runtime's own tools.

Run as ``python onnx_variant_runner.py`` with the request
``{"input": "model.onnx", "output": "model-int8.onnx", "quantization": "Int8"}``
on standard input; prints ``{"output": "/abs/model-int8.onnx"}`` or
``{"error": ...}`` (see ``_protocol``).

- ``Int8``: dynamic quantization (``onnxruntime.quantization.quantize_dynamic``)
  with signed 8-bit weights. The activations of a dynamically quantized
  graph are always unsigned 8-bit (DynamicQuantizeLinear); unsigned
  activations times signed weights is the pairing the CPU execution
  provider's integer kernels are built around (it is the tool's default and
  the one its fast x86 and Arm paths take), so the variant measures what a
  user of ONNX Runtime on the CPU would actually run.
- ``F16``: ONNX Runtime's float16 converter with ``keep_io_types=True``: the
  weights and the arithmetic become float16, while the graph's inputs and
  outputs keep their types (a Cast sits at each float boundary), so the
  same feeds run the variant and the original.

The variant is written to a temporary file beside the output and renamed into
place, so a failed conversion never leaves a partial output and an existing
output stays until the new one is complete. Temporary files of the
quantizer go into the output's directory too, where a caller that owns that
directory can remove them even if this process is killed. A model that keeps
its weights in external data files is refused: the variant would need
companion files of its own, which a single renamed output cannot carry.
"""

from __future__ import annotations

import contextlib
import os
import sys
import tempfile
from typing import Any, Iterator

try:
    from . import _protocol as protocol
except ImportError:  # started as a script: the sibling module is on sys.path
    import _protocol as protocol  # type: ignore[no-redef]

QUANTIZATIONS = ("Int8", "F16")


def _require(module: str, package: str) -> Any:
    try:
        __import__(module)
        return sys.modules[module]
    except ImportError as exc:
        raise protocol.missing_package(package, "ONNX quantized variants", exc) from None


def parse(text: str) -> tuple[str, str, str]:
    values = protocol.parse_request(text, {"input": "path", "output": "path", "quantization": "text"})
    quantization = values["quantization"]
    if quantization not in QUANTIZATIONS:
        raise protocol.ReplyError(
            f"invalid request: 'quantization' must be one of {', '.join(QUANTIZATIONS)}; got {quantization!r}"
        )
    return values["input"], values["output"], quantization


def _check_paths(input_path: str, output_path: str) -> str:
    if not os.path.exists(input_path):
        raise protocol.ReplyError(f"input file not found: {input_path}")
    if not os.path.isfile(input_path):
        raise protocol.ReplyError(f"input is not a regular file: {input_path}")
    output = os.path.abspath(output_path)
    parent = os.path.dirname(output)
    if not os.path.isdir(parent):
        raise protocol.ReplyError(f"output directory does not exist: {parent}")
    if os.path.isdir(output):
        raise protocol.ReplyError(f"output path is a directory: {output}")
    same = os.path.abspath(input_path) == output
    with contextlib.suppress(OSError):
        same = same or os.path.samefile(input_path, output)
    if same:
        raise protocol.ReplyError(f"refusing to write the variant of {input_path} onto itself: the output names the input file")
    return output


def _all_tensors(graph: Any) -> Iterator[Any]:
    """The initializers and tensor attributes of a graph and its subgraphs."""
    from onnx import AttributeProto

    yield from graph.initializer
    for node in graph.node:
        for attr in node.attribute:
            if attr.type == AttributeProto.TENSOR:
                yield attr.t
            elif attr.type == AttributeProto.TENSORS:
                yield from attr.tensors
            elif attr.type == AttributeProto.GRAPH:
                yield from _all_tensors(attr.g)
            elif attr.type == AttributeProto.GRAPHS:
                for g in attr.graphs:
                    yield from _all_tensors(g)


def load_model(onnx: Any, path: str) -> Any:
    """The model at `path` with every weight inside it; refuses external data."""
    try:
        model = onnx.load(path, load_external_data=False)
    except Exception as exc:  # damaged bytes, not a protobuf, unreadable
        raise protocol.ReplyError(f"not a valid ONNX file: {path}: {exc or type(exc).__name__}") from None
    if not model.HasField("graph"):
        raise protocol.ReplyError(f"not a valid ONNX file: {path}: the model has no graph")
    if any(t.data_location == onnx.TensorProto.EXTERNAL for t in _all_tensors(model.graph)):
        raise protocol.ReplyError(
            f"{path} keeps its weights in external data files; quantized variants are made only of models "
            "that hold their weights inside the .onnx file"
        )
    return model


def _int8(model: Any, tmp: str) -> None:
    quantization = _require("onnxruntime.quantization", "onnxruntime")
    quantization.quantize_dynamic(model, tmp, weight_type=quantization.QuantType.QInt8)


def _reads(node: Any) -> Iterator[str]:
    """Every value name a node reads, those of its subgraphs included."""
    from onnx import AttributeProto

    yield from node.input
    for attr in node.attribute:
        graphs = [attr.g] if attr.type == AttributeProto.GRAPH else attr.graphs if attr.type == AttributeProto.GRAPHS else []
        for g in graphs:
            for inner in g.node:
                yield from _reads(inner)


def sort_nodes(graph: Any) -> None:
    """Put the graph's nodes in an order where each comes after what it reads.

    The float16 converter appends the Casts of kept float inputs at the end
    of the node list; ONNX Runtime sorts for itself, but other tools (and the
    ONNX checker) require the order. Stable: nodes keep their relative order
    where the data allow it. A cycle leaves the graph as it was.
    """
    import heapq

    nodes = list(graph.node)
    producer = {name: i for i, node in enumerate(nodes) for name in node.output if name}
    waiting_on = []
    readers: list[list[int]] = [[] for _ in nodes]
    for i, node in enumerate(nodes):
        needs = {producer[n] for n in _reads(node) if n in producer and producer[n] != i}
        waiting_on.append(len(needs))
        for j in needs:
            readers[j].append(i)
    ready = [i for i, count in enumerate(waiting_on) if count == 0]
    heapq.heapify(ready)
    order = []
    while ready:
        i = heapq.heappop(ready)
        order.append(i)
        for r in readers[i]:
            waiting_on[r] -= 1
            if waiting_on[r] == 0:
                heapq.heappush(ready, r)
    if len(order) != len(nodes) or order == list(range(len(nodes))):
        return
    del graph.node[:]
    graph.node.extend(nodes[i] for i in order)


def _f16(onnx: Any, model: Any, tmp: str) -> None:
    float16 = _require("onnxruntime.transformers.float16", "onnxruntime")
    converted = float16.convert_float_to_float16(model, keep_io_types=True)
    sort_nodes(converted.graph)
    onnx.save(converted, tmp)


def make_variant(input_path: str, output_path: str, quantization: str) -> str:
    # ONNX Runtime first: its tools make the variant, so a user who lacks
    # both is told about the one that matters.
    _require("onnxruntime", "onnxruntime")
    onnx = _require("onnx", "onnx")
    output = _check_paths(input_path, output_path)
    model = load_model(onnx, input_path)
    # The quantizer's own scratch files land beside the output, not in the
    # system's temporary directory.
    tempfile.tempdir = os.path.dirname(output)
    try:
        with protocol.replacing(output, ".onnx") as tmp:
            try:
                if quantization == "Int8":
                    _int8(model, tmp)
                else:
                    _f16(onnx, model, tmp)
            except protocol.ReplyError:
                raise
            except MemoryError:
                raise
            except Exception as exc:
                raise protocol.ReplyError(
                    f"the {quantization} variant of {input_path} could not be made: {type(exc).__name__}: {exc}"
                ) from None
            # A variant that does not load is no variant.
            try:
                onnx.checker.check_model(tmp)
            except Exception as exc:
                raise protocol.ReplyError(
                    f"the {quantization} variant of {input_path} is not a valid model: {exc}"
                ) from None
    finally:
        tempfile.tempdir = None
    return output


def handle(text: str) -> dict[str, Any]:
    return {"output": make_variant(*parse(text))}


def main() -> int:
    return protocol.serve(handle, "the variant")


if __name__ == "__main__":
    sys.exit(main())
