"""One-sided RDMA on SRD: write into a peer's memory, notify it, read it back.

    python examples/rdma_write.py --sim

The target registers a buffer for remote access and publishes three things:
its queue pair's address, the buffer's address and its rkey. The initiator
then writes without the target's CPU taking part; a write *with immediate*
additionally consumes one posted receive on the target, which is how the
target learns that data has arrived. SRD delivers out of order: a
notification covers earlier writes only once their completions are in.
"""

from __future__ import annotations

import sys
from typing import Any

if "--sim" in sys.argv[1:]:
    import vantor.sim

    vantor.sim.activate()

import vantor
from vantor.completions import wait_completions
from vantor.enums import AccessFlags, EfaDeviceCaps, SendFlags, WCFlags, WROpcode
from vantor.helpers import PeerAddress, reg_buffer

QKEY = 0x1EFA


def main() -> None:
    devices = vantor.get_efa_device_list()
    if not devices:
        sys.exit("no EFA device here: run with --sim")
    with devices[0].open() as ctx:
        caps = ctx.query_efa_device().device_caps
        if not caps & EfaDeviceCaps.RDMA_WRITE or not caps & EfaDeviceCaps.RDMA_READ:
            sys.exit(f"{ctx.name} lacks RDMA read/write support")
        with ctx.alloc_pd() as pd, ctx.create_cq(64) as cq:
            run(pd, cq)


def run(pd: Any, cq: Any) -> None:
    target_qp = pd.create_qp(vantor.QPInitAttr(cq, cq)).prepare(QKEY)
    initiator_qp = pd.create_qp(vantor.QPInitAttr(cq, cq)).prepare(QKEY)
    remote = bytearray(64)
    local = bytearray(b"written by RDMA".ljust(64, b"."))
    readback = bytearray(64)
    access = AccessFlags.LOCAL_WRITE | AccessFlags.REMOTE_WRITE | AccessFlags.REMOTE_READ
    with (
        target_qp,
        initiator_qp,
        reg_buffer(pd, remote, access) as remote_mr,
        reg_buffer(pd, local) as local_mr,
        reg_buffer(pd, readback) as readback_mr,
    ):
        # What the target publishes (any out-of-band channel will do).
        address, addr, rkey = PeerAddress.of(target_qp).encode(), remote_mr.addr, remote_mr.rkey
        # The target posts one receive: the write with immediate consumes it.
        target_qp.post_recv(vantor.RecvWR(wr_id=100))

        with PeerAddress.decode(address).connect(pd) as peer:

            def request(wr_id: int, opcode: int, sge: Any, offset: int = 0, **extra: Any) -> Any:
                return vantor.SendWR(
                    wr_id=wr_id,
                    sg_list=[sge],
                    opcode=opcode,
                    send_flags=SendFlags.SIGNALED,
                    remote_addr=addr + offset,
                    rkey=rkey,
                    dest=peer,
                    **extra,
                )

            # SRD may deliver requests out of order, so the notification goes
            # out only once the data's own write has completed.
            initiator_qp.post_send(request(1, WROpcode.RDMA_WRITE, local_mr.sge(16)))
            wait_completions(cq, 1, timeout=5.0, check=True)
            initiator_qp.post_send(
                request(2, WROpcode.RDMA_WRITE_WITH_IMM, local_mr.sge(16, 16), 16, imm_data=32)
            )
            notice = next(
                wc for wc in wait_completions(cq, 2, timeout=5.0, check=True) if wc.wr_id == 100
            )
            assert notice.wc_flags & WCFlags.WITH_IMM
            print(f"target notified: {notice.imm_data} bytes written")
            print(f"target memory:   {bytes(remote[: notice.imm_data])!r}")

            initiator_qp.post_send(request(3, WROpcode.RDMA_READ, readback_mr.sge(32)))
            wait_completions(cq, 1, timeout=5.0, check=True)
            print(f"read back:       {bytes(readback[:32])!r}")
            assert readback[:32] == remote[:32] == local[:32]


if __name__ == "__main__":
    main()
