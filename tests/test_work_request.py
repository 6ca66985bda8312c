"""SGE, SendWR and RecvWR records, and MR.sge."""

from __future__ import annotations

import gc
import weakref

import pytest
from qp_helpers import open_node

import vantor._vantor as v

pytestmark = pytest.mark.usefixtures("settled")


class Box:
    """A weakly referenceable object to watch the records' references."""


def collected(make_cycle) -> bool:
    """True when the cycle that `make_cycle` builds around a Box is freed by the collector."""
    box = Box()
    make_cycle(box)
    ref = weakref.ref(box)
    del box
    gc.collect()
    return ref() is None


@pytest.fixture
def node(sim):
    return open_node()


# ---- SGE on raw addresses -------------------------------------------------------


def test_sge_raw_address():
    sge = v.SGE(4096, 64)
    assert (sge.addr, sge.length, sge.lkey, sge.owner) == (4096, 64, 0, None)
    assert repr(sge) == "SGE(addr=0x1000, length=64, lkey=0x0)"


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((2**64 - 1, 1), {}, (2**64 - 1, 1, 0)),
        ((4096.0, 64.0), {}, (4096, 64, 0)),
        ((0, 0), {}, (0, 0, 0)),
        ((0, 2**32 - 1), {}, (0, 2**32 - 1, 0)),
        ((10, 5), {"lkey": 2**32 - 1, "offset": 6}, (16, 5, 2**32 - 1)),
        ((), {"target": 1, "length": "12", "offset": 2**64 - 2}, (2**64 - 1, 12, 0)),
    ],
)
def test_sge_accepts(args, kwargs, expected):
    sge = v.SGE(*args, **kwargs)
    assert (sge.addr, sge.length, sge.lkey) == expected


def test_sge_keepalive_replaces_and_releases_owner():
    sge = v.SGE(1, 2)
    first, second = Box(), Box()
    assert sge._keepalive(first) is sge and sge.owner is first
    ref = weakref.ref(first)
    del first
    assert sge._keepalive(owner=second).owner is second
    assert ref() is None
    assert sge._keepalive(None).owner is None


def test_sge_cycle_through_owner_is_collected():
    def cycle(box):
        box.sge = v.SGE(1, 2)._keepalive(box)

    assert collected(cycle)


def test_sge_subclass_runs_its_own_init():
    class Entry(v.SGE):
        def __init__(self, addr):
            super().__init__(addr, 8)
            self.tag = "mine"

    entry = Entry(64)
    assert (entry.addr, entry.length, entry.tag) == (64, 8, "mine")


# ---- SGE and MR -----------------------------------------------------------------


def test_sge_on_mr(node):
    buf, mr = node.reg(256)
    sge = v.SGE(mr, 0)
    assert (sge.addr, sge.length, sge.lkey, sge.owner) == (buf.addr, 0, mr.lkey, mr)
    sge = v.SGE(mr, 16, offset=256 - 16)
    assert (sge.addr, sge.length) == (buf.addr + 240, 16)
    assert v.SGE(mr, 0, offset=256).addr == buf.addr + 256
    assert v.SGE(mr, 4, lkey=0x77).lkey == 0x77


@pytest.mark.parametrize("length, offset", [(0, 257), (256, 1), (257, 0), (1, 2**64), (0, 2**70)])
def test_sge_range_beyond_mr(node, length, offset):
    _, mr = node.reg(256)
    with pytest.raises(ValueError, match=r"^SGE range exceeds the memory region$"):
        v.SGE(mr, length, offset=offset)


def test_sge_on_closed_mr(node):
    _, mr = node.reg(64)
    mr.close()
    with pytest.raises(v.EfaError) as info:
        v.SGE(mr, 1)
    assert (info.value.operation, info.value.errno) == ("memory region is closed", 9)


def test_sge_keeps_its_mr_alive(node):
    _, mr = node.reg(64)
    sge = mr.sge()
    del mr
    gc.collect()
    assert sge.owner.lkey == sge.lkey


