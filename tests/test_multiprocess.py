"""Queue pairs of different processes on one host talk through the software
EFA device exactly as within one process: every opcode both ways, the same
checks and error completions, completion channels, one-sided operations
served without the target's help, a peer that is killed, and what a killed
run leaves behind.

Each process is tests/sim/xproc_peer.py, driven over its stdin/stdout; the
test is the out-of-band channel that carries the addresses. Every test gets
a host name of its own, so nothing else on the machine can interfere.
"""

from __future__ import annotations

import json
import os
import select
import signal
import socket
import subprocess
import sys
import time
import uuid
from pathlib import Path

import pytest

from conftest import ROOT, SIM_AVAILABLE

pytestmark = pytest.mark.skipif(not SIM_AVAILABLE, reason="simulator not built")

PEER = ROOT / "tests" / "sim" / "xproc_peer.py"


def _package_parent() -> str:
    """Where the vantor under test lives (the source tree or site-packages)."""
    import vantor

    return str(Path(vantor.__file__).resolve().parent.parent)


REPLY_TIMEOUT = 30.0

# ibv_wc_status
SUCCESS, LOC_LEN_ERR, REM_INV_REQ_ERR, REM_ACCESS_ERR = 0, 1, 9, 10
RNR_RETRY_EXC_ERR, REM_INV_RD_REQ_ERR, RESP_TIMEOUT_ERR, WR_FLUSH_ERR = 13, 15, 20, 5
REM_OP_ERR = 11
# ibv_wc_opcode
WC_SEND, WC_RDMA_WRITE, WC_RECV, WC_RECV_RDMA_WITH_IMM = 0, 1, 128, 129
WC_WITH_IMM = 2
QPS_ERR = 6


