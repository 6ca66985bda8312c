"""Resources and their refusals: busy parents, registration rules, CQ and
address-handle limits."""

from __future__ import annotations

import os

import vantor._vantor as v
from vantor.enums import AccessFlags
from vantor.scenarios.harness import Buf, Env, Obs, outcome
from vantor.scenarios.registry import scenario


@scenario("resources.busy_parents")
def busy_parents(env: Env) -> Obs:
    ctx = env.open()
    obs: Obs = {}
    pd = ctx.alloc_pd()
    buf = Buf(64)
    mr = pd.reg_mr(buf.addr, 64, int(AccessFlags.LOCAL_WRITE))
    obs["dealloc_pd_with_mr"] = outcome(pd.close)
    mr.close()
    ah = pd.create_ah(ctx.query_gid())
    obs["dealloc_pd_with_ah"] = outcome(pd.close)
    ah.close()
    cq = env.keep(ctx.create_cq_ex(16))
    qp = pd.create_qp(v.QPInitAttr(cq, cq))
    obs["dealloc_pd_with_qp"] = outcome(pd.close)
    obs["destroy_cq_with_qp"] = outcome(cq.close)
    qp.close()
    obs["dealloc_pd_empty"] = outcome(pd.close)
    ch = ctx.create_comp_channel()
    cq2 = ctx.create_cq_ex(16, channel=ch)
    obs["destroy_channel_with_cq"] = outcome(ch.close)
    cq2.close()
    obs["destroy_channel_empty"] = outcome(ch.close)
    return obs


@scenario("resources.memory_registration")
def memory_registration(env: Env) -> Obs:
    ctx = env.open()
    pd = env.keep(ctx.alloc_pd())
    buf = Buf(4096)
    env.memory.append(buf)
    obs: Obs = {}
    obs["remote_write_without_local_write"] = outcome(
        lambda: pd.reg_mr(buf.addr, 4096, int(AccessFlags.REMOTE_WRITE)).close()
    )
    # The first page of the address space is never mapped.
    obs["unmapped_range"] = outcome(
        lambda: pd.reg_mr(4096, 4096, int(AccessFlags.LOCAL_WRITE)).close()
    )
    access = int(AccessFlags.LOCAL_WRITE | AccessFlags.REMOTE_READ)
    a = env.keep(pd.reg_mr(buf.addr, 2048, access))
    b = env.keep(pd.reg_mr(buf.addr + 2048, 2048, access))
    obs["keys_unique"] = len({a.lkey, b.lkey}) == 2 and len({a.rkey, b.rkey}) == 2
    attr = a.query_efa()
    obs["efa_ic_id_validity"] = attr.ic_id_validity
    fd = os.open(os.devnull, os.O_RDONLY)
    os.close(fd)  # a descriptor that is certainly not open
    obs["dmabuf_closed_fd"] = outcome(
        lambda: pd.reg_dmabuf_mr(0, 4096, 0, fd, int(AccessFlags.LOCAL_WRITE)).close()
    )
    return obs


@scenario("resources.cq_limits")
def cq_limits(env: Env) -> Obs:
    ctx = env.open()
    max_cqe = ctx.query_device().max_cqe
    obs: Obs = {}
    obs["cqe_0"] = outcome(lambda: ctx.create_cq(0).close())
    obs["cqe_max"] = outcome(lambda: ctx.create_cq(max_cqe).close())
    obs["cqe_over_max"] = outcome(lambda: ctx.create_cq(max_cqe + 1).close())
    obs["comp_vector_last"] = outcome(
        lambda: ctx.create_cq(4, comp_vector=ctx.num_comp_vectors - 1).close()
    )
    obs["comp_vector_over"] = outcome(
        lambda: ctx.create_cq(4, comp_vector=ctx.num_comp_vectors).close()
    )
    obs["cq_ex_unknown_wc_flags"] = outcome(lambda: ctx.create_cq_ex(4, wc_flags=1 << 40).close())
    cq = env.keep(ctx.create_cq(100))
    obs["cqe_100_granted_at_least_100"] = cq.cqe >= 100
    ring = cq.query_efa()
    obs["ring_entry_size"] = ring.entry_size
    n = ring.num_entries
    obs["ring_entries_power_of_two_at_least_cqe"] = n >= 100 and n & (n - 1) == 0
    return obs


@scenario("resources.address_handles")
def address_handles(env: Env) -> Obs:
    ctx = env.open()
    pd = env.keep(ctx.alloc_pd())
    gid = ctx.query_gid()
    a, b = env.keep(pd.create_ah(gid)), env.keep(pd.create_ah(gid))
    return {"ahn_unique": a.ahn != b.ahn, "ahn_16_bit": 0 <= a.ahn < 1 << 16}
