"""Large one-sided transfers between processes: the data of an RDMA read or
write travels in pieces around its request, each piece checked against the
keys again and put in place where it lands among the entries, and memory
that goes away in the middle ends the transfer with the error a device
gives.
"""

from __future__ import annotations

import os
import signal

import pytest
from peer_procs import introduce, wait_until

from conftest import SIM_AVAILABLE
from vantor.enums import QPState, WCOpcode, WCStatus

pytestmark = pytest.mark.skipif(not SIM_AVAILABLE, reason="simulator not built")

PIECE = 1 << 20  # the largest piece of a transfer's data
IMM = 0x5EED

#: The two local entries' sizes, by the piece size p.
SHAPES = {
    "one frame, no pieces": lambda p: (p, 0),
    "a last piece of one byte": lambda p: (p + 1, 0),
    "a piece ends one byte into the second entry": lambda p: (p - 1, 2),
    "the second entry starts inside a piece": lambda p: (p + 1, p - 1),
    "many pieces over both entries": lambda p: (3 * p + 3, 5 * p + 5),
    "more than the ring holds": lambda p: ((9 << 20) + 7, 1),
}


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("target", ["idle", "polling"])
@pytest.mark.parametrize("opcode", ["read", "write", "write_imm"])
def test_a_large_transfer_crosses_its_entries(spawn, shape, target, opcode):
    first, second = SHAPES[shape](PIECE)
    total = first + second
    gap = 4096 + 3  # the two local entries are apart in the initiator's buffer
    a, b = spawn(2, size=2 * total + 2 * gap)
    introduce([a, b])
    sink = a if opcode == "read" else b
    a("fill", offset=0, length=2 * total + gap, seed="initiator")
    b("fill", offset=0, length=2 * total + gap, seed="target")
    if opcode == "write_imm":
        b("recv", wr_id=3, length=0)
    if target == "idle":
        b.post("idle", seconds=1)
    sges = [[first, 0]] + ([[second, first + gap]] if second else [])
    a("send", peer=1, wr_id=7, opcode=opcode, sges=sges, remote_offset=gap, imm=IMM)
    if target == "polling":
        b.post("poll", cq="recv", count=1, timeout=2)
    (wc,) = a("poll", cq="send", count=1, timeout=30)
    assert (wc["wr_id"], wc["status"]) == (7, WCStatus.SUCCESS)
    received = b.reply()
    if opcode == "write_imm":
        received = received or b("poll", cq="recv", count=1)
        assert [(w["wr_id"], w["opcode"], w["byte_len"], w["imm_data"]) for w in received] == [
            (3, WCOpcode.RECV_RDMA_WITH_IMM, total, IMM)
        ]
    # The remote region [gap, gap + total) holds the local entries' bytes.
    local = [(0, 0, first)] + ([(first + gap, first, second)] if second else [])
    for at, into, n in local:
        assert a("digest", offset=at, length=n) == b("digest", offset=gap + into, length=n)
    # Nothing else of the sink changed: the gap between the local entries,
    # or the remote bytes around the region.
    untouched = [(first, gap)] if sink is a else [(0, gap), (gap + total, gap)]
    before = [sink("digest", offset=at, length=n) for at, n in untouched]
    sink("fill", offset=0, length=2 * total + gap, seed="initiator" if sink is a else "target")
    assert [sink("digest", offset=at, length=n) for at, n in untouched] == before


def stopped(pid: int) -> bool:
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0] == "T"


@pytest.mark.parametrize("opcode", ["read", "write"])
@pytest.mark.parametrize(
    "whose, status",
    [("target", WCStatus.REM_ACCESS_ERR), ("initiator", WCStatus.LOC_PROT_ERR)],
)
def test_memory_deregistered_during_a_large_transfer_ends_it_with_an_error(
    spawn, opcode, whose, status
):
    size = 32 << 20  # the ring holds an eighth of it
    a, b = spawn(2, size=size)
    introduce([a, b])
    if whose == "target":
        # The initiator stops as soon as the request is posted: the
        # transfer waits for it with the ring full, and meanwhile the
        # target's memory goes away.
        a.post("send", peer=1, wr_id=1, opcode=opcode, length=size, then="stop")
        wait_until(lambda: stopped(a.p.pid))
        b("dereg")
        os.kill(a.p.pid, signal.SIGCONT)
        assert a.reply() is None
    else:
        a("send", peer=1, wr_id=1, opcode=opcode, length=size, then="dereg")
    (wc,) = a("poll", cq="send", count=1, timeout=30)
    assert (wc["wr_id"], wc["status"]) == (1, status)


def test_flushing_the_initiator_takes_back_a_large_write_on_its_way(spawn):
    size = 32 << 20
    a, b = spawn(2, size=size)
    introduce([a, b])
    b("fill", offset=0, length=size, seed="target")
    tail = b("digest", offset=size // 2, length=size // 2)
    # The target stops reading: the write fills the ring and waits.
    os.kill(b.p.pid, signal.SIGSTOP)
    wait_until(lambda: stopped(b.p.pid))
    a("send", peer=1, wr_id=1, opcode="write", length=size)
    a("modify", state=QPState.ERR)
    (wc,) = a("poll", cq="send", count=1)
    assert (wc["wr_id"], wc["status"]) == (1, WCStatus.WR_FLUSH_ERR)
    os.kill(b.p.pid, signal.SIGCONT)
    # The target takes what had been sent (the ring's worth) and carries
    # on; nothing more of the flushed write reaches it.
    assert a("poll", cq="send", count=1, timeout=0.5) == []
    assert b("state") == QPState.RTS
    assert b("digest", offset=size // 2, length=size // 2) == tail
