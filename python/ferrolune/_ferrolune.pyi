"""Native extension module for Ferrolune."""

import os
from typing import SupportsFloat, SupportsIndex, TypeAlias, TypedDict, final

# What every path argument takes, as the standard library's file functions do.
_Path: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]

# Stub-only (hence the underscore): the rows are plain dicts at run time.
class _Measurement(TypedDict):
    """One row of `OptimizationResult.measurements`."""

    runtime: str
    quantization: str
    threads: int
    gpu_layers: int
    batch_size: int
    tokens_per_sec: float
    tokens_per_sec_stddev: float | None
    latency_ms: float
    peak_memory_mb: int
    runs: int
    estimate: bool
    winner: bool

@final
class HardwareProfile:
    """Python-facing wrapper around [`HardwareProfile`]."""

    @staticmethod
    def detect() -> HardwareProfile: ...
    def to_json(self) -> str: ...
    @property
    def cpu_cores(self) -> int: ...
    @property
    def gpu_model(self) -> str | None: ...
    @property
    def gpu_vram_mb(self) -> int | None: ...
    @property
    def ram_total_mb(self) -> int: ...

@final
class OptimizationResult:
    """Python-facing wrapper around [`OptimizationResult`]."""

    def to_json(self) -> str: ...
    @property
    def runtime(self) -> str: ...
    @property
    def quantization(self) -> str: ...
    @property
    def threads(self) -> int: ...
    @property
    def batch_size(self) -> int: ...
    @property
    def gpu_layers(self) -> int: ...
    @property
    def tokens_per_sec(self) -> float: ...
    @property
    def latency_ms(self) -> float: ...
    @property
    def peak_memory_mb(self) -> int: ...
    @property
    def output_path(self) -> str | None: ...
    @property
    def requantize_skipped_reason(self) -> str | None:
        """Why no re-quantized model was written, or None when one was."""
    @property
    def measurements(self) -> list[_Measurement]:
        """Every configuration measured successfully, best first."""

def profile_hardware() -> HardwareProfile: ...
def optimize(
    model_path: _Path,
    format: str,
    gpu: str | None = None,
    max_latency_ms: SupportsFloat | SupportsIndex | None = None,
    output_path: _Path | None = None,
    use_cache: bool = True,
) -> OptimizationResult: ...
def export_ollama(result: OptimizationResult, output_dir: _Path) -> str: ...
def analyze_model(model_path: _Path) -> dict[str, str | int | float | None]: ...
def convert_gguf_to_onnx(input_path: _Path, output_path: _Path) -> str: ...
def convert_onnx_to_gguf(input_path: _Path, output_path: _Path) -> str: ...
