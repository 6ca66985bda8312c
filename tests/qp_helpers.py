"""Building blocks for queue-pair tests on the software EFA device: an open
device with a PD, CQs and registered buffers, and ready-to-post SRD/UD pairs."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass, field

import pytest

import vantor._vantor as v
from conftest import QKEY
from vantor.enums import AccessFlags

ACCESS_ALL = AccessFlags.LOCAL_WRITE | AccessFlags.REMOTE_WRITE | AccessFlags.REMOTE_READ


class Buffer:
    """A ctypes buffer with its address, registered on demand."""

    def __init__(self, size: int, fill: bytes = b""):
        self.raw = ctypes.create_string_buffer(size)
        if fill:
            ctypes.memmove(self.raw, fill, len(fill))
        self.addr = ctypes.addressof(self.raw)
        self.size = size

    def read(self, offset: int = 0, length: int | None = None) -> bytes:
        length = self.size - offset if length is None else length
        return ctypes.string_at(self.addr + offset, length)

    def write(self, data: bytes, offset: int = 0) -> None:
        ctypes.memmove(self.addr + offset, data, len(data))


@dataclass
class Node:
    """One open device context with what a queue pair needs."""

    ctx: object
    pd: object
    send_cq: object
    recv_cq: object
    keep: list = field(default_factory=list)

    def reg(self, size: int, fill: bytes = b"", access: int = ACCESS_ALL):
        buf = Buffer(size, fill)
        mr = self.pd.reg_mr(buf.addr, size, access)
        self.keep.append(buf)
        return buf, mr

    def qp(self, qp_type=None, prepare=True, **kwargs):
        attr = v.QPInitAttr(self.send_cq, self.recv_cq, qp_type=qp_type, **kwargs)
        qp = self.pd.create_qp(attr)
        if prepare:
            qp.prepare(QKEY)
        return qp

    def gid(self):
        return self.ctx.query_gid()


def open_node(cq_ex: bool = False, **cq_kwargs) -> Node:
    ctx = v.get_efa_device_list()[0].open()
    pd = ctx.alloc_pd()
    if cq_ex:
        send_cq = ctx.create_cq_ex(64, **cq_kwargs)
        recv_cq = ctx.create_cq_ex(64, **cq_kwargs)
    else:
        send_cq = ctx.create_cq(64)
        recv_cq = ctx.create_cq(64)
    return Node(ctx, pd, send_cq, recv_cq)


def poll_one(cq, limit: int = 1000):
    """The next completion of `cq`; the simulator completes synchronously,
    so a bounded number of polls is enough."""
    for _ in range(limit):
        wcs = cq.poll(1)
        if wcs:
            return wcs[0]
    pytest.fail("no completion arrived")
