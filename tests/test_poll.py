"""Polling: batches, ordering, the extended poll protocol and its failures."""

from __future__ import annotations

import errno

import pytest
from completion_helpers import Link, expect_efa_error

import vantor._vantor as v
from vantor.enums import CreateCQWCFlags, WCFlags, WCOpcode

KINDS = ["cq", "cq_ex"]
READERS = [
    "read_opcode", "read_vendor_err", "read_byte_len", "read_imm_data", "read_qp_num",
    "read_src_qp", "read_wc_flags",
]  # fmt: skip


def create(ctx, kind, *args, **kwargs):
    return (ctx.create_cq if kind == "cq" else ctx.create_cq_ex)(*args, **kwargs)


def queue_with(ctx, kind, wr_ids, **cq_kwargs):
    """A receive queue holding one SEND completion per wr_id, in order."""
    cq = create(ctx, kind, 64, **cq_kwargs)
    link = Link(ctx, ctx.create_cq(64), cq)
    link.send_many(wr_ids)
    return cq, link


@pytest.mark.parametrize("kind", KINDS)
def test_empty_queue(sim, ctx, kind):
    cq = create(ctx, kind, 4)
    with sim.recording() as log:
        assert cq.poll(8) == []
    if kind == "cq":
        assert log.fns() == ["poll_cq"]
        assert log[0]["num_entries"] == 8
    else:
        assert log.fns() == ["start_poll"]  # no batch opened, none ended
        assert log[0]["comp_mask"] == 0


@pytest.mark.parametrize("kind", KINDS)
def test_poll_returns_at_most_n_in_order(sim, ctx, kind):
    cq, link = queue_with(ctx, kind, [10, 11, 12, 13, 14])
    with sim.recording() as log:
        first = cq.poll(2)
        second = cq.poll(num_entries=2)
        rest = cq.poll(10)
    assert [[wc.wr_id for wc in part] for part in (first, second, rest)] == [
        [10, 11], [12, 13], [14],
    ]  # fmt: skip
    assert cq.poll(1) == []
    assert all(type(wc) is v.WC and wc.opcode == WCOpcode.RECV for wc in first + second + rest)
    assert v.CQ.poll.__annotations__ == v.CQEx.poll.__annotations__ == {"return": "list"}
    if kind == "cq":
        assert [c["num_entries"] for c in log.calls("poll_cq")] == [2, 2, 10]
    else:
        # One batch per call, ended once; never advanced past what it returns.
        assert len(log.calls("start_poll")) == 3
        assert len(log.calls("end_poll")) == 3
        assert [c["ret"] for c in log.calls("next_poll")] == [0, 0, errno.ENOENT]


@pytest.mark.parametrize("kind", KINDS)
def test_sender_and_receiver_completions(ctx, kind):
    send_cq = create(ctx, kind, 16)
    recv_cq = create(ctx, kind, 16)
    link = Link(ctx, send_cq, recv_cq)
    link.send(2**64 - 1, length=40, imm=42, recv_wr_id=7)
    (sent,) = send_cq.poll(4)
    (received,) = recv_cq.poll(4)
    assert (sent.wr_id, sent.status, sent.opcode, sent.byte_len) == (2**64 - 1, 0, WCOpcode.SEND, 0)
    assert sent.qp_num == link.sender.qp_num
    assert (received.wr_id, received.opcode, received.byte_len) == (7, WCOpcode.RECV, 40)
    assert received.imm_data == 42  # sent as 00 00 00 2A in network order
    assert received.wc_flags & WCFlags.WITH_IMM
    assert (received.qp_num, received.src_qp) == (link.receiver.qp_num, link.sender.qp_num)
    assert received.sgid is None and received.unsolicited is False
    assert received.is_success and received.raise_for_status() is None


@pytest.mark.parametrize(
    "num_entries, exc, message",
    [
        (0, ValueError, "^num_entries must be positive$"),
        (-1, ValueError, "^num_entries must be positive$"),
        (2**31, OverflowError, "^value too large to convert to int$"),
        ("2", TypeError, "^an integer is required$"),
    ],
)
@pytest.mark.parametrize("kind", KINDS)
def test_num_entries_checks(sim, ctx, kind, num_entries, exc, message):
    cq = create(ctx, kind, 4)
    with pytest.raises(exc, match=message):
        cq.poll(num_entries)
    assert sim.call_count("poll_cq") + sim.call_count("start_poll") == 0


