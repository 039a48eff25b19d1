// Owning and borrowed references to Python objects. Every reference count
// change in the bindings goes through these two types, so each C-API call
// says at the call site whether it hands over a new reference (steal) or
// lends one (borrow).
#pragma once

#include <Python.h>

#include <string_view>
#include <utility>

namespace ferrolune::py {

// A non-owning view of a Python object; may be null.
class Handle {
public:
    Handle() = default;
    explicit Handle(PyObject* p) : p_(p) {}

    PyObject* ptr() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    PyTypeObject* type() const { return Py_TYPE(p_); }

private:
    PyObject* p_ = nullptr;
};

// Owns one strong reference and releases it when destroyed. A null Ref
// means "failed, a Python exception is set".
class Ref {
public:
    Ref() = default;
    Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (from a C-API call returning one).
    static Ref steal(PyObject* p) { return Ref(p); }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    static Ref borrow(Handle h) { return borrow(h.ptr()); }

    PyObject* ptr() const { return p_; }
    Handle handle() const { return Handle(p_); }
    explicit operator bool() const { return p_ != nullptr; }
    // Gives the reference to the caller (the C-API return value).
    PyObject* release() { return std::exchange(p_, nullptr); }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// Python values from native ones; each returns a new reference or null with
// an exception set.
inline Ref str(std::string_view s) {
    return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}
// A file name as os.fsdecode gives it: bytes that are not UTF-8 become
// surrogate escapes, so the str names the same file when passed back.
inline Ref path_str(std::string_view s) {
    return Ref::steal(PyUnicode_DecodeFSDefaultAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref integer(unsigned long long v) { return Ref::steal(PyLong_FromUnsignedLongLong(v)); }
inline Ref real(double v) { return Ref::steal(PyFloat_FromDouble(v)); }

}  // namespace ferrolune::py
