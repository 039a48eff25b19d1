"""Calling conventions of the native module: members, signatures, argument
matching and conversion, classes without constructors, the import rules."""

from __future__ import annotations

import importlib
import inspect
import pathlib
import subprocess
import sys
import textwrap
from typing import Any, Callable

import numpy as np
import pytest

import ferrolune
from ferrolune import _ferrolune as native


# Pure-Python functions with the same parameter lists: the reference for
# signatures and for CPython's wording of argument-matching errors.
def profile_hardware():  # type: ignore[no-untyped-def]
    pass


def optimize(model_path, format, gpu=None, max_latency_ms=None, output_path=None, use_cache=True):  # type: ignore[no-untyped-def]
    pass


def export_ollama(result, output_dir):  # type: ignore[no-untyped-def]
    pass


def analyze_model(model_path):  # type: ignore[no-untyped-def]
    pass


def convert_gguf_to_onnx(input_path, output_path):  # type: ignore[no-untyped-def]
    pass


def convert_onnx_to_gguf(input_path, output_path):  # type: ignore[no-untyped-def]
    pass


REFERENCES: dict[str, Callable[..., Any]] = {
    f.__name__: f
    for f in (profile_hardware, optimize, export_ollama, analyze_model, convert_gguf_to_onnx, convert_onnx_to_gguf)
}
FUNCTIONS = list(REFERENCES)


def test_members_in_table_order() -> None:
    members = [name for name in vars(native) if not name.startswith("__")]
    assert members == ["HardwareProfile", "OptimizationResult", *FUNCTIONS]


def test_package_reexports_the_module() -> None:
    for name in ["HardwareProfile", "OptimizationResult", *FUNCTIONS]:
        assert getattr(ferrolune, name) is getattr(native, name)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_signature_matches_the_reference(name: str) -> None:
    assert str(inspect.signature(getattr(native, name))) == str(inspect.signature(REFERENCES[name]))


@pytest.mark.parametrize(
    ("name", "first_sentence"),
    [
        ("profile_hardware", "Detect and return the current machine's hardware profile."),
        ("optimize", "Run the full optimization pipeline for the given model."),
        ("export_ollama", "Export an optimized model as an Ollama-compatible bundle."),
        ("analyze_model", "Inspect a model file and return its IR metadata as a Python dictionary."),
        ("convert_gguf_to_onnx", "Convert a GGUF model file to ONNX format."),
        ("convert_onnx_to_gguf", "Convert an ONNX model file to GGUF format."),
    ],
)
def test_docstring_starts_with_the_description(name: str, first_sentence: str) -> None:
    doc = getattr(native, name).__doc__
    assert doc.splitlines()[0] == first_sentence
    if name != "profile_hardware":
        for section in ("Parameters", "Returns", "Raises"):
            assert f"\n{section}\n" in doc


def test_module_docstring() -> None:
    assert native.__doc__.splitlines()[0] == "Native extension module for Ferrolune."
    assert "from ferrolune._ferrolune import ..." in native.__doc__


# Argument-matching mistakes: the message must be exactly what CPython says
# for the pure-Python reference.
MATCHING_CASES = [
    ("profile_hardware", (1,), {}),
    ("optimize", (), {}),
    ("optimize", ("m.gguf",), {}),
    ("optimize", ("m.gguf", "gguf", None, None, None, True, 7), {}),
    ("optimize", ("m.gguf", "gguf"), {"cache": True}),
    ("optimize", ("m.gguf", "gguf"), {"model_path": "x"}),
    ("optimize", ("m.gguf",), {"format": "gguf", "gpu": None, "speed": 1}),
    ("optimize", (), {"format": "gguf"}),
    # An unknown keyword is reported before too many positionals.
    ("optimize", ("a", "b", "c", "d", "e", "f", "g"), {"bogus": 1}),
    ("export_ollama", (), {}),
    ("export_ollama", (1, 2, 3), {}),
    ("analyze_model", (), {}),
    ("analyze_model", ("a", "b"), {}),
    ("analyze_model", (), {"path": "a"}),
    ("convert_gguf_to_onnx", ("a",), {"input_path": "b"}),
    ("convert_onnx_to_gguf", (), {"output_path": "b"}),
]