@pytest.mark.parametrize("cls", [v.CQ, v.CQEx])
@pytest.mark.parametrize("num_entries", [0, -1, 4])
def test_closed_check_comes_before_the_range_check(cls, num_entries):
    with pytest.raises(v.EfaError) as info:
        cls().poll(num_entries)
    expect_efa_error(info, "completion queue is closed", errno.EBADF)


# ---- classic poll failures ---------------------------------------------------------


@pytest.mark.parametrize(
    "err, rc, expected",
    [(errno.EAGAIN, None, errno.EAGAIN), (errno.EPERM, -1, errno.EPERM), (0, -1, errno.EIO),
     (99, -7, 7)],
)  # fmt: skip
def test_poll_cq_failure(sim, ctx, err, rc, expected):
    cq, link = queue_with(ctx, "cq", [1])
    sim.fail("poll_cq", err, rc=rc)
    with pytest.raises(v.EfaError) as info:
        cq.poll(4)
    expect_efa_error(info, "ibv_poll_cq", expected)
    assert [wc.wr_id for wc in cq.poll(4)] == [1]


# ---- extended poll protocol ------------------------------------------------------------


@pytest.mark.parametrize("rc", [errno.EINVAL, errno.EIO])
def test_start_poll_failure_opens_no_batch(sim, ctx, rc):
    cq, link = queue_with(ctx, "cq_ex", [1])
    sim.fail("start_poll", 0, rc=rc)
    with sim.recording() as log:
        with pytest.raises(v.EfaError) as info:
            cq.poll(4)
    expect_efa_error(info, "ibv_start_poll", rc)
    assert log.fns() == ["start_poll"]
    assert [wc.wr_id for wc in cq.poll(4)] == [1]


def test_next_poll_failure_ends_the_batch(sim, ctx):
    cq, link = queue_with(ctx, "cq_ex", [1, 2, 3])
    sim.fail("next_poll", 0, rc=errno.EIO)
    with sim.recording() as log:
        with pytest.raises(v.EfaError) as info:
            cq.poll(8)
    expect_efa_error(info, "ibv_next_poll", errno.EIO)
    assert log.fns()[-2:] == ["next_poll", "end_poll"]
    assert len(log.calls("end_poll")) == 1
    # The completion read before the failure is gone; the rest are intact.
    assert [wc.wr_id for wc in cq.poll(8)] == [2, 3]


def test_every_reader_is_used_once_per_completion(sim, ctx):
    cq, link = queue_with(ctx, "cq_ex", [1, 2])
    with sim.recording() as log:
        assert len(cq.poll(2)) == 2
    for reader in READERS:
        assert len(log.calls(reader)) == 2, reader
    assert log.calls("wc_read_sgid") == [] and log.calls("wc_is_unsolicited") == []
    assert log.fns()[:2] == ["start_poll", "read_opcode"]
    assert log.fns()[-1] == "end_poll"


@pytest.mark.parametrize(
    "wc_flags, present",
    [
        (0, set()),
        (CreateCQWCFlags.BYTE_LEN, {"byte_len"}),
        (CreateCQWCFlags.IMM | CreateCQWCFlags.SRC_QP, {"imm_data", "src_qp"}),
        (CreateCQWCFlags.QP_NUM, {"qp_num"}),
    ],
)
def test_narrow_wc_flags_leave_unrequested_fields_zero(sim, ctx, wc_flags, present):
    cq = ctx.create_cq_ex(16, wc_flags=wc_flags)
    link = Link(ctx, ctx.create_cq(16), cq)
    link.send(3, length=24, imm=9)
    with sim.recording() as log:
        (wc,) = cq.poll(1)
    values = {
        "byte_len": 24, "imm_data": 9, "qp_num": link.receiver.qp_num,
        "src_qp": link.sender.qp_num,
    }  # fmt: skip
    for name, value in values.items():
        assert getattr(wc, name) == (value if name in present else 0), name
        assert len(log.calls(f"read_{name}")) == (1 if name in present else 0), name
    # Always available, whatever the mask.
    assert (wc.wr_id, wc.opcode, wc.wc_flags & WCFlags.WITH_IMM) == (
        3,
        WCOpcode.RECV,
        WCFlags.WITH_IMM,
    )


