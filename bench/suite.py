"""vantor's benchmark suite, run by ``bench/run``: vantor against the same
loops written in C++ on the verbs API (native.cpp) and, where it loads,
against pyverbs, all on the simulator's in-process path, in one process and
one run, so the ratios compare like with like.

Every figure is the best of several interleaved repetitions (the least
disturbed by other load on the machine); ratios are taken between figures
of the same run.
"""

from __future__ import annotations

import argparse
import ctypes
import datetime
import os
import platform
import re
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable

import loops

if TYPE_CHECKING:
    from typing_extensions import TypeGuard

BATCHES = (1, 8, 32)
WRITE_SIZES = (64, 256, 1024, 4096, 16384, 65536, 262144, 1 << 20)
WRITE_BATCH = 16
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


def load_pyverbs() -> str | None:
    """None when pyverbs runs here, else why it does not."""
    try:
        import pyverbs.providers.efa.efadv  # noqa: F401
        from pyverbs.device import get_device_list

        get_device_list()
    except Exception as exc:  # ImportError, or a symbol the simulator lacks
        return f"{type(exc).__name__}: {exc}"
    return None


def message_rate(v: Any, native: ctypes.CDLL, mode: Mode, pyverbs_ok: bool, report: Report) -> None:
    report.add(
        "## 1. Message rate: SRD SEND, 64 B",
        "",
        "One round: post a batch of SENDs (one `post_send` of a list), take the receiver's",
        "completions, repost the receives (one `post_recv` of a list), take the sender's",
        "completions. ns per message; the ratio is vantor's message rate over the other's.",
        "",
    )
    rows = []
    ratios: dict[tuple[str, int], float] = {}
    overhead: dict[tuple[str, int], float] = {}
    for batch in BATCHES:
        variants: dict[str, Callable[[int], int]] = {}
        opened: list[Any] = []
        for kind, extended in (("CQ", 0), ("CQEx", 1)):
            variants[f"C++ {kind}"] = lambda r, b=batch, x=extended: native_call(
                native.vb_messages, b, r, x, 15
            )
            loop = loops.VantorMessages(v, batch, bool(extended))
            loop.check()
            opened.append(loop)
            variants[f"vantor {kind}"] = loop.run
            if pyverbs_ok:
                pv = loops.PyverbsMessages(batch, bool(extended))
                pv.check()
                opened.append(pv)
                variants[f"pyverbs {kind}"] = pv.run
        best = {name: t / batch for name, t in best_of(variants, mode).items()}
        for loop in opened:
            loop.close()
        row = [str(batch)]
        for kind in ("CQ", "CQEx"):
            c, vt = best[f"C++ {kind}"], best[f"vantor {kind}"]
            ratios[(kind, batch)] = c / vt
            overhead[(kind, batch)] = vt - c
            row += [ns(c), ns(vt), pct(c / vt)]
            if pyverbs_ok:
                pv_ns = best[f"pyverbs {kind}"]
                ratios[(f"pyverbs {kind}", batch)] = pv_ns / vt
                row += [ns(pv_ns), f"{pv_ns / vt:.1f}x"]
        rows.append(row)
    header = ["batch"]
    for kind in ("CQ", "CQEx"):
        header += [f"C++ {kind} ns", f"vantor {kind} ns", "vantor/C++"]
        if pyverbs_ok:
            header += [f"pyverbs {kind} ns", "vantor/pyverbs"]
    report.table(header, rows)
    floor_runs: dict[str, Callable[[int], int]] = {
        str(b): loops.InterpreterFloor(b).run for b in BATCHES
    }
    floor = {int(b): t / int(b) for b, t in best_of(floor_runs, mode).items()}
    report.add(
        "vantor's own cost: ns per message over the C++ loop (vantor ns - C++ ns, same run).",
        "The interpreter's floor is the same Python loop calling built-ins that do nothing",
        "(`bench/loops.py`, `InterpreterFloor`): the part of the cost that comes with any",
        "binding called from this loop, whatever it does.",
        "",
    )
    report.table(
        ["loop", "CQ +ns", "CQEx +ns", "interpreter floor ns"],
        [
            [f"batch {b}", *(f"{overhead[(k, b)]:+.0f}" for k in ("CQ", "CQEx")), ns(floor[b])]
            for b in BATCHES
        ],
    )
    report.figure(f"interpreter floor batch 32/1 {ns(floor[32])}/{ns(floor[1])} ns")
    for batch in (32, 1):
        report.figure(
            f"+ns over C++ batch {batch} CQ/CQEx "
            + "/".join(f"{overhead[(k, batch)]:+.0f}" for k in ("CQ", "CQEx"))
        )
    for kind in ("CQ", "CQEx"):
        for batch, limit in ((32, 25), (1, 150)):
            extra = overhead[(kind, batch)]
            report.target(
                f"batch {batch} {kind} at most +{limit} ns per message over C++: {extra:+.0f} ns",
                extra <= limit,
            )
    for kind in ("CQ", "CQEx"):
        report.target(
            f"batch 32 {kind} at least 50% of C++: {pct(ratios[(kind, 32)])}",
            ratios[(kind, 32)] >= 0.5,
        )
        report.target(
            f"batch 1 {kind} at least 25% of C++: {pct(ratios[(kind, 1)])}",
            ratios[(kind, 1)] >= 0.25,
        )
        if pyverbs_ok:
            worst = min(ratios[(f"pyverbs {kind}", b)] for b in BATCHES)
            report.target(
                f"{kind} at least 3x pyverbs at every batch size: {worst:.1f}x at worst", worst >= 3
            )
    c_batch1 = native_call(native.vb_messages, 1, 20_000, 1, 15) / 20_000
    report.target(
        f"simulator under 300 ns per message in the C++ loop (batch 1, CQEx, two CQs): {ns(c_batch1)} ns",
        c_batch1 < 300,
    )


