#include "arguments.h"

#include <cmath>
#include <cstring>
#include <vector>

#include <fmt/format.h>

#include "call_guard.h"

namespace ferrolune::py {

namespace {

bool keyword_equals(PyObject* keyword, const char* name) {
    return PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, name) == 0;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as CPython lists missing names.
std::string list_names(const std::vector<const char*>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += fmt::format("'{}'", names[i]);
    }
    return out;
}

bool type_error(std::string_view message) {
    raise(PyExc_TypeError, message);
    return false;
}

// "argument 'x': <the pending exception's text>", replacing the pending
// exception with one of `as_type`, or of the pending one's own type when
// `as_type` is null.
void rewrap_pending(const char* name, PyObject* as_type = PyExc_TypeError) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref type_ref = Ref::steal(type), value_ref = Ref::steal(value), tb_ref = Ref::steal(traceback);
    std::string reason = "conversion failed";
    if (value_ref) {
        Ref text = Ref::steal(PyObject_Str(value_ref.ptr()));
        Py_ssize_t size = 0;
        const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.ptr(), &size) : nullptr;
        if (utf8)
            reason.assign(utf8, static_cast<size_t>(size));
        else
            PyErr_Clear();
    }
    raise(as_type ? as_type : (type_ref ? type_ref.ptr() : PyExc_TypeError),
          fmt::format("argument '{}': {}", name, reason));
}

void cannot_convert(const char* name, Handle value, const char* expected) {
    raise(PyExc_TypeError, fmt::format("argument '{}': '{}' object cannot be converted to '{}'", name,
                                       _PyType_Name(value.type()), expected));
}

bool is_numpy_bool(PyTypeObject* type) {
    // NumPy 2 calls the scalar type numpy.bool, NumPy 1 numpy.bool_.
    return std::strcmp(type->tp_name, "numpy.bool") == 0 || std::strcmp(type->tp_name, "numpy.bool_") == 0;
}

}  // namespace

bool match_arguments(std::string_view function, std::span<const Parameter> params, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, std::span<Handle> out) {
    if (out.size() != params.size()) fault("argument slots do not match the parameter list");
    const Py_ssize_t count = static_cast<Py_ssize_t>(params.size());
    for (Py_ssize_t i = 0; i < count && i < nargs; ++i) out[static_cast<size_t>(i)] = Handle(args[i]);

    // Keywords are checked before the positional count, as CPython does.
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < count; ++i)
            if (keyword_equals(keyword, params[static_cast<size_t>(i)].name)) slot = i;
        std::string key;
        if (PyUnicode_Check(keyword)) {
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
            if (!utf8) return false;
            key.assign(utf8, static_cast<size_t>(size));
        }
        if (slot < 0) return type_error(fmt::format("{}() got an unexpected keyword argument '{}'", function, key));
        if (out[static_cast<size_t>(slot)])
            return type_error(fmt::format("{}() got multiple values for argument '{}'", function, key));
        out[static_cast<size_t>(slot)] = Handle(args[nargs + k]);
    }

    if (nargs > count) {
        Py_ssize_t required = 0;
        for (const Parameter& p : params) required += p.required ? 1 : 0;
        std::string takes = required < count ? fmt::format("from {} to {} positional arguments", required, count)
                                             : fmt::format("{} positional argument{}", count, count == 1 ? "" : "s");
        return type_error(
            fmt::format("{}() takes {} but {} {} given", function, takes, nargs, nargs == 1 ? "was" : "were"));
    }

    std::vector<const char*> missing;
    for (size_t i = 0; i < params.size(); ++i)
        if (params[i].required && !out[i]) missing.push_back(params[i].name);
    if (!missing.empty())
        return type_error(fmt::format("{}() missing {} required positional argument{}: {}", function,
                                      missing.size(), missing.size() == 1 ? "" : "s", list_names(missing)));
    return true;
}

std::optional<std::string> extract_str(const char* name, Handle value) {
    if (!value || !PyUnicode_Check(value.ptr())) {
        cannot_convert(name, value ? value : Handle(Py_None), "str");
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (!utf8) {
        // Lone surrogates have no UTF-8 form.
        rewrap_pending(name);
        return std::nullopt;
    }
    return std::string(utf8, static_cast<size_t>(size));
}

std::optional<std::string> extract_path(const char* name, Handle value) {
    PyObject* encoded = nullptr;
    // os.fspath, then os.fsencode for a str, and the null-byte check that
    // every system call on a name needs.
    if (!PyUnicode_FSConverter(value ? value.ptr() : Py_None, &encoded)) {
        // TypeError for a wrong type, ValueError for an embedded null byte,
        // and whatever a __fspath__ of the caller's own raised.
        rewrap_pending(name, nullptr);
        return std::nullopt;
    }
    Ref bytes = Ref::steal(encoded);
    return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

std::optional<std::optional<std::string>> extract_optional_path(const char* name, Handle value) {
    if (!value || value.ptr() == Py_None) return std::optional<std::string>();
    auto path = extract_path(name, value);
    if (!path) return std::nullopt;
    return std::optional<std::string>(std::move(*path));
}

std::optional<std::optional<std::string>> extract_optional_str(const char* name, Handle value) {
    if (!value || value.ptr() == Py_None) return std::optional<std::string>();
    auto text = extract_str(name, value);
    if (!text) return std::nullopt;
    return std::optional<std::string>(std::move(*text));
}

std::optional<std::optional<double>> extract_optional_double(const char* name, Handle value) {
    if (!value || value.ptr() == Py_None) return std::optional<double>();
    double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        rewrap_pending(name);
        return std::nullopt;
    }
    return std::optional<double>(v);
}

std::optional<std::optional<double>> extract_optional_positive_limit(const char* name, Handle value) {
    auto number = extract_optional_double(name, value);
    if (!number || !*number) return number;
    const double v = **number;
    if (std::isfinite(v) && v > 0) return number;
    // Python's own spelling of the number: nan, inf, -5.0.
    char* shown = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!shown) return std::nullopt;
    std::string text(shown);
    PyMem_Free(shown);
    raise(PyExc_ValueError, fmt::format("argument '{}': must be a positive finite number, not {}", name, text));
    return std::nullopt;
}

std::optional<bool> extract_bool(const char* name, Handle value, bool default_value) {
    if (!value) return default_value;
    if (PyBool_Check(value.ptr())) return value.ptr() == Py_True;
    if (is_numpy_bool(value.type())) {
        int truth = PyObject_IsTrue(value.ptr());
        if (truth < 0) {
            rewrap_pending(name);
            return std::nullopt;
        }
        return truth == 1;
    }
    cannot_convert(name, value, "bool");
    return std::nullopt;
}

std::optional<Handle> extract_instance(const char* name, Handle value, PyTypeObject* type, const char* type_name) {
    if (value && PyObject_TypeCheck(value.ptr(), type)) return value;
    cannot_convert(name, value ? value : Handle(Py_None), type_name);
    return std::nullopt;
}

}  // namespace ferrolune::py
