"""The measured loops: vantor's and pyverbs', written as an application would.

Each ``*Messages`` class owns two SRD queue pairs on the first (simulated)
device, each with its own completion queue, and one registered buffer. One
round posts a batch of 64-byte SENDs from the first queue pair to the second,
takes the receiver's completions, reposts the receives and takes the
sender's completions, exactly like ``vb_messages`` in native.cpp.

``run(rounds)`` returns the nanoseconds of the whole loop; ``run_step``
times one of the four steps only (per-call costs). Resources are built once
per object, outside every timed region.
"""

from __future__ import annotations

import ctypes
import types
from time import perf_counter_ns
from typing import Any

QKEY = 0x11
MSG = 64
SIGNALED = 2  # IBV_SEND_SIGNALED
WR_RDMA_WRITE = 0  # IBV_WR_RDMA_WRITE
OPS_RDMA_WRITE = 1  # IBV_QP_EX_WITH_RDMA_WRITE
OPS_SEND = 4  # IBV_QP_EX_WITH_SEND
ACCESS_ALL = 1 | 2 | 4  # LOCAL_WRITE | REMOTE_WRITE | REMOTE_READ

POST_SEND, POLL_RECV, POST_RECV, POLL_SEND = 1, 2, 4, 8
STEP_NAMES = {
    POST_SEND: "post_send",
    POLL_RECV: "poll (receiver)",
    POST_RECV: "post_recv",
    POLL_SEND: "poll (sender)",
}


def timer_overhead_ns(samples: int = 200_000) -> float:
    """What one ``perf_counter_ns()`` pair around nothing costs, in ns."""
    best = float("inf")
    for _ in range(3):
        total = 0
        for _ in range(samples):
            t0 = perf_counter_ns()
            total += perf_counter_ns() - t0
        best = min(best, total / samples)
    return best


class _VantorPair:
    """Two SRD queue pairs on the first device, each with its own completion
    queue, one registered buffer and an address handle to this device."""

    def _open(
        self, v: Any, buf_size: int, cqe: int, depth: int, ops: int, extended: bool = False
    ) -> None:
        self.ctx = v.get_efa_device_list()[0].open()
        self.pd = self.ctx.alloc_pd()
        self._buf = ctypes.create_string_buffer(buf_size)
        self.mr = self.pd.reg_mr(ctypes.addressof(self._buf), buf_size, ACCESS_ALL)
        create_cq = self.ctx.create_cq_ex if extended else self.ctx.create_cq
        self.cqs = [create_cq(cqe), create_cq(cqe)]
        self.qps = [
            self.pd.create_qp(
                v.QPInitAttr(c, c, max_send_wr=depth, max_recv_wr=depth, send_ops_flags=ops)
            ).prepare(QKEY)
            for c in self.cqs
        ]
        self.ah = self.pd.create_ah(self.ctx.query_gid())

    def _messages(self, v: Any, batch: int, receives: int) -> None:
        """``batch`` SENDs from the first queue pair to the second, and
        ``receives`` receives, posted on the second."""
        send_sge = v.SGE(self.mr, MSG)
        recv_sge = v.SGE(self.mr, MSG, offset=4096)
        dest = self.qps[1].qp_num
        self.sends = [
            v.SendWR(
                i, [send_sge], send_flags=SIGNALED, ah=self.ah, remote_qpn=dest, remote_qkey=QKEY
            )
            for i in range(batch)
        ]
        self.recvs = [v.RecvWR(i, [recv_sge]) for i in range(receives)]
        self.qps[1].post_recv(self.recvs)

    def close(self) -> None:
        for obj in (self.ah, *self.qps, self.mr, *self.cqs, self.pd, self.ctx):
            obj.close()


class InterpreterFloor:
    """The message loop of ``VantorMessages.run`` with every call a built-in
    that does next to nothing (``post_send``/``post_recv`` are ``id``,
    ``poll_into(wcs)`` is ``len``, which reports the whole list filled):
    what the interpreter alone costs per round, the part of a Python
    binding's overhead that no binding removes."""

    def __init__(self, batch: int) -> None:
        self.batch = batch
        queue = types.SimpleNamespace(post_send=id, post_recv=id)
        completions = types.SimpleNamespace(poll_into=len)
        self.qps = [queue, queue]
        self.cqs = [completions, completions]
        self.sends = [object()] * batch
        self.recvs = [object()] * batch
        self.wcs = [None] * batch

    def run(self, rounds: int) -> int:
        return VantorMessages.run(self, rounds)  # type: ignore[arg-type]


