"""Every path argument takes what the standard library's file functions
take: str (a name that is not UTF-8 as os.fsdecode gives it), bytes and
os.PathLike objects; returned paths are str as os.fsdecode gives them."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any, Callable

import pytest

import ferrolune
import model_factory

# A file name that is not UTF-8 (Latin-1 "café").
RAW_NAME = b"caf\xe9.gguf"


class BytesPath:
    """An os.PathLike whose __fspath__ gives bytes."""

    def __init__(self, path: bytes) -> None:
        self.path = path

    def __fspath__(self) -> bytes:
        return self.path


# Each turns the bytes of a name into one accepted spelling of it.
SPELLINGS: dict[str, Callable[[bytes], Any]] = {
    "str": os.fsdecode,
    "bytes": lambda b: b,
    "pathlib": lambda b: Path(os.fsdecode(b)),
    "bytes_pathlike": BytesPath,
}


@pytest.fixture
def model(tmp_path: Path) -> bytes:
    """A small llama GGUF under a name that is not UTF-8, as bytes."""
    path = os.fsencode(tmp_path) + b"/" + RAW_NAME
    model_factory.write_llama_gguf(os.fsdecode(path), context_length=512)
    return path


@pytest.fixture
def bin_dir(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """PATH holds nothing but what a test puts here."""
    d = tmp_path / "bin"
    d.mkdir()
    monkeypatch.setenv("PATH", str(d))
    return d


@pytest.mark.parametrize("spelling", SPELLINGS)
def test_analyze_model_reads_the_named_file(model: bytes, spelling: str) -> None:
    info = ferrolune.analyze_model(SPELLINGS[spelling](model))
    assert info["format"] == "gguf" and info["context_length"] == 512


@pytest.mark.parametrize("spelling", SPELLINGS)
def test_optimize_and_export_take_every_spelling(
        model: bytes, tmp_path: Path, bin_dir: Path, llama_bin: Path, spelling: str) -> None:
    (bin_dir / "llama-quantize").symlink_to(llama_bin / "llama-quantize")
    make = SPELLINGS[spelling]
    output = os.fsencode(tmp_path) + b"/out-\xff.gguf"
    result = ferrolune.optimize(make(model), "gguf", output_path=make(output))
    # The returned name is os.fsdecode's str of the bytes written.
    assert isinstance(result.output_path, str)
    assert os.fsencode(result.output_path) == output
    assert os.path.getsize(output) > 0

    bundle = os.fsencode(tmp_path) + b"/bundle-\xfe"
    ferrolune.export_ollama(result, make(bundle))
    with open(output, "rb") as quantized, open(bundle + b"/model.gguf", "rb") as bundled:
        assert bundled.read() == quantized.read()


@pytest.mark.parametrize("convert", ["convert_gguf_to_onnx", "convert_onnx_to_gguf"])
@pytest.mark.parametrize("spelling", SPELLINGS)
def test_conversion_onto_the_input_is_refused_in_every_spelling(
        model: bytes, tmp_path: Path, convert: str, spelling: str, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(tmp_path)
    original = Path(os.fsdecode(model)).read_bytes()
    make = SPELLINGS[spelling]
    for output in (model, RAW_NAME, b"./" + RAW_NAME):
        with pytest.raises(RuntimeError) as info:
            getattr(ferrolune, convert)(make(model), make(output))
        # The name is shown with its byte escaped, not replaced.
        assert "caf\\xe9.gguf" in str(info.value) and "onto itself" in str(info.value)
    assert Path(os.fsdecode(model)).read_bytes() == original


def test_conversion_through_a_symlink_or_hard_link_is_refused(model: bytes, tmp_path: Path) -> None:
    original = Path(os.fsdecode(model)).read_bytes()
    (tmp_path / "link.gguf").symlink_to(os.fsdecode(model))
    os.link(model, tmp_path / "hard.gguf")
    for source, target in [(tmp_path / "link.gguf", model), (tmp_path / "hard.gguf", model),
                           (model, tmp_path / "link.gguf")]:
        with pytest.raises(RuntimeError, match="onto itself"):
            ferrolune.convert_gguf_to_onnx(source, target)
    assert Path(os.fsdecode(model)).read_bytes() == original


def test_missing_file_names_it_readably(tmp_path: Path) -> None:
    missing = os.fsencode(tmp_path) + b"/gone-\xe9.gguf"
    with pytest.raises(RuntimeError) as info:
        ferrolune.analyze_model(os.fsdecode(missing))
    assert "gone-\\xe9.gguf" in str(info.value)


@pytest.mark.parametrize(
    ("call", "parameter"),
    [
        (lambda: ferrolune.analyze_model("m\0.gguf"), "model_path"),
        (lambda: ferrolune.optimize(b"m\0.gguf", "gguf"), "model_path"),
        (lambda: ferrolune.optimize("m.gguf", "gguf", output_path=Path("o\0.gguf")), "output_path"),
        (lambda: ferrolune.convert_gguf_to_onnx("a.gguf", "b\0.onnx"), "output_path"),
    ],
    ids=["analyze_str", "optimize_bytes", "optimize_output_pathlib", "convert_output_str"],
)
def test_embedded_null_byte_is_a_value_error(call: Callable[[], object], parameter: str) -> None:
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == f"argument '{parameter}': embedded null byte"


def test_fspath_error_of_the_object_itself_is_kept() -> None:
    class Broken:
        def __fspath__(self) -> str:
            raise OSError("no name today")

    with pytest.raises(OSError) as info:
        ferrolune.analyze_model(Broken())  # type: ignore[arg-type]
    assert str(info.value) == "argument 'model_path': no name today"
