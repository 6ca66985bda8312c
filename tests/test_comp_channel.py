"""Completion channels: creation, events, the file descriptor and closing."""

from __future__ import annotations

import errno
import gc
import select

import pytest
from completion_helpers import (
    EBUSY,
    Link,
    Waiter,
    channel_link,
    expect_efa_error,
    wait_until,
)

import vantor._vantor as v
from conftest import drop_while_handling


@pytest.fixture
def armed(ctx):
    """A channel, a CQ on it armed for one event, and a link feeding that CQ."""
    channel, cq, link = channel_link(ctx, 16)
    cq.req_notify()
    return channel, cq, link


def test_create_comp_channel(sim, ctx):
    with sim.recording() as log:
        channel = ctx.create_comp_channel()
    assert type(channel) is v.CompChannel
    assert channel.context is ctx
    assert log.fns() == ["ibv_create_comp_channel"]
    assert log[0]["ret"] == channel.fd and channel.fd >= 0
    assert gc.is_tracked(channel)


def test_open_channel_is_a_counted_child(ctx):
    channel = ctx.create_comp_channel()
    with pytest.raises(v.EfaError) as info:
        ctx.close()
    assert info.value.errno == EBUSY
    channel.close()
    ctx.close()


def test_dropped_channel_releases_its_child(ctx):
    channel = ctx.create_comp_channel()
    del channel
    ctx.close()


@pytest.mark.parametrize("err, expected", [(errno.ENOMEM, errno.ENOMEM), (0, errno.EIO)])
def test_create_failure(sim, ctx, err, expected):
    sim.fail("ibv_create_comp_channel", err)
    with pytest.raises(v.EfaError) as info:
        ctx.create_comp_channel()
    expect_efa_error(info, "ibv_create_comp_channel", expected)
    ctx.close()  # nothing was counted


def test_create_on_closed_context(sim, ctx):
    ctx.close()
    with pytest.raises(v.EfaError) as info:
        ctx.create_comp_channel()
    expect_efa_error(info, "context is closed", errno.EBADF)
    assert sim.call_count("ibv_create_comp_channel") == 0


def test_bare_channel_is_closed():
    channel = v.CompChannel(1, x=2)
    assert channel.context is None
    for read in (lambda: channel.fd, channel.get_cq_event):
        with pytest.raises(v.EfaError) as info:
            read()
        expect_efa_error(info, "completion channel is closed", errno.EBADF)
    assert channel.close() is None
    with channel as entered:
        assert entered is channel


def test_close_twice(sim, ctx):
    channel = ctx.create_comp_channel()
    assert channel.close() is None
    assert channel.close() is None
    assert sim.call_count("ibv_destroy_comp_channel") == 1
    assert channel.context is ctx
    with pytest.raises(v.EfaError, match="completion channel is closed"):
        _ = channel.fd


def test_close_refused_while_a_cq_uses_it(ctx):
    channel = ctx.create_comp_channel()
    cq = ctx.create_cq(4, channel=channel)
    with pytest.raises(v.EfaError) as info:
        channel.close()
    expect_efa_error(info, "ibv_destroy_comp_channel", EBUSY)
    assert channel.fd >= 0  # still fully usable
    ctx.create_cq(4, channel=channel).close()
    cq.close()
    channel.close()
    ctx.close()


def test_close_failure_is_retryable(sim, ctx):
    channel = ctx.create_comp_channel()
    sim.fail("ibv_destroy_comp_channel", errno.EIO)
    with pytest.raises(v.EfaError) as info:
        channel.close()
    expect_efa_error(info, "ibv_destroy_comp_channel", errno.EIO)
    assert channel.fd >= 0
    channel.close()
    ctx.close()


def test_failed_destroy_on_drop_keeps_the_context_counting(sim, ctx):
    channel = [ctx.create_comp_channel()]
    sim.fail("ibv_destroy_comp_channel", errno.EIO)
    drop_while_handling(channel)
    with pytest.raises(v.EfaError, match="1 open child"):
        ctx.close()


def test_with_block_closes_and_propagates(sim, ctx):
    with pytest.raises(RuntimeError, match="inside"):
        with ctx.create_comp_channel() as channel:
            assert channel.fd >= 0
            raise RuntimeError("inside")
    with pytest.raises(v.EfaError, match="completion channel is closed"):
        _ = channel.fd
    ctx.close()


# ---- events ---------------------------------------------------------------------


