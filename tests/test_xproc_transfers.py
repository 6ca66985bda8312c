"""Large transfers between processes: an RDMA read's data travels in pieces
ahead of its completion, each piece checked against the keys again and put
in place where it lands among the reader's entries, and memory that goes
away in the middle ends the read with the error a device gives.
"""

from __future__ import annotations

import os
import signal

import pytest
from peer_procs import introduce, wait_until

from conftest import SIM_AVAILABLE
from vantor.enums import WCStatus

pytestmark = pytest.mark.skipif(not SIM_AVAILABLE, reason="simulator not built")

PIECE = 256 << 10  # the largest piece of a read's data


@pytest.mark.parametrize(
    "first, second",
    [
        (PIECE, 0),  # one frame, no pieces
        (PIECE + 1, 0),  # two pieces, the second of one byte
        (PIECE - 1, 2),  # a piece ends one byte into the second entry
        (PIECE + 1, PIECE - 1),  # the second entry starts inside a piece
        ((1 << 20) + 3, (2 << 20) + 5),  # many pieces over both entries
        ((9 << 20) + 7, 1),  # more than the ring holds
    ],
)
@pytest.mark.parametrize("target", ["idle", "polling"])
def test_a_large_read_lands_across_its_entries(spawn, first, second, target):
    total = first + second
    gap = 4096 + 3  # the two entries are apart in the reader's buffer
    a, b = spawn(2, size=2 * total + 2 * gap)
    introduce([a, b])
    b("fill", offset=gap, length=total, seed=f"source{total}")
    a("fill", offset=0, length=2 * total + gap, seed="stale")
    if target == "idle":
        b.post("idle", seconds=1)
    sges = [[first, 0]] + ([[second, first + gap]] if second else [])
    a("send", peer=1, wr_id=7, opcode="read", sges=sges, remote_offset=gap)
    if target == "polling":
        b.post("poll", cq="recv", count=1, timeout=1)
    (wc,) = a("poll", cq="send", count=1, timeout=30)
    assert (wc["wr_id"], wc["status"]) == (7, WCStatus.SUCCESS)
    b.reply()
    assert a("digest", offset=0, length=first) == b("digest", offset=gap, length=first)
    if second:
        assert a("digest", offset=first + gap, length=second) == b(
            "digest", offset=gap + first, length=second
        )
    # Nothing landed in the gap between the entries.
    stale = a("digest", offset=first, length=gap)
    a("fill", offset=0, length=2 * total + gap, seed="stale")
    assert a("digest", offset=first, length=gap) == stale


def stopped(pid: int) -> bool:
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0] == "T"


@pytest.mark.parametrize(
    "whose, status",
    [("target", WCStatus.REM_ACCESS_ERR), ("reader", WCStatus.LOC_PROT_ERR)],
)
def test_memory_deregistered_during_a_large_read_ends_it_with_an_error(spawn, whose, status):
    size = 32 << 20  # the ring holds an eighth of it
    a, b = spawn(2, size=size)
    introduce([a, b])
    b("fill", offset=0, length=size, seed="source")
    if whose == "target":
        # The reader stops as soon as the read is posted: the target sends
        # what the ring holds and waits for room, and meanwhile its memory
        # goes away.
        a.post("send", peer=1, wr_id=1, opcode="read", length=size, then="stop")
        wait_until(lambda: stopped(a.p.pid))
        b("dereg")
        os.kill(a.p.pid, signal.SIGCONT)
        assert a.reply() is None
    else:
        a("send", peer=1, wr_id=1, opcode="read", length=size, then="dereg")
    (wc,) = a("poll", cq="send", count=1, timeout=30)
    assert (wc["wr_id"], wc["status"]) == (1, status)
    # Both processes carry on: a fresh registration reads again.
    assert a("state") == b("state")
