"""ONNX Runtime runner for ferrolune's measurements.

Run in a Python process of its own (see ``_protocol``), never imported by
the native module:

``onnx_runner.py --check``
    exits 0 when ``onnxruntime`` imports and can create a session, 1 otherwise.

``onnx_runner.py``
    reads one JSON request on standard input::

        {"batch_size": 1, "execution_provider": "CPUExecutionProvider",
         "model_path": "/m.onnx", "prompt_tokens": 50, "threads": 8}

    and prints exactly one JSON reply line on standard output, then exits 0
    (an error reply included)::

        {"tokens_per_sec": 812.5, "latency_ms": 61.5, "peak_memory_mb": 143}
        {"error": "why the run failed"}

    A non-zero exit code means the runner itself broke; its standard error
    then says why.

The measurement is chosen by ``choose_workload``: decoder models (token ids
in, logits out) generate ``prompt_tokens`` tokens greedily, one at a time
(``GenerationWorkload``); any other model gets one forward pass over the
whole prompt (``ForwardPassWorkload``). The reply is the same for both.
"""

from __future__ import annotations

import resource
import sys
import time
from dataclasses import dataclass
from typing import Any, Callable, Protocol

try:
    from . import _protocol as protocol
except ImportError:  # started as a script: the sibling module is on sys.path
    import _protocol as protocol  # type: ignore[no-redef]

WARMUP_RUNS = 1
TIMED_RUNS = 3

# A one-node Identity graph (float[1] -> float[1], opset 13), serialized, so
# that --check needs nothing but onnxruntime itself.
_CHECK_MODEL = (
    b'\x08\x08\x12\x00:;\n\x10\n\x01x\x12\x01y"\x08Identity\x12\x05checkZ\x0f\n\x01x\x12\n\n'
    b"\x08\x08\x01\x12\x04\n\x02\x08\x01b\x0f\n\x01y\x12\n\n\x08\x08\x01\x12\x04\n\x02\x08\x01B\x04\n\x00\x10\r"
)


class RunnerError(protocol.ReplyError):
    """A failure reported to the caller as {"error": ...}."""


@dataclass(frozen=True)
class Request:
    model_path: str
    execution_provider: str
    threads: int
    batch_size: int
    prompt_tokens: int

    @staticmethod
    def parse(text: str) -> "Request":
        return Request(
            **protocol.parse_request(
                text,
                {
                    "model_path": "text",
                    "execution_provider": "text",
                    "threads": "count",
                    "batch_size": "count",
                    "prompt_tokens": "count",
                },
            )
        )


def check() -> int:
    try:
        import onnxruntime as ort  # type: ignore[import-untyped]

        ort.InferenceSession(_CHECK_MODEL, providers=["CPUExecutionProvider"])
    except Exception as e:  # any failure means "not usable"
        print(f"onnxruntime is not usable under {sys.executable}: {e}", file=sys.stderr)
        return 1
    return 0


def session_options(ort: Any, req: Request) -> Any:
    opts = ort.SessionOptions()
    if req.threads > 0:
        opts.intra_op_num_threads = req.threads
    opts.inter_op_num_threads = 1
    opts.log_severity_level = 3  # keep ONNX Runtime's warnings off the reply stream
    return opts


def open_session(ort: Any, req: Request) -> Any:
    available = ort.get_available_providers()
    if req.execution_provider not in available:
        # Measuring on the CPU under a GPU configuration's name would report
        # the wrong runtime's speed.
        raise RunnerError(
            f"execution provider {req.execution_provider} is not available "
            f"(available: {', '.join(available)})"
        )
    try:
        return ort.InferenceSession(
            req.model_path, sess_options=session_options(ort, req), providers=[req.execution_provider]
        )
    except Exception as e:
        raise RunnerError(f"could not load {req.model_path}: {e}") from None


# ONNX Runtime's type strings for the inputs we know how to fill.
_INT_TYPES = {"tensor(int64)": "int64", "tensor(int32)": "int32", "tensor(int16)": "int16", "tensor(int8)": "int8",
              "tensor(uint8)": "uint8", "tensor(uint16)": "uint16", "tensor(uint32)": "uint32",
              "tensor(uint64)": "uint64"}
_FLOAT_TYPES = {"tensor(float)": "float32", "tensor(float16)": "float16", "tensor(double)": "float64"}


def vocabulary_bound(session: Any) -> int:
    """An exclusive upper bound for token ids the model can look up.

    Taken from the last dimension of a fixed-size rank-3 float output (the
    logits); without one, ids stay below 2 so that any embedding accepts them.
    """
    for out in session.get_outputs():
        shape = out.shape or []
        if out.type in _FLOAT_TYPES and len(shape) == 3 and isinstance(shape[-1], int) and shape[-1] > 0:
            return int(shape[-1])
    return 2


