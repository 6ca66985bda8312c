"""Entry points vantor does not wrap, called as C programs call them:
the extended device query, fork support, and the older SRD creation call.
Each runs in a fresh process (fork support is a once-per-process state)."""

from __future__ import annotations

import ctypes
from typing import Any

from vantor.scenarios.harness import Env, Obs, errno_name
from vantor.scenarios.probes import in_child, probe
from vantor.scenarios.registry import scenario

# Layout of the structures touched here (x86-64 and aarch64 agree; they only
# ever grow at the end).
_VCTX_QUERY_DEVICE_EX = 104  # bytes before ibv_context: verbs_context.query_device_ex
_VCTX_SZ = 8  # bytes before ibv_context: verbs_context.sz
_VCTX_NEED = 432  # sz that includes query_device_ex
_ABI_COMPAT = 320  # ibv_context.abi_compat
_ABI_EXTENDED = 2**64 - 1
_ATTR_EX_SIZE = 400
_ATTR_EX_FIELDS = {  # name: (offset, size)
    "max_qp_wr": (112, 4),
    "phys_port_cnt": (227, 1),
    "completion_timestamp_mask": (264, 8),
    "hca_core_clock": (272, 8),
    "device_cap_flags_ex": (280, 8),
    "max_wq_type_rq": (328, 4),
    "max_dm_size": (376, 8),
    "phys_port_cnt_ex": (396, 4),
}
_ODP_GENERAL_CAPS = (240, 8)
_QP_TYPE = 60  # ibv_qp.qp_type


class QPInitAttrStruct(ctypes.Structure):
    """struct ibv_qp_init_attr, for the calls that take one."""

    _fields_ = [
        ("qp_context", ctypes.c_void_p),
        ("send_cq", ctypes.c_void_p),
        ("recv_cq", ctypes.c_void_p),
        ("srq", ctypes.c_void_p),
        ("max_send_wr", ctypes.c_uint32),
        ("max_recv_wr", ctypes.c_uint32),
        ("max_send_sge", ctypes.c_uint32),
        ("max_recv_sge", ctypes.c_uint32),
        ("max_inline_data", ctypes.c_uint32),
        ("qp_type", ctypes.c_int),
        ("sq_sig_all", ctypes.c_int),
    ]


def _libs() -> tuple[ctypes.CDLL, ctypes.CDLL]:
    # By soname: the libraries already loaded (the simulator's once active).
    verbs = ctypes.CDLL("libibverbs.so.1", use_errno=True)
    efa = ctypes.CDLL("libefa.so.1", use_errno=True)
    for name, res, args in (
        ("ibv_get_device_list", ctypes.c_void_p, [ctypes.POINTER(ctypes.c_int)]),
        ("ibv_free_device_list", None, [ctypes.c_void_p]),
        ("ibv_get_device_name", ctypes.c_char_p, [ctypes.c_void_p]),
        ("ibv_open_device", ctypes.c_void_p, [ctypes.c_void_p]),
        ("ibv_close_device", ctypes.c_int, [ctypes.c_void_p]),
        ("ibv_alloc_pd", ctypes.c_void_p, [ctypes.c_void_p]),
        ("ibv_dealloc_pd", ctypes.c_int, [ctypes.c_void_p]),
        (
            "ibv_create_cq",
            ctypes.c_void_p,
            [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int],
        ),
        ("ibv_destroy_cq", ctypes.c_int, [ctypes.c_void_p]),
        ("ibv_destroy_qp", ctypes.c_int, [ctypes.c_void_p]),
        ("ibv_query_device", ctypes.c_int, [ctypes.c_void_p, ctypes.c_void_p]),
        ("ibv_fork_init", ctypes.c_int, []),
    ):
        fn = getattr(verbs, name)
        fn.restype, fn.argtypes = res, args
    efa.efadv_create_driver_qp.restype = ctypes.c_void_p
    efa.efadv_create_driver_qp.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32]
    return verbs, efa


def _open(verbs: ctypes.CDLL, device: str | None) -> int:
    n = ctypes.c_int(0)
    lst = verbs.ibv_get_device_list(ctypes.byref(n))
    devs = ctypes.cast(lst, ctypes.POINTER(ctypes.c_void_p))
    ctx = None
    for k in range(n.value):
        name = verbs.ibv_get_device_name(devs[k]).decode()
        if (device is None and name.startswith(("efa", "rdmap"))) or name == device:
            ctx = verbs.ibv_open_device(devs[k])
            break
    verbs.ibv_free_device_list(lst)
    if not ctx:
        raise RuntimeError("no EFA device found")
    return int(ctx)


