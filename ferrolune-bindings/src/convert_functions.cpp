// convert_gguf_to_onnx and convert_onnx_to_gguf: one shape, two directions.
#include <array>
#include <string>

#include "arguments.h"
#include "call_guard.h"
#include "functions.h"

#include "ferrolune/export/conversion.h"

namespace ferrolune::py {

namespace {

const char convert_gguf_to_onnx_doc[] =
    "convert_gguf_to_onnx(input_path, output_path)\n--\n\n"
    "Convert a GGUF model file to ONNX format.\n\n"
    "Parameters\n"
    "----------\n"
    "input_path : str, bytes or os.PathLike\n"
    "    The source `.gguf` file.\n"
    "output_path : str, bytes or os.PathLike\n"
    "    The destination for the produced `.onnx` file; it must not name the\n"
    "    input file.\n\n"
    "Returns\n"
    "-------\n"
    "str\n"
    "    The absolute path to the written `.onnx` file.\n\n"
    "Raises\n"
    "------\n"
    "TypeError\n"
    "    If an argument is not a str, bytes or os.PathLike object.\n"
    "ValueError\n"
    "    If a path contains a null byte.\n"
    "RuntimeError\n"
    "    If the output path names the input file, `python3` is not found,\n"
    "    required packages (`gguf`, `onnx`, `numpy`) are missing, or the input\n"
    "    is not a valid GGUF file.";

const char convert_onnx_to_gguf_doc[] =
    "convert_onnx_to_gguf(input_path, output_path)\n--\n\n"
    "Convert an ONNX model file to GGUF format.\n\n"
    "Parameters\n"
    "----------\n"
    "input_path : str, bytes or os.PathLike\n"
    "    The source `.onnx` file.\n"
    "output_path : str, bytes or os.PathLike\n"
    "    The destination for the produced `.gguf` file; it must not name the\n"
    "    input file.\n\n"
    "Returns\n"
    "-------\n"
    "str\n"
    "    The absolute path to the written `.gguf` file.\n\n"
    "Raises\n"
    "------\n"
    "TypeError\n"
    "    If an argument is not a str, bytes or os.PathLike object.\n"
    "ValueError\n"
    "    If a path contains a null byte.\n"
    "RuntimeError\n"
    "    If the output path names the input file, `python3` is not found,\n"
    "    required packages (`onnx`, `gguf`, `numpy`) are missing, or the input\n"
    "    is not a valid ONNX file.";

constexpr std::array<Parameter, 2> convert_params{{{"input_path", true}, {"output_path", true}}};

template <ConversionDirection Direction>
PyObject* convert(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        std::array<Handle, convert_params.size()> a;
        if (!match_arguments(name, convert_params, args, nargs, kwnames, a)) return Ref();
        auto input_path = extract_path("input_path", a[0]);
        if (!input_path) return Ref();
        auto output_path = extract_path("output_path", a[1]);
        if (!output_path) return Ref();
        auto written = convert_via_runner(Direction, *input_path, *output_path);
        if (!written) return raise_error(written.error());
        return path_str(*written);
    });
}

PyObject* convert_gguf_to_onnx(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return convert<ConversionDirection::GgufToOnnx>("convert_gguf_to_onnx", args, nargs, kwnames);
}

PyObject* convert_onnx_to_gguf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return convert<ConversionDirection::OnnxToGguf>("convert_onnx_to_gguf", args, nargs, kwnames);
}

}  // namespace

PyMethodDef convert_gguf_to_onnx_def = {"convert_gguf_to_onnx", as_cfunction(convert_gguf_to_onnx),
                                        METH_FASTCALL | METH_KEYWORDS, convert_gguf_to_onnx_doc};
PyMethodDef convert_onnx_to_gguf_def = {"convert_onnx_to_gguf", as_cfunction(convert_onnx_to_gguf),
                                        METH_FASTCALL | METH_KEYWORDS, convert_onnx_to_gguf_doc};

}  // namespace ferrolune::py
