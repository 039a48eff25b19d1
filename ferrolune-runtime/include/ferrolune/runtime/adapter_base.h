// The state every adapter keeps (its tool, the configuration, the model)
// and the checks on that state, so each adapter holds only what is its own.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ferrolune/core/error.h"
#include "ferrolune/runtime/run_records.h"
#include "ferrolune/runtime/runtime_adapter.h"

namespace ferrolune {

class AdapterBase : public RuntimeAdapter {
protected:
    // InitializationFailed "adapter not initialized" without a tool or a
    // configuration, then "model not loaded" without a model.
    Status check_ready() const;

    // Refuses another format than `only` (UnsupportedConfiguration
    // "{runtime} only supports {only} models, got {format}") and a path whose
    // metadata cannot be read (ModelLoadFailed "file not found"). The file
    // is not opened.
    static Status check_model(const ModelDescription& model, std::optional<ModelFormat> only,
                              std::string_view runtime);

    std::optional<std::string> tool_;
    std::optional<RuntimeConfig> config_;
    std::optional<ModelDescription> model_;
};

}  // namespace ferrolune
