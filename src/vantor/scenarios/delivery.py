"""Delivery: data placement, completion fields, error completions and their
statuses, RNR, immediates, UD datagrams, sender GIDs, completion channels."""

from __future__ import annotations

import select
from typing import Any

import vantor._vantor as v
from vantor.enums import AccessFlags, WROpcode
from vantor.scenarios.harness import UD, Env, Node, Obs, pattern, post, send_wr
from vantor.scenarios.registry import scenario

SEND, SEND_IMM = int(WROpcode.SEND), int(WROpcode.SEND_WITH_IMM)
WRITE, WRITE_IMM, READ = (
    int(WROpcode.RDMA_WRITE),
    int(WROpcode.RDMA_WRITE_WITH_IMM),
    int(WROpcode.RDMA_READ),
)


class Pair:
    """Two queue pairs of one type on one device, with 64 KiB buffers."""

    def __init__(
        self,
        env: Env,
        qp_type: int | None = None,
        node: Node | None = None,
        a_attrs: dict[str, Any] | None = None,
        b_attrs: dict[str, Any] | None = None,
        **cq_kwargs: Any,
    ):
        self.env = env
        self.node = node or env.node(**cq_kwargs)
        kind: dict[str, Any] = {} if qp_type is None else {"qp_type": qp_type}
        self.a = self.node.qp("a", **kind, **(a_attrs or {}))
        self.b = self.node.qp("b", **kind, **(b_attrs or {}))
        self.ah = self.node.ah_to(self.node)
        self.src, self.src_mr = self.node.buf(65536)
        self.dst, self.dst_mr = self.node.buf(65536)

    def send(self, opcode: int, length: int, wr_id: int = 1, **kw: Any) -> str:
        self.src.write(pattern(length))
        return post(
            self.a, send_wr(wr_id, [self.src_mr.sge(length)], self.ah, self.b, opcode=opcode, **kw)
        )

    def recv(self, length: int, wr_id: int = 100, offset: int = 0) -> None:
        self.b.post_recv(v.RecvWR(wr_id, [self.dst_mr.sge(length, offset)]))

    def outcome(self, expect_send: int = 1, expect_recv: int = 1, length: int | None = None) -> Obs:
        obs: Obs = {
            "send_cq": self.env.wcs(self.env.wait(self.node.send_cq, expect_send)),
            "recv_cq": self.env.wcs(
                self.env.wait(self.node.recv_cq, expect_recv)
                if expect_recv
                else self.env.quiet(self.node.recv_cq)
            ),
        }
        if length is not None:
            obs["placed"] = self.dst.placement(pattern(length))
        return obs


def _remote(p: Pair, **kw: Any) -> dict[str, Any]:
    return {
        "remote_addr": p.dst.addr + kw.pop("offset", 0),
        "rkey": kw.pop("rkey", p.dst_mr.rkey),
        **kw,
    }


def _one_send(env: Env, recv_len: int, opcode: int, length: int, **wr: Any) -> Obs:
    """One receive of `recv_len` bytes posted, one message of `length` sent to it."""
    p = Pair(env)
    p.recv(recv_len)
    return {"post": p.send(opcode, length, **wr), **p.outcome(length=length)}


@scenario("delivery.srd_send")
def srd_send(env: Env) -> Obs:
    return _one_send(env, 4096, SEND, 1000)


@scenario("delivery.srd_send_with_imm")
def srd_send_imm(env: Env) -> Obs:
    return _one_send(env, 4096, SEND_IMM, 64, imm_data=0x12345678)


@scenario("delivery.srd_send_max_msg_sz")
def srd_send_limits(env: Env) -> Obs:
    p = Pair(env)
    limit = p.node.ctx.query_port().max_msg_sz
    p.recv(65536)
    at = {"post": p.send(SEND, limit), **p.outcome(length=limit)}
    p.dst.reset()
    p.recv(65536, wr_id=101)
    over = {"post": p.send(SEND, limit + 1, wr_id=2), **p.outcome(expect_recv=0)}
    return {"at_limit": at, "over_limit": over}


@scenario("delivery.srd_recv_buffer_too_small")
def srd_too_small(env: Env) -> Obs:
    return _one_send(env, 63, SEND, 64)


