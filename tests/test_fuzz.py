"""Every public function, method, constructor and property setter, called
with arbitrary Python objects: wrong types, huge and negative integers,
floats, None, subclasses of the expected types, objects whose
``__int__``/``__index__``/``__len__``/``__iter__``/``__bool__`` raise, and
the module's own objects open, closed or bare. Only the documented
exception types may come out (or the exception an argument raised itself),
never a crash.

CI runs a fixed, derandomised set of examples per target
(``VANTOR_FUZZ_EXAMPLES``, default 20); for a longer random run::

    VANTOR_FUZZ_EXAMPLES=3000 VANTOR_FUZZ_RANDOM=1 python -m pytest tests/test_fuzz.py
"""

from __future__ import annotations

import copy
import ctypes
import os
import pickle
import sys
import types
from contextlib import contextmanager

import pytest
from completion_helpers import Link
from hypothesis import HealthCheck, given, settings, strategies as st

import vantor._vantor as v
from conftest import QKEY

EXAMPLES = int(os.environ.get("VANTOR_FUZZ_EXAMPLES", "20"))
FUZZ = settings(
    max_examples=EXAMPLES,
    deadline=None,
    derandomize=not os.environ.get("VANTOR_FUZZ_RANDOM"),
    database=None,
    suppress_health_check=list(HealthCheck),
)


class Evil(Exception):
    """Raised by the hostile objects below; must come out unchanged."""


# The documented failures of the API (MemoryError for absurd sizes).
ALLOWED = (
    TypeError, ValueError, OverflowError, v.EfaError, AttributeError,
    NotImplementedError, IndexError, MemoryError, pickle.PickleError, Evil,
)  # fmt: skip


def hostile(name: str, *methods: str) -> type:
    """A class whose special `methods` each raise Evil naming themselves."""

    def raiser(method: str):
        def raise_evil(self, *args):
            raise Evil(method)

        return raise_evil

    return type(name, (), {method: raiser(method) for method in methods})


EvilInt = hostile("EvilInt", "__int__", "__index__")
EvilIndex = hostile("EvilIndex", "__index__")
EvilContainer = hostile("EvilContainer", "__len__", "__iter__", "__bytes__")
EvilBool = hostile("EvilBool", "__bool__")
EvilStr = hostile("EvilStr", "__str__", "__repr__")


class IntReturnsFloat:
    def __int__(self):
        return 1.5


class IntReturnsIntSub:
    def __int__(self):
        return IntSub(7)


class EvilEq:
    def __eq__(self, other):
        raise Evil("__eq__")

    __hash__ = None


class EvilAttrs:
    def __getattr__(self, name):
        raise Evil(name)


class HugeLen:
    def __len__(self):
        return 2**62

    def __iter__(self):
        return iter(())


class NegativeLen:
    def __len__(self):
        return -1


class IntSub(int):
    def __index__(self):
        raise Evil("IntSub.__index__")


class BytesSub(bytes):
    pass


class ListSub(list):
    pass


class StrSub(str):
    pass


def _broken_iter():
    yield 1
    raise Evil("iterator")


class Fakes:
    """Duck-typed stand-ins for the module's objects."""

    peer_missing_qkey = types.SimpleNamespace(ah=None, qp_num=1)
    init_attr_missing = types.SimpleNamespace(send_cq=None)


# ---- the world every example runs in --------------------------------------


