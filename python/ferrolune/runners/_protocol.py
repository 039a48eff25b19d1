"""The protocol every runner speaks with the native side.

The request is one JSON object on standard input; the reply is exactly one
JSON object on standard output followed by a line feed, the result or
``{"error": "what is wrong"}``. Anything else a library prints goes to
standard error, because a stray line on standard output would make the reply
unreadable for the caller. A runner that could write its reply exits 0,
whatever the reply says; a non-zero exit means the runner itself broke and
its standard error says why.
"""

from __future__ import annotations

import contextlib
import json
import os
import sys
import tempfile
import traceback
from typing import Any, Callable, Iterator


class ReplyError(Exception):
    """A failure reported to the caller as {"error": ...}."""


# What a request member must be: "path" a non-empty string, "text" any
# string, "count" a non-negative integer (not a bool).
FieldKinds = dict[str, str]


def parse_request(text: str, fields: FieldKinds) -> dict[str, Any]:
    """The request's members named in `fields`, checked; unknown members are ignored."""
    try:
        obj = json.loads(text)
    except json.JSONDecodeError as exc:
        raise ReplyError(f"invalid request: not JSON ({exc})") from None
    if not isinstance(obj, dict):
        raise ReplyError(
            f"invalid request: not a JSON object (expected a JSON object with {', '.join(fields)}; "
            f"got {type(obj).__name__})"
        )
    values: dict[str, Any] = {}
    for name, kind in fields.items():
        value = obj.get(name)
        if kind == "path":
            if not isinstance(value, str) or value == "":
                raise ReplyError(f"invalid request: '{name}' must be a non-empty string")
        elif kind == "text":
            if not isinstance(value, str):
                raise ReplyError(f"invalid request: '{name}' must be a string")
        elif kind == "count":
            # bool is an int subclass; true is not a thread count.
            if not isinstance(value, int) or isinstance(value, bool):
                raise ReplyError(f"invalid request: '{name}' must be an integer")
            if value < 0:
                raise ReplyError(f"invalid request: '{name}' must not be negative")
        else:
            raise ValueError(f"unknown field kind {kind!r}")
        values[name] = value
    return values


def missing_package(package: str, needed_for: str, exc: BaseException) -> ReplyError:
    """The error for a package this interpreter cannot import, naming the interpreter."""
    return ReplyError(
        f"the Python package '{package}' is required for {needed_for} (pip install {package}); "
        f"{sys.executable} cannot import it: {exc}"
    )


def serve(handle: Callable[[str], dict[str, Any]], what: str) -> int:
    """Read the request, answer with handle(request text), print the one reply; return 0.

    `what` names the work in the reply to an unexpected exception
    ("conversion failed: ValueError: ...", "conversion ran out of memory").
    """
    reply_stream = os.fdopen(os.dup(sys.stdout.fileno()), "w", encoding="utf-8", errors="surrogateescape")
    # Route everything else, including output of C extensions, to stderr.
    sys.stdout.flush()
    os.dup2(sys.stderr.fileno(), sys.stdout.fileno())
    sys.stdout = sys.stderr
    try:
        reply = handle(sys.stdin.read())
    except ReplyError as exc:
        reply = {"error": str(exc)}
    except MemoryError:
        reply = {"error": f"{what} ran out of memory"}
    except Exception as exc:  # a fault of ours or of a library: still one reply
        traceback.print_exc(file=sys.stderr)
        reply = {"error": f"{what} failed: {type(exc).__name__}: {exc}"}
    reply_stream.write(json.dumps(reply, ensure_ascii=False, separators=(",", ":")) + "\n")
    reply_stream.flush()
    reply_stream.close()
    return 0


@contextlib.contextmanager
def replacing(final_path: str, suffix: str) -> Iterator[str]:
    """Yield a temporary path beside `final_path`; move it into place on success.

    An existing output file is never truncated by a conversion that fails
    halfway: the old file stays until the new one is complete.
    """
    parent = os.path.dirname(final_path)
    fd, tmp = tempfile.mkstemp(prefix=".ferrolune-", suffix=suffix, dir=parent)
    os.close(fd)
    # mkstemp creates the file 0600; give it the mode a plain open() would.
    umask = os.umask(0)
    os.umask(umask)
    os.chmod(tmp, 0o666 & ~umask)
    try:
        yield tmp
        os.replace(tmp, final_path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
