"""Two processes on one host, set up as a program would be, nothing more: a
message addressed to the other process's queue pair reaches it (or fails),
and never lands in another queue pair."""

from __future__ import annotations

import json
import select
import subprocess
import sys
from typing import Any

import vantor._vantor as v
from vantor.enums import WROpcode
from vantor.scenarios.harness import Env, Obs, pattern, post, send_wr
from vantor.scenarios.probes import child_command, in_child, probe
from vantor.scenarios.registry import scenario

_TIMEOUT = 60.0


def serve_peer(simulated: bool, device: str | None) -> int:
    """The other process: one SRD queue pair with two receives posted; it
    answers "poll" with what arrived and "exit" by leaving."""
    with Env(simulated, device) as env:
        node = env.node()
        qp = node.qp("peer")
        buf, mr = node.buf(4096)
        qp.post_recv([v.RecvWR(1, [mr.sge(1024)]), v.RecvWR(2, [mr.sge(1024, 1024)])])
        me = {
            "gid": bytes(node.ctx.query_gid()).hex(),
            "qpn": qp.qp_num,
            "addr": buf.addr,
            "rkey": mr.rkey,
        }
        print(json.dumps(me), flush=True)
        for line in sys.stdin:
            cmd = json.loads(line)
            if cmd["op"] == "exit":
                break
            env.name_qp(qp, "peer")
            env._labels.setdefault(cmd["sender"], "sender")
            got = env.wait(node.recv_cq, 1) + env.quiet(node.recv_cq)
            reply = {
                "recv_cq": env.wcs(got),
                "send_landed": buf.read(0, 100) == pattern(100),
                "write_landed": buf.read(2048, 64) == pattern(64, seed=3),
            }
            print(json.dumps(reply), flush=True)
    return 0


def _read_line(proc: subprocess.Popen[str]) -> Any:
    assert proc.stdout is not None
    ready, _, _ = select.select([proc.stdout], [], [], _TIMEOUT)
    if not ready:
        raise TimeoutError("the other process did not answer")
    line = proc.stdout.readline()
    if not line:
        raise RuntimeError("the other process ended")
    return json.loads(line)


@scenario("processes.two_processes")
def two_processes(env: Env) -> Obs:
    # Both sides start fresh, as two programs on a host do.
    return in_child(env, "two_processes")


@probe("two_processes")
def _sender(simulated: bool, device: str | None) -> Obs:
    cmd, child_env = child_command(simulated, device, "peer")
    proc = subprocess.Popen(
        cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=child_env
    )
    with Env(simulated, device) as env:
        return _exchange(env, proc)


def _exchange(env: Env, proc: subprocess.Popen[str]) -> Obs:
    try:
        peer = _read_line(proc)
        node = env.node()
        qp = node.qp("local")
        src, src_mr = node.buf(4096)
        own, own_mr = node.buf(4096)
        qp.post_recv(v.RecvWR(50, [own_mr.sge(4096)]))
        ah = env.keep(node.pd.create_ah(bytes.fromhex(peer["gid"])))
        target = send_wr(0, None, ah, qp)
        target.remote_qpn = peer["qpn"]
        src.write(pattern(100))
        src.write(pattern(64, seed=3), 2048)
        obs: Obs = {
            "distinct_qp_numbers": peer["qpn"] != qp.qp_num,
            "distinct_gids": peer["gid"] != bytes(node.ctx.query_gid()).hex(),
        }
        send = v.SendWR(
            1,
            [src_mr.sge(100)],
            send_flags=2,
            ah=ah,
            remote_qpn=peer["qpn"],
            remote_qkey=target.remote_qkey,
        )
        obs["send_post"] = post(qp, send)
        write = v.SendWR(
            2,
            [src_mr.sge(64, 2048)],
            opcode=int(WROpcode.RDMA_WRITE),
            send_flags=2,
            ah=ah,
            remote_qpn=peer["qpn"],
            remote_qkey=target.remote_qkey,
            remote_addr=peer["addr"] + 2048,
            rkey=peer["rkey"],
        )
        obs["write_post"] = post(qp, write)
        obs["sender_send_cq"] = env.wcs(env.wait(node.send_cq, 2))
        obs["sender_recv_cq"] = env.wcs(env.quiet(node.recv_cq))
        obs["sender_own_buffer"] = own.placement(pattern(100))
        assert proc.stdin is not None
        proc.stdin.write(json.dumps({"op": "poll", "sender": qp.qp_num}) + "\n")
        proc.stdin.flush()
        obs["receiver"] = _read_line(proc)
        proc.stdin.write(json.dumps({"op": "exit"}) + "\n")
        proc.stdin.flush()
        proc.wait(_TIMEOUT)
        return obs
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