class World:
    def __init__(self):
        self.ctx = v.get_efa_device_list()[0].open()
        self.pd = self.ctx.alloc_pd()
        self.channel = self.ctx.create_comp_channel()
        self.cq = self.ctx.create_cq(16, channel=self.channel)
        self.cqx = self.ctx.create_cq_ex(16, sgid=True)
        self.link = Link(self.ctx, self.cq, self.cqx)
        self.buf = ctypes.create_string_buffer(256)
        self.mr = self.pd.reg_mr(ctypes.addressof(self.buf), 256, 7)
        self.gid = self.ctx.query_gid()
        self.ah = self.pd.create_ah(self.gid)
        self.qp = self.pd.create_qp(v.QPInitAttr(self.cq, self.cq, max_inline_data=16))
        self.qp.prepare(QKEY)
        self.closed_pd = self.ctx.alloc_pd()
        self.closed_pd.close()
        self.closed_ah = self.pd.create_ah(self.gid)
        self.closed_ah.close()
        self.closed_mr = self.pd.reg_mr(ctypes.addressof(self.buf), 16, 1)
        self.closed_mr.close()
        self.wc = v._unpickle_WC(v.WC, 0x4180B13, (0, 0, 0, 1, None, 2, 12, 0, 3, 4, 5))
        self.peer = types.SimpleNamespace(ah=self.ah, qp_num=self.link.receiver.qp_num, qkey=QKEY)

    def send_wr(self):
        return v.SendWR(
            wr_id=1, sg_list=[self.mr.sge(8)], send_flags=2, ah=self.ah,
            remote_qpn=self.link.receiver.qp_num, remote_qkey=QKEY,
        )  # fmt: skip


@contextmanager
def fresh_world():
    w = World()
    try:
        yield w
    finally:
        # Whatever the example left armed or open goes with the world.
        for cq in (w.cq, w.cqx):
            try:
                while cq.poll(16):
                    pass
            except v.EfaError:
                pass


# ---- arbitrary objects ---------------------------------------------------------
# Each strategy draws a function of the world, so the module's live objects
# can be drawn too.


def const(value):
    return lambda w: value


EDGE_INTS = [
    0, 1, -1, 2, 7, 255, 256, 65535, 65536, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1,
    2**32 - 1, 2**32, 2**63 - 1, 2**63, -(2**63), 2**64 - 1, 2**64, -(2**64), 2**100, -(2**100),
]  # fmt: skip

plain = st.one_of(
    st.none(),
    st.booleans(),
    st.sampled_from(EDGE_INTS),
    st.integers(),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=8),
    st.binary(max_size=20),
    st.sampled_from([b"\x00" * 16, b"\xfe\x80" + bytes(14), bytearray(16), b"x" * 15, b"x" * 17]),
).map(const)

hostile = st.sampled_from(
    [
        EvilInt(), EvilIndex(), IntReturnsFloat(), IntReturnsIntSub(), EvilContainer(),
        EvilBool(), EvilStr(), EvilEq(), EvilAttrs(), HugeLen(), NegativeLen(), IntSub(5),
        BytesSub(bytes(16)), ListSub(), StrSub("efa_0"), object(), type, v, 1j, ..., {},
        Fakes.peer_missing_qkey, Fakes.init_attr_missing, range(3), memoryview(b"x" * 16),
    ]
).map(const)  # fmt: skip

fresh = st.sampled_from(
    [
        lambda w: _broken_iter(),
        lambda w: [],
        lambda w: [w.mr.sge()],
        lambda w: [w.mr.sge()] * 65,
        lambda w: [w.send_wr(), w.send_wr()],
        lambda w: [w.send_wr(), None],
        lambda w: [v.RecvWR(1, [w.mr.sge(8)]), v.RecvWR()],
        lambda w: [v.RecvWR(sg_list=[w.gid])],
        lambda w: (w.send_wr(),),
        lambda w: iter([v.RecvWR()]),
        lambda w: {"qkey": 1},
    ]
)

