#include "ferrolune/runtime/runtime_adapter.h"

#include <fmt/format.h>

#include "ferrolune/core/text.h"

namespace ferrolune {

RuntimeAdapterError RuntimeAdapterError::not_installed(std::string binary, std::string install_hint) {
    return RuntimeAdapterError(NotInstalled{std::move(binary), std::move(install_hint)});
}
RuntimeAdapterError RuntimeAdapterError::initialization_failed(std::string reason) {
    return RuntimeAdapterError(InitializationFailed{std::move(reason)});
}
RuntimeAdapterError RuntimeAdapterError::model_load_failed(std::string path, std::string reason) {
    return RuntimeAdapterError(ModelLoadFailed{text::decode_utf8_lossy(path), std::move(reason)});
}
RuntimeAdapterError RuntimeAdapterError::inference_failed(std::string reason) {
    return RuntimeAdapterError(InferenceFailed{std::move(reason)});
}
RuntimeAdapterError RuntimeAdapterError::unsupported_configuration(std::string detail) {
    return RuntimeAdapterError(UnsupportedConfiguration{std::move(detail)});
}
RuntimeAdapterError RuntimeAdapterError::other(Error error) { return RuntimeAdapterError(Other{std::move(error)}); }

std::string RuntimeAdapterError::display() const {
    struct Visitor {
        std::string operator()(const NotInstalled& e) const {
            return fmt::format("required binary '{}' was not found in PATH \u2014 {}", e.binary, e.install_hint);
        }
        std::string operator()(const InitializationFailed& e) const {
            return fmt::format("model initialization failed: {}", e.reason);
        }
        std::string operator()(const ModelLoadFailed& e) const {
            return fmt::format("model load failed for '{}': {}", e.path, e.reason);
        }
        std::string operator()(const InferenceFailed& e) const { return fmt::format("inference failed: {}", e.reason); }
        std::string operator()(const UnsupportedConfiguration& e) const {
            return fmt::format("unsupported configuration: {}", e.detail);
        }
        std::string operator()(const Other& e) const { return e.error.render(); }
    };
    return std::visit(Visitor{}, value_);
}

Error RuntimeAdapterError::to_error() const {
    Error e(display());
    e.set_detail(*this);
    return e;
}

const RuntimeAdapterError* adapter_error_of(const Error& e) { return std::any_cast<RuntimeAdapterError>(&e.detail()); }

}  // namespace ferrolune
