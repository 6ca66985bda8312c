"""Every native failure, injected through the simulator: the exception
type, its ``operation`` and ``errno`` (derived the way the raising function
derives it), and the state the object is left in (still open, still
counted, nothing half-made left behind, the call retryable)."""

from __future__ import annotations

import errno
import os
from collections.abc import Callable
from dataclasses import dataclass

import pytest
from completion_helpers import Link, OneOfEach
from qp_helpers import ACCESS_ALL

import vantor._vantor as v
from conftest import QKEY, run_python
from vantor.enums import AsyncEventType

EBADF, EBUSY, EIO, EINVAL = errno.EBADF, errno.EBUSY, errno.EIO, errno.EINVAL


class World(OneOfEach):
    """Open objects to fail operations on. ``lone`` is a context whose child
    count starts at 0, so whether a failed call left a child counted shows
    in whether it can be closed."""

    def __init__(self, sim):
        self.device = v.get_efa_device_list()[0]
        ctx = self.device.open()
        self.lone = self.device.open()
        super().__init__(sim, ctx, 32, sgid=True)

    def live(self, kind: str) -> int:
        return self.sim.live_objects()[kind]

    def lone_child(self, make):
        """A child of ``lone`` made by ``make(lone)``."""
        return make(self.lone)


@pytest.fixture
def w(sim):
    world = World(sim)
    yield world
    sim.clear_faults()
    os.close(world.memfd)


def assert_counted(ctx, n: int) -> None:
    """``ctx`` counts exactly ``n`` open children (its close is refused with that count)."""
    if n == 0:
        return
    with pytest.raises(v.EfaError) as info:
        ctx.close()
    assert (info.value.operation, info.value.errno) == ("ibv_close_device", EBUSY)
    assert f"with {n} open child" in info.value.strerror


# How a raising function derives the errno (Part of the error contract):
# injected (errno, return code) and the errno expected on the EfaError.
ERRNO_BASED = [(errno.ENOMEM, None, errno.ENOMEM), (0, None, EIO)]
RC_BASED = [
    (EINVAL, None, EINVAL),  # a positive code is the errno
    (0, -1, EIO),  # -1 without errno
    (0, -110, 110),  # a negated code
    (errno.EPERM, -1, errno.EPERM),  # errno wins for codes <= 0
]
RC_DIRECT = [(EINVAL, None, EINVAL), (errno.ENOMEM, None, errno.ENOMEM)]
POLL_COUNT = [(errno.EAGAIN, None, errno.EAGAIN), (0, -1, EIO), (errno.EPERM, -1, errno.EPERM)]
OPEN_DEVICE = [(errno.ENODEV, None, errno.ENODEV), (0, None, 0)]


@dataclass
class Row:
    id: str
    fn: str  # the simulator's name of the failing native call
    operation: str  # the EfaError's operation
    variants: list
    call: Callable  # makes the call that fails
    after: Callable | None = None  # checks the state after the failure; retries
    setup: Callable | None = None  # runs before the failure is armed


def _retried(call: Callable) -> tuple[Callable, Callable]:
    """A row's call and its check afterwards: the same call, now succeeding."""
    return call, call


def _make_lone_pd(w):
    w.lone.alloc_pd()


def _pd_after_failed_close(w):
    pd = w.lone_pd
    assert pd.reg_mr(w.addr, 64, 1).lkey >= 0  # still open and usable
    assert_counted(w.lone, 1)
    pd.close()
    w.lone.close()


def _mr_after_failed_close(w):
    assert w.mr.owner is w.buf and not w.mr.closed and w.mr.lkey >= 0
    w.mr.close()
    assert w.mr.closed and w.mr.owner is None


def _channel_after_failed_close(w):
    chan = w.lone_channel
    assert chan.fd >= 0
    assert_counted(w.lone, 1)
    chan.close()
    w.lone.close()


def _cq_after_failed_close(w):
    cq = w.lone_cq
    assert cq.cqe >= 1
    with pytest.raises(ValueError, match="cannot acknowledge more"):
        cq.ack_events()  # the count was acknowledged and reset before the destroy
    assert_counted(w.lone, 2)  # the queue and its channel
    cq.close()
    cq.channel.close()
    w.lone.close()


