"""Ranks of a torchrun or mpirun job find each other and pass a message around a ring.

    torchrun --nproc-per-node 2 examples/rank_ring.py --sim
    mpirun -n 2 python examples/rank_ring.py --launcher mpi --sim

Each rank opens the EFA device, creates an SRD queue pair and registers an
inbox, then publishes where they are (vantor.bootstrap.RankInfo: the queue
pair's address, the inbox's address and rkey) through the launcher: the
torch.distributed store under torchrun, an MPI allgather under mpirun. Rank
r then writes a greeting straight into the inbox of rank r+1 with an RDMA
write with immediate, and sleeps on its completion channel
(vantor.completions.wait_completions) until its own inbox is written.

With --sim the ranks run on the software EFA device; they reach each other
through it as processes of one host do through their NIC, because they name
the same simulated host (VANTOR_SIM_HOST, or "vantor-examples").
"""

from __future__ import annotations

import argparse
import importlib
import os

QKEY = 0x1EFA
INBOX = 64


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--launcher", choices=("torch", "mpi"), default="torch")
    parser.add_argument("--sim", action="store_true", help="use the software EFA device")
    args = parser.parse_args()
    if args.sim:
        import vantor.sim

        vantor.sim.activate()
        if vantor.sim.host() is None:
            vantor.sim.set_host("vantor-examples")

    import vantor
    from vantor.bootstrap import RankInfo, exchange_mpi, exchange_torch
    from vantor.completions import wait_completions
    from vantor.enums import AccessFlags
    from vantor.helpers import reg_buffer

    devices = vantor.get_efa_device_list()
    if not devices:
        raise SystemExit("no EFA device here: run with --sim")
    with (
        devices[0].open() as ctx,
        ctx.alloc_pd() as pd,
        ctx.create_comp_channel() as channel,
        ctx.create_cq(8) as send_cq,
        ctx.create_cq(8, channel=channel) as recv_cq,
    ):
        qp = pd.create_qp(vantor.QPInitAttr(send_cq, recv_cq)).prepare(QKEY, rnr_retry=7)
        inbox = bytearray(INBOX)
        access = AccessFlags.LOCAL_WRITE | AccessFlags.REMOTE_WRITE
        with qp, reg_buffer(pd, inbox, access) as inbox_mr:
            qp.post_recv(vantor.RecvWR(wr_id=0))  # a write with immediate consumes one

            mine = RankInfo.of(qp, inbox_mr)
            if args.launcher == "mpi":
                # optional: only this launcher needs it
                comm = importlib.import_module("mpi4py.MPI").COMM_WORLD
                rank, size = comm.Get_rank(), comm.Get_size()
                ranks = exchange_mpi(mine, comm)
            else:
                rank, size = int(os.environ["RANK"]), int(os.environ["WORLD_SIZE"])
                ranks = exchange_torch(mine, rank=rank, world_size=size)

            nxt = ranks[(rank + 1) % size]
            greeting = bytearray(f"greetings from rank {rank}".encode().ljust(INBOX, b"."))
            with reg_buffer(pd, greeting, 0) as out_mr, nxt.address.connect(pd) as peer:
                qp.post_send(peer.write_request(1, out_mr, nxt, imm_data=rank))
                wait_completions(send_cq, 1, timeout=60, check=True)
                (wc,) = wait_completions(recv_cq, 1, timeout=60, check=True)
            text = bytes(inbox).rstrip(b".").decode()
            print(f"rank {rank}/{size}: immediate {wc.imm_data}, inbox: {text!r}", flush=True)


if __name__ == "__main__":
    main()
