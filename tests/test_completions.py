"""Waiting for completions: vantor.completions (threads) and vantor.aio (asyncio)."""

from __future__ import annotations

import asyncio
import select

import pytest
from completion_helpers import Link, Waiter, channel_link, wait_until

import vantor._vantor as v
from vantor import aio
from vantor.completions import CompletionTimeout, wait_completions
from vantor.enums import WCStatus


@pytest.fixture
def link(ctx):
    """Sends land on `link.recv_cq`, which has a channel of its own."""
    channel, recv_cq, lk = channel_link(ctx, 64)
    lk.recv_cq, lk.channel = recv_cq, channel
    return lk


def _no_event_left(cq) -> None:
    """Every event the wait took was acknowledged, and none is pending."""
    with pytest.raises(ValueError, match="cannot acknowledge more"):
        cq.ack_events(1)
    assert select.select([cq.channel.fd], [], [], 0)[0] == []


def test_returns_exactly_n_and_leaves_the_rest(link):
    link.send_many(range(5))
    got = wait_completions(link.recv_cq, 3, timeout=10)
    assert [wc.wr_id for wc in got] == [0, 1, 2]
    assert [wc.wr_id for wc in link.recv_cq.poll(8)] == [3, 4]
    assert wait_completions(link.recv_cq, 0) == []


def test_sleeps_on_the_channel_until_the_completion(sim, link):
    sim.hold()  # nothing completes until released
    link.send(7)
    with sim.recording() as log:
        waiter = Waiter(lambda: wait_completions(link.recv_cq, 1, timeout=30, spin=0))
        waiter.start()
        wait_until(lambda: sim.call_count("req_notify_cq") == 1, "the waiter to arm the queue")
        sim.release()
        (wc,) = waiter.outcome()
    assert wc.wr_id == 7
    fns = [f for f in log.fns() if f != "poll_cq"]
    # armed once; an event that was taken was acknowledged at once
    assert fns[0] == "req_notify_cq"
    if "ibv_get_cq_event" in fns:
        i = fns.index("ibv_get_cq_event")
        assert fns[i + 1] == "ibv_ack_cq_events"
    _no_event_left(link.recv_cq)


def test_timeout_hands_over_what_arrived(sim, link):
    link.send(1)
    with pytest.raises(CompletionTimeout) as info:
        wait_completions(link.recv_cq, 2, timeout=0.05, spin=0)
    assert isinstance(info.value, TimeoutError)
    assert [wc.wr_id for wc in info.value.completions] == [1]
    assert "1 of 2 completion(s) arrived within 0.05 s" in str(info.value)


@pytest.mark.parametrize("yield_gil", [False, True])
def test_queue_without_a_channel_is_polled(ctx, yield_gil):
    cq = ctx.create_cq(16)
    lk = Link(ctx, ctx.create_cq(16), cq)
    waiter = Waiter(lambda: wait_completions(cq, 2, timeout=30, yield_gil=yield_gil))
    waiter.start()
    lk.send_many([1, 2])  # this thread runs while the other one polls
    assert sorted(wc.wr_id for wc in waiter.outcome()) == [1, 2]


def test_check_raises_for_a_failed_completion(ctx):
    send_cq = ctx.create_cq(16)
    lk = Link(ctx, send_cq, ctx.create_cq(16))
    lk.send(1, recv_wr_id=False)  # no receive posted: the send fails
    got = wait_completions(send_cq, 1, timeout=30)
    assert got[0].status != WCStatus.SUCCESS
    lk.send(2, recv_wr_id=False)
    with pytest.raises(v.CompletionError):
        wait_completions(send_cq, 1, timeout=30, check=True)


@pytest.mark.parametrize(
    "n, kwargs, error",
    [
        (-1, {}, ValueError),
        ("2", {}, TypeError),
        (True, {}, TypeError),
        (1, {"timeout": -1}, ValueError),
        (1, {"timeout": float("nan")}, ValueError),
        (1, {"spin": -0.5}, ValueError),
    ],
)
def test_bad_arguments(link, n, kwargs, error):
    with pytest.raises(error):
        wait_completions(link.recv_cq, n, **kwargs)


# --- asyncio ---------------------------------------------------------------------------


def test_await_completions_without_blocking_the_loop(sim, link):
    async def main():
        sim.hold()
        link.send_many([1, 2, 3])
        task = asyncio.ensure_future(aio.wait_completions(link.recv_cq, 3, timeout=30))
        # Runs only once the task is suspended on the channel's descriptor.
        asyncio.get_running_loop().call_soon(sim.release)
        return await task

    with sim.recording() as log:
        got = asyncio.run(main())
    assert [wc.wr_id for wc in got] == [1, 2, 3]
    assert log.calls("ibv_get_cq_event") and log.calls("ibv_ack_cq_events")
    _no_event_left(link.recv_cq)