def _prepare_lone_cq(w):
    channel = w.lone.create_comp_channel()
    cq = w.lone.create_cq(4, channel=channel)
    # One event received and not acknowledged: close() acknowledges it first.
    pd = w.lone.alloc_pd()
    link = Link(w.lone, w.lone.create_cq(4), cq)
    cq.req_notify()
    link.send(1)
    assert channel.get_cq_event() is cq
    for qp in (link.sender, link.receiver):
        qp.close()
    for res in (link.src_mr, link.dst_mr, link.ah, link.send_pd, link.recv_pd, pd):
        res.close()
    link.sender.send_cq.close()
    w.lone_cq = cq


def _qp_state_after(state):
    def check(w):
        assert w.fresh_qp.state == state

    return check


def _fresh_qp(w, reach: int = 0):
    qp = w.pd.create_qp(v.QPInitAttr(w.send_cq, w.send_cq))
    steps = [lambda: qp.to_init(QKEY), qp.to_rtr, qp.to_rts]
    for step in steps[:reach]:
        step()
    w.fresh_qp = qp
    return qp


def _no_new(kind):
    def check(w):
        assert w.live(kind) == w.before[kind]

    return check


def _lone_child(method, cls, kind, create, destroy, after_failed_close):
    """Two rows: `method` of the lone context failing in `create`, and the
    close of such a child failing in `destroy`."""
    attr = f"lone_{kind}"
    return [
        Row(method, create, create, ERRNO_BASED,
            lambda w: getattr(w.lone, method)(),
            lambda w: (_no_new(kind)(w), w.lone.close())),
        Row(f"{cls}.close", destroy, destroy, RC_BASED,
            lambda w: getattr(w, attr).close(),
            after_failed_close,
            setup=lambda w: setattr(w, attr, getattr(w.lone, method)())),
    ]  # fmt: skip


