"""`vantor sim run`: run any program, unmodified, on the software EFA device.

    vantor sim run [--host NAME] [--legacy] -- PROGRAM [ARGS...]

The program's dynamic loader finds the simulator's ``libibverbs.so.1`` and
``libefa.so.1`` first (``LD_LIBRARY_PATH``), so C programs linked against
rdma-core (perftest's ``ib_send_bw -c SRD -x 0``, ``ibv_devinfo``,
``ibv_ud_pingpong``) and Python programs alike run on the simulated device.
Every program started with the same ``--host`` is on one simulated host and
reaches the others' queue pairs, as processes sharing a NIC do; the default
host is ``VANTOR_SIM_HOST`` when set, else ``vantor-sim``. The program
replaces this process: its exit status is the command's.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
from collections.abc import Mapping, Sequence
from typing import Any, NoReturn

__all__ = ["DEFAULT_HOST", "environment", "register", "run"]

#: The simulated host of programs started without --host or VANTOR_SIM_HOST,
#: so that a server and a client started in two shells meet.
DEFAULT_HOST = "vantor-sim"

_HOST_ENV = "VANTOR_SIM_HOST"


def environment(
    base: Mapping[str, str], host: str | None = None, legacy: bool = False
) -> dict[str, str]:
    """Return ``base`` with the simulator's libraries first on the library path
    and the simulated host set (``host``, else the one in ``base``, else
    :data:`DEFAULT_HOST`)."""
    from vantor.sim import lib_dir

    env = dict(base)
    libs = lib_dir(legacy)
    rest = [p for p in env.get("LD_LIBRARY_PATH", "").split(":") if p and p != libs]
    env["LD_LIBRARY_PATH"] = ":".join([libs, *rest])
    env[_HOST_ENV] = host or env.get(_HOST_ENV) or DEFAULT_HOST
    return env


def _host_name(text: str) -> str:
    ok = 1 <= len(text) <= 64 and all(c.isalnum() or c in "._-" for c in text) and text.isascii()
    if not ok:
        raise argparse.ArgumentTypeError(
            f"bad host name {text!r}: use 1 to 64 of A-Z a-z 0-9 . _ -"
        )
    return text


def register(sub: Any, common: argparse.ArgumentParser | None = None) -> None:
    """Add the ``sim`` command (with its ``run`` subcommand) to the subparsers ``sub``."""
    sim = sub.add_parser("sim", help="run programs on the software EFA device")
    actions = sim.add_subparsers(dest="sim_command", metavar="ACTION")
    actions.required = True
    p = actions.add_parser(
        "run",
        help="run PROGRAM with the software EFA device in place of rdma-core",
        description="Run an unmodified program (perftest, the ibv_* utilities, a Python "
        "script) on the software EFA device: its libraries come first on the library path "
        "and the program joins a simulated host.",
        usage="vantor sim run [--host NAME] [--legacy] -- PROGRAM [ARGS...]",
    )
    p.add_argument(
        "--host",
        type=_host_name,
        help=f"simulated host to join (default: ${_HOST_ENV}, else {DEFAULT_HOST}); "
        "programs on one host reach each other",
    )
    p.add_argument(
        "--legacy",
        action="store_true",
        help="use the build without the newer entry points (older rdma-core)",
    )
    p.add_argument("program", nargs=argparse.REMAINDER, help="the program and its arguments")
    p.set_defaults(func=cmd_run, loads_core=False)


def run(program: Sequence[str], host: str | None = None, legacy: bool = False) -> NoReturn:
    """Replace this process with ``program`` on the software EFA device.

    Raises:
        FileNotFoundError: the program or the simulator's libraries are missing.
        OSError: the program cannot be started.
    """
    from vantor.sim import lib_dir

    if not program:
        raise FileNotFoundError("no program given")
    libs = lib_dir(legacy)
    if not os.path.exists(os.path.join(libs, "libibverbs.so.1")):
        raise FileNotFoundError(f"the simulator's libraries are missing from {libs}")
    path = shutil.which(program[0])
    if path is None:
        raise FileNotFoundError(f"no program named {program[0]!r}")
    env = environment(os.environ, host, legacy)
    sys.stdout.flush()
    sys.stderr.flush()
    os.execve(path, list(program), env)


def cmd_run(args: argparse.Namespace, core: Any, out: Any) -> int:
    from vantor.cli import CliError

    program = list(args.program)
    if program[:1] == ["--"]:
        program = program[1:]
    if not program:
        raise CliError("give the program to run after --, e.g. vantor sim run -- ibv_devinfo", 2)
    try:
        run(program, args.host, args.legacy)
    except FileNotFoundError as exc:
        raise CliError(str(exc), 127) from None
    except OSError as exc:
        raise CliError(f"cannot run {program[0]}: {exc.strerror or exc}", 126) from None