def rdma_write(v: Any, native: ctypes.CDLL, mode: Mode, report: Report) -> None:
    report.add(
        f"## 2. RDMA_WRITE rate and bandwidth (batches of {WRITE_BATCH}, sender's CQ polled)",
        "",
        "`memcpy` is the same copy done directly between the same buffers: the ceiling of an",
        "in-process write.",
        "",
    )
    rows = []
    last: dict[str, float] = {}
    for size in WRITE_SIZES:
        w = loops.VantorWrites(v, size, WRITE_BATCH)
        w.check()
        per = best_of(
            {
                "C++": lambda r, s=size: native_call(native.vb_rdma_write, s, WRITE_BATCH, r),
                "vantor": w.run,
                "memcpy": lambda r, s=size: native_call(native.vb_memcpy, s, r * WRITE_BATCH),
            },
            mode,
        )
        w.close()
        per = {k: t / WRITE_BATCH for k, t in per.items()}
        gbs = {k: size / t for k, t in per.items()}  # bytes per ns = GB/s
        rows.append(
            [
                f"{size:,}",
                ns(per["C++"]),
                ns(per["vantor"]),
                pct(per["C++"] / per["vantor"]),
                f"{gbs['C++']:.2f}",
                f"{gbs['vantor']:.2f}",
                f"{gbs['memcpy']:.2f}",
                pct(gbs["vantor"] / gbs["memcpy"]),
            ]
        )
        last = gbs
    report.table(
        [
            "bytes",
            "C++ ns/write",
            "vantor ns/write",
            "vantor/C++",
            "C++ GB/s",
            "vantor GB/s",
            "memcpy GB/s",
            "vantor/memcpy",
        ],
        rows,
    )
    share = last["vantor"] / last["memcpy"]
    report.target(f"1 MiB writes at least 80% of memcpy bandwidth: {pct(share)}", share >= 0.8)