def test_mr_sge_whole_region_and_ranges(node):
    buf, mr = node.reg(128)
    whole = mr.sge()
    assert (whole.addr, whole.length, whole.lkey, whole.owner) == (buf.addr, 128, mr.lkey, mr)
    end = mr.sge(offset=128)
    assert (end.addr, end.length) == (buf.addr + 128, 0)
    part = mr.sge(10, 5)
    assert (part.addr, part.length) == (buf.addr + 5, 10)
    assert mr.sge(length=3, offset=1.0).addr == buf.addr + 1


@pytest.mark.parametrize("offset", [129, -1, 2**64])
def test_mr_sge_offset_outside(node, offset):
    _, mr = node.reg(128)
    with pytest.raises(ValueError, match=r"^SGE offset is outside the memory region$"):
        mr.sge(offset=offset)


@pytest.mark.parametrize(
    "length, message",
    [(129, "SGE range exceeds the memory region"), (-1, "SGE length must be between")],
)
def test_mr_sge_length_checked_by_sge(node, length, message):
    _, mr = node.reg(128)
    with pytest.raises(ValueError, match=message):
        mr.sge(length)


def test_mr_sge_on_closed_mr(node):
    _, mr = node.reg(64)
    mr.close()
    with pytest.raises(v.EfaError, match="memory region is closed"):
        mr.sge()


# ---- SendWR ---------------------------------------------------------------------

SEND_FIELDS = [
    "wr_id", "sg_list", "opcode", "send_flags", "remote_addr", "rkey", "imm_data", "ah",
    "remote_qpn", "remote_qkey",
]  # fmt: skip


def test_send_wr_defaults():
    wr = v.SendWR()
    assert [getattr(wr, f) for f in SEND_FIELDS] == [0, [], 2, 0, 0, 0, 0, None, 0, 0]
    assert v.SendWR().sg_list is not wr.sg_list


def test_send_wr_positional_order():
    ah = Box()
    wr = v.SendWR(1, [v.SGE(1, 1)], 4, 2, 0x1000, 7, 9, ah, 17, 0x42)
    assert [getattr(wr, f) for f in SEND_FIELDS if f != "sg_list"] == [
        1, 4, 2, 0x1000, 7, 9, ah, 17, 0x42,
    ]  # fmt: skip


def test_send_wr_copies_sg_list():
    a, b = v.SGE(1, 1), v.SGE(2, 2)
    entries = [a, b]
    wr = v.SendWR(sg_list=entries)
    assert wr.sg_list == entries and wr.sg_list is not entries
    assert v.SendWR(sg_list=(a, b)).sg_list == [a, b]
    assert v.SendWR(sg_list=iter([a])).sg_list == [a]


class Peer:
    def __init__(self, ah, qp_num, qkey):
        self.ah, self.qp_num, self.qkey = ah, qp_num, qkey


def test_send_wr_dest_overrides_explicit_destination():
    peer = Peer(Box(), 33, 0x99)
    wr = v.SendWR(ah=Box(), remote_qpn=1, remote_qkey=2, dest=peer)
    assert (wr.ah, wr.remote_qpn, wr.remote_qkey) == (peer.ah, 33, 0x99)
    wr = v.SendWR(remote_qpn=-1, remote_qkey="junk", dest=peer)
    assert wr.remote_qpn == 33


@pytest.mark.parametrize(
    "dest, exc",
    [
        (object(), AttributeError),
        (Peer(None, -1, 0), OverflowError),
        (Peer(None, 1, 2**32), OverflowError),
    ],
)
def test_send_wr_bad_dest(dest, exc):
    with pytest.raises(exc):
        v.SendWR(dest=dest)


