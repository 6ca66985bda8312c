"""A tour of vantor on the software EFA device: no EFA hardware needed.

Opens the (simulated) EFA device, creates two SRD queue pairs, runs a SEND
ping-pong between them and then moves a buffer with RDMA write and RDMA
read, printing latency and throughput. Run it from the repository root:

    python examples/demo.py

On a machine with a real EFA device, drop the ``vantor.sim.activate()``
line and the same program runs over the NIC.
"""

from __future__ import annotations

import ctypes
import sys
import time
from pathlib import Path

try:
    import vantor
except ImportError:  # running from a source checkout
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "src"))
    import vantor

import vantor.sim

vantor.sim.activate()  # before the first use of vantor's native core

from vantor import (  # noqa: E402
    QP,
    CompletionError,
    QPInitAttr,
    RecvWR,
    SendWR,
    get_efa_device_list,
)
from vantor.enums import AccessFlags, QPState, SendFlags, WROpcode  # noqa: E402

QKEY = 0x1EFA
PING_SIZE = 64
PING_ROUNDS = 2000
BLOCK = 1 << 20  # bytes per RDMA request
BLOCKS = 64  # 64 MiB in all
ACCESS = AccessFlags.LOCAL_WRITE | AccessFlags.REMOTE_WRITE | AccessFlags.REMOTE_READ


class Endpoint:
    """One side: a queue pair with its own completion queues and a registered buffer."""

    def __init__(self, ctx, pd, size: int):
        self.send_cq = ctx.create_cq(256)
        self.recv_cq = ctx.create_cq(256)
        self.qp: QP = pd.create_qp(QPInitAttr(self.send_cq, self.recv_cq)).prepare(QKEY)
        self.buf = ctypes.create_string_buffer(size)
        self.mr = pd.reg_mr(ctypes.addressof(self.buf), size, ACCESS)

    def wait(self, cq):
        """Busy-poll one completion and check it succeeded."""
        while True:
            wcs = cq.poll(1)
            if wcs:
                wcs[0].raise_for_status()
                return wcs[0]


def main() -> None:
    device = get_efa_device_list()[0]
    ctx = device.open()
    port = ctx.query_port()
    print(f"device {device.name}: GID {ctx.query_gid()}, max_msg_sz {port.max_msg_sz} bytes")

    pd = ctx.alloc_pd()
    a = Endpoint(ctx, pd, BLOCK * BLOCKS)
    b = Endpoint(ctx, pd, BLOCK * BLOCKS)
    # SRD is connectionless: a send names its destination by address handle
    # (the peer device's GID), queue-pair number and qkey.
    ah = pd.create_ah(ctx.query_gid())
    print(f"queue pairs {a.qp} and {b.qp}, both {QPState(a.qp.state).name}")

    # ---- ping-pong: SEND one way, SEND back ------------------------------------------
    to_b = SendWR(1, [a.mr.sge(PING_SIZE)], send_flags=SendFlags.SIGNALED, ah=ah,
                  remote_qpn=b.qp.qp_num, remote_qkey=QKEY)  # fmt: skip
    to_a = SendWR(2, [b.mr.sge(PING_SIZE)], send_flags=SendFlags.SIGNALED, ah=ah,
                  remote_qpn=a.qp.qp_num, remote_qkey=QKEY)  # fmt: skip
    recv_a = RecvWR(10, [a.mr.sge(PING_SIZE, PING_SIZE)])
    recv_b = RecvWR(20, [b.mr.sge(PING_SIZE, PING_SIZE)])
    start = time.perf_counter()
    for _ in range(PING_ROUNDS):
        b.qp.post_recv(recv_b)
        a.qp.post_recv(recv_a)
        a.qp.post_send(to_b)
        b.wait(b.recv_cq)
        b.qp.post_send(to_a)
        a.wait(a.recv_cq)
        a.wait(a.send_cq)
        b.wait(b.send_cq)
    elapsed = time.perf_counter() - start
    print(f"ping-pong: {PING_ROUNDS} round trips of {PING_SIZE} bytes, "
          f"{elapsed / PING_ROUNDS * 1e6 / 2:.2f} us one-way latency")  # fmt: skip

    # ---- RDMA write a -> b, then RDMA read it back into a --------------------------------
    pattern = bytes(range(256)) * (BLOCK // 256)
    for i in range(BLOCKS):
        ctypes.memmove(ctypes.addressof(a.buf) + i * BLOCK, pattern, BLOCK)

    def rdma(opcode: int, remote: Endpoint) -> float:
        """Move every block between a and `remote` in one batch; returns the seconds taken."""
        wrs = [
            SendWR(i, [a.mr.sge(BLOCK, i * BLOCK)], opcode, SendFlags.SIGNALED,
                   remote.mr.addr + i * BLOCK, remote.mr.rkey, ah=ah,
                   remote_qpn=remote.qp.qp_num, remote_qkey=QKEY)
            for i in range(BLOCKS)
        ]  # fmt: skip
        begin = time.perf_counter()
        a.qp.post_send(wrs)
        for _ in wrs:
            a.wait(a.send_cq)
        return time.perf_counter() - begin

    total = BLOCK * BLOCKS
    write_s = rdma(WROpcode.RDMA_WRITE, b)
    assert ctypes.string_at(ctypes.addressof(b.buf), total) == pattern * BLOCKS
    ctypes.memset(ctypes.addressof(a.buf), 0, total)
    read_s = rdma(WROpcode.RDMA_READ, b)
    assert ctypes.string_at(ctypes.addressof(a.buf), total) == pattern * BLOCKS
    print(f"RDMA write: {total >> 20} MiB in {BLOCKS} requests, {total / write_s / 1e9:.2f} GB/s")
    print(f"RDMA read:  {total >> 20} MiB in {BLOCKS} requests, {total / read_s / 1e9:.2f} GB/s")

    # ---- an oversized SEND fails as a completion, not at posting time -------------------
    b.qp.post_recv(RecvWR(30, [b.mr.sge(BLOCK)]))
    a.qp.post_send(SendWR(3, [a.mr.sge(port.max_msg_sz + 1)], send_flags=SendFlags.SIGNALED,
                          ah=ah, remote_qpn=b.qp.qp_num, remote_qkey=QKEY))  # fmt: skip
    try:
        a.wait(a.send_cq)
    except CompletionError as exc:
        print(f"oversized SEND ({port.max_msg_sz + 1} bytes): {exc}")

    for resource in (a.qp, b.qp, ah, a.mr, b.mr, a.send_cq, a.recv_cq, b.send_cq, b.recv_cq, pd,
                     ctx):  # fmt: skip
        resource.close()


if __name__ == "__main__":
    main()
