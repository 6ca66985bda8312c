"""The rules every resource class shares: bare instances, the closed check,
close(), with blocks, destruction and the cyclic collector."""

from __future__ import annotations

import ctypes
import errno
import gc
import sys
import weakref

import pytest

from vantor import _vantor as v

GID = bytes.fromhex("fe800000000000000a0b0c0d0e0f1011")
BUF = ctypes.create_string_buffer(4096)

# class, closed-check message, native destroy call, how to make an open one
KINDS = {
    "Context": (
        v.Context,
        "context is closed",
        "ibv_close_device",
        lambda ctx: v.get_device_list()[0].open(),
    ),
    "PD": (v.PD, "pd is closed", "ibv_dealloc_pd", lambda ctx: ctx.alloc_pd()),
    "MR": (
        v.MR,
        "memory region is closed",
        "ibv_dereg_mr",
        lambda ctx: ctx.alloc_pd().reg_mr(ctypes.addressof(BUF), 4096, 1),
    ),
    "AH": (
        v.AH,
        "address handle is closed",
        "ibv_destroy_ah",
        lambda ctx: ctx.alloc_pd().create_ah(GID),
    ),
}
# A handle-using member of each class.
USE = {"Context": "query_device", "PD": "reg_mr", "MR": "query_efa", "AH": "ahn"}


def use(obj, kind):
    member = getattr(obj, USE[kind])
    if kind == "PD":
        member(0, 1, 1)
    elif callable(member):
        member()


@pytest.fixture(params=list(KINDS))
def kind(request):
    return request.param


@pytest.fixture
def resource(kind, ctx):
    return KINDS[kind][3](ctx)


class TestBareInstances:
    def test_bare_is_closed(self, sim, kind):
        cls, message, _, _ = KINDS[kind]
        bare = cls(1, "two", three=3)
        with sim.recording() as log:
            assert bare.close() is None
            assert bare.close() is None
            with bare as entered:
                assert entered is bare
            assert bare.__exit__(None, None, None) is False
        assert len(log) == 0
        with pytest.raises(v.EfaError) as info:
            use(bare, kind)
        assert (info.value.operation, info.value.errno) == (message, errno.EBADF)
        assert info.value.strerror == message + " failed: Bad file descriptor"

    def test_subclass_instances_are_bare(self, kind):
        cls = KINDS[kind][0]
        sub = type("Sub", (cls,), {})()
        assert isinstance(sub, cls) and sub.close() is None


class TestClose:
    def test_second_close_makes_no_native_call(self, sim, kind, resource):
        _, message, destroy, _ = KINDS[kind]
        assert resource.close() is None
        count = sim.call_count(destroy)
        assert resource.close() is None
        assert sim.call_count(destroy) == count
        with pytest.raises(v.EfaError) as info:
            use(resource, kind)
        assert info.value.operation == message

    def test_failed_close_keeps_the_object_open(self, sim, kind, resource):
        destroy = KINDS[kind][2]
        sim.fail(destroy, errno.EIO)
        with pytest.raises(v.EfaError) as info:
            resource.close()
        assert (info.value.operation, info.value.errno) == (destroy, errno.EIO)
        if kind != "PD":
            use(resource, kind)  # still open
        resource.close()  # retry succeeds

    def test_parent_references_kept_after_close(self, ctx):
        pd = ctx.alloc_pd()
        mr = pd.reg_mr(ctypes.addressof(BUF), 16, 1)
        ah = pd.create_ah(GID)
        for obj in (ah, mr, pd):
            obj.close()
        assert (pd.context, mr.pd, ah.pd) == (ctx, pd, pd)
        ctx.close()  # the PD's close released its count


class TestWith:
    def test_closes_on_exception_and_propagates(self, sim, kind, resource):
        destroy = KINDS[kind][2]
        count = sim.call_count(destroy)
        with pytest.raises(LookupError):
            with resource as bound:
                assert bound is resource
                raise LookupError
        assert sim.call_count(destroy) == count + 1
        assert resource.close() is None

    def test_exit_calls_a_subclass_close(self, kind):
        cls = KINDS[kind][0]
        calls = []
        sub = type("Sub", (cls,), {"close": lambda self: calls.append(self)})()
        with sub:
            pass
        assert calls == [sub]
        assert sub.__exit__(1, 2, 3, 4) is False and calls == [sub, sub]

    def test_close_error_propagates_from_exit(self, sim, kind, resource):
        sim.fail(KINDS[kind][2], errno.EBUSY)
        with pytest.raises(v.EfaError):
            with resource:
                pass
        resource.close()

    def test_exit_refuses_keywords(self, resource):
        with pytest.raises(TypeError, match=r"__exit__\(\) takes no keyword arguments"):
            resource.__exit__(exc_type=None)
        with pytest.raises(TypeError, match=r"__enter__\(\) takes no keyword arguments"):
            resource.__enter__(x=1)


