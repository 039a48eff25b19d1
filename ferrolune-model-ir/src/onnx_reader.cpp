#include "ferrolune/model_ir/onnx_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "onnx_walk.h"

namespace ferrolune {

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Sums what the reader reports of the main graph.
class GraphSummary final : public onnx_walk::Visitor {
public:
    void graph() override { has_graph = true; }
    void node() override { ++nodes; }
    void begin_initializer() override { elements = 1; }
    // Saturating products do not depend on the order of the factors, so the
    // dims may arrive in any order and interleaved with other fields.
    void dim(uint64_t d) override { elements = saturating_mul(elements, d); }
    void end_initializer() override { params = saturating_add(params, elements); }

    bool has_graph = false;
    uint64_t nodes = 0;
    uint64_t params = 0;

private:
    uint64_t elements = 1;
};

Status read_stream(int fd, std::string& out) {
    char chunk[65536];
    for (;;) {
        ssize_t r = ::read(fd, chunk, sizeof chunk);
        if (r < 0) {
            if (errno == EINTR) continue;
            return fail(os_error(errno));
        }
        if (r == 0) return {};
        out.append(chunk, static_cast<std::size_t>(r));
    }
}

}  // namespace

Result<ModelIR> read_onnx(const std::string& path) {
    auto read_failure = [&](Error e) { return fail(std::move(e).context(fmt::format("read ONNX file: {}", path))); };
    int raw;
    do {
        raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) return read_failure(os_error(errno));
    FileDescriptor fd(raw);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return read_failure(os_error(errno));
    if (S_ISDIR(st.st_mode)) return read_failure(os_error(EISDIR));

    GraphSummary summary;
    Status walked;
    if (S_ISREG(st.st_mode)) {
        onnx_walk::FileSource source(fd.get(), static_cast<uint64_t>(st.st_size));
        walked = onnx_walk::walk_model(source, summary);
        if (source.io_error()) return read_failure(*source.io_error());
    } else {
        // A pipe or device has no size to bound the walk: take it whole.
        std::string bytes;
        if (auto s = read_stream(fd.get(), bytes); !s) return read_failure(std::move(s.error()));
        onnx_walk::MemorySource source(bytes.data(), bytes.size());
        walked = onnx_walk::walk_model(source, summary);
    }
    if (!walked) return fail(std::move(walked.error()).context("decode ONNX protobuf"));

    ModelIR ir;
    ir.format = ModelFormat::Onnx;
    if (summary.has_graph && summary.params != 0) ir.param_count = summary.params;
    if (summary.has_graph && summary.nodes != 0) ir.layer_count = static_cast<uint32_t>(summary.nodes);
    derive_param_metrics(ir);
    return ir;
}

}  // namespace ferrolune