@pytest.mark.parametrize(
    "reader, rc, field, expected",
    [
        ("read_opcode", -3, "opcode", -3),
        ("read_qp_num", 0x80000001, "qp_num", 0x80000001),
        ("read_src_qp", 0xFFFFFFFF, "src_qp", 2**32 - 1),
        ("read_vendor_err", 0xFFFFFFFF, "vendor_err", 2**32 - 1),
        ("read_byte_len", 0x80000000, "byte_len", 2**31),
        ("read_imm_data", 0x2A000000, "imm_data", 0x2A),
        ("read_wc_flags", 0x80000000, "wc_flags", 2**31),
    ],
)
def test_extended_values_keep_their_sign(sim, ctx, reader, rc, field, expected):
    cq, link = queue_with(ctx, "cq_ex", [1])
    sim.fail(reader, 0, rc=rc)
    (wc,) = cq.poll(1)
    assert getattr(wc, field) == expected


# ---- the EFA extras -----------------------------------------------------------------


@pytest.mark.parametrize("shared_pd", [False, True], ids=["unknown-peer", "peer-with-ah"])
def test_sgid_reported_only_for_peers_without_an_ah(sim, ctx, shared_pd):
    cq = ctx.create_cq_ex(16, sgid=True)
    link = Link(ctx, ctx.create_cq(16), cq, shared_pd=shared_pd)
    link.send(1)
    with sim.recording() as log:
        (wc,) = cq.poll(1)
    assert len(log.calls("wc_read_sgid")) == 1
    if shared_pd:
        assert wc.sgid is None
    else:
        assert type(wc.sgid) is bytes and wc.sgid == sim.device_gid(0)
        assert v.Gid(wc.sgid) == wc.sgid


def test_sgid_read_failure_leaves_none(sim, ctx):
    cq = ctx.create_cq_ex(16, sgid=True)
    link = Link(ctx, ctx.create_cq(16), cq)
    link.send(1)
    sim.fail("wc_read_sgid", errno.EINVAL)
    (wc,) = cq.poll(1)
    assert wc.sgid is None


@pytest.mark.parametrize(
    "kind, kwargs, field, unread, reader",
    [
        ("cq", {}, "sgid", None, "wc_read_sgid"),
        ("cq_ex", {}, "sgid", None, "wc_read_sgid"),
        ("cq_ex", {"unsolicited": True}, "sgid", None, "wc_read_sgid"),
        ("cq_ex", {"sgid": True}, "unsolicited", False, "wc_is_unsolicited"),
    ],
)
def test_optional_field_is_never_read_without_request(
    sim, ctx, kind, kwargs, field, unread, reader
):
    cq = create(ctx, kind, 16, **kwargs)
    link = Link(ctx, ctx.create_cq(16), cq)
    link.send(1)
    with sim.recording() as log:
        (wc,) = cq.poll(1)
    assert getattr(wc, field) is unread
    assert log.calls(reader) == []


def test_unsolicited_write_with_immediate(sim, ctx):
    cq = ctx.create_cq_ex(16, unsolicited=True)
    link = Link(ctx, ctx.create_cq(16), cq, unsolicited=True)
    link.write_with_imm(5, imm=0x01020304)
    link.send(6)
    with sim.recording() as log:
        unsolicited, solicited = cq.poll(4)
    assert (unsolicited.wr_id, unsolicited.opcode) == (0, WCOpcode.RECV_RDMA_WITH_IMM)
    assert unsolicited.imm_data == 0x01020304
    assert unsolicited.unsolicited is True
    assert (solicited.wr_id, solicited.unsolicited) == (6, False)
    assert len(log.calls("wc_is_unsolicited")) == 2
    assert log.calls("wc_read_sgid") == []


# ---- results outlive the queue -----------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
def test_wc_outlives_its_queue(ctx, kind):
    cq, link = queue_with(ctx, kind, [4])
    (wc,) = cq.poll(1)
    link.receiver.close()
    cq.close()
    del cq, link
    assert (wc.wr_id, wc.opcode) == (4, WCOpcode.RECV)


# ---- polling into the caller's WC objects -------------------------------------------

FIELDS = ("wr_id", "status", "opcode", "vendor_err", "byte_len", "imm_data", "qp_num", "src_qp",
          "wc_flags", "sgid", "unsolicited")  # fmt: skip
WC_STATE = (64, 0xDEADBEEF, 128, 3, None, 4, 0, 0, 0, 2, 2**64 - 1)  # the pickled field order


def fields(wc):
    return tuple(getattr(wc, name) for name in FIELDS)


def restored_wc(sgid=None):
    """A WC as a pickle restores it, holding any object as its sgid."""
    state = list(WC_STATE)
    state[4] = sgid
    return v._unpickle_WC(v.WC, 0x4180B13, tuple(state))


