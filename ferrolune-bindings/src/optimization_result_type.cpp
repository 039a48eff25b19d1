#include "optimization_result_type.h"

#include <new>

#include <fmt/format.h>

#include "call_guard.h"
#include "type_support.h"
#include "ferrolune/core/text.h"

namespace ferrolune::py {

namespace {

struct Owned {
    OptimizationResult record;
    std::string model_path;
    std::optional<std::string> output_path;
    std::optional<std::string> requantize_skipped_reason;
};

struct PyOptimizationResult {
    PyObject_HEAD
    Owned owned;
};

const Owned& owned_of(PyObject* self) { return reinterpret_cast<PyOptimizationResult*>(self)->owned; }
const OptimizationResult& record_of(PyObject* self) { return owned_of(self).record; }

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    return guarded([] { return raise(PyExc_TypeError, "No constructor defined for OptimizationResult"); });
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<PyOptimizationResult*>(self)->owned.~Owned();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* to_json_method(PyObject* self, PyObject*) {
    return guarded([self] { return str(to_json(record_of(self))); });
}

PyObject* repr(PyObject* self) {
    return guarded([self] {
        const OptimizationResult& r = record_of(self);
        return str(fmt::format("OptimizationResult(runtime={}, quant={}, tps={})", to_string(r.config.runtime),
                               to_string(r.config.quantization), text::one_decimal(r.metrics.tokens_per_sec)));
    });
}

PyObject* get_runtime(PyObject* self, void*) {
    return guarded([self] { return str(to_string(record_of(self).config.runtime)); });
}
PyObject* get_quantization(PyObject* self, void*) {
    return guarded([self] { return str(to_string(record_of(self).config.quantization)); });
}
PyObject* get_threads(PyObject* self, void*) {
    return guarded([self] { return integer(record_of(self).config.threads); });
}
PyObject* get_batch_size(PyObject* self, void*) {
    return guarded([self] { return integer(record_of(self).config.batch_size); });
}
PyObject* get_gpu_layers(PyObject* self, void*) {
    return guarded([self] { return integer(record_of(self).config.gpu_layers); });
}
PyObject* get_tokens_per_sec(PyObject* self, void*) {
    return guarded([self] { return real(record_of(self).metrics.tokens_per_sec); });
}
PyObject* get_latency_ms(PyObject* self, void*) {
    return guarded([self] { return real(record_of(self).metrics.latency_ms); });
}
PyObject* get_peak_memory_mb(PyObject* self, void*) {
    return guarded([self] { return integer(record_of(self).metrics.peak_memory_mb); });
}
PyObject* get_output_path(PyObject* self, void*) {
    return guarded([self] {
        const auto& path = owned_of(self).output_path;
        return path ? path_str(*path) : none();
    });
}
PyObject* get_requantize_skipped_reason(PyObject* self, void*) {
    return guarded([self] {
        const auto& reason = owned_of(self).requantize_skipped_reason;
        return reason ? str(*reason) : none();
    });
}

// One measured configuration as a dict; keys in the table's column order.
Ref measurement_dict(const Measurement& m, bool winner) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return Ref();
    // Each value is made only after the previous one went in, so no call
    // runs with an error set.
    auto put = [&](const char* key, Ref value) {
        return value && PyDict_SetItemString(dict.ptr(), key, value.ptr()) == 0;
    };
    const RuntimeConfig& c = m.config;
    const BenchmarkResult& r = m.metrics;
    if (!put("runtime", str(to_string(c.runtime))) || !put("quantization", str(to_string(c.quantization))) ||
        !put("threads", integer(c.threads)) || !put("gpu_layers", integer(c.gpu_layers)) ||
        !put("batch_size", integer(c.batch_size)) || !put("tokens_per_sec", real(r.tokens_per_sec)) ||
        !put("tokens_per_sec_stddev", r.tokens_per_sec_stddev ? real(*r.tokens_per_sec_stddev) : none()) ||
        !put("latency_ms", real(r.latency_ms)) || !put("peak_memory_mb", integer(r.peak_memory_mb)) ||
        !put("runs", integer(r.runs)) || !put("estimate", Ref::borrow(m.estimate ? Py_True : Py_False)) ||
        !put("winner", Ref::borrow(winner ? Py_True : Py_False)))
        return Ref();
    return dict;
}

PyObject* get_measurements(PyObject* self, void*) {
    return guarded([self] {
        const OptimizationResult& r = record_of(self);
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return Ref();
        // Only the first row with the winner's configuration is marked; the
        // rows are unique per configuration anyway.
        bool marked = false;
        for (const Measurement& m : r.measurements) {
            const bool winner = !marked && m.config == r.config;
            marked = marked || winner;
            Ref row = measurement_dict(m, winner);
            if (!row || PyList_Append(list.ptr(), row.ptr()) != 0) return Ref();
        }
        return list;
    });
}

PyMethodDef methods[] = {
    {"to_json", to_json_method, METH_NOARGS, "to_json($self)\n--\n\nSerialize the result to a JSON string."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"runtime", get_runtime, nullptr, "Runtime name (e.g. `\"LlamaCpp\"`, `\"OnnxRuntime\"`, `\"TensorRT\"`).",
     nullptr},
    {"quantization", get_quantization, nullptr, "Quantization strategy name (e.g. `\"Q4_K_M\"`, `\"F16\"`).",
     nullptr},
    {"threads", get_threads, nullptr, "Number of CPU threads used by the selected configuration.", nullptr},
    {"batch_size", get_batch_size, nullptr, "Batch size of the selected configuration.", nullptr},
    {"gpu_layers", get_gpu_layers, nullptr, "Number of transformer layers offloaded to the GPU (0 = CPU-only).",
     nullptr},
    {"tokens_per_sec", get_tokens_per_sec, nullptr, "Sustained throughput in tokens per second.", nullptr},
    {"latency_ms", get_latency_ms, nullptr, "End-to-end inference latency in milliseconds.", nullptr},
    {"peak_memory_mb", get_peak_memory_mb, nullptr, "Peak memory usage during the benchmark run, in megabytes.",
     nullptr},
    {"output_path", get_output_path, nullptr,
     "Path to the re-quantized output model, or `None` if `llama-quantize`\n"
     "was not available and quantization was skipped.",
     nullptr},
    {"requantize_skipped_reason", get_requantize_skipped_reason, nullptr,
     "Why no re-quantized model was written (the refusal, or the quantizer's exit\n"
     "status and last lines), or `None` when `output_path` names the written file.",
     nullptr},
    {"measurements", get_measurements, nullptr,
     "Every configuration the search measured successfully, best first, as a\n"
     "list of dicts with the keys `runtime`, `quantization`, `threads`,\n"
     "`gpu_layers`, `batch_size`, `tokens_per_sec`, `tokens_per_sec_stddev`\n"
     "(`None` for a single run or an estimate), `latency_ms`, `peak_memory_mb`,\n"
     "`runs`, `estimate` (a hardware-aware figure standing in for a missing\n"
     "llama.cpp tool) and `winner` (the configuration this result holds).\n"
     "Failed measurements are not listed; their reasons were logged.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char class_doc[] =
    "Python-facing wrapper around [`OptimizationResult`].\n\n"
    "Returned by `optimize()`. Contains both the benchmark result and the path\n"
    "to the re-quantized model produced by `llama-quantize`.";

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
    "builtins.OptimizationResult",
    sizeof(PyOptimizationResult),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyTypeObject* optimization_result_type() {
    static PyObject* type = nullptr;
    if (!type) {
        type = PyType_FromSpec(&spec);
        if (!type || !set_builtins_module(type, "OptimizationResult"))
            fault("failed to create type object for OptimizationResult");
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

Ref make_optimization_result(OptimizationResult record, std::string model_path,
                             std::optional<std::string> output_path,
                             std::optional<std::string> requantize_skipped_reason) {
    PyTypeObject* type = optimization_result_type();
    Ref obj = Ref::steal(type->tp_alloc(type, 0));
    if (!obj) return obj;
    new (&reinterpret_cast<PyOptimizationResult*>(obj.ptr())->owned)
        Owned{std::move(record), std::move(model_path), std::move(output_path), std::move(requantize_skipped_reason)};
    return obj;
}

OptimizationResultView optimization_result_view(Handle object) {
    if (!object || !PyObject_TypeCheck(object.ptr(), optimization_result_type()))
        fault("not an OptimizationResult object");
    const Owned& o = owned_of(object.ptr());
    return {o.record, o.model_path, o.output_path};
}

}  // namespace ferrolune::py
