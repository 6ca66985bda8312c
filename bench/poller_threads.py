"""A producer / poller / consumer pipeline: a busy polling thread against one
that waits with vantor.completions.wait_completions(yield_gil=True).

    PYTHONPATH=src python3 bench/poller_threads.py [--mib 512] [--repeat 5]

The producer RDMA-writes 1 MiB chunks (at most `--depth` in flight), the
poller takes their completions and hands them to the consumer through a
queue, the consumer does a little Python work per chunk and gives the
producer its credit back. With a busy poller the other two threads rarely
get the interpreter lock; a poller that hands it over after every empty poll
lets the pipeline run at the speed of its slowest real stage. Prints the best
and median time of each kind over `--repeat` runs, on the software device.
"""

from __future__ import annotations

import argparse
import mmap
import queue
import statistics
import threading
import time

import vantor.sim

vantor.sim.activate()

import vantor  # noqa: E402
from vantor.completions import wait_completions  # noqa: E402
from vantor.helpers import PeerAddress, reg_buffer  # noqa: E402

CHUNK = 1 << 20
QKEY = 0x1EFA


def pipeline(ctx: object, chunks: int, depth: int, busy: bool) -> float:
    with (
        ctx.alloc_pd() as pd,  # type: ignore[attr-defined]
        ctx.create_comp_channel() as channel,  # type: ignore[attr-defined]
        ctx.create_cq(depth, channel=channel) as cq,  # type: ignore[attr-defined]
        ctx.create_cq(4) as rcq,  # type: ignore[attr-defined]
    ):
        src_buf, dst_buf = mmap.mmap(-1, CHUNK), mmap.mmap(-1, CHUNK)
        sender = pd.create_qp(vantor.QPInitAttr(cq, cq, max_send_wr=depth)).prepare(QKEY)
        target = pd.create_qp(vantor.QPInitAttr(rcq, rcq)).prepare(QKEY)
        with (
            sender,
            target,
            reg_buffer(pd, src_buf) as src,
            reg_buffer(pd, dst_buf) as dst,
            PeerAddress.of(target).connect(pd) as peer,
        ):
            wr = peer.write_request(0, src, dst)
            credits = threading.Semaphore(depth)
            handed: queue.SimpleQueue[object] = queue.SimpleQueue()

            def producer() -> None:
                for _ in range(chunks):
                    credits.acquire()
                    sender.post_send(wr)

            def poller() -> None:
                got = 0
                while got < chunks:
                    if busy:
                        wcs = cq.poll(16)
                    else:
                        wcs = wait_completions(cq, 1, timeout=60, spin=1e-4, yield_gil=True)
                    for wc in wcs:
                        wc.raise_for_status()
                        handed.put(wc)
                    got += len(wcs)

            def consumer() -> None:
                for _ in range(chunks):
                    handed.get()
                    sum(range(2000))  # the Python work each chunk costs downstream
                    credits.release()

            threads = [threading.Thread(target=f) for f in (producer, poller, consumer)]
            start = time.perf_counter()
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--mib", type=int, default=512)
    parser.add_argument("--depth", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    times: dict[str, list[float]] = {"busy poller": [], "yielding poller": []}
    with vantor.get_efa_device_list()[0].open() as ctx:
        for _ in range(args.repeat):  # interleaved, so load changes hit both alike
            times["busy poller"].append(pipeline(ctx, args.mib, args.depth, busy=True))
            times["yielding poller"].append(pipeline(ctx, args.mib, args.depth, busy=False))
    for name, values in times.items():
        print(
            f"{name:16s} {args.mib} MiB: best {min(values):.3f} s, "
            f"median {statistics.median(values):.3f} s"
        )


if __name__ == "__main__":
    main()
