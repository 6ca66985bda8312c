"""Queue pairs of different processes on one host talk through the software
EFA device exactly as within one process: every opcode both ways, the same
checks and error completions, completion channels, one-sided operations
served without the target's help, and a peer that is killed. Which
processes reach each other, and what a run leaves behind, is in
test_multiprocess_hosts.

Each process is a peer_procs.Proc; every test gets a host name of its own
(the `host` fixture), so nothing else on the machine can interfere.
"""

from __future__ import annotations

import os

import pytest
from peer_procs import (
    HOST_ENV,
    LOC_LEN_ERR,
    QPS_ERR,
    REM_ACCESS_ERR,
    REM_INV_RD_REQ_ERR,
    REM_INV_REQ_ERR,
    RESP_TIMEOUT_ERR,
    RNR_RETRY_EXC_ERR,
    SUCCESS,
    WC_RDMA_WRITE,
    WC_RECV,
    WC_RECV_RDMA_WITH_IMM,
    WC_SEND,
    WC_WITH_IMM,
    WR_FLUSH_ERR,
    introduce,
    payload,
    wait_until,
)

from conftest import ROOT, SIM_AVAILABLE, python_env, run_command

pytestmark = pytest.mark.skipif(not SIM_AVAILABLE, reason="simulator not built")


# Each pair moves data with every SRD opcode, both ways.
BLOCK = 96