module_objects = st.sampled_from(
    [
        lambda w: w.ctx, lambda w: w.pd, lambda w: w.channel, lambda w: w.cq, lambda w: w.cqx,
        lambda w: w.mr, lambda w: w.ah, lambda w: w.qp, lambda w: w.gid, lambda w: w.wc,
        lambda w: w.peer, lambda w: w.closed_pd, lambda w: w.closed_ah, lambda w: w.closed_mr,
        lambda w: w.send_wr(), lambda w: v.RecvWR(), lambda w: w.mr.sge(4),
        lambda w: v.SGE(0, 0), lambda w: v.AHAttr(), lambda w: v.AHAttr.__new__(v.AHAttr),
        lambda w: v.Context(), lambda w: v.PD(), lambda w: v.MR(), lambda w: v.AH(),
        lambda w: v.CompChannel(), lambda w: v.CQ(), lambda w: v.CQEx(), lambda w: v._CQBase(),
        lambda w: v.QP(), lambda w: v.AsyncEvent(), lambda w: v.WC(), lambda w: v.Gid.__new__(v.Gid),
        lambda w: v.Device("efa_0", 0), lambda w: v.Device.__new__(v.Device), lambda w: v.QPCap(),
        lambda w: v.QPInitAttr(w.cq, w.cq), lambda w: v.QPInitAttr(w.cq, w.cqx, qp_type=4),
        lambda w: w.ctx.query_device(), lambda w: v.CQAttr(), lambda w: v.WQAttr(),
        lambda w: v.EfaError("op", 1), lambda w: v.QP, lambda w: v.WC, lambda w: v.Gid,
    ]
)  # fmt: skip

anything = st.one_of(plain, hostile, fresh, module_objects)


def _resolve(w, made):
    return made(w)


# ---- targets ---------------------------------------------------------------------
# name -> (function of the world giving the callable, parameter names,
#          whether it may be called without arguments)

STATE_SIZES = {
    "Gid": 1, "Device": 2, "DeviceAttr": 17, "EfaDeviceAttr": 7, "PortAttr": 11, "MRAttr": 4,
    "AHAttr": 7, "_CQBase": 3, "CQAttr": 4, "WC": 11, "QPCap": 5, "WQAttr": 5, "SGE": 4,
    "SendWR": 10, "RecvWR": 2,
}  # fmt: skip

