#include "call_guard.h"

#include <gtest/gtest.h>

#include <new>

#include "embedded_python.h"

namespace ferrolune::py {
namespace {

using testing::evaluate;
using testing::fresh_globals;

// The pending exception's type and text, clearing it.
std::pair<PyObject*, std::string> take_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref v = Ref::steal(value), b = Ref::steal(tb);
    Ref text = Ref::steal(PyObject_Str(v.ptr()));
    std::string message = text ? PyUnicode_AsUTF8(text.ptr()) : "";
    Py_XDECREF(type);  // the fault type is kept alive by the bindings
    return {type, message};
}

struct FaultCase {
    const char* label;
    void (*thrower)();
    const char* message;
};

class GuardFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(GuardFault, becomes_the_fault_exception_with_the_message) {
    PyObject* out = guarded([&]() -> Ref {
        GetParam().thrower();
        return none();
    });
    EXPECT_EQ(out, nullptr);
    ASSERT_TRUE(PyErr_Occurred());
    auto [type, message] = take_exception();
    EXPECT_EQ(type, fault_exception_type());
    EXPECT_EQ(message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GuardFault,
    ::testing::Values(FaultCase{"internal_fault", [] { fault("index 7 outside the table"); }, "index 7 outside the table"},
                      FaultCase{"standard_exception", [] { throw std::logic_error("broken"); }, "broken"},
                      FaultCase{"out_of_memory", [] { throw std::bad_alloc(); }, "std::bad_alloc"},
                      FaultCase{"not_an_exception_class", [] { throw 42; }, "unknown internal fault"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Guard, fault_type_derives_directly_from_base_exception) {
    auto* type = reinterpret_cast<PyTypeObject*>(fault_exception_type());
    EXPECT_EQ(type->tp_base, reinterpret_cast<PyTypeObject*>(PyExc_BaseException));
    EXPECT_FALSE(PyObject_IsSubclass(fault_exception_type(), PyExc_Exception));
    EXPECT_EQ(fault_exception_type(), fault_exception_type());  // created once
}

PyObject* faulting_function(PyObject*, PyObject*) {
    return guarded([]() -> Ref { fault("invariant broken"); });
}

PyMethodDef faulting_def = {"faulting", faulting_function, METH_NOARGS, nullptr};

TEST(Guard, fault_is_not_caught_by_except_exception) {
    Ref globals = fresh_globals();
    Ref function = Ref::steal(PyCFunction_New(&faulting_def, nullptr));
    PyDict_SetItemString(globals.ptr(), "faulting", function.ptr());
    Ref ran = Ref::steal(PyRun_String(
        "def probe():\n"
        "    try:\n"
        "        try:\n"
        "            faulting()\n"
        "        except Exception:\n"
        "            return 'caught as Exception'\n"
        "    except BaseException as e:\n"
        "        return type(e).__name__ + ': ' + str(e)\n",
        Py_file_input, globals.ptr(), globals.ptr()));
    ASSERT_TRUE(ran);
    EXPECT_EQ(evaluate("probe()", globals.ptr()), "InternalFault: invariant broken");
}

TEST(Guard, fault_replaces_an_exception_the_body_had_set) {
    PyObject* out = guarded([]() -> Ref {
        PyErr_SetString(PyExc_ValueError, "half done");
        fault("gave up");
    });
    EXPECT_EQ(out, nullptr);
    auto [type, message] = take_exception();
    EXPECT_EQ(type, fault_exception_type());
    EXPECT_EQ(message, "gave up");
}

TEST(Guard, null_result_without_exception_is_a_fault) {
    PyObject* out = guarded([] { return Ref(); });
    EXPECT_EQ(out, nullptr);
    auto [type, message] = take_exception();
    EXPECT_EQ(type, fault_exception_type());
    EXPECT_EQ(message, "entry point failed without setting an exception");
}

struct ErrorCase {
    const char* name;
    Error error;
    const char* text;
};

class GuardError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(GuardError, becomes_runtime_error_with_rendered_text) {
    PyObject* out = guarded([&] { return raise_error(GetParam().error); });
    EXPECT_EQ(out, nullptr);
    auto [type, message] = take_exception();
    EXPECT_EQ(type, PyExc_RuntimeError);
    EXPECT_EQ(message, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GuardError,
    ::testing::Values(ErrorCase{"message_alone", Error("no configuration could be benchmarked"), "no configuration could be benchmarked"},
                      ErrorCase{"causes_in_chain_order", Error("failed to fill whole buffer").context("read KV key").context("inspect model"),
                                "inspect model: read KV key: failed to fill whole buffer"},
                      // Invalid UTF-8 in an error text must not lose the
                      // exception, and shows as the escaped byte.
                      ErrorCase{"invalid_utf8_escaped", Error("bad path \xff"), "bad path \\xff"}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

TEST(Guard, passes_the_result_through) {
    PyObject* out = guarded([] { return str("ok"); });
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(PyUnicode_AsUTF8(out), "ok");
    Py_DECREF(out);
    EXPECT_FALSE(PyErr_Occurred());
}

}  // namespace
}  // namespace ferrolune::py
