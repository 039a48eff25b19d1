#include "hardware_profile_type.h"

#include <new>
#include <string>

#include <fmt/format.h>

#include "call_guard.h"
#include "type_support.h"
#include "ferrolune/hardware/detect.h"

namespace ferrolune::py {

namespace {

struct PyHardwareProfile {
    PyObject_HEAD
    HardwareProfile record;
};

const HardwareProfile& record_of(PyObject* self) { return reinterpret_cast<PyHardwareProfile*>(self)->record; }

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    return guarded([] { return raise(PyExc_TypeError, "No constructor defined for HardwareProfile"); });
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<PyHardwareProfile*>(self)->record.~HardwareProfile();
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types hold a reference to their type
}

PyObject* detect_method(PyObject*, PyObject*) {
    return guarded([] { return detect_hardware_profile(); });
}

PyObject* to_json_method(PyObject* self, PyObject*) {
    return guarded([self] { return str(to_json(record_of(self))); });
}

PyObject* repr(PyObject* self) {
    return guarded([self] {
        const HardwareProfile& p = record_of(self);
        return str(fmt::format("HardwareProfile(cpu_cores={}, gpu={})", p.cpu.core_count,
                               p.gpu ? p.gpu->name : std::string("None")));
    });
}

PyObject* get_cpu_cores(PyObject* self, void*) {
    return guarded([self] { return integer(record_of(self).cpu.core_count); });
}

PyObject* get_gpu_model(PyObject* self, void*) {
    return guarded([self] {
        const auto& gpu = record_of(self).gpu;
        return gpu ? str(gpu->name) : none();
    });
}

PyObject* get_gpu_vram_mb(PyObject* self, void*) {
    return guarded([self] {
        const auto& gpu = record_of(self).gpu;
        return gpu ? integer(gpu->vram_mb) : none();
    });
}

PyObject* get_ram_total_mb(PyObject* self, void*) {
    return guarded([self] { return integer(record_of(self).ram.total_mb); });
}

PyMethodDef methods[] = {
    {"detect", detect_method, METH_NOARGS | METH_STATIC,
     "detect()\n--\n\nDetect the current machine's hardware and return a profile."},
    {"to_json", to_json_method, METH_NOARGS, "to_json($self)\n--\n\nSerialize the profile to a JSON string."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"cpu_cores", get_cpu_cores, nullptr, "Number of logical CPU cores detected.", nullptr},
    {"gpu_model", get_gpu_model, nullptr, "GPU model name, or `None` if no GPU was detected.", nullptr},
    {"gpu_vram_mb", get_gpu_vram_mb, nullptr, "GPU VRAM in megabytes, or `None` if no GPU was detected.", nullptr},
    {"ram_total_mb", get_ram_total_mb, nullptr, "Total system RAM in megabytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char class_doc[] =
    "Python-facing wrapper around [`HardwareProfile`].\n\n"
    "Obtained via `PyHardwareProfile.detect()` or `profile_hardware()`.";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(class_doc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.HardwareProfile",
    sizeof(PyHardwareProfile),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyTypeObject* hardware_profile_type() {
    static PyObject* type = nullptr;
    if (!type) {
        type = PyType_FromSpec(&spec);
        if (!type || !set_builtins_module(type, "HardwareProfile"))
            fault("failed to create type object for HardwareProfile");
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

Ref make_hardware_profile(HardwareProfile record) {
    PyTypeObject* type = hardware_profile_type();
    Ref obj = Ref::steal(type->tp_alloc(type, 0));
    if (!obj) return obj;
    new (&reinterpret_cast<PyHardwareProfile*>(obj.ptr())->record) HardwareProfile(std::move(record));
    return obj;
}

Ref detect_hardware_profile() { return make_hardware_profile(detect()); }

}  // namespace ferrolune::py