@scenario("delivery.srd_send_scatter")
def srd_scatter(env: Env) -> Obs:
    p = Pair(env, b_attrs={"max_recv_sge": 2})
    p.b.post_recv(v.RecvWR(5, [p.dst_mr.sge(10), p.dst_mr.sge(100, 1000)]))
    p.src.write(pattern(50))
    rc = post(p.a, send_wr(1, [p.src_mr.sge(50)], p.ah, p.b))
    out = p.outcome()
    return {
        "post": rc,
        **out,
        "first_entry": p.dst.read(0, 10) == pattern(50)[:10],
        "second_entry": p.dst.read(1000, 40) == pattern(50)[10:],
    }


@scenario("delivery.rdma_write")
def rdma_write(env: Env) -> Obs:
    p = Pair(env)
    return {
        "post": p.send(WRITE, 3000, **_remote(p, offset=100)),
        **p.outcome(expect_recv=0, length=3000),
    }


@scenario("delivery.rdma_write_with_imm")
def rdma_write_imm(env: Env) -> Obs:
    p = Pair(env)
    p.recv(0)
    return {"post": p.send(WRITE_IMM, 256, imm_data=7, **_remote(p)), **p.outcome(length=256)}


@scenario("delivery.rdma_write_with_imm_unsolicited")
def rdma_write_imm_unsolicited(env: Env) -> Obs:
    node = env.node(unsolicited=True)
    p = Pair(env, node=node, b_attrs={"unsolicited_write_recv": True})
    return {
        "post": p.send(WRITE_IMM, 128, wr_id=3, imm_data=9, **_remote(p)),
        **p.outcome(length=128),
    }


@scenario("delivery.rdma_read")
def rdma_read(env: Env) -> Obs:
    p = Pair(env)
    p.dst.write(pattern(512, seed=5))
    rc = post(p.a, send_wr(1, [p.src_mr.sge(512)], p.ah, p.b, opcode=READ, **_remote(p)))
    out = p.outcome(expect_recv=0)
    return {"post": rc, **out, "read_back": p.src.placement(pattern(512, seed=5))}


@scenario("delivery.rdma_errors")
def rdma_errors(env: Env) -> Obs:
    p = Pair(env)
    ro_buf, ro_mr = p.node.buf(4096, access=int(AccessFlags.LOCAL_WRITE | AccessFlags.REMOTE_READ))
    cases = {
        "wrong_rkey": _remote(p, rkey=p.dst_mr.rkey ^ 0x5A5A),
        "past_region_end": _remote(p, offset=65536 - 8),
        "no_remote_write_right": {"remote_addr": ro_buf.addr, "rkey": ro_mr.rkey},
    }
    obs: Obs = {}
    for k, (name, remote) in enumerate(cases.items()):
        obs[name] = {
            "post": p.send(WRITE, 64, wr_id=k + 1, **remote),
            **p.outcome(expect_recv=0, length=64),
        }
        p.dst.reset()
    obs["read_without_read_right"] = {
        "post": post(
            p.a,
            send_wr(
                9,
                [p.src_mr.sge(64)],
                p.ah,
                p.b,
                opcode=READ,
                remote_addr=p.dst.addr,
                rkey=p.dst_mr.rkey ^ 0x5A5A,
            ),
        ),
        **p.outcome(expect_recv=0),
    }
    return obs


@scenario("delivery.local_protection")
def local_protection(env: Env) -> Obs:
    p = Pair(env)
    p.recv(4096)
    bad = v.SGE(p.src.addr, 64, p.src_mr.lkey ^ 0x5A5A)
    rc = post(p.a, send_wr(1, [bad], p.ah, p.b))
    over = v.SGE(p.src.addr + 65536 - 8, 64, p.src_mr.lkey)
    rc2 = post(p.a, send_wr(2, [over], p.ah, p.b))
    return {"wrong_lkey": rc, "past_region_end": rc2, **p.outcome(expect_send=2, expect_recv=0)}