class TestDestruction:
    def test_frees_natively(self, sim, kind, ctx):
        destroy = KINDS[kind][2]
        obj = KINDS[kind][3](ctx)
        count = sim.call_count(destroy)
        del obj
        assert sim.call_count(destroy) == count + 1

    def test_dropping_a_pd_releases_its_count(self, ctx):
        pd = ctx.alloc_pd()
        with pytest.raises(v.EfaError, match="1 open child"):
            ctx.close()
        del pd
        ctx.close()

    def test_failed_free_keeps_the_pd_counted(self, sim):
        ctx = v.get_device_list()[0].open()
        pd = ctx.alloc_pd()
        sim.fail("ibv_dealloc_pd", errno.EIO)
        del pd  # silent
        with pytest.raises(v.EfaError) as info:
            ctx.close()
        assert info.value.strerror == "cannot close context with 1 open child resource(s)"
        # Destroyed with a child still counted, the native context stays open.
        live = sim.live_objects()["context"]
        count = sim.call_count("ibv_close_device")
        del ctx
        assert sim.live_objects()["context"] == live
        assert sim.call_count("ibv_close_device") == count

    @pytest.mark.parametrize("fails", [False, True])
    def test_keeps_the_exception_being_handled(self, sim, kind, ctx, fails):
        obj = KINDS[kind][3](ctx)
        if fails:
            sim.fail(KINDS[kind][2], errno.EIO)
        try:
            raise KeyError("kept")
        except KeyError:
            del obj
            assert sys.exc_info()[1].args == ("kept",)

    def test_destruction_while_an_exception_propagates(self, sim, ctx):
        buf = ctypes.create_string_buffer(64)

        class Owner:
            def __del__(self):
                try:
                    raise ValueError("inside destruction")
                except ValueError:
                    pass

        def fail_with_region():
            pd = ctx.alloc_pd()
            mr = pd.reg_mr(ctypes.addressof(buf), 64, 1)._keepalive(Owner())
            sim.fail("ibv_dereg_mr", errno.EIO)
            raise KeyError("outer", mr is not None)

        with pytest.raises(KeyError) as info:
            fail_with_region()
        assert info.value.args[0] == "outer"


class TestCollector:
    def test_tracking(self, ctx, pd):
        mr = pd.reg_mr(ctypes.addressof(BUF), 16, 1)
        ah = pd.create_ah(GID)
        assert all(gc.is_tracked(o) for o in (pd, mr, ah))
        assert not gc.is_tracked(ctx)
        for record in (
            v.Gid(GID),
            v.Device("d", 1),
            v.DeviceAttr(),
            v.AHAttr(),
            v.MRAttr(),
            v.AsyncEvent(),
        ):
            assert not gc.is_tracked(record)
        assert ctx in gc.get_referents(pd)
        assert {id(x) for x in gc.get_referents(mr)} >= {id(pd), id(None)}
        assert pd in gc.get_referents(ah)

    def test_buffer_that_refers_to_its_region(self, sim, ctx, monkeypatch):
        """The usual pattern: a buffer keeps its MR, the MR keeps the buffer."""
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)
        gc.collect()
        before = sim.live_objects()

        class Buffer:
            def __init__(self, pd):
                self.raw = ctypes.create_string_buffer(256)
                self.mr = pd.reg_mr(ctypes.addressof(self.raw), 256, 1)._keepalive(self)

        pd = ctx.alloc_pd()
        buffers = [Buffer(pd) for _ in range(3)]
        probe = weakref.ref(buffers[0])
        del pd, buffers  # the PD now lives only through the garbage cycles
        gc.collect()
        assert probe() is None
        after = sim.live_objects()
        assert (after["mr"], after["pd"]) == (before["mr"], before["pd"])
        assert reports == []
        ctx.close()  # the PD was freed after its regions, and released

    def test_address_handles_in_a_cycle(self, sim, ctx):
        gc.collect()
        before = sim.live_objects()["ah"]
        pd = ctx.alloc_pd()
        ah = pd.create_ah(GID)
        cycle = [ah, pd]
        cycle.append(cycle)
        del pd, ah, cycle
        gc.collect()
        assert sim.live_objects()["ah"] == before
        ctx.close()
