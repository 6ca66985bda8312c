"""`vantor devices` and `vantor info`: what the host's RDMA devices offer."""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING, Any

from vantor.enums import MTU, EfaDeviceCaps, PortState
from vantor.helpers import format_gid

if TYPE_CHECKING:
    from vantor._vantor import Context, Device, DeviceAttr, EfaDeviceAttr, PortAttr

DEVICE_FIELDS = (
    "fw_ver",
    "node_guid",
    "sys_image_guid",
    "max_mr_size",
    "vendor_id",
    "vendor_part_id",
    "hw_ver",
    "max_qp",
    "max_qp_wr",
    "max_sge",
    "max_cq",
    "max_cqe",
    "max_mr",
    "max_pd",
    "max_ah",
    "max_pkeys",
    "phys_port_cnt",
)
EFA_FIELDS = (
    "max_sq_wr",
    "max_rq_wr",
    "max_sq_sge",
    "max_rq_sge",
    "inline_buf_size",
    "device_caps",
    "max_rdma_size",
)
PORT_FIELDS = (
    "state",
    "max_mtu",
    "active_mtu",
    "gid_tbl_len",
    "port_cap_flags",
    "max_msg_sz",
    "pkey_tbl_len",
    "lid",
    "active_width",
    "active_speed",
    "link_layer",
)
_LINK_LAYERS = {0: "UNSPECIFIED", 1: "INFINIBAND", 2: "ETHERNET"}


def format_guid(value: int) -> str:
    """A GUID as ibv_devinfo shows it: the bytes in network order, four groups."""
    raw = value.to_bytes(8, sys.byteorder)
    return ":".join(raw[i : i + 2].hex() for i in range(0, 8, 2))


def cap_names(caps: int) -> list[str]:
    names = [c.name for c in EfaDeviceCaps if caps & c and c.name]
    unknown = caps & ~sum(int(c) for c in EfaDeviceCaps)
    if unknown:
        names.append(f"0x{unknown:x}")
    return names


def _enum_name(enum: Any, value: int) -> str | None:
    try:
        return str(enum(value).name)
    except ValueError:
        return None


def device_dict(attr: DeviceAttr) -> dict[str, Any]:
    out: dict[str, Any] = {name: getattr(attr, name) for name in DEVICE_FIELDS}
    out["node_guid"] = format_guid(attr.node_guid)
    out["sys_image_guid"] = format_guid(attr.sys_image_guid)
    return out


def efa_dict(attr: EfaDeviceAttr) -> dict[str, Any]:
    out: dict[str, Any] = {name: getattr(attr, name) for name in EFA_FIELDS}
    out["device_caps_names"] = cap_names(attr.device_caps)
    return out


def port_dict(attr: PortAttr) -> dict[str, Any]:
    out: dict[str, Any] = {name: getattr(attr, name) for name in PORT_FIELDS}
    out["state_name"] = _enum_name(PortState, attr.state)
    out["max_mtu_bytes"] = MTU(attr.max_mtu).bytes if _enum_name(MTU, attr.max_mtu) else None
    out["active_mtu_bytes"] = (
        MTU(attr.active_mtu).bytes if _enum_name(MTU, attr.active_mtu) else None
    )
    out["link_layer_name"] = _LINK_LAYERS.get(attr.link_layer)
    return out


def _error_text(exc: BaseException) -> str:
    return str(exc) or type(exc).__name__


def summary(device: Device, efa_error: type[BaseException]) -> dict[str, Any]:
    """One row of `vantor devices`: name, GUID, GID, port 1 and the EFA
    capabilities, under the same names as in `vantor info`."""
    entry: dict[str, Any] = {
        "name": device.name,
        "guid": format_guid(device.guid),
        "efa": False,
        "gid": None,
        "efa_device": None,
        "ports": [],
    }
    try:
        ctx = device.open()
    except efa_error as exc:
        entry["error"] = _error_text(exc)
        return entry
    with ctx:
        entry["efa"] = ctx.is_efa()
        try:
            entry["gid"] = format_gid(ctx.query_gid())
            entry["ports"] = [{"port_num": 1, **port_dict(ctx.query_port())}]
            if entry["efa"]:
                entry["efa_device"] = efa_dict(ctx.query_efa_device())
        except efa_error as exc:
            entry["error"] = _error_text(exc)
    return entry


def info(ctx: Context, device: Device, efa_error: type[BaseException]) -> dict[str, Any]:
    """Every attribute of the device, its ports and their GIDs."""
    dattr = ctx.query_device()
    out: dict[str, Any] = {
        "name": device.name,
        "guid": format_guid(device.guid),
        "efa": ctx.is_efa(),
        "num_comp_vectors": ctx.num_comp_vectors,
        "device": device_dict(dattr),
        "efa_device": efa_dict(ctx.query_efa_device()) if ctx.is_efa() else None,
        "ports": [],
    }
    for port_num in range(1, dattr.phys_port_cnt + 1):
        pattr = ctx.query_port(port_num)
        port: dict[str, Any] = {"port_num": port_num, **port_dict(pattr), "gids": []}
        for index in range(pattr.gid_tbl_len):
            try:
                port["gids"].append(
                    {"index": index, "gid": format_gid(ctx.query_gid(port_num, index))}
                )
            except efa_error as exc:
                port["gids"].append({"index": index, "error": _error_text(exc)})
        out["ports"].append(port)
    return out


def _field_lines(values: dict[str, Any], shown: dict[str, str]) -> list[str]:
    """A line per field in the order of `values`; `shown` replaces the text of some."""
    return [f"  {key:<18}{shown.get(key, value)}" for key, value in values.items()]


def _named(value: Any, name: str | None) -> str:
    return f"{value} ({name})" if name else str(value)


def info_text(doc: dict[str, Any]) -> str:
    """`vantor info` as text, in the spirit of `ibv_devinfo -v`."""
    lines = [f"{doc['name']}: {'EFA device' if doc['efa'] else 'RDMA device (not EFA)'}"]
    lines += _field_lines({"guid": doc["guid"], "num_comp_vectors": doc["num_comp_vectors"]}, {})
    lines.append("device:")
    dev = doc["device"]
    lines += _field_lines(
        dev,
        {
            "vendor_id": f"0x{dev['vendor_id']:x}",
            "vendor_part_id": f"0x{dev['vendor_part_id']:x}",
            "max_mr_size": f"{dev['max_mr_size']} (0x{dev['max_mr_size']:x})",
        },
    )
    if doc["efa_device"] is not None:
        lines.append("efa:")
        efa = doc["efa_device"]
        caps = " | ".join(efa["device_caps_names"]) or "none"
        lines += _field_lines(
            {key: efa[key] for key in EFA_FIELDS},
            {"device_caps": f"0x{efa['device_caps']:x} ({caps})"},
        )
    for port in doc["ports"]:
        lines.append(f"port {port['port_num']}:")
        lines += _field_lines(
            {key: port[key] for key in PORT_FIELDS},
            {
                "port_cap_flags": f"0x{port['port_cap_flags']:x}",
                "state": _named(port["state"], port["state_name"]),
                "max_mtu": _named(port["max_mtu"], port["max_mtu_bytes"]),
                "active_mtu": _named(port["active_mtu"], port["active_mtu_bytes"]),
                "link_layer": _named(port["link_layer"], port["link_layer_name"]),
            },
        )
        for gid in port["gids"]:
            text = gid.get("gid") or f"error: {gid.get('error')}"
            lines += _field_lines({f"gid[{gid['index']}]": text}, {})
    return "\n".join(lines)
