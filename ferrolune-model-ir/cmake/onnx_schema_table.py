"""Turns protoc's descriptor set for onnx.proto into the field tables that
drive the ONNX reader's walk.

Usage: onnx_schema_table.py SCHEMA.desc OUT.inc

For every message type the table holds, indexed by field number, how the
field is encoded (varint, fixed 32/64-bit, length-delimited bytes or a nested
message), whether it is repeated, and for message fields the index of the
nested type. The reader uses nothing else of the schema.
"""

from __future__ import annotations

import sys

from google.protobuf import descriptor_pb2

F = descriptor_pb2.FieldDescriptorProto
KIND = {
    F.TYPE_DOUBLE: "Fixed64",
    F.TYPE_FIXED64: "Fixed64",
    F.TYPE_SFIXED64: "Fixed64",
    F.TYPE_FLOAT: "Fixed32",
    F.TYPE_FIXED32: "Fixed32",
    F.TYPE_SFIXED32: "Fixed32",
    F.TYPE_INT64: "Varint",
    F.TYPE_UINT64: "Varint",
    F.TYPE_INT32: "Varint",
    F.TYPE_UINT32: "Varint",
    F.TYPE_BOOL: "Varint",
    F.TYPE_ENUM: "Varint",
    F.TYPE_SINT32: "Varint",
    F.TYPE_SINT64: "Varint",
    F.TYPE_STRING: "Bytes",
    F.TYPE_BYTES: "Bytes",
    F.TYPE_MESSAGE: "Message",
}

# The fields the reader acts on, found by name so that a renumbered schema
# still drives the right ones.
ROLES = [
    ("kModelGraph", "onnx.ModelProto", "graph", "onnx.GraphProto"),
    ("kGraphNode", "onnx.GraphProto", "node", "onnx.NodeProto"),
    ("kGraphInitializer", "onnx.GraphProto", "initializer", "onnx.TensorProto"),
    ("kTensorDims", "onnx.TensorProto", "dims", None),
]


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    fds = descriptor_pb2.FileDescriptorSet()
    with open(argv[1], "rb") as f:
        fds.ParseFromString(f.read())

    messages: list[tuple[str, descriptor_pb2.DescriptorProto]] = []

    def collect(prefix: str, m: descriptor_pb2.DescriptorProto) -> None:
        full = f"{prefix}.{m.name}"
        if m.options.map_entry:
            raise SystemExit(f"{full}: map fields are not expected in the ONNX schema")
        messages.append((full, m))
        for n in m.nested_type:
            collect(full, n)

    for file in fds.file:
        if file.syntax not in ("", "proto2"):
            raise SystemExit(f"{file.name}: expected a proto2 schema, got {file.syntax}")
        for m in file.message_type:
            collect(f".{file.package}" if file.package else "", m)

    index = {name: i for i, (name, _) in enumerate(messages)}
    out: list[str] = [
        "// Generated at build time from the descriptor set of onnx.proto; do not edit.",
        "",
    ]
    for i, (name, m) in enumerate(messages):
        top = max((f.number for f in m.field), default=0)
        slots = ["{}"] * (top + 1)
        for f in m.field:
            if f.type == F.TYPE_GROUP:
                raise SystemExit(f"{name}.{f.name}: group fields are not supported")
            kind = KIND[f.type]
            nested = index[f.type_name] if f.type == F.TYPE_MESSAGE else -1
            repeated = "true" if f.label == F.LABEL_REPEATED else "false"
            slots[f.number] = f"{{FieldKind::{kind}, {repeated}, {nested}}}"
        out.append(f"inline constexpr FieldSpec kFields{i}[] = {{{', '.join(slots)}}};  // {name[1:]}")
    out.append("")
    out.append("inline constexpr MessageSpec kMessages[] = {")
    for i, (name, _) in enumerate(messages):
        out.append(f'    {{"{name[1:]}", kFields{i}, sizeof(kFields{i}) / sizeof(FieldSpec)}},')
    out.append("};")
    out.append("")
    out.append(f'inline constexpr int kModelProto = {index[".onnx.ModelProto"]};')
    for const, owner, field, target in ROLES:
        m = messages[index["." + owner]][1]
        matches = [f for f in m.field if f.name == field]
        if not matches:
            raise SystemExit(f"{owner}.{field} not found in the schema")
        f = matches[0]
        if target is not None and f.type_name != "." + target:
            raise SystemExit(f"{owner}.{field} is not a {target}")
        out.append(f"inline constexpr uint32_t {const}Field = {f.number};")
    out.append("")
    text = "\n".join(out)
    try:
        with open(argv[2], encoding="utf-8") as f:
            if f.read() == text:
                return 0
    except FileNotFoundError:
        pass
    with open(argv[2], "w", encoding="utf-8") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