def input_shape(shape: list[Any] | None, req: Request) -> list[int]:
    """Fixed dimensions as declared; a free first dimension is the batch,
    any other free dimension the prompt length."""
    dims: list[int] = []
    for i, d in enumerate(shape or []):
        if isinstance(d, int) and d >= 0:
            dims.append(d)
        else:
            dims.append(req.batch_size if i == 0 else req.prompt_tokens)
    return dims


def build_inputs(session: Any, req: Request) -> dict[str, Any]:
    """Feeds for every input of the model, from its own signature."""
    import numpy as np

    bound = vocabulary_bound(session)
    rng = np.random.default_rng(0)
    feeds: dict[str, Any] = {}
    for inp in session.get_inputs():
        shape = input_shape(inp.shape, req)
        name = inp.name.lower()
        if inp.type in _INT_TYPES:
            dtype = _INT_TYPES[inp.type]
            if "mask" in name:
                feeds[inp.name] = np.ones(shape, dtype=dtype)
            elif "position" in name and shape:
                positions = np.arange(shape[-1], dtype=dtype)
                feeds[inp.name] = np.broadcast_to(positions, shape).copy()
            else:
                # Token ids of length prompt_tokens, one row per batch entry.
                count = int(np.prod(shape)) if shape else 1
                ids = (np.arange(count, dtype=np.int64) * 7 + 1) % bound
                feeds[inp.name] = ids.astype(dtype).reshape(shape)
        elif inp.type in _FLOAT_TYPES:
            feeds[inp.name] = rng.standard_normal(shape).astype(_FLOAT_TYPES[inp.type])
        elif inp.type == "tensor(bool)":
            feeds[inp.name] = np.ones(shape, dtype=bool)
        else:
            raise RunnerError(f"input '{inp.name}' has unsupported type {inp.type}")
    return feeds


class Workload(Protocol):
    """One measurable unit of work: run() once, tokens() it processed."""

    def run(self) -> None: ...

    def tokens(self) -> int: ...


class ForwardPassWorkload:
    """One forward pass over batch_size rows of prompt_tokens tokens."""

    def __init__(self, session: Any, req: Request) -> None:
        self._session = session
        self._feeds = build_inputs(session, req)
        self._tokens = max(1, req.batch_size) * max(1, req.prompt_tokens)

    def run(self) -> None:
        self._session.run(None, self._feeds)

    def tokens(self) -> int:
        return self._tokens


# Length of the prompt a generation starts from; the timed part is the
# prompt_tokens tokens generated after it.
GENERATION_SEED_TOKENS = 8


@dataclass(frozen=True)
class CacheSlot:
    """One key-value cache tensor: fed as `past`, returned as `present`."""

    past: str
    present: str
    dtype: str
    heads: int
    head_size: int


@dataclass(frozen=True)
class DecoderSignature:
    ids: str
    logits: str
    others: list[str]  # attention mask and position ids, filled per step
    cache: list[CacheSlot]


def _cache_slots(session: Any, inputs: list[Any]) -> list[CacheSlot] | None:
    """The past_key_values.* inputs with their present.* outputs, or None
    when some past input has no partner or no fixed head dimensions."""
    outputs = {o.name for o in session.get_outputs()}
    slots = []
    for inp in inputs:
        shape = inp.shape or []
        present = inp.name.replace("past_key_values", "present", 1)
        if (inp.type not in _FLOAT_TYPES or len(shape) != 4 or present not in outputs
                or not isinstance(shape[1], int) or not isinstance(shape[3], int)):
            return None
        slots.append(CacheSlot(inp.name, present, _FLOAT_TYPES[inp.type], shape[1], shape[3]))
    return slots


def decoder_signature(session: Any) -> DecoderSignature | None:
    """How to drive the model token by token, when it is a decoder that maps
    token ids [batch, sequence] to logits [batch, sequence, vocab] and needs
    nothing beyond an attention mask, position ids and a key-value cache
    (past_key_values.* in, present.* out); else None."""
    ids_name = None
    others: list[str] = []
    # Inputs with a default value (an empty cache, say) are listed apart.
    overridable = list(getattr(session, "get_overridable_initializers", lambda: [])())
    past = [i for i in overridable if i.name.startswith("past_key_values")]
    for inp in session.get_inputs():
        name = inp.name.lower()
        if inp.name.startswith("past_key_values"):
            past.append(inp)
            continue
        if inp.type not in _INT_TYPES or len(inp.shape or []) != 2:
            return None
        if "input_ids" in name and ids_name is None:
            ids_name = inp.name
        elif "mask" in name or "position" in name:
            others.append(inp.name)
        else:
            return None
    if ids_name is None:
        return None
    cache = _cache_slots(session, past)
    if cache is None:
        return None
    outputs = [o for o in session.get_outputs() if o.type in _FLOAT_TYPES and len(o.shape or []) == 3]
    named = [o for o in outputs if o.name.lower() == "logits"]
    chosen = (named or outputs)[:1]
    if not chosen:
        return None
    return DecoderSignature(ids_name, chosen[0].name, others, cache)


