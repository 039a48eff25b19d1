// Starts the embedded interpreter once for all binding tests.
#include <Python.h>
#include <gtest/gtest.h>

namespace {

class PythonEnvironment : public ::testing::Environment {
public:
    void SetUp() override { Py_InitializeEx(0); }
    // Finalising would run destructors of the process-wide type objects the
    // tests created; the process ends right after anyway.
    void TearDown() override {}
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new PythonEnvironment);

}  // namespace