class VantorMessages(_VantorPair):
    """The message loop. ``run`` polls into one list of ``WC`` objects that
    every poll reuses (``poll_into``), as the C++ loop reads every completion
    into one array that every poll reuses; ``run_step`` and ``check`` take
    new lists (``poll``)."""

    def __init__(self, v: Any, batch: int, extended: bool) -> None:
        self.batch = batch
        depth = 2 * batch
        self._open(v, 8192, 4 * depth, depth, OPS_SEND, extended)
        self._messages(v, batch, batch)
        self.wcs = [v.WC() for _ in range(batch)]

    def run(self, rounds: int) -> int:
        sender, receiver = self.qps
        scq, rcq = self.cqs
        sends, recvs, wcs, b = self.sends, self.recvs, self.wcs, self.batch
        t0 = perf_counter_ns()
        for _ in range(rounds):
            sender.post_send(sends)
            n = rcq.poll_into(wcs)
            while n < b:
                n += rcq.poll_into(wcs, b - n)
            receiver.post_recv(recvs)
            n = scq.poll_into(wcs)
            while n < b:
                n += scq.poll_into(wcs, b - n)
        return perf_counter_ns() - t0

    def run_step(self, rounds: int, step: int) -> int:
        sender, receiver = self.qps
        scq, rcq = self.cqs
        sends, recvs, b = self.sends, self.recvs, self.batch
        spent = 0
        for _ in range(rounds):
            t0 = perf_counter_ns()
            sender.post_send(sends)
            t1 = perf_counter_ns()
            got = rcq.poll(b)
            t2 = perf_counter_ns()
            receiver.post_recv(recvs)
            t3 = perf_counter_ns()
            done = scq.poll(b)
            t4 = perf_counter_ns()
            if len(got) != b or len(done) != b:
                raise RuntimeError("the simulator did not complete a batch synchronously")
            spent += {
                POST_SEND: t1 - t0,
                POLL_RECV: t2 - t1,
                POST_RECV: t3 - t2,
                POLL_SEND: t4 - t3,
            }[step]
            # The completions are released here, outside the timed calls.
            del got, done
        return spent

    def check(self) -> None:
        """One more round, every completion checked."""
        self.qps[0].post_send(self.sends)
        got = self.cqs[1].poll(self.batch)
        self.qps[1].post_recv(self.recvs)
        done = self.cqs[0].poll(self.batch)
        for wc in got + done:
            wc.raise_for_status()
        if len(got) != self.batch or len(done) != self.batch:
            raise RuntimeError(f"expected {self.batch} completions per queue")
        if any(wc.byte_len != MSG for wc in got):
            raise RuntimeError("received messages have the wrong length")
        # And one round of run()'s polls.
        b, wcs = self.batch, self.wcs
        self.qps[0].post_send(self.sends)
        got_n = self.cqs[1].poll_into(wcs)
        received = [(wc.status, wc.byte_len) for wc in wcs[:got_n]]
        self.qps[1].post_recv(self.recvs)
        done_n = self.cqs[0].poll_into(wcs)
        for wc in wcs[:done_n]:
            wc.raise_for_status()
        if (got_n, done_n) != (b, b) or received != [(0, MSG)] * b:
            raise RuntimeError("poll_into did not take a whole batch of good messages")


