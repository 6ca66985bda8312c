"""Real completions for completion-queue tests: a sender and a receiver QP
on one simulated device, whose traffic lands on CQs the test chooses."""

from __future__ import annotations

import ctypes
import errno as errno_module
import os
import threading
import time

import pytest

import vantor._vantor as v
from conftest import QKEY
from vantor.enums import AccessFlags, SendFlags, WROpcode


def open_context():
    return v.get_efa_device_list()[0].open()


def expect_efa_error(excinfo, operation: str, err: int) -> None:
    e = excinfo.value
    assert type(e) is v.EfaError
    assert (e.operation, e.errno) == (operation, err)


class Link:
    """A sender QP and a receiver QP on one device.

    ``shared_pd=True`` puts the receiver on the sender's PD, which holds an
    address handle for the device's own GID; otherwise the receiver's PD has
    none, so an sgid-reporting receive CQ sees the sender's GID.
    """

    def __init__(self, ctx, send_cq, recv_cq, *, shared_pd=False, unsolicited=False):
        self.ctx = ctx
        self.send_pd = ctx.alloc_pd()
        self.recv_pd = self.send_pd if shared_pd else ctx.alloc_pd()
        self.sender = self.send_pd.create_qp(v.QPInitAttr(send_cq, send_cq))
        self.receiver = self.recv_pd.create_qp(
            v.QPInitAttr(recv_cq, recv_cq, unsolicited_write_recv=unsolicited)
        )
        self.sender.prepare(QKEY)
        self.receiver.prepare(QKEY)
        self.ah = self.send_pd.create_ah(ctx.query_gid())
        self._src = ctypes.create_string_buffer(256)
        self._dst = ctypes.create_string_buffer(4096)
        self.src_mr = self.send_pd.reg_mr(ctypes.addressof(self._src), 256, AccessFlags.LOCAL_WRITE)
        self.dst_mr = self.recv_pd.reg_mr(
            ctypes.addressof(self._dst), 4096, AccessFlags.LOCAL_WRITE | AccessFlags.REMOTE_WRITE
        )

    def post_recv(self, wr_id: int, count: int = 1) -> None:
        self.receiver.post_recv(
            [v.RecvWR(wr_id=wr_id + i, sg_list=[self.dst_mr.sge(64, 64 * i)]) for i in range(count)]
        )

    def send(self, wr_id: int, length: int = 8, *, imm=None, recv_wr_id=None) -> None:
        """One signalled SEND (with immediate when ``imm`` is given); posts
        the matching receive first unless ``recv_wr_id`` is False."""
        if recv_wr_id is not False:
            self.post_recv(wr_id if recv_wr_id is None else recv_wr_id)
        self.sender.post_send([self._wr(wr_id, length, imm)])

    def send_many(self, wr_ids, length: int = 8) -> None:
        """A batch of signalled SENDs, each with a receive posted under the same wr_id."""
        for wr_id in wr_ids:
            self.post_recv(wr_id)
        self.sender.post_send([self._wr(wr_id, length, None) for wr_id in wr_ids])

    def write_with_imm(self, wr_id: int, imm: int) -> None:
        wr = v.SendWR(
            wr_id=wr_id, sg_list=[self.src_mr.sge(8)], opcode=WROpcode.RDMA_WRITE_WITH_IMM,
            send_flags=SendFlags.SIGNALED, remote_addr=self.dst_mr.addr, rkey=self.dst_mr.rkey,
            imm_data=imm, ah=self.ah, remote_qpn=self.receiver.qp_num, remote_qkey=QKEY,
        )  # fmt: skip
        self.sender.post_send([wr])

    def _wr(self, wr_id, length, imm):
        return v.SendWR(
            wr_id=wr_id, sg_list=[self.src_mr.sge(length)],
            opcode=WROpcode.SEND if imm is None else WROpcode.SEND_WITH_IMM, send_flags=SendFlags.SIGNALED,
            imm_data=0 if imm is None else imm,
            ah=self.ah, remote_qpn=self.receiver.qp_num, remote_qkey=QKEY,
        )  # fmt: skip


def channel_link(ctx, depth: int):
    """A completion channel, a CQ of `depth` entries on it, and a Link whose
    receives land on that CQ (its sends on a CQ of their own)."""
    channel = ctx.create_comp_channel()
    cq = ctx.create_cq(depth, channel=channel)
    return channel, cq, Link(ctx, ctx.create_cq(depth), cq)


class OneOfEach:
    """One of every resource, ready to use, on an open context ``ctx``: a PD,
    a completion channel with a CQ on it, an extended CQ, a send CQ, links
    whose receives land on those two CQs (from a sender whose PD holds the
    only address handle, so sgid is reported), a registered buffer, an AH for
    the device's own GID, a QP, and a memfd to register as a dma-buf."""

    def __init__(self, sim, ctx, cqe: int, **cqx_kwargs):
        self.sim = sim
        self.ctx = ctx
        self.pd = ctx.alloc_pd()
        self.channel = ctx.create_comp_channel()
        self.cq = ctx.create_cq(cqe, channel=self.channel)
        self.cqx = ctx.create_cq_ex(cqe, **cqx_kwargs)
        self.send_cq = ctx.create_cq(cqe)
        self.link = Link(ctx, self.send_cq, self.cq)
        self.linkx = Link(ctx, self.send_cq, self.cqx)
        self.buf = ctypes.create_string_buffer(4096)
        self.addr = ctypes.addressof(self.buf)
        self.mr = self.pd.reg_mr(
            self.addr, 4096,
            AccessFlags.LOCAL_WRITE | AccessFlags.REMOTE_WRITE | AccessFlags.REMOTE_READ,
        )  # fmt: skip
        self.gid = ctx.query_gid()
        self.ah = self.pd.create_ah(self.gid)
        self.qp = self.pd.create_qp(v.QPInitAttr(self.send_cq, self.send_cq))
        self.memfd = os.memfd_create("dmabuf")
        os.ftruncate(self.memfd, 1 << 16)


def wait_until(predicate, what: str, limit: float = 10.0) -> None:
    """Waits for another thread to reach a point; only a guard against hangs."""
    deadline = time.monotonic() + limit
    while not predicate():
        if time.monotonic() > deadline:
            pytest.fail(f"timed out waiting for {what}")
        time.sleep(0.005)


class Waiter(threading.Thread):
    """Runs `fn` on another thread and keeps its result or exception."""

    def __init__(self, fn):
        super().__init__(daemon=True)
        self.fn = fn
        self.result = None
        self.error = None

    def run(self):
        try:
            self.result = self.fn()
        except BaseException as exc:  # handed to the test thread
            self.error = exc

    def outcome(self, limit: float = 10.0):
        self.join(limit)
        assert not self.is_alive(), "the waiting thread never returned"
        if self.error is not None:
            raise self.error
        return self.result


EBUSY = errno_module.EBUSY
