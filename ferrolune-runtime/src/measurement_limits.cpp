#include "ferrolune/runtime/measurement_limits.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "ferrolune/core/text.h"

namespace ferrolune {

uint64_t estimate_memory_mb(std::optional<uint64_t> param_count, QuantizationStrategy quantization) {
    if (!param_count) return 0;
    double mb = static_cast<double>(*param_count) * bytes_per_param(quantization) / 1'000'000.0;
    if (!(mb > 0.0)) return 0;
    // 2^64 is the first double above the unsigned 64-bit range.
    if (mb >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(mb);
}

std::optional<std::chrono::seconds> bench_time_limit() {
    constexpr std::chrono::seconds kDefault{600};
    const char* raw = std::getenv("FERROLUNE_BENCH_TIMEOUT_S");
    if (!raw) return kDefault;
    auto secs = text::parse_unsigned<uint64_t>(text::trim(raw));
    if (!secs) return kDefault;
    if (*secs == 0) return std::nullopt;
    // Far beyond any real measurement; keeps the millisecond deadline in range.
    constexpr uint64_t kMax = 100ull * 365 * 24 * 3600;
    return std::chrono::seconds(static_cast<int64_t>(std::min(*secs, kMax)));
}

}  // namespace ferrolune