@pytest.mark.parametrize(
    "field, value, exc, message",
    [
        ("wr_id", -1, OverflowError, "can't convert negative value to uint64_t"),
        ("wr_id", 2**64, OverflowError, None),
        ("opcode", 2**31, OverflowError, "value too large to convert to int"),
        ("opcode", -(2**31) - 1, OverflowError, "value too large to convert to int"),
        ("opcode", "2", TypeError, "an integer is required"),
        ("send_flags", -1, OverflowError, "can't convert negative value to unsigned int"),
        ("send_flags", 2**32, OverflowError, "value too large to convert to unsigned int"),
        ("remote_addr", -1, OverflowError, "can't convert negative value to uint64_t"),
        ("rkey", 2**32, OverflowError, "value too large to convert to uint32_t"),
        ("imm_data", 2**32, OverflowError, "value too large to convert to uint32_t"),
        ("imm_data", -1, OverflowError, "can't convert negative value to uint32_t"),
        ("remote_qpn", 2**32, OverflowError, "value too large to convert to uint32_t"),
        ("remote_qkey", b"1", TypeError, "an integer is required"),
    ],
)
def test_send_wr_scalar_conversions(field, value, exc, message):
    with pytest.raises(exc) as info:
        v.SendWR(**{field: value})
    if message:
        assert str(info.value) == message
    wr = v.SendWR()
    before = getattr(wr, field)
    with pytest.raises(exc):
        setattr(wr, field, value)
    assert getattr(wr, field) == before


@pytest.mark.parametrize(
    "field, value",
    [("wr_id", 2**64 - 1), ("opcode", -(2**31)), ("send_flags", 2**32 - 1), ("rkey", 5),
     ("remote_addr", 2**64 - 1), ("imm_data", 2**32 - 1), ("remote_qpn", 3), ("remote_qkey", 4)],
)  # fmt: skip
def test_send_wr_scalar_set_and_delete(field, value):
    wr = v.SendWR()
    setattr(wr, field, value)
    assert getattr(wr, field) == value
    with pytest.raises(NotImplementedError, match="__del__"):
        delattr(wr, field)


def test_send_wr_object_fields():
    wr = v.SendWR()
    entries = [v.SGE(1, 1)]
    wr.sg_list = entries
    assert wr.sg_list is entries
    wr.sg_list = None
    assert wr.sg_list is None
    wr.sg_list = []
    del wr.sg_list
    assert wr.sg_list is None
    wr.ah = "anything"
    assert wr.ah == "anything"
    del wr.ah
    assert wr.ah is None


class EntryList(list):
    pass


def test_send_wr_cycle_is_collected():
    def cycle(box):
        box.wr = v.SendWR(ah=box)

    def list_cycle(box):
        wr = v.SendWR(ah=box)
        wr.sg_list = [wr]
        box.wr = wr

    assert collected(cycle) and collected(list_cycle)


# ---- RecvWR ---------------------------------------------------------------------


def test_recv_wr():
    wr = v.RecvWR()
    assert (wr.wr_id, wr.sg_list) == (0, [])
    entries = (v.SGE(1, 1),)
    wr = v.RecvWR(2**64 - 1, entries)
    assert wr.wr_id == 2**64 - 1 and wr.sg_list == list(entries)
    assert v.RecvWR(sg_list=None, wr_id=3).sg_list == []
    with pytest.raises(OverflowError, match="can't convert negative value to uint64_t"):
        v.RecvWR(-1)
    with pytest.raises(TypeError, match=r"takes at most 2 positional arguments \(3 given\)"):
        v.RecvWR(1, [], 3)
    with pytest.raises(NotImplementedError, match="__del__"):
        del wr.wr_id
    del wr.sg_list
    assert wr.sg_list is None
    assert v.RecvWR.__doc__.startswith("RecvWR(wr_id=0, sg_list=None)\n\nA receive work request.")
    assert v.RecvWR.wr_id.__doc__ == "wr_id: 'uint64_t'"
    assert v.RecvWR.sg_list.__doc__ == "sg_list: list"


def test_recv_wr_cycle_is_collected():
    def cycle(box):
        box.wr = v.RecvWR(sg_list=[box])

    assert collected(cycle)
