"""Reference and memory leaks: every public operation, on its success path
and on its error paths, run many times without anything growing (live
objects, Python and malloc bytes, reference counts of its arguments and of
the singletons, the simulator's native objects)."""

from __future__ import annotations

import copy
import ctypes
import errno
import os
import pickle
import types

import leak_check
import pytest
from completion_helpers import OneOfEach
from leak_check import LeakError, check_no_leak
from qp_helpers import ACCESS_ALL

import vantor._vantor as v
from conftest import QKEY
from vantor.enums import AsyncEventType, SendFlags

WC_CHECKSUM = 0x4180B13


class World(OneOfEach):
    """One of everything, ready to use, on the simulator's default device."""

    def __init__(self, sim):
        super().__init__(sim, v.get_efa_device_list()[0].open(), 64, sgid=True, unsolicited=True)
        self.qp.prepare(QKEY)
        self.inline_qp = self.pd.create_qp(
            v.QPInitAttr(self.send_cq, self.send_cq, max_inline_data=32)
        )
        self.inline_qp.prepare(QKEY)
        self.peer = types.SimpleNamespace(ah=self.ah, qp_num=self.link.receiver.qp_num, qkey=QKEY)
        self.device = v.get_device_list()[0]
        self.other = self.device.open()
        self.wc_fail = v._unpickle_WC(v.WC, WC_CHECKSUM, (0, 0, 0, 0, None, 0, 12, 0, 0x1F, 0, 7))
        self.wr_id = 0
        self.wcs = [v.WC() for _ in range(4)]

    def drain(self):
        for cq in (self.send_cq, self.cq, self.cqx):
            while cq.poll(16):
                pass

    def send(self, link):
        """One SEND with its receive; both completions are polled."""
        self.wr_id += 1
        link.send(self.wr_id)
        return self.send_cq.poll(4), link.receiver.recv_cq.poll(4)

    def send_into(self, link, wcs=None):
        """``send`` with both completions polled into WC objects: the
        world's own, or ``wcs``."""
        self.wr_id += 1
        link.send(self.wr_id)
        wcs = self.wcs if wcs is None else wcs
        return self.send_cq.poll_into(wcs), link.receiver.recv_cq.poll_into(wcs)

    def send_wr(self, **fields):
        base = dict(
            wr_id=1, sg_list=[self.mr.sge(8)], send_flags=SendFlags.SIGNALED,
            ah=self.ah, remote_qpn=self.link.receiver.qp_num, remote_qkey=QKEY,
        )  # fmt: skip
        base.update(fields)
        return v.SendWR(**base)

    def close(self):
        os.close(self.memfd)


@pytest.fixture
def world(sim):
    w = World(sim)
    yield w
    sim.clear_faults()
    w.drain()
    w.close()


def failing(fn_name, err=errno.EIO):
    """Makes every call of the native `fn_name` fail while the check runs."""

    def arm(w):
        w.sim.fail(fn_name, err, count=1 << 30)

    return arm


# Each case: (id, build, arm). `build(w)` returns the operation (a callable
# without arguments) and the objects whose reference counts are watched;
# `arm(w)`, when given, injects native failures first.
def op(fn, *watch):
    return fn, watch


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


