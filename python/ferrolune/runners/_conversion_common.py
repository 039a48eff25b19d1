"""What the two conversion runners share: their request, the output file
handling, and the way GGUF metadata is kept inside an ONNX model.

The runners are started as plain scripts (``python gguf_to_onnx_runner.py``)
with the request on standard input; they import this file and ``_protocol``
as sibling modules. Tests may import them as ``ferrolune.runners.<runner>``.

The request is one JSON object with "input_path" and "output_path"; the
reply (see ``_protocol``) is ``{"output_path": "/abs/path"}`` or
``{"error": "what is wrong"}``.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass
from typing import Any, Callable

try:
    from . import _protocol as protocol
except ImportError:  # started as a script: the sibling module is on sys.path
    import _protocol as protocol  # type: ignore[no-redef]

# metadata_props keys of a converted ONNX model.
SOURCE_FORMAT_KEY = "ferrolune.source_format"
TENSORS_KEY = "gguf.tensors"  # JSON list of TensorRecord dicts, in file order
KV_ORDER_KEY = "gguf.kv_order"  # JSON list of the GGUF keys, in file order
KV_PREFIX = "gguf.kv."  # one entry per GGUF key-value: {"type":..., "value":...}
VERSION_KEY = "gguf.version"


class ConversionError(protocol.ReplyError):
    """A failure reported to the caller as {"error": ...}."""


@dataclass(frozen=True)
class Request:
    input_path: str
    output_path: str

    @staticmethod
    def parse(text: str) -> "Request":
        return Request(**protocol.parse_request(text, {"input_path": "path", "output_path": "path"}))


def check_output_path(path: str) -> str:
    """The absolute output path, after checking that it can be written."""
    absolute = os.path.abspath(path)
    parent = os.path.dirname(absolute)
    if not os.path.isdir(parent):
        raise ConversionError(f"output directory does not exist: {parent}")
    if os.path.isdir(absolute):
        raise ConversionError(f"output path is a directory: {absolute}")
    return absolute


# Every runner writes its output the same way.
replacing = protocol.replacing


def require(module: str) -> Any:
    try:
        return __import__(module)
    except ImportError as exc:
        raise protocol.missing_package(module, "conversion", exc) from None


# ---------------------------------------------------------------------------
# GGUF key-values <-> JSON text
#
# Strings in GGUF are byte strings that are usually, not always, UTF-8 (some
# vocabularies hold raw byte pieces). They are decoded with surrogateescape
# and written with ASCII escapes, so every byte survives the trip through an
# ONNX metadata string, which must itself be valid UTF-8.


def gguf_bytes_to_text(data: bytes) -> str:
    return data.decode("utf-8", "surrogateescape")


def text_to_gguf_bytes(text: str) -> bytes:
    return text.encode("utf-8", "surrogateescape")


def encode_kv(type_name: str, value: Any, item_type: str | None = None) -> str:
    obj: dict[str, Any] = {"type": type_name, "value": value}
    if item_type is not None:
        obj["item_type"] = item_type
    return json.dumps(obj, ensure_ascii=True, separators=(",", ":"), allow_nan=True)


def decode_kv(text: str) -> tuple[str, Any, str | None]:
    obj = json.loads(text)
    if not isinstance(obj, dict) or "type" not in obj or "value" not in obj:
        raise ValueError("expected an object with 'type' and 'value'")
    return obj["type"], obj["value"], obj.get("item_type")


# ---------------------------------------------------------------------------
# running a conversion as a script


def run_script(convert: Callable[[Request], str]) -> int:
    """Serve one conversion request; the exit code is 0 once a reply is out."""
    return protocol.serve(lambda text: {"output_path": convert(Request.parse(text))}, "conversion")
