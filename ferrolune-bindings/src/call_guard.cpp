#include "call_guard.h"

#include <cstdio>
#include <cstdlib>

namespace ferrolune::py {

PyObject* fault_exception_type() {
    // Created under the interpreter lock, so a plain static is enough; it
    // lives until the process ends, like the module.
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "ferrolune._ferrolune.InternalFault",
            "An internal fault of the native module (a broken invariant). Derives from\n"
            "BaseException so that it is not caught by `except Exception:`.",
            PyExc_BaseException, nullptr);
        if (!type) fault("failed to create the internal fault exception type");
    }
    return type;
}

Ref raise(PyObject* type, std::string_view message) {
    // Messages quote file names, which need not be UTF-8: such bytes show as
    // \xNN, so two names that differ only there still read differently.
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "backslashreplace"));
    if (text) PyErr_SetObject(type, text.ptr());
    return Ref();
}

Ref raise_error(const Error& error) { return raise(PyExc_RuntimeError, error.render()); }

namespace detail {

void convert_fault() noexcept {
    try {
        try {
            throw;
        } catch (const std::exception& e) {
            std::string message = e.what();
            // The fault replaces whatever the body left behind; the type
            // cannot be created while an exception is pending.
            PyErr_Clear();
            raise(fault_exception_type(), message);
        } catch (...) {
            PyErr_Clear();
            raise(fault_exception_type(), "unknown internal fault");
        }
        if (!PyErr_Occurred()) fault("could not set the internal fault exception");
    } catch (...) {
        std::fputs("ferrolune: fatal: an uncaught internal fault reached the boundary to the Python interpreter\n",
                   stderr);
        std::abort();
    }
}

}  // namespace detail

}  // namespace ferrolune::py