ROWS = [
    # discovery and the context
    Row("get_device_list", "ibv_get_device_list", "ibv_get_device_list", ERRNO_BASED,
        lambda w: v.get_device_list(),
        lambda w: v.get_device_list()),
    Row("Device.open(list)", "ibv_get_device_list", "ibv_get_device_list", ERRNO_BASED,
        lambda w: w.device.open(),
        lambda w: w.device.open().close()),
    Row("Device.open", "ibv_open_device", "ibv_open_device(efa_0)", OPEN_DEVICE,
        lambda w: w.device.open(),
        lambda w: (_no_new("context")(w), w.device.open().close())),
    Row("query_device", "ibv_query_device", "ibv_query_device", RC_BASED,
        *_retried(lambda w: w.ctx.query_device())),
    Row("query_efa_device", "efadv_query_device", "efadv_query_device", RC_BASED,
        *_retried(lambda w: w.ctx.query_efa_device())),
    Row("query_port", "ibv_query_port", "ibv_query_port", RC_BASED,
        *_retried(lambda w: w.ctx.query_port())),
    Row("query_gid", "ibv_query_gid", "ibv_query_gid", ERRNO_BASED,
        *_retried(lambda w: w.ctx.query_gid())),
    Row("Context.close", "ibv_close_device", "ibv_close_device", ERRNO_BASED,
        lambda w: w.lone.close(),
        lambda w: (w.lone.query_port(), w.lone.close(), w.lone.close())),
    Row("get_async_event", "ibv_get_async_event", "ibv_get_async_event", ERRNO_BASED,
        lambda w: w.ctx.get_async_event(),
        lambda w: (w.sim.post_port_event(AsyncEventType.PORT_ACTIVE, async_fd=w.ctx.async_fd),
                   w.ctx.ack_async_event(w.ctx.get_async_event()))),
    # protection domains and memory
    *_lone_child("alloc_pd", "PD", "pd", "ibv_alloc_pd", "ibv_dealloc_pd",
                 _pd_after_failed_close),
    Row("reg_mr", "ibv_reg_mr_iova2", "ibv_reg_mr", ERRNO_BASED,
        lambda w: w.pd.reg_mr(w.addr, 64, ACCESS_ALL),
        lambda w: (_no_new("mr")(w), w.pd.reg_mr(w.addr, 64, ACCESS_ALL).close())),
    Row("reg_dmabuf_mr", "ibv_reg_dmabuf_mr", "ibv_reg_dmabuf_mr", ERRNO_BASED,
        lambda w: w.pd.reg_dmabuf_mr(0, 64, 0, w.memfd, 1),
        lambda w: (_no_new("mr")(w), w.pd.reg_dmabuf_mr(0, 64, 0, w.memfd, 1).close())),
    Row("MR.close", "ibv_dereg_mr", "ibv_dereg_mr", RC_BASED,
        lambda w: w.mr._keepalive(w.buf).close(),
        _mr_after_failed_close),
    Row("MR.query_efa", "efadv_query_mr", "efadv_query_mr", RC_BASED,
        lambda w: w.mr.query_efa(),
        lambda w: w.mr.query_efa()),
    # address handles
    Row("create_ah", "ibv_create_ah", "ibv_create_ah", ERRNO_BASED,
        lambda w: w.pd.create_ah(w.gid),
        lambda w: (_no_new("ah")(w), w.pd.create_ah(w.gid).close())),
    Row("AH.close", "ibv_destroy_ah", "ibv_destroy_ah", RC_BASED,
        lambda w: w.ah.close(),
        lambda w: (w.ah.ahn, w.ah.close(), w.ah.close())),
    Row("AH.ahn", "efadv_query_ah", "efadv_query_ah", RC_BASED,
        lambda w: w.ah.ahn,
        lambda w: w.ah.ahn),
    # completion channels and queues
    *_lone_child("create_comp_channel", "CompChannel", "channel", "ibv_create_comp_channel",
                 "ibv_destroy_comp_channel", _channel_after_failed_close),
    Row("get_cq_event", "ibv_get_cq_event", "ibv_get_cq_event", ERRNO_BASED,
        lambda w: (w.cq.req_notify(), w.link.send(1), w.channel.get_cq_event()),
        lambda w: (pytest.raises(ValueError, w.cq.ack_events),
                   w.channel.get_cq_event() is w.cq or pytest.fail("event lost"),
                   w.cq.ack_events())),
    Row("create_cq", "ibv_create_cq", "ibv_create_cq", ERRNO_BASED,
        lambda w: w.lone.create_cq(4),
        lambda w: (_no_new("cq")(w), w.lone.close())),
    Row("create_cq_ex", "efadv_create_cq", "efadv_create_cq", ERRNO_BASED,
        lambda w: w.lone.create_cq_ex(4),
        lambda w: (_no_new("cq")(w), w.lone.close())),
    Row("create_cq_ex(efa view)", "efadv_cq_from_ibv_cq_ex", "efadv_cq_from_ibv_cq_ex", ERRNO_BASED,
        lambda w: w.lone.create_cq_ex(4, unsolicited=True),
        lambda w: (_no_new("cq")(w), w.lone.close())),
    Row("CQ.close", "ibv_destroy_cq", "ibv_destroy_cq", RC_BASED,
        lambda w: w.lone_cq.close(),
        _cq_after_failed_close,
        setup=_prepare_lone_cq),
    Row("req_notify", "req_notify_cq", "ibv_req_notify_cq", RC_BASED,
        lambda w: w.cq.req_notify(),
        lambda w: w.cq.req_notify()),
    Row("CQ.query_efa", "efadv_query_cq", "efadv_query_cq", RC_BASED,
        lambda w: w.cqx.query_efa(),
        lambda w: w.cqx.query_efa()),
    Row("CQ.poll", "poll_cq", "ibv_poll_cq", POLL_COUNT,
        lambda w: (w.link.send(1), w.cq.poll(4)),
        lambda w: [wc.wr_id for wc in w.cq.poll(4)] == [1] or pytest.fail("completion lost")),
    Row("CQEx.poll(start)", "start_poll", "ibv_start_poll", RC_BASED,
        lambda w: (w.linkx.send(1), w.cqx.poll(4)),
        lambda w: [wc.wr_id for wc in w.cqx.poll(4)] == [1] or pytest.fail("completion lost")),
    Row("CQEx.poll(next)", "next_poll", "ibv_next_poll", RC_BASED,
        lambda w: (w.linkx.send_many([1, 2]), w.cqx.poll(4)),
        lambda w: w.cqx.poll(4)),
    # queue pairs
    Row("create_qp(UD)", "create_qp_ex", "ibv_create_qp_ex", ERRNO_BASED,
        lambda w: w.pd.create_qp(v.QPInitAttr(w.cq, w.cq, qp_type=4)),
        lambda w: (_no_new("qp")(w), w.pd.create_qp(v.QPInitAttr(w.cq, w.cq, qp_type=4)))),
    Row("create_qp(SRD)", "efadv_create_qp_ex", "efadv_create_qp_ex", ERRNO_BASED,
        lambda w: w.pd.create_qp(v.QPInitAttr(w.cq, w.cq)),
        lambda w: (_no_new("qp")(w), w.pd.create_qp(v.QPInitAttr(w.cq, w.cq)))),
    Row("create_qp(extended)", "ibv_qp_to_qp_ex", "ibv_qp_to_qp_ex", ERRNO_BASED,
        lambda w: w.pd.create_qp(v.QPInitAttr(w.cq, w.cq)),
        lambda w: (_no_new("qp")(w), w.pd.create_qp(v.QPInitAttr(w.cq, w.cq)))),
    Row("QP.close", "ibv_destroy_qp", "ibv_destroy_qp", RC_BASED,
        lambda w: w.qp.close(),
        lambda w: (w.qp.qp_num, w.qp.state, w.qp.close(), w.qp.close())),
    Row("to_init", "ibv_modify_qp", "ibv_modify_qp(->INIT)", RC_BASED,
        lambda w: w.fresh_qp.to_init(QKEY),
        lambda w: (_qp_state_after(0)(w), w.fresh_qp.to_init(QKEY), _qp_state_after(1)(w)),
        setup=lambda w: _fresh_qp(w)),
    Row("to_rtr", "ibv_modify_qp", "ibv_modify_qp(->RTR)", RC_BASED,
        lambda w: w.fresh_qp.to_rtr(),
        lambda w: (_qp_state_after(1)(w), w.fresh_qp.to_rtr(), _qp_state_after(2)(w)),
        setup=lambda w: _fresh_qp(w, 1)),
    Row("to_rts", "ibv_modify_qp", "ibv_modify_qp(->RTS)", RC_BASED,
        lambda w: w.fresh_qp.to_rts(rnr_retry=7),
        lambda w: (_qp_state_after(2)(w), w.fresh_qp.to_rts(), _qp_state_after(3)(w)),
        setup=lambda w: _fresh_qp(w, 2)),
    Row("modify", "ibv_modify_qp", "ibv_modify_qp", RC_BASED,
        lambda w: w.fresh_qp.modify(0x1, qp_state=6),
        lambda w: (_qp_state_after(0)(w), w.fresh_qp.modify(0x1, qp_state=6), _qp_state_after(6)(w)),
        setup=lambda w: _fresh_qp(w)),
    Row("query", "ibv_query_qp", "ibv_query_qp", RC_BASED,
        lambda w: w.qp.query(),
        lambda w: w.qp.query()),
    Row("state", "ibv_query_qp", "ibv_query_qp", RC_BASED,
        lambda w: w.qp.state,
        lambda w: w.qp.state),
    Row("query_wqs", "efadv_query_qp_wqs", "efadv_query_qp_wqs", RC_BASED,
        lambda w: w.qp.query_wqs(),
        lambda w: w.qp.query_wqs()),
    Row("post_send", "wr_complete", "ibv_wr_complete", RC_DIRECT,
        lambda w: (w.link.post_recv(1), w.link.send(2, recv_wr_id=False)),
        lambda w: (w.cq.poll(4) == [] or pytest.fail("a refused batch was delivered"),
                   w.link.send(3, recv_wr_id=False),
                   [wc.wr_id for wc in w.cq.poll(4)] == [1] or pytest.fail("not delivered"))),
    Row("post_recv", "post_recv", "ibv_post_recv", RC_DIRECT,
        lambda w: w.link.post_recv(1, 3),
        lambda w: w.link.post_recv(1, 3)),
]  # fmt: skip


