#include "ferrolune/runtime/onnx_variant.h"

namespace ferrolune {

bool onnx_variant_supported(QuantizationStrategy) { return false; }

Status make_onnx_variant(std::string_view, std::string_view, QuantizationStrategy) {
    return fail("ONNX variants are not available yet");
}

}  // namespace ferrolune
