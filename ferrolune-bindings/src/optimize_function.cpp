#include "call_guard.h"
#include "functions.h"

namespace ferrolune::py {

Ref optimize_function(const std::string&, const std::string&, const std::optional<std::string>&,
                      std::optional<double>, const std::optional<std::string>&, bool) {
    return raise(PyExc_RuntimeError, "optimize() is not available yet in this build");
}

}  // namespace ferrolune::py
