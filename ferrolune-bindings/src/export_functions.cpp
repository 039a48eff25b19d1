#include "call_guard.h"
#include "functions.h"
#include "optimization_result_type.h"

namespace ferrolune::py {

Ref export_ollama_function(Handle, const std::string&) {
    return raise(PyExc_RuntimeError, "export_ollama() is not available yet in this build");
}

Ref convert_gguf_to_onnx_function(const std::string&, const std::string&) {
    return raise(PyExc_RuntimeError, "convert_gguf_to_onnx() is not available yet in this build");
}

Ref convert_onnx_to_gguf_function(const std::string&, const std::string&) {
    return raise(PyExc_RuntimeError, "convert_onnx_to_gguf() is not available yet in this build");
}

}  // namespace ferrolune::py
