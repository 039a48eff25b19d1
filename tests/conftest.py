"""Shared fixtures for the Python tests.

The tests run against whatever `ferrolune` is importable: the installed
package under `make test`, or a development build through
PYTHONPATH=<build>/pkg.
"""

from __future__ import annotations

import os
import stat
from pathlib import Path
from typing import Callable

import pytest


class FakeTools:
    """Executables in a temporary directory that is the whole of PATH.

    Each fake prints a fixed text on standard output, records its arguments
    one per line, and exits with the given status. Only absolute paths are
    used inside, since nothing else is on PATH.
    """

    def __init__(self, directory: Path) -> None:
        self.dir = directory

    def add(self, name: str, stdout: str = "", status: int = 0) -> Path:
        out = self.dir / f"{name}.out"
        out.write_bytes(stdout.encode())
        script = self.dir / name
        script.write_text(
            "#!/bin/sh\n"
            f"for a in \"$@\"; do echo \"$a\"; done > '{self.dir / (name + '.args')}'\n"
            f"/bin/cat '{out}'\n"
            f"exit {status}\n"
        )
        script.chmod(script.stat().st_mode | stat.S_IXUSR)
        return script

    def args(self, name: str) -> list[str] | None:
        """The arguments of the fake's last run, or None if it never ran."""
        recorded = self.dir / f"{name}.args"
        return recorded.read_text().splitlines() if recorded.exists() else None


@pytest.fixture
def fake_tools(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> FakeTools:
    directory = tmp_path / "fake-bin"
    directory.mkdir()
    monkeypatch.setenv("PATH", str(directory))
    return FakeTools(directory)


@pytest.fixture
def llama_bin() -> Path:
    """The directory of the real llama.cpp tools (skips when not built)."""
    value = os.environ.get("FERROLUNE_LLAMA_BIN")
    if not value or not Path(value).is_dir():
        pytest.skip("FERROLUNE_LLAMA_BIN does not name the llama.cpp tools")
    return Path(value)


MakeFake = Callable[[str, str, int], Path]
