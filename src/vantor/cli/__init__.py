"""The `vantor` command: look at EFA devices and measure them.

    vantor devices                 table of devices and their EFA capabilities
    vantor info [DEVICE]           every attribute of a device, its ports and GIDs
    vantor perf                    SEND / RDMA_WRITE / RDMA_READ latency and bandwidth
    vantor perf --server           wait for a `vantor perf --client HOST` on another host
    vantor sim run -- PROGRAM      run any program (perftest, ibv_*) on the software EFA device

`--sim` (anywhere on the line) runs on the software EFA device instead of the
host's rdma-core, for machines without EFA hardware. `--json` prints one
document whose shape the JSON Schema shipped with the package describes
(`vantor.cli.common.schema_path()`).

Each subcommand is a module with a `register(subparsers, common)` function
that adds its parser; `COMMANDS` lists them in the order `--help` shows.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import TextIO

from vantor import __version__
from vantor.cli import cmd_devices, cmd_perf, sim_run
from vantor.cli.common import CliError, load_core

__all__ = ["COMMANDS", "CliError", "build_parser", "main"]

COMMANDS = (cmd_devices, cmd_perf, sim_run)


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
    parser.add_argument("--version", action="version", version=f"vantor {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    for command in COMMANDS:
        command.register(sub, common)
    return parser


def _quiet_stdout() -> None:
    """The reader went away (`vantor ... | head`): stop writing, like any Unix tool."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None, out: TextIO | None = None) -> int:
    """Entry point of the `vantor` command; returns the exit status."""
    out = sys.stdout if out is None else out
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        core = load_core(args) if getattr(args, "loads_core", True) else None
        try:
            status: int = args.func(args, core, out)
        except BrokenPipeError:
            raise
        except OSError as exc:  # EfaError from a query the command did not expect to fail
            raise CliError(str(exc)) from None
        return status
    except CliError as exc:
        print(f"vantor {args.command}: {exc}", file=sys.stderr)
        return exc.status
    except BrokenPipeError:
        if out is sys.stdout:
            _quiet_stdout()
        return 141  # as when SIGPIPE ends a tool
    except KeyboardInterrupt:
        print(f"vantor {args.command}: interrupted", file=sys.stderr)
        return 130
