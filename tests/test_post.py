"""Posting: QP.post_send builds one extended work-request batch (start, one
opcode call, destination and entry list per request, complete or abort) and
QP.post_recv hands one chain to ibv_post_recv. Checked through the
simulator's call log."""

from __future__ import annotations

import errno
import sys

import pytest
from qp_helpers import open_node

import vantor._vantor as v
from conftest import QKEY
from vantor.enums import QPType, SendFlags, WROpcode

pytestmark = pytest.mark.usefixtures("settled")


class Pair:
    """Two SRD queue pairs on one device, an AH between them and buffers."""

    def __init__(self, **qp_kwargs):
        self.node = open_node()
        self.a = self.node.qp(**qp_kwargs)
        self.b = self.node.qp(max_recv_sge=3)
        self.ah = self.node.pd.create_ah(self.node.gid())
        self.buf, self.mr = self.node.reg(4096, bytes(range(256)) * 16)

    def wr(self, wr_id=1, sges=None, **kwargs):
        kwargs.setdefault("send_flags", SendFlags.SIGNALED)
        kwargs.setdefault("ah", self.ah)
        sges = [self.mr.sge(8)] if sges is None else sges
        return v.SendWR(wr_id, sges, remote_qpn=self.b.qp_num, remote_qkey=QKEY, **kwargs)


@pytest.fixture
def pair(sim):
    return Pair()


def batch_calls(log):
    return [fn for fn in log.fns() if fn.startswith("wr_")]


# ---- normalisation ----------------------------------------------------------------------


@pytest.mark.parametrize("empty", [[], (), iter([]), {}], ids=["list", "tuple", "iter", "dict"])
def test_empty_batches_make_no_native_call(sim, pair, empty):
    with sim.recording() as log:
        assert pair.a.post_send(empty) is None
        assert pair.b.post_recv([] if isinstance(empty, dict) else empty) is None
    assert list(log) == []


def test_single_request_equals_one_element_list(sim, pair):
    wr = pair.wr(5)
    with sim.recording() as single:
        pair.a.post_send(wr)
    with sim.recording() as listed:
        pair.a.post_send(wrs=[wr])
    assert list(single) == list(listed)
    recv = v.RecvWR(9, [pair.mr.sge(4)])
    with sim.recording() as single:
        pair.b.post_recv(recv)
    with sim.recording() as listed:
        pair.b.post_recv(wrs=[recv])
    assert list(single) == list(listed)


def test_any_iterable_is_accepted(sim, pair):
    with sim.recording() as log:
        pair.a.post_send(pair.wr(i) for i in range(3))
        pair.a.post_send((pair.wr(3),))
    assert [c["wr_id"] for c in log.calls("wr_send")] == [0, 1, 2, 3]
    assert len(log.calls("wr_complete")) == 2


class WRList(list):
    pass


@pytest.mark.parametrize("method", ["post_send", "post_recv"])
@pytest.mark.parametrize(
    "wrs, exc, message",
    [
        (5, TypeError, "'int' object is not iterable"),
        (WRList(), TypeError, r"^Expected list, got (\w+\.)*WRList$"),
        (None, TypeError, "not iterable"),
    ],
)
def test_bad_request_containers(sim, pair, method, wrs, exc, message):
    with sim.recording() as log, pytest.raises(exc, match=message):
        getattr(pair.a, method)(wrs)
    assert list(log) == []


@pytest.mark.parametrize("method", ["post_send", "post_recv"])
def test_closed_queue_pair(sim, pair, method):
    pair.a.close()
    with sim.recording() as log, pytest.raises(v.EfaError) as info:
        getattr(pair.a, method)(5)
    assert (info.value.operation, info.value.errno) == ("queue pair is closed", 9)
    assert list(log) == []


# ---- what reaches the provider ------------------------------------------------------------


