"""Queue-pair creation: QPInitAttr, PD.create_qp (SRD and UD), the QP object's
lifecycle and its QPCap record."""

from __future__ import annotations

import errno
import gc
from types import SimpleNamespace

import pytest
from qp_helpers import open_node

import vantor._vantor as v
from conftest import drop_while_handling
from vantor.enums import QPType

INIT_FIELDS = [
    "send_cq", "recv_cq", "qp_type", "max_send_wr", "max_recv_wr", "max_send_sge",
    "max_recv_sge", "max_inline_data", "sq_sig_all", "send_ops_flags", "sl",
    "unsolicited_write_recv",
]  # fmt: skip

pytestmark = pytest.mark.usefixtures("settled")


@pytest.fixture
def node(sim):
    return open_node()


def attrs(node, **overrides):
    """Everything create_qp reads, as a plain object (no QPInitAttr conversions)."""
    values = dict(vars(v.QPInitAttr(node.send_cq, node.recv_cq)))
    values.update(overrides)
    return SimpleNamespace(**values)


def created(log):
    """The native create call of a recording: SRD or UD."""
    calls = log.calls("efadv_create_qp_ex") + log.calls("create_qp_ex")
    assert len(calls) == 1
    return calls[0]


def live_qps(sim):
    gc.collect()  # queue pairs of earlier tests may still wait in reference cycles
    return sim.live_objects()["qp"]


# ---- QPInitAttr -------------------------------------------------------------------


def test_init_attr_defaults():
    attr = v.QPInitAttr("s", "r")
    assert [getattr(attr, f) for f in INIT_FIELDS] == [
        "s", "r", 255, 128, 128, 1, 1, 0, False, None, 0, False,
    ]  # fmt: skip


def test_init_attr_conversions():
    attr = v.QPInitAttr(1, 2, 4.0, -1, "x", None, 2**40, 0, 1, 12.0, "3", [0])
    assert [getattr(attr, f) for f in INIT_FIELDS] == [
        1, 2, 4, -1, "x", None, 2**40, 0, True, 12, 3, True,
    ]  # fmt: skip
    assert type(attr.qp_type) is int and type(attr.send_ops_flags) is int


def test_init_attr_is_a_plain_class():
    assert type(v.QPInitAttr) is type and v.QPInitAttr.__module__ == "vantor._vantor"
    assert v.QPInitAttr.__doc__.startswith("Parameters for :meth:`PD.create_qp`.")
    assert v.QPInitAttr.__init__.__doc__ == (
        "QPInitAttr.__init__(self, send_cq, recv_cq, qp_type=None, max_send_wr=128, "
        "max_recv_wr=128, max_send_sge=1, max_recv_sge=1, max_inline_data=0, sq_sig_all=False, "
        "send_ops_flags=None, sl=0, unsolicited_write_recv=False)"
    )


# ---- create_qp ----------------------------------------------------------------------


def test_create_srd_defaults(sim, node):
    with sim.recording() as log:
        qp = node.pd.create_qp(v.QPInitAttr(node.send_cq, node.recv_cq))
    call = created(log)
    send_handle, recv_handle = sim.cq_handles()[-2:]
    assert call["fn"] == "efadv_create_qp_ex"
    assert {k: call[k] for k in (
        "send_cq", "recv_cq", "srq", "qp_context", "max_send_wr", "max_recv_wr", "max_send_sge",
        "max_recv_sge", "max_inline_data", "qp_type", "sq_sig_all", "comp_mask",
        "send_ops_flags", "efa_comp_mask", "driver_qp_type", "efa_flags", "sl", "inlen",
    )} == {
        "send_cq": send_handle, "recv_cq": recv_handle, "srq": False, "qp_context": "0x0",
        "max_send_wr": 128, "max_recv_wr": 128, "max_send_sge": 1, "max_recv_sge": 1,
        "max_inline_data": 0, "qp_type": 255, "sq_sig_all": 0, "comp_mask": "0x41",
        "send_ops_flags": "0x1f", "efa_comp_mask": "0x0", "driver_qp_type": 0,
        "efa_flags": "0x0", "sl": 0, "inlen": 16,
    }  # fmt: skip
    assert qp.qp_num == call["ret"]
    assert (qp.qp_type, qp.send_ops_flags) == (QPType.SRD, 31)
    assert qp.pd is node.pd and qp.send_cq is node.send_cq and qp.recv_cq is node.recv_cq
    assert repr(qp) == f"QP(qp_num={qp.qp_num}, qp_type=SRD)"
    assert log.fns() == ["efadv_create_qp_ex", "ibv_qp_to_qp_ex"]


