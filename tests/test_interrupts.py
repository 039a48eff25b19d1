"""Interrupts during optimize(): Ctrl-C stops the search, and no child of a
measurement outlives the Python process, whichever signal ends it.

A child Python runs optimize() with a PATH holding only a fake
llama-completion that records its pid and sleeps. Every wait on that child
has a time limit of its own; nothing here asserts on elapsed time.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import model_factory

CHILD = """
import sys
from ferrolune import _ferrolune as fl
try:
    fl.optimize(sys.argv[1], "gguf")
except KeyboardInterrupt:
    print("KeyboardInterrupt", flush=True)
    sys.exit(3)
print("finished", flush=True)
"""


def _fake_sleeping_tool(directory: Path, pids: Path) -> None:
    tool = directory / "llama-completion"
    tool.write_text(f"#!/bin/sh\necho $$ >> '{pids}'\nexec /bin/sleep 120\n")
    tool.chmod(0o755)


def _alive(pid: int) -> bool:
    """True while `pid` runs (a zombie waiting to be reaped counts as gone)."""
    try:
        state = Path(f"/proc/{pid}/stat").read_text()
    except (FileNotFoundError, ProcessLookupError):
        return False
    return state[state.rindex(")") + 2] != "Z"


def _wait_for(predicate, seconds: float) -> bool:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


API = [sys.executable, "-c", CHILD]
CLI = [sys.executable, "-m", "ferrolune.cli", "optimize", "--format", "gguf"]


@pytest.mark.parametrize(
    "command, sig, returncode, out_text",
    [
        (API, signal.SIGINT, 3, "KeyboardInterrupt"),
        (API, signal.SIGTERM, -signal.SIGTERM, ""),
        (CLI, signal.SIGINT, 130, ""),
    ],
    ids=["sigint_stops_the_search", "sigterm_takes_the_children_along", "cli_sigint_exits_130"],
)
def test_signal_during_measurement_leaves_no_child(
    tmp_path: Path, command: list[str], sig: signal.Signals, returncode: int, out_text: str
) -> None:
    model = tmp_path / "tiny.gguf"
    model_factory.write_llama_gguf(model)
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    pids = tmp_path / "pids"
    _fake_sleeping_tool(bin_dir, pids)
    env = dict(os.environ, PATH=str(bin_dir))

    proc = subprocess.Popen(
        [*command, str(model)],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        began = _wait_for(lambda: proc.poll() is not None or (pids.exists() and pids.read_text().strip()), 60)
        assert began and proc.poll() is None, "no measurement started"
        proc.send_signal(sig)
        out, err = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()

    assert proc.returncode == returncode, err
    assert out.strip() == out_text
    if sig == signal.SIGINT:
        # The search stopped: no fallback search, no re-quantization, no traceback.
        assert "falling back to cartesian search" not in err
        assert "re-quantiz" not in err
        assert "Traceback" not in err
    started = [int(line) for line in pids.read_text().split()]
    survivors = [pid for pid in started if not _wait_for(lambda pid=pid: not _alive(pid), 10)]
    for pid in survivors:
        os.kill(pid, signal.SIGKILL)
    assert survivors == []
