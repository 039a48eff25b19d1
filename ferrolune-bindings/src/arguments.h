// Matching of positional and keyword arguments to a parameter list, and the
// conversions of single arguments, for functions called with the
// METH_FASTCALL | METH_KEYWORDS convention. Errors are TypeError in the
// wording CPython uses for Python functions.
#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "py_object.h"

namespace ferrolune::py {

struct Parameter {
    const char* name;
    bool required;
};

// Fills `out` (one slot per parameter) with the matched arguments, null
// where a parameter was not given. Returns false with TypeError set on too
// many positional arguments, an unknown or repeated keyword, or a missing
// required parameter.
bool match_arguments(std::string_view function, std::span<const Parameter> params, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, std::span<Handle> out);

// Conversions. An empty outer optional means an exception
// "argument '<name>': <reason>" is set: TypeError for a wrong type,
// ValueError for a value of the right type that cannot be used.
std::optional<std::string> extract_str(const char* name, Handle value);
// A file name as the standard library takes one: str (encoded as os.fsencode
// does, so names that are not UTF-8 come back as their bytes), bytes, or an
// os.PathLike. The reasons are os.fspath's ("expected str, bytes or
// os.PathLike object, not int") and ValueError "embedded null byte".
std::optional<std::string> extract_path(const char* name, Handle value);
// Not given or None: absent.
std::optional<std::optional<std::string>> extract_optional_path(const char* name, Handle value);
// Not given or None: absent.
std::optional<std::optional<std::string>> extract_optional_str(const char* name, Handle value);
// Any object with a float conversion; not given or None: absent.
std::optional<std::optional<double>> extract_optional_double(const char* name, Handle value);
// As extract_optional_double, and ValueError unless the number is finite
// and above zero (a limit of nan or -5 would silently admit or refuse all).
std::optional<std::optional<double>> extract_optional_positive_limit(const char* name, Handle value);
// bool or a NumPy boolean scalar only (not int, not None); not given: the default.
std::optional<bool> extract_bool(const char* name, Handle value, bool default_value);
// An instance of `type`; `type_name` is shown in the error.
std::optional<Handle> extract_instance(const char* name, Handle value, PyTypeObject* type, const char* type_name);

}  // namespace ferrolune::py