def _variants(rows):
    for row in rows:
        for inject, rc, expected in row.variants:
            name = f"{row.id}-errno{inject}" + ("" if rc is None else f"-rc{rc}")
            yield pytest.param(row, inject, rc, expected, id=name)


@pytest.mark.parametrize("row, inject, rc, expected", list(_variants(ROWS)))
def test_native_failure(w, row, inject, rc, expected):
    if row.setup is not None:
        row.setup(w)
    w.before = w.sim.live_objects()
    w.sim.fail(row.fn, inject, rc=rc)
    with w.sim.recording() as log:
        with pytest.raises(v.EfaError) as info:
            row.call(w)
    e = info.value
    assert type(e) is v.EfaError
    assert (e.operation, e.errno) == (row.operation, expected)
    assert e.strerror == f"{row.operation} failed: {os.strerror(expected)}"
    assert w.sim.fault_pending(row.fn) == 0
    # Every open native poll batch was ended, exactly once.
    assert len(log.calls("end_poll")) == len([c for c in log.calls("start_poll") if c["ret"] == 0])
    if row.after is not None:
        row.after(w)


def test_every_operation_of_the_error_table_is_covered():
    operations = {row.operation for row in ROWS}
    table = {
        "ibv_get_device_list", "ibv_query_gid", "ibv_close_device", "ibv_query_device",
        "efadv_query_device", "ibv_query_port", "ibv_get_async_event", "ibv_alloc_pd",
        "ibv_dealloc_pd", "ibv_reg_mr", "ibv_reg_dmabuf_mr", "ibv_dereg_mr", "efadv_query_mr",
        "ibv_create_ah", "ibv_destroy_ah", "efadv_query_ah", "ibv_create_comp_channel",
        "ibv_destroy_comp_channel", "ibv_get_cq_event", "ibv_create_cq", "efadv_create_cq",
        "ibv_destroy_cq", "ibv_req_notify_cq", "efadv_query_cq", "ibv_start_poll",
        "ibv_next_poll", "ibv_create_qp_ex", "efadv_create_qp_ex", "ibv_qp_to_qp_ex",
        "ibv_destroy_qp", "ibv_modify_qp(->INIT)", "ibv_modify_qp(->RTR)",
        "ibv_modify_qp(->RTS)", "ibv_modify_qp", "ibv_query_qp", "efadv_query_qp_wqs",
        # raised directly
        "ibv_open_device(efa_0)", "ibv_poll_cq", "ibv_wr_complete", "ibv_post_recv",
    }  # fmt: skip
    assert table <= operations


