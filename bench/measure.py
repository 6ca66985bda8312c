"""What the benchmark sections share: the run modes, timing helpers, the
native loops' library and the report that becomes ``RESULTS.md``."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Any, Callable

MEMORY_OPS = 10_000_000


@dataclass(frozen=True)
class Mode:
    name: str
    rep_s: float  # target length of one timed repetition
    reps: int
    percall_rounds: int
    construct_n: int
    memory_ops: int


MODES = {
    "full": Mode("full", 0.12, 5, 20_000, 200_000, MEMORY_OPS),
    "quick": Mode("quick", 0.04, 3, 5_000, 50_000, 1_000_000),
    "tiny": Mode("tiny", 0.002, 1, 50, 500, 4_000),
}


def load_native(path: str) -> ctypes.CDLL:
    lib = ctypes.CDLL(path)
    for name, args in (
        ("vb_messages", [ctypes.c_int, ctypes.c_long, ctypes.c_int, ctypes.c_int]),
        ("vb_empty_poll", [ctypes.c_long, ctypes.c_int]),
        ("vb_rdma_write", [ctypes.c_long, ctypes.c_int, ctypes.c_long]),
        ("vb_memcpy", [ctypes.c_long, ctypes.c_long]),
    ):
        fn = getattr(lib, name)
        fn.argtypes = args
        fn.restype = ctypes.c_double
    return lib


def native_call(fn: Callable[..., float], *args: Any) -> int:
    ns = fn(*args)
    if ns < 0:
        raise RuntimeError(f"native benchmark {fn.__name__}{args} failed (see stderr)")
    return int(ns)


def calibrate(run: Callable[[int], int], target_s: float) -> int:
    """Rounds that make ``run`` last about ``target_s``."""
    rounds = 1
    while True:
        ns = max(run(rounds), 1)
        if ns >= target_s * 1e9 / 4 or rounds >= 1 << 24:
            return max(1, int(rounds * target_s * 1e9 / ns))
        rounds *= 4


def best_of(variants: dict[str, Callable[[int], int]], mode: Mode) -> dict[str, float]:
    """Best ns per round of each variant, repetitions interleaved."""
    rounds = {name: calibrate(run, mode.rep_s) for name, run in variants.items()}
    best = {name: float("inf") for name in variants}
    for _ in range(mode.reps):
        for name, run in variants.items():
            best[name] = min(best[name], run(rounds[name]) / rounds[name])
    return best


class Report:
    def __init__(self) -> None:
        self.lines: list[str] = []
        self.summary: list[str] = []
        self.figures: list[str] = []

    def add(self, *lines: str) -> None:
        self.lines.extend(lines)
        for line in lines:
            print(line, flush=True)

    def table(self, header: list[str], rows: list[list[str]]) -> None:
        self.add(
            "| " + " | ".join(header) + " |",
            "|" + "|".join("---:" if i else "---" for i in range(len(header))) + "|",
            *("| " + " | ".join(row) + " |" for row in rows),
            "",
        )

    def target(self, text: str, ok: bool) -> None:
        self.summary.append(f"- {'met' if ok else 'MISSED'}: {text}")

    def figure(self, text: str) -> None:
        """A figure of the one-line digest that ends the summary."""
        self.figures.append(text)

    def digest(self) -> str:
        return "In short: " + "; ".join(self.figures) + "."


def ns(value: float) -> str:
    return f"{value:,.0f}" if value >= 100 else f"{value:.1f}"


def pct(value: float) -> str:
    return f"{100 * value:.0f}%" if value >= 0.1 else f"{100 * value:.1f}%"