def per_call(v: Any, native: ctypes.CDLL, mode: Mode, report: Report) -> None:
    report.add(
        "## 3. Per-call costs",
        "",
        "Each step of the message round timed alone (clock reads around the call, their own",
        "cost subtracted), per request or per returned completion; the WC objects are freed",
        "outside the timed calls. C++: the same step in native.cpp.",
        "",
    )
    overhead = loops.timer_overhead_ns(20_000 if mode.name == "tiny" else 200_000)
    rows = []
    steps = (loops.POST_SEND, loops.POLL_RECV, loops.POST_RECV, loops.POLL_SEND)
    for kind, extended in (("CQ", False), ("CQEx", True)):
        for batch in (1, 32):
            loop = loops.VantorMessages(v, batch, extended)
            for step in steps:
                best_v = best_c = float("inf")
                for _ in range(mode.reps):
                    t = loop.run_step(mode.percall_rounds, step)
                    best_v = min(best_v, (t / mode.percall_rounds - overhead) / batch)
                    t = native_call(
                        native.vb_messages, batch, mode.percall_rounds, int(extended), step
                    )
                    best_c = min(best_c, t / mode.percall_rounds / batch)
                rows.append([loops.STEP_NAMES[step], kind, str(batch), ns(best_v), ns(best_c)])
            loop.close()
    report.table(["call", "queue", "batch", "vantor ns/item", "C++ ns/item"], rows)

    loop = loops.VantorMessages(v, 1, False)
    mr, ah = loop.mr, loop.ah
    sge = v.SGE(mr, 64)
    n = mode.construct_n
    cases: dict[str, Callable[[], Any]] = {
        "SGE(mr, 64)": lambda: v.SGE(mr, 64),
        "SGE(addr, 64, lkey)": lambda: v.SGE(4096, 64, 7),
        "mr.sge(64)": lambda: mr.sge(64),
        "SendWR() (defaults)": lambda: v.SendWR(),
        "SendWR(wr_id, [sge], send_flags=, ah=, remote_qpn=, remote_qkey=)": lambda: v.SendWR(
            1, [sge], send_flags=2, ah=ah, remote_qpn=5, remote_qkey=17
        ),
        "RecvWR(wr_id, [sge])": lambda: v.RecvWR(1, [sge]),
    }
    cq_empty = loop.ctx.create_cq(16)
    cqx_empty = loop.ctx.create_cq_ex(16)
    cases["CQ.poll(1), queue empty"] = lambda: cq_empty.poll(1)
    cases["CQEx.poll(1), queue empty"] = lambda: cqx_empty.poll(1)

    def timed(fn: Callable[[], Any]) -> float:
        t0 = time.perf_counter_ns()
        for _ in range(n):
            fn()
        return (time.perf_counter_ns() - t0) / n

    def nothing() -> None:
        return None

    rows = []
    empty_c = {
        "CQ.poll(1), queue empty": lambda: native_call(native.vb_empty_poll, n, 0) / n,
        "CQEx.poll(1), queue empty": lambda: native_call(native.vb_empty_poll, n, 1) / n,
    }
    for name, fn in cases.items():
        best = float("inf")
        c_best = float("inf")
        for _ in range(mode.reps):
            best = min(best, timed(fn) - timed(nothing))
            if name in empty_c:
                c_best = min(c_best, empty_c[name]())
        rows.append([name, ns(best), ns(c_best) if name in empty_c else ""])
    cq_empty.close()
    cqx_empty.close()
    loop.close()
    report.add(
        "Object construction and empty polls (the cost of a call through a lambda subtracted):", ""
    )
    report.table(["call", "vantor ns", "C++ ns"], rows)


THREAD_BATCH = 32
THREAD_DEPTH = 256


def threads(v: Any, mode: Mode, report: Report) -> None:
    report.add(
        "## 5. Threads: a poster and a poller",
        "",
        f"The message loop (batch {THREAD_BATCH}, extended CQs) split over two threads: one posts",
        f"the SENDs, holding at most {THREAD_DEPTH} messages in flight (a semaphore of credits),",
        "the other busy-polls both queues and reposts the receives. Against one thread doing",
        "both. The gap is the longest time between two consecutive posts of the poster: how",
        "long the poller kept it out.",
        "",
    )
    single = loops.VantorMessages(v, THREAD_BATCH, True)
    single.check()
    pipe = loops.VantorPipeline(v, THREAD_BATCH, THREAD_DEPTH)
    gaps: list[int] = []

    def piped(rounds: int) -> int:
        ns_ = pipe.run(rounds)
        gaps.append(pipe.max_gap_ns)
        return ns_

    best = best_of({"one thread": single.run, "two threads": piped}, mode)
    single.close()
    pipe.close()
    per = {k: t / THREAD_BATCH for k, t in best.items()}
    ratio = per["one thread"] / per["two threads"]
    worst_gap = max(gaps) / 1000
    report.table(
        ["loop", "ns per message", "rate vs one thread", "longest poster gap"],
        [
            ["one thread", ns(per["one thread"]), "100%", ""],
            ["two threads", ns(per["two threads"]), pct(ratio), f"{worst_gap:,.0f} us"],
        ],
    )
    report.figure(f"two threads {pct(ratio)} of one, poster gap {worst_gap:,.0f} us")
    report.target(f"two threads at least the rate of one: {pct(ratio)}", ratio >= 1.0)
    report.target(
        f"poster not starved: longest gap between its posts {worst_gap:,.0f} us "
        "(under 2 switch intervals, 10 ms)",
        worst_gap < 10_000,
    )


