"""Ferrolune: find the fastest way to run a local LLM file on this machine.

The work is done by the native module ``ferrolune._ferrolune``; this package
re-exports its classes and functions.
"""

from ._ferrolune import (
    HardwareProfile,
    OptimizationResult,
    analyze_model,
    convert_gguf_to_onnx,
    convert_onnx_to_gguf,
    export_ollama,
    optimize,
    profile_hardware,
)

__all__ = [
    "HardwareProfile",
    "OptimizationResult",
    "profile_hardware",
    "optimize",
    "export_ollama",
    "analyze_model",
    "convert_gguf_to_onnx",
    "convert_onnx_to_gguf",
]