ERRORS = [
    # closed and bare objects
    (
        "closed checks",
        lambda w: op(
            lambda: [
                _raises(f, v.EfaError)
                for f in (
                    lambda: v.Context().query_port(),
                    lambda: v.Context().alloc_pd(),
                    lambda: v.PD().reg_mr(1, 1, 0),
                    lambda: v.PD().create_qp(None),
                    lambda: v.MR().lkey,
                    lambda: v.MR().sge(),
                    lambda: v.AH().ahn,
                    lambda: v.CompChannel().fd,
                    lambda: v.CompChannel().get_cq_event(),
                    lambda: v.CQ().poll(1),
                    lambda: v.CQEx().poll(1),
                    lambda: v.CQ().ack_events(),
                    lambda: v.QP().post_send([]),
                    lambda: v.QP().state,
                    lambda: v.QP().to_init(1),
                    lambda: v.SGE(v.MR(), 1),
                )
            ]
        ),
    ),  # fmt: skip
    ("_CQBase.close", lambda w: op(v._CQBase().close)),
    ("WC.raise_for_status", lambda w: op(w.wc_fail.raise_for_status, w.wc_fail)),
    # argument parsing and conversion
    ("too many arguments", lambda w: op(lambda: w.ctx.query_gid(1, 0, 0))),
    ("unexpected keyword", lambda w: op(lambda: w.ctx.create_cq(cqe=1, bogus=w.cq), w.cq)),
    ("duplicate keyword", lambda w: op(lambda: w.pd.reg_mr(w.addr, 1, 0, addr=w.addr))),
    ("int overflow", lambda w: op(lambda: w.ctx.create_cq(2**40), w.ctx)),
    ("not an int", lambda w: op(lambda: w.ctx.query_port(w.gid), w.gid)),
    ("__int__ raises", lambda w: op(lambda: w.pd.reg_mr(_BadInt(), 1, 0))),
    (
        "reg_mr ranges",
        lambda w: op(
            lambda: [
                _raises(lambda a=a: w.pd.reg_mr(*a), ValueError)
                for a in ((-1, 1, 0), (0, 0, 0), (2**64 - 1, 2, 0), (2**70, 1, 0))
            ]
        ),
    ),  # fmt: skip
    ("reg_dmabuf_mr ranges", lambda w: op(lambda: w.pd.reg_dmabuf_mr(-1, 1, 0, w.memfd, 0))),
    (
        "cqe/comp_vector",
        lambda w: op(
            lambda: (
                _raises(lambda: w.ctx.create_cq(0), ValueError),
                _raises(lambda: w.ctx.create_cq_ex(1, comp_vector=99), ValueError),
                _raises(lambda: w.ctx.create_cq_ex(1, wc_flags=-1), OverflowError),
            )
        ),
    ),  # fmt: skip
    ("channel of another context", lambda w: op(lambda: w.other_ctx_cq(), w.ctx)),
    ("channel wrong type", lambda w: op(lambda: w.ctx.create_cq(1, channel=w.pd), w.pd)),
    (
        "ack_events",
        lambda w: op(
            lambda: (
                _raises(lambda: w.cq.ack_events(0), ValueError),
                _raises(lambda: w.cq.ack_events(2**31), ValueError),
                _raises(lambda: w.cq.ack_events(-1), OverflowError),
            )
        ),
    ),  # fmt: skip
    (
        "poll(0)",
        lambda w: op(
            lambda: (
                _raises(lambda: w.cq.poll(0), ValueError),
                _raises(lambda: w.cqx.poll(-1), ValueError),
            )
        ),
    ),  # fmt: skip
    ("poll(huge)", lambda w: op(lambda: w.cq.poll(2**31 - 1))),
    (
        "poll_into(bad)",
        lambda w: op(
            lambda: (
                _raises(lambda: w.cq.poll_into([]), ValueError),
                _raises(lambda: w.cqx.poll_into(w.wcs, 5), ValueError),
                _raises(lambda: w.cqx.poll_into([w.wcs[0], w.gid]), TypeError),
                _raises(lambda: w.cq.poll_into(tuple(w.wcs)), TypeError),
            ),
            *w.wcs,
        ),
    ),  # fmt: skip
    ("Device.open(missing)", lambda w: op(v.Device("nope", 0).open)),
    ("Device.open(None)", lambda w: op(v.Device.__new__(v.Device).open)),
    ("Device(bad)", lambda w: op(lambda: v.Device(1, -1))),
    ("EfaError(bad)", lambda w: op(lambda: v.EfaError(b"x", 1), w.gid)),
    ("CompletionError(bad)", lambda w: op(lambda: v.CompletionError(w.gid), w.gid)),
    (
        "Gid(bad)",
        lambda w: op(
            lambda: (
                _raises(lambda: v.Gid(bytearray(16)), TypeError),
                _raises(lambda: v.Gid(b"x"), ValueError),
                _raises(lambda: v.Gid(None), TypeError),
                _raises(lambda: hash(w.gid), TypeError),
                _raises(lambda: w.gid < w.gid, TypeError),
                _raises(lambda: repr(v.Gid.__new__(v.Gid)), TypeError),
            ),
            w.gid,
        ),
    ),  # fmt: skip
    (
        "AHAttr(bad)",
        lambda w: op(
            lambda: (
                _raises(lambda: v.AHAttr(b"x" * 15), ValueError),
                _raises(lambda: v.AHAttr(port_num=256), OverflowError),
                _raises(lambda: setattr(v.AHAttr(), "dgid", bytearray(16)), TypeError),
                _raises(lambda: delattr(v.AHAttr(), "port_num"), NotImplementedError),
            )
        ),
    ),  # fmt: skip
    (
        "create_ah(bad)",
        lambda w: op(
            lambda: (
                _raises(lambda: w.pd.create_ah(b"x" * 17), ValueError),
                _raises(lambda: w.pd.create_ah(w.gid, sgid_index=256), OverflowError),
                _raises(lambda: w.pd.create_ah(_none_dgid()), TypeError),
                _raises(lambda: w.pd.create_ah(v.AHAttr.__new__(v.AHAttr)), TypeError),
            ),
            w.gid,
        ),
    ),  # fmt: skip
    (
        "create_qp(bad)",
        lambda w: op(
            lambda: (
                _raises(lambda: w.pd.create_qp(v.QPInitAttr(w.pd, w.cq)), TypeError),
                _raises(lambda: w.pd.create_qp(v.QPInitAttr(w.cq, w.cq, qp_type=2)), ValueError),
                _raises(
                    lambda: w.pd.create_qp(v.QPInitAttr(w.cq, w.cq, max_send_wr=-1)), OverflowError
                ),
                _raises(lambda: w.pd.create_qp(object()), AttributeError),
                _raises(lambda: w.pd.create_qp(v.QPInitAttr(v.CQ(), w.cq)), v.EfaError),
            ),
            w.cq,
            w.pd,
        ),
    ),  # fmt: skip
    (
        "QP transitions(bad)",
        lambda w: op(
            lambda: (
                _raises(lambda: w.qp.to_init(-1), OverflowError),
                _raises(lambda: w.qp.to_init("x"), ValueError),
                _raises(lambda: w.qp.to_rts(rnr_retry=256), OverflowError),
                _raises(lambda: w.qp.modify(1, foo=1, bar=2), TypeError),
                _raises(lambda: w.qp.modify(1, pkey_index=2**16), OverflowError),
                _raises(lambda: w.qp.prepare(1, port="x"), TypeError),
            )
        ),
    ),  # fmt: skip
    ("QP.to_init refused", lambda w: op(lambda: w.qp.to_init(QKEY))),
    (
        "post_send(bad)",
        lambda w: op(
            lambda: [
                _raises(
                    lambda wr=wr: w.link.sender.post_send([w.send_wr(), wr]),
                    (ValueError, TypeError, v.EfaError),
                )
                for wr in (
                    w.send_wr(ah=None),
                    w.send_wr(ah=v.AH()),
                    w.send_wr(ah=w.gid),
                    w.send_wr(sg_list=[w.mr.sge()] * 65),
                    w.send_wr(opcode=9),
                    w.send_wr(sg_list=[w.gid]),
                    _with(w.send_wr(), sg_list=None),
                    w.gid,
                )
            ],
            w.gid,
            w.ah,
        ),
    ),  # fmt: skip
    ("post_send(not enabled)", lambda w: op(lambda: w.ud_qp().post_send(w.send_wr(opcode=4)))),
    (
        "post_send(unsignaled)",
        lambda w: op(lambda: w.link.sender.post_send([w.send_wr(send_flags=0)])),
    ),
    ("post_send(list subclass)", lambda w: op(lambda: w.qp.post_send(_List([w.send_wr()])))),
    ("post_send(not iterable)", lambda w: op(lambda: w.qp.post_send(5))),
    ("post_send(iterator raises)", lambda w: op(lambda: w.qp.post_send(_bad_iter(w.send_wr())))),
    (
        "post_recv(bad)",
        lambda w: op(
            lambda: (
                _raises(lambda: w.link.receiver.post_recv([v.RecvWR(), w.gid]), TypeError),
                _raises(lambda: w.link.receiver.post_recv([v.RecvWR(1, [w.gid])]), TypeError),
                _raises(
                    lambda: w.link.receiver.post_recv([_with(v.RecvWR(), sg_list=None)]), TypeError
                ),
                _raises(lambda: v.QP().post_recv([]), v.EfaError),
            ),
            w.gid,
        ),
    ),  # fmt: skip
    (
        "SGE(bad)",
        lambda w: op(
            lambda: [
                _raises(lambda a=a: v.SGE(*a[0], **a[1]), ValueError)
                for a in (
                    ((0, 2**32), {}),
                    ((0, 1), {"offset": -1}),
                    ((0, 1), {"lkey": 2**32}),
                    ((-1, 1), {}),
                    ((2**64 - 1, 1), {"offset": 1}),
                    ((w.mr, 4097), {}),
                )
            ],
            w.mr,
        ),
    ),  # fmt: skip
    ("SGE(bad target)", lambda w: op(lambda: v.SGE(w.gid, 1), w.gid)),
    (
        "MR.sge(bad)",
        lambda w: op(
            lambda: (
                _raises(lambda: w.mr.sge(offset=4097), ValueError),
                _raises(lambda: w.mr.sge(offset=-1), ValueError),
                _raises(lambda: w.mr.sge(2**40), ValueError),
            ),
            w.mr,
        ),
    ),  # fmt: skip
    (
        "SendWR(bad)",
        lambda w: op(
            lambda: (
                _raises(lambda: v.SendWR(wr_id=-1), OverflowError),
                _raises(lambda: v.SendWR(send_flags=2**32), OverflowError),
                _raises(lambda: v.SendWR(sg_list=5), TypeError),
                _raises(lambda: v.SendWR(dest=w.gid), AttributeError),
                _raises(lambda: setattr(v.SendWR(), "sg_list", ()), TypeError),
                _raises(lambda: delattr(v.SendWR(), "opcode"), NotImplementedError),
                _raises(lambda: v.RecvWR(wr_id="x"), TypeError),
            ),
            w.gid,
        ),
    ),  # fmt: skip
    (
        "pickle refused",
        lambda w: op(
            lambda: [
                _raises(lambda o=o: pickle.dumps(o), TypeError)
                for o in (
                    w.ctx,
                    w.pd,
                    w.mr,
                    w.ah,
                    w.channel,
                    w.cq,
                    w.cqx,
                    w.qp,
                    v.AsyncEvent(),
                    v.SGE(w.mr, 1),
                    v.SendWR(ah=w.ah),
                )
            ]
        ),
    ),  # fmt: skip
    (
        "unpickle(bad)",
        lambda w: op(
            lambda: (
                _raises(lambda: v._unpickle_QPCap(v.QPCap, 0x1234, None), pickle.PickleError),
                _raises(lambda: v._unpickle_QPCap(v.QPCap, 0xF462D78, [1]), TypeError),
                _raises(
                    lambda: v._unpickle_QPCap(v.QPCap, 0xF462D78, (1, -1, 3, 4, 5)), OverflowError
                ),
                _raises(lambda: v._unpickle_Gid(v.Gid, 0xD7439BE, ("x",)), TypeError),
                _raises(
                    lambda: v._unpickle__CQBase(v._CQBase, 0x23313A3, (0, w.pd, None)), TypeError
                ),
                _raises(lambda: v._unpickle_WC(v.QPCap, WC_CHECKSUM, None), TypeError),
                _raises(lambda: v.QPCap().__setstate__((1, 2, 3, 4, 5, {"a": 1})), AttributeError),
            ),
            w.pd,
        ),
    ),  # fmt: skip
    ("get_efa_device_list(non-EFA)", lambda w: op(v.get_efa_device_list)),
]