def test_await_times_out_with_what_arrived(sim, link):
    link.send(4)

    async def main():
        await aio.wait_completions(link.recv_cq, 2, timeout=0.05)

    with pytest.raises(CompletionTimeout) as info:
        asyncio.run(main())
    assert [wc.wr_id for wc in info.value.completions] == [4]


def test_cancelled_wait_leaves_no_reader(sim, link):
    async def main():
        task = asyncio.ensure_future(aio.wait_completions(link.recv_cq, 1))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        # the descriptor is no longer watched: the loop can take it again
        return asyncio.get_running_loop().remove_reader(link.channel.fd)

    assert asyncio.run(main()) is False


def test_await_needs_a_channel(ctx):
    cq = ctx.create_cq(4)
    with pytest.raises(ValueError, match="no completion channel"):
        asyncio.run(aio.wait_completions(cq, 1))


# --- across processes ------------------------------------------------------------------

RECEIVER = """
import asyncio, sys
import vantor.sim
vantor.sim.activate()
import vantor
from vantor import aio
from vantor.bootstrap import RankInfo
from vantor.helpers import reg_buffer

ctx = vantor.get_efa_device_list()[0].open()
pd = ctx.alloc_pd()
channel = ctx.create_comp_channel()
cq = ctx.create_cq(8, channel=channel)
qp = pd.create_qp(vantor.QPInitAttr(cq, cq)).prepare(0x1EFA)
inbox = bytearray(32)
mr = reg_buffer(pd, inbox)
qp.post_recv(vantor.RecvWR(5, [mr.sge()]))
print(RankInfo.of(qp, mr).encode().hex(), flush=True)
# Only the event loop watches the channel: nothing in this process polls
# until the descriptor turns readable.
(wc,) = asyncio.run(aio.wait_completions(cq, 1, timeout=60, check=True))
print(wc.wr_id, bytes(inbox[:wc.byte_len]).decode(), flush=True)
"""

SENDER = """
import sys
import vantor.sim
vantor.sim.activate()
import vantor
from vantor.bootstrap import RankInfo
from vantor.completions import wait_completions
from vantor.enums import SendFlags
from vantor.helpers import reg_buffer

theirs = RankInfo.decode(bytes.fromhex(sys.argv[1]))
ctx = vantor.get_efa_device_list()[0].open()
pd = ctx.alloc_pd()
cq = ctx.create_cq(8)
qp = pd.create_qp(vantor.QPInitAttr(cq, cq)).prepare(0x1EFA)
msg = bytearray(b"across processes")
mr = reg_buffer(pd, msg)
peer = theirs.address.connect(pd)
qp.post_send(vantor.SendWR(1, [mr.sge()], send_flags=SendFlags.SIGNALED, dest=peer))
wait_completions(cq, 1, timeout=60, check=True)
"""


def test_channel_fd_turns_readable_for_a_message_from_another_process(sim):
    import subprocess
    import sys
    import uuid

    from test_cli import run_python_env

    env = run_python_env()
    env["VANTOR_SIM_HOST"] = f"aio-{uuid.uuid4().hex[:12]}"
    receiver = subprocess.Popen(
        [sys.executable, "-c", RECEIVER], stdout=subprocess.PIPE, text=True, env=env
    )
    try:
        assert receiver.stdout is not None
        address = receiver.stdout.readline().strip()
        sender = subprocess.run(
            [sys.executable, "-c", SENDER, address], env=env, capture_output=True, text=True,
            timeout=120,
        )  # fmt: skip
        assert sender.returncode == 0, sender.stderr
        out, _ = receiver.communicate(timeout=120)
    finally:
        receiver.kill()
    assert receiver.returncode == 0
    assert out.strip() == "5 across processes"


def test_each_event_wakes_an_edge_triggered_epoll(ctx):
    """The kernel wakes a channel's readers for every event: an
    edge-triggered epoll (as tokio or libevent's EV_ET use) sees the second
    event while the first is still unread."""
    channel = ctx.create_comp_channel()
    cq = ctx.create_cq(16, channel=channel)
    lk = Link(ctx, ctx.create_cq(16), cq)
    ep = select.epoll()
    try:
        ep.register(channel.fd, select.EPOLLIN | select.EPOLLET)
        assert ep.poll(0) == []
        for wr_id in (1, 2):
            cq.req_notify()
            lk.send(wr_id)
            assert ep.poll(0) == [(channel.fd, select.EPOLLIN)], f"event {wr_id}"
            assert ep.poll(0) == []  # nothing new until the next event
    finally:
        ep.close()
    for _ in range(2):
        assert channel.get_cq_event() is cq
    cq.ack_events(2)
    assert select.select([channel.fd], [], [], 0)[0] == []
