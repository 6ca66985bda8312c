"""Leak detection by repetition: run an operation many times and fail when
something keeps growing with the number of calls.

Measured after each round of calls, with the cyclic collector run first:

- live objects the collector knows about (``gc.get_objects()``);
- bytes allocated by Python (``tracemalloc``), which also sees leaked
  objects the collector does not track (ints, strings, bytes);
- bytes in use by the C allocator (glibc ``mallinfo2``), which sees native
  memory the extension forgets to free;
- reference counts of watched objects (the arguments of the call, the
  singletons), which is how a leaked reference to ``None`` or to an argument
  shows (its memory never grows);
- the simulator's live native objects (contexts, PDs, MRs, ...).

A leak grows in every round; allocator noise does not. So the smallest
growth over the rounds decides, against a tolerance per call.
``VANTOR_LEAK_CALLS`` and ``VANTOR_LEAK_WARMUP`` change the default number
of calls per round and before the first reading; ``VANTOR_LEAK_SMOKE=1``
only runs each operation a few times, measuring nothing.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import gc
import os
import sys
import tracemalloc
from collections.abc import Callable, Iterable

_SINGLETONS = (None, True, False, Ellipsis, NotImplemented, ())


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
            "fsmblks", "uordblks", "fordblks", "keepcost",
        )
    ]  # fmt: skip


def _native_in_use() -> Callable[[], int] | None:
    """Bytes in use by malloc, or None where glibc cannot tell."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    mallinfo2.argtypes = []

    def in_use() -> int:
        info = mallinfo2()
        return int(info.uordblks + info.hblkhd)

    # Under a sanitizer's allocator the glibc counters stay at zero.
    return in_use if in_use() > 0 else None


_NATIVE = _native_in_use()


def _sample(watched: tuple[object, ...], sim) -> tuple[int, ...]:
    """One reading of every measure; the bytes first, before this reading
    allocates anything of its own."""
    # The interpreter's method cache keeps a reference to the name of each
    # attribute looked up, and C code names attributes with a fresh string
    # per call: up to 4096 of them stay alive, which is not a leak.
    sys._clear_type_cache()
    gc.collect()
    python_bytes = tracemalloc.get_traced_memory()[0]
    # tracemalloc keeps its own tables in malloc'ed memory.
    native_bytes = _NATIVE() - tracemalloc.get_tracemalloc_memory() if _NATIVE is not None else 0
    objects = len(gc.get_objects())
    live = sum(sim.live_objects().values()) if sim is not None else 0
    return (objects, python_bytes, native_bytes, live, *(sys.getrefcount(o) for o in watched))


class LeakError(AssertionError):
    pass


# Under an instrumented build the measuring is what takes the time, and the
# sanitizer watches the memory anyway: only run each operation a few times.
SMOKE = bool(os.environ.get("VANTOR_LEAK_SMOKE"))


def run_quietly(fn: Callable[[], object], n: int) -> None:
    for _ in range(n):
        try:
            fn()
        except Exception:  # the error path is the operation under test
            pass


def check_no_leak(
    fn: Callable[[], object],
    *,
    watch: Iterable[object] = (),
    sim=None,
    calls: int = int(os.environ.get("VANTOR_LEAK_CALLS", "60")),
    rounds: int = 5,
    warmup: int = int(os.environ.get("VANTOR_LEAK_WARMUP", "200")),
    bytes_per_call: int = 16,
    native_bytes_per_call: int = 32,
) -> None:
    """Run ``fn`` ``warmup + calls * rounds`` times; raise :class:`LeakError`
    when a measure grew in every round by more than its tolerance:
    ``bytes_per_call`` for Python memory, ``native_bytes_per_call`` for
    malloc (noisier: the interpreter's own caches settle slowly), half a
    reference or object per call.

    ``fn`` may raise: an exception is part of the operation being checked
    (error paths are where references leak), so it is caught, and its
    traceback dropped, on every call. ``watch`` names objects whose reference
    counts must not grow (typically the call's arguments); ``sim`` is the
    simulator module, whose live native objects must not grow at all.
    """
    watched = tuple(watch) + _SINGLETONS
    if SMOKE:
        run_quietly(fn, 3)
        return

    def run(n: int) -> None:
        run_quietly(fn, n)

    # Only the previous reading and a preallocated table of growths are
    # kept, so the bookkeeping takes the same memory at every reading.
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    # What the process holds already (the rest of a long test run) is moved
    # out of the collector's sight: each reading then collects and counts
    # only what this check made, instead of walking the whole heap. At the
    # end everything is collected once and what is still alive frozen again.
    gc.collect()
    gc.freeze()
    try:
        run(warmup)
        _sample(watched, sim)  # the first reading warms up the reading itself
        previous = baseline = _sample(watched, sim)
        growths = [[0] * rounds for _ in baseline]
        for r in range(rounds):
            run(calls)
            current = _sample(watched, sim)
            for i, (a, b) in enumerate(zip(previous, current)):
                growths[i][r] = b - a
            previous = current
    finally:
        gc.unfreeze()
        gc.collect()
        gc.freeze()
        if started:
            tracemalloc.stop()

    objects, python_bytes, native_bytes, live, *refs = growths
    problems = []

    def check(growth: list[int], limit: int, what: str) -> None:
        if min(growth) > limit:
            problems.append(f"{what} grew by {growth} in rounds of {calls} calls")

    check(objects, calls // 2, "live objects")
    check(python_bytes, bytes_per_call * calls, "Python bytes")
    check(native_bytes, native_bytes_per_call * calls, "malloc bytes")
    for obj, growth in zip(watched, refs):
        check(growth, calls // 2, f"references to {obj!r}")
    if previous[3] != baseline[3]:
        problems.append(f"{baseline[3]} live native objects became {previous[3]}")
    if problems:
        raise LeakError("; ".join(problems))