AH_ATTR_FIELDS = (
    "dgid", "sgid_index", "port_num", "hop_limit", "traffic_class", "flow_label", "is_global",
)  # fmt: skip
SEND_WR_FIELDS = (
    "wr_id", "sg_list", "opcode", "send_flags", "remote_addr", "rkey", "imm_data", "ah",
    "remote_qpn", "remote_qkey",
)  # fmt: skip
TARGETS = {
    # module functions
    "get_device_list": (lambda w: v.get_device_list, (), True),
    "get_efa_device_list": (lambda w: v.get_efa_device_list, (), True),
    "_linked": (lambda w: v._linked, (), True),
    "_has_dmabuf": (lambda w: v._has_dmabuf, (), True),
    **{
        f"_unpickle_{name}": (
            lambda w, name=name: getattr(v, f"_unpickle_{name}"),
            ("cls", "checksum", "state"),
            True,
        )
        for name in STATE_SIZES
    },
    # constructors
    "EfaError": (lambda w: v.EfaError, ("operation", "err", "detail"), True),
    "CompletionError": (lambda w: v.CompletionError, ("wc",), True),
    "Gid": (lambda w: v.Gid, ("raw",), True),
    "Device": (lambda w: v.Device, ("name", "guid"), True),
    "AHAttr": (
        lambda w: v.AHAttr,
        AH_ATTR_FIELDS,
        True,
    ),
    "SGE": (lambda w: v.SGE, ("target", "length", "lkey", "offset"), True),
    "SendWR": (
        lambda w: v.SendWR,
        (*SEND_WR_FIELDS, "dest"),
        True,
    ),  # fmt: skip
    "RecvWR": (lambda w: v.RecvWR, ("wr_id", "sg_list"), True),
    "QPInitAttr": (
        lambda w: v.QPInitAttr,
        (
            "send_cq",
            "recv_cq",
            "qp_type",
            "max_send_wr",
            "max_recv_wr",
            "max_send_sge",
            "max_recv_sge",
            "max_inline_data",
            "sq_sig_all",
            "send_ops_flags",
            "sl",
            "unsolicited_write_recv",
        ),
        True,
    ),  # fmt: skip
    **{
        name: (lambda w, name=name: getattr(v, name), ("x",), True)
        for name in (
            "DeviceAttr",
            "EfaDeviceAttr",
            "PortAttr",
            "MRAttr",
            "CQAttr",
            "WC",
            "QPCap",
            "WQAttr",
            "AsyncEvent",
            "Context",
            "PD",
            "MR",
            "AH",
            "CompChannel",
            "CQ",
            "CQEx",
            "_CQBase",
            "QP",
        )
    },  # fmt: skip
    # Device and Context
    "Device.open": (lambda w: v.Device("efa_0", 0).open, (), True),
    "Context.is_efa": (lambda w: w.ctx.is_efa, (), True),
    "Context.query_device": (lambda w: w.ctx.query_device, (), True),
    "Context.query_efa_device": (lambda w: w.ctx.query_efa_device, (), True),
    "Context.query_port": (lambda w: w.ctx.query_port, ("port_num",), True),
    "Context.query_gid": (lambda w: w.ctx.query_gid, ("port_num", "index"), True),
    "Context.alloc_pd": (lambda w: w.ctx.alloc_pd, (), True),
    "Context.create_comp_channel": (lambda w: w.ctx.create_comp_channel, (), True),
    "Context.create_cq": (lambda w: w.ctx.create_cq, ("cqe", "channel", "comp_vector"), True),
    "Context.create_cq_ex": (
        lambda w: w.ctx.create_cq_ex,
        ("cqe", "channel", "comp_vector", "wc_flags", "sgid", "unsolicited"),
        True,
    ),
    # blocks until an event: only ever called with (refused) arguments
    "Context.get_async_event": (lambda w: w.ctx.get_async_event, (), False),
    "Context.ack_async_event": (lambda w: w.ctx.ack_async_event, ("ev",), True),
    "Context.close": (lambda w: w.ctx.close, (), True),
    # PD, MR, AH
    "PD.reg_mr": (lambda w: w.pd.reg_mr, ("addr", "length", "access"), True),
    "PD.reg_dmabuf_mr": (
        lambda w: w.pd.reg_dmabuf_mr,
        ("offset", "length", "iova", "fd", "access"),
        True,
    ),
    "PD.create_ah": (lambda w: w.pd.create_ah, ("addr", "sgid_index", "port_num"), True),
    "PD.create_qp": (lambda w: w.pd.create_qp, ("init_attr",), True),
    "PD.close": (lambda w: w.pd.close, (), True),
    "MR.query_efa": (lambda w: w.mr.query_efa, (), True),
    "MR._keepalive": (lambda w: w.mr._keepalive, ("owner",), True),
    "MR.sge": (lambda w: w.mr.sge, ("length", "offset"), True),
    "MR.close": (lambda w: w.mr.close, (), True),
    "AH.close": (lambda w: w.ah.close, (), True),
    # completions
    "CompChannel.get_cq_event": (lambda w: w.channel.get_cq_event, (), False),
    "CompChannel.close": (lambda w: w.channel.close, (), True),
    "CQ.poll": (lambda w: w.cq.poll, ("num_entries",), True),
    "CQEx.poll": (lambda w: w.cqx.poll, ("num_entries",), True),
    "CQ.req_notify": (lambda w: w.cq.req_notify, ("solicited_only",), True),
    "CQ.ack_events": (lambda w: w.cq.ack_events, ("nevents",), True),
    "CQEx.query_efa": (lambda w: w.cqx.query_efa, (), True),
    "CQ.close": (lambda w: w.cq.close, (), True),
    "CQEx.close": (lambda w: w.cqx.close, (), True),
    "_CQBase.close": (lambda w: v._CQBase().close, (), True),
    **{
        f"{attr}.{method}": (
            lambda w, attr=attr, method=method: getattr(getattr(w, attr), method),
            (),
            True,
        )
        for attr in ("ctx", "pd", "mr", "ah", "channel", "cq", "cqx", "qp")
        for method in ("__enter__", "__exit__")
    },
    "WC.raise_for_status": (lambda w: w.wc.raise_for_status, (), True),
    # queue pairs
    "QP.to_init": (lambda w: w.link.receiver.to_init, ("qkey", "port", "pkey_index"), True),
    "QP.to_rtr": (lambda w: w.qp.to_rtr, (), True),
    "QP.to_rts": (lambda w: w.qp.to_rts, ("psn", "rnr_retry"), True),
    "QP.prepare": (
        lambda w: w.pd.create_qp(v.QPInitAttr(w.cq, w.cq)).prepare,
        ("qkey", "port", "psn", "rnr_retry"),
        True,
    ),
    "QP.modify": (
        lambda w: w.qp.modify,
        (
            "attr_mask",
            "qp_state",
            "cur_qp_state",
            "qkey",
            "rq_psn",
            "sq_psn",
            "pkey_index",
            "port_num",
            "rnr_retry",
        ),
        True,
    ),  # fmt: skip
    "QP.query": (lambda w: w.qp.query, (), True),
    "QP.query_wqs": (lambda w: w.qp.query_wqs, (), True),
    "QP.post_send": (lambda w: w.link.sender.post_send, ("wrs",), True),
    "QP.post_send(inline)": (lambda w: w.qp.post_send, ("wrs",), True),
    "QP.post_recv": (lambda w: w.link.receiver.post_recv, ("wrs",), True),
    "QP.close": (lambda w: w.qp.close, (), True),
    # records
    "Gid.__eq__": (lambda w: w.gid.__eq__, ("other",), True),
    "Gid.__ne__": (lambda w: w.gid.__ne__, ("other",), True),
    "Gid.__lt__": (lambda w: w.gid.__lt__, ("other",), True),
    "Gid.__bytes__": (lambda w: w.gid.__bytes__, (), True),
    "SGE._keepalive": (lambda w: v.SGE(1, 1)._keepalive, ("owner",), True),
    "copy.copy": (lambda w: copy.copy, ("x",), True),
    "pickle.dumps": (lambda w: pickle.dumps, ("obj",), True),
    **{
        f"{name}.__setstate__": (
            lambda w, name=name: getattr(v, name).__new__(getattr(v, name)).__setstate__,
            ("state",),
            True,
        )
        for name in STATE_SIZES
    },
}


