"""Minimal SRD send/receive: one queue pair sends a message to another.

    python examples/srd_send_recv.py --sim     # on the software EFA device
    python examples/srd_send_recv.py           # on a host with an EFA NIC

Both queue pairs live in this process, but they meet only through the 28-byte
address the receiver publishes: what two processes on two hosts would
exchange over TCP, a key-value store or their job launcher.
"""

from __future__ import annotations

import sys

if "--sim" in sys.argv[1:]:
    import vantor.sim

    vantor.sim.activate()  # before anything loads the native core

import vantor
from vantor.completions import wait_completions
from vantor.enums import SendFlags
from vantor.helpers import PeerAddress, reg_buffer

QKEY = 0x1EFA


def main() -> None:
    devices = vantor.get_efa_device_list()
    if not devices:
        sys.exit("no EFA device here: run with --sim")
    with devices[0].open() as ctx, ctx.alloc_pd() as pd, ctx.create_cq(64) as cq:
        receiver = pd.create_qp(vantor.QPInitAttr(cq, cq)).prepare(QKEY)
        sender = pd.create_qp(vantor.QPInitAttr(cq, cq)).prepare(QKEY)
        inbox = bytearray(256)
        outbox = b"hello over SRD"
        with (
            receiver,
            sender,
            reg_buffer(pd, inbox) as inbox_mr,
            reg_buffer(
                pd,
                outbox,
                access=0,  # bytes are read-only: send-only registration
            ) as outbox_mr,
        ):
            # Receiver: post a receive, then publish where it can be reached.
            receiver.post_recv(vantor.RecvWR(wr_id=1, sg_list=[inbox_mr.sge()]))
            wire = PeerAddress.of(receiver).encode()
            print(f"receiver address: {wire.hex()}")

            # Sender: turn the address into a destination and send to it.
            with PeerAddress.decode(wire).connect(pd) as peer:
                send = vantor.SendWR(
                    wr_id=2, sg_list=[outbox_mr.sge()], send_flags=SendFlags.SIGNALED, dest=peer
                )
                sender.post_send(send)
                completions = wait_completions(cq, 2, timeout=5.0, check=True)

        received = next(wc for wc in completions if wc.wr_id == 1)
        text = bytes(inbox[: received.byte_len]).decode()
        print(f"received {received.byte_len} bytes from QP {received.src_qp}: {text!r}")


if __name__ == "__main__":
    main()