def test_qp_to_qp_ex_failure_destroys_the_native_qp(w):
    w.sim.fail("ibv_qp_to_qp_ex", errno.ENOMEM)
    with w.sim.recording() as log:
        with pytest.raises(v.EfaError):
            w.pd.create_qp(v.QPInitAttr(w.cq, w.cq))
    assert log.fns()[-2:] == ["ibv_qp_to_qp_ex", "ibv_destroy_qp"]


def test_start_poll_without_a_completion_is_not_a_failure(w):
    with w.sim.recording() as log:
        assert w.cqx.poll(4) == []
    assert log.fns() == ["start_poll"]


def test_prepare_stops_at_the_failing_step(w):
    qp = _fresh_qp(w)
    w.sim.fail("ibv_modify_qp", EINVAL, skip=1)  # INIT passes, RTR fails
    with pytest.raises(v.EfaError) as info:
        qp.prepare(QKEY)
    assert info.value.operation == "ibv_modify_qp(->RTR)"
    assert qp.state == 1  # no rollback
    qp.to_rtr()
    qp.to_rts()
    assert qp.state == 3


# Refusals: the native library or the module refuses; the object stays
# open (and counted) until what blocks it is gone.


def test_context_with_children_refuses_to_close(w):
    pd = w.lone.alloc_pd()
    channel = w.lone.create_comp_channel()
    with w.sim.recording() as log:
        assert_counted(w.lone, 2)
    assert log.calls("ibv_close_device") == []
    pd.close()
    assert_counted(w.lone, 1)
    channel.close()
    w.lone.close()


@pytest.mark.parametrize(
    "parent, child, operation",
    [
        ("pd", "mr", "ibv_dealloc_pd"),
        ("pd", "ah", "ibv_dealloc_pd"),
        ("pd", "qp", "ibv_dealloc_pd"),
        ("channel", "cq", "ibv_destroy_comp_channel"),
        ("cq", "qp", "ibv_destroy_cq"),
    ],
)
def test_native_refusal_while_a_child_exists(w, parent, child, operation):
    lone_pd = w.lone.alloc_pd()
    channel = w.lone.create_comp_channel()
    cq = w.lone.create_cq(4, channel=channel)
    children = {
        "mr": lambda: lone_pd.reg_mr(w.addr, 64, 1),
        "ah": lambda: lone_pd.create_ah(w.gid),
        "qp": lambda: lone_pd.create_qp(v.QPInitAttr(cq, cq)),
        "cq": lambda: cq,
    }
    parents = {"pd": lone_pd, "channel": channel, "cq": cq}
    blocker = children[child]()
    target = parents[parent]
    with pytest.raises(v.EfaError) as info:
        target.close()
    assert (info.value.operation, info.value.errno) == (operation, EBUSY)
    assert_counted(w.lone, 3)
    blocker.close()
    target.close()
    for obj in (cq, channel, lone_pd):
        obj.close()
    w.lone.close()