@st.composite
def calls(draw, names):
    args = draw(st.lists(anything, max_size=len(names) + 1))
    keywords = draw(
        st.dictionaries(st.sampled_from([*names, "bogus"]), anything, max_size=len(names))
    )
    return args, keywords


def _call(w, fn, args, keywords):
    return fn(*[a(w) for a in args], **{k: a(w) for k, a in keywords.items()})


def _check(w, target, args, keywords):
    make, _, without_args = target
    if not without_args and not args and not keywords:
        return
    try:
        fn = make(w)
    except ALLOWED:
        return
    try:
        result = _call(w, fn, args, keywords)
    except ALLOWED:
        return
    # Whatever came back is a working Python object.
    repr(type(result))


@pytest.mark.parametrize("name", sorted(TARGETS))
def test_arbitrary_arguments(sim, name):
    target = TARGETS[name]

    @FUZZ
    @given(calls(target[1]))
    def run(call):
        args, keywords = call
        with fresh_world() as w:
            _check(w, target, args, keywords)

    run()


# ---- property setters and deleters -------------------------------------------

SETTERS = {
    "AHAttr": (
        lambda w: v.AHAttr(),
        list(AH_ATTR_FIELDS),
    ),
    "SendWR": (
        lambda w: w.send_wr(),
        list(SEND_WR_FIELDS),
    ),  # fmt: skip
    "RecvWR": (lambda w: v.RecvWR(), ["wr_id", "sg_list"]),
}


