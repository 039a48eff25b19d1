#include <optional>
#include <string>

#include "call_guard.h"
#include "ferrolune/model_ir/inspect_model.h"
#include "functions.h"

namespace ferrolune::py {

namespace {

template <typename T>
Ref optional_int(const std::optional<T>& v) {
    return v ? integer(static_cast<unsigned long long>(*v)) : none();
}

Ref optional_real(const std::optional<double>& v) { return v ? real(*v) : none(); }

}  // namespace

Ref analyze_model_function(const std::string& model_path) {
    auto ir = inspect_model(model_path);
    if (!ir) return raise_error(ir.error());

    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return Ref();
    // Insertion order is the order Python iterates in. Each value is made
    // only after the previous one went in, so no call runs with an error set.
    auto put = [&](const char* key, Ref value) {
        return value && PyDict_SetItemString(dict.ptr(), key, value.ptr()) == 0;
    };
    if (!put("format", str(to_string(ir->format))) || !put("param_count", optional_int(ir->param_count)) ||
        !put("architecture", ir->architecture ? str(*ir->architecture) : none()) ||
        !put("context_length", optional_int(ir->context_length)) || !put("layer_count", optional_int(ir->layer_count)) ||
        !put("hidden_size", optional_int(ir->hidden_size)) ||
        !put("attention_head_count", optional_int(ir->attention_head_count)) ||
        !put("attention_head_count_kv", optional_int(ir->attention_head_count_kv)) ||
        !put("feed_forward_length", optional_int(ir->feed_forward_length)) ||
        !put("kv_cache_size_mb", optional_real(ir->kv_cache_size_mb)) ||
        !put("memory_footprint_mb", optional_real(ir->memory_footprint_mb)) ||
        !put("flops_per_token", optional_real(ir->flops_per_token)))
        return Ref();
    return dict;
}

}  // namespace ferrolune::py
