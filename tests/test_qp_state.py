"""The queue-pair state machine (to_init, to_rtr, to_rts, prepare, modify) and
the queries (query, state, query_wqs)."""

from __future__ import annotations

import errno

import pytest
from qp_helpers import open_node

import vantor._vantor as v
from vantor.enums import QPType

RESET, INIT, RTR, RTS, ERR = 0, 1, 2, 3, 6
ZERO_ATTR = {
    "qp_state": 0, "cur_qp_state": 0, "qkey": 0, "rq_psn": 0, "sq_psn": 0, "pkey_index": 0,
    "port_num": 0, "rnr_retry": 0,
}  # fmt: skip

pytestmark = pytest.mark.usefixtures("settled")


@pytest.fixture
def node(sim):
    return open_node()


@pytest.fixture
def qp(node):
    return node.qp(prepare=False)


@pytest.fixture
def closed_qp(node):
    qp = node.qp(prepare=False)
    qp.close()
    return qp


def modifies(log):
    """(mask, non-zero attribute fields) of each ibv_modify_qp call."""
    return [
        (int(c["mask"], 16), {k: x for k, x in c["attr"].items() if x})
        for c in log.calls("ibv_modify_qp")
    ]


# ---- transitions ------------------------------------------------------------------


def test_prepare_drives_to_rts(sim, qp):
    with sim.recording() as log:
        assert qp.prepare(0x1234) is qp
    assert modifies(log) == [
        (0x71, {"qp_state": INIT, "qkey": 0x1234, "port_num": 1}),
        (0x1, {"qp_state": RTR}),
        (0x10001, {"qp_state": RTS}),
    ]
    assert qp.state == RTS and sim.qp_state(qp.qp_num) == RTS


def test_prepare_forwards_its_arguments(sim, qp):
    with sim.recording() as log:
        qp.prepare(qkey="7", port=257, psn=99, rnr_retry=7)
    assert modifies(log) == [
        (0x71, {"qp_state": INIT, "qkey": 7, "port_num": 1}),
        (0x1, {"qp_state": RTR}),
        (0x10801, {"qp_state": RTS, "sq_psn": 99, "rnr_retry": 7}),
    ]


def test_prepare_calls_the_transitions_by_attribute(monkeypatch, qp):
    calls = []
    original = v.QP.to_rtr
    monkeypatch.setattr(v.QP, "to_rtr", lambda self: calls.append(self) or original(self))
    qp.prepare(1)
    assert calls == [qp] and qp.state == RTS


def test_prepare_bad_port_fails_before_any_transition(sim, qp):
    with sim.recording() as log, pytest.raises(TypeError, match="an integer is required"):
        qp.prepare(1, port="1")
    assert log.calls("ibv_modify_qp") == []


def test_prepare_has_no_rollback(sim, qp):
    sim.fail("ibv_modify_qp", errno.EINVAL, skip=1)
    with pytest.raises(v.EfaError) as info:
        qp.prepare(1)
    assert (info.value.operation, info.value.errno) == ("ibv_modify_qp(->RTR)", errno.EINVAL)
    assert qp.state == INIT


def test_transitions_one_by_one(sim, qp):
    with sim.recording() as log:
        assert qp.to_init(5, pkey_index=0x10000) is None
        assert qp.to_rtr() is None
        assert qp.to_rts(psn=2**32 - 1) is None
    assert modifies(log) == [
        (0x71, {"qp_state": INIT, "qkey": 5, "port_num": 1}),
        (0x1, {"qp_state": RTR}),
        (0x10001, {"qp_state": RTS, "sq_psn": 2**32 - 1}),
    ]


@pytest.mark.parametrize(
    "method, args, kwargs, exc, message",
    [
        ("to_init", (-1,), {}, OverflowError, "can't convert negative value to uint32_t"),
        ("to_init", (2**32,), {}, OverflowError, "value too large to convert to uint32_t"),
        ("to_init", ("q",), {}, ValueError, "invalid literal"),
        ("to_init", (1,), {"port": 2**31}, OverflowError, "value too large to convert to int"),
        ("to_init", (1,), {"pkey_index": "0"}, TypeError, "an integer is required"),
        ("to_init", (), {}, TypeError, "takes at least 1 positional argument (0 given)"),
        ("to_rtr", (1,), {}, TypeError, "to_rtr() takes no arguments (1 given)"),
        ("to_rts", (-1,), {}, OverflowError, "can't convert negative value to uint32_t"),
        ("to_rts", (), {"rnr_retry": 256}, OverflowError, "value too large to convert to uint8_t"),
        ("to_rts", (), {"rnr_retry": -1}, OverflowError, "can't convert negative value to uint8_t"),
        ("to_rts", (), {"rnr_retry": []}, TypeError, None),
        ("to_rts", (0, 1, 2), {}, TypeError, "takes at most 2 positional arguments (3 given)"),
    ],
)
def test_transition_argument_errors(sim, qp, method, args, kwargs, exc, message):
    if method == "to_rts":
        qp.to_init(1)
        qp.to_rtr()
    with sim.recording() as log, pytest.raises(exc) as info:
        getattr(qp, method)(*args, **kwargs)
    if message is not None:
        assert message in str(info.value)
    assert log.calls("ibv_modify_qp") == []


