"""Completion queues: creation checks, what reaches libibverbs/libefa,
notification, acknowledgement, closing and the CQAttr layout."""

from __future__ import annotations

import errno
import gc

import pytest
from completion_helpers import EBUSY, Link, expect_efa_error, open_context

import vantor._vantor as v
from conftest import drop_while_handling, run_python
from vantor.enums import CreateCQWCFlags

KINDS = ["cq", "cq_ex"]


def create(ctx, kind, *args, **kwargs):
    return (ctx.create_cq if kind == "cq" else ctx.create_cq_ex)(*args, **kwargs)


# ---- the classes -----------------------------------------------------------


def test_queue_classes():
    assert v.CQ.__bases__ == (v._CQBase,) and v.CQEx.__bases__ == (v._CQBase,)
    assert v.Context.create_cq.__annotations__ == {"return": "'CQ'"}
    assert v.Context.create_cq_ex.__annotations__ == {"return": "'CQEx'"}
    assert (v.CQEx().sgid_enabled, v.CQEx().unsolicited_enabled) == (False, False)


@pytest.mark.parametrize("cls", [v.CQ, v.CQEx, v._CQBase])
def test_bare_queue_is_closed(cls):
    cq = cls(1, 2, x=3)
    assert (cq.context, cq.channel) == (None, None)
    for use in (lambda: cq.cqe, cq.req_notify, lambda: cq.ack_events(1)):
        with pytest.raises(v.EfaError) as info:
            use()
        expect_efa_error(info, "completion queue is closed", errno.EBADF)
    assert cq.__enter__() is cq
    assert gc.is_tracked(cq)


@pytest.mark.parametrize("cls", [v.CQ, v.CQEx])
def test_bare_queue_close_does_nothing(sim, cls):
    assert cls().close() is None
    assert sim.call_count("ibv_destroy_cq") == 0


def test_base_close_is_not_implemented():
    with pytest.raises(NotImplementedError) as info:
        v._CQBase().close()
    assert info.value.args == ()
    with pytest.raises(NotImplementedError):
        with v._CQBase():
            pass


# ---- creation ------------------------------------------------------------------


def test_create_cq_call(sim, ctx):
    channel = ctx.create_comp_channel()
    with sim.recording() as log:
        cq = ctx.create_cq(5, channel, 3)
    (call,) = log.calls("ibv_create_cq")
    assert (call["cqe"], call["channel"], call["comp_vector"]) == (5, channel.fd, 3)
    assert call["cq_context"] == hex(id(cq))
    assert type(cq) is v.CQ
    assert cq.context is ctx and cq.channel is channel
    assert cq.cqe == call["cqe_granted"] >= 5


@pytest.mark.parametrize(
    "kwargs, efa_flags",
    [({}, 0), ({"sgid": True}, 1), ({"unsolicited": 1}, 2), ({"sgid": "y", "unsolicited": [1]}, 3)],
)
def test_create_cq_ex_call(sim, ctx, kwargs, efa_flags):
    with sim.recording() as log:
        cq = ctx.create_cq_ex(cqe=9, comp_vector=1, **kwargs)
    (call,) = log.calls("efadv_create_cq")
    assert (call["cqe"], call["channel"], call["comp_vector"]) == (9, -1, 1)
    assert (call["cq_context"], call["comp_mask"], call["flags"]) == ("0x0", "0x0", "0x0")
    assert (call["wc_flags"], call["efa_comp_mask"]) == (hex(CreateCQWCFlags.STANDARD), "0x0")
    assert (call["efa_wc_flags"], call["inlen"]) == (hex(efa_flags), 16)
    assert len(log.calls("efadv_cq_from_ibv_cq_ex")) == (1 if efa_flags else 0)
    assert type(cq) is v.CQEx and cq.channel is None
    assert cq.sgid_enabled is bool(efa_flags & 1)
    assert cq.unsolicited_enabled is bool(efa_flags & 2)
    assert cq.cqe >= 9


@pytest.mark.parametrize(
    "wc_flags, expected",
    [
        (None, CreateCQWCFlags.STANDARD),
        (CreateCQWCFlags.BYTE_LEN | CreateCQWCFlags.QP_NUM, 5),
        (3.0, 3),
    ],
)
def test_create_cq_ex_wc_flags(sim, ctx, wc_flags, expected):
    with sim.recording() as log:
        ctx.create_cq_ex(4, wc_flags=wc_flags)
    assert log.calls("efadv_create_cq")[0]["wc_flags"] == hex(expected)