def test_create_ud_through_extended_verbs(sim, node):
    with sim.recording() as log:
        qp = node.pd.create_qp(v.QPInitAttr(node.send_cq, node.recv_cq, qp_type=QPType.UD, sl=300))
    call = created(log)
    assert call["fn"] == "create_qp_ex"
    assert (call["qp_type"], call["send_ops_flags"], call["comp_mask"]) == (4, "0xc", "0x41")
    assert (qp.qp_type, qp.send_ops_flags) == (QPType.UD, 12)
    assert repr(qp) == f"QP(qp_num={qp.qp_num}, qp_type=UD)"


def test_create_passes_every_attribute(sim, node):
    init = v.QPInitAttr(node.send_cq, node.send_cq, max_send_wr=64, max_recv_wr=32,
                        max_send_sge=2, max_recv_sge=3, max_inline_data=32, sq_sig_all=True,
                        send_ops_flags=5, sl=7, unsolicited_write_recv=True)  # fmt: skip
    with sim.recording() as log:
        qp = node.pd.create_qp(init_attr=init)
    call = created(log)
    assert (call["send_cq"], call["recv_cq"]) == (sim.cq_handles()[-2],) * 2
    assert [call[k] for k in ("max_send_wr", "max_recv_wr", "max_send_sge", "max_recv_sge",
                              "max_inline_data", "sq_sig_all", "send_ops_flags", "sl",
                              "efa_flags")] == [64, 32, 2, 3, 32, 1, "0x5", 7, "0x1"]  # fmt: skip
    assert qp.send_ops_flags == 5 and qp.send_cq is qp.recv_cq


def test_ud_mask_reaches_provider_unmasked(sim, node):
    sim.fail("create_qp_ex", errno.EOPNOTSUPP)
    with sim.recording() as log, pytest.raises(v.EfaError) as info:
        node.pd.create_qp(
            v.QPInitAttr(node.send_cq, node.recv_cq, qp_type=QPType.UD, send_ops_flags=5)
        )
    assert created(log)["send_ops_flags"] == "0x5"
    assert (info.value.operation, info.value.errno) == ("ibv_create_qp_ex", errno.EOPNOTSUPP)
    qp = node.pd.create_qp(
        v.QPInitAttr(node.send_cq, node.recv_cq, qp_type=QPType.UD, send_ops_flags=4)
    )
    assert qp.send_ops_flags == 4


def test_cq_ex_and_duck_typed_attributes(sim):
    node = open_node(cq_ex=True)
    qp = node.pd.create_qp(attrs(node, qp_type=QPType.UD))
    assert qp.send_cq is node.send_cq and isinstance(qp.send_cq, v.CQEx)


def test_create_on_closed_pd(sim):
    node = open_node()
    node.pd.close()
    with pytest.raises(v.EfaError) as info:
        node.pd.create_qp(v.QPInitAttr(node.send_cq, node.recv_cq))
    assert (info.value.operation, info.value.errno) == ("pd is closed", 9)