@pytest.mark.parametrize(("name", "args", "kwargs"), MATCHING_CASES)
def test_argument_matching_uses_cpythons_wording(name: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> None:
    with pytest.raises(TypeError) as expected:
        REFERENCES[name](*args, **kwargs)
    with pytest.raises(TypeError) as got:
        getattr(native, name)(*args, **kwargs)
    if name == "profile_hardware":
        # CPython words a no-argument built-in its own way, with the module path.
        assert str(got.value).endswith("profile_hardware() takes no arguments (1 given)")
    else:
        assert str(got.value) == str(expected.value)


class Floaty:
    def __float__(self) -> float:
        return 1.5


CONVERSION_CASES = [
    # Path parameters take what os.fspath takes, and refuse the rest in its words.
    ("optimize", (7, "gguf"), {}, "argument 'model_path': expected str, bytes or os.PathLike object, not int"),
    ("optimize", (bytearray(b"m.gguf"), "gguf"), {}, "argument 'model_path': expected str, bytes or os.PathLike object, not bytearray"),
    ("optimize", ("m.gguf", None), {}, "argument 'format': 'NoneType' object cannot be converted to 'str'"),
    ("optimize", ("m.gguf", "gguf"), {"gpu": 4090}, "argument 'gpu': 'int' object cannot be converted to 'str'"),
    ("optimize", ("m.gguf", "gguf"), {"max_latency_ms": "200"}, "argument 'max_latency_ms': must be real number, not str"),
    ("optimize", ("m.gguf", "gguf"), {"output_path": 3.5}, "argument 'output_path': expected str, bytes or os.PathLike object, not float"),
    ("optimize", ("m.gguf", "gguf"), {"use_cache": None}, "argument 'use_cache': 'NoneType' object cannot be converted to 'bool'"),
    ("optimize", ("m.gguf", "gguf"), {"use_cache": 1}, "argument 'use_cache': 'int' object cannot be converted to 'bool'"),
    ("optimize", ("m.gguf", "gguf"), {"use_cache": np.int64(1)}, "argument 'use_cache': 'int64' object cannot be converted to 'bool'"),
    # The first failing parameter is reported; later ones are not looked at.
    ("optimize", (1, 2), {"use_cache": None}, "argument 'model_path': expected str, bytes or os.PathLike object, not int"),
    ("analyze_model", (None,), {}, "argument 'model_path': expected str, bytes or os.PathLike object, not NoneType"),
    ("export_ollama", ({}, 5), {}, "argument 'result': 'dict' object cannot be converted to 'OptimizationResult'"),
    ("export_ollama", (None, "out"), {}, "argument 'result': 'NoneType' object cannot be converted to 'OptimizationResult'"),
    ("export_ollama", ({}, pathlib.Path("out")), {}, "argument 'result': 'dict' object cannot be converted to 'OptimizationResult'"),
    ("convert_gguf_to_onnx", (["a"], "b"), {}, "argument 'input_path': expected str, bytes or os.PathLike object, not list"),
    ("convert_onnx_to_gguf", ("a", None), {}, "argument 'output_path': expected str, bytes or os.PathLike object, not NoneType"),
]


@pytest.mark.parametrize(("name", "args", "kwargs", "message"), CONVERSION_CASES)
def test_wrong_types_name_the_argument(name: str, args: tuple[Any, ...], kwargs: dict[str, Any], message: str) -> None:
    with pytest.raises(TypeError) as info:
        getattr(native, name)(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("limit", "message"),
    [
        (float("nan"), "argument 'max_latency_ms': must be a positive finite number, not nan"),
        (float("inf"), "argument 'max_latency_ms': must be a positive finite number, not inf"),
        (-float("inf"), "argument 'max_latency_ms': must be a positive finite number, not -inf"),
        (0, "argument 'max_latency_ms': must be a positive finite number, not 0.0"),
        (-5, "argument 'max_latency_ms': must be a positive finite number, not -5.0"),
        (np.float64("nan"), "argument 'max_latency_ms': must be a positive finite number, not nan"),
    ],
    ids=["nan", "inf", "minus_inf", "zero", "negative", "numpy_nan"],
)
def test_latency_limit_must_be_finite_and_positive(limit: object, message: str, tmp_path: pathlib.Path) -> None:
    # A real model path and format: only the limit stands in the way.
    with pytest.raises(ValueError) as info:
        native.optimize(str(tmp_path / "m.gguf"), "gguf", max_latency_ms=limit)
    assert str(info.value) == message


def test_hardware_profile_is_not_an_optimization_result() -> None:
    with pytest.raises(TypeError, match=r"^argument 'result': 'HardwareProfile' object cannot be converted"):
        native.export_ollama(native.profile_hardware(), "out")


# Accepted values get past argument conversion. The format is one that the
# body refuses before any work, so each call ends in RuntimeError.
@pytest.mark.parametrize(
    "kwargs",
    [
        {},
        {"gpu": None, "max_latency_ms": None, "output_path": None},
        {"max_latency_ms": 500},
        {"max_latency_ms": 12.5},
        {"max_latency_ms": Floaty()},
        {"max_latency_ms": np.float32(3)},
        {"use_cache": False},
        {"use_cache": np.bool_(True)},
        {"use_cache": np.bool_(False)},
        {"gpu": "cpu", "output_path": "out.gguf"},
    ],
)
def test_accepted_values_reach_the_body(kwargs: dict[str, Any], tmp_path: pathlib.Path) -> None:
    with pytest.raises(RuntimeError):
        native.optimize(str(tmp_path / "m.gguf"), "safetensors", **kwargs)


def test_str_subclass_is_accepted() -> None:
    class Name(str):
        pass

    with pytest.raises(RuntimeError):
        native.analyze_model(Name("/nonexistent/m.xyz"))


@pytest.mark.parametrize("cls", [native.HardwareProfile, native.OptimizationResult])
def test_classes_present_as_builtins_without_constructor(cls: type) -> None:
    assert cls.__module__ == "builtins"
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == f"No constructor defined for {cls.__name__}"
    with pytest.raises(TypeError):
        cls(1, key=2)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_optimization_result_member_order_and_docs() -> None:
    members = [n for n in vars(native.OptimizationResult) if not n.startswith("__")]
    assert members == ["to_json", "runtime", "quantization", "threads", "batch_size", "gpu_layers", "tokens_per_sec",
                       "latency_ms", "peak_memory_mb", "output_path", "requantize_skipped_reason", "measurements"]
    assert native.OptimizationResult.__doc__ == (
        "Python-facing wrapper around [`OptimizationResult`].\n\n"
        "Returned by `optimize()`. Contains both the benchmark result and the path\n"
        "to the re-quantized model produced by `llama-quantize`."
    )
    assert inspect.signature(native.OptimizationResult.to_json).parameters.keys() == {"self"}
    assert native.OptimizationResult.output_path.__doc__ == (
        "Path to the re-quantized output model, or `None` if `llama-quantize`\n"
        "was not available and quantization was skipped."
    )


def test_second_import_gives_the_same_module() -> None:
    assert importlib.import_module("ferrolune._ferrolune") is native
    # Even when the module is loaded again from its file, initialisation
    # hands back the one module object of the process.
    script = textwrap.dedent(
        """
        import importlib, sys
        import ferrolune._ferrolune as first
        del sys.modules["ferrolune._ferrolune"]
        second = importlib.import_module("ferrolune._ferrolune")
        print(first is second, first.HardwareProfile is second.HardwareProfile)
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["True", "True"]


def test_sub_interpreter_import_is_refused() -> None:
    script = textwrap.dedent(
        """
        import _xxsubinterpreters as interpreters
        import ferrolune._ferrolune as native
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import ferrolune._ferrolune")
        except interpreters.RunFailedError as e:
            print("refused:", e)
        else:
            print("imported")
        interpreters.destroy(interp)
        print(native.profile_hardware().cpu_cores > 0)
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    lines = out.stdout.splitlines()
    assert lines[0].startswith("refused: ") and "ImportError" in lines[0]
    assert "sub-interpreters" in lines[0]
    assert lines[1] == "True"