@pytest.mark.parametrize(
    "wc_flags, message",
    [(-1, "can't convert negative value to uint64_t"), (2**64, None)],
)
def test_create_cq_ex_wc_flags_range(sim, ctx, wc_flags, message):
    with pytest.raises(OverflowError) as info:
        ctx.create_cq_ex(4, wc_flags=wc_flags)
    if message:
        assert str(info.value) == message
    assert sim.call_count("efadv_create_cq") == 0


def test_wc_flags_are_passed_unchecked(ctx):
    # Outside the standard set: the provider, not the module, refuses it.
    with pytest.raises(v.EfaError) as info:
        ctx.create_cq_ex(4, wc_flags=1 << 20)
    expect_efa_error(info, "efadv_create_cq", errno.EOPNOTSUPP)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        (("x",), {}, TypeError, "an integer is required"),
        ((2**31,), {}, OverflowError, "value too large to convert to int"),
        ((4,), {"comp_vector": 2**31}, OverflowError, "value too large to convert to int"),
    ],
)
def test_argument_conversion(sim, ctx, kind, args, kwargs, exc, message):
    with pytest.raises(exc, match=message):
        create(ctx, kind, *args, **kwargs)
    assert sim.call_count("ibv_create_cq") + sim.call_count("efadv_create_cq") == 0


@pytest.fixture
def other_context_channel(sim):
    return open_context().create_comp_channel()


def closed_channel(ctx):
    channel = ctx.create_comp_channel()
    channel.close()
    return channel


# Each row breaks one rule and everything after it, so the row shows which
# check comes first.
CHECK_ORDER = [
    ("closed_ctx", dict(cqe=0, comp_vector=99, channel=5), v.EfaError, "context is closed"),
    ("cqe", dict(cqe=0, comp_vector=99, channel=5), ValueError, "^cqe must be positive$"),
    ("cqe", dict(cqe=-1), ValueError, "^cqe must be positive$"),
    ("vector", dict(comp_vector=4, channel=5), ValueError,
     "^comp_vector is outside the context's range$"),
    ("vector", dict(comp_vector=-1), ValueError, "^comp_vector is outside the context's range$"),
    ("type", dict(channel=5), TypeError,
     r"^Argument 'channel' has incorrect type \(expected vantor._vantor.CompChannel, got int\)$"),
    ("type", dict(channel=v.CompChannel), TypeError, "has incorrect type"),
    ("closed_channel", {}, v.EfaError, "completion channel is closed"),
    ("foreign_channel", {}, ValueError, "^completion channel must belong to this context$"),
]  # fmt: skip


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("case, kwargs, exc, message", CHECK_ORDER)
def test_creation_checks(sim, ctx, other_context_channel, kind, case, kwargs, exc, message):
    kwargs = {"cqe": 4, **kwargs}
    if case == "closed_ctx":
        ctx.close()
    elif case == "closed_channel":
        kwargs["channel"] = closed_channel(ctx)
    elif case == "foreign_channel":
        kwargs["channel"] = other_context_channel
    with pytest.raises(exc, match=message):
        create(ctx, kind, **kwargs)
    assert sim.call_count("ibv_create_cq") + sim.call_count("efadv_create_cq") == 0


@pytest.mark.parametrize("kind", KINDS)
def test_last_comp_vector_is_accepted(sim, kind):
    sim.set_devices([sim.Device("efa_0", num_comp_vectors=2)])
    ctx = open_context()
    assert create(ctx, kind, 4, comp_vector=1).cqe >= 4
    with pytest.raises(ValueError, match="comp_vector is outside"):
        create(ctx, kind, 4, comp_vector=2)


@pytest.mark.parametrize("kind, fn", [("cq", "ibv_create_cq"), ("cq_ex", "efadv_create_cq")])
@pytest.mark.parametrize("err, expected", [(errno.ENOMEM, errno.ENOMEM), (0, errno.EIO)])
def test_native_creation_failure(sim, ctx, kind, fn, err, expected):
    sim.fail(fn, err)
    with pytest.raises(v.EfaError) as info:
        create(ctx, kind, 4)
    expect_efa_error(info, fn, expected)
    assert sim.live_objects()["cq"] == 0
    ctx.close()  # nothing was counted


def test_cq_ex_without_efa_view_is_refused(sim, ctx):
    sim.fail("efadv_cq_from_ibv_cq_ex", errno.EOPNOTSUPP)
    with pytest.raises(v.EfaError) as info:
        ctx.create_cq_ex(4, sgid=True)
    expect_efa_error(info, "efadv_cq_from_ibv_cq_ex", errno.EOPNOTSUPP)
    assert sim.live_objects()["cq"] == 0
    ctx.close()


