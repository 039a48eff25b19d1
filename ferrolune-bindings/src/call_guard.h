// The boundary between the interpreter and native code: every entry point
// runs its body inside `guarded`, which turns an escaped C++ exception (an
// internal fault) into the fault exception, and error values into
// RuntimeError.
#pragma once

#include <Python.h>

#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

#include "ferrolune/core/error.h"
#include "py_object.h"

namespace ferrolune::py {

// A broken invariant inside the bindings.
class InternalFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fault(const std::string& message) { throw InternalFault(message); }

// The fault exception type: derived directly from BaseException so that
// `except Exception:` does not swallow it. Created once per process.
PyObject* fault_exception_type();

// Sets RuntimeError with the error's rendered text; returns a null Ref.
Ref raise_error(const Error& error);
// Sets an exception of `type` with `message`; returns a null Ref.
Ref raise(PyObject* type, std::string_view message);

namespace detail {
// Sets the fault exception for the current C++ exception; aborts the process
// when that conversion itself faults.
void convert_fault() noexcept;
}  // namespace detail

// Runs `body` (returning a Ref) and hands its reference to the interpreter.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        Ref result = body();
        if (!result && !PyErr_Occurred())
            fault("entry point failed without setting an exception");
        return result.release();
    } catch (...) {
        detail::convert_fault();
        return nullptr;
    }
}

// Same for slots that return an int status (-1 with an exception set).
template <typename Body>
int guarded_status(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        detail::convert_fault();
        return -1;
    }
}

}  // namespace ferrolune::py