@pytest.mark.parametrize(
    "opcode, fn, extra",
    [
        (WROpcode.RDMA_WRITE, "wr_rdma_write", {"rkey": "0x1234", "remote_addr": "0xfeedf00d"}),
        (WROpcode.RDMA_WRITE_WITH_IMM, "wr_rdma_write_imm",
         {"rkey": "0x1234", "remote_addr": "0xfeedf00d", "imm_data": 1}),
        (WROpcode.SEND, "wr_send", {}),
        (WROpcode.SEND_WITH_IMM, "wr_send_imm", {"imm_data": 1}),
        (WROpcode.RDMA_READ, "wr_rdma_read", {"rkey": "0x1234", "remote_addr": "0xfeedf00d"}),
    ],
)  # fmt: skip
def test_each_opcode_reaches_its_builder(sim, pair, opcode, fn, extra):
    wr = pair.wr(2**64 - 1, [pair.mr.sge(8, 16), pair.mr.sge(4)], opcode=opcode,
                 remote_addr=0xFEEDF00D, rkey=0x1234, imm_data=1)  # fmt: skip
    sim.fail("wr_complete", errno.ECANCELED)  # the arguments are all this test needs
    with sim.recording() as log, pytest.raises(v.EfaError):
        pair.a.post_send(wr)
    assert batch_calls(log) == ["wr_start", fn, "wr_set_ud_addr", "wr_set_sge_list", "wr_complete"]
    call = log.calls(fn)[0]
    assert call == {"fn": fn, "qp": pair.a.qp_num, "wr_id": 2**64 - 1, "wr_flags": "0x2", **extra}
    assert log.calls("wr_set_ud_addr")[0] == {
        "fn": "wr_set_ud_addr", "qp": pair.a.qp_num, "ah": pair.ah.ahn,
        "remote_qpn": pair.b.qp_num, "remote_qkey": hex(QKEY),
    }  # fmt: skip
    assert log.calls("wr_set_sge_list")[0]["sg_list"] == [
        {"lkey": hex(pair.mr.lkey), "addr": hex(pair.buf.addr + 16), "length": 8},
        {"lkey": hex(pair.mr.lkey), "addr": hex(pair.buf.addr), "length": 4},
    ]


def test_inline_entries_go_as_data_without_keys(sim, pair):
    wr = pair.wr(sges=[v.SGE(pair.buf.addr, 3, lkey=77), pair.mr.sge(5, 100)],
                 send_flags=SendFlags.INLINE | SendFlags.SIGNALED)  # fmt: skip
    sim.fail("wr_complete", errno.ECANCELED)
    with sim.recording() as log, pytest.raises(v.EfaError):
        pair.a.post_send(wr)
    assert batch_calls(log) == ["wr_start", "wr_send", "wr_set_ud_addr",
                                "wr_set_inline_data_list", "wr_complete"]  # fmt: skip
    call = log.calls("wr_set_inline_data_list")[0]
    assert (call["num_buf"], call["buf_list"]) == (2, [
        {"addr": hex(pair.buf.addr), "length": 3},
        {"addr": hex(pair.buf.addr + 100), "length": 5},
    ])  # fmt: skip
    assert log.calls("wr_send")[0]["wr_flags"] == "0xa"


@pytest.mark.parametrize("inline", [0, SendFlags.INLINE])
def test_empty_entry_list_is_still_set(sim, pair, inline):
    sim.fail("wr_complete", errno.ECANCELED)
    with sim.recording() as log, pytest.raises(v.EfaError):
        pair.a.post_send(pair.wr(sges=[], send_flags=SendFlags.SIGNALED | inline))
    name = "wr_set_inline_data_list" if inline else "wr_set_sge_list"
    call = log.calls(name)[0]
    assert call.get("num_sge", call.get("num_buf")) == 0


def test_sixty_four_entries_reach_the_provider(sim, pair):
    sges = [pair.mr.sge(1, i) for i in range(64)]
    with sim.recording() as log, pytest.raises(v.EfaError) as info:
        pair.a.post_send(pair.wr(sges=sges))
    # The module passes 64; this queue pair's max_send_sge is what refuses.
    assert log.calls("wr_set_sge_list")[0]["num_sge"] == 64
    assert (info.value.operation, info.value.errno) == ("ibv_wr_complete", errno.EINVAL)


# ---- refusals abort the whole batch -----------------------------------------------------


def closed_ah(pair):
    ah = pair.node.pd.create_ah(pair.node.gid())
    ah.close()
    return ah


