#include "call_guard.h"
#include "functions.h"

namespace ferrolune::py {

Ref analyze_model_function(const std::string&) {
    return raise(PyExc_RuntimeError, "analyze_model() is not available yet in this build");
}

}  // namespace ferrolune::py