def test_event_returns_the_very_cq(sim, armed):
    channel, cq, link = armed
    link.send(1)
    with sim.recording() as log:
        assert channel.get_cq_event() is cq
    (call,) = log.calls("ibv_get_cq_event")
    assert call["ret"] == 0
    cq.ack_events()
    with pytest.raises(ValueError, match="cannot acknowledge more CQ events than were received"):
        cq.ack_events()


def two_events_taken(ctx, kind):
    """A queue of `kind` on a new channel, with two of its events taken and
    not yet acknowledged, and the link that caused them."""
    channel = ctx.create_comp_channel()
    create = ctx.create_cq if kind == "cq" else ctx.create_cq_ex
    cq = create(16, channel=channel)
    link = Link(ctx, ctx.create_cq(16), cq)
    for wr_id in (1, 2):
        cq.req_notify()
        link.send(wr_id)
        assert channel.get_cq_event() is cq
    return channel, cq, link


@pytest.mark.parametrize("kind", ["cq", "cq_ex"])
def test_two_events_are_counted_on_the_queue(ctx, kind):
    channel, cq, link = two_events_taken(ctx, kind)
    with pytest.raises(ValueError, match="cannot acknowledge more"):
        cq.ack_events(3)
    cq.ack_events(2)
    with pytest.raises(ValueError, match="cannot acknowledge more"):
        cq.ack_events(1)


def test_get_cq_event_does_not_rearm(sim, armed):
    channel, cq, link = armed
    link.send(1)
    assert channel.get_cq_event() is cq
    link.send(2)
    assert select.select([channel.fd], [], [], 0)[0] == []
    cq.ack_events()


@pytest.mark.parametrize("err, expected", [(errno.EINTR, errno.EINTR), (0, errno.EIO)])
def test_get_cq_event_failure_counts_nothing(sim, armed, err, expected):
    channel, cq, link = armed
    link.send(1)
    sim.fail("ibv_get_cq_event", err)
    with pytest.raises(v.EfaError) as info:
        channel.get_cq_event()
    expect_efa_error(info, "ibv_get_cq_event", expected)
    with pytest.raises(ValueError, match="cannot acknowledge more"):
        cq.ack_events()
    assert channel.get_cq_event() is cq  # the event is still there


def test_event_delivered_to_a_waiting_thread(sim, armed):
    channel, cq, link = armed
    waiter = Waiter(channel.get_cq_event)
    waiter.start()
    # The waiter blocks without the GIL, so this thread keeps running.
    wait_until(lambda: sim.call_count("ibv_get_cq_event") == 1, "the waiter to block")
    assert waiter.is_alive()
    link.send(1)
    assert waiter.outcome() is cq
    cq.ack_events()


def test_event_wakes_select_on_fd(armed):
    channel, cq, link = armed
    assert select.select([channel.fd], [], [], 0)[0] == []
    waiter = Waiter(lambda: select.select([channel.fd], [], [], 30)[0])
    waiter.start()
    link.send(1)
    assert waiter.outcome() == [channel.fd]
    assert channel.get_cq_event() is cq
    assert select.select([channel.fd], [], [], 0)[0] == []
    cq.ack_events()


def test_close_refused_while_a_thread_waits(sim, ctx):
    channel, cq, link = channel_link(ctx, 16)
    cq.req_notify()
    waiter = Waiter(channel.get_cq_event)
    waiter.start()
    wait_until(lambda: sim.call_count("ibv_get_cq_event") == 1, "the waiter to block")
    with pytest.raises(v.EfaError) as info:
        channel.close()
    expect_efa_error(info, "ibv_destroy_comp_channel", EBUSY)
    assert sim.call_count("ibv_destroy_comp_channel") == 0
    link.send(1)
    assert waiter.outcome() is cq
    link.receiver.close()
    cq.close()
    channel.close()


@pytest.mark.parametrize("kind", ["cq", "cq_ex"])
def test_closing_a_queue_acknowledges_its_events(sim, ctx, kind):
    channel, cq, link = two_events_taken(ctx, kind)
    link.sender.close()
    link.receiver.close()
    sim.set_destroy_timeout(30)  # a missed acknowledgement would show as a hang
    with sim.recording() as log:
        cq.close()
    assert log.fns() == ["ibv_ack_cq_events", "ibv_destroy_cq"]
    assert log[0]["nevents"] == 2
    channel.close()
