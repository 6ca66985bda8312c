"""`vantor perf`: the options, the run, and what it prints."""

from __future__ import annotations

import argparse
import importlib.util
import os
import sys
from types import ModuleType
from typing import Any, Callable, TextIO

from vantor.cli import net, perf, remote
from vantor.cli.common import CliError, emit_json, pick_device
from vantor.cli.report import Progress, human_size, parse_size, plot, table

#: Upper bounds the parser enforces; the device may allow less, which the
#: run reports.
MAX_COUNT = 2**31 - 1
MAX_SIZE = 1 << 32
MAX_SECONDS = 7 * 24 * 3600.0


def _bounded_int(low: int, high: int, what: str) -> Callable[[str], int]:
    def convert(text: str) -> int:
        try:
            value = int(text, 10)
        except ValueError:
            raise argparse.ArgumentTypeError(f"must be {what}, not {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be {what} from {low} to {high}, not {value}")
        return value

    return convert


_positive = _bounded_int(1, MAX_COUNT, "a positive integer")
_non_negative = _bounded_int(0, MAX_COUNT, "a non-negative integer")
_port = _bounded_int(0, 65535, "a TCP port number")
_qps = _bounded_int(1, net.MAX_QPS, "a number of queue pairs")


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not 0 < value <= MAX_SECONDS:
        raise argparse.ArgumentTypeError(
            f"must be a positive number of seconds up to {MAX_SECONDS:g}, not {text!r}"
        )
    return value


