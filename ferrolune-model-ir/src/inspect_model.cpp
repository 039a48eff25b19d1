#include "ferrolune/model_ir/inspect_model.h"

#include <typeinfo>

#include "ferrolune/core/text.h"
#include "ferrolune/model_ir/gguf_reader.h"
#include "ferrolune/model_ir/onnx_reader.h"

namespace ferrolune {

std::string model_file_extension(std::string_view path) {
    std::string_view name = path;
    if (auto slash = name.rfind('/'); slash != std::string_view::npos) name.remove_prefix(slash + 1);
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    std::string_view ext = name.substr(dot + 1);
    if (!text::is_valid_utf8(ext)) return {};
    return text::ascii_lower(ext);
}

Result<ModelIR> inspect_model(const std::string& path) {
    const std::string ext = model_file_extension(path);
    if (ext == "gguf") return read_gguf(path);
    if (ext == "onnx") return read_onnx(path);
    Error e(fmt::format("unrecognised model file extension '.{}'; expected '.gguf' or '.onnx'", text::printable_name(ext)));
    e.set_detail(NotAModel{});
    return fail(std::move(e));
}

bool is_not_a_model(const Error& e) { return e.detail().type() == typeid(NotAModel); }

}  // namespace ferrolune
