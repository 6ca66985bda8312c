"""Reference and memory leaks when the native library fails: each entry point
made to fail for good, the operation that reaches it run many times without
anything growing, and the failure path shown to be taken."""

from __future__ import annotations

import errno

import pytest
from leak_check import check_no_leak
from leak_world import op, open_world, raises
from qp_helpers import ACCESS_ALL

import vantor._vantor as v
from conftest import QKEY


@pytest.fixture
def world(sim):
    with open_world(sim) as w:
        yield w


NATIVE_FAILURES = [
    # (id, native function made to fail, operation)
    ("ibv_get_device_list", "ibv_get_device_list", lambda w: op(v.get_device_list)),
    ("ibv_open_device", "ibv_open_device", lambda w: op(w.device.open, w.device)),
    ("ibv_query_device", "ibv_query_device", lambda w: op(w.ctx.query_device)),
    (
        "efadv_query_device",
        "efadv_query_device",
        lambda w: op(lambda: (w.ctx.is_efa(), w.ctx.query_efa_device())),
    ),
    ("ibv_query_port", "ibv_query_port", lambda w: op(w.ctx.query_port)),
    ("ibv_query_gid", "ibv_query_gid", lambda w: op(w.ctx.query_gid)),
    ("ibv_close_device", "ibv_close_device", lambda w: op(w.other.close)),
    ("ibv_get_async_event", "ibv_get_async_event", lambda w: op(w.ctx.get_async_event)),
    ("ibv_alloc_pd", "ibv_alloc_pd", lambda w: op(w.ctx.alloc_pd)),
    ("ibv_dealloc_pd", "ibv_dealloc_pd", lambda w: op(w.pd.close, w.pd)),
    ("ibv_reg_mr", "ibv_reg_mr_iova2", lambda w: op(lambda: w.pd.reg_mr(w.addr, 64, ACCESS_ALL))),
    (
        "ibv_reg_dmabuf_mr",
        "ibv_reg_dmabuf_mr",
        lambda w: op(lambda: w.pd.reg_dmabuf_mr(0, 64, 0, w.memfd, 1)),
    ),
    ("ibv_dereg_mr", "ibv_dereg_mr", lambda w: op(w.mr.close)),
    ("efadv_query_mr", "efadv_query_mr", lambda w: op(w.mr.query_efa)),
    ("ibv_create_ah", "ibv_create_ah", lambda w: op(lambda: w.pd.create_ah(w.gid), w.gid)),
    ("ibv_destroy_ah", "ibv_destroy_ah", lambda w: op(w.ah.close)),
    ("efadv_query_ah", "efadv_query_ah", lambda w: op(lambda: w.ah.ahn)),
    ("ibv_create_comp_channel", "ibv_create_comp_channel", lambda w: op(w.ctx.create_comp_channel)),
    ("ibv_destroy_comp_channel", "ibv_destroy_comp_channel", lambda w: op(w.channel.close)),
    ("ibv_get_cq_event", "ibv_get_cq_event", lambda w: op(w.channel.get_cq_event)),
    (
        "ibv_create_cq",
        "ibv_create_cq",
        lambda w: op(lambda: w.ctx.create_cq(4, w.channel), w.channel),
    ),
    ("efadv_create_cq", "efadv_create_cq", lambda w: op(lambda: w.ctx.create_cq_ex(4))),
    (
        "efadv_cq_from_ibv_cq_ex",
        "efadv_cq_from_ibv_cq_ex",
        lambda w: op(lambda: w.ctx.create_cq_ex(4, sgid=True)),
    ),
    ("ibv_destroy_cq", "ibv_destroy_cq", lambda w: op(w.cqx.close)),
    ("ibv_req_notify_cq", "req_notify_cq", lambda w: op(w.cq.req_notify)),
    ("efadv_query_cq", "efadv_query_cq", lambda w: op(w.cq.query_efa)),
    ("ibv_poll_cq", "poll_cq", lambda w: op(lambda: w.cq.poll(4))),
    ("ibv_start_poll", "start_poll", lambda w: op(lambda: w.cqx.poll(4))),
    ("ibv_next_poll", "next_poll", lambda w: op(lambda: w.send(w.linkx))),
    ("ibv_poll_cq into", "poll_cq", lambda w: op(lambda: w.cq.poll_into(w.wcs), *w.wcs)),
    ("ibv_start_poll into", "start_poll", lambda w: op(lambda: w.cqx.poll_into(w.wcs), *w.wcs)),
    ("ibv_next_poll into", "next_poll", lambda w: op(lambda: w.send_into(w.linkx), *w.wcs)),
    (
        "ibv_create_qp_ex",
        "create_qp_ex",
        lambda w: op(lambda: w.pd.create_qp(v.QPInitAttr(w.cq, w.cq, qp_type=4))),
    ),
    (
        "efadv_create_qp_ex",
        "efadv_create_qp_ex",
        lambda w: op(lambda: w.pd.create_qp(v.QPInitAttr(w.cq, w.cq))),
    ),
    (
        "ibv_qp_to_qp_ex",
        "ibv_qp_to_qp_ex",
        lambda w: op(lambda: w.pd.create_qp(v.QPInitAttr(w.cq, w.cq)), w.cq),
    ),
    ("ibv_destroy_qp", "ibv_destroy_qp", lambda w: op(w.qp.close)),
    (
        "ibv_modify_qp",
        "ibv_modify_qp",
        lambda w: op(
            lambda: (
                raises(lambda: w.qp.prepare(QKEY), v.EfaError),
                raises(lambda: w.qp.modify(0), v.EfaError),
            )
        ),
    ),  # fmt: skip
    (
        "ibv_query_qp",
        "ibv_query_qp",
        lambda w: op(
            lambda: (
                raises(w.qp.query, v.EfaError),
                raises(lambda: w.qp.state, v.EfaError),
            )
        ),
    ),  # fmt: skip
    ("efadv_query_qp_wqs", "efadv_query_qp_wqs", lambda w: op(w.qp.query_wqs)),
    (
        "ibv_wr_complete",
        "wr_complete",
        lambda w: op(lambda: w.link.sender.post_send([w.send_wr()] * 3)),
    ),
    ("ibv_post_recv", "post_recv", lambda w: op(lambda: w.link.post_recv(1, 3))),
]


@pytest.mark.parametrize(
    "fn_name, build", [c[1:] for c in NATIVE_FAILURES], ids=[c[0] for c in NATIVE_FAILURES]
)
def test_native_failure_does_not_leak(world, fn_name, build):
    fn, watch = build(world)
    armed = 1 << 30
    world.sim.fail(fn_name, errno.EIO, count=armed)
    check_no_leak(fn, watch=watch, sim=world.sim)
    assert world.sim.fault_pending(fn_name) < armed  # the failure path was taken