class VantorPipeline(_VantorPair):
    """The message loop split over two threads, as a pipeline would: one
    thread posts the SENDs, the other takes both queues' completions and
    reposts the receives. The poster holds at most ``depth`` messages in
    flight: it takes a credit per batch from a semaphore that the poller
    gives back once the batch's send completions are in. The poller never
    waits: it polls in a loop, as a thread serving a queue does.

    ``run(rounds)`` returns the nanoseconds for ``rounds`` batches and
    records in ``max_gap_ns`` the longest time between two consecutive
    posts of the poster (how long the poller kept it out)."""

    def __init__(self, v: Any, batch: int, depth: int) -> None:
        self.batch = batch
        self.depth = depth
        self._open(v, 8192, 2 * depth, depth, OPS_SEND, extended=True)
        self._messages(v, batch, depth)
        self.max_gap_ns = 0

    def run(self, rounds: int) -> int:
        import threading

        sender, receiver = self.qps
        scq, rcq = self.cqs
        sends, recvs, b = self.sends, self.recvs, self.batch
        credits = threading.Semaphore(self.depth // b)
        gaps = [0]
        failure: list[BaseException] = []

        def poster() -> None:
            try:
                last = perf_counter_ns()
                gap = 0
                for _ in range(rounds):
                    credits.acquire()
                    sender.post_send(sends)
                    now = perf_counter_ns()
                    gap = max(gap, now - last)
                    last = now
                gaps[0] = gap
            except BaseException as exc:  # reported by run()
                failure.append(exc)

        def poller() -> None:
            try:
                total = rounds * b
                received = completed = returned = 0
                while (completed < total or received < total) and not failure:
                    got = rcq.poll(b)
                    if got:
                        receiver.post_recv(recvs[: len(got)])
                        received += len(got)
                    completed += len(scq.poll(b))
                    # A batch's credit comes back once both its ends are done.
                    while min(received, completed) - returned >= b:
                        returned += b
                        credits.release()
            except BaseException as exc:
                failure.append(exc)

        threads = [threading.Thread(target=poster), threading.Thread(target=poller)]
        t0 = perf_counter_ns()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        elapsed = perf_counter_ns() - t0
        if failure:
            raise failure[0]
        self.max_gap_ns = gaps[0]
        return elapsed


def lock_ping_pong(rounds: int) -> int:
    """Nanoseconds for ``rounds`` round trips of a lock hand-over between two
    Python threads: each round trip is two hand-overs of the interpreter
    lock, each a wake-up of a sleeping thread, the step a pipeline of
    threads pays whenever one must wait for the other."""
    import threading

    mine, theirs = threading.Lock(), threading.Lock()
    mine.acquire()
    theirs.acquire()

    def other() -> None:
        for _ in range(rounds):
            mine.acquire()
            theirs.release()

    t = threading.Thread(target=other)
    t.start()
    t0 = perf_counter_ns()
    for _ in range(rounds):
        mine.release()
        theirs.acquire()
    elapsed = perf_counter_ns() - t0
    t.join()
    return elapsed


class VantorWrites(_VantorPair):
    """RDMA_WRITE of ``size`` bytes in batches, first half of a buffer to the second."""

    def __init__(self, v: Any, size: int, batch: int) -> None:
        self.batch = batch
        self._open(v, 2 * size, 8 * batch, 2 * batch, OPS_RDMA_WRITE)
        base = ctypes.addressof(self._buf)
        sge = v.SGE(self.mr, size)
        self.writes = [
            v.SendWR(
                i,
                [sge],
                opcode=WR_RDMA_WRITE,
                send_flags=SIGNALED,
                remote_addr=base + size,
                rkey=self.mr.rkey,
                ah=self.ah,
                remote_qpn=self.qps[1].qp_num,
                remote_qkey=QKEY,
            )
            for i in range(batch)
        ]

    def run(self, rounds: int) -> int:
        sender, cq, writes, b = self.qps[0], self.cqs[0], self.writes, self.batch
        t0 = perf_counter_ns()
        for _ in range(rounds):
            sender.post_send(writes)
            n = len(cq.poll(b))
            while n < b:
                n += len(cq.poll(b - n))
        return perf_counter_ns() - t0

    def check(self) -> None:
        self.qps[0].post_send(self.writes)
        for wc in self.cqs[0].poll(self.batch):
            wc.raise_for_status()


class PyverbsMessages:
    """The same message loop through pyverbs' API.

    pyverbs posts sends through the extended interface one call per verb
    (``wr_start``, per request ``wr_id``/``wr_flags``/``wr_send``/
    ``wr_set_ud_addr``/``wr_set_sge``, ``wr_complete``), receives as a chain
    of ``RecvWR`` and polls a classic CQ with ``CQ.poll`` or an extended one
    with ``start_poll``/``poll_next``/``end_poll``, reading the same fields
    vantor's ``WC`` carries.
    """

    def __init__(self, batch: int, extended: bool) -> None:
        import pyverbs.enums as e
        import pyverbs.providers.efa.efadv as efa
        from pyverbs.addr import AH, AHAttr, GlobalRoute
        from pyverbs.cq import CQ, CqInitAttrEx
        from pyverbs.mr import MR
        from pyverbs.pd import PD
        from pyverbs.qp import QPAttr, QPCap, QPInitAttrEx
        from pyverbs.wr import SGE, RecvWR

        self.batch = batch
        self.extended = extended
        depth = 2 * batch
        self.ctx = efa.EfaContext(name=self._first_device())
        self.pd = PD(self.ctx)
        self.mr = MR(self.pd, 8192, e.IBV_ACCESS_LOCAL_WRITE)

        def cq() -> Any:
            if not extended:
                return CQ(self.ctx, 4 * depth)
            attr = CqInitAttrEx(cqe=4 * depth, wc_flags=e.IBV_WC_STANDARD_FLAGS)
            return efa.EfaCQ(self.ctx, attr, efa.EfaDVCQInitAttr())

        self.cqs = [cq(), cq()]
        self.qps = []
        for c in self.cqs:
            init = QPInitAttrEx(
                qp_type=e.IBV_QPT_DRIVER,
                scq=c,
                rcq=c,
                cap=QPCap(depth, depth, 1, 1),
                pd=self.pd,
                comp_mask=e.IBV_QP_INIT_ATTR_PD | e.IBV_QP_INIT_ATTR_SEND_OPS_FLAGS,
                send_ops_flags=e.IBV_QP_EX_WITH_SEND,
            )
            qp = efa.SRDQPEx(self.ctx, init, efa.EfaQPInitAttr())
            attr = QPAttr(qp_state=e.IBV_QPS_INIT, port_num=1)
            attr.qkey = QKEY
            attr.pkey_index = 0
            qp.modify(attr, e.IBV_QP_STATE | e.IBV_QP_PKEY_INDEX | e.IBV_QP_PORT | e.IBV_QP_QKEY)
            qp.modify(QPAttr(qp_state=e.IBV_QPS_RTR), e.IBV_QP_STATE)
            attr = QPAttr(qp_state=e.IBV_QPS_RTS)
            attr.sq_psn = 0
            qp.modify(attr, e.IBV_QP_STATE | e.IBV_QP_SQ_PSN)
            self.qps.append(qp)
        gid = self.ctx.query_gid(1, 0)
        self.ah = AH(self.pd, attr=AHAttr(gr=GlobalRoute(dgid=gid), is_global=1, port_num=1))
        self.send_sge = SGE(self.mr.buf, MSG, self.mr.lkey)
        # pyverbs keeps no reference to next_wr: the chain is kept alive here.
        self._chain = []
        head = None
        for i in reversed(range(batch)):
            head = RecvWR(
                wr_id=i, num_sge=1, sg=[SGE(self.mr.buf + 4096, MSG, self.mr.lkey)], next_wr=head
            )
            self._chain.append(head)
        self.recv_head = head
        self.qps[1].post_recv(head)
        if extended:
            from pyverbs.cq import PollCqAttr

            self.poll_attr = PollCqAttr()

    @staticmethod
    def _first_device() -> str:
        from pyverbs.device import get_device_list

        return get_device_list()[0].name.decode()

    def _poll_ex(self, cq: Any, n: int) -> list[tuple[int, ...]]:
        out = []
        cq.start_poll(self.poll_attr)
        while True:
            out.append(
                (
                    cq.wr_id,
                    cq.status,
                    cq.read_opcode(),
                    cq.read_vendor_err(),
                    cq.read_byte_len(),
                    cq.read_imm_data(),
                    cq.read_qp_num(),
                    cq.read_src_qp(),
                    cq.read_wc_flags(),
                )
            )
            if len(out) == n:
                break
            cq.poll_next()
        cq.end_poll()
        return out

    def run(self, rounds: int) -> int:
        sender, receiver = self.qps
        scq, rcq = self.cqs
        b, ah, dest, sge, head = (
            self.batch,
            self.ah,
            self.qps[1].qp_num,
            self.send_sge,
            self.recv_head,
        )
        poll_ex = self._poll_ex
        extended = self.extended
        t0 = perf_counter_ns()
        for _ in range(rounds):
            sender.wr_start()
            for i in range(b):
                sender.wr_id = i
                sender.wr_flags = SIGNALED
                sender.wr_send()
                sender.wr_set_ud_addr(ah, dest, QKEY)
                sender.wr_set_sge(sge)
            sender.wr_complete()
            if extended:
                got = len(poll_ex(rcq, b))
                receiver.post_recv(head)
                done = len(poll_ex(scq, b))
            else:
                got = rcq.poll(b)[0]
                receiver.post_recv(head)
                done = scq.poll(b)[0]
            if got != b or done != b:
                raise RuntimeError("the simulator did not complete a batch synchronously")
        return perf_counter_ns() - t0

    def check(self) -> None:
        self.run(1)

    def close(self) -> None:
        for obj in (self.ah, *self.qps, self.mr, *self.cqs, self.pd, self.ctx):
            obj.close()
