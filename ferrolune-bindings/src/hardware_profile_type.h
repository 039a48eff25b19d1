// The Python class HardwareProfile: an immutable wrapper around one
// HardwareProfile record.
#pragma once

#include <Python.h>

#include "ferrolune/hardware/hardware_profile.h"
#include "py_object.h"

namespace ferrolune::py {

// The type object, created on first use (once per process).
PyTypeObject* hardware_profile_type();

// A new HardwareProfile object owning `record`.
Ref make_hardware_profile(HardwareProfile record);

// The body of profile_hardware() and HardwareProfile.detect().
Ref detect_hardware_profile();

}  // namespace ferrolune::py