class GenerationWorkload:
    """Greedy generation, one token at a time, of prompt_tokens tokens.

    Each step appends the most likely next token of every row, so the
    throughput counts generated tokens per second, as llama.cpp's does. With
    a key-value cache a step feeds only the new token and the cache; without
    one it runs the whole sequence again, and that cost is part of what is
    measured.
    """

    def __init__(self, session: Any, req: Request, signature: DecoderSignature) -> None:
        import numpy as np

        self._np = np
        self._session = session
        self._sig = signature
        self._ids_name, self._logits_name, self._others = signature.ids, signature.logits, signature.others
        types = {i.name: _INT_TYPES[i.type] for i in session.get_inputs() if i.type in _INT_TYPES}
        self._types = types
        bound = vocabulary_bound(session)
        rows = max(1, req.batch_size)
        seed = (np.arange(GENERATION_SEED_TOKENS, dtype=np.int64) * 7 + 1) % bound
        self._seed = np.broadcast_to(seed, (rows, GENERATION_SEED_TOKENS)).copy()
        self._steps = max(1, req.prompt_tokens)
        self._rows = rows
        self.generated: Any = None  # the last run's new tokens, [rows, steps]

    def _feeds(self, ids: Any, past_len: int) -> dict[str, Any]:
        np = self._np
        rows, new = ids.shape
        feeds = {self._ids_name: ids.astype(self._types[self._ids_name])}
        for name in self._others:
            if "mask" in name.lower():
                # the mask covers the cached positions too
                feeds[name] = np.ones((rows, past_len + new), dtype=self._types[name])
            else:
                positions = np.arange(past_len, past_len + new)
                feeds[name] = np.broadcast_to(positions, ids.shape).astype(self._types[name])
        return feeds

    def run(self) -> None:
        np = self._np
        cache = self._sig.cache
        rows = self._seed.shape[0]
        past = {c.past: np.zeros((rows, c.heads, 0, c.head_size), dtype=c.dtype) for c in cache}
        wanted = [self._logits_name] + [c.present for c in cache]
        step_ids, past_len, new_tokens = self._seed, 0, []
        for _ in range(self._steps):
            feeds = self._feeds(step_ids, past_len)
            feeds.update(past)
            outs = self._session.run(wanted, feeds)
            next_ids = np.argmax(outs[0][:, -1, :], axis=-1).astype(np.int64)[:, None]
            new_tokens.append(next_ids)
            if cache:
                past = {c.past: out for c, out in zip(cache, outs[1:])}
                past_len += step_ids.shape[1]
                step_ids = next_ids
            else:
                step_ids = np.concatenate([step_ids, next_ids], axis=1)
        self.generated = np.concatenate(new_tokens, axis=1)

    def tokens(self) -> int:
        return self._rows * self._steps


def choose_workload(session: Any, req: Request) -> Workload:
    signature = decoder_signature(session)
    if signature is not None:
        return GenerationWorkload(session, req, signature)
    return ForwardPassWorkload(session, req)


def peak_rss_mb() -> int:
    # ru_maxrss is in KiB on Linux; the reply is in megabytes (10^6 bytes), rounded up.
    kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return (kib * 1024 + 999_999) // 1_000_000


def measure(workload: Workload, clock: Callable[[], float] = time.perf_counter) -> dict[str, Any]:
    try:
        for _ in range(WARMUP_RUNS):
            workload.run()
        start = clock()
        for _ in range(TIMED_RUNS):
            workload.run()
        elapsed = (clock() - start) / TIMED_RUNS
    except RunnerError:
        raise
    except Exception as e:
        raise RunnerError(f"inference failed: {e}") from None
    if elapsed <= 0:
        raise RunnerError("the run took no measurable time")
    return {
        "tokens_per_sec": workload.tokens() / elapsed,
        "latency_ms": elapsed * 1000.0,
        "peak_memory_mb": peak_rss_mb(),
    }


def run_request(text: str) -> dict[str, Any]:
    """The reply object for one request text."""
    req = Request.parse(text)
    try:
        import onnxruntime as ort  # type: ignore[import-untyped]
    except Exception as e:
        raise RunnerError(f"onnxruntime is not usable under {sys.executable}: {e}") from None
    ort.set_default_logger_severity(3)
    session = open_session(ort, req)
    return measure(choose_workload(session, req))


def main(argv: list[str]) -> int:
    if argv[1:] == ["--check"]:
        return check()
    if len(argv) > 1:
        print("usage: onnx_runner.py [--check]  (request on standard input)", file=sys.stderr)
        return 2
    return protocol.serve(run_request, "measurement")


if __name__ == "__main__":
    sys.exit(main(sys.argv))