NOT_BUILT = "Not measured (the programs were not built: run through `bench/run`)."


def built(programs: str | None, report: Report) -> TypeGuard[str]:
    """Whether the cross-process programs were built; the report says so when not."""
    if programs is None:
        report.add(NOT_BUILT, "")
    return programs is not None


ROUND_TRIP = re.compile(r"([\d.]+) us")
#: Round trips per run and runs of the Unix-socket ping-pong, by mode.
PINGPONG_RUNS = {"full": (20_000, 5), "quick": (5_000, 3), "tiny": (200, 1)}
#: The message size of xproc_pingpong.c.
PINGPONG_BYTES = 64


def pingpong_command(programs: str, round_trips: int) -> list[str]:
    return [os.path.join(programs, "xproc_pingpong"), str(round_trips)]


def program_figures(cmd: list[str], pattern: re.Pattern[str]) -> tuple[float, ...]:
    """Runs a benchmark program; the numbers `pattern` finds in its output."""
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=300, check=True)
    found = pattern.search(out.stdout)
    if found is None:
        raise RuntimeError(f"{' '.join(cmd)} printed no figure ({pattern.pattern}): {out.stdout!r}")
    return tuple(float(g) for g in found.groups())


def cross_process(programs: str | None, mode: Mode, report: Report) -> None:
    report.add(
        "## 6. Cross-process round trip",
        "",
        "`bench/xproc_latency.cpp`: an 8-byte SRD SEND ping-pong between two processes on the",
        "simulated device, busy-polling (spin) or sleeping on the completion channel after a",
        "while (wait), against `bench/xproc_pingpong.c`, a plain Unix-socket ping-pong in C.",
        "The three alternate; medians of the runs.",
        "",
    )
    if not built(programs, report):
        return
    n, runs = PINGPONG_RUNS[mode.name]
    commands = {
        "socket": pingpong_command(programs, n),
        "spin": [os.path.join(programs, "xproc_latency"), str(n), "spin"],
        "wait": [os.path.join(programs, "xproc_latency"), str(n), "wait"],
    }
    times: dict[str, list[float]] = {k: [] for k in commands}
    for _ in range(runs):
        for name, cmd in commands.items():
            times[name].append(program_figures(cmd, ROUND_TRIP)[0])
    med = {k: statistics.median(t) for k, t in times.items()}
    report.table(
        ["round trip", "median us", "best us", "vs socket"],
        [
            [
                name,
                f"{med[name]:.2f}",
                f"{min(times[name]):.2f}",
                f"{med[name] / med['socket']:.2f}x",
            ]
            for name in commands
        ],
    )
    report.figure(
        "round trip spin/wait "
        + "/".join(f"{med[k] / med['socket']:.2f}x" for k in ("spin", "wait"))
        + " socket"
    )
    for name in ("spin", "wait"):
        share = med[name] / med["socket"]
        report.target(
            f"cross-process round trip ({name}) within 1.5x a Unix-socket ping-pong: {share:.2f}x",
            share <= 1.5,
        )


XPROC_WRITE_BYTES = 1 << 20
XPROC_WRITE = re.compile(r"([\d.]+) GB/s; memcpy ([\d.]+) GB/s")
#: Writes per run and runs of the cross-process write, by mode.
XPROC_WRITE_RUNS = {"full": (2_000, 5), "quick": (500, 3), "tiny": (32, 1)}
XPROC_TARGETS = {"idle": "idle target", "spin": "busy-polling target"}


