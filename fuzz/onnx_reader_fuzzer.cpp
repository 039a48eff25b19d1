// Differential check of the ONNX reader against protobuf's own generated
// ModelProto parse: both must accept the same inputs, and on acceptance see
// the same graph, node count and initializer dims. The walk runs over the
// bytes in memory and, through read_onnx, over a file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ferrolune/model_ir/inspect_model.h"
#include "ferrolune/model_ir/onnx_reader.h"
#include "memory_file.h"
#include "onnx.pb.h"
#include "onnx_walk.h"

namespace {

struct Seen final : ferrolune::onnx_walk::Visitor {
    void graph() override { has_graph = true; }
    void node() override { ++nodes; }
    void begin_initializer() override { dims.emplace_back(); }
    void dim(uint64_t d) override { dims.back().push_back(static_cast<int64_t>(d)); }
    bool has_graph = false;
    uint64_t nodes = 0;
    std::vector<std::vector<int64_t>> dims;
};

[[noreturn]] void mismatch(const char* what) {
    std::fprintf(stderr, "ONNX reader disagrees with protobuf: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    onnx::ModelProto reference;
    const bool accepted = reference.ParseFromArray(data, static_cast<int>(size));

    Seen seen;
    ferrolune::onnx_walk::MemorySource source(data, size);
    const bool walked = static_cast<bool>(ferrolune::onnx_walk::walk_model(source, seen));
    if (walked != accepted) mismatch(accepted ? "walk refused a valid ModelProto" : "walk accepted an invalid ModelProto");

    // Beyond decoding, read_onnx refuses an empty input and a ModelProto
    // without a graph or whose graph has neither nodes nor weights.
    const bool is_model = accepted && size > 0 && reference.has_graph() &&
                          (reference.graph().node_size() > 0 || reference.graph().initializer_size() > 0);
    static MemoryFile file;
    auto ir = ferrolune::read_onnx(file.set(data, size));
    if (static_cast<bool>(ir) != is_model) mismatch("read_onnx and the in-memory walk differ");
    if (!is_model) {
        const auto& causes = ir.error().causes();
        const std::string expected = accepted ? "not an ONNX model: " : "decode ONNX protobuf";
        if (causes.empty() || !causes[0].starts_with(expected)) mismatch("refusal is not a decode error");
        if (!ferrolune::is_not_a_model(ir.error())) mismatch("refusal does not mark the file as no model");
        return 0;
    }
    if (seen.has_graph != reference.has_graph()) mismatch("graph presence");
    const auto& g = reference.graph();
    if (seen.nodes != static_cast<uint64_t>(g.node_size())) mismatch("node count");
    if (seen.dims.size() != static_cast<size_t>(g.initializer_size())) mismatch("initializer count");
    for (int i = 0; i < g.initializer_size(); ++i) {
        const auto& d = g.initializer(i).dims();
        if (seen.dims[i] != std::vector<int64_t>(d.begin(), d.end())) mismatch("initializer dims");
    }
    return 0;
}
