"""The fast paths of polling and posting: batches on both sides of the sizes
that are built without allocation, WC objects recycled between polls, and
lists that the collector must not see half filled."""

from __future__ import annotations

import ctypes
import gc
from pathlib import Path

import pytest
from completion_helpers import Link

import vantor._vantor as v
from conftest import run_python

KINDS = ["cq", "cq_ex"]
TESTS_DIR = str(Path(__file__).resolve().parent)


def big_queue(ctx, kind, count):
    """A receive CQ holding `count` SEND completions, wr_ids 0..count-1."""
    cq = ctx.create_cq(256) if kind == "cq" else ctx.create_cq_ex(256)
    link = Link(ctx, ctx.create_cq(256), cq)
    link.send_many(range(count))
    return cq, link


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    ("queued", "num_entries"),
    [(3, 1000), (64, 64), (64, 65), (65, 64), (70, 100), (120, 500), (100, 100_000)],
)
def test_batches_around_the_local_size(ctx, kind, queued, num_entries):
    cq, link = big_queue(ctx, kind, queued)
    first = cq.poll(num_entries)
    expected = list(range(min(queued, num_entries)))
    assert [wc.wr_id for wc in first] == expected
    assert all(type(wc) is v.WC and wc.is_success for wc in first)
    # Polled records hold nothing but None or bytes: no cycle can go through
    # them, so the collector is spared them.
    assert not any(gc.is_tracked(wc) for wc in first)
    # An ordinary list: tracked, growable, comparable.
    assert type(first) is list and gc.is_tracked(first)
    first.append(None)
    assert len(first) == len(expected) + 1 and first[-1] is None
    rest = cq.poll(500)
    assert [wc.wr_id for wc in rest] == list(range(len(expected), queued))
    assert cq.poll(500) == []


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("held", [False, True], ids=["borrowed", "held"])
@pytest.mark.parametrize(("queued", "size"), [(64, 64), (65, 64), (70, 100), (120, 200)])
def test_poll_into_around_the_local_size(ctx, kind, held, queued, size):
    """poll_into past the sizes kept on the stack, with its WCs borrowed
    from the list or held by the call (here: held because an sgid must be
    released after the fills)."""
    cq, link = big_queue(ctx, kind, queued)
    wcs = [v.WC() for _ in range(size)]
    if held:
        wcs[-1] = v._unpickle_WC(v.WC, 0x4180B13, (0, 0, 0, 0, [], 0, 0, 0, 0, 0, 0))
    taken = cq.poll_into(wcs)
    assert taken == min(queued, size)
    assert [wc.wr_id for wc in wcs[:taken]] == list(range(taken))
    assert all(wc.is_success for wc in wcs[:taken])
    rest = cq.poll_into(wcs)
    assert rest == queued - taken
    assert [wc.wr_id for wc in wcs[:rest]] == list(range(taken, queued))


def post_recv_log(sim, qp, wrs):
    with sim.recording() as log:
        qp.post_recv(wrs)
    (call,) = log.calls("post_recv")
    return call["wrs"]


@pytest.mark.parametrize(
    "counts",
    [
        [2, 0, 3],  # small: built on the stack
        [1] * 70,  # more requests than the local array
        [2, 0, 3] * 15,  # 45 requests, 75 entries: more entries than the local array
        [3] * 21 + [1] * 2,  # exactly 65 entries
        [1] * 64,  # exactly the local sizes
    ],
)
def test_receive_chains_of_every_size(sim, ctx, counts):
    pd = ctx.alloc_pd()
    cq = ctx.create_cq(256)
    qp = pd.create_qp(v.QPInitAttr(cq, cq, max_recv_wr=128, max_recv_sge=3)).prepare(0x11)
    buf = ctypes.create_string_buffer(8192)
    mr = pd.reg_mr(ctypes.addressof(buf), len(buf), 1)
    wrs, k = [], 0
    for i, count in enumerate(counts):
        sges = [v.SGE(mr, 8 + j, offset=16 * (k + j)) for j in range(count)]
        k += count
        wrs.append(v.RecvWR(1000 + i, sges))
    logged = post_recv_log(sim, qp, wrs)
    assert [w["wr_id"] for w in logged] == [w.wr_id for w in wrs]
    assert [w["num_sge"] for w in logged] == counts
    for wr, entry in zip(wrs, logged):
        assert [
            (int(s["addr"], 16), s["length"], int(s["lkey"], 16)) for s in entry["sg_list"]
        ] == [(s.addr, s.length, s.lkey) for s in wr.sg_list]
    for obj in (qp, mr, cq, pd):
        obj.close()


def test_extended_poll_of_any_size_allocates_by_what_arrives(ctx):
    cq, link = big_queue(ctx, "cq_ex", 100)
    assert [wc.wr_id for wc in cq.poll(2**31 - 1)] == list(range(100))


def test_recycled_completions_start_clean(sim, ctx):
    # Completions that carry a sender GID, dropped...
    cqx = ctx.create_cq_ex(64, sgid=True)
    link = Link(ctx, ctx.create_cq(64), cqx)
    link.send_many(range(8))
    got = cqx.poll(8)
    assert all(isinstance(wc.sgid, bytes) for wc in got)
    del got

    # ...and instances of a subclass, dropped too...
    class Mine(v.WC):
        pass

    mine = [Mine() for _ in range(8)]
    del mine
    gc.collect()
    # ...leave nothing behind in the next ones.
    cq, link2 = big_queue(ctx, "cq", 8)
    for wc in cq.poll(8):
        assert type(wc) is v.WC
        assert wc.sgid is None and wc.unsolicited is False
        assert (wc.status, wc.opcode, wc.byte_len) == (0, 128, 8)
    assert v.WC().sgid is None and v.WC().wr_id == 0


@pytest.mark.parametrize("kind", KINDS)
def test_collector_never_sees_a_half_filled_result(kind):
    # A collection at every allocation, and a finalizer that runs in each one
    # and walks every young list: a result list with empty slots must not be
    # among them while poll fills it.
    result = run_python(
        f"""
        import gc, sys
        sys.path.insert(0, {TESTS_DIR!r})
        import vantor.sim as s
        s.activate()
        from completion_helpers import Link, open_context

        walked = [0]

        class Walker:
            def __init__(self):
                self.cycle = self

            def __del__(self):
                for obj in gc.get_objects():
                    if type(obj) is list:
                        for item in obj:
                            walked[0] += 1
                Walker()

        ctx = open_context()
        cq = ctx.create_cq(256) if {kind!r} == "cq" else ctx.create_cq_ex(256)
        link = Link(ctx, ctx.create_cq(256), cq)
        Walker()
        kept = []  # no WC is freed, so each new one comes from the allocator
        for round in range(3):
            link.send_many(range(10 * round, 10 * round + 10))
            gc.set_threshold(1)
            got = cq.poll(64)
            gc.set_threshold(700)
            assert [wc.wr_id for wc in got] == list(range(10 * round, 10 * round + 10))
            kept.append(got)
        print("ok", walked[0] > 0)
        """
    )
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.split() == ["ok", "True"]