def cross_process_write(programs: str | None, mode: Mode, report: Report) -> None:
    report.add(
        "## 7. Cross-process RDMA write",
        "",
        f"`bench/xproc_write_bw.cpp`: RDMA writes of {XPROC_WRITE_BYTES:,} bytes (2 in flight) from",
        "one process into another's memory on the simulated device, the target idle or",
        "busy-polling an empty CQ, against `memcpy` of the same size in the writer's process.",
        "Each run keeps the best block of 16 writes and the best block of 16 copies, taken",
        "alternately; the two targets alternate between runs; medians of the runs.",
        "",
    )
    if not built(programs, report):
        return
    n, runs = XPROC_WRITE_RUNS[mode.name]
    program = os.path.join(programs, "xproc_write_bw")
    write: dict[str, list[float]] = {k: [] for k in XPROC_TARGETS}
    copy: dict[str, list[float]] = {k: [] for k in XPROC_TARGETS}
    share: dict[str, list[float]] = {k: [] for k in XPROC_TARGETS}
    for _ in range(runs):
        for target in XPROC_TARGETS:
            w, c = program_figures([program, str(n), str(XPROC_WRITE_BYTES), target], XPROC_WRITE)
            write[target].append(w)
            copy[target].append(c)
            share[target].append(w / c)
    med = {k: statistics.median(v) for k, v in share.items()}
    report.table(
        ["target", "write GB/s", "memcpy GB/s", "write/memcpy", "best run"],
        [
            [
                name,
                f"{statistics.median(write[k]):.2f}",
                f"{statistics.median(copy[k]):.2f}",
                pct(med[k]),
                pct(max(share[k])),
            ]
            for k, name in XPROC_TARGETS.items()
        ],
    )
    report.add("write/memcpy: the median over the runs of each run's ratio.", "")
    report.figure(
        "xproc 1 MiB write idle/spin " + "/".join(pct(med[k]) for k in XPROC_TARGETS) + " memcpy"
    )
    for k, name in XPROC_TARGETS.items():
        report.target(
            f"1 MiB RDMA write between processes at least 1/4 of memcpy bandwidth ({name}): "
            f"{pct(med[k])}",
            med[k] >= 0.25,
        )


#: Message sizes of the perftest runs: ib_send_lat's is the socket
#: ping-pong's; the bandwidth tools run at the largest size `-a` reaches
#: for them on the device (SENDs up to the port MTU of 8,928 bytes, so
#: 8,192; RDMA reads up to 2**23).
PERFTEST_SIZES = {"ib_send_lat": PINGPONG_BYTES, "ib_send_bw": 8192, "ib_read_bw": 1 << 23}
#: Tiny mode reads 1 MiB: quicker.
PERFTEST_TINY_SIZES = {**PERFTEST_SIZES, "ib_read_bw": 1 << 20}
#: Seconds one perftest pair may take before its run counts as failed.
PERFTEST_TIMEOUT_S = 120
#: Iterations of each tool, and runs, by mode. ib_send_bw stays at 500 or
#: fewer: its server keeps 512 receives posted and sets no RNR retry.
PERFTEST_RUNS = {
    "full": ({"ib_send_lat": 5_000, "ib_send_bw": 500, "ib_read_bw": 100}, 5),
    "quick": ({"ib_send_lat": 1_000, "ib_send_bw": 500, "ib_read_bw": 40}, 3),
    "tiny": ({"ib_send_lat": 20, "ib_send_bw": 20, "ib_read_bw": 20}, 1),
}