@pytest.mark.parametrize(
    "kwargs, cap", [({"sgid": True}, "CQ_WITH_SGID"), ({"unsolicited": True}, "UNSOLICITED")]
)
def test_cq_ex_extras_need_the_device_capability(sim, kwargs, cap):
    caps = sim.device_field(0, "efa.device_caps")
    drop = 4 if cap == "CQ_WITH_SGID" else 16
    sim.set_devices([sim.Device("efa_0", efa_attr={"device_caps": caps & ~drop})])
    with pytest.raises(v.EfaError) as info:
        open_context().create_cq_ex(4, **kwargs)
    expect_efa_error(info, "efadv_create_cq", errno.EOPNOTSUPP)


@pytest.mark.parametrize("kind", KINDS)
def test_open_queue_is_a_counted_child(ctx, kind):
    cq = create(ctx, kind, 4)
    with pytest.raises(v.EfaError, match="1 open child"):
        ctx.close()
    cq.close()
    ctx.close()


# ---- req_notify / ack_events ------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    "args, kwargs, flag", [((), {}, 0), ((True,), {}, 1), ((), {"solicited_only": 0}, 0)]
)
def test_req_notify_call(sim, ctx, kind, args, kwargs, flag):
    cq = create(ctx, kind, 4)  # no channel: the call is still made
    with sim.recording() as log:
        assert cq.req_notify(*args, **kwargs) is None
    (call,) = log.calls("req_notify_cq")
    assert call["solicited_only"] == flag
    assert call["cq"] == sim.cq_handles()[-1]


@pytest.mark.parametrize(
    "arg, exc, message",
    [
        (0, ValueError, "^nevents must be positive$"),
        (1, ValueError, "^cannot acknowledge more CQ events than were received$"),
        (2**31, ValueError, "^cannot acknowledge more CQ events than were received$"),
        (2**32 - 1, ValueError, "^cannot acknowledge more CQ events than were received$"),
        (-1, OverflowError, "^can't convert negative value to unsigned int$"),
        (2**32, OverflowError, "^value too large to convert to unsigned int$"),
        ("1", TypeError, "an integer is required"),
    ],
)
def test_ack_events_refusals(sim, ctx, arg, exc, message):
    cq = ctx.create_cq(4)
    with pytest.raises(exc, match=message):
        cq.ack_events(arg)
    with pytest.raises(exc, match=message):
        cq.ack_events(nevents=arg)
    assert sim.call_count("ibv_ack_cq_events") == 0


def events_on(ctx, cq_kind="cq", count=1):
    """A queue on a channel that has received `count` events, unacknowledged."""
    channel = ctx.create_comp_channel()
    cq = create(ctx, cq_kind, 16, channel=channel)
    link = Link(ctx, ctx.create_cq(16), cq)
    for wr_id in range(count):
        cq.req_notify()
        link.send(wr_id)
        assert channel.get_cq_event() is cq
    return channel, cq, link


def test_ack_events_with_events_pending(sim, ctx):
    channel, cq, link = events_on(ctx, count=3)
    with pytest.raises(ValueError, match="nevents must be positive"):
        cq.ack_events(0)
    with sim.recording() as log:
        cq.ack_events(2)
        cq.ack_events()
    assert [c["nevents"] for c in log.calls("ibv_ack_cq_events")] == [2, 1]
    with pytest.raises(ValueError, match="cannot acknowledge more"):
        cq.ack_events()


# ---- closing ---------------------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
def test_close(sim, ctx, kind):
    channel = ctx.create_comp_channel()
    cq = create(ctx, kind, 4, channel=channel, **({"sgid": True} if kind == "cq_ex" else {}))
    with sim.recording() as log:
        assert cq.close() is None
        assert cq.close() is None
    assert log.fns() == ["ibv_destroy_cq"]
    assert cq.context is ctx and cq.channel is channel
    if kind == "cq_ex":
        assert cq.sgid_enabled is True and cq.unsolicited_enabled is False
    with pytest.raises(v.EfaError, match="completion queue is closed"):
        _ = cq.cqe
    channel.close()
    ctx.close()


@pytest.mark.parametrize("kind", KINDS)
def test_close_failure_keeps_the_queue_open(sim, ctx, kind):
    channel, cq, link = events_on(ctx, kind, count=2)
    link.receiver.close()
    sim.fail("ibv_destroy_cq", errno.EIO)
    with sim.recording() as log:
        with pytest.raises(v.EfaError) as info:
            cq.close()
    expect_efa_error(info, "ibv_destroy_cq", errno.EIO)
    assert log.fns() == ["ibv_ack_cq_events", "ibv_destroy_cq"]
    assert cq.cqe >= 16
    with pytest.raises(ValueError, match="cannot acknowledge more"):
        cq.ack_events()  # the count went to 0 with the acknowledgement
    cq.close()
    assert cq.channel is channel