def test_closed_check_order(closed_qp):
    with pytest.raises(v.EfaError, match="queue pair is closed"):
        closed_qp.to_init(-1)  # qkey is converted after the closed check
    with pytest.raises(TypeError, match="an integer is required"):
        closed_qp.to_init(1, port="x")  # port is converted while parsing
    for call in (
        closed_qp.to_rtr,
        lambda: closed_qp.to_rts(-1),
        closed_qp.query,
        closed_qp.query_wqs,
        lambda: closed_qp.modify(1, foo=1),
        lambda: closed_qp.state,
    ):
        with pytest.raises(v.EfaError) as info:
            call()
        assert (info.value.operation, info.value.errno) == ("queue pair is closed", 9)


@pytest.mark.parametrize(
    "step, operation", [(0, "ibv_modify_qp(->INIT)"), (1, "ibv_modify_qp(->RTR)"),
                        (2, "ibv_modify_qp(->RTS)")],
)  # fmt: skip
@pytest.mark.parametrize("err", [errno.EINVAL, errno.ENOMEM])
def test_transition_failures(sim, qp, step, operation, err):
    steps = [lambda: qp.to_init(1), qp.to_rtr, lambda: qp.to_rts(rnr_retry=3)]
    for done in steps[:step]:
        done()
    sim.fail("ibv_modify_qp", err)
    with pytest.raises(v.EfaError) as info:
        steps[step]()
    assert (info.value.operation, info.value.errno) == (operation, err)
    assert qp.state == step


def test_provider_refuses_a_skipped_state(qp):
    with pytest.raises(v.EfaError) as info:
        qp.to_rts()
    assert (info.value.operation, info.value.errno) == ("ibv_modify_qp(->RTS)", errno.EINVAL)
    assert qp.state == RESET


# ---- modify -----------------------------------------------------------------------


def test_modify_to_error_state(sim, qp):
    with sim.recording() as log:
        assert qp.modify(1, qp_state=ERR) is None
    assert log.calls("ibv_modify_qp")[0]["attr"] == {**ZERO_ATTR, "qp_state": ERR}
    assert log.calls("ibv_modify_qp")[0]["mask"] == "0x1"
    assert qp.state == ERR


def test_modify_sets_every_known_field(sim, qp):
    fields = {"qp_state": 1, "cur_qp_state": 0, "qkey": 2**32 - 1, "rq_psn": 3, "sq_psn": 4,
              "pkey_index": 2**16 - 1, "port_num": 255, "rnr_retry": 6}  # fmt: skip
    sim.fail("ibv_modify_qp", errno.EINVAL)  # only the arguments matter here
    with sim.recording() as log, pytest.raises(v.EfaError) as info:
        qp.modify(attr_mask=0x7FFFFFFF, **fields)
    assert info.value.operation == "ibv_modify_qp"
    call = log.calls("ibv_modify_qp")[0]
    assert (call["mask"], call["attr"]) == ("0x7fffffff", fields)


