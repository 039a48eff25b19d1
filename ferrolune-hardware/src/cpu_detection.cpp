#include "cpu_detection.h"

#include <cpuid.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "ferrolune/core/text.h"
#include "ferrolune/hardware/detect.h"

namespace ferrolune::hardware {

CpuidRegisters native_cpuid(uint32_t leaf, uint32_t subleaf) {
    CpuidRegisters r;
    __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
    return r;
}

std::string cpuid_brand(const CpuidFunction& cpuid) {
    if (cpuid(0x80000000u, 0).eax < 0x80000004u) return {};
    char bytes[48];
    for (uint32_t i = 0; i < 3; ++i) {
        CpuidRegisters r = cpuid(0x80000002u + i, 0);
        const uint32_t regs[4] = {r.eax, r.ebx, r.ecx, r.edx};
        std::memcpy(bytes + 16 * i, regs, sizeof regs);  // x86-64 is little-endian
    }
    std::string_view raw(bytes, sizeof bytes);
    raw = raw.substr(0, raw.find('\0'));
    if (!text::is_valid_utf8(raw)) return "Invalid Processor Brand String";
    return std::string(text::trim(raw));
}

std::string cpuinfo_brand(std::optional<std::string_view> cpuinfo) {
    if (!cpuinfo || !text::is_valid_utf8(*cpuinfo)) return "Unknown";
    for (std::string_view line : text::split_lines(*cpuinfo)) {
        if (!line.starts_with("model name")) continue;
        size_t colon = line.find(':');
        // Only the first such line counts, even without a colon.
        if (colon == std::string_view::npos) return "Unknown";
        return std::string(text::trim(line.substr(colon + 1)));
    }
    return "Unknown";
}

std::string cpu_brand(const CpuidFunction& cpuid, const FileReader& read) {
    std::string brand = cpuid_brand(cpuid);
    if (!brand.empty()) return brand;
    std::optional<std::string> cpuinfo = read("/proc/cpuinfo");
    return cpuinfo_brand(cpuinfo ? std::optional<std::string_view>(*cpuinfo) : std::nullopt);
}

SimdLevel simd_level(const CpuidFunction& cpuid) {
    const uint32_t max_leaf = cpuid(0, 0).eax;
    if (max_leaf >= 7) {
        CpuidRegisters r = cpuid(7, 0);
        if (r.ebx & (1u << 16)) return SimdLevel::AVX512;
        if (r.ebx & (1u << 5)) return SimdLevel::AVX2;
    }
    if (max_leaf >= 1 && (cpuid(1, 0).ecx & (1u << 28))) return SimdLevel::AVX;
    return SimdLevel::None;
}

namespace {

struct Mount {
    std::string root;
    std::string point;
};

bool list_contains(std::string_view comma_list, std::string_view item) {
    for (std::string_view field : text::split(comma_list, ','))
        if (field == item) return true;
    return false;
}

// The mount of a cgroup hierarchy: version 2 when `controller` is empty,
// otherwise the version 1 hierarchy whose super options name `controller`.
std::optional<Mount> find_cgroup_mount(std::string_view mountinfo, std::string_view controller) {
    for (std::string_view line : text::split_lines(mountinfo)) {
        std::vector<std::string_view> f = text::split_whitespace(line);
        auto dash = std::find(f.begin(), f.end(), std::string_view("-"));
        if (f.size() < 5 || dash == f.end() || f.end() - dash < 4) continue;
        std::string_view fstype = dash[1], options = dash[3];
        bool match = controller.empty() ? fstype == "cgroup2"
                                        : fstype == "cgroup" && list_contains(options, controller);
        if (match) return Mount{std::string(f[3]), std::string(f[4])};
    }
    return std::nullopt;
}

std::optional<uint64_t> parse_u64(std::string_view s) { return text::parse_unsigned<uint64_t>(text::trim(s)); }

std::optional<uint32_t> ceil_ratio(std::optional<uint64_t> quota, std::optional<uint64_t> period) {
    if (!quota || !period || *quota == 0 || *period == 0) return std::nullopt;
    uint64_t n = *quota / *period + (*quota % *period ? 1 : 0);
    return static_cast<uint32_t>(std::min<uint64_t>(n, UINT32_MAX));
}

// Reads the limit at `dir` through `limit_at`, then at each parent up to the
// mount point, keeping the smallest.
template <typename LimitAt>
std::optional<uint32_t> walk_up(const Mount& mount, std::string_view group, LimitAt limit_at) {
    // The group path is relative to the mount's root (inside a container the
    // root is the container's own group).
    std::string_view rel = group;
    if (mount.root != "/" && rel.starts_with(mount.root)) rel.remove_prefix(mount.root.size());
    std::string dir = mount.point;
    while (!dir.empty() && dir.back() == '/') dir.pop_back();
    std::string rel_text(rel);
    while (!rel_text.empty() && rel_text.back() == '/') rel_text.pop_back();
    std::string path = dir + rel_text;

    std::optional<uint32_t> best;
    for (;;) {
        std::optional<uint32_t> here = limit_at(path);
        if (here && (!best || *here < *best)) best = here;
        if (path.size() <= dir.size()) break;
        size_t slash = path.rfind('/');
        if (slash == std::string::npos || slash < dir.size()) break;
        path.resize(slash);
    }
    return best;
}

}  // namespace

std::optional<uint32_t> cgroup_cpu_limit(const FileReader& read) {
    std::optional<std::string> cgroup = read("/proc/self/cgroup");
    std::optional<std::string> mountinfo = read("/proc/self/mountinfo");
    if (!cgroup || !mountinfo) return std::nullopt;

    std::optional<uint32_t> best;
    auto keep = [&best](std::optional<uint32_t> v) {
        if (v && (!best || *v < *best)) best = v;
    };
    for (std::string_view line : text::split_lines(*cgroup)) {
        // "hierarchy-id:controllers:path"; the path may itself hold colons.
        size_t first = line.find(':');
        if (first == std::string_view::npos) continue;
        size_t second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        std::string_view id = line.substr(0, first);
        std::string_view controllers = line.substr(first + 1, second - first - 1);
        std::string_view group = line.substr(second + 1);

        if (id == "0" && controllers.empty()) {
            if (auto mount = find_cgroup_mount(*mountinfo, "")) {
                keep(walk_up(*mount, group, [&](const std::string& dir) -> std::optional<uint32_t> {
                    auto max = read(dir + "/cpu.max");
                    if (!max) return std::nullopt;
                    auto fields = text::split_whitespace(*max);
                    if (fields.size() < 2 || fields[0] == "max") return std::nullopt;
                    return ceil_ratio(parse_u64(fields[0]), parse_u64(fields[1]));
                }));
            }
        } else if (list_contains(controllers, "cpu")) {
            if (auto mount = find_cgroup_mount(*mountinfo, "cpu")) {
                keep(walk_up(*mount, group, [&](const std::string& dir) -> std::optional<uint32_t> {
                    auto quota = read(dir + "/cpu.cfs_quota_us");
                    auto period = read(dir + "/cpu.cfs_period_us");
                    // An unlimited quota is -1, which does not parse as unsigned.
                    if (!quota || !period) return std::nullopt;
                    return ceil_ratio(parse_u64(*quota), parse_u64(*period));
                }));
            }
        }
    }
    return best;
}

uint32_t logical_core_count(std::optional<uint32_t> quota, std::optional<uint32_t> affinity_count,
                            long online_count) {
    uint32_t base = affinity_count && *affinity_count > 0
                        ? *affinity_count
                        : static_cast<uint32_t>(std::clamp<long>(online_count, 1, UINT32_MAX));
    return quota ? std::min(*quota, base) : base;
}

}  // namespace ferrolune::hardware

namespace ferrolune {

CpuInfo detect_cpu() {
    using namespace hardware;
    // The quota is looked up once per process; concurrent first calls all
    // compute the same value.
    static const std::optional<uint32_t> quota = cgroup_cpu_limit(read_whole_file);

    std::optional<uint32_t> affinity;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) affinity = static_cast<uint32_t>(CPU_COUNT(&set));

    CpuInfo cpu;
    cpu.core_count = logical_core_count(quota, affinity, sysconf(_SC_NPROCESSORS_ONLN));
    cpu.brand = cpu_brand(native_cpuid, read_whole_file);
    cpu.simd_level = simd_level(native_cpuid);
    return cpu;
}

}  // namespace ferrolune
