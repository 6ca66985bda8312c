"""The cross-process sections of the benchmark suite (``bench/run``): the
round trip and the RDMA write between two processes, built from
``xproc_latency.cpp``, ``xproc_write_bw.cpp`` and ``xproc_pingpong.c``, and
perftest's SRD tools on the software device."""

from __future__ import annotations

import ctypes
import os
import re
import statistics
import subprocess
from collections.abc import Iterable
from typing import TYPE_CHECKING, Callable, TypeVar

from measure import Mode, Report, best_of, native_call, pct

if TYPE_CHECKING:
    from typing_extensions import TypeGuard


NOT_BUILT = "Not measured (the programs were not built: run through `bench/run`)."


K = TypeVar("K")
T = TypeVar("T")


def alternating(runs: int, keys: Iterable[K], measure: Callable[[K], T]) -> dict[K, list[T]]:
    """`measure(key)` of every key, `runs` times over: within a run the keys alternate."""
    results: dict[K, list[T]] = {k: [] for k in keys}
    for _ in range(runs):
        for k, found in results.items():
            found.append(measure(k))
    return results


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
    times = alternating(runs, commands, lambda name: program_figures(commands[name], ROUND_TRIP)[0])
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
    # Per target, each run's write and memcpy GB/s.
    found = alternating(
        runs,
        XPROC_TARGETS,
        lambda target: program_figures(
            [program, str(n), str(XPROC_WRITE_BYTES), target], XPROC_WRITE
        ),
    )
    write = {k: [w for w, _ in v] for k, v in found.items()}
    copy = {k: [c for _, c in v] for k, v in found.items()}
    share = {k: [w / c for w, c in v] for k, v in found.items()}
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
