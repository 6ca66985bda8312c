"""All-to-all over SRD: every rank sends one block to every other rank.

    python examples/all_to_all.py --sim                 # 4 ranks on the software EFA device
    python examples/all_to_all.py --ranks 8 --block 65536

Each rank is a process, one per GPU on a real node, started by a launcher
that also carries the address exchange: here Python's multiprocessing (its
Manager holds what the ranks publish, its Barrier lines them up), where a
cluster job would use torchrun's store, mpirun or similar. A rank publishes
its queue pair's 28-byte address plus where its inbox lies and the rkey
that opens it; then it writes its block for rank j straight into slot
`rank` of j's inbox with an RDMA write with immediate. The immediate names
the writer, and each receive completion tells a rank that one more block
has landed. SRD may deliver out of order: the completions, not the order of
the writes, say what is in.

On the software EFA device the ranks find each other through the device
itself, as processes on one host do through their NIC: the launcher puts
them on one simulated host by setting VANTOR_SIM_HOST for all of them (to
a name of this run's own, unless it is already set).
"""

from __future__ import annotations

import argparse
import multiprocessing as mp
import os
import sys
import time
from typing import Any

QKEY = 0x1EFA


def block_of(src: int, dst: int, size: int) -> bytes:
    """What rank `src` sends to rank `dst`: recognizable bytes."""
    tag = f"<{src}->{dst}>".encode()
    return (tag * (size // len(tag) + 1))[:size]


def rank_main(rank: int, size: int, block: int, sim: bool, board: Any, barrier: Any) -> None:
    if sim:
        import vantor.sim

        vantor.sim.activate()  # in each rank, before anything loads the native core
    import vantor
    from vantor.completions import wait_completions
    from vantor.enums import AccessFlags, SendFlags, WROpcode
    from vantor.helpers import PeerAddress, reg_buffer

    devices = vantor.get_efa_device_list()
    if not devices:
        raise SystemExit("no EFA device here: run with --sim")
    peers = [r for r in range(size) if r != rank]
    with devices[0].open() as ctx, ctx.alloc_pd() as pd, ctx.create_cq(4 * size) as cq:
        attr = vantor.QPInitAttr(cq, cq, max_send_wr=size, max_recv_wr=size)
        qp = pd.create_qp(attr).prepare(QKEY, rnr_retry=7)
        outbox = bytearray(b"".join(block_of(rank, j, block) for j in range(size)))
        inbox = bytearray(size * block)
        inbox_access = AccessFlags.LOCAL_WRITE | AccessFlags.REMOTE_WRITE
        with qp, reg_buffer(pd, outbox, 0) as out_mr, reg_buffer(pd, inbox, inbox_access) as in_mr:
            # A write with immediate consumes one posted receive at its target.
            qp.post_recv([vantor.RecvWR(wr_id=j) for j in peers])
            board[rank] = (PeerAddress.of(qp).hex(), in_mr.addr, in_mr.rkey)
            barrier.wait()

            dests = {j: PeerAddress.fromhex(board[j][0]).connect(pd) for j in peers}
            for j in peers:
                _, inbox_addr, rkey = board[j]
                qp.post_send(
                    vantor.SendWR(
                        wr_id=j,
                        sg_list=[out_mr.sge(block, j * block)],
                        opcode=WROpcode.RDMA_WRITE_WITH_IMM,
                        send_flags=SendFlags.SIGNALED,
                        remote_addr=inbox_addr + rank * block,
                        rkey=rkey,
                        imm_data=rank,
                        dest=dests[j],
                    )
                )
            done = wait_completions(cq, 2 * len(peers), timeout=30.0, check=True)
            writers = sorted(wc.imm_data for wc in done if wc.opcode >= 128)  # receive side
            if writers != peers:
                raise RuntimeError(f"rank {rank}: notices from {writers}, expected {peers}")
            bad = [
                j for j in peers if inbox[j * block : (j + 1) * block] != block_of(j, rank, block)
            ]
            if bad:
                raise RuntimeError(f"rank {rank}: wrong data from ranks {bad}")
            # Nobody tears down while a peer may still be writing to it.
            barrier.wait()
            for peer in dests.values():
                peer.close()
        board[("done", rank)] = len(peers)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--sim", action="store_true", help="use the software EFA device")
    parser.add_argument("--ranks", type=int, default=4, help="number of processes (default 4)")
    parser.add_argument("--block", type=int, default=4096, help="bytes per pair (default 4096)")
    args = parser.parse_args()
    if args.ranks < 2:
        parser.error("--ranks must be at least 2")

    if args.sim:
        os.environ.setdefault("VANTOR_SIM_HOST", f"all-to-all-{os.getpid()}")
    # "spawn": each rank starts clean, as ranks of a job on a cluster do.
    launcher = mp.get_context("spawn")
    start = time.monotonic()
    with launcher.Manager() as manager:
        board = manager.dict()
        barrier = launcher.Barrier(args.ranks, timeout=60)
        ranks = [
            launcher.Process(
                target=rank_main, args=(r, args.ranks, args.block, args.sim, board, barrier)
            )
            for r in range(args.ranks)
        ]
        for p in ranks:
            p.start()
        for p in ranks:
            p.join()
        failed = [r for r, p in enumerate(ranks) if p.exitcode != 0]
        verified = sum(board.get(("done", r), 0) for r in range(args.ranks))
    if failed:
        print(f"ranks {failed} failed", file=sys.stderr)
        return 1
    print(
        f"all-to-all over SRD: {args.ranks} ranks, {args.block} bytes per pair, "
        f"{verified} blocks verified in {time.monotonic() - start:.2f} s"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
