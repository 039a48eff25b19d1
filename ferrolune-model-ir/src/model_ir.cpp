#include "ferrolune/model_ir/model_ir.h"

namespace ferrolune {

std::string_view to_string(ModelFormat f) { return f == ModelFormat::Onnx ? "onnx" : "gguf"; }
std::string_view display_name(ModelFormat f) { return f == ModelFormat::Onnx ? "ONNX" : "GGUF"; }

}  // namespace ferrolune
