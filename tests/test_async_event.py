"""Asynchronous device events: get_async_event, ack_async_event, AsyncEvent."""

from __future__ import annotations

import errno
import select
import threading

import pytest

from vantor import _vantor as v

PORT_ACTIVE, PORT_ERR, DEVICE_FATAL = 9, 10, 8


def wait_until_inside(sim, fn, count):
    """Waits (without asserting on time) until `fn` has been entered `count` times."""
    done = threading.Event()
    while sim.call_count(fn) < count:
        done.wait(0.01)


class TestGetAsyncEvent:
    def test_port_event(self, sim, ctx):
        sim.post_port_event(PORT_ACTIVE, device="efa_0")
        readable, _, _ = select.select([ctx.async_fd], [], [], 30)
        assert readable == [ctx.async_fd]
        with sim.recording() as log:
            ev = ctx.get_async_event()
        assert type(ev) is v.AsyncEvent
        assert ev.event_type == PORT_ACTIVE and ev.event_type_str == "port active"
        assert repr(ev) == "AsyncEvent(port active)"
        assert log.fns() == ["ibv_get_async_event"]
        ctx.ack_async_event(ev)

    def test_events_in_order(self, sim, ctx):
        sim.post_port_event(PORT_ERR, async_fd=ctx.async_fd)
        sim.post_device_event(DEVICE_FATAL, async_fd=ctx.async_fd)
        events = [ctx.get_async_event(), ctx.get_async_event()]
        assert [e.event_type for e in events] == [PORT_ERR, DEVICE_FATAL]
        for e in events:
            ctx.ack_async_event(ev=e)

    @pytest.mark.parametrize("err, expected", [(errno.EAGAIN, errno.EAGAIN), (0, errno.EIO)])
    def test_failure(self, sim, ctx, err, expected):
        sim.fail("ibv_get_async_event", err)
        with pytest.raises(v.EfaError) as info:
            ctx.get_async_event()
        assert (info.value.operation, info.value.errno) == ("ibv_get_async_event", expected)

    def test_closed_context_does_not_block(self, sim, ctx):
        sim.post_port_event(PORT_ACTIVE, device="efa_0")
        ctx.close()
        with pytest.raises(v.EfaError) as info:
            ctx.get_async_event()
        assert (info.value.operation, info.value.errno) == ("context is closed", errno.EBADF)
        assert sim.call_count("ibv_get_async_event") == 0

    def test_waits_without_the_lock(self, sim, ctx):
        got = []
        waiter = threading.Thread(target=lambda: got.append(ctx.get_async_event()))
        waiter.start()
        try:
            wait_until_inside(sim, "ibv_get_async_event", 1)
            # This thread runs while the other one waits in libibverbs; the
            # context cannot be closed under the waiting thread.
            with pytest.raises(v.EfaError) as info:
                ctx.close()
            assert (info.value.operation, info.value.errno) == ("ibv_close_device", errno.EBUSY)
        finally:
            sim.post_port_event(PORT_ERR, device="efa_0")
            waiter.join()
        assert [e.event_type for e in got] == [PORT_ERR]
        ctx.ack_async_event(got[0])
        ctx.close()


class TestAck:
    def test_acknowledges_once(self, sim, ctx):
        sim.post_port_event(PORT_ACTIVE, device="efa_0")
        ev = ctx.get_async_event()
        assert ctx.ack_async_event(ev) is None
        assert ctx.ack_async_event(ev) is None
        assert sim.call_count("ibv_ack_async_event") == 1

    def test_on_a_closed_context(self, sim, ctx):
        sim.post_port_event(PORT_ACTIVE, device="efa_0")
        ev = ctx.get_async_event()
        ctx.close()
        ctx.ack_async_event(ev)
        assert sim.call_count("ibv_ack_async_event") == 1
        v.Context().ack_async_event(ev)  # any context, even a bare one
        assert sim.call_count("ibv_ack_async_event") == 1

    def test_event_made_from_python_never_reaches_the_library(self, sim, ctx):
        ev = v.AsyncEvent()
        assert ev.event_type == 0
        ctx.ack_async_event(ev)
        assert sim.call_count("ibv_ack_async_event") == 0

    @pytest.mark.parametrize("bad", [None, 9, "ev"])
    def test_type_checked(self, ctx, bad):
        with pytest.raises(TypeError) as info:
            ctx.ack_async_event(bad)
        assert str(info.value) == (
            "Argument 'ev' has incorrect type (expected vantor._vantor.AsyncEvent, "
            f"got {type(bad).__name__})"
        )

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((), {}, "ack_async_event() takes exactly 1 positional argument (0 given)"),
            ((1, 2), {}, "ack_async_event() takes exactly 1 positional argument (2 given)"),
            ((), {"event": 1}, "ack_async_event() got an unexpected keyword argument 'event'"),
        ],
    )
    def test_argument_count(self, ctx, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            ctx.ack_async_event(*args, **kwargs)
        assert str(info.value) == message


class TestAsyncEvent:
    def test_bare(self):
        ev = v.AsyncEvent()
        assert ev.event_type == 0 and ev.event_type_str == "CQ error"
        assert repr(ev) == "AsyncEvent(CQ error)"
        with pytest.raises(AttributeError):
            ev.event_type = 1
        with pytest.raises(TypeError, match=r"AsyncEvent\(\) takes no arguments"):
            v.AsyncEvent(1)
        with pytest.raises(TypeError, match=r"AsyncEvent\(\) takes no arguments"):
            v.AsyncEvent(event_type=1)

    def test_subclass_with_its_own_init(self):
        class Tagged(v.AsyncEvent):
            def __init__(self, tag):
                self.tag = tag

        assert Tagged("x").tag == "x"

    def test_repr_uses_the_attribute(self):
        class Mine(v.AsyncEvent):
            @property
            def event_type_str(self):
                return "custom"

        assert repr(Mine()) == "AsyncEvent(custom)"