def _size(text: str) -> int:
    try:
        value = parse_size(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    if value > MAX_SIZE:
        raise argparse.ArgumentTypeError(f"{text!r} is larger than 4G")
    return value


def _sizes(text: str) -> list[int]:
    sizes = [_size(part) for part in text.split(",") if part.strip()]
    if not sizes:
        raise argparse.ArgumentTypeError(f"no size in {text!r} (examples: 64,4K,1M)")
    return sizes


def _ops(text: str) -> list[str]:
    ops = [part.strip().lower() for part in text.split(",") if part.strip()]
    aliases = {"rdma_write": "write", "rdma_read": "read"}
    ops = [aliases.get(op, op) for op in ops]
    bad = [op for op in ops if op not in perf.OPS]
    if bad or not ops:
        raise argparse.ArgumentTypeError(
            f"unknown operation(s) {', '.join(bad) or text!r}; choose from send, write, read"
        )
    return list(dict.fromkeys(ops))


def register(sub: Any, common: argparse.ArgumentParser) -> None:
    p = sub.add_parser(
        "perf",
        parents=[common],
        help="latency and bandwidth of SEND, RDMA_WRITE and RDMA_READ",
        description="perftest-style measurements. Without --server/--client both ends "
        "run in this process on one device (loopback).",
    )
    p.add_argument("-d", "--device", help="device name (default: the first EFA device)")
    p.add_argument(
        "--op",
        type=_ops,
        default=list(perf.OPS),
        help="operations, comma separated: send,write,read (default: all)",
    )
    p.add_argument(
        "--sizes", type=_sizes, help="message sizes, e.g. 64,4K,1M (overrides the sweep)"
    )
    p.add_argument(
        "--min-size",
        type=_size,
        default=2,
        help="smallest size of the sweep (default: %(default)s)",
    )
    p.add_argument(
        "--max-size", type=_size, default=1 << 20, help="largest size of the sweep (default: 1M)"
    )
    length = p.add_mutually_exclusive_group()
    length.add_argument(
        "-n", "--iters", type=_positive, default=1000,
        help="requests per phase of each case (default: %(default)s)",
    )  # fmt: skip
    length.add_argument(
        "-D", "--duration", type=_seconds, metavar="SECONDS",
        help="run each phase for this long instead of --iters requests",
    )  # fmt: skip
    p.add_argument(
        "--warmup", type=_non_negative, default=16,
        help="untimed requests before the latency phase (default: %(default)s)",
    )  # fmt: skip
    p.add_argument(
        "-t", "--tx-depth", type=_positive, default=64,
        help="requests in flight per queue pair for bandwidth (default: %(default)s)",
    )  # fmt: skip
    p.add_argument(
        "-q", "--qps", type=_qps, default=1,
        help="queue pairs the bandwidth traffic is spread over (default: %(default)s)",
    )  # fmt: skip
    p.add_argument(
        "-b", "--bidirectional", action="store_true",
        help="both ends send at once in the bandwidth phase",
    )  # fmt: skip
    p.add_argument(
        "--latency", choices=perf.LATENCY_MODES, default="post",
        help="post: each request from post to completion; pingpong: half the round trip "
        "of a message and its answer, as ib_send_lat reports it (default: %(default)s)",
    )  # fmt: skip
    p.add_argument(
        "--use-cuda", action="store_true",
        help="register GPU memory (PyTorch or CuPy) instead of host memory",
    )  # fmt: skip
    p.add_argument(
        "--timeout", type=_seconds, default=10.0,
        help="give up after this many seconds without progress (default: %(default)g)",
    )  # fmt: skip
    p.add_argument("--plot", metavar="FILE.png", help="draw bandwidth and latency (matplotlib)")
    mode = p.add_mutually_exclusive_group()
    mode.add_argument("--server", action="store_true", help="wait for a client on --port")
    mode.add_argument("--client", metavar="HOST", help="measure against the server on HOST")
    p.add_argument(
        "-p", "--port", type=_port, default=net.DEFAULT_PORT,
        help="TCP port; 0 lets the server pick one (default: %(default)s)",
    )  # fmt: skip
    p.add_argument("--bind", default="", help="address the server listens on (default: all)")
    p.set_defaults(func=cmd_perf)


def _sweep(low: int, high: int) -> list[int]:
    sizes = []
    size = 1
    while size < low:
        size <<= 1
    while size <= high:
        sizes.append(size)
        size <<= 1
    return sizes


def perf_settings(args: argparse.Namespace) -> perf.Settings:
    if args.sizes:
        sizes = list(dict.fromkeys(args.sizes))
    else:
        if args.min_size > args.max_size:
            raise CliError("--min-size is larger than --max-size", status=2)
        sizes = _sweep(args.min_size, args.max_size)
        if not sizes:
            raise CliError("no power of two between --min-size and --max-size", status=2)
    # The options named as the settings they give.
    same = ("iters", "warmup", "tx_depth", "timeout", "qps", "bidirectional", "duration", "latency")
    return perf.Settings(
        ops=args.op,
        sizes=sizes,
        memory="cuda" if args.use_cuda else "host",
        **{name: getattr(args, name) for name in same},
    )


def _check_plot_path(path: str) -> None:
    """Refuse a plot that could not be written before measuring anything."""
    if importlib.util.find_spec("matplotlib") is None:
        raise CliError(
            "--plot needs matplotlib, which is not installed: pip install 'vantor[plot]'",
            status=2,
        )
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise CliError(f"cannot write the plot to {path}: it is a directory", status=2)
    if not os.path.isdir(folder):
        raise CliError(f"cannot write the plot to {path}: no directory {folder}", status=2)
    if not os.access(folder, os.W_OK | os.X_OK):
        raise CliError(f"cannot write the plot to {path}: {folder} is not writable", status=2)


def _check_memory(args: argparse.Namespace) -> None:
    if not args.use_cuda:
        return
    from vantor.cli import gpu

    try:
        gpu.cuda_buffer(1)
    except gpu.GpuUnavailable as exc:
        raise CliError(str(exc), status=2) from None
    if getattr(args, "sim", False):
        raise CliError(
            "the software EFA device cannot reach GPU memory: run --use-cuda on an EFA host",
            status=2,
        )


def _fmt(value: float | None, digits: int) -> str:
    return "-" if value is None else f"{value:.{digits}f}"


def perf_table(doc: dict[str, Any]) -> str:
    rows = []
    for r in doc["results"]:
        lat, bw = r["latency_us"], r["bandwidth"]
        rows.append(
            [
                r["op"],
                r["size"],
                r["iters"],
                *(_fmt(lat[k], 2) for k in ("min", "avg", "stdev", "p50", "p99", "p99.9", "max")),
                f"{bw['peak_MBps']:.2f}",
                f"{bw['avg_MBps']:.2f}",
                f"{bw['avg_gbps']:.3f}",
                f"{bw['msg_rate_mpps']:.4f}",
            ]
        )
    headers = ["OP", "BYTES", "ITERS", "MIN_us", "AVG_us", "STDEV_us", "P50_us", "P99_us"]
    headers += ["P99.9_us", "MAX_us", "PEAK_MB/s", "AVG_MB/s", "AVG_Gb/s", "Mmsg/s"]
    lines = [table(headers, rows, right=range(1, len(headers))) if rows else "no results"]
    lines += [
        f"skipped {s['op']}{'' if s['size'] is None else ' ' + human_size(s['size'])}: {s['reason']}"
        for s in doc.get("skipped", [])
    ]
    lines += [f"note: {n}" for n in doc.get("notes", [])]
    return "\n".join(lines)


def _describe(doc: dict[str, Any]) -> str:
    s = doc["settings"]
    where = doc["device"] + (" (software EFA device)" if doc["simulator"] else "")
    how = [f"{s['qps']} QP(s)", f"tx depth {s['tx_depth']}"]
    how.append(f"{s['duration_s']:g} s per phase" if s["duration_s"] else f"{s['iters']} iters")
    if s["bidirectional"]:
        how.append("bidirectional")
    how.append(f"latency: {s['latency_mode']}")
    if s["memory"] != "host":
        how.append(f"{s['memory']} memory")
    return f"vantor perf, {doc['mode']} on {where}: {', '.join(how)}"


def _served_text(doc: dict[str, Any]) -> str:
    served = doc.get("served", [])
    client = doc.get("client", {}).get("host", "no client")
    rows = [[s["op"], s["size"], s["phase"], s["received"], s["sent"]] for s in served]
    text = f"served {len(served)} phase(s) for {client}"
    if rows:
        text += "\n" + table(["OP", "BYTES", "PHASE", "RECEIVED", "SENT"], rows, right=(1, 3, 4))
    return text


def cmd_perf(args: argparse.Namespace, core: ModuleType, out: TextIO) -> int:
    settings = perf_settings(args)
    if args.client is not None and args.port == 0:
        raise CliError("--client needs the server's port (1 to 65535)", status=2)
    if args.plot:
        _check_plot_path(args.plot)
    _check_memory(args)
    device = pick_device(core, args, args.device)
    progress = Progress(0)

    def log(line: str) -> None:
        print(f"vantor perf: {line}", file=sys.stderr, flush=True)

    try:
        ctx = device.open()
    except core.EfaError as exc:
        raise CliError(f"cannot open {device.name}: {exc}") from None
    mode = "server" if args.server else "client" if args.client else "loopback"
    status = 0
    with ctx:
        settings, notes = perf.Limits.query(ctx).fit(settings)
        doc = perf.new_document(mode, str(ctx.name), settings)
        doc["notes"] += notes
        if mode == "server":
            doc["served"] = []  # even when no client ever came
        try:
            if args.server:
                try:
                    listener = net.listen(args.bind, args.port)
                except OSError as exc:
                    raise CliError(f"cannot listen on port {args.port}: {exc}") from None
                with listener:
                    log(f"listening on {args.bind or '*'}:{listener.getsockname()[1]} ({ctx.name})")
                    remote.serve(ctx, listener, settings, doc, log)
            elif args.client:
                remote.run_client(ctx, args.client, args.port, settings, progress, doc)
            else:
                perf.run_loopback(ctx, settings, progress, doc)
        except KeyboardInterrupt:
            doc["interrupted"] = True
            status = 130
        except (perf.PerfError, net.ProtocolError, OSError) as exc:
            # OSError covers EfaError (and CompletionError), sockets and memory maps.
            raise CliError(str(exc)) from None
        finally:
            progress.close()

    if mode != "server" and not doc["results"] and not status:
        status = 1  # nothing could be measured: the skipped lines say why
    if getattr(args, "json", False):
        emit_json(doc, out)
    elif mode == "server":
        out.write(_served_text(doc) + "\n")
    else:
        out.write(f"{_describe(doc)}\n{perf_table(doc)}\n")
    out.flush()
    if args.plot and doc["results"]:
        title = f"vantor perf: {doc['device']} ({doc['mode']})"
        if doc["simulator"]:
            title += ", software EFA device"
        try:
            plot(doc["results"], args.plot, title)
        except OSError as exc:
            raise CliError(f"cannot write the plot: {exc}") from None
        print(f"vantor perf: plot written to {args.plot}", file=sys.stderr)
    if status == 130:
        print("vantor perf: interrupted; the cases measured so far are shown", file=sys.stderr)
    elif status == 1:
        print("vantor perf: no case could be measured on this device", file=sys.stderr)
    return status