class _BadInt:
    def __int__(self):
        raise ZeroDivisionError("no int")


class _List(list):
    pass


def _bad_iter(item):
    yield item
    raise KeyError("broken iterator")


def _with(obj, **fields):
    for name, value in fields.items():
        setattr(obj, name, value)
    return obj


def _none_dgid():
    attr = v.AHAttr()
    attr.dgid = None
    return attr


def _raises(fn, kinds):
    try:
        fn()
    except kinds:
        return
    raise AssertionError(f"{fn} did not raise {kinds}")


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
                _raises(lambda: w.qp.prepare(QKEY), v.EfaError),
                _raises(lambda: w.qp.modify(0), v.EfaError),
            )
        ),
    ),  # fmt: skip
    (
        "ibv_query_qp",
        "ibv_query_qp",
        lambda w: op(
            lambda: (
                _raises(w.qp.query, v.EfaError),
                _raises(lambda: w.qp.state, v.EfaError),
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


def _extend_world(w):
    # What some error cases need beyond the shared objects.
    other_channel = w.other.create_comp_channel()
    w.other_ctx_cq = lambda: w.ctx.create_cq(1, channel=other_channel)
    ud_qp = w.pd.create_qp(v.QPInitAttr(w.send_cq, w.send_cq, qp_type=4))
    ud_qp.prepare(QKEY)
    w.ud_qp = lambda: ud_qp


def _cases(table):
    return pytest.mark.parametrize("case, build", table, ids=[c[0] for c in table])


@_cases(SUCCESS)
def test_success_path_does_not_leak(world, case, build):
    fn, watch = build(world)
    fn()  # it works
    check_no_leak(fn, watch=watch, sim=world.sim)


@_cases(ERRORS)
def test_error_path_does_not_leak(world, case, build):
    _extend_world(world)
    if "non-EFA" in case:
        world.sim.set_devices(["efa_0", world.sim.Device("mlx_0", efa=False)])
    fn, watch = build(world)
    check_no_leak(fn, watch=watch, sim=world.sim)


@pytest.mark.parametrize(
    "fn_name, build", [c[1:] for c in NATIVE_FAILURES], ids=[c[0] for c in NATIVE_FAILURES]
)
def test_native_failure_does_not_leak(world, fn_name, build):
    fn, watch = build(world)
    armed = 1 << 30
    world.sim.fail(fn_name, errno.EIO, count=armed)
    check_no_leak(fn, watch=watch, sim=world.sim)
    assert world.sim.fault_pending(fn_name) < armed  # the failure path was taken


# The helper itself: each kind of leak it exists for is caught.

measuring = pytest.mark.skipif(leak_check.SMOKE, reason="VANTOR_LEAK_SMOKE: nothing is measured")


def test_check_passes_a_clean_operation(sim):
    check_no_leak(lambda: [object() for _ in range(10)], sim=sim)


@measuring
def test_check_catches_growing_objects():
    kept = []
    with pytest.raises(LeakError, match="live objects grew"):
        check_no_leak(lambda: kept.append([]))


@measuring
def test_check_catches_leaked_memory():
    kept = []
    with pytest.raises(LeakError, match="Python bytes"):
        check_no_leak(lambda: kept.append(bytes(100)))


@measuring
def test_check_catches_a_leaked_reference():
    arg = object()
    incref = ctypes.pythonapi.Py_IncRef
    incref.argtypes = [ctypes.py_object]
    with pytest.raises(LeakError, match="references to"):
        check_no_leak(lambda: incref(arg), watch=[arg])


@measuring
def test_check_catches_leaked_native_memory():
    if leak_check._NATIVE is None:
        pytest.skip("this allocator does not report its usage")
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    with pytest.raises(LeakError, match="malloc bytes grew"):
        check_no_leak(lambda: libc.malloc(256))


@measuring
def test_check_catches_leaked_native_objects(sim, ctx):
    kept = []
    with pytest.raises(LeakError, match="live native objects"):
        check_no_leak(lambda: kept.append(ctx.alloc_pd()), sim=sim)
    for pd in kept:
        pd.close()
