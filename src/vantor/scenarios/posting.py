"""Posting: refusals of a batch (latched, reported when it is submitted),
send- and receive-queue depths, inline data."""

from __future__ import annotations

from typing import Any, NamedTuple

import vantor._vantor as v
from vantor.enums import QPExSendOpsFlags as Ops, WROpcode
from vantor.scenarios.harness import (
    INLINE,
    SIGNALED,
    Buf,
    Env,
    Node,
    Obs,
    outcome,
    pattern,
    post,
    send_wr,
)
from vantor.scenarios.registry import scenario


class Loop(NamedTuple):
    """Two queue pairs of one node, "a" posting to "b", and two buffers."""

    node: Node
    src: Buf
    src_mr: v.MR
    dst: Buf
    dst_mr: v.MR
    a: v.QP
    b: v.QP
    ah: v.AH


def loop(env: Env, size: int, a: dict[str, Any], b: dict[str, Any] | None = None) -> Loop:
    """A Loop with buffers of `size` bytes; `a` and `b` are the queue pairs' attributes."""
    node = env.node()
    src, src_mr = node.buf(size)
    dst, dst_mr = node.buf(size)
    qp_a = node.qp("a", **a)
    qp_b = node.qp("b", **(b or {}))
    return Loop(node, src, src_mr, dst, dst_mr, qp_a, qp_b, node.ah_to(node))


@scenario("post.refusals")
def refusals(env: Env) -> Obs:
    node, src, src_mr, dst, dst_mr, a, b, ah = loop(
        env, 4096, {"max_send_sge": 2, "max_inline_data": 32}
    )
    fresh = node.qp("fresh", prepare=False)
    send_only = node.qp("send_only", send_ops_flags=int(Ops.SEND))
    sge = src_mr.sge(8)
    write = int(WROpcode.RDMA_WRITE)

    def wr(**kw: object) -> v.SendWR:
        return send_wr(1, kw.pop("sges", [sge]), ah, b, **kw)  # type: ignore[arg-type]

    obs: Obs = {
        "not_rts": post(fresh, wr()),
        "unsignaled": post(a, wr(flags=0)),
        "solicited_flag": post(a, wr(flags=SIGNALED | 4)),
        "three_sges_of_two": post(a, wr(sges=[sge, sge, sge])),
        "opcode_not_enabled": post(
            send_only, wr(opcode=write, remote_addr=dst.addr, rkey=dst_mr.rkey)
        ),
        "inline_over_max": outcome(
            lambda: a.post_send(
                v.SendWR(
                    1,
                    [v.SGE(src.addr, 33, src_mr.lkey)],
                    send_flags=SIGNALED | INLINE,
                    ah=ah,
                    remote_qpn=b.qp_num,
                    remote_qkey=0,
                )
            )
        ),
        "inline_rdma_read": post(
            a,
            wr(
                opcode=int(WROpcode.RDMA_READ),
                flags=SIGNALED | INLINE,
                remote_addr=dst.addr,
                rkey=dst_mr.rkey,
            ),
        ),
    }
    # One bad request refuses the whole batch: nothing of it goes out.
    good = wr(opcode=write, remote_addr=dst.addr, rkey=dst_mr.rkey)
    src.write(pattern(8))
    obs["batch_with_bad_entry"] = post(a, [good, wr(flags=0), good])
    obs["batch_completions"] = env.wcs(env.quiet(node.send_cq))
    obs["batch_bytes_written"] = dst.placement(pattern(8))
    return obs


@scenario("post.send_queue_depth")
def send_queue_depth(env: Env) -> Obs:
    node, src, src_mr, dst, dst_mr, a, b, ah = loop(env, 64, {"max_send_wr": 4}, {"max_send_wr": 4})
    _attrs, cap = a.query()
    depth = cap.max_send_wr

    def writes(n: int, qp: v.QP = a) -> list[v.SendWR]:
        return [
            send_wr(
                k,
                [src_mr.sge(8)],
                ah,
                b,
                opcode=int(WROpcode.RDMA_WRITE),
                remote_addr=dst.addr,
                rkey=dst_mr.rkey,
            )
            for k in range(n)
        ]

    obs: Obs = {"granted": depth}
    obs["batch_over_depth"] = post(a, writes(depth + 1))
    obs["fill"] = post(a, writes(depth))
    # The transfers are done by now; their slots come back only when polled.
    if not env.simulated:
        env.quiet(node.recv_cq)
    obs["one_more_unpolled"] = post(a, writes(1))
    obs["other_qp_same_cq"] = post(b, writes(1))
    first = env.wait(node.send_cq, 1)
    obs["polled"] = len(first)
    obs["after_one_polled"] = post(a, writes(1))
    obs["again_full"] = post(a, writes(1))
    rest = env.wait(node.send_cq, depth + 1)
    obs["completions"] = env.wcs(first + rest)
    obs["after_all_polled"] = post(a, writes(depth))
    obs["last_completions"] = len(env.wait(node.send_cq, depth))
    return obs


@scenario("post.recv_queue")
def recv_queue(env: Env) -> Obs:
    node = env.node()
    buf, mr = node.buf(256)
    fresh = node.qp("fresh", prepare=False, max_recv_wr=2, max_recv_sge=1)
    qp = node.qp("a", max_recv_wr=2, max_recv_sge=1)
    _attrs, cap = qp.query()
    recv = v.RecvWR(1, [mr.sge(64)])
    obs: Obs = {
        "in_reset": outcome(lambda: fresh.post_recv(recv)),
        "two_sges_of_one": outcome(lambda: qp.post_recv(v.RecvWR(2, [mr.sge(8), mr.sge(8, 8)]))),
    }
    obs["fill"] = outcome(lambda: qp.post_recv([recv] * cap.max_recv_wr))
    obs["one_more"] = outcome(lambda: qp.post_recv(recv))
    return obs


@scenario("post.inline_copied_at_post")
def inline_copied(env: Env) -> Obs:
    node, src, _, dst, dst_mr, a, b, ah = loop(env, 64, {"max_inline_data": 32})
    b.post_recv(v.RecvWR(7, [dst_mr.sge(64)]))
    src.write(pattern(24))
    rc = post(a, send_wr(1, [v.SGE(src.addr, 24, 0)], ah, b, flags=SIGNALED | INLINE))
    src.write(bytes(24))  # reused at once
    return {
        "post": rc,
        "completions": env.wcs(env.wait(node.send_cq, 1) + env.wait(node.recv_cq, 1)),
        "received": dst.placement(pattern(24)),
    }
