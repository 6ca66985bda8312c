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
import sys
import time
from typing import Any, Callable

import loops
from measure import (
    MEMORY_OPS,
    MODES,
    Mode,
    Report,
    best_of,
    load_native,
    native_call,
    ns,
    pct,
)
from xproc_suite import cross_process, cross_process_write, perftest_section

BATCHES = (1, 8, 32)
WRITE_SIZES = (64, 256, 1024, 4096, 16384, 65536, 262144, 1 << 20)
WRITE_BATCH = 16


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

    best = best_of(
        {"one thread": single.run, "two threads": piped, "hand-over": loops.lock_ping_pong}, mode
    )
    single.close()
    pipe.close()
    per = {k: best[k] / THREAD_BATCH for k in ("one thread", "two threads")}
    ratio = per["one thread"] / per["two threads"]
    worst_gap = max(gaps) / 1000
    handover_us = best["hand-over"] / 2 / 1000
    # The poster runs out of credits after THREAD_DEPTH messages and the
    # poller must run to give them back: at least two hand-overs of the
    # interpreter lock per THREAD_DEPTH messages that one thread would do
    # in THREAD_DEPTH * per["one thread"].
    work = THREAD_DEPTH * per["one thread"]
    ceiling = work / (work + best["hand-over"])
    report.table(
        ["loop", "ns per message", "rate vs one thread", "longest poster gap"],
        [
            ["one thread", ns(per["one thread"]), "100%", ""],
            ["two threads", ns(per["two threads"]), pct(ratio), f"{worst_gap:,.0f} us"],
        ],
    )
    report.add(
        f"A hand-over of the interpreter lock between two Python threads (a lock ping-pong,"
        f" `lock_ping_pong` in `loops.py`) costs {handover_us:,.1f} us here; one thread does"
        f" {THREAD_DEPTH} messages in {work / 1000:,.1f} us. With two hand-overs per"
        f" {THREAD_DEPTH} messages, the pipeline can reach at most {pct(ceiling)} of one thread.",
        "",
    )
    report.figure(
        f"two threads {pct(ratio)} of one (hand-over ceiling {pct(ceiling)}), "
        f"poster gap {worst_gap:,.0f} us"
    )
    report.target(f"two threads at least the rate of one: {pct(ratio)}", ratio >= 1.0)
    report.target(
        f"poster not starved: longest gap between its posts {worst_gap:,.0f} us "
        "(under 2 switch intervals, 10 ms)",
        worst_gap < 10_000,
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
