"""The `vantor` command: look at EFA devices and measure them.

    vantor devices                 table of devices and their EFA capabilities
    vantor info [DEVICE]           every attribute of a device, its ports and GIDs
    vantor perf                    SEND / RDMA_WRITE / RDMA_READ latency and bandwidth
    vantor perf --server           wait for a `vantor perf --client HOST` on another host
    vantor sim run -- PROGRAM      run any program (perftest, ibv_*) on the software EFA device

`--sim` (anywhere on the line) runs on the software EFA device instead of the
host's rdma-core, for machines without EFA hardware.
"""

from __future__ import annotations

import argparse
import importlib
import importlib.util
import json
import sys
from collections.abc import Sequence
from types import ModuleType
from typing import TYPE_CHECKING, Any, TextIO

from vantor.cli import devices as devices_mod, net, perf, sim_run
from vantor.cli.report import Progress, human_size, parse_size, plot, table

if TYPE_CHECKING:
    from vantor._vantor import Device

__all__ = ["CliError", "main"]

_SIM_HINT = "run `vantor --sim {cmd}` to use the software EFA device instead"


class CliError(Exception):
    """A failure to report as one line on stderr, with an exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def _sizes(text: str) -> list[int]:
    try:
        return [parse_size(part) for part in text.split(",") if part.strip()]
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _size(text: str) -> int:
    try:
        return parse_size(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


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


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive integer, not {text!r}")
    return value


def _non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be a non-negative integer, not {text!r}")
    return value


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds, not {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    # SUPPRESS: an option given before the command must survive the
    # subcommand's parser, which would otherwise reset it to its default.
    common.add_argument(
        "--sim",
        action="store_true",
        default=argparse.SUPPRESS,
        help="use the software EFA device (no hardware needed)",
    )
    common.add_argument(
        "--json",
        action="store_true",
        default=argparse.SUPPRESS,
        help="print JSON instead of a table",
    )

    parser = argparse.ArgumentParser(
        prog="vantor",
        description="Inspect and measure AWS EFA devices.",
        parents=[common],
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    p = sub.add_parser(
        "devices", parents=[common], help="list RDMA devices and their EFA capabilities"
    )
    p.set_defaults(func=cmd_devices)

    p = sub.add_parser("info", parents=[common], help="every attribute of one device")
    p.add_argument("device", nargs="?", help="device name (default: the first EFA device)")
    p.set_defaults(func=cmd_info)

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
        "--min-size", type=_size, default=2, help="smallest size of the sweep (default 2)"
    )
    p.add_argument(
        "--max-size", type=_size, default=1 << 20, help="largest size of the sweep (default 1M)"
    )
    p.add_argument("-n", "--iters", type=_positive, default=1000, help="requests per measurement")
    p.add_argument("--warmup", type=_non_negative, default=16, help="untimed requests first")
    p.add_argument(
        "-t", "--tx-depth", type=_positive, default=64, help="requests in flight for bandwidth"
    )
    p.add_argument(
        "--timeout",
        type=_seconds,
        default=10.0,
        help="give up after this many seconds without progress (default 10)",
    )
    p.add_argument("--plot", metavar="FILE.png", help="draw bandwidth and latency (matplotlib)")
    mode = p.add_mutually_exclusive_group()
    mode.add_argument("--server", action="store_true", help="wait for a client on --port")
    mode.add_argument("--client", metavar="HOST", help="measure against the server on HOST")
    p.add_argument("-p", "--port", type=int, default=net.DEFAULT_PORT, help="TCP port (18515)")
    p.add_argument("--bind", default="", help="address the server listens on (default: all)")
    p.set_defaults(func=cmd_perf)
    sim_run.register(sub)
    return parser


#: The simulated host `vantor perf --sim --server/--client` meet on when
#: VANTOR_SIM_HOST does not name one.
SIM_PERF_HOST = "vantor-perf"


def _load_core(args: argparse.Namespace) -> ModuleType:
    """Import the native core, on the simulator when --sim was given."""
    if getattr(args, "sim", False):
        import vantor.sim

        try:
            vantor.sim.activate()
            # A server and its client are two processes: they must share one
            # simulated host (the fabric never leaves this machine).
            two_processes = getattr(args, "server", False) or getattr(args, "client", None)
            if two_processes and vantor.sim.host() is None:
                vantor.sim.set_host(SIM_PERF_HOST)
        except (RuntimeError, OSError, ValueError) as exc:
            raise CliError(f"cannot start the software EFA device: {exc}") from None
    try:
        return importlib.import_module("vantor._vantor")
    except ImportError as exc:
        hint = "" if getattr(args, "sim", False) else "\n" + _SIM_HINT.format(cmd=args.command)
        raise CliError(f"cannot load rdma-core: {exc}{hint}") from None


def _no_efa(args: argparse.Namespace, reason: str = "") -> CliError:
    if getattr(args, "sim", False):
        return CliError("the software EFA device has no EFA device configured")
    return CliError(
        "no EFA device found on this host (no EFA NIC, or its driver is not loaded"
        + (f": {reason}" if reason else "")
        + ")\n"
        + _SIM_HINT.format(cmd=args.command)
    )


def _device_list(core: ModuleType, args: argparse.Namespace, efa_only: bool) -> list[Device]:
    """The host's devices; a host whose rdma-core finds no RDMA stack at all
    (ibv_get_device_list fails, e.g. ENOSYS without the kernel modules) is a
    host without EFA."""
    try:
        found: list[Device] = core.get_efa_device_list() if efa_only else core.get_device_list()
    except core.EfaError as exc:
        raise _no_efa(args, str(exc)) from None
    return found


def _pick_device(core: ModuleType, args: argparse.Namespace, name: str | None) -> Device:
    if name is None:
        found = _device_list(core, args, efa_only=True)
        if not found:
            raise _no_efa(args)
        return found[0]
    everything = _device_list(core, args, efa_only=False)
    for device in everything:
        if device.name == name:
            return device
    known = ", ".join(str(d.name) for d in everything) or "none"
    raise CliError(f"no device named {name!r} (devices here: {known})")


def _emit_json(doc: Any, out: TextIO) -> None:
    json.dump(doc, out, indent=2)
    out.write("\n")


def cmd_devices(args: argparse.Namespace, core: ModuleType, out: TextIO) -> int:
    entries = [devices_mod.summary(d, core.EfaError) for d in _device_list(core, args, False)]
    if getattr(args, "json", False):
        _emit_json({"devices": entries}, out)
    elif entries:
        rows = []
        for e in entries:
            efa = e.get("efa_attr") or {}
            port = e.get("port") or {}
            rows.append(
                [
                    e["name"],
                    e["guid"],
                    "yes" if e["efa"] else "no",
                    e.get("gid", e.get("error", "")),
                    port.get("state_name") or port.get("state", ""),
                    port.get("max_msg_sz", ""),
                    efa.get("max_rdma_size", ""),
                    efa.get("max_sq_wr", ""),
                    efa.get("max_rq_wr", ""),
                    efa.get("inline_buf_size", ""),
                    ",".join(efa.get("device_caps_names", [])),
                ]
            )
        headers = ["DEVICE", "GUID", "EFA", "GID", "PORT", "MAX_MSG", "MAX_RDMA"]
        headers += ["SQ_WR", "RQ_WR", "INLINE", "CAPABILITIES"]
        out.write(table(headers, rows, right=(5, 6, 7, 8, 9)) + "\n")
    if not any(e["efa"] for e in entries):
        raise _no_efa(args)
    return 0


def cmd_info(args: argparse.Namespace, core: ModuleType, out: TextIO) -> int:
    device = _pick_device(core, args, args.device)
    try:
        ctx = device.open()
    except core.EfaError as exc:
        raise CliError(f"cannot open {device.name}: {exc}") from None
    with ctx:
        doc = devices_mod.info(ctx, device, core.EfaError)
    if getattr(args, "json", False):
        _emit_json(doc, out)
    else:
        out.write(devices_mod.info_text(doc) + "\n")
    return 0


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
    return perf.Settings(
        ops=args.op,
        sizes=sizes,
        iters=args.iters,
        warmup=args.warmup,
        tx_depth=args.tx_depth,
        timeout=args.timeout,
    )


def _perf_table(doc: dict[str, Any]) -> str:
    rows = []
    for r in doc["results"]:
        lat = r["latency_us"]
        rows.append(
            [
                r["op"],
                r["size"],
                r["iters"],
                *(f"{lat[k]:.2f}" for k in ("min", "p50", "p90", "p99", "p99.9", "max")),
                f"{r['bandwidth_MBps']:.2f}",
                f"{r['bandwidth_gbps']:.3f}",
                f"{r['msg_rate_mpps']:.4f}",
            ]
        )
    headers = ["OP", "BYTES", "ITERS", "MIN_us", "P50_us", "P90_us", "P99_us", "P99.9_us"]
    headers += ["MAX_us", "BW_MB/s", "BW_Gb/s", "Mmsg/s"]
    text = table(headers, rows, right=range(1, len(headers))) if rows else "no results"
    notes = [
        f"skipped {s['op']}{'' if s['size'] is None else ' ' + human_size(s['size'])}: {s['reason']}"
        for s in doc.get("skipped", [])
    ]
    return "\n".join([text, *notes])


def cmd_perf(args: argparse.Namespace, core: ModuleType, out: TextIO) -> int:
    settings = perf_settings(args)
    if args.plot and importlib.util.find_spec("matplotlib") is None:
        raise CliError(
            "--plot needs matplotlib, which is not installed: pip install 'vantor[plot]'",
            status=2,
        )
    device = _pick_device(core, args, args.device)
    progress = Progress(0)

    def log(line: str) -> None:
        print(f"vantor perf: {line}", file=sys.stderr, flush=True)

    try:
        ctx = device.open()
    except core.EfaError as exc:
        raise CliError(f"cannot open {device.name}: {exc}") from None
    try:
        with ctx:
            if args.server:
                try:
                    listener = net.listen(args.bind, args.port)
                except OSError as exc:
                    raise CliError(f"cannot listen on port {args.port}: {exc}") from None
                with listener:
                    log(f"listening on {args.bind or '*'}:{listener.getsockname()[1]} ({ctx.name})")
                    doc = perf.serve(ctx, listener, settings, log)
            elif args.client:
                doc = perf.run_client(ctx, args.client, args.port, settings, progress)
            else:
                doc = perf.run_loopback(ctx, settings, progress)
    except (perf.PerfError, net.ProtocolError, OSError) as exc:
        # OSError covers EfaError (and CompletionError), sockets and memory maps.
        raise CliError(str(exc)) from None
    finally:
        progress.close()

    if getattr(args, "json", False):
        _emit_json(doc, out)
    elif doc["mode"] == "server":
        out.write(f"served {doc['commands']} SEND measurement(s) for {doc['client']['host']}\n")
    else:
        where = doc["device"] + (" (software EFA device)" if doc["simulator"] else "")
        out.write(f"vantor perf, {doc['mode']} on {where}\n{_perf_table(doc)}\n")
    if args.plot and doc.get("results"):
        title = f"vantor perf: {doc['device']} ({doc['mode']})"
        try:
            plot(doc["results"], args.plot, title)
        except OSError as exc:
            raise CliError(f"cannot write the plot: {exc}") from None
        print(f"vantor perf: plot written to {args.plot}", file=sys.stderr)
    return 0


def main(argv: Sequence[str] | None = None, out: TextIO | None = None) -> int:
    """Entry point of the `vantor` command; returns the exit status."""
    out = sys.stdout if out is None else out
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        core = _load_core(args) if getattr(args, "loads_core", True) else None
        try:
            status: int = args.func(args, core, out)
        except OSError as exc:  # EfaError from a query the command did not expect to fail
            raise CliError(str(exc)) from None
        return status
    except CliError as exc:
        print(f"vantor {args.command}: {exc}", file=sys.stderr)
        return exc.status
    except KeyboardInterrupt:
        print(f"vantor {args.command}: interrupted", file=sys.stderr)
        return 130
