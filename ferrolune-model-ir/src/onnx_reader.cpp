#include "ferrolune/model_ir/onnx_reader.h"

#include <optional>

#include "ferrolune/core/file.h"
#include "ferrolune/core/text.h"
#include "ferrolune/model_ir/inspect_model.h"
#include "onnx_walk.h"

namespace ferrolune {

namespace {

// Sums what the reader reports of the main graph.
class GraphSummary final : public onnx_walk::Visitor {
public:
    void graph() override { has_graph = true; }
    void node() override { ++nodes; }
    void begin_initializer() override {
        elements = 1;
        ++initializers;
    }
    // Saturating products do not depend on the order of the factors, so the
    // dims may arrive in any order and interleaved with other fields.
    void dim(uint64_t d) override { elements = saturating_mul(elements, d); }
    void end_initializer() override { params = saturating_add(params, elements); }

    bool has_graph = false;
    uint64_t nodes = 0;
    uint64_t initializers = 0;
    uint64_t params = 0;

private:
    uint64_t elements = 1;
};

// Protocol buffers read an empty input, and many short ones, as a valid
// ModelProto, so decoding alone does not tell a model from a stray file. A
// model has a graph (the runtimes refuse one without), and a graph with
// neither a node nor a weight computes nothing.
std::optional<std::string> not_a_model(uint64_t size, const GraphSummary& g) {
    if (size == 0) return "the file is empty";
    if (!g.has_graph) return "it has no graph";
    if (g.nodes == 0 && g.initializers == 0) return "its graph has neither nodes nor weights";
    return std::nullopt;
}

}  // namespace

Result<ModelIR> read_onnx(const std::string& path) {
    auto read_failure = [&](Error e, bool not_a_model_at_all) {
        Error outer = std::move(e).context(fmt::format("read ONNX file: {}", text::printable_name(path)));
        if (not_a_model_at_all) outer.set_detail(NotAModel{});
        return fail(std::move(outer));
    };
    auto fd = file::open_regular_for_reading(path);
    if (!fd) return read_failure(std::move(fd.error()), true);
    auto size = file::size_of(fd->get());
    if (!size) return read_failure(std::move(size.error()), true);

    // The walk reads through a small window, so memory stays bounded by the
    // window whatever the file's size or contents.
    GraphSummary summary;
    onnx_walk::FileSource source(fd->get(), *size);
    Status walked = onnx_walk::walk_model(source, summary);
    if (source.io_error()) return read_failure(*source.io_error(), false);
    // Bytes that are no ModelProto cannot be loaded by any runtime either.
    if (!walked) return read_failure(std::move(walked.error()).context("decode ONNX protobuf"), true);
    if (auto why = not_a_model(*size, summary)) return read_failure(Error(fmt::format("not an ONNX model: {}", *why)), true);

    ModelIR ir;
    ir.format = ModelFormat::Onnx;
    if (summary.params != 0) ir.param_count = summary.params;
    if (summary.nodes != 0) ir.layer_count = static_cast<uint32_t>(summary.nodes);
    derive_param_metrics(ir);
    return ir;
}

}  // namespace ferrolune
