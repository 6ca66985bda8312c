"""What every scenario uses: the device under test, registered buffers, queue
pairs with stable labels, waiting for completions, and observations written
so that two runs (or two machines) give equal JSON when the device behaves
the same: no addresses, keys, handles or QP numbers, only what they mean."""

from __future__ import annotations

import ctypes
import errno
import time
from collections.abc import Callable, Iterable
from contextlib import ExitStack
from typing import Any, Protocol, TypeVar

import vantor._vantor as v
from vantor.enums import AccessFlags, QPType, SendFlags, WCOpcode, WCStatus, WROpcode

QKEY = 0x5CE7A210
ACCESS_ALL = int(AccessFlags.LOCAL_WRITE | AccessFlags.REMOTE_WRITE | AccessFlags.REMOTE_READ)
SIGNALED = int(SendFlags.SIGNALED)
INLINE = int(SendFlags.INLINE)
SRD = int(QPType.DRIVER)
UD = int(QPType.UD)
FILL = 0xEE  # what a buffer holds before the device writes into it

Obs = dict[str, Any]


class _Closable(Protocol):
    def close(self) -> None: ...


T = TypeVar("T", bound=_Closable)


def errno_name(err: int | None) -> str:
    return errno.errorcode.get(err or 0, str(err))


def outcome(fn: Callable[[], object]) -> str:
    """ "ok", or the errno name of the EfaError (or the exception type) it raised."""
    try:
        fn()
    except v.EfaError as exc:
        return errno_name(exc.errno)
    except (ValueError, TypeError, OverflowError) as exc:
        return type(exc).__name__
    return "ok"


def _name(enum: Any, value: int) -> str:
    try:
        return str(enum(value).name)
    except ValueError:
        return str(value)


class Buf:
    """Memory the device reads or writes, filled with FILL."""

    def __init__(self, size: int):
        self.size = size
        self.raw = ctypes.create_string_buffer(bytes([FILL]) * size, size)
        self.addr = ctypes.addressof(self.raw)

    def read(self, offset: int = 0, length: int | None = None) -> bytes:
        return ctypes.string_at(
            self.addr + offset, self.size - offset if length is None else length
        )

    def write(self, data: bytes, offset: int = 0) -> None:
        ctypes.memmove(self.addr + offset, data, len(data))

    def reset(self) -> None:
        ctypes.memset(self.addr, FILL, self.size)

    def placement(self, payload: bytes) -> Obs:
        """Where ``payload`` landed and whether anything else changed."""
        data = self.read()
        at = data.find(payload) if payload else -1
        outside = sum(
            1
            for k, b in enumerate(data)
            if b != FILL and not (at >= 0 and at <= k < at + len(payload))
        )
        return {"payload_at": at, "other_bytes_written": outside}


def pattern(n: int, seed: int = 1) -> bytes:
    """Payload bytes that never equal FILL and do not repeat early."""
    return bytes((seed * 31 + k * 7) % 251 for k in range(n))


