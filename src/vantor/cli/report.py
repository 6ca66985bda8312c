"""Output for the vantor command: aligned tables, a progress bar, statistics, plots."""

from __future__ import annotations

import math
import sys
from collections.abc import Sequence
from typing import Any, TextIO


def table(headers: Sequence[str], rows: Sequence[Sequence[Any]], right: Sequence[int] = ()) -> str:
    """Columns padded to their widest cell; `right` lists right-aligned columns."""
    cells = [[str(h) for h in headers]] + [["" if c is None else str(c) for c in r] for r in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(headers))]
    lines = []
    for row in cells:
        parts = [
            cell.rjust(widths[i]) if i in right else cell.ljust(widths[i])
            for i, cell in enumerate(row)
        ]
        lines.append("  ".join(parts).rstrip())
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def percentile(sorted_values: Sequence[float], q: float) -> float:
    """The q-th percentile (0..100) of already sorted values, linearly interpolated."""
    if not sorted_values:
        raise ValueError("no values")
    pos = (len(sorted_values) - 1) * q / 100.0
    low = int(pos)
    high = min(low + 1, len(sorted_values) - 1)
    return sorted_values[low] + (sorted_values[high] - sorted_values[low]) * (pos - low)


def latency_summary(samples_ns: Sequence[int]) -> dict[str, float]:
    """min/avg/stdev/p50/p90/p99/p99.9/max in microseconds (the population
    standard deviation, as perftest reports it)."""
    values = sorted(s / 1000.0 for s in samples_ns)
    avg = sum(values) / len(values)
    summary = {
        "min": values[0],
        "avg": avg,
        "stdev": math.sqrt(sum((v - avg) ** 2 for v in values) / len(values)),
        "p50": percentile(values, 50),
        "p90": percentile(values, 90),
        "p99": percentile(values, 99),
        "p99.9": percentile(values, 99.9),
        "max": values[-1],
    }
    return {k: round(v, 3) for k, v in summary.items()}


def human_size(n: int) -> str:
    for unit, shift in (("G", 30), ("M", 20), ("K", 10)):
        if n >= 1 << shift and n % (1 << shift) == 0:
            return f"{n >> shift}{unit}"
    return str(n)


def parse_size(text: str) -> int:
    """'4096', '4K', '1M', '2G' (binary multiples) to a positive byte count."""
    value = text.strip().upper()
    if value.endswith("B"):
        value = value[:-1]
    multiplier = 1
    for suffix, shift in (("K", 10), ("M", 20), ("G", 30)):
        if value.endswith(suffix):
            value, multiplier = value[:-1], 1 << shift
            break
    if not value.isdigit() or int(value) == 0:
        raise ValueError(f"not a positive size: {text!r} (examples: 64, 4K, 1M)")
    return int(value) * multiplier


class Progress:
    """A one-line progress bar on a terminal; silent when the stream is not a tty."""

    def __init__(self, total: int, stream: TextIO | None = None, width: int = 28) -> None:
        self.stream = sys.stderr if stream is None else stream
        self.total = max(total, 1)
        self.done = 0
        self.width = width
        isatty = getattr(self.stream, "isatty", None)
        self.enabled = bool(isatty and isatty())
        self._last = 0

    def step(self, label: str) -> None:
        """Show that the step named `label` is starting."""
        if not self.enabled:
            return
        filled = self.width * self.done // self.total
        bar = "#" * filled + "." * (self.width - filled)
        text = f"\r[{bar}] {self.done}/{self.total} {label}"
        pad = max(0, self._last - len(text))
        self.stream.write(text + " " * pad)
        self.stream.flush()
        self._last = len(text)

    def advance(self) -> None:
        self.done += 1

    def close(self) -> None:
        if self.enabled and self._last:
            self.stream.write("\r" + " " * self._last + "\r")
            self.stream.flush()
            self._last = 0


def _nan(value: float | None) -> float:
    return math.nan if value is None else value


def plot(results: Sequence[dict[str, Any]], path: str, title: str) -> None:
    """Bandwidth and latency against message size, one line per operation, as an image."""
    from matplotlib.figure import Figure
    from matplotlib.ticker import FuncFormatter, ScalarFormatter

    fig = Figure(figsize=(11, 4.5))
    ax_bw, ax_lat = fig.subplots(1, 2)
    ops = list(dict.fromkeys(r["op"] for r in results))
    for op in ops:
        rows = [r for r in results if r["op"] == op]
        sizes = [r["size"] for r in rows]
        (line,) = ax_bw.plot(
            sizes, [r["bandwidth"]["avg_gbps"] for r in rows], marker="o", label=f"{op} avg"
        )
        curves: list[tuple[Any, list[float], dict[str, str], str]] = [
            (ax_bw, [r["bandwidth"]["peak_gbps"] for r in rows], {"linestyle": ":"}, "peak"),
            (ax_lat, [_nan(r["latency_us"]["p50"]) for r in rows], {"marker": "o"}, "p50"),
            (ax_lat, [_nan(r["latency_us"]["p99"]) for r in rows], {"linestyle": "--"}, "p99"),
        ]
        for ax, values, style, name in curves:
            ax.plot(sizes, values, color=line.get_color(), label=f"{op} {name}", **style)
    for ax in (ax_bw, ax_lat):
        ax.set_xscale("log", base=2)
        ax.xaxis.set_major_formatter(FuncFormatter(lambda x, _pos: human_size(int(x))))
        ax.set_xlabel("message size (bytes)")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize="small")
    ax_bw.set_ylabel("bandwidth (Gb/s)")
    ax_bw.set_title("bandwidth")
    ax_lat.set_yscale("log")
    ax_lat.yaxis.set_major_formatter(ScalarFormatter())
    # label the 2x and 5x minor ticks too: latencies often span less than a decade
    ax_lat.yaxis.set_minor_formatter(
        FuncFormatter(lambda y, _pos: f"{y:g}" if f"{y:g}".lstrip("0.")[:1] in ("2", "5") else "")
    )
    ax_lat.set_ylabel("latency (us)")
    modes = {r.get("latency_mode") for r in results}
    ax_lat.set_title("half round trip latency" if modes == {"half_round_trip"} else "latency")
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, format="png")