class MyWC(v.WC):
    pass


@pytest.mark.parametrize("kind", KINDS)
def test_poll_into_fills_the_given_objects_like_poll(ctx, kind):
    expected_cq, expected_link = queue_with(ctx, kind, [10, 11, 12])
    expected = [fields(wc) for wc in expected_cq.poll(3)]
    cq, link = queue_with(ctx, kind, [10, 11, 12])
    wcs = [v.WC(), MyWC(), restored_wc(), v.WC()]
    spare = fields(wcs[3])
    same = list(wcs)
    assert cq.poll_into(wcs) == 3
    assert all(a is b for a, b in zip(wcs, same))
    qpns = {"qp_num": link.receiver.qp_num, "src_qp": link.sender.qp_num}
    for wc, want in zip(wcs, expected):
        got = dict(zip(FIELDS, fields(wc)))
        assert got == {**dict(zip(FIELDS, want)), **qpns}
    assert fields(wcs[3]) == spare  # past the count: untouched
    assert cq.poll_into(wcs) == 0
    assert [wc.wr_id for wc in wcs[:3]] == [10, 11, 12]
    assert v.CQ.poll_into.__annotations__ == v.CQEx.poll_into.__annotations__ == {"return": "int"}


@pytest.mark.parametrize("kind", KINDS)
def test_poll_into_takes_at_most_num_entries(sim, ctx, kind):
    cq, link = queue_with(ctx, kind, [1, 2, 3, 4, 5])
    wcs = [v.WC() for _ in range(4)]
    with sim.recording() as log:
        counts = [cq.poll_into(wcs, 2), cq.poll_into(wcs, num_entries=1), cq.poll_into(wcs)]
    assert counts == [2, 1, 2]
    assert [wc.wr_id for wc in wcs] == [4, 5, 0, 0]  # the first two WCs, overwritten
    if kind == "cq":
        assert [c["num_entries"] for c in log.calls("poll_cq")] == [2, 1, 4]
    else:
        assert [c["ret"] for c in log.calls("next_poll")] == [0, 0, errno.ENOENT]
        assert len(log.calls("start_poll")) == len(log.calls("end_poll")) == 3


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (
            ((v.WC(),),),
            TypeError,
            r"^Argument 'wcs' has incorrect type \(expected list, got tuple\)$",
        ),
        (([],), ValueError, "^wcs is empty: nothing to poll into$"),
        (([v.WC()], 0), ValueError, "^num_entries must be positive$"),
        (([v.WC()], -1), ValueError, "^num_entries must be positive$"),
        (([v.WC()], 2), ValueError, r"^num_entries \(2\) exceeds len\(wcs\) \(1\)$"),
        (([v.WC()], "1"), TypeError, "^an integer is required$"),
        (([v.WC(), None], None), TypeError, r"^Expected WC at wcs\[1\], got NoneType$"),
        (
            ([v.WC(), v.SGE(0, 1, 2)], 2),
            TypeError,
            r"^Expected WC at wcs\[1\], got vantor\._vantor\.SGE$",
        ),
        (
            ([v.WC()], 1, 2),
            TypeError,
            r"^poll_into\(\) takes at most 2 positional arguments \(3 given\)$",
        ),
    ],
)
@pytest.mark.parametrize("kind", KINDS)
def test_poll_into_checks_everything_before_polling(sim, ctx, kind, args, exc, message):
    cq, link = queue_with(ctx, kind, [1])
    with sim.recording() as log:
        with pytest.raises(exc, match=message):
            cq.poll_into(*args)
    assert log.calls("poll_cq") == [] and log.calls("start_poll") == []
    assert [wc.wr_id for wc in cq.poll(4)] == [1]


def test_poll_into_ignores_items_past_num_entries(ctx):
    cq, link = queue_with(ctx, "cq_ex", [1])
    wcs = [v.WC(), "not a WC"]
    assert cq.poll_into(wcs, 1) == 1 and wcs[0].wr_id == 1


@pytest.mark.parametrize("cls", [v.CQ, v.CQEx])
def test_poll_into_closed_queue(cls):
    with pytest.raises(v.EfaError) as info:
        cls().poll_into([v.WC()], 0)
    expect_efa_error(info, "completion queue is closed", errno.EBADF)