@pytest.mark.parametrize(
    "bad, exc, message",
    [
        (lambda p: p.wr(ah=None), ValueError,
         ("EFA sends are connectionless: each SendWR needs a destination "
          "(dest=Peer or ah/remote_qpn/remote_qkey)")),
        (lambda p: p.wr(ah=closed_ah(p)), v.EfaError, "address handle is closed"),
        (lambda p: p.wr(ah="gid"), TypeError, "Expected AH, got str"),
        (lambda p: p.wr(sges=[p.mr.sge(1)] * 65), ValueError, "at most 64 SGEs per work request"),
        (lambda p: p.wr(opcode=9), ValueError,
         ("EFA supports SEND, SEND_WITH_IMM, RDMA_READ, RDMA_WRITE and RDMA_WRITE_WITH_IMM "
          "(got opcode 9)")),
        (lambda p: p.wr(opcode=-1), ValueError, "(got opcode -1)"),
        (lambda p: 7, TypeError, "Expected SendWR, got int"),
        (lambda p: v.RecvWR(), TypeError, "Expected SendWR, got vantor._vantor.RecvWR"),
        (lambda p: p.wr(sges=[p.mr.sge(1), (1, 2)]), TypeError, "Expected SGE, got tuple"),
        (lambda p: p.wr(sges=[p.mr.sge(1), 3]), TypeError, "Expected SGE, got int"),
    ],
)  # fmt: skip
def test_bad_third_request_aborts_the_batch(sim, pair, bad, exc, message):
    batch = [pair.wr(1), pair.wr(2), bad(pair)]
    with sim.recording() as log, pytest.raises(exc) as info:
        pair.a.post_send(batch)
    assert message in str(info.value)
    calls = batch_calls(log)
    assert calls[0] == "wr_start" and calls[-1] == "wr_abort"
    # An entry is checked while the entry list is built, after the opcode call.
    assert calls.count("wr_send") == (3 if "SGE, got" in message else 2)
    assert "wr_complete" not in calls
    assert sim.call_count("wr_abort") == 1
    assert pair.a.send_cq.poll(4) == [] and pair.b.recv_cq.poll(4) == []


def test_sg_list_none_aborts(sim, pair):
    wr = pair.wr()
    wr.sg_list = None
    with (
        sim.recording() as log,
        pytest.raises(TypeError, match=r"^object of type 'NoneType' has no len\(\)$"),
    ):
        pair.a.post_send([pair.wr(), wr])
    assert batch_calls(log)[-1] == "wr_abort"


def test_opcode_outside_send_ops_flags(sim):
    node = open_node()
    qp = node.qp(qp_type=QPType.UD)
    ah = node.pd.create_ah(node.gid())
    with sim.recording() as log, pytest.raises(ValueError) as info:
        qp.post_send(v.SendWR(opcode=WROpcode.RDMA_READ, ah=ah, send_flags=SendFlags.SIGNALED))
    assert str(info.value) == "opcode 4 is not enabled in this QP's send_ops_flags"
    assert batch_calls(log) == ["wr_start", "wr_abort"]
    with pytest.raises(ValueError, match=r"\(got opcode 9\)"):
        qp.post_send(v.SendWR(opcode=9, ah=ah))


def test_unsignaled_send_fails_the_batch(sim, pair):
    pair.b.post_recv([v.RecvWR(i, [pair.mr.sge(64)]) for i in range(2)])
    with pytest.raises(v.EfaError) as info:
        pair.a.post_send([pair.wr(1), pair.wr(2, send_flags=0)])
    assert (info.value.operation, info.value.errno) == ("ibv_wr_complete", errno.EINVAL)
    assert "ibv_wr_complete failed" in str(info.value)
    assert pair.a.send_cq.poll(4) == [] and pair.b.recv_cq.poll(4) == []


def test_sq_sig_all_makes_unsignaled_sends_legal(sim):
    pair = Pair(sq_sig_all=True)
    pair.b.post_recv(v.RecvWR(1, [pair.mr.sge(64)]))
    pair.a.post_send(pair.wr(7, send_flags=0))
    assert [wc.wr_id for wc in pair.a.send_cq.poll(4)] == [7]


@pytest.mark.parametrize(
    "fn, err", [("wr_complete", errno.ENOMEM), ("wr_send", errno.ENOMEM),
                ("wr_set_ud_addr", errno.EINVAL), ("wr_set_sge_list", errno.E2BIG)],
)  # fmt: skip
def test_provider_refuses_the_batch(sim, pair, fn, err):
    sim.fail(fn, err)
    with pytest.raises(v.EfaError) as info:
        pair.a.post_send([pair.wr(1), pair.wr(2)])
    assert (info.value.operation, info.value.errno) == ("ibv_wr_complete", err)
    assert pair.a.send_cq.poll(4) == []


