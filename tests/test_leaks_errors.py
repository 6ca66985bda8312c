"""Reference and memory leaks on the error paths: every refusal of bad
arguments, closed or bare objects and misuse, run many times without
anything growing."""

from __future__ import annotations

import pickle

import pytest
from leak_check import check_no_leak
from leak_world import WC_CHECKSUM, cases, op, open_world, raises

import vantor._vantor as v
from conftest import QKEY


@pytest.fixture
def world(sim):
    with open_world(sim) as w:
        yield w


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


ERRORS = [
    # closed and bare objects
    (
        "closed checks",
        lambda w: op(
            lambda: [
                raises(f, v.EfaError)
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
                raises(lambda a=a: w.pd.reg_mr(*a), ValueError)
                for a in ((-1, 1, 0), (0, 0, 0), (2**64 - 1, 2, 0), (2**70, 1, 0))
            ]
        ),
    ),  # fmt: skip
    ("reg_dmabuf_mr ranges", lambda w: op(lambda: w.pd.reg_dmabuf_mr(-1, 1, 0, w.memfd, 0))),
    (
        "cqe/comp_vector",
        lambda w: op(
            lambda: (
                raises(lambda: w.ctx.create_cq(0), ValueError),
                raises(lambda: w.ctx.create_cq_ex(1, comp_vector=99), ValueError),
                raises(lambda: w.ctx.create_cq_ex(1, wc_flags=-1), OverflowError),
            )
        ),
    ),  # fmt: skip
    ("channel of another context", lambda w: op(lambda: w.other_ctx_cq(), w.ctx)),
    ("channel wrong type", lambda w: op(lambda: w.ctx.create_cq(1, channel=w.pd), w.pd)),
    (
        "ack_events",
        lambda w: op(
            lambda: (
                raises(lambda: w.cq.ack_events(0), ValueError),
                raises(lambda: w.cq.ack_events(2**31), ValueError),
                raises(lambda: w.cq.ack_events(-1), OverflowError),
            )
        ),
    ),  # fmt: skip
    (
        "poll(0)",
        lambda w: op(
            lambda: (
                raises(lambda: w.cq.poll(0), ValueError),
                raises(lambda: w.cqx.poll(-1), ValueError),
            )
        ),
    ),  # fmt: skip
    ("poll(huge)", lambda w: op(lambda: w.cq.poll(2**31 - 1))),
    (
        "poll_into(bad)",
        lambda w: op(
            lambda: (
                raises(lambda: w.cq.poll_into([]), ValueError),
                raises(lambda: w.cqx.poll_into(w.wcs, 5), ValueError),
                raises(lambda: w.cqx.poll_into([w.wcs[0], w.gid]), TypeError),
                raises(lambda: w.cq.poll_into(tuple(w.wcs)), TypeError),
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
                raises(lambda: v.Gid(bytearray(16)), TypeError),
                raises(lambda: v.Gid(b"x"), ValueError),
                raises(lambda: v.Gid(None), TypeError),
                raises(lambda: hash(w.gid), TypeError),
                raises(lambda: w.gid < w.gid, TypeError),
                raises(lambda: repr(v.Gid.__new__(v.Gid)), TypeError),
            ),
            w.gid,
        ),
    ),  # fmt: skip
    (
        "AHAttr(bad)",
        lambda w: op(
            lambda: (
                raises(lambda: v.AHAttr(b"x" * 15), ValueError),
                raises(lambda: v.AHAttr(port_num=256), OverflowError),
                raises(lambda: setattr(v.AHAttr(), "dgid", bytearray(16)), TypeError),
                raises(lambda: delattr(v.AHAttr(), "port_num"), NotImplementedError),
            )
        ),
    ),  # fmt: skip
    (
        "create_ah(bad)",
        lambda w: op(
            lambda: (
                raises(lambda: w.pd.create_ah(b"x" * 17), ValueError),
                raises(lambda: w.pd.create_ah(w.gid, sgid_index=256), OverflowError),
                raises(lambda: w.pd.create_ah(_none_dgid()), TypeError),
                raises(lambda: w.pd.create_ah(v.AHAttr.__new__(v.AHAttr)), TypeError),
            ),
            w.gid,
        ),
    ),  # fmt: skip
    (
        "create_qp(bad)",
        lambda w: op(
            lambda: (
                raises(lambda: w.pd.create_qp(v.QPInitAttr(w.pd, w.cq)), TypeError),
                raises(lambda: w.pd.create_qp(v.QPInitAttr(w.cq, w.cq, qp_type=2)), ValueError),
                raises(
                    lambda: w.pd.create_qp(v.QPInitAttr(w.cq, w.cq, max_send_wr=-1)), OverflowError
                ),
                raises(lambda: w.pd.create_qp(object()), AttributeError),
                raises(lambda: w.pd.create_qp(v.QPInitAttr(v.CQ(), w.cq)), v.EfaError),
            ),
            w.cq,
            w.pd,
        ),
    ),  # fmt: skip
    (
        "QP transitions(bad)",
        lambda w: op(
            lambda: (
                raises(lambda: w.qp.to_init(-1), OverflowError),
                raises(lambda: w.qp.to_init("x"), ValueError),
                raises(lambda: w.qp.to_rts(rnr_retry=256), OverflowError),
                raises(lambda: w.qp.modify(1, foo=1, bar=2), TypeError),
                raises(lambda: w.qp.modify(1, pkey_index=2**16), OverflowError),
                raises(lambda: w.qp.prepare(1, port="x"), TypeError),
            )
        ),
    ),  # fmt: skip
    ("QP.to_init refused", lambda w: op(lambda: w.qp.to_init(QKEY))),
    (
        "post_send(bad)",
        lambda w: op(
            lambda: [
                raises(
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
                raises(lambda: w.link.receiver.post_recv([v.RecvWR(), w.gid]), TypeError),
                raises(lambda: w.link.receiver.post_recv([v.RecvWR(1, [w.gid])]), TypeError),
                raises(
                    lambda: w.link.receiver.post_recv([_with(v.RecvWR(), sg_list=None)]), TypeError
                ),
                raises(lambda: v.QP().post_recv([]), v.EfaError),
            ),
            w.gid,
        ),
    ),  # fmt: skip
    (
        "SGE(bad)",
        lambda w: op(
            lambda: [
                raises(lambda a=a: v.SGE(*a[0], **a[1]), ValueError)
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
                raises(lambda: w.mr.sge(offset=4097), ValueError),
                raises(lambda: w.mr.sge(offset=-1), ValueError),
                raises(lambda: w.mr.sge(2**40), ValueError),
            ),
            w.mr,
        ),
    ),  # fmt: skip
    (
        "SendWR(bad)",
        lambda w: op(
            lambda: (
                raises(lambda: v.SendWR(wr_id=-1), OverflowError),
                raises(lambda: v.SendWR(send_flags=2**32), OverflowError),
                raises(lambda: v.SendWR(sg_list=5), TypeError),
                raises(lambda: v.SendWR(dest=w.gid), AttributeError),
                raises(lambda: setattr(v.SendWR(), "sg_list", ()), TypeError),
                raises(lambda: delattr(v.SendWR(), "opcode"), NotImplementedError),
                raises(lambda: v.RecvWR(wr_id="x"), TypeError),
            ),
            w.gid,
        ),
    ),  # fmt: skip
    (
        "pickle refused",
        lambda w: op(
            lambda: [
                raises(lambda o=o: pickle.dumps(o), TypeError)
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
                raises(lambda: v._unpickle_QPCap(v.QPCap, 0x1234, None), pickle.PickleError),
                raises(lambda: v._unpickle_QPCap(v.QPCap, 0xF462D78, [1]), TypeError),
                raises(
                    lambda: v._unpickle_QPCap(v.QPCap, 0xF462D78, (1, -1, 3, 4, 5)), OverflowError
                ),
                raises(lambda: v._unpickle_Gid(v.Gid, 0xD7439BE, ("x",)), TypeError),
                raises(
                    lambda: v._unpickle__CQBase(v._CQBase, 0x23313A3, (0, w.pd, None)), TypeError
                ),
                raises(lambda: v._unpickle_WC(v.QPCap, WC_CHECKSUM, None), TypeError),
                raises(lambda: v.QPCap().__setstate__((1, 2, 3, 4, 5, {"a": 1})), AttributeError),
            ),
            w.pd,
        ),
    ),  # fmt: skip
    ("get_efa_device_list(non-EFA)", lambda w: op(v.get_efa_device_list)),
]


def _extend_world(w):
    # What some error cases need beyond the shared objects.
    other_channel = w.other.create_comp_channel()
    w.other_ctx_cq = lambda: w.ctx.create_cq(1, channel=other_channel)
    ud_qp = w.pd.create_qp(v.QPInitAttr(w.send_cq, w.send_cq, qp_type=4))
    ud_qp.prepare(QKEY)
    w.ud_qp = lambda: ud_qp


@cases(ERRORS)
def test_error_path_does_not_leak(world, case, build):
    _extend_world(world)
    if "non-EFA" in case:
        world.sim.set_devices(["efa_0", world.sim.Device("mlx_0", efa=False)])
    fn, watch = build(world)
    check_no_leak(fn, watch=watch, sim=world.sim)