class Env:
    """One scenario's resources on the device under test, released at the end."""

    def __init__(self, simulated: bool, device: str | None):
        self.simulated = simulated
        self.device = device
        self._stack = ExitStack()
        self._labels: dict[int, str] = {}
        self.memory: list[Buf] = []  # outlives the regions (closed first)

    def __enter__(self) -> Env:
        return self

    def __exit__(self, *exc: object) -> None:
        self._stack.close()

    def keep(self, obj: T) -> T:
        """Close ``obj`` (anything with close()) when the scenario ends."""
        self._stack.callback(obj.close)
        return obj

    def open(self) -> v.Context:
        devices = v.get_efa_device_list()
        if self.device is not None:
            devices = [d for d in devices if d.name == self.device]
        if not devices:
            raise RuntimeError("no EFA device found")
        return self.keep(devices[0].open())

    def node(self, cqe: int = 256, **cq_kwargs: Any) -> Node:
        ctx = self.open()
        pd = self.keep(ctx.alloc_pd())
        send_cq = self.keep(ctx.create_cq_ex(cqe, **cq_kwargs))
        recv_cq = self.keep(ctx.create_cq_ex(cqe, **cq_kwargs))
        return Node(self, ctx, pd, send_cq, recv_cq)

    def label(self, qp_num: int) -> str:
        return self._labels.get(qp_num, "unknown")

    def name_qp(self, qp: v.QP, label: str) -> None:
        self._labels[qp.qp_num] = label

    # -- completions ---------------------------------------------------------

    def wait(self, cq: v.CQEx | v.CQ, n: int, timeout: float = 5.0) -> list[v.WC]:
        """Up to ``n`` completions, polled until they are there or ``timeout``."""
        got: list[v.WC] = []
        deadline = time.monotonic() + timeout
        while len(got) < n:
            got += cq.poll(n - len(got))
            if len(got) < n and time.monotonic() > deadline:
                break
        return got

    def quiet(self, cq: v.CQEx | v.CQ) -> list[v.WC]:
        """What arrives on ``cq`` within a short while (nothing, usually). The
        simulator completes inside the posting call: one poll is enough."""
        got = cq.poll(16)
        if not self.simulated:
            deadline = time.monotonic() + 0.3
            while time.monotonic() < deadline:
                got += cq.poll(16)
        return got

    def wcs(self, wcs: Iterable[v.WC]) -> list[Obs]:
        """Completions as observations, in a stable order (SRD may reorder)."""
        out = [self.wc(w) for w in wcs]
        return sorted(out, key=lambda o: (o["qp"], o["wr_id"], o["status"]))

    def wc(self, w: v.WC) -> Obs:
        o: Obs = {
            "wr_id": w.wr_id,
            "status": _name(WCStatus, w.status),
            "vendor_err": w.vendor_err,
            "opcode": _name(WCOpcode, w.opcode),
            "byte_len": w.byte_len,
            "qp": self.label(w.qp_num),
            "wc_flags": w.wc_flags,
        }
        if w.status != int(WCStatus.SUCCESS):
            o["status_str"] = w.status_str  # libibverbs' own wording
        if w.opcode & int(WCOpcode.RECV) and w.status == int(WCStatus.SUCCESS):
            o["src_qp"] = self.label(w.src_qp)
            o["imm_data"] = w.imm_data
            o["unsolicited"] = bool(getattr(w, "unsolicited", False))
            o["sgid_reported"] = getattr(w, "sgid", None) is not None
        return o


class Node:
    """An open device with a PD and a send and a receive CQ."""

    def __init__(
        self, env: Env, ctx: v.Context, pd: v.PD, send_cq: v.CQEx, recv_cq: v.CQEx
    ) -> None:
        self.env, self.ctx, self.pd = env, ctx, pd
        self.send_cq, self.recv_cq = send_cq, recv_cq

    def buf(self, size: int, access: int = ACCESS_ALL) -> tuple[Buf, v.MR]:
        b = Buf(size)
        self.env.memory.append(b)
        return b, self.env.keep(self.pd.reg_mr(b.addr, size, access))

    def qp(
        self,
        label: str,
        qp_type: int = SRD,
        prepare: bool = True,
        rnr_retry: int | None = None,
        **attrs: Any,
    ) -> v.QP:
        qp = self.env.keep(
            self.pd.create_qp(v.QPInitAttr(self.send_cq, self.recv_cq, qp_type=qp_type, **attrs))
        )
        self.env.name_qp(qp, label)
        if prepare:
            qp.prepare(QKEY, rnr_retry=rnr_retry)
        return qp

    def ah_to(self, other: Node) -> v.AH:
        return self.env.keep(self.pd.create_ah(other.ctx.query_gid()))


def send_wr(
    wr_id: int,
    sges: Iterable[v.SGE] | None,
    ah: v.AH,
    qp: v.QP,
    opcode: int = int(WROpcode.SEND),
    flags: int = SIGNALED,
    **kw: Any,
) -> v.SendWR:
    return v.SendWR(
        wr_id=wr_id,
        sg_list=list(sges) if sges is not None else None,
        opcode=opcode,
        send_flags=flags,
        ah=ah,
        remote_qpn=qp.qp_num,
        remote_qkey=QKEY,
        **kw,
    )


def post(qp: v.QP, wrs: v.SendWR | list[v.SendWR]) -> str:
    return outcome(lambda: qp.post_send(wrs))
