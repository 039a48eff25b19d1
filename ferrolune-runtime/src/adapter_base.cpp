#include "ferrolune/runtime/adapter_base.h"

#include <fmt/format.h>

#include "ferrolune/core/paths.h"

namespace ferrolune {

Status AdapterBase::check_ready() const {
    if (!tool_ || !config_) return fail(RuntimeAdapterError::initialization_failed("adapter not initialized"));
    if (!model_) return fail(RuntimeAdapterError::initialization_failed("model not loaded"));
    return {};
}

Status AdapterBase::check_model(const ModelDescription& model, std::optional<ModelFormat> only,
                                std::string_view runtime) {
    if (only && model.format != *only)
        return fail(RuntimeAdapterError::unsupported_configuration(fmt::format(
            "{} only supports {} models, got {}", runtime, display_name(*only), display_name(model.format))));
    if (!path_exists(model.path)) return fail(RuntimeAdapterError::model_load_failed(model.path, "file not found"));
    return {};
}

}  // namespace ferrolune
