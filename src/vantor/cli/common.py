"""What every subcommand of `vantor` shares: errors, the native core, devices, JSON."""

from __future__ import annotations

import argparse
import importlib
import json
from types import ModuleType
from typing import TYPE_CHECKING, Any, TextIO

if TYPE_CHECKING:
    from vantor._vantor import Device

#: Version of the JSON documents every command writes with --json; the
#: package ships their JSON Schema (`schema_path()`).
SCHEMA_VERSION = 1

_SIM_HINT = "run `vantor --sim {cmd}` to use the software EFA device instead"

#: The simulated host `vantor perf --sim --server/--client` meet on when
#: VANTOR_SIM_HOST does not name one.
SIM_PERF_HOST = "vantor-perf"


class CliError(Exception):
    """A failure to report as one line on stderr, with an exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def schema_path() -> str:
    """Where the JSON Schema of the command's output lies."""
    from pathlib import Path

    return str(Path(__file__).with_name("output.schema.json"))


def load_core(args: argparse.Namespace) -> ModuleType:
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


def no_efa(args: argparse.Namespace, reason: str = "") -> CliError:
    if getattr(args, "sim", False):
        return CliError("the software EFA device has no EFA device configured")
    return CliError(
        "no EFA device found on this host (no EFA NIC, or its driver is not loaded"
        + (f": {reason}" if reason else "")
        + ")\n"
        + _SIM_HINT.format(cmd=args.command)
    )


def device_list(core: ModuleType, args: argparse.Namespace, efa_only: bool) -> list[Device]:
    """The host's devices; a host whose rdma-core finds no RDMA stack at all
    (ibv_get_device_list fails, e.g. ENOSYS without the kernel modules) is a
    host without EFA."""
    try:
        found: list[Device] = core.get_efa_device_list() if efa_only else core.get_device_list()
    except core.EfaError as exc:
        raise no_efa(args, str(exc)) from None
    return found


def pick_device(core: ModuleType, args: argparse.Namespace, name: str | None) -> Device:
    if name is None:
        found = device_list(core, args, efa_only=True)
        if not found:
            raise no_efa(args)
        return found[0]
    everything = device_list(core, args, efa_only=False)
    for device in everything:
        if device.name == name:
            return device
    known = ", ".join(str(d.name) for d in everything) or "none"
    raise CliError(f"no device named {name!r} (devices here: {known})")


def envelope(command: str) -> dict[str, Any]:
    """The fields every JSON document starts with."""
    import vantor.sim

    return {
        "schema_version": SCHEMA_VERSION,
        "command": command,
        "simulator": vantor.sim.is_active(),
    }


def emit_json(doc: Any, out: TextIO) -> None:
    json.dump(doc, out, indent=2, allow_nan=False)
    out.write("\n")
    out.flush()