# A native object whose destroy fails on destruction lives on for the rest
# of the process, so these run in a process of their own.
DROP_CHECK = """
import sys, errno, ctypes
import vantor.sim as sim
sim.activate()
import vantor._vantor as v
unraisable = []
sys.unraisablehook = unraisable.append
ctx = v.get_efa_device_list()[0].open()
pd = ctx.alloc_pd()
cq = ctx.create_cq(4)
buf = ctypes.create_string_buffer(64)
gid = ctx.query_gid()
lone = v.get_efa_device_list()[0].open()
make = {make}
obj = make()
sim.fail({fn!r}, errno.EIO)
try:
    raise KeyError("pending")
except KeyError:
    del obj  # destruction leaves the exception being handled alone
    assert sys.exc_info()[0] is KeyError
assert sim.fault_pending({fn!r}) == 0, "the destroy was not attempted"
assert unraisable == [], unraisable
try:
    lone.close()
    print("closed")
except v.EfaError as e:
    print(e.operation, e.errno, e.strerror)
"""


@pytest.mark.parametrize(
    "make, fn, counted",
    [
        ("lone.alloc_pd", "ibv_dealloc_pd", True),
        ("lone.create_comp_channel", "ibv_destroy_comp_channel", True),
        ("lambda: lone.create_cq(4)", "ibv_destroy_cq", True),
        ("lambda: lone.create_cq_ex(4, sgid=True)", "ibv_destroy_cq", True),
        ("lambda: pd.reg_mr(ctypes.addressof(buf), 64, 1)", "ibv_dereg_mr", False),
        ("lambda: pd.create_ah(gid)", "ibv_destroy_ah", False),
        ("lambda: pd.create_qp(v.QPInitAttr(cq, cq))", "ibv_destroy_qp", False),
    ],
    ids=["PD", "CompChannel", "CQ", "CQEx", "MR", "AH", "QP"],
)
def test_failed_destroy_on_drop_is_silent(make, fn, counted):

    result = run_python(DROP_CHECK.format(make=make, fn=fn))
    assert result.returncode == 0, result.stderr
    if counted:
        # The native object lives on: its context never closes under it.
        expected = "ibv_close_device 16 cannot close context with 1 open child resource(s)"
    else:
        expected = "closed"
    assert result.stdout.splitlines() == [expected]


# The closed check: every handle-using operation of every class, on a
# closed object, raises EBADF with the class's message and calls nothing.

CLOSED = [
    ("context is closed", lambda: v.Context(), [
        lambda o: o.is_efa(), lambda o: o.query_device(), lambda o: o.query_efa_device(),
        lambda o: o.query_port(), lambda o: o.query_gid(), lambda o: o.alloc_pd(),
        lambda o: o.create_comp_channel(), lambda o: o.create_cq(1), lambda o: o.create_cq_ex(1),
        lambda o: o.get_async_event(), lambda o: o.num_comp_vectors, lambda o: o.async_fd,
    ]),
    ("pd is closed", lambda: v.PD(), [
        lambda o: o.reg_mr(0, 1, 0), lambda o: o.reg_dmabuf_mr(0, 1, 0, 0, 0),
        lambda o: o.create_ah(b"x" * 16), lambda o: o.create_qp(None),
    ]),
    ("memory region is closed", lambda: v.MR(), [
        lambda o: o.addr, lambda o: o.length, lambda o: o.lkey, lambda o: o.rkey,
        lambda o: o.handle, lambda o: o.query_efa(), lambda o: o.sge(),
        lambda o: v.SGE(o, 0),
    ]),
    ("address handle is closed", lambda: v.AH(), [lambda o: o.ahn]),
    ("completion channel is closed", lambda: v.CompChannel(), [
        lambda o: o.fd, lambda o: o.get_cq_event(),
    ]),
    ("completion queue is closed", lambda: v.CQ(), [
        lambda o: o.cqe, lambda o: o.poll(1), lambda o: o.req_notify(), lambda o: o.ack_events(),
        lambda o: o.query_efa(), lambda o: o.poll(0),
    ]),
    ("completion queue is closed", lambda: v.CQEx(), [
        lambda o: o.cqe, lambda o: o.poll(1), lambda o: o.req_notify(), lambda o: o.query_efa(),
    ]),
    ("completion queue is closed", lambda: v._CQBase(), [lambda o: o.cqe, lambda o: o.req_notify()]),
    ("queue pair is closed", lambda: v.QP(), [
        lambda o: o.qp_num, lambda o: o.to_init(1), lambda o: o.to_init(-1), lambda o: o.to_rtr(),
        lambda o: o.to_rts(), lambda o: o.prepare(1), lambda o: o.modify(0), lambda o: o.query(),
        lambda o: o.state, lambda o: o.query_wqs(), lambda o: o.post_send([]),
        lambda o: o.post_recv(5),
    ]),
]  # fmt: skip