def test_modify_with_empty_mask(sim, qp):
    with sim.recording() as log:
        qp.modify(0)
    call = log.calls("ibv_modify_qp")[0]
    assert (call["mask"], call["attr"]) == ("0x0", ZERO_ATTR)


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((1,), {"foo": 1, "bar": 2}, TypeError, "unknown QP attribute(s): bar, foo"),
        ((1,), {"qp_state": 1, "state": 2}, TypeError, "unknown QP attribute(s): state"),
        ((), {}, TypeError, "modify() takes exactly 1 positional argument (0 given)"),
        ((), {"qp_state": 1}, TypeError, "modify() takes exactly 1 positional argument (0 given)"),
        ((1, 2), {}, TypeError, "modify() takes exactly 1 positional argument (2 given)"),
        ((1,), {"attr_mask": 1}, TypeError, "multiple values for keyword argument 'attr_mask'"),
        (("1",), {}, TypeError, "an integer is required"),
        ((2**31,), {}, OverflowError, "value too large to convert to int"),
        ((1,), {"pkey_index": 2**16}, OverflowError, "value too large to convert to uint16_t"),
        ((1,), {"port_num": 256}, OverflowError, "value too large to convert to uint8_t"),
        ((1,), {"rnr_retry": -1}, OverflowError, "can't convert negative value to uint8_t"),
        ((1,), {"qkey": -1}, OverflowError, "can't convert negative value to uint32_t"),
        ((1,), {"sq_psn": 2**32}, OverflowError, "value too large to convert to uint32_t"),
        ((1,), {"qp_state": 2**31}, OverflowError, "value too large to convert to int"),
        ((1,), {"cur_qp_state": "0"}, TypeError, "an integer is required"),
    ],
)
def test_modify_refusals_make_no_native_call(sim, qp, args, kwargs, exc, message):
    with sim.recording() as log, pytest.raises(exc) as info:
        qp.modify(*args, **kwargs)
    assert str(info.value) == message or message in str(info.value)
    assert log.calls("ibv_modify_qp") == []


def test_modify_failure(sim, qp):
    sim.fail("ibv_modify_qp", 0, rc=-110)
    with pytest.raises(v.EfaError) as info:
        qp.modify(1, qp_state=INIT)
    assert (info.value.operation, info.value.errno) == ("ibv_modify_qp", 110)


# ---- queries -----------------------------------------------------------------------


def test_query(sim, qp):
    qp.prepare(0xABCD, psn=9, rnr_retry=7)
    with sim.recording() as log:
        attrs, cap = qp.query()
    assert list(attrs) == ["qp_state", "qkey", "sq_psn", "port_num", "pkey_index", "rnr_retry"]
    assert attrs == {"qp_state": RTS, "qkey": 0xABCD, "sq_psn": 9, "port_num": 1,
                     "pkey_index": 0, "rnr_retry": 7}  # fmt: skip
    assert isinstance(cap, v.QPCap) and cap.max_send_wr == 128
    assert log.calls("ibv_query_qp")[0]["mask"] == "0x90871"


def test_query_on_fresh_queue_pair(qp):
    attrs, _ = qp.query()
    assert attrs["qp_state"] == RESET


def test_state_queries_every_time(sim, node):
    qp = node.qp(qp_type=QPType.UD)
    with sim.recording() as log:
        assert qp.state == RTS
        qp.modify(1, qp_state=ERR)
        assert qp.state == ERR
    assert [c["mask"] for c in log.calls("ibv_query_qp")] == ["0x1", "0x1"]


@pytest.mark.parametrize("read", [lambda qp: qp.query(), lambda qp: qp.state])
def test_query_failures(sim, qp, read):
    sim.fail("ibv_query_qp", errno.EPERM)
    with pytest.raises(v.EfaError) as info:
        read(qp)
    assert (info.value.operation, info.value.errno) == ("ibv_query_qp", errno.EPERM)


def test_query_wqs(sim, qp):
    with sim.recording() as log:
        sq, rq = qp.query_wqs()
    assert log.calls("efadv_query_qp_wqs")[0].get("inlen", 40) == 40
    for wq in (sq, rq):
        assert isinstance(wq, v.WQAttr)
        assert wq.buffer_addr and wq.doorbell_addr and wq.num_entries >= 128
        assert wq.max_batch == 16 and wq.entry_size > 0
        assert repr(wq) == (
            f"WQAttr(buffer_addr={wq.buffer_addr:#x}, entry_size={wq.entry_size}, "
            f"num_entries={wq.num_entries}, max_batch={wq.max_batch})"
        )
    assert sq.buffer_addr != rq.buffer_addr
    with pytest.raises(AttributeError):
        sq.max_batch = 1


def test_query_wqs_failure(sim, qp):
    sim.fail("efadv_query_qp_wqs", errno.EOPNOTSUPP)
    with pytest.raises(v.EfaError) as info:
        qp.query_wqs()
    assert (info.value.operation, info.value.errno) == ("efadv_query_qp_wqs", errno.EOPNOTSUPP)


def test_wq_attr_record():
    wq = v.WQAttr()
    assert repr(wq) == "WQAttr(buffer_addr=0x0, entry_size=0, num_entries=0, max_batch=0)"
    assert "query_wqs" in v.WQAttr.__doc__
    with pytest.raises(TypeError, match=r"WQAttr\(\) takes no arguments"):
        v.WQAttr(entry_size=1)