@pytest.mark.parametrize("nprocs", [2, 4])
def test_every_opcode_both_ways(spawn, nprocs):
    procs = spawn(nprocs)
    introduce(procs)
    n = nprocs
    for i, p in enumerate(procs):
        # Outgoing data for peer j at j*BLOCK (write/send) and 16*BLOCK+j*BLOCK (send_imm);
        # what peers may read from this one at 32*BLOCK + j*BLOCK.
        for j in range(n):
            p("write", offset=j * BLOCK, hex=payload(f"w{i}>{j}.", BLOCK).hex())
            p("write", offset=(16 + j) * BLOCK, hex=payload(f"s{i}>{j}.", BLOCK).hex())
            p("write", offset=(32 + j) * BLOCK, hex=payload(f"r{i}<{j}.", BLOCK).hex())
        # Two receives per peer: SEND and SEND_WITH_IMM; write-with-imm takes a third.
        for k in range(3 * (n - 1)):
            p("recv", wr_id=1000 + k, offset=(64 + k) * BLOCK, length=BLOCK)
    for i, p in enumerate(procs):
        for j in range(n):
            if j == i:
                continue
            wr = 10 * j
            p("send", peer=j, wr_id=wr + 1, opcode="send", offset=j * BLOCK, length=BLOCK)
            p("send", peer=j, wr_id=wr + 2, opcode="send_imm", offset=(16 + j) * BLOCK,
              length=BLOCK // 2, imm=0xA0000000 + i)  # fmt: skip
            p("send", peer=j, wr_id=wr + 3, opcode="write", offset=j * BLOCK, length=BLOCK,
              remote_offset=(48 + i) * BLOCK)  # fmt: skip
            p("send", peer=j, wr_id=wr + 4, opcode="write_imm", offset=j * BLOCK, length=8,
              remote_offset=(56 + i) * BLOCK, imm=0xB0000000 + i)  # fmt: skip
            p("send", peer=j, wr_id=wr + 5, opcode="read", offset=(96 + j) * BLOCK,
              length=BLOCK, remote_offset=(32 + i) * BLOCK)  # fmt: skip
    for i, p in enumerate(procs):
        sent = p("poll", cq="send", count=5 * (n - 1))
        assert all(wc["status"] == SUCCESS and wc["qp_num"] == p.addr["qpn"] for wc in sent), sent
        opcodes = {wc["wr_id"]: wc["opcode"] for wc in sent}
        expected = {}
        for j in range(n):
            if j != i:
                w = 10 * j
                expected.update({w + 1: WC_SEND, w + 2: WC_SEND, w + 3: WC_RDMA_WRITE,
                                 w + 4: WC_RDMA_WRITE, w + 5: WC_SEND})  # fmt: skip
        assert opcodes == expected  # RDMA read completes as a SEND, like real EFA

        got = p("poll", cq="recv", count=3 * (n - 1), drain=0.05)
        assert len(got) == 3 * (n - 1) and all(wc["status"] == SUCCESS for wc in got), got
        by_src = {}
        for wc in got:
            src = next(k for k, q in enumerate(procs) if q.addr["qpn"] == wc["src_qp"])
            assert wc["qp_num"] == p.addr["qpn"]
            by_src.setdefault(src, []).append(wc)
            data = bytes.fromhex(p("read", offset=(64 + wc["wr_id"] - 1000) * BLOCK,
                                   length=BLOCK))  # fmt: skip
            if wc["opcode"] == WC_RECV and not wc["wc_flags"] & WC_WITH_IMM:
                assert wc["byte_len"] == BLOCK and data == payload(f"w{src}>{i}.", BLOCK)
            elif wc["opcode"] == WC_RECV:
                assert (wc["byte_len"], wc["imm_data"]) == (BLOCK // 2, 0xA0000000 + src)
                assert data[: BLOCK // 2] == payload(f"s{src}>{i}.", BLOCK)[: BLOCK // 2]
            else:
                assert wc["opcode"] == WC_RECV_RDMA_WITH_IMM and wc["wc_flags"] & WC_WITH_IMM
                assert (wc["byte_len"], wc["imm_data"]) == (8, 0xB0000000 + src)
        assert sorted(by_src) == [j for j in range(n) if j != i]
        assert all(len(v) == 3 for v in by_src.values())
        for j in range(n):
            if j == i:
                continue
            written = bytes.fromhex(p("read", offset=(48 + j) * BLOCK, length=BLOCK))
            assert written == payload(f"w{j}>{i}.", BLOCK)
            assert bytes.fromhex(p("read", offset=(56 + j) * BLOCK, length=8)) == payload(
                f"w{j}>{i}.", 8
            )
            read = bytes.fromhex(p("read", offset=(96 + j) * BLOCK, length=BLOCK))
            assert read == payload(f"r{j}<{i}.", BLOCK)


def test_datagrams_and_inline_data(spawn):
    a, b = spawn(2)
    introduce([a, b])
    b("recv", qp="ud", wr_id=5, offset=0, length=64)
    a("write", offset=100, hex=b"datagram".hex())
    a("send", qp="ud", peer=1, wr_id=1, offset=100, length=8)
    a("send", peer=1, wr_id=2, offset=100, length=8, inline=True, opcode="write",
      remote_offset=200)  # fmt: skip
    assert [(wc["wr_id"], wc["status"]) for wc in a("poll", cq="send", count=2)] == [
        (1, SUCCESS), (2, SUCCESS)
    ]  # fmt: skip
    (wc,) = b("poll", cq="recv", count=1)
    # A UD receive buffer starts with the device's 40-byte prefix.
    assert (wc["wr_id"], wc["byte_len"], wc["src_qp"]) == (5, 40 + 8, a.addr["ud_qpn"])
    assert b("read", offset=40, length=8) == b"datagram".hex()
    assert b("read", offset=200, length=8) == b"datagram".hex()


@pytest.mark.parametrize(
    "case, send, sender, receiver",
    [
        ("bad rkey", {"opcode": "write", "rkey": 0xDEAD00}, (REM_ACCESS_ERR, 7), None),
        ("past the region", {"opcode": "read", "remote_offset": 65536 - 4}, (REM_ACCESS_ERR, 7),
         None),
        ("wrong qkey", {"qkey": 0x77}, (REM_INV_RD_REQ_ERR, 9), None),
        ("no such QP there", {"remote_qpn": "peer+100"}, (REM_INV_RD_REQ_ERR, 9), None),
        ("receive too small", {"length": 200}, (REM_INV_REQ_ERR, 11), (LOC_LEN_ERR, 6)),
    ],
)  # fmt: skip
def test_error_completions(spawn, case, send, sender, receiver):
    a, b = spawn(2)
    introduce([a, b])
    b("recv", wr_id=9, offset=0, length=100)
    cmd = {"peer": 1, "wr_id": 3, "length": 16, **send}
    if cmd.get("remote_qpn") == "peer+100":
        cmd["remote_qpn"] = b.addr["qpn"] + 100
    a("send", **cmd)
    (wc,) = a("poll", cq="send", count=1)
    assert (wc["wr_id"], wc["status"], wc["vendor_err"]) == (3, *sender), case
    got = b("poll", cq="recv", count=1 if receiver else 0, drain=0.05)
    if receiver:
        assert [(w["wr_id"], w["status"], w["vendor_err"]) for w in got] == [(9, *receiver)]
    else:
        assert got == []


def test_receiver_not_ready(spawn, host):
    (a,) = spawn(1, rnr_retry=0)
    (b,) = spawn(1)
    introduce([a, b])
    a("send", peer=1, wr_id=1, length=8)
    (wc,) = a("poll", cq="send", count=1)
    assert (wc["status"], wc["vendor_err"]) == (RNR_RETRY_EXC_ERR, 10)
    b("modify", state=QPS_ERR)
    a("send", peer=1, wr_id=2, length=8)
    (wc,) = a("poll", cq="send", count=1)
    assert (wc["wr_id"], wc["status"]) == (2, REM_INV_RD_REQ_ERR)


def test_send_waits_for_a_receive_with_unlimited_rnr_retry(spawn):
    a, b = spawn(2)
    introduce([a, b])
    a("write", offset=0, hex=b"patience".hex())
    a("send", peer=1, wr_id=1, length=8)
    assert a("poll", cq="send", count=1, timeout=0.2) == []
    b("recv", wr_id=4, offset=64, length=32)
    (wc,) = a("poll", cq="send", count=1)
    assert (wc["wr_id"], wc["status"]) == (1, SUCCESS)
    (wc,) = b("poll", cq="recv", count=1)
    assert (wc["wr_id"], wc["byte_len"]) == (4, 8)
    assert b("read", offset=64, length=8) == b"patience".hex()


def test_flushing_the_sender_cancels_a_waiting_send(spawn):
    a, b = spawn(2)
    introduce([a, b])
    a("send", peer=1, wr_id=1, length=8)
    a("modify", state=QPS_ERR)
    (wc,) = a("poll", cq="send", count=1)
    assert (wc["wr_id"], wc["status"]) == (1, WR_FLUSH_ERR)
    # A datagram travels behind the cancellation: once it is in, b has
    # forgotten the waiting send, and a receive posted now stays unused.
    b("recv", qp="ud", wr_id=2, offset=0, length=32)
    a("send", qp="ud", peer=1, wr_id=3, length=8)
    assert b("poll", cq="recv", count=1)[0]["wr_id"] == 2
    b("recv", wr_id=4, offset=0, length=32)
    assert b("poll", cq="recv", count=1, timeout=0.2) == []


def test_one_sided_operations_need_nothing_from_the_target(spawn):
    a, b = spawn(2)
    introduce([a, b])
    b("write", offset=4096, hex=b"read me".hex())
    b.post("idle", seconds=3)  # the target sleeps, away from the device
    a("write", offset=0, hex=b"written while you slept".hex())
    a("send", peer=1, wr_id=1, opcode="write", length=23, remote_offset=8192)
    a("send", peer=1, wr_id=2, opcode="read", offset=512, length=7, remote_offset=4096)
    sent = a("poll", cq="send", count=2)
    assert [(wc["wr_id"], wc["status"]) for wc in sent] == [(1, SUCCESS), (2, SUCCESS)]
    assert a("read", offset=512, length=7) == b"read me".hex()
    assert b.reply() is None  # the idle command was still running
    assert b("read", offset=8192, length=23) == b"written while you slept".hex()


def test_many_large_reads_in_flight_complete(spawn):
    # Reads of 64 KiB kept 64 deep in flight: the target's answers fill its
    # socket while more requests keep coming, and everything must still
    # complete while the target application stays away from the device.
    depth, size, total = 64, 64 * 1024, 2000
    a, b = spawn(2, size=depth * size)
    introduce([a, b])
    for k in (0, depth - 1):
        b("write", offset=k * size, hex=payload(f"big{k}.", size).hex())
    b.post("idle", seconds=1)
    got = a("stream", peer=1, opcode="read", length=size, depth=depth, total=total, timeout=10)
    assert got == {str(SUCCESS): total}
    for k in (0, depth - 1):
        assert a("read", offset=k * size, length=size) == payload(f"big{k}.", size).hex()
    assert b.reply() is None


def test_transfers_larger_than_the_shared_ring(spawn):
    # The rings between two processes hold 4 MiB each way: larger requests
    # and read answers travel in pieces.
    big = 6 << 20
    a, b = spawn(2, size=4 * big)
    introduce([a, b])
    a("fill", offset=0, length=big, seed="written")
    b("fill", offset=2 * big, length=big, seed="read")
    a("send", peer=1, wr_id=1, opcode="write", offset=0, length=big, remote_offset=big)
    a("send", peer=1, wr_id=2, opcode="read", offset=big, length=big, remote_offset=2 * big)
    sent = a("poll", cq="send", count=2, timeout=60)
    assert [(wc["wr_id"], wc["status"]) for wc in sent] == [(1, SUCCESS), (2, SUCCESS)]
    assert b("digest", offset=big, length=big) == a("digest", offset=0, length=big)
    assert a("digest", offset=big, length=big) == b("digest", offset=2 * big, length=big)


@pytest.mark.parametrize("size", [4 << 20, 8 << 20, (12 << 20) + 4097])
def test_reads_larger_than_the_ring_from_an_idle_target_all_complete(spawn, size):
    # The answer to each read fills the target's ring several times over;
    # the rest waits in the target, which makes no calls, until the reader
    # frees room. Every such wait must end, read after read. Both processes
    # share one CPU, so that the reader runs (and frees room) at every point
    # of the target's progress, not just where it happens to on idle cores.
    depth, total = 2, 128
    cpu = min(os.sched_getaffinity(0))
    a, b = spawn(2, size=depth * size, cpu=cpu)
    introduce([a, b])
    for k in range(depth):
        b("fill", offset=k * size, length=size, seed=f"answer{k}")
    b.post("idle", seconds=1)
    got = a("stream", peer=1, opcode="read", length=size, depth=depth, total=total, timeout=10)
    assert got == {str(SUCCESS): total}
    assert b.reply() is None  # the target stayed away throughout
    for k in range(depth):
        assert a("digest", offset=k * size, length=size) == b(
            "digest", offset=k * size, length=size
        )


def test_completion_channel_wakes_select(spawn, host):
    (a,) = spawn(1)
    (b,) = spawn(1, channel=True)
    introduce([a, b])
    b("recv", wr_id=1, offset=0, length=16)
    b("arm")
    b.post("wait", timeout=20)
    a("send", peer=1, wr_id=1, length=16)
    assert b.reply() == {"woke": True, "same_cq": True}
    (wc,) = b("poll", cq="recv", count=1)
    assert (wc["wr_id"], wc["status"], wc["src_qp"]) == (1, SUCCESS, a.addr["qpn"])


def test_killed_peer(spawn):
    a, b, c = spawn(3)
    introduce([a, b, c])
    # Both ways first: b -> a arrives and stays.
    a("recv", wr_id=1, offset=0, length=64)
    b("write", offset=0, hex=b"before the end".hex())
    b("send", peer=0, wr_id=1, length=14)
    assert a("poll", cq="recv", count=1)[0]["status"] == SUCCESS
    b("recv", wr_id=2, offset=0, length=64)
    a("send", peer=1, wr_id=2, length=8)
    assert a("poll", cq="send", count=1)[0]["status"] == SUCCESS
    # a's next send waits at b for a receive; b also has one waiting at a.
    a("send", peer=1, wr_id=3, length=8)
    b("send", peer=0, wr_id=4, length=14)
    b.kill()
    (wc,) = a("poll", cq="send", count=1)
    assert (wc["wr_id"], wc["status"], wc["vendor_err"]) == (3, RESP_TIMEOUT_ERR, 13)
    for opcode in ("send", "write", "read"):
        a("send", peer=1, wr_id=5, length=8, opcode=opcode)
        (wc,) = a("poll", cq="send", count=1)
        assert (wc["status"], wc["vendor_err"]) == (RESP_TIMEOUT_ERR, 13), opcode
    a("send", qp="ud", peer=1, wr_id=6, length=8)  # a datagram is simply lost
    assert a("poll", cq="send", count=1)[0]["status"] == SUCCESS
    # What b delivered stays; what it left waiting is gone with it.
    assert a("read", offset=0, length=14) == b"before the end".hex()
    wait_until(lambda: a("connections") == 0)
    a("recv", wr_id=7, offset=64, length=64)
    assert a("poll", cq="recv", count=1, timeout=0.2) == []
    # The survivor goes on with the others.
    c("recv", wr_id=8, offset=0, length=64)
    a("send", peer=2, wr_id=9, length=8)
    assert a("poll", cq="send", count=1)[0]["status"] == SUCCESS
    assert c("poll", cq="recv", count=1)[0]["src_qp"] == a.addr["qpn"]


def test_the_example_all_to_all(host):
    result = run_command(
        [str(ROOT / "examples" / "all_to_all.py"), "--sim", "--ranks", "4"],
        env=python_env({HOST_ENV: host}),
        timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "all-to-all over SRD: 4 ranks" in result.stdout
    assert "12 blocks verified" in result.stdout
