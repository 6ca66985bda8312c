"""Which processes of one machine reach each other through the software EFA
device: those of one host name (or of none, the default host), not those of
different names, a process that cannot join, a forked child; the host-name
API; what a killed run leaves behind (nothing that breaks the next), and
strangers on a process's socket.

Each process is a peer_procs.Proc or a short program; every test gets a host
name of its own (the `host` fixture), so nothing else on the machine can
interfere.
"""

from __future__ import annotations

import os
import socket
from pathlib import Path

import pytest
from peer_procs import (
    HOST_ENV,
    REM_OP_ERR,
    REPLY_TIMEOUT,
    SUCCESS,
    Proc,
    introduce,
    payload,
    sockets_of,
)

from conftest import SIM_AVAILABLE, python_env, run_command, run_python

pytestmark = pytest.mark.skipif(not SIM_AVAILABLE, reason="simulator not built")


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
    runs = [run_python(ALONE_GID, {HOST_ENV: "not a host name"}) for _ in range(2)]
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
    result = run_python(UNREACHABLE, {HOST_ENV: host})
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [str(REM_OP_ERR), "14"] * 2
    (line,) = result.stderr.splitlines()
    assert "VANTOR_SIM_HOST" in line and "same host" in line


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
    result = run_python(FORKED, {HOST_ENV: host})
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
    result = run_python(HOST_API, {HOST_ENV: host})
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
    env = {k: val for k, val in python_env().items() if k != HOST_ENV}
    result = run_command(["-c", ALONE], env=env, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["default", "True", "16"]