def test_close_refused_while_a_queue_pair_uses_it(ctx):
    cq = ctx.create_cq(4)
    link = Link(ctx, cq, cq)
    with pytest.raises(v.EfaError) as info:
        cq.close()
    expect_efa_error(info, "ibv_destroy_cq", EBUSY)
    link.sender.close()
    link.receiver.close()
    cq.close()


@pytest.mark.parametrize("kind", KINDS)
def test_with_block(ctx, kind):
    with pytest.raises(KeyError):
        with create(ctx, kind, 4) as cq:
            assert cq.cqe >= 4
            raise KeyError
    with pytest.raises(v.EfaError, match="completion queue is closed"):
        _ = cq.cqe


@pytest.mark.parametrize("kind", KINDS)
def test_drop_acknowledges_and_releases(sim, ctx, kind):
    channel, cq, link = events_on(ctx, kind, count=2)
    link.receiver.close()
    del link
    sim.set_destroy_timeout(30)  # a missed acknowledgement would show as a hang
    with sim.recording() as log:
        del cq
        gc.collect()
    acks = log.calls("ibv_ack_cq_events")
    assert [c["nevents"] for c in acks] == [2]
    assert log.calls("ibv_destroy_cq")[0]["ret"] == 0


@pytest.mark.parametrize("kind", KINDS)
def test_failed_destroy_on_drop_is_silent(sim, ctx, kind):
    cq = [create(ctx, kind, 4)]
    sim.fail("ibv_destroy_cq", errno.EIO)
    drop_while_handling(cq)
    with pytest.raises(v.EfaError, match="1 open child"):
        ctx.close()


# ---- query_efa and CQAttr ------------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
def test_query_efa(sim, ctx, kind):
    cq = create(ctx, kind, 100)
    with sim.recording() as log:
        attr = cq.query_efa()
    assert log.calls("efadv_query_cq")[0]["inlen"] == 32
    assert type(attr) is v.CQAttr
    assert (attr.entry_size, attr.num_entries) == (32, cq.cqe)
    assert attr.buffer_addr > 0 and attr.doorbell_addr > 0
    assert repr(attr) == (
        f"CQAttr(buffer_addr={attr.buffer_addr:#x}, entry_size=32, num_entries={cq.cqe}, "
        f"doorbell_addr={attr.doorbell_addr:#x})"
    )


@pytest.mark.parametrize(
    "kind, call, fn, operation, err",
    [
        ("cq", "req_notify", "req_notify_cq", "ibv_req_notify_cq", errno.EINVAL),
        ("cq_ex", "query_efa", "efadv_query_cq", "efadv_query_cq", errno.EOPNOTSUPP),
    ],
)
def test_native_call_failure(sim, ctx, kind, call, fn, operation, err):
    cq = create(ctx, kind, 4)
    sim.fail(fn, err)
    with pytest.raises(v.EfaError) as info:
        getattr(cq, call)()
    expect_efa_error(info, operation, err)


@pytest.mark.parametrize("cls", [v.CQ, v.CQEx])
def test_query_efa_closed(cls):
    with pytest.raises(v.EfaError, match="completion queue is closed"):
        cls().query_efa()


def test_query_efa_with_an_old_libefa(sim):
    result = run_python(
        """
        import vantor.sim as sim
        sim.activate(legacy=True)
        import vantor._vantor as v
        try:
            v.CQ().query_efa()
        except v.EfaError as e:
            print("closed:", e.operation)
        cq = v.get_efa_device_list()[0].open().create_cq(4)
        try:
            cq.query_efa()
        except RuntimeError as e:
            print("open:", e)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "closed: completion queue is closed",
        "open: efadv_query_cq is unavailable: this libefa predates EFA 1.4",
    ]


def test_bare_cq_attr():
    attr = v.CQAttr()
    assert (attr.buffer_addr, attr.entry_size, attr.num_entries, attr.doorbell_addr) == (0,) * 4
    assert repr(attr) == "CQAttr(buffer_addr=0x0, entry_size=0, num_entries=0, doorbell_addr=0x0)"
    with pytest.raises(TypeError, match=r"CQAttr\(\) takes no arguments"):
        v.CQAttr(1)
    with pytest.raises(AttributeError):
        attr.entry_size = 1
