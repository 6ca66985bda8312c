"""Devices and queries: attributes, port, GID, limits."""

from __future__ import annotations

import re

from vantor.cli.devices import DEVICE_FIELDS, EFA_FIELDS, PORT_FIELDS
from vantor.scenarios.harness import Env, Obs, outcome
from vantor.scenarios.registry import scenario

# What `vantor info` shows, less what differs from one machine or firmware
# to the next (those are observed as properties below).
_DEVICE_FIELDS = tuple(
    f
    for f in DEVICE_FIELDS
    if f not in ("fw_ver", "node_guid", "sys_image_guid", "max_mr_size", "hw_ver")
)
_EFA_FIELDS = EFA_FIELDS
_PORT_FIELDS = tuple(
    f for f in PORT_FIELDS if f not in ("port_cap_flags", "active_width", "active_speed")
)


@scenario("device.attributes")
def attributes(env: Env) -> Obs:
    ctx = env.open()
    a = ctx.query_device()
    obs: Obs = {f: getattr(a, f) for f in _DEVICE_FIELDS}
    obs["fw_ver_dotted"] = bool(re.fullmatch(r"\d+(\.\d+)+", a.fw_ver))
    obs["node_guid_set"] = a.node_guid != 0
    obs["max_mr_size_at_least_4GiB"] = a.max_mr_size >= 1 << 32
    obs["num_comp_vectors_positive"] = ctx.num_comp_vectors > 0
    obs["async_fd_open"] = ctx.async_fd >= 0
    obs["is_efa"] = ctx.is_efa()
    return obs


@scenario("device.efa_attributes")
def efa_attributes(env: Env) -> Obs:
    e = env.open().query_efa_device()
    return {f: getattr(e, f) for f in _EFA_FIELDS}


@scenario("device.port")
def port(env: Env) -> Obs:
    ctx = env.open()
    p = ctx.query_port(1)
    obs: Obs = {f: getattr(p, f) for f in _PORT_FIELDS}
    obs["port_0"] = outcome(lambda: ctx.query_port(0))
    obs["port_2"] = outcome(lambda: ctx.query_port(2))
    return obs


@scenario("device.gid")
def gid(env: Env) -> Obs:
    ctx = env.open()
    raw = bytes(ctx.query_gid(1, 0))
    return {
        "length": len(raw),
        "link_local_prefix": raw[:8].hex() == "fe80000000000000",
        "interface_id_set": raw[8:] != bytes(8),
        "index_1": outcome(lambda: ctx.query_gid(1, 1)),
        "port_2": outcome(lambda: ctx.query_gid(2, 0)),
    }
