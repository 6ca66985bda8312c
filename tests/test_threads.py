"""Threads: posting, polling, waiting on channels and closing objects from
several threads at once. The interpreter lock is released inside posting,
polling, memory registration and the two waits; an object closed or dropped
while another thread is inside such a call on it must never be freed under
that thread (close() refuses with EBUSY instead)."""

from __future__ import annotations

import ctypes
import errno
import faulthandler
import gc
import os
import sys
import threading
import time
import types
import weakref

import pytest
from completion_helpers import Link, Waiter, expect_efa_error, wait_until

import vantor._vantor as v
from conftest import QKEY
from vantor.enums import SendFlags

EBUSY = errno.EBUSY


@pytest.fixture
def long_switch_interval():
    """Keeps this thread on the interpreter lock until it blocks."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(100)
    yield
    sys.setswitchinterval(old)


def run_threads(*fns, limit: float = 60.0):
    """Runs each function on its own thread; returns their results, or
    re-raises a failure (a thread that failed explains one that hangs)."""
    workers = [Waiter(fn) for fn in fns]
    for worker in workers:
        worker.start()
    deadline = time.monotonic() + limit
    while any(worker.is_alive() for worker in workers) and time.monotonic() < deadline:
        for worker in workers:
            if worker.error is not None:
                raise worker.error
        time.sleep(0.01)
    return [worker.outcome(0) for worker in workers]


def drain(cq, wanted: int, limit: float = 30.0) -> list:
    got = []
    deadline = time.monotonic() + limit
    while len(got) < wanted:
        batch = cq.poll(16)
        if not batch:
            # Give way: where threads take turns on one core (valgrind), a
            # poller that only spins keeps the senders from running at all.
            time.sleep(0.0005)
        got += batch
        if time.monotonic() > deadline:
            pytest.fail(f"{len(got)} of {wanted} completions arrived")
    return got


def spin(seconds: float) -> None:
    """Busy-waits without releasing the interpreter lock."""
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass


def deliver_holding_the_lock(sim) -> None:
    """Delivers the requests the simulator holds without releasing the
    interpreter lock (vantor.sim's own calls release it), so that another
    thread can take the resulting events but cannot run Python code yet."""
    lib = ctypes.PyDLL(os.path.join(sim.lib_dir(), "libibverbs.so.1"))
    lib.vsim_release.argtypes = [ctypes.c_int]
    lib.vsim_release.restype = ctypes.c_int
    assert lib.vsim_release(0) >= 1
    spin(0.05)  # the other thread takes the event meanwhile


# ---- stress: posting, polling and waiting together -----------------------------


def test_senders_pollers_and_an_event_waiter(sim, ctx):
    """Four sender threads post batches to one receiver, a poller collects
    the send completions, and an event-driven thread collects the receives
    through the channel; every message arrives exactly once."""
    senders, batches, batch = 4, 8, 3  # the receive queue holds 128
    total = senders * batches * batch
    channel = ctx.create_comp_channel()
    recv_cq = ctx.create_cq(total + 16, channel=channel)
    send_cq = ctx.create_cq(total + 16)
    link = Link(ctx, send_cq, recv_cq)
    link.receiver.post_recv(
        [v.RecvWR(wr_id=i, sg_list=[link.dst_mr.sge(16, 16 * (i % 200))]) for i in range(total)]
    )
    qps = [link.send_pd.create_qp(v.QPInitAttr(send_cq, send_cq)) for _ in range(senders)]
    for qp in qps:
        qp.prepare(QKEY)

    def sender(index):
        def run():
            qp = qps[index]
            for b in range(batches):
                wrs = [
                    v.SendWR(
                        wr_id=(index * batches + b) * batch + k,
                        sg_list=[link.src_mr.sge(16)],
                        send_flags=SendFlags.SIGNALED,
                        ah=link.ah,
                        remote_qpn=link.receiver.qp_num,
                        remote_qkey=QKEY,
                    )  # fmt: skip
                    for k in range(batch)
                ]
                qp.post_send(wrs)

        return run

    def receiver():
        got = []
        recv_cq.req_notify()
        while True:
            # What arrived before the queue was armed raises no event: the
            # queue is emptied before each wait, however much came meanwhile.
            while batch := recv_cq.poll(32):
                got += batch
            if len(got) >= total:
                return got
            assert channel.get_cq_event() is recv_cq
            recv_cq.ack_events()
            recv_cq.req_notify()

    def poller():
        return drain(send_cq, total)

    results = run_threads(receiver, poller, *(sender(i) for i in range(senders)))
    received, sent = results[0], results[1]
    assert all(wc.is_success for wc in received + sent)
    assert sorted(wc.wr_id for wc in sent) == list(range(total))
    assert len(received) == total
    # Nothing is left in flight: everything closes.
    for obj in (*qps, link.sender, link.receiver, link.ah, link.src_mr, link.dst_mr):
        obj.close()
    for obj in (link.send_pd, link.recv_pd, send_cq, recv_cq, channel, ctx):
        obj.close()


@pytest.mark.parametrize("kind", ["cq", "cq_ex"])
def test_threads_polling_one_queue_share_its_completions(sim, ctx, kind):
    total = 400
    create = ctx.create_cq if kind == "cq" else ctx.create_cq_ex
    cq = create(total + 16)
    send_cq = ctx.create_cq(total + 16)
    link = Link(ctx, send_cq, cq)
    for start in range(0, total, 50):
        link.send_many(range(start, start + 50))
        # A send-queue slot comes back only when its completion is polled.
        assert len(drain(send_cq, 50)) == 50
    results = []
    lock = threading.Lock()

    def poller():
        while True:
            wcs = cq.poll(3)
            with lock:
                results.append(wcs)
                if not wcs and sum(map(len, results)) >= total:
                    return

    # Each completion is handed to exactly one thread.
    run_threads(*(poller for _ in range(4)))
    polled = [wc.wr_id for part in results for wc in part]
    assert sorted(polled) == list(range(total))


def test_threads_posting_to_one_queue_pair(sim, ctx):
    """Batches from several threads on one QP: each is all or nothing."""
    send_cq = ctx.create_cq(1024)
    link = Link(ctx, send_cq, ctx.create_cq(1024))
    link.post_recv(0, 60)
    accepted = []
    lock = threading.Lock()

    def sender(index):
        def run():
            for b in range(5):
                base = (index * 5 + b) * 3
                wrs = [link._wr(base + k, 8, None) for k in range(3)]
                try:
                    link.sender.post_send(wrs)
                except v.EfaError as e:  # a full send queue refuses the whole batch
                    assert e.operation == "ibv_wr_complete"
                    continue
                with lock:
                    accepted.extend(wr.wr_id for wr in wrs)

        return run

    run_threads(*(sender(i) for i in range(4)))
    done = drain(send_cq, len(accepted))
    assert sorted(wc.wr_id for wc in done) == sorted(accepted)
    assert all(wc.is_success for wc in done)
    assert send_cq.poll(16) == []


# ---- closing while another thread is inside a call ------------------------------


def test_close_races_with_posting_and_polling(sim, ctx):
    """close() from one thread while others post and poll: it either
    refuses (EBUSY, or the provider's refusal) or wins, and then the others
    see "is closed"; nothing is freed under a running call."""
    send_cq = ctx.create_cq_ex(256)
    link = Link(ctx, send_cq, ctx.create_cq(256))  # no receives: the sends fail (RNR)
    stop = threading.Event()
    outcomes = {"post": set(), "poll": set()}

    def post():
        while not stop.is_set():
            try:
                link.sender.post_send([link._wr(1, 8, None)])
            except v.EfaError as e:
                outcomes["post"].add((e.operation, e.errno))
                if e.operation == "queue pair is closed":
                    return

    def poll():
        while not stop.is_set():
            try:
                send_cq.poll(8)
            except v.EfaError as e:
                outcomes["poll"].add((e.operation, e.errno))
                return

    def closer():
        try:
            for target in (link.sender, send_cq):
                for _ in range(10000):
                    try:
                        target.close()
                        break
                    except v.EfaError as e:
                        assert e.errno == EBUSY, e
        finally:
            stop.set()

    run_threads(post, poll, closer)
    assert outcomes["post"] <= {
        ("queue pair is closed", errno.EBADF),
        ("ibv_wr_complete", errno.ENOMEM),
        ("ibv_wr_complete", errno.EINVAL),
    }
    assert outcomes["poll"] <= {("completion queue is closed", errno.EBADF)}


def test_pd_close_races_with_registration(sim, ctx):
    pd = ctx.alloc_pd()
    buf = ctypes.create_string_buffer(1 << 16)
    stop = threading.Event()
    seen = set()

    def register():
        while not stop.is_set():
            try:
                pd.reg_mr(ctypes.addressof(buf), 1 << 16, 1).close()
            except v.EfaError as e:
                seen.add(e.operation)
                return

    def closer():
        try:
            for _ in range(2000):
                try:
                    pd.close()
                    return
                except v.EfaError as e:  # a registration in flight, or one just made
                    assert (e.operation, e.errno) == ("ibv_dealloc_pd", EBUSY)
        finally:
            stop.set()

    run_threads(register, closer)
    assert seen <= {"pd is closed"}
    pd.close()
    ctx.close()


class TestChannelWaiter:
    """A thread blocked in get_cq_event() on a channel, and the queues of
    that channel closed or dropped meanwhile."""

    @pytest.fixture
    def t(self, sim, ctx):
        """The objects, as attributes that a test can delete."""
        t = types.SimpleNamespace(sim=sim, ctx=ctx)
        t.channel = ctx.create_comp_channel()
        t.cq = ctx.create_cq(16, channel=t.channel)
        t.other = ctx.create_cq_ex(16, channel=t.channel)
        t.link = Link(ctx, ctx.create_cq(16), t.cq)
        t.link_send_cq = t.link.sender.send_cq  # only t.cq goes with t.link
        t.other_link = Link(ctx, ctx.create_cq(16), t.other)
        t.waiter = Waiter(t.channel.get_cq_event)
        t.waiter.start()
        wait_until(lambda: sim.call_count("ibv_get_cq_event") == 1, "the waiter to block")
        return t

    def wake(self, t):
        """Ends the wait with an event of the other queue."""
        t.other.req_notify()
        t.other_link.send(1)
        assert t.waiter.outcome() is t.other
        t.other.ack_events()

    def drop_cq(self, t):
        """Drops every reference to ``t.cq`` (its QP holds it even closed)."""
        t.link.receiver.close()
        del t.cq, t.link
        gc.collect()

    def test_closing_a_queue_of_the_channel_is_refused(self, t):
        with pytest.raises(v.EfaError) as info:
            t.cq.close()
        expect_efa_error(info, "ibv_destroy_cq", EBUSY)
        assert t.sim.call_count("ibv_destroy_cq") == 0
        self.wake(t)
        t.link.receiver.close()
        t.cq.close()  # nobody waits any more

    def test_dropping_a_queue_defers_its_destruction(self, t):
        cqs = t.sim.live_objects()["cq"]
        self.drop_cq(t)
        assert t.sim.live_objects()["cq"] == cqs  # the waiter may hold its events
        self.wake(t)
        # The waiter is gone: the dropped queue was destroyed and uncounted.
        assert t.sim.live_objects()["cq"] == cqs - 1
        ctx = t.ctx
        t.__dict__.clear()
        gc.collect()
        ctx.close()

    def test_event_of_a_queue_dropped_after_the_event_was_taken(self, t, long_switch_interval):
        """The waiter has taken the event of a queue (in native code) but
        not yet the interpreter lock when the queue is dropped: it must not
        come back with the freed object; it acknowledges the event and
        waits on."""
        t.cq.req_notify()
        cqs = t.sim.live_objects()["cq"]
        t.sim.set_destroy_timeout(30)  # a missed acknowledgement would show as a hang
        t.sim.hold()
        t.link.send(1)
        deliver_holding_the_lock(t.sim)  # the waiter takes the event, not the lock
        self.drop_cq(t)
        # (The waiter may run as soon as this thread lets go of the lock,
        # say in a finalizer, and then destroys the dropped queue itself.)
        self.wake(t)
        assert t.sim.live_objects()["cq"] == cqs - 1

    def test_closing_after_the_event_was_taken_is_refused(self, t, long_switch_interval):
        t.cq.req_notify()
        t.sim.hold()
        t.link.send(1)
        deliver_holding_the_lock(t.sim)
        with pytest.raises(v.EfaError) as info:
            t.cq.close()
        expect_efa_error(info, "ibv_destroy_cq", EBUSY)
        assert t.waiter.outcome() is t.cq
        t.link.receiver.close()
        t.cq.close()  # acknowledges the event the waiter returned
        assert t.sim.call_count("ibv_destroy_cq") == 1

    def test_dropped_queue_with_events_is_acknowledged_before_destroy(self, t):
        t.cq.req_notify()
        t.link.send(1)
        assert t.waiter.outcome() is t.cq  # one event received, not acknowledged
        t.waiter = Waiter(t.channel.get_cq_event)
        t.waiter.start()
        wait_until(lambda: t.sim.call_count("ibv_get_cq_event") == 2, "the waiter to block")
        cqs = t.sim.live_objects()["cq"]
        t.sim.set_destroy_timeout(30)  # a missed acknowledgement would show as a hang
        with t.sim.recording() as log:
            self.drop_cq(t)
            self.wake(t)
        assert t.sim.live_objects()["cq"] == cqs - 1
        fns = log.fns()
        destroy = fns.index("ibv_destroy_cq")
        dropped = log[destroy]["cq"]
        acked = [c["cq"] for c in log[:destroy] if c["fn"] == "ibv_ack_cq_events"]
        assert dropped in acked  # its event, acknowledged before the destroy

    def test_dropping_the_channel_keeps_it_for_the_waiter(self, sim, t):
        waiter, cq, link = t.waiter, t.cq, t.link
        channel = weakref.ref(t.channel) if hasattr(t.channel, "__weakref__") else None
        del t.channel, t.cq, t.other, t.other_link, t.waiter  # the waiting call holds the channel
        gc.collect()
        cq.req_notify()
        link.send(1)
        assert waiter.outcome() is cq
        cq.ack_events()
        assert cq.channel.fd >= 0 and (channel is None or channel() is cq.channel)


def test_many_waiters_on_one_channel(sim, ctx):
    channel = ctx.create_comp_channel()
    cqs = [ctx.create_cq(8, channel=channel) for _ in range(4)]
    links = [Link(ctx, ctx.create_cq(8), cq) for cq in cqs]
    waiters = [Waiter(channel.get_cq_event) for _ in cqs]
    for waiter in waiters:
        waiter.start()
    wait_until(lambda: sim.call_count("ibv_get_cq_event") == len(waiters), "the waiters to block")
    with pytest.raises(v.EfaError):
        channel.close()
    for cq, link in zip(cqs, links):
        cq.req_notify()
        link.send(1)
    got = [waiter.outcome() for waiter in waiters]
    assert sorted(map(id, got)) == sorted(map(id, cqs))
    for cq in cqs:
        cq.ack_events()


def test_async_event_waiter_and_closing_the_context(sim, ctx):
    waiter = Waiter(ctx.get_async_event)
    waiter.start()
    wait_until(lambda: sim.call_count("ibv_get_async_event") == 1, "the waiter to block")
    for _ in range(3):
        with pytest.raises(v.EfaError) as info:
            ctx.close()
        expect_efa_error(info, "ibv_close_device", EBUSY)
    sim.post_port_event(9, async_fd=ctx.async_fd)
    event = waiter.outcome()
    assert event.event_type == 9
    ctx.ack_async_event(event)
    ctx.close()


def test_objects_made_and_dropped_on_many_threads(sim, ctx):
    """Each thread builds and drops its own tree of objects on a shared
    context; the context's child count ends where it started."""

    def worker():
        for _ in range(20):
            pd = ctx.alloc_pd()
            channel = ctx.create_comp_channel()
            cq = ctx.create_cq_ex(8, channel=channel)
            qp = pd.create_qp(v.QPInitAttr(cq, cq))
            qp.prepare(QKEY)
            buf = ctypes.create_string_buffer(64)
            mr = pd.reg_mr(ctypes.addressof(buf), 64, 1)
            qp.post_recv(v.RecvWR(1, [mr.sge()]))
            cq.poll(4)
            del qp, mr, cq, channel, pd

    run_threads(*(worker for _ in range(4)))
    gc.collect()
    ctx.close()  # nothing left counted


# ---- a thread kept inside a call: what the others may do meanwhile ------------


class Parked:
    """A thread inside one of the calls that run without the interpreter
    lock, kept there by the simulator (the call waits at its native entry
    point) until resumed."""

    def __init__(self, sim, fn: str, call):
        self.sim, self.fn = sim, fn
        sim.pause(fn)
        self.waiter = Waiter(call)
        # A call that kept the interpreter lock would stop this thread for
        # good: end the run with the stacks rather than hang.
        faulthandler.dump_traceback_later(60, exit=True)
        try:
            self.waiter.start()
            # This thread runs Python code while the other is inside the
            # call: the call handed the interpreter lock over.
            wait_until(lambda: sim.paused_calls(fn) == 1, f"a thread to wait inside {fn}")
        finally:
            faulthandler.cancel_dump_traceback_later()

    def resume(self):
        self.sim.resume(self.fn)
        return self.waiter.outcome()


def _parked_poll(ctx, extended: bool):
    cq = ctx.create_cq_ex(8) if extended else ctx.create_cq(8)
    return cq, "start_poll" if extended else "poll_cq", lambda: cq.poll(4), cq.close


def _parked_post(ctx, receive: bool):
    link = Link(ctx, ctx.create_cq(8), ctx.create_cq(8))
    if receive:
        call = lambda: link.receiver.post_recv(v.RecvWR(1, [link.dst_mr.sge(8)]))  # noqa: E731
        return link, "post_recv", call, link.receiver.close
    call = lambda: link.send(1)  # noqa: E731
    return link, "wr_complete", call, link.sender.close


def _parked_registration(ctx, _):
    pd = ctx.alloc_pd()
    buf = ctypes.create_string_buffer(64)
    call = lambda: pd.reg_mr(ctypes.addressof(buf), 64, 1)  # noqa: E731
    return (pd, buf), "ibv_reg_mr_iova2", call, pd.close


@pytest.mark.parametrize(
    "make, arg, refused",
    [
        (_parked_poll, False, "ibv_destroy_cq"),
        (_parked_poll, True, "ibv_destroy_cq"),
        (_parked_post, False, "ibv_destroy_qp"),
        (_parked_post, True, "ibv_destroy_qp"),
        (_parked_registration, None, "ibv_dealloc_pd"),
    ],
    ids=["CQ.poll", "CQEx.poll", "post_send", "post_recv", "reg_mr"],
)
def test_closing_under_a_call_in_progress_is_refused(sim, ctx, make, arg, refused):
    keep, fn, call, close = make(ctx, arg)
    parked = Parked(sim, fn, call)
    destroys = sim.call_count(refused)
    with pytest.raises(v.EfaError) as info:
        close()
    expect_efa_error(info, refused, EBUSY)
    assert sim.call_count(refused) == destroys  # refused before the provider saw it
    result = parked.resume()
    if isinstance(result, v.MR):
        result.close()
    close()  # nobody is inside any more
    del keep


def test_a_parked_call_does_not_hold_up_other_objects(sim, ctx):
    """A thread inside a poll of one queue leaves the other queues, and
    posting to them, to the other threads."""
    parked_cq = ctx.create_cq(8)
    parked = Parked(sim, "poll_cq", lambda: parked_cq.poll(1))
    send_cq, recv_cq = ctx.create_cq_ex(8), ctx.create_cq_ex(8)
    link = Link(ctx, send_cq, recv_cq)
    link.send(7)
    assert [wc.wr_id for wc in recv_cq.poll(4)] == [7]
    assert [wc.wr_id for wc in send_cq.poll(4)] == [7]
    assert parked.resume() == []


def test_reset_resumes_paused_calls(sim, ctx):
    cq = ctx.create_cq(8)
    parked = Parked(sim, "poll_cq", lambda: cq.poll(1))
    sim.reset()
    assert parked.waiter.outcome() == []
    assert sim.paused_calls("poll_cq") == 0


@pytest.mark.parametrize("call", ["pause", "resume", "paused_calls"])
def test_pausing_an_unknown_function_is_refused(sim, call):
    with pytest.raises(OSError):
        getattr(sim, call)("ibv_no_such_call")


def test_destroying_a_queue_pair_while_its_queue_is_polled(sim, ctx):
    """An extended poll batch holds its queue's lock from start to end, and
    destroying a queue pair takes the locks of its queues (so the provider
    does): a poll that waited for the interpreter lock with its batch open
    would wait for ever on a thread destroying a queue pair under that lock.
    Here the poller stays inside ibv_start_poll, its batch open, while this
    thread closes a queue pair on the queue and so waits for the batch."""
    cq = ctx.create_cq_ex(16)
    link = Link(ctx, cq, ctx.create_cq(16))
    link.send(5)
    doomed = link.send_pd.create_qp(v.QPInitAttr(cq, cq))
    # The batch goes on by itself after 0.3 s (nothing here can resume it:
    # this thread is in the destroy).
    sim.pause("start_poll", at="exit", timeout=0.3)
    faulthandler.dump_traceback_later(60, exit=True)
    try:
        poller = Waiter(lambda: cq.poll(4))
        poller.start()
        wait_until(lambda: sim.paused_calls("start_poll") == 1, "the poller's batch to open")
        doomed.close()
        sim.resume("start_poll")
        got = poller.outcome()
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert [wc.wr_id for wc in got] == [5]