@pytest.mark.parametrize(
    "kind, fail, operation, left",
    [
        ("cq", ("poll_cq", errno.EPERM, -1), "ibv_poll_cq", [1, 2]),
        ("cq_ex", ("start_poll", 0, errno.EIO), "ibv_start_poll", [1, 2]),
        # The completion read before the failure is consumed; the rest stay.
        ("cq_ex", ("next_poll", 0, errno.EIO), "ibv_next_poll", [2]),
    ],
)
def test_poll_into_failure(sim, ctx, kind, fail, operation, left):
    cq, link = queue_with(ctx, kind, [1, 2])
    wcs = [v.WC(), v.WC()]
    name, err, rc = fail
    sim.fail(name, err, rc=rc)
    with pytest.raises(v.EfaError) as info:
        cq.poll_into(wcs)
    expect_efa_error(info, operation, rc if err == 0 else err)
    if len(left) == 2:  # nothing was read: the objects are untouched
        assert [fields(wc) for wc in wcs] == [fields(v.WC())] * 2
    assert [wc.wr_id for wc in cq.poll(4)] == left


@pytest.mark.parametrize("shared_pd", [False, True], ids=["unknown-peer", "peer-with-ah"])
def test_poll_into_replaces_sgid(sim, ctx, shared_pd):
    cq = ctx.create_cq_ex(16, sgid=True)
    link = Link(ctx, ctx.create_cq(16), cq, shared_pd=shared_pd)
    link.send_many([1, 2])
    wcs = [restored_wc(sgid=b"x" * 16), v.WC()]
    assert cq.poll_into(wcs) == 2
    expected = None if shared_pd else sim.device_gid(0)
    assert [wc.sgid for wc in wcs] == [expected, expected]


@pytest.mark.parametrize("kind", KINDS)
def test_poll_into_clears_what_the_completion_lacks(ctx, kind):
    """A reused WC keeps nothing of its last completion: no sgid, no
    unsolicited flag, whatever the queue."""
    cq, link = queue_with(ctx, kind, [7])
    wc = restored_wc(sgid=b"g" * 16)
    state = list(WC_STATE)
    state[7] = 1  # unsolicited
    flagged = v._unpickle_WC(v.WC, 0x4180B13, tuple(state))
    assert flagged.unsolicited is True and wc.sgid == b"g" * 16
    assert cq.poll_into([wc]) == 1 and (wc.wr_id, wc.sgid) == (7, None)
    link.send(8)
    assert cq.poll_into([flagged]) == 1
    assert (flagged.wr_id, flagged.unsolicited, flagged.sgid) == (8, False, None)


def test_poll_into_unsolicited(ctx):
    cq = ctx.create_cq_ex(16, unsolicited=True)
    link = Link(ctx, ctx.create_cq(16), cq, unsolicited=True)
    link.write_with_imm(5, imm=0x01020304)
    link.send(6)
    wcs = [v.WC(), v.WC()]
    assert cq.poll_into(wcs) == 2
    assert [(wc.opcode, wc.unsolicited, wc.imm_data) for wc in wcs] == [
        (WCOpcode.RECV_RDMA_WITH_IMM, True, 0x01020304), (WCOpcode.RECV, False, 0),
    ]  # fmt: skip


@pytest.mark.parametrize("kind", KINDS)
def test_poll_into_releases_old_sgids_only_once_all_are_filled(ctx, kind):
    """An sgid whose release runs code (here: one that empties the list and
    reads the WCs) is released after every WC is filled."""
    cq, link = queue_with(ctx, kind, [1, 2, 3])
    seen = []

    class Hostile:
        def __del__(self):
            seen.append([wc.wr_id for wc in wcs])
            wcs.clear()

    wcs = [v.WC(), restored_wc(sgid=Hostile()), v.WC()]
    held = list(wcs)
    assert cq.poll_into(wcs) == 3
    assert seen == [[1, 2, 3]] and wcs == []
    assert [(wc.wr_id, wc.sgid) for wc in held] == [(1, None), (2, None), (3, None)]


@pytest.mark.parametrize("kind", KINDS)
def test_poll_into_with_another_thread(ctx, kind):
    """With another thread alive the GIL may be released during the poll, so
    the call holds the WCs itself; the results are the same."""
    import threading

    cq, link = queue_with(ctx, kind, [1, 2])
    stop = threading.Event()
    thread = threading.Thread(target=stop.wait)
    thread.start()
    try:
        wcs = [v.WC(), MyWC(), v.WC()]
        assert cq.poll_into(wcs) == 2
    finally:
        stop.set()
        thread.join()
    assert [(type(wc), wc.wr_id) for wc in wcs] == [(v.WC, 1), (MyWC, 2), (v.WC, 0)]
