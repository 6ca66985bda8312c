"""`vantor devices` and `vantor info`."""

from __future__ import annotations

import argparse
from types import ModuleType
from typing import Any, TextIO

from vantor.cli import devices as devices_mod
from vantor.cli.common import CliError, device_list, emit_json, envelope, no_efa, pick_device
from vantor.cli.report import table


def register(sub: Any, common: argparse.ArgumentParser) -> None:
    p = sub.add_parser(
        "devices", parents=[common], help="list RDMA devices and their EFA capabilities"
    )
    p.set_defaults(func=cmd_devices)

    p = sub.add_parser("info", parents=[common], help="every attribute of one device")
    p.add_argument("device", nargs="?", help="device name (default: the first EFA device)")
    p.set_defaults(func=cmd_info)


def cmd_devices(args: argparse.Namespace, core: ModuleType, out: TextIO) -> int:
    entries = [devices_mod.summary(d, core.EfaError) for d in device_list(core, args, False)]
    if getattr(args, "json", False):
        emit_json({**envelope("devices"), "devices": entries}, out)
    elif entries:
        rows = []
        for e in entries:
            efa = e["efa_device"] or {}
            port = e["ports"][0] if e["ports"] else {}
            rows.append(
                [
                    e["name"],
                    e["guid"],
                    "yes" if e["efa"] else "no",
                    e["gid"] or e.get("error", ""),
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
        raise no_efa(args)
    return 0


def cmd_info(args: argparse.Namespace, core: ModuleType, out: TextIO) -> int:
    device = pick_device(core, args, args.device)
    try:
        ctx = device.open()
    except core.EfaError as exc:
        raise CliError(f"cannot open {device.name}: {exc}") from None
    with ctx:
        doc = devices_mod.info(ctx, device, core.EfaError)
    if getattr(args, "json", False):
        emit_json({**envelope("info"), **doc}, out)
    else:
        out.write(devices_mod.info_text(doc) + "\n")
    return 0