@pytest.mark.parametrize("record", sorted(SETTERS))
def test_setters_and_deleters(sim, record):
    make, fields = SETTERS[record]

    @FUZZ
    @given(st.lists(st.tuples(st.sampled_from(fields), st.booleans(), anything), max_size=6))
    def run(edits):
        with fresh_world() as w:
            obj = make(w)
            for field, delete, value in edits:
                try:
                    if delete:
                        delattr(obj, field)
                    else:
                        setattr(obj, field, value(w))
                except ALLOWED:
                    pass
            for field in fields:
                getattr(obj, field)
            # Whatever the fields hold now, using the record is safe.
            try:
                if record == "SendWR":
                    w.link.sender.post_send(obj)
                elif record == "RecvWR":
                    w.link.receiver.post_recv(obj)
                else:
                    w.pd.create_ah(obj)
            except ALLOWED:
                pass
            pickle_roundtrip(obj)

    run()


def pickle_roundtrip(obj):
    try:
        pickle.loads(pickle.dumps(obj))
    except ALLOWED:
        pass


# ---- every attribute of every object, in every state ----------------------------


def _instances(w):
    bare = [getattr(v, name)() for name in ("Context", "PD", "MR", "AH", "CompChannel", "CQ",
                                            "CQEx", "_CQBase", "QP", "AsyncEvent", "WC", "QPCap",
                                            "WQAttr", "CQAttr", "MRAttr", "DeviceAttr",
                                            "EfaDeviceAttr", "PortAttr")]  # fmt: skip
    unconstructed = [
        cls.__new__(cls) for cls in (v.Gid, v.Device, v.AHAttr, v.SGE, v.SendWR, v.RecvWR)
    ]
    live = [w.ctx, w.pd, w.channel, w.cq, w.cqx, w.mr, w.ah, w.qp, w.gid, w.wc, w.send_wr(),
            w.mr.sge(), v.AHAttr(), w.ctx.query_port(), *w.qp.query_wqs(), w.cq.query_efa()]  # fmt: skip
    closed = []
    for make in (
        lambda: w.ctx.alloc_pd(),
        lambda: w.pd.reg_mr(ctypes.addressof(w.buf), 8, 1),
        lambda: w.pd.create_ah(w.gid),
        lambda: w.ctx.create_cq_ex(2),
        lambda: w.pd.create_qp(v.QPInitAttr(w.cq, w.cq)),
        lambda: w.ctx.create_comp_channel(),
    ):
        obj = make()
        obj.close()
        closed.append(obj)
    return bare + unconstructed + live + closed


def test_every_attribute_in_every_state(sim):
    skip = {"get_cq_event", "get_async_event", "__del__"}
    with fresh_world() as w:
        for obj in _instances(w):
            for name in dir(obj):
                if name in skip:
                    continue
                try:
                    value = getattr(obj, name)
                    if (
                        callable(value)
                        and not isinstance(value, type)
                        and name
                        in (
                            "__repr__",
                            "__str__",
                            "__bytes__",
                            "__reduce__",
                            "__hash__",
                            "__sizeof__",
                        )
                    ):
                        value()
                except ALLOWED:
                    pass


def test_hostile_objects_propagate_their_own_exception(sim):
    with fresh_world() as w:
        for call in (
            lambda: w.pd.reg_mr(EvilInt(), 1, 0),
            lambda: v.SGE(EvilInt(), 1),
            lambda: v.SendWR(sg_list=_broken_iter()),
            lambda: w.qp.post_send(_broken_iter()),
            lambda: w.ctx.create_cq_ex(1, sgid=EvilBool()),
            lambda: v.SendWR(dest=EvilAttrs()),
            lambda: v.EfaError("op", 1, EvilStr()),
            lambda: v.AHAttr(EvilContainer()),
            lambda: w.qp.to_rts(psn=EvilInt()),
        ):
            with pytest.raises(Evil):
                call()


def test_fuzz_examples_are_configured():
    assert EXAMPLES > 0
    assert sys.modules["vantor._vantor"] is v