def _read(base: int, offset: int, size: int) -> int:
    return int.from_bytes(ctypes.string_at(base + offset, size), "little")


def query_device_ex(device: str | None) -> Obs:
    verbs, _ = _libs()
    ctx = _open(verbs, device)
    try:
        if _read(ctx, _ABI_COMPAT, 8) != _ABI_EXTENDED or _read(ctx - _VCTX_SZ, 0, 8) < _VCTX_NEED:
            return {"provider_op": "absent"}
        op = _read(ctx - _VCTX_QUERY_DEVICE_EX, 0, 8)
        if not op:
            return {"provider_op": "absent"}
        proto = ctypes.CFUNCTYPE(
            ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t
        )
        attr = ctypes.create_string_buffer(_ATTR_EX_SIZE)
        rc = proto(op)(ctx, None, ctypes.addressof(attr), _ATTR_EX_SIZE)
        obs: Obs = {"rc": errno_name(rc) if rc else 0}
        base = ctypes.addressof(attr)
        obs.update({k: _read(base, off, size) for k, (off, size) in _ATTR_EX_FIELDS.items()})
        obs["odp_general_caps"] = _read(base, *_ODP_GENERAL_CAPS)
        classic = ctypes.create_string_buffer(232)
        verbs.ibv_query_device(ctx, classic)
        obs["classic_part_matches"] = classic.raw == attr.raw[:232]
        return obs
    finally:
        verbs.ibv_close_device(ctx)


def fork_support(register_first: bool, device: str | None) -> Obs:
    verbs, _ = _libs()
    status = getattr(verbs, "ibv_is_fork_initialized", None)
    obs: Obs = {}
    if status is not None:
        status.restype, status.argtypes = ctypes.c_int, []
        obs["status_before"] = status()
    keep: list[Any] = []
    if register_first:
        import vantor._vantor as v

        ctx = next(d for d in v.get_efa_device_list() if device in (None, d.name)).open()
        pd = ctx.alloc_pd()
        buf = ctypes.create_string_buffer(4096)
        keep += [ctx, pd, buf, pd.reg_mr(ctypes.addressof(buf), 4096, 1)]
    rc = verbs.ibv_fork_init()
    obs["fork_init"] = errno_name(rc) if rc else 0
    if status is not None:
        obs["status_after"] = status()
    for obj in reversed(keep[1:]):
        if hasattr(obj, "close"):
            obj.close()
    if keep:
        keep[0].close()
    return obs


def driver_qp(device: str | None) -> Obs:
    verbs, efa = _libs()
    ctx = _open(verbs, device)
    pd = verbs.ibv_alloc_pd(ctx)
    cq = verbs.ibv_create_cq(ctx, 16, None, None, 0)
    try:
        attr = QPInitAttrStruct(None, cq, cq, None, 4, 4, 1, 1, 0, 255, 0)
        obs: Obs = {}
        for name, kind in (("srd", 0), ("unknown_type", 7)):
            ctypes.set_errno(0)
            qp = efa.efadv_create_driver_qp(pd, ctypes.byref(attr), kind)
            if qp:
                obs[name] = {"created": True, "qp_type": _read(qp, _QP_TYPE, 4)}
                verbs.ibv_destroy_qp(qp)
            else:
                obs[name] = {"created": False, "errno": errno_name(ctypes.get_errno())}
        return obs
    finally:
        verbs.ibv_destroy_cq(cq)
        verbs.ibv_dealloc_pd(pd)
        verbs.ibv_close_device(ctx)


@probe("query_device_ex")
def _probe_query(simulated: bool, device: str | None) -> Obs:
    return query_device_ex(device)


@probe("fork_init_first")
def _probe_fork_first(simulated: bool, device: str | None) -> Obs:
    return fork_support(False, device)


@probe("fork_init_after_registration")
def _probe_fork_after(simulated: bool, device: str | None) -> Obs:
    return fork_support(True, device)


@probe("driver_qp")
def _probe_driver_qp(simulated: bool, device: str | None) -> Obs:
    return driver_qp(device)


@scenario("native.query_device_ex")
def _query_device_ex(env: Env) -> Obs:
    return in_child(env, "query_device_ex")


@scenario("native.fork_init")
def _fork(env: Env) -> Obs:
    return {
        "first": in_child(env, "fork_init_first"),
        "after_registration": in_child(env, "fork_init_after_registration"),
    }


@scenario("native.efadv_create_driver_qp")
def _driver_qp(env: Env) -> Obs:
    return in_child(env, "driver_qp")