def test_requests_are_not_retained(pair):
    wr = pair.wr()
    batch = [wr]
    before = (sys.getrefcount(wr), sys.getrefcount(batch), sys.getrefcount(pair.ah))
    for _ in range(3):
        pair.a.post_send(wr)
        pair.a.post_send(batch)
        with pytest.raises(ValueError):
            pair.a.post_send([wr, pair.wr(opcode=9)])
    assert (sys.getrefcount(wr), sys.getrefcount(batch), sys.getrefcount(pair.ah)) == before


# ---- receives -----------------------------------------------------------------------------


def test_receive_chain_of_2_0_3_entries(sim, pair):
    sges = [pair.mr.sge(16, 16 * i) for i in range(5)]
    wrs = [v.RecvWR(10, sges[:2]), v.RecvWR(11), v.RecvWR(2**64 - 1, sges[2:])]
    with sim.recording() as log:
        pair.b.post_recv(wrs)
    (call,) = log.calls("post_recv")
    entry = [{"lkey": hex(s.lkey), "addr": hex(s.addr), "length": 16} for s in sges]
    assert call["qp"] == pair.b.qp_num
    assert call["wrs"] == [
        {"wr_id": 10, "num_sge": 2, "sg_list": entry[0:2]},
        {"wr_id": 11, "num_sge": 0, "sg_list": []},
        {"wr_id": 2**64 - 1, "num_sge": 3, "sg_list": entry[2:5]},
    ]


@pytest.mark.parametrize(
    "bad, exc, message",
    [
        (lambda p: v.SendWR(), TypeError, "Expected RecvWR, got vantor._vantor.SendWR"),
        (lambda p: "wr", TypeError, "Expected RecvWR, got str"),
        (lambda p: v.RecvWR(sg_list=[p.mr.sge(1), object()]), TypeError, "Expected SGE, got object"),
        (lambda p: v.RecvWR.__new__(v.RecvWR), TypeError, "object of type 'NoneType' has no len()"),
    ],
)  # fmt: skip
def test_bad_receive_posts_nothing(sim, pair, bad, exc, message):
    with sim.recording() as log, pytest.raises(exc, match=message):
        pair.b.post_recv([v.RecvWR(1, [pair.mr.sge(4)]), bad(pair)])
    assert log.calls("post_recv") == []


@pytest.mark.parametrize("size", [3, 70], ids=["small", "large"])
@pytest.mark.parametrize(
    "later, exc, message",
    [
        (lambda p: v.RecvWR(2, [p.mr.sge(4)]), TypeError, "Expected SGE, got object"),
        (lambda p: "wr", TypeError, "Expected RecvWR, got str"),
        (lambda p: v.RecvWR.__new__(v.RecvWR), TypeError, "object of type 'NoneType' has no len()"),
    ],
)  # fmt: skip
def test_receive_requests_are_checked_before_their_entries(sim, pair, size, later, exc, message):
    """A request's own faults are reported before a bad entry of an earlier
    request, whether the chain is built on the stack or (over 64 requests)
    on the heap."""
    wrs = [v.RecvWR(1, [object()])] + [v.RecvWR(3, [pair.mr.sge(4)]) for _ in range(size - 2)]
    with sim.recording() as log, pytest.raises(exc, match=message):
        pair.b.post_recv([*wrs, later(pair)])
    assert log.calls("post_recv") == []


@pytest.mark.parametrize("entries", [[0, 2, 1], [1] * 40 + [2] * 20 + [0, 3]], ids=["few", "many"])
def test_receive_chains_reach_the_provider_whole(sim, pair, entries):
    """Chains that fit the stack arrays and chains that overflow them (over
    64 entries in all) reach the provider identically."""
    sges = [pair.mr.sge(8, 8 * i) for i in range(3)]
    wrs = [v.RecvWR(i, sges[:n]) for i, n in enumerate(entries)]
    with sim.recording() as log:
        pair.b.post_recv(wrs)
    (call,) = log.calls("post_recv")
    entry = [{"lkey": hex(s.lkey), "addr": hex(s.addr), "length": 8} for s in sges]
    assert call["wrs"] == [
        {"wr_id": i, "num_sge": n, "sg_list": entry[:n]} for i, n in enumerate(entries)
    ]


@pytest.mark.parametrize("err", [errno.ENOMEM, errno.EINVAL])
def test_provider_refuses_receives(sim, pair, err):
    sim.fail("post_recv", err)
    with pytest.raises(v.EfaError) as info:
        pair.b.post_recv(v.RecvWR(1, [pair.mr.sge(4)]))
    assert (info.value.operation, info.value.errno) == ("ibv_post_recv", err)