def perftest_section(programs: str | None, native: ctypes.CDLL, mode: Mode, report: Report) -> None:
    import perftest_vs_vantor as pt

    report.add(
        "## 8. perftest on the software device",
        "",
        "perftest's SRD tools (`-c SRD -x 0`), server and client as two processes on one",
        "simulated host (`vantor sim run`), unmodified. `ib_send_lat`'s typical latency (perftest",
        "reports half the round trip) next to the Unix-socket ping-pong of section 6",
        f"(`bench/xproc_pingpong.c`, {PINGPONG_BYTES} bytes both); `ib_send_bw` and `ib_read_bw`",
        "average bandwidth (perftest's MB/sec are MiB/s, converted here to GB/s, 10**9",
        "bytes) at the largest size `-a` reaches for each on this device, next to `memcpy` of",
        "that size. All alternate within each run; medians of the runs.",
        "",
    )
    absent = pt.missing(tuple(PERFTEST_SIZES))
    if absent:
        report.add(
            f"Not measured: {', '.join(absent)} not installed (Debian package `perftest`).", ""
        )
        return
    if not built(programs, report):
        return
    iters, runs = PERFTEST_RUNS[mode.name]
    sizes = PERFTEST_TINY_SIZES if mode.name == "tiny" else PERFTEST_SIZES
    host = f"bench-{os.getpid()}"
    socket_n = PINGPONG_RUNS[mode.name][0]
    # Per tool: perftest's figure (us, or GB/s) and the figure it is set
    # against (half the socket round trip, or memcpy's GB/s) of each run.
    figures: dict[str, list[float]] = {tool: [] for tool in sizes}
    against: dict[str, list[float]] = {tool: [] for tool in sizes}
    failures: list[str] = []
    for _ in range(runs):
        socket_us = program_figures(pingpong_command(programs, socket_n), ROUND_TRIP)[0]
        against["ib_send_lat"].append(socket_us / 2)
        for tool, size in sizes.items():
            try:
                figure = pt.perftest(tool, size, iters[tool], host, PERFTEST_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                failures.append(f"{tool}: no result within {PERFTEST_TIMEOUT_S} s")
                continue
            except (RuntimeError, IndexError) as exc:
                # A failed run (ib_send_bw's RNR on a loaded machine, say)
                # leaves the tool's other runs and the rest of the suite.
                lines = str(exc).strip().splitlines() or [type(exc).__name__]
                failures.append(f"{tool}: {lines[-1]}")
                continue
            if tool.endswith("_bw"):
                figures[tool].append(figure / 1e3)  # MB/s to GB/s

                def copies(rounds: int, size: int = size) -> int:
                    return native_call(native.vb_memcpy, size, rounds)

                against[tool].append(size / best_of({"memcpy": copies}, mode)["memcpy"])
            else:
                figures[tool].append(figure)

    ratio: dict[str, float | None] = {}
    rows = []
    for tool, size in sizes.items():
        base = statistics.median(against[tool]) if against[tool] else None
        if not figures[tool] or base is None:
            ratio[tool] = None
            rows.append([tool, f"{size:,}", "did not complete", "", ""])
            continue
        mine = statistics.median(figures[tool])
        ratio[tool] = mine / base
        if tool.endswith("_bw"):
            cells = [f"average {mine:.2f} GB/s", f"memcpy {base:.2f} GB/s", pct(mine / base)]
        else:
            cells = [
                f"typical {mine:.2f} us",
                f"socket round trip / 2: {base:.2f} us",
                f"{mine / base:.2f}x",
            ]
        rows.append([tool, f"{size:,}", *cells])
    report.table(["tool", "bytes", "perftest", "next to", "ratio"], rows)
    report.add(
        f"Iterations per run: {', '.join(f'{t} {n:,}' for t, n in iters.items())}; "
        f"{runs} run{'s' if runs > 1 else ''}.",
        "",
    )
    if failures:
        report.add(f"Failed runs ({len(failures)}): " + "; ".join(failures), "")

    def shown(tool: str, fmt: Callable[[float], str]) -> str:
        value = ratio[tool]
        return "failed" if value is None else fmt(value)

    def times(value: float) -> str:
        return f"{value:.2f}x"

    report.figure(
        f"ib_send_lat {shown('ib_send_lat', times)} socket, ib_send_bw/ib_read_bw "
        + "/".join(shown(t, pct) for t in ("ib_send_bw", "ib_read_bw"))
        + " memcpy"
    )
    lat = ratio["ib_send_lat"]
    report.target(
        "ib_send_lat typical within 2x of a Unix-socket ping-pong (one way): "
        + shown("ib_send_lat", times),
        lat is not None and lat <= 2,
    )
    for tool in ("ib_send_bw", "ib_read_bw"):
        share = ratio[tool]
        report.target(
            f"{tool} at {sizes[tool]:,} bytes at least 1/4 of memcpy: " + shown(tool, pct),
            share is not None and share >= 0.25,
        )


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory(v: Any, ops: int, report: Report) -> None:
    report.add(
        f"## 4. Memory: {ops:,} messages through the post/poll loops",
        "",
        "The four loops (CQ and CQEx, batch 1 and 32) take turns, up to 100,000 messages at a",
        "time, until the total is reached. RSS is read from /proc/self/statm.",
        "",
    )
    loops_ = [loops.VantorMessages(v, b, x) for x in (False, True) for b in (1, 32)]
    rounds = {loop: max(1, min(100_000, ops // 8) // loop.batch) for loop in loops_}
    for loop in loops_:  # warm-up: free lists, allocator arenas
        loop.run(rounds[loop])
    start = rss_bytes()
    peak = start
    done = 0
    step = max(ops // 5, 1)
    samples = []
    t0 = time.monotonic()
    while done < ops:
        for loop in loops_:
            loop.run(rounds[loop])
            done += rounds[loop] * loop.batch
            peak = max(peak, rss_bytes())
        if not samples or done // step > samples[-1][0] // step:
            samples.append((done, rss_bytes()))
    end = rss_bytes()
    for loop in loops_:
        loop.check()
        loop.close()
    mib = 1 << 20
    report.table(
        ["messages done", "RSS MiB"],
        [[f"{d:,}", f"{r / mib:.1f}"] for d, r in samples]
        + [[f"{done:,} (end)", f"{end / mib:.1f}"]],
    )
    report.add(
        f"Start {start / mib:.1f} MiB, end {end / mib:.1f} MiB, peak {peak / mib:.1f} MiB, "
        f"growth {(end - start) / 1024:.0f} KiB over {done:,} messages ({time.monotonic() - t0:.0f} s).",
        "",
    )
    report.target(
        f"RSS flat over {done:,} messages: {(end - start) / 1024:+.0f} KiB", end - start < 4 * mib
    )


def machine() -> str:
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    return f"{cpu}, {os.cpu_count()} CPUs, load average {load} at start"


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--native", required=True, help="the built native.cpp library")
    parser.add_argument("--mode", choices=sorted(MODES), default="full")
    parser.add_argument(
        "--memory",
        type=int,
        nargs="?",
        const=MEMORY_OPS,
        default=0,
        metavar="MESSAGES",
        help="only the memory test, over MESSAGES messages (default 10 million)",
    )
    parser.add_argument("--output", help="markdown file for the results")
    parser.add_argument("--no-pyverbs", action="store_true")
    parser.add_argument("--xproc", help="folder of the built cross-process programs")
    args = parser.parse_args(argv)
    mode = MODES[args.mode]

    import vantor.sim

    vantor.sim.activate()
    import vantor._vantor as v

    native = load_native(args.native)
    why_not = "left out (--no-pyverbs)" if args.no_pyverbs else load_pyverbs()
    started = time.monotonic()

    report = Report()
    report.add(
        "# vantor benchmark results",
        "",
        f"Written by `bench/run` (mode {mode.name}) on "
        f"{datetime.datetime.now().strftime('%Y-%m-%d %H:%M')}: {machine()}; "
        f"Python {platform.python_version()} ({sys.executable}). All on the simulator's",
        "in-process path. Absolute times vary between runs and machines; compare the ratios.",
        "",
    )
    if mode.name == "tiny":
        report.add(
            "Tiny mode: the figures only show that the suite runs; they measure nothing.", ""
        )
    if why_not is not None:
        report.add(f"pyverbs: not measured ({why_not}).", "")
    head = len(report.lines)
    if args.memory:
        memory(v, args.memory, report)
    else:
        message_rate(v, native, mode, why_not is None, report)
        rdma_write(v, native, mode, report)
        per_call(v, native, mode, report)
        memory(v, mode.memory_ops, report)
        threads(v, mode, report)
        cross_process(args.xproc, mode, report)
        cross_process_write(args.xproc, mode, report)
        perftest_section(args.xproc, native, mode, report)
    elapsed = time.monotonic() - started
    report.add(f"Measured in {elapsed:.0f} s.", "")

    digest = [report.digest(), ""] if report.figures else []
    text = (
        report.lines[:head] + ["## Targets", "", *report.summary, "", *digest] + report.lines[head:]
    )
    print("\n".join(["", "Targets:", *report.summary, "", *digest]))
    if args.output:
        with open(args.output, "w") as f:
            f.write("\n".join(text))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