@pytest.mark.parametrize(
    "overrides, exc, message",
    [
        ({"send_cq": None}, TypeError, "Cannot convert NoneType to vantor._vantor._CQBase"),
        ({"recv_cq": "cq"}, TypeError, "Cannot convert str to vantor._vantor._CQBase"),
        ({"send_cq": v.CQ()}, v.EfaError, "completion queue is closed"),
        ({"qp_type": "255"}, TypeError, "an integer is required"),
        ({"qp_type": 2**31}, OverflowError, "value too large to convert to int"),
        ({"max_send_wr": -1}, OverflowError, "can't convert negative value to uint32_t"),
        ({"max_inline_data": 2**32}, OverflowError, "value too large to convert to uint32_t"),
        ({"send_ops_flags": -1}, OverflowError, "can't convert negative value to uint64_t"),
        ({"send_ops_flags": 2**64}, OverflowError, None),
        ({"sl": 256}, OverflowError, "value too large to convert to uint8_t"),
        ({"qp_type": 2}, ValueError, "EFA supports qp_type SRD or UD"),
        ({"qp_type": 2, "max_send_wr": -1}, OverflowError, "can't convert negative value"),
        ({"qp_type": 2, "sq_sig_all": None}, ValueError, "EFA supports qp_type SRD or UD"),
    ],
)
def test_create_refusals(sim, node, overrides, exc, message):
    before = live_qps(sim)
    with pytest.raises(exc) as info:
        node.pd.create_qp(attrs(node, **overrides))
    if message is not None:
        assert message in str(info.value)
    assert live_qps(sim) == before


def test_cqs_of_another_context(sim, node):
    other = open_node()
    with pytest.raises(ValueError, match="^queue-pair CQs must belong to the PD's context$"):
        node.pd.create_qp(v.QPInitAttr(node.send_cq, other.recv_cq))


@pytest.mark.parametrize(
    "fn, qp_type, err, expected_errno, operation",
    [
        ("efadv_create_qp_ex", QPType.SRD, errno.ENOMEM, errno.ENOMEM, "efadv_create_qp_ex"),
        ("efadv_create_qp_ex", QPType.SRD, 0, errno.EIO, "efadv_create_qp_ex"),
        ("create_qp_ex", QPType.UD, errno.EINVAL, errno.EINVAL, "ibv_create_qp_ex"),
        ("create_qp_ex", QPType.UD, 0, errno.EIO, "ibv_create_qp_ex"),
    ],
)
def test_provider_refuses_creation(sim, node, fn, qp_type, err, expected_errno, operation):
    sim.fail(fn, err)
    with pytest.raises(v.EfaError) as info:
        node.qp(qp_type=qp_type, prepare=False)
    assert (info.value.operation, info.value.errno) == (operation, expected_errno)
    assert live_qps(sim) == 0


def test_provider_limit_is_reported(sim, node):
    with pytest.raises(v.EfaError) as info:
        node.qp(max_send_wr=10**6, prepare=False)
    assert (info.value.operation, info.value.errno) == ("efadv_create_qp_ex", errno.EINVAL)


def test_no_extended_handle_destroys_the_queue_pair(sim, node):
    sim.fail("ibv_qp_to_qp_ex", errno.EOPNOTSUPP)
    with sim.recording() as log, pytest.raises(v.EfaError) as info:
        node.qp(prepare=False)
    assert (info.value.operation, info.value.errno) == ("ibv_qp_to_qp_ex", errno.EOPNOTSUPP)
    assert log.fns() == ["efadv_create_qp_ex", "ibv_qp_to_qp_ex", "ibv_destroy_qp"]
    assert log.calls("ibv_destroy_qp")[0]["qp"] == log.calls("efadv_create_qp_ex")[0]["ret"]
    assert live_qps(sim) == 0


# ---- the QP object ------------------------------------------------------------------


