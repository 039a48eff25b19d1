// profile_hardware(): the same profile as HardwareProfile.detect().
#include "call_guard.h"
#include "functions.h"
#include "hardware_profile_type.h"

namespace ferrolune::py {

namespace {

const char profile_hardware_doc[] =
    "profile_hardware()\n--\n\n"
    "Detect and return the current machine's hardware profile.\n\n"
    "Equivalent to `HardwareProfile.detect()`.";

PyObject* profile_hardware(PyObject*, PyObject*) {
    return guarded([] { return detect_hardware_profile(); });
}

}  // namespace

PyMethodDef profile_hardware_def = {"profile_hardware", profile_hardware, METH_NOARGS, profile_hardware_doc};

}  // namespace ferrolune::py
