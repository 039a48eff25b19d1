// The ONNX schema as the reader's walk needs it: per message type, for each
// field number, how the value is encoded. The tables are generated at build
// time from protoc's descriptor set of the onnx package's onnx.proto.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ferrolune::onnx_schema {

enum class FieldKind : uint8_t { None, Varint, Fixed32, Fixed64, Bytes, Message };

struct FieldSpec {
    FieldKind kind = FieldKind::None;
    bool repeated = false;
    int16_t message = -1;  // index into kMessages for Message fields
};

struct MessageSpec {
    const char* name;
    const FieldSpec* fields;  // indexed by field number
    std::size_t field_count;
};

#include "onnx_schema_table.inc"

}  // namespace ferrolune::onnx_schema
