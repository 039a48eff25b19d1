#include "ferrolune/hardware/hardware_profile.h"

#include "ferrolune/core/json_writer.h"

namespace ferrolune {

std::string_view to_string(SimdLevel s) {
    switch (s) {
        case SimdLevel::None: return "None";
        case SimdLevel::AVX: return "AVX";
        case SimdLevel::AVX2: return "AVX2";
        case SimdLevel::AVX512: return "AVX512";
    }
    return "None";
}

std::string_view to_string(GpuVendor v) {
    switch (v) {
        case GpuVendor::Nvidia: return "Nvidia";
        case GpuVendor::Amd: return "Amd";
        case GpuVendor::Apple: return "Apple";
        case GpuVendor::Unknown: return "Unknown";
    }
    return "Unknown";
}

std::string to_json(const HardwareProfile& p) {
    json::Writer w;
    w.begin_object();
    w.key("cpu").begin_object();
    w.key("core_count").uint(p.cpu.core_count);
    w.key("brand").string(p.cpu.brand);
    w.key("simd_level").string(to_string(p.cpu.simd_level));
    w.end_object();
    w.key("gpu");
    if (p.gpu) {
        w.begin_object();
        w.key("name").string(p.gpu->name);
        w.key("vram_mb").uint(p.gpu->vram_mb);
        w.key("compute_capability");
        if (p.gpu->compute_capability)
            w.begin_array().uint(p.gpu->compute_capability->first).uint(p.gpu->compute_capability->second).end_array();
        else
            w.null();
        w.key("vendor").string(to_string(p.gpu->vendor));
        w.end_object();
    } else {
        w.null();
    }
    w.key("ram").begin_object();
    w.key("total_mb").uint(p.ram.total_mb);
    w.key("available_mb").uint(p.ram.available_mb);
    w.end_object();
    w.end_object();
    return w.take();
}

}  // namespace ferrolune