def test_close_is_idempotent_and_keeps_references(sim, node):
    qp = node.qp(qp_type=QPType.UD, prepare=False)
    assert qp.close() is None
    assert sim.call_count("ibv_destroy_qp") == 1 and live_qps(sim) == 0
    assert qp.close() is None
    assert sim.call_count("ibv_destroy_qp") == 1
    assert repr(qp) == "QP(closed=True)"
    with pytest.raises(v.EfaError) as info:
        _ = qp.qp_num
    assert (info.value.operation, info.value.errno) == ("queue pair is closed", 9)
    assert (qp.pd, qp.send_cq, qp.recv_cq) == (node.pd, node.send_cq, node.recv_cq)
    assert (qp.qp_type, qp.send_ops_flags) == (QPType.UD, 12)


def test_failed_close_can_be_retried(sim, node):
    qp = node.qp()
    sim.fail("ibv_destroy_qp", errno.EBUSY)
    with pytest.raises(v.EfaError) as info:
        qp.close()
    assert (info.value.operation, info.value.errno) == ("ibv_destroy_qp", errno.EBUSY)
    assert qp.state == 3 and live_qps(sim) == 1
    qp.close()
    assert live_qps(sim) == 0


def test_with_block_closes_also_on_error(sim, node):
    with node.qp() as qp:
        assert qp.qp_num > 0
    assert repr(qp) == "QP(closed=True)"
    with pytest.raises(KeyError):
        with node.qp() as qp:
            raise KeyError("x")
    assert live_qps(sim) == 0


def test_exit_uses_the_close_attribute(node):
    qp = node.qp()
    assert qp.__exit__(None, None, None) is False
    assert repr(qp) == "QP(closed=True)"
    with pytest.raises(TypeError):
        qp.__exit__(exc=None)


def test_bare_queue_pair():
    qp = v.QP(1, 2, x=3)
    assert repr(qp) == "QP(closed=True)"
    assert (qp.pd, qp.send_cq, qp.recv_cq, qp.qp_type, qp.send_ops_flags) == (
        None,
        None,
        None,
        0,
        0,
    )
    assert qp.close() is None and qp.__enter__() is qp
    with pytest.raises(v.EfaError, match="queue pair is closed"):
        _ = qp.state


@pytest.mark.parametrize(
    "name", ["pd", "send_cq", "recv_cq", "qp_type", "send_ops_flags", "qp_num", "state"]
)
def test_attributes_are_read_only(node, name):
    qp = node.qp()
    with pytest.raises(AttributeError):
        setattr(qp, name, None)


def test_destruction_frees_silently(sim, node):
    qp = node.qp()
    del qp
    assert live_qps(sim) == 0
    qp = [node.qp()]
    sim.fail("ibv_destroy_qp", errno.EIO)
    drop_while_handling(qp)
    assert sim.call_count("ibv_destroy_qp") == 2


def test_queue_pair_holds_its_parents(sim, node):
    qp = node.qp()
    assert {id(o) for o in gc.get_referents(qp)} >= {
        id(node.pd),
        id(node.send_cq),
        id(node.recv_cq),
    }
    with pytest.raises(v.EfaError) as info:
        node.pd.close()
    assert (info.value.operation, info.value.errno) == ("ibv_dealloc_pd", errno.EBUSY)
    qp.close()
    node.pd.close()


# ---- QPCap ---------------------------------------------------------------------------


def test_qp_cap_record(node):
    cap = node.qp(max_send_wr=64, max_inline_data=32, max_recv_sge=2).query()[1]
    assert isinstance(cap, v.QPCap)
    assert (cap.max_send_wr, cap.max_recv_wr, cap.max_send_sge, cap.max_recv_sge,
            cap.max_inline_data) == (64, 128, 1, 2, 32)  # fmt: skip
    assert repr(cap) == (
        "QPCap(max_send_wr=64, max_recv_wr=128, max_send_sge=1, max_recv_sge=2, max_inline_data=32)"
    )
    with pytest.raises(AttributeError):
        cap.max_send_wr = 1
    assert v.QPCap.__doc__ == "Queue-pair capacity limits."
    with pytest.raises(TypeError, match=r"QPCap\(\) takes no arguments"):
        v.QPCap(1)