@scenario("delivery.bad_destination")
def bad_destination(env: Env) -> Obs:
    p = Pair(env)
    p.recv(4096)
    rc = post(
        p.a,
        v.SendWR(
            1,
            [p.src_mr.sge(8)],
            send_flags=2,
            ah=p.ah,
            remote_qpn=p.b.qp_num ^ 0x7F,
            remote_qkey=0x5CE7A210,
        ),
    )
    rc2 = post(
        p.a,
        v.SendWR(
            2, [p.src_mr.sge(8)], send_flags=2, ah=p.ah, remote_qpn=p.b.qp_num, remote_qkey=0x1
        ),
    )
    return {"unknown_qpn": rc, "wrong_qkey": rc2, **p.outcome(expect_send=2, expect_recv=0)}


@scenario("delivery.rnr")
def rnr(env: Env) -> Obs:
    p = Pair(env)
    fail = {"post": p.send(SEND, 32), **p.outcome(expect_recv=0)}
    # rnr_retry 7: the message waits for a receive.
    q = Pair(env, a_attrs={"rnr_retry": 7})
    rc = q.send(SEND, 32)
    before = env.wcs(env.quiet(q.node.send_cq))
    q.recv(64)
    return {
        "default_rnr_retry": fail,
        "rnr_retry_7": {"post": rc, "before_recv": before, **q.outcome(length=32)},
    }


@scenario("delivery.error_state_flush")
def flush(env: Env) -> Obs:
    p = Pair(env)
    p.recv(64, wr_id=1)
    p.recv(64, wr_id=2)
    p.b.modify(1, qp_state=6)
    return {"recv_cq": env.wcs(env.wait(p.node.recv_cq, 2)), "state": p.b.state}


@scenario("delivery.ud_datagrams")
def ud(env: Env) -> Obs:
    p = Pair(env, qp_type=UD, b_attrs={"max_recv_sge": 2})
    obs: Obs = {"no_receive_posted": {"post": p.send(SEND, 16), **p.outcome(expect_recv=0)}}
    p.recv(56, wr_id=10)
    obs["exact_fit"] = {"post": p.send(SEND_IMM, 16, wr_id=2, imm_data=3), **p.outcome(length=16)}
    p.dst.reset()
    p.recv(1000, wr_id=11)
    obs["large_buffer"] = {"post": p.send(SEND, 100, wr_id=3), **p.outcome(length=100)}
    p.dst.reset()
    p.b.post_recv(v.RecvWR(12, [p.dst_mr.sge(30), p.dst_mr.sge(100, 200)]))
    obs["prefix_spans_entries"] = {"post": p.send(SEND, 20, wr_id=4), **p.outcome(length=20)}
    p.dst.reset()
    p.recv(55, wr_id=13)
    obs["no_room_for_prefix"] = {"post": p.send(SEND, 16, wr_id=5), **p.outcome(length=16)}
    return obs


@scenario("delivery.sender_gid")
def sender_gid(env: Env) -> Obs:
    node = env.node(sgid=True)
    p = Pair(env, node=node)
    p.recv(64)
    own_pd = {"post": p.send(SEND, 8), **p.outcome()}
    # A receiver on a PD without an address handle for the sender's GID.
    pd2 = env.keep(node.ctx.alloc_pd())
    other = Node(env, node.ctx, pd2, node.send_cq, node.recv_cq)
    c = other.qp("c")
    buf, mr = other.buf(64)
    c.post_recv(v.RecvWR(200, [mr.sge(64)]))
    rc = post(p.a, send_wr(2, [p.src_mr.sge(8)], p.ah, c))
    return {"pd_with_ah": own_pd, "pd_without_ah": {"post": rc, **p.outcome()}}


@scenario("delivery.completion_channel")
def channel(env: Env) -> Obs:
    ctx = env.open()
    pd = env.keep(ctx.alloc_pd())
    ch = env.keep(ctx.create_comp_channel())
    cq = env.keep(ctx.create_cq_ex(16, channel=ch))
    node = Node(env, ctx, pd, cq, cq)
    p = Pair(env, node=node)
    readable_before = bool(select.select([ch.fd], [], [], 0)[0])
    cq.req_notify()
    rc = p.send(WRITE, 8, **_remote(p))
    readable = bool(select.select([ch.fd], [], [], 5.0)[0])
    got = ch.get_cq_event() is cq if readable else None
    if readable:
        cq.ack_events(1)
    return {
        "post": rc,
        "readable_before": readable_before,
        "readable_after": readable,
        "event_names_cq": got,
        "completions": len(env.wait(cq, 1)),
    }
