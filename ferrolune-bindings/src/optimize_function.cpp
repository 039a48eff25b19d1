#include <optional>
#include <string>

#include "call_guard.h"
#include "ferrolune/core/cancel.h"
#include "ferrolune/optimizer/optimize.h"
#include "functions.h"
#include "optimization_result_type.h"

namespace ferrolune::py {

Ref optimize_function(const std::string& model_path, const std::string& format, const std::optional<std::string>& gpu,
                      std::optional<double> max_latency_ms, const std::optional<std::string>& output_path,
                      bool /*use_cache: accepted, nothing is cached*/) {
    // The call keeps the interpreter lock; this thread still looks at
    // pending signals while it waits, so Ctrl-C stops the work. A signal
    // handler's exception (KeyboardInterrupt) stays set and is what Python
    // sees. Native worker threads never run this.
    auto interrupt = [] { return PyErr_CheckSignals() != 0; };
    Result<optimizer::OptimizeOutcome> outcome =
        optimizer::optimize_model({model_path, format, gpu, max_latency_ms, output_path}, interrupt);
    if (!outcome) {
        if (PyErr_Occurred()) return Ref();
        return raise_error(outcome.error());
    }
    return make_optimization_result(std::move(outcome->result), model_path, std::move(outcome->output_path),
                                    std::move(outcome->requantize_skipped_reason));
}

}  // namespace ferrolune::py