def _closed_cases():
    for message, make, calls in CLOSED:
        for i, call in enumerate(calls):
            yield pytest.param(
                message, make, call, id=f"{message.split()[0]}-{make().__class__.__name__}-{i}"
            )


@pytest.mark.parametrize("message, make, call", list(_closed_cases()))
def test_closed_check(sim, message, make, call):
    obj = make()
    with sim.recording() as log:
        with pytest.raises(v.EfaError) as info:
            call(obj)
    assert (info.value.operation, info.value.errno) == (message, EBADF)
    assert list(log) == []


@pytest.mark.parametrize(
    "kind, make",
    [
        ("context", lambda w: w.device.open()),
        ("pd", lambda w: w.ctx.alloc_pd()),
        ("mr", lambda w: w.pd.reg_mr(w.addr, 64, 1)),
        ("ah", lambda w: w.pd.create_ah(w.gid)),
        ("channel", lambda w: w.ctx.create_comp_channel()),
        ("cq", lambda w: w.ctx.create_cq(4)),
        ("cq", lambda w: w.ctx.create_cq_ex(4, sgid=True)),
        ("qp", lambda w: w.pd.create_qp(v.QPInitAttr(w.cq, w.cq))),
    ],
)
def test_closed_after_close_and_close_is_idempotent(w, kind, make):
    obj = make(w)
    before = w.live(kind)
    assert obj.close() is None
    assert w.live(kind) == before - 1
    with w.sim.recording() as log:
        assert obj.close() is None
        assert obj.__exit__(None, None, None) is False
    assert list(log) == []


def test_missing_optional_entry_points(sim):
    # The legacy build stands in for an rdma-core without the optional
    # symbols; the closed check still comes first.

    result = run_python(
        """
        import vantor.sim as sim
        sim.activate(legacy=True)
        import ctypes, os
        import vantor._vantor as v
        ctx = v.get_device_list()[0].open()
        pd = ctx.alloc_pd()
        buf = ctypes.create_string_buffer(64)
        mr = pd.reg_mr(ctypes.addressof(buf), 64, 1)
        cq = ctx.create_cq(4)
        qp = pd.create_qp(v.QPInitAttr(cq, cq))
        calls = [
            lambda: pd.reg_dmabuf_mr(-1, 0, -1, 0, 0), lambda: mr.query_efa(),
            lambda: cq.query_efa(), lambda: ctx.create_cq_ex(4).query_efa(),
            lambda: qp.query_wqs(),
        ]
        for call in calls:
            try:
                call()
            except RuntimeError as e:
                print(e)
        for bare in (lambda: v.MR().query_efa(), lambda: v.QP().query_wqs(),
                     lambda: v.CQ().query_efa(), lambda: v.PD().reg_dmabuf_mr(0, 1, 0, 0, 0)):
            try:
                bare()
            except v.EfaError as e:
                print(e.operation)
        qp.close(); mr.close(); pd.close()
        try:
            pd.reg_dmabuf_mr(0, 1, 0, 3, 1)
        except v.EfaError as e:
            print(e.operation)
        print(v._has_dmabuf(), [c for c in ("poll_cq",)])
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        (
            "ibv_reg_dmabuf_mr is unavailable: this libibverbs predates rdma-core 34. "
            "Use reg_mr with nvidia_peermem instead."
        ),
        "efadv_query_mr is unavailable: this libefa predates EFA 1.3",
        "efadv_query_cq is unavailable: this libefa predates EFA 1.4",
        "efadv_query_cq is unavailable: this libefa predates EFA 1.4",
        "efadv_query_qp_wqs is unavailable: this libefa predates EFA 1.4",
        "memory region is closed",
        "queue pair is closed",
        "completion queue is closed",
        "pd is closed",
        "pd is closed",  # a closed one, as the bare one above
        "False ['poll_cq']",
    ]