class Proc:
    """One peer process and its command channel."""

    def __init__(self, host: str | None, **opts):
        env = dict(os.environ, PYTHONPATH=_package_parent())
        env.pop("VANTOR_SIM_HOST", None)
        if host is not None:
            env["VANTOR_SIM_HOST"] = host
        self.p = subprocess.Popen(
            [sys.executable, str(PEER), json.dumps(opts)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env,
        )  # fmt: skip
        self.buf = b""
        self.addr = self._line()["ready"]

    def _line(self) -> dict:
        fd = self.p.stdout.fileno()
        while b"\n" not in self.buf:
            ready, _, _ = select.select([fd], [], [], REPLY_TIMEOUT)
            if not ready:
                pytest.fail(f"peer {self.p.pid} gave no answer in {REPLY_TIMEOUT} s")
            chunk = os.read(fd, 65536)
            if not chunk:
                pytest.fail(f"peer {self.p.pid} exited (status {self.p.wait()})")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        return json.loads(line)

    def post(self, op: str, **kw) -> None:
        """Sends a command without waiting for its answer (see reply())."""
        self.p.stdin.write((json.dumps({"op": op, **kw}) + "\n").encode())
        self.p.stdin.flush()

    def reply(self):
        answer = self._line()
        if "error" in answer:
            raise AssertionError(f"peer {self.p.pid}: {answer['error']}")
        return answer["ok"]

    def __call__(self, op: str, **kw):
        self.post(op, **kw)
        return self.reply()

    def kill(self) -> None:
        self.p.send_signal(signal.SIGKILL)
        self.p.wait()

    def close(self) -> None:
        if self.p.poll() is None:
            try:
                self.post("exit")
                self.p.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                self.kill()
        self.p.stdin.close()
        self.p.stdout.close()


@pytest.fixture
def host() -> str:
    return f"mp-{os.getpid()}-{uuid.uuid4().hex[:10]}"


@pytest.fixture
def spawn(host):
    procs: list[Proc] = []

    def start(n: int = 1, **opts) -> list[Proc]:
        new = [Proc(host, **opts) for _ in range(n)]
        procs.extend(new)
        return new

    yield start
    for p in procs:
        p.close()


def introduce(procs: list[Proc]) -> None:
    """Every process learns every address (its own included, by index)."""
    addrs = [p.addr for p in procs]
    for p in procs:
        p("peers", peers=addrs)


def payload(tag: str, n: int) -> bytes:
    return (tag.encode() * (n // len(tag) + 1))[:n]


def wait_until(condition, limit: float = REPLY_TIMEOUT) -> None:
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail("condition never came true")
        time.sleep(0.01)


def sockets_of(host: str) -> list[str]:
    with open("/proc/net/unix") as f:
        return [line for line in f if f"/{host}/" in line]


def test_one_device_and_unique_numbers_across_processes(spawn):
    procs = spawn(3)
    introduce(procs)
    addrs = [p.addr for p in procs]
    assert len({(a["device"], a["gid"], a["guid"]) for a in addrs}) == 1
    assert sorted(a["slot"] for a in addrs) == [0, 1, 2]
    qpns = [n for a in addrs for n in (a["qpn"], a["ud_qpn"])]
    assert len(set(qpns)) == len(qpns)
    assert all(a["qpn"] >> 18 == a["slot"] for a in addrs)
    ahns = [n for p in procs for n in p("peers", peers=addrs)]
    assert len(set(ahns)) == len(ahns)


def test_processes_that_name_no_host_reach_each_other():
    # Both have receives posted on their own QP: a SEND that landed in the
    # sender's own queue (as when both held the same QP number) would show.
    procs = [Proc(None), Proc(None)]
    try:
        a, b = procs
        assert a.addr["qpn"] != b.addr["qpn"] and a.addr["slot"] != b.addr["slot"]
        introduce(procs)
        for i, p in enumerate(procs):
            p("write", offset=0, hex=payload(f"from{i}.", 64).hex())
            p("recv", wr_id=500 + i, offset=1024, length=64)
        for i, p in enumerate(procs):
            p("send", peer=1 - i, wr_id=10 + i, opcode="send", offset=0, length=64)
        for i, p in enumerate(procs):
            (sent,) = p("poll", cq="send", count=1)
            assert (sent["wr_id"], sent["status"]) == (10 + i, SUCCESS)
            got = p("poll", cq="recv", count=1, drain=0.05)
            assert [(wc["wr_id"], wc["status"], wc["src_qp"]) for wc in got] == [
                (500 + i, SUCCESS, procs[1 - i].addr["qpn"])
            ]
            assert bytes.fromhex(p("read", offset=1024, length=64)) == payload(f"from{1 - i}.", 64)
    finally:
        for p in procs:
            p.close()


def test_processes_of_different_hosts_are_different_machines(host):
    a, b = procs = [Proc(host), Proc(host + "-other")]
    try:
        assert a.addr["gid"] != b.addr["gid"] and a.addr["guid"] != b.addr["guid"]
        introduce(procs)
        for p in procs:
            p("recv", wr_id=7, offset=1024, length=64)
        # Same slot, same QP number: only the GID tells them apart.
        assert a.addr["qpn"] == b.addr["qpn"]
        a("send", peer=1, wr_id=1, length=8)
        (wc,) = a("poll", cq="send", count=1)
        assert (wc["status"], wc["vendor_err"]) == (REM_OP_ERR, 14)  # unknown peer
        assert a("poll", cq="recv", count=1, timeout=0.2) == []
        assert b("poll", cq="recv", count=1, timeout=0.2) == []
    finally:
        for p in procs:
            p.close()


UNREACHABLE = """
import vantor.sim as sim
sim.activate()
import vantor._vantor as v
ctx = v.get_efa_device_list()[0].open()
pd = ctx.alloc_pd(); cq = ctx.create_cq(8)
attr = v.QPInitAttr(cq, cq)
qp = pd.create_qp(attr).prepare(0x11)
ah = pd.create_ah(bytes.fromhex("fe800000000000000000000000000099"))
for k in range(2):
    qp.post_send(v.SendWR(k, [], send_flags=2, ah=ah, remote_qpn=qp.qp_num, remote_qkey=0x11))
    (wc,) = cq.poll(1)
    print(wc.status, wc.vendor_err)
"""


ALONE_GID = """
import vantor.sim as sim
sim.activate()
import vantor._vantor as v
ctx = v.get_efa_device_list()[0].open()
pd = ctx.alloc_pd(); cq = ctx.create_cq(4)
qp = pd.create_qp(v.QPInitAttr(cq, cq))
print(sim.host(), bytes(ctx.query_gid()).hex(), qp.qp_num)
"""


def test_a_process_that_cannot_join_is_a_machine_of_its_own():
    env = dict(os.environ, VANTOR_SIM_HOST="not a host name", PYTHONPATH=_package_parent())
    runs = [
        subprocess.run([sys.executable, "-c", ALONE_GID], capture_output=True, text=True,
                       env=env, timeout=60)
        for _ in range(2)
    ]  # fmt: skip
    outs = []
    for r in runs:
        assert r.returncode == 0, r.stderr
        (line,) = r.stderr.splitlines()
        assert "not usable" in line and "reaches no other process" in line
        outs.append(r.stdout.split())
    # Both hold QP 16, but each on a device of its own.
    assert [o[0].startswith("alone-") for o in outs] == [True, True]
    assert outs[0][2] == outs[1][2] == "16" and outs[0][1] != outs[1][1]


def test_an_unreachable_gid_fails_and_says_how_processes_connect(host):
    env = dict(os.environ, VANTOR_SIM_HOST=host, PYTHONPATH=_package_parent())
    result = subprocess.run(
        [sys.executable, "-c", UNREACHABLE], capture_output=True, text=True, env=env, timeout=60
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [str(REM_OP_ERR), "14"] * 2
    (line,) = result.stderr.splitlines()
    assert "VANTOR_SIM_HOST" in line and "same host" in line


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


def test_a_killed_run_leaves_nothing_that_breaks_the_next(spawn, host):
    first = spawn(2)
    introduce(first)
    first[0]("send", peer=1, wr_id=1, length=8)  # left waiting at the other
    first[1]("write", offset=0, hex=b"x".hex())
    assert sockets_of(host)
    for p in first:
        p.kill()
    assert sockets_of(host) == []
    leftovers = [p for d in ("/dev/shm", os.environ.get("XDG_RUNTIME_DIR") or "/nonexistent")
                 if os.path.isdir(d) for p in Path(d).iterdir() if host in p.name]  # fmt: skip
    assert leftovers == []
    second = spawn(2)
    assert sorted(p.addr["slot"] for p in second) == [0, 1]
    introduce(second)
    second[1]("recv", wr_id=3, offset=0, length=64)
    second[0]("write", offset=0, hex=b"new run".hex())
    second[0]("send", peer=1, wr_id=2, length=7)
    assert second[0]("poll", cq="send", count=1)[0]["status"] == SUCCESS
    assert second[1]("read", offset=0, length=7) == b"new run".hex()


def slot_address(host: str, slot: int) -> str:
    return f"\0vantor-sim/{os.geteuid()}/{host}/{slot}"


@pytest.mark.parametrize(
    "junk",
    [
        b"\x00" * 3,
        b"garbage that is not a frame at all",
        (2**40).to_bytes(8, "little") + b"\x02" * 8,
    ],
    ids=["truncated", "no hello", "huge frame"],
)
def test_a_stranger_on_the_socket_is_dropped(spawn, host, junk):
    a, b = spawn(2)
    introduce([a, b])
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.connect(slot_address(host, b.addr["slot"]))
        s.sendall(junk)
        s.shutdown(socket.SHUT_WR)
        s.settimeout(REPLY_TIMEOUT)
        assert s.recv(64) == b""  # b hung up, and carries on
    b("recv", wr_id=1, offset=0, length=16)
    a("send", peer=1, wr_id=1, length=16)
    assert a("poll", cq="send", count=1)[0]["status"] == SUCCESS


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to act as another user")
def test_another_user_is_not_served(spawn, host):
    (a,) = spawn(1)
    pid = os.fork()
    if pid == 0:  # pragma: no cover - child
        code = 1
        try:
            os.setgid(65534)
            os.setuid(65534)
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                s.connect(f"\0vantor-sim/0/{host}/{a.addr['slot']}")
                s.settimeout(REPLY_TIMEOUT)
                code = 0 if s.recv(16) == b"" else 2
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


def test_the_example_all_to_all(host):
    env = dict(os.environ, VANTOR_SIM_HOST=host, PYTHONPATH=_package_parent())
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "all_to_all.py"), "--sim", "--ranks", "4"],
        capture_output=True, text=True, env=env, timeout=120,
    )  # fmt: skip
    assert result.returncode == 0, result.stdout + result.stderr
    assert "all-to-all over SRD: 4 ranks" in result.stdout
    assert "12 blocks verified" in result.stdout


FORKED = """
import os, sys, time
import vantor.sim as sim
sim.activate()
import vantor._vantor as v
ctx = v.get_efa_device_list()[0].open()
pd = ctx.alloc_pd(); cq = ctx.create_cq(16)
qp = pd.create_qp(v.QPInitAttr(cq, cq)).prepare(7, rnr_retry=7)
buf = bytearray(64)
import ctypes
addr = ctypes.addressof((ctypes.c_char * 64).from_buffer(buf))
mr = pd.reg_mr(addr, 64, 1)
qp.post_recv(v.RecvWR(1, [mr.sge(64)]))
parent_qpn, gid = qp.qp_num, bytes(ctx.query_gid())
pid = os.fork()
if pid == 0:
    # The child joins the host afresh and reaches its parent.
    ctx2 = v.get_efa_device_list()[0].open()
    pd2 = ctx2.alloc_pd(); cq2 = ctx2.create_cq(16)
    qp2 = pd2.create_qp(v.QPInitAttr(cq2, cq2)).prepare(7)
    out = bytearray(b"from the child")
    a2 = ctypes.addressof((ctypes.c_char * len(out)).from_buffer(out))
    mr2 = pd2.reg_mr(a2, len(out), 1)
    ah = pd2.create_ah(gid)
    qp2.post_send(v.SendWR(1, [mr2.sge(len(out))], send_flags=2, ah=ah, remote_qpn=parent_qpn,
                           remote_qkey=7))
    while not (wcs := cq2.poll(1)):
        pass
    os._exit(0 if wcs[0].status == 0 and qp2.qp_num >> 18 != parent_qpn >> 18 else 3)
deadline = time.monotonic() + 20
while not (wcs := cq.poll(1)) and time.monotonic() < deadline:
    pass
_, status = os.waitpid(pid, 0)
print(os.waitstatus_to_exitcode(status), wcs[0].status if wcs else None, bytes(buf[:14]))
"""


def test_a_forked_child_joins_on_its_own(host):
    env = dict(os.environ, VANTOR_SIM_HOST=host, PYTHONPATH=_package_parent())
    result = subprocess.run(
        [sys.executable, "-c", FORKED], capture_output=True, text=True, env=env, timeout=60
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().split(maxsplit=2) == ["0", "0", "b'from the child'"]


HOST_API = """
import os
import vantor.sim as sim
sim.activate()
print(sim.host(), sim.process_slot())
for bad in ("", "has space", "x" * 65, "a/b"):
    try:
        sim.set_host(bad)
    except ValueError:
        pass
    else:
        raise SystemExit(f"accepted {bad!r}")
sim.set_host("api-" + os.environ["VANTOR_SIM_HOST"])
print(sim.host(), sim.join(), sim.process_slot(), sim.connections())
sim.set_host(sim.host())
try:
    sim.set_host("elsewhere")
except RuntimeError as exc:
    print("refused:", exc)
"""


def test_host_name_api(host):
    env = dict(os.environ, VANTOR_SIM_HOST=host, PYTHONPATH=_package_parent())
    result = subprocess.run(
        [sys.executable, "-c", HOST_API], capture_output=True, text=True, env=env, timeout=60
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == f"{host} None"
    assert lines[1] == f"api-{host} 0 0 0"
    assert lines[2].startswith("refused: this process already joined host")


ALONE = """
import os
import vantor.sim as sim
sim.activate()
import vantor._vantor as v
ctx = v.get_efa_device_list()[0].open()
pd = ctx.alloc_pd(); cq = ctx.create_cq(4)
qp = pd.create_qp(v.QPInitAttr(cq, cq))
ah = pd.create_ah(bytes(ctx.query_gid()))
print(sim.host(), sim.join() == sim.process_slot() == qp.qp_num >> 18, qp.qp_num & 0x3FFFF)
"""


def test_without_a_host_name_a_process_joins_the_default_host():
    env = {k: val for k, val in os.environ.items() if k != "VANTOR_SIM_HOST"}
    env["PYTHONPATH"] = _package_parent()
    result = subprocess.run(
        [sys.executable, "-c", ALONE], capture_output=True, text=True, env=env, timeout=60
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["default", "True", "16"]
