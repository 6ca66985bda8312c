"""One thread posting while another busy-polls, the shape of a pipeline.
The poller never sleeps: each of its polls hands the interpreter lock over
and takes it straight back, and it must not keep the poster from running
(the poster waits for credits on a semaphore, which the poller gives back
as completions arrive). Every message arrives once, in order."""

from __future__ import annotations

import faulthandler
import threading

from completion_helpers import Link, Waiter

import vantor._vantor as v

QKEY = 0x11111111
SIGNALED = 2


def test_poster_and_busy_poller_complete_every_message(sim):
    ctx = v.get_efa_device_list()[0].open()
    batch, depth, rounds = 8, 64, 150
    total = batch * rounds
    send_cq, recv_cq = ctx.create_cq_ex(2 * depth), ctx.create_cq(2 * depth)
    link = Link(ctx, send_cq, recv_cq)
    link.receiver.post_recv([v.RecvWR(i, [link.dst_mr.sge(64, 64 * i)]) for i in range(depth)])
    credits = threading.Semaphore(depth // batch)

    def poster():
        for r in range(rounds):
            credits.acquire()
            link.sender.post_send(
                [
                    v.SendWR(
                        r * batch + k,
                        [link.src_mr.sge(8)],
                        send_flags=SIGNALED,
                        ah=link.ah,
                        remote_qpn=link.receiver.qp_num,
                        remote_qkey=QKEY,
                    )
                    for k in range(batch)
                ]
            )

    def poller():
        sent, received, returned = [], [], 0
        while len(sent) < total or len(received) < total:
            got = recv_cq.poll(batch)
            if got:
                # Each receive goes back to the queue under its own slot.
                link.receiver.post_recv(
                    [v.RecvWR(wc.wr_id, [link.dst_mr.sge(64, 64 * wc.wr_id)]) for wc in got]
                )
                received += got
            sent += send_cq.poll(batch)
            while min(len(sent), len(received)) - returned >= batch:
                returned += batch
                credits.release()
        return sent, received

    faulthandler.dump_traceback_later(120, exit=True)
    try:
        workers = [Waiter(poster), Waiter(poller)]
        for worker in workers:
            worker.start()
        workers[0].outcome(90)
        sent, received = workers[1].outcome(90)
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert [wc.wr_id for wc in sent] == list(range(total))
    assert all(wc.status == 0 for wc in sent + received)
    assert len(received) == total and all(wc.byte_len == 8 for wc in received)
    assert sim.call_count("wr_complete") == rounds
