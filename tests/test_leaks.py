"""Reference and memory leaks on the success paths: every public operation,
run many times, without anything growing (live objects, Python and malloc
bytes, reference counts of its arguments and of the singletons, the
simulator's native objects). Error paths and native failures have modules of
their own (test_leaks_errors, test_leaks_native); the checker's own cases
are in test_leak_check."""

from __future__ import annotations

import copy
import pickle

import pytest
from leak_check import check_no_leak
from leak_world import WC_CHECKSUM, cases, op, open_world
from qp_helpers import ACCESS_ALL

import vantor._vantor as v
from conftest import QKEY
from vantor.enums import AsyncEventType, SendFlags


@pytest.fixture
def world(sim):
    with open_world(sim) as w:
        yield w


SUCCESS = [
    # discovery and devices
    ("get_device_list", lambda w: op(v.get_device_list)),
    ("get_efa_device_list", lambda w: op(v.get_efa_device_list)),
    ("probes", lambda w: op(lambda: (v._linked(), v._has_dmabuf()))),
    ("Device", lambda w: op(lambda: repr(v.Device(name="dev0", guid=31)))),
    ("Device.fields", lambda w: op(lambda: (w.device.name, w.device.guid), w.device)),
    ("Device.open", lambda w: op(lambda: w.device.open().close(), w.device)),
    ("Device.open+drop", lambda w: op(w.device.open, w.device)),
    # context
    ("Context.is_efa", lambda w: op(w.ctx.is_efa)),
    ("Context.query_device", lambda w: op(lambda: repr(w.ctx.query_device()))),
    ("Context.query_efa_device", lambda w: op(lambda: repr(w.ctx.query_efa_device()))),
    ("Context.query_port", lambda w: op(lambda: repr(w.ctx.query_port(port_num=1)))),
    ("Context.query_gid", lambda w: op(lambda: repr(w.ctx.query_gid(1, 0)))),
    (
        "Context.properties",
        lambda w: op(lambda: (w.ctx.num_comp_vectors, w.ctx.async_fd, repr(w.ctx))),
    ),
    ("Context.with", lambda w: op(lambda: w.ctx.__enter__())),
    (
        "Context.get_async_event",
        lambda w: op(
            lambda: (
                w.sim.post_port_event(AsyncEventType.PORT_ACTIVE, async_fd=w.ctx.async_fd),
                ev := w.ctx.get_async_event(),
                repr(ev),
                ev.event_type,
                w.ctx.ack_async_event(ev),
            )
        ),  # fmt: skip
    ),
    ("Context.ack_async_event(bare)", lambda w: op(lambda: w.ctx.ack_async_event(v.AsyncEvent()))),
    # protection domain and memory regions
    ("Context.alloc_pd", lambda w: op(w.ctx.alloc_pd)),
    ("PD.close", lambda w: op(lambda: w.ctx.alloc_pd().close())),
    ("PD.with", lambda w: op(lambda: w.ctx.alloc_pd().__exit__(None, None, None))),
    ("PD.reg_mr", lambda w: op(lambda: w.pd.reg_mr(w.addr, 4096, ACCESS_ALL), w.pd)),
    ("PD.reg_mr(float)", lambda w: op(lambda: w.pd.reg_mr(float(w.addr), 64.0, ACCESS_ALL), w.pd)),
    (
        "MR._keepalive",
        lambda w: op(lambda: w.pd.reg_mr(w.addr, 64, ACCESS_ALL)._keepalive(w.buf).close(), w.buf),
    ),
    ("PD.reg_dmabuf_mr", lambda w: op(lambda: w.pd.reg_dmabuf_mr(0, 4096, 0, w.memfd, ACCESS_ALL))),
    (
        "MR.fields",
        lambda w: op(
            lambda: (
                w.mr.addr,
                w.mr.length,
                w.mr.lkey,
                w.mr.rkey,
                w.mr.handle,
                w.mr.closed,
                w.mr.pd,
                w.mr.owner,
                repr(w.mr),
                repr(v.MR()),
            ),
            w.mr,
        ),  # fmt: skip
    ),
    ("MR.query_efa", lambda w: op(lambda: repr(w.mr.query_efa()))),
    ("MR.sge", lambda w: op(lambda: (w.mr.sge(), w.mr.sge(8, offset=8)), w.mr)),
    # address handles
    ("PD.create_ah(Gid)", lambda w: op(lambda: w.pd.create_ah(w.gid), w.gid)),
    (
        "PD.create_ah(bytes)",
        lambda w: op(lambda: w.pd.create_ah(w.gid.raw, 0, port_num=1), w.gid.raw),
    ),
    ("PD.create_ah(AHAttr)", lambda w: op(lambda: w.pd.create_ah(v.AHAttr(w.gid)).close())),
    ("AH.ahn", lambda w: op(lambda: (w.ah.ahn, w.ah.pd), w.ah)),
    (
        "AHAttr",
        lambda w: op(
            lambda: (
                a := v.AHAttr(w.gid.raw, 1, 1, 2, 3, 4, 0),
                setattr(a, "flow_label", 7),
                setattr(a, "dgid", b"x" * 16),
                a.dgid,
                a.port_num,
                delattr(a, "dgid"),
            ),
            w.gid.raw,
        ),  # fmt: skip
    ),
    # completion channels and queues
    ("Context.create_comp_channel", lambda w: op(w.ctx.create_comp_channel)),
    ("CompChannel.fd", lambda w: op(lambda: (w.channel.fd, w.channel.context))),
    ("Context.create_cq", lambda w: op(lambda: w.ctx.create_cq(8, w.channel, 0), w.channel)),
    (
        "Context.create_cq_ex",
        lambda w: op(lambda: w.ctx.create_cq_ex(8, None, 0, 127, sgid=True, unsolicited=True)),
    ),
    ("CQ.close", lambda w: op(lambda: w.ctx.create_cq_ex(8).close())),
    (
        "CQ.fields",
        lambda w: op(
            lambda: (
                w.cq.cqe,
                w.cq.context,
                w.cq.channel,
                w.cqx.sgid_enabled,
                w.cqx.unsolicited_enabled,
                repr(w.cq.query_efa()),
                repr(w.cqx.query_efa()),
            )
        ),  # fmt: skip
    ),
    ("CQ.poll(empty)", lambda w: op(lambda: (w.cq.poll(8), w.cqx.poll(8)))),
    ("CQ.poll", lambda w: op(lambda: w.send(w.link))),
    ("CQEx.poll", lambda w: op(lambda: w.send(w.linkx))),
    ("CQ.poll_into", lambda w: op(lambda: w.send_into(w.link), *w.wcs)),
    ("CQEx.poll_into", lambda w: op(lambda: w.send_into(w.linkx), *w.wcs)),
    (
        # WCs whose sgid is released only once all are filled: held by the call.
        "CQEx.poll_into(held)",
        lambda w: op(
            lambda: w.send_into(
                w.linkx,
                [
                    v._unpickle_WC(v.WC, WC_CHECKSUM, (0, 0, 0, 0, [i], 0, 0, 0, 0, 0, i))
                    for i in range(2)
                ],
            )
        ),
    ),  # fmt: skip
    (
        "CompChannel.get_cq_event",
        lambda w: op(
            lambda: (
                w.cq.req_notify(),
                w.send(w.link),
                w.channel.get_cq_event().ack_events(1),
            )
        ),  # fmt: skip
    ),
    ("CQ.req_notify", lambda w: op(lambda: w.cqx.req_notify(solicited_only=True))),
    # work completions
    (
        "WC",
        lambda w: op(
            lambda: [
                (repr(wc), wc.status_str, wc.is_success, wc.sgid, wc.raise_for_status())
                for wcs in w.send(w.linkx)
                for wc in wcs
            ]
        ),  # fmt: skip
    ),
    ("CompletionError", lambda w: op(lambda: str(v.CompletionError(w.wc_fail)), w.wc_fail)),
    ("EfaError", lambda w: op(lambda: (str(v.EfaError("op", 5)), v.EfaError(None, 2, "x")))),
    # queue pairs
    (
        "PD.create_qp(SRD)",
        lambda w: op(lambda: w.pd.create_qp(v.QPInitAttr(w.send_cq, w.send_cq)), w.send_cq),
    ),
    (
        "PD.create_qp(UD)",
        lambda w: op(lambda: w.pd.create_qp(v.QPInitAttr(w.send_cq, w.cq, qp_type=4)).close()),
    ),
    (
        "QP.prepare",
        lambda w: op(
            lambda: w.pd.create_qp(v.QPInitAttr(w.send_cq, w.send_cq)).prepare(
                QKEY, port=1, psn=5, rnr_retry=7
            )
        ),
    ),
    (
        "QP.fields",
        lambda w: op(
            lambda: (
                w.qp.qp_num,
                w.qp.qp_type,
                w.qp.send_ops_flags,
                w.qp.pd,
                w.qp.send_cq,
                w.qp.recv_cq,
                repr(w.qp),
                repr(v.QP()),
            ),
            w.qp,
        ),  # fmt: skip
    ),
    ("QP.state", lambda w: op(lambda: w.qp.state)),
    ("QP.query", lambda w: op(lambda: repr(w.qp.query()))),
    ("QP.query_wqs", lambda w: op(lambda: repr(w.qp.query_wqs()))),
    ("QP.modify", lambda w: op(lambda: w.qp.modify(0x40, qkey=QKEY))),
    ("QP.post_send([])", lambda w: op(lambda: w.qp.post_send(iter([])))),
    (
        "QP.post_recv",
        lambda w: op(
            lambda: (
                w.link.post_recv(1, 2),
                w.link.send(1, recv_wr_id=False),
                w.link.send(2, recv_wr_id=False),
                w.drain(),
            )
        ),
    ),  # fmt: skip
    (
        "QP.post_send(inline)",
        lambda w: op(
            lambda: (
                w.link.post_recv(1),
                w.inline_qp.post_send(w.send_wr(send_flags=SendFlags.SIGNALED | SendFlags.INLINE)),
                w.drain(),
            )
        ),
    ),  # fmt: skip
    # records
    (
        "Gid",
        lambda w: op(
            lambda: (
                g := v.Gid(w.gid.raw),
                repr(g),
                g.subnet_prefix,
                g.interface_id,
                bytes(g),
                g == w.gid.raw,
                g != bytearray(16),
                g == "x",
            ),
            w.gid.raw,
        ),
    ),  # fmt: skip
    (
        "SGE",
        lambda w: op(
            lambda: (repr(v.SGE(w.mr, 8, offset=4)), v.SGE(4096.0, 8, 1)._keepalive(w.buf)),
            w.mr,
            w.buf,
        ),
    ),
    ("SendWR", lambda w: op(lambda: w.send_wr(dest=w.peer, imm_data=3), w.ah, w.peer)),
    (
        "SendWR.setters",
        lambda w: op(
            lambda: (
                wr := v.SendWR(sg_list=(w.mr.sge(),)),
                setattr(wr, "sg_list", []),
                setattr(wr, "ah", w.ah),
                setattr(wr, "wr_id", 2**64 - 1),
                wr.wr_id,
                wr.sg_list,
                delattr(wr, "ah"),
            ),
            w.ah,
        ),
    ),  # fmt: skip
    ("RecvWR", lambda w: op(lambda: (r := v.RecvWR(7, [w.mr.sge()]), r.sg_list, r.wr_id), w.mr)),
    (
        "QPInitAttr",
        lambda w: op(lambda: v.QPInitAttr(w.cq, w.cq, sq_sig_all=1, send_ops_flags=12.0), w.cq),
    ),
    (
        "pickle",
        lambda w: op(
            lambda: [
                pickle.loads(pickle.dumps(obj))
                for obj in (
                    w.gid,
                    w.device,
                    w.ctx.query_device(),
                    w.ctx.query_efa_device(),
                    w.ctx.query_port(),
                    w.mr.query_efa(),
                    v.AHAttr(),
                    w.cq.query_efa(),
                    w.wc_fail,
                    *w.qp.query_wqs(),
                    w.qp.query()[1],
                    v.SGE(1, 2),
                    v.SendWR(sg_list=[v.SGE(1, 2)]),
                    v.RecvWR(),
                    v._CQBase(),
                )
            ]
        ),
    ),  # fmt: skip
    ("copy", lambda w: op(lambda: (copy.copy(w.gid), copy.deepcopy(v.SendWR(ah=3))))),
]


@cases(SUCCESS)
def test_success_path_does_not_leak(world, case, build):
    fn, watch = build(world)
    fn()  # it works
    check_no_leak(fn, watch=watch, sim=world.sim)
