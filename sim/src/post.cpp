// Posting: the extended work-request builders (ibv_wr_*), batch submission,
// receive posting, and the classic ibv_post_send.
#include "call.hpp"
#include "fabric.hpp"
#include "ops.hpp"
#include "world.hpp"

#include <arpa/inet.h>

#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>

using namespace vsim;

namespace {

constexpr unsigned kAllowedFlags = IBV_SEND_SIGNALED | IBV_SEND_INLINE;

bool batch_owned(Qp *qp)
{
    // Only the owning thread ever stores its own id, so this needs no lock.
    return qp->sq_owner.load(std::memory_order_relaxed) == self_id();
}

void latch(Qp *qp, int err)
{
    if (!qp->batch_err) {
        qp->batch_err = err;
    }
}

// The request being built: the one the last opcode call started.
SendWqe *current(Qp *qp)
{
    if (qp->batch.empty()) {
        return nullptr;
    }
    SendWqe &w = qp->sq[qp->batch.back()];
    return w.err ? nullptr : &w;
}

// Takes back the slots other threads freed (the caller holds sq_mtx).
void collect_returned(Qp *qp)
{
    std::lock_guard lock(qp->slot_mtx);
    qp->free_slots.insert(qp->free_slots.end(), qp->returned.begin(), qp->returned.end());
    qp->returned.clear();
    qp->returned_n.store(0, std::memory_order_relaxed);
}

// Starts a request; a problem is latched for ibv_wr_complete.
void begin(Qp *qp, int opcode, uint64_t op_bit, unsigned flags, uint64_t wr_id)
{
    int err = 0;
    const uint64_t ops =
        qp->extended ? qp->send_ops : (IBV_QP_EX_WITH_SEND | IBV_QP_EX_WITH_SEND_WITH_IMM);
    if (!(ops & op_bit)) {
        err = EINVAL;
    } else if (flags & ~kAllowedFlags) {
        err = EINVAL;
    } else if (!(flags & IBV_SEND_SIGNALED) && !qp->sig_all) {
        err = EINVAL;
    } else if ((flags & IBV_SEND_INLINE) && opcode == IBV_WR_RDMA_READ) {
        err = EINVAL;
    }
    if (qp->free_slots.empty() && qp->returned_n.load(std::memory_order_relaxed)) {
        collect_returned(qp);
    }
    // Full while max_send_wr requests await the poll of their completion,
    // however long ago their transfers finished.
    if (qp->free_slots.empty() ||
        qp->sq_unpolled.load(std::memory_order_relaxed) + qp->batch.size() >= qp->cap.max_send_wr) {
        // The provider checks the request and the QP's state before room.
        const int st = qp->state.load(std::memory_order_relaxed);
        latch(qp, err ? err : (st != IBV_QPS_RTS && st != IBV_QPS_SQD) ? EINVAL : ENOMEM);
        qp->no_current = true;  // the setters that follow have no target
        return;
    }
    const uint32_t slot = qp->free_slots.back();
    qp->free_slots.pop_back();
    qp->no_current = false;
    SendWqe &w = qp->sq[slot];
    w.wr_id = wr_id;
    w.flags = flags;
    w.opcode = opcode;
    w.imm = 0;
    w.rkey = 0;
    w.raddr = 0;
    w.ahn = 0;
    w.rqpn = w.rqkey = 0;
    w.nsge = 0;
    w.inl = false;
    w.has_dest = false;
    w.err = 0;
    w.inl_len = 0;
    w.len = 0;
    qp->batch.push_back(slot);
    if (err) {
        latch(qp, err);
        w.err = err;
    }
}

SendWqe *setter_target(Qp *qp)
{
    if (qp->no_current) {
        return nullptr;
    }
    if (qp->batch.empty()) {
        latch(qp, EINVAL);  // a setter before any opcode call
        return nullptr;
    }
    return current(qp);
}

std::string sge_json(const ibv_sge *sg, std::size_t n)
{
    std::string s = "[";
    char tmp[96];
    for (std::size_t k = 0; k < n; ++k) {
        std::snprintf(tmp, sizeof tmp, "%s{\"lkey\":\"0x%x\",\"addr\":\"0x%llx\",\"length\":%u}",
                      k ? "," : "", sg[k].lkey, static_cast<unsigned long long>(sg[k].addr),
                      sg[k].length);
        s += tmp;
    }
    return s + "]";
}

template <class Frame>
Qp *enter_builder(Frame &call, ibv_qp_ex *x)
{
    Qp *qp = to_qp(x);
    if (!batch_owned(qp)) {
        return nullptr;  // no batch open on this thread: ignored
    }
    if (call.faulted()) {
        latch(qp, call.fault().err ? call.fault().err : EINVAL);
        if (auto *l = call.log()) {
            l->b("fault", true);
        }
        return nullptr;
    }
    return qp;
}

template <Fn F>
void opcode_call(ibv_qp_ex *x, int opcode, uint64_t bit, uint32_t rkey, uint64_t raddr, __be32 imm,
                 bool with_remote, bool with_imm)
{
    return hot_call<F>([=](auto &call) {
        if (auto *l = call.log()) {
            l->u("qp", x->qp_base.qp_num).u("wr_id", x->wr_id).x("wr_flags", x->wr_flags);
            if (with_remote) {
                l->x("rkey", rkey).x("remote_addr", raddr);
            }
            if (with_imm) {
                l->u("imm_data", ntohl(imm));
            }
        }
        Qp *qp = enter_builder(call, x);
        if (!qp) {
            return;
        }
        begin(qp, opcode, bit, x->wr_flags, x->wr_id);
        if (SendWqe *w = current(qp)) {
            w->rkey = rkey;
            w->raddr = raddr;
            w->imm = imm;
        }
    });
}

void wr_send_(ibv_qp_ex *x)
{
    opcode_call<Fn::wr_send>(x, IBV_WR_SEND, IBV_QP_EX_WITH_SEND, 0, 0, 0, false, false);
}
void wr_send_imm_(ibv_qp_ex *x, __be32 imm)
{
    opcode_call<Fn::wr_send_imm>(x, IBV_WR_SEND_WITH_IMM, IBV_QP_EX_WITH_SEND_WITH_IMM, 0, 0, imm,
                                 false, true);
}
void wr_rdma_read_(ibv_qp_ex *x, uint32_t rkey, uint64_t raddr)
{
    opcode_call<Fn::wr_rdma_read>(x, IBV_WR_RDMA_READ, IBV_QP_EX_WITH_RDMA_READ, rkey, raddr, 0,
                                  true, false);
}
void wr_rdma_write_(ibv_qp_ex *x, uint32_t rkey, uint64_t raddr)
{
    opcode_call<Fn::wr_rdma_write>(x, IBV_WR_RDMA_WRITE, IBV_QP_EX_WITH_RDMA_WRITE, rkey, raddr, 0,
                                   true, false);
}
void wr_rdma_write_imm_(ibv_qp_ex *x, uint32_t rkey, uint64_t raddr, __be32 imm)
{
    opcode_call<Fn::wr_rdma_write_imm>(x, IBV_WR_RDMA_WRITE_WITH_IMM,
                                       IBV_QP_EX_WITH_RDMA_WRITE_WITH_IMM, rkey, raddr, imm, true,
                                       true);
}

void wr_set_ud_addr_(ibv_qp_ex *x, ibv_ah *ah, uint32_t rqpn, uint32_t rqkey)
{
    return hot_call<Fn::wr_set_ud_addr>([=](auto &call) {
        if (auto *l = call.log()) {
            l->u("qp", x->qp_base.qp_num)
                .i("ah", ah ? static_cast<long long>(to_ah(ah)->ahn) : -1)
                .u("remote_qpn", rqpn)
                .x("remote_qkey", rqkey);
        }
        Qp *qp = enter_builder(call, x);
        if (!qp) {
            return;
        }
        SendWqe *w = setter_target(qp);
        if (!w) {
            return;
        }
        if (!ah || to_ah(ah)->pd->ctx != qp->ctx) {
            latch(qp, EINVAL);
            w->err = EINVAL;
            return;
        }
        w->dgid = to_ah(ah)->dgid;
        w->ahn = to_ah(ah)->ahn;
        w->rqpn = rqpn;
        w->rqkey = rqkey;
        w->has_dest = true;
    });
}

void set_sges(Qp *qp, SendWqe *w, std::size_t n, const ibv_sge *sg)
{
    if (n > qp->cap.max_send_sge || (n && !sg)) {
        latch(qp, EINVAL);
        w->err = EINVAL;
        return;
    }
    w->inl = false;
    w->nsge = static_cast<uint32_t>(n);
    for (std::size_t k = 0; k < n; ++k) {
        w->sge[k] = sg[k];
    }
}

void wr_set_sge_(ibv_qp_ex *x, uint32_t lkey, uint64_t addr, uint32_t length)
{
    return hot_call<Fn::wr_set_sge>([=](auto &call) {
        if (auto *l = call.log()) {
            l->u("qp", x->qp_base.qp_num).x("lkey", lkey).x("addr", addr).u("length", length);
        }
        Qp *qp = enter_builder(call, x);
        if (!qp) {
            return;
        }
        if (SendWqe *w = setter_target(qp)) {
            const ibv_sge s{addr, length, lkey};
            set_sges(qp, w, 1, &s);
        }
    });
}

void wr_set_sge_list_(ibv_qp_ex *x, size_t n, const ibv_sge *sg)
{
    return hot_call<Fn::wr_set_sge_list>([=](auto &call) {
        if (auto *l = call.log()) {
            l->u("qp", x->qp_base.qp_num)
                .u("num_sge", n)
                .raw("sg_list", sg ? sge_json(sg, n < 64 ? n : 64) : "null");
        }
        Qp *qp = enter_builder(call, x);
        if (!qp) {
            return;
        }
        if (SendWqe *w = setter_target(qp)) {
            set_sges(qp, w, n, sg);
        }
    });
}

void set_inline(Qp *qp, SendWqe *w, std::size_t n, const ibv_data_buf *bufs)
{
    std::size_t total = 0;
    for (std::size_t k = 0; k < n; ++k) {
        if (bufs[k].length && !bufs[k].addr) {
            total = SIZE_MAX;
            break;
        }
        total += bufs[k].length;
    }
    if (total > qp->cap.max_inline_data || (n && !bufs)) {
        latch(qp, EINVAL);
        w->err = EINVAL;
        return;
    }
    std::size_t off = 0;
    for (std::size_t k = 0; k < n; ++k) {
        std::memcpy(w->idata + off, bufs[k].addr, bufs[k].length);
        off += bufs[k].length;
    }
    w->inl = true;
    w->nsge = 0;
    w->inl_len = static_cast<uint32_t>(total);
}

void wr_set_inline_data_(ibv_qp_ex *x, void *addr, size_t length)
{
    return hot_call<Fn::wr_set_inline_data>([=](auto &call) {
        if (auto *l = call.log()) {
            l->u("qp", x->qp_base.qp_num)
                .x("addr", reinterpret_cast<uintptr_t>(addr))
                .u("length", length);
        }
        Qp *qp = enter_builder(call, x);
        if (!qp) {
            return;
        }
        if (SendWqe *w = setter_target(qp)) {
            const ibv_data_buf b{addr, length};
            set_inline(qp, w, 1, &b);
        }
    });
}

void wr_set_inline_data_list_(ibv_qp_ex *x, size_t n, const ibv_data_buf *bufs)
{
    return hot_call<Fn::wr_set_inline_data_list>([=](auto &call) {
        if (auto *l = call.log()) {
            std::string s = "[";
            char tmp[80];
            for (std::size_t k = 0; bufs && k < n && k < 64; ++k) {
                std::snprintf(
                    tmp, sizeof tmp, "%s{\"addr\":\"0x%llx\",\"length\":%zu}", k ? "," : "",
                    static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(bufs[k].addr)),
                    bufs[k].length);
                s += tmp;
            }
            l->u("qp", x->qp_base.qp_num).u("num_buf", n).raw("buf_list", s + "]");
        }
        Qp *qp = enter_builder(call, x);
        if (!qp) {
            return;
        }
        if (SendWqe *w = setter_target(qp)) {
            set_inline(qp, w, n, bufs);
        }
    });
}

void discard_batch(Qp *qp)
{
    qp->free_slots.insert(qp->free_slots.end(), qp->batch.begin(), qp->batch.end());
    qp->batch.clear();
}

void close_batch(Qp *qp)
{
    qp->batch.clear();
    qp->in_batch = false;
    qp->sq_owner.store(0, std::memory_order_relaxed);
    qp->sq_mtx.unlock();
}

void wr_start_(ibv_qp_ex *x)
{
    return hot_call<Fn::wr_start>([=](auto &call) {
        if (auto *l = call.log()) {
            l->u("qp", x->qp_base.qp_num);
        }
        Qp *qp = to_qp(x);
        if (batch_owned(qp)) {
            latch(qp, EINVAL);  // already started on this thread
            return;
        }
        qp->sq_mtx.lock();
        qp->sq_owner.store(self_id(), std::memory_order_relaxed);
        qp->in_batch = true;
        qp->no_current = false;
        qp->batch.clear();
        qp->batch_err = 0;
        if (call.faulted()) {
            latch(qp, call.fault().err ? call.fault().err : EINVAL);
            if (auto *l = call.log()) {
                l->b("fault", true);
            }
        }
    });
}

void wr_abort_(ibv_qp_ex *x)
{
    return hot_call<Fn::wr_abort>([=](auto &call) {
        if (auto *l = call.log()) {
            l->u("qp", x->qp_base.qp_num);
        }
        Qp *qp = to_qp(x);
        if (!batch_owned(qp)) {
            return;
        }
        discard_batch(qp);
        close_batch(qp);
    });
}

int wr_complete_(ibv_qp_ex *x)
{
    return hot_call<Fn::wr_complete>([=](auto &call) {
        Qp *qp = to_qp(x);
        if (auto *l = call.log()) {
            l->u("qp", x->qp_base.qp_num).u("num_wr", batch_owned(qp) ? qp->batch.size() : 0);
        }
        if (!batch_owned(qp)) {
            return call.rc(EINVAL);
        }
        int err = qp->batch_err;
        if (call.faulted()) {
            discard_batch(qp);
            close_batch(qp);
            return static_cast<int>(call.fault_rc());
        }
        const int st = qp->state.load();
        if (!err && st != IBV_QPS_RTS && st != IBV_QPS_SQD) {
            err = EINVAL;
        }
        if (!err) {
            for (uint32_t s : qp->batch) {
                if (!qp->sq[s].has_dest) {
                    err = EINVAL;
                    break;
                }
            }
        }
        if (err) {
            discard_batch(qp);
            close_batch(qp);
            return call.rc(err);
        }
        // Counted before any completion can be polled on another thread.
        qp->sq_unpolled.fetch_add(static_cast<uint32_t>(qp->batch.size()),
                                  std::memory_order_relaxed);
        {
            std::shared_lock lock(world().mtx);
            for (uint32_t s : qp->batch) {
                const Transfer t{qp, s};
                Outcome bad;
                if (!check_local(qp, qp->sq[s], bad)) {
                    complete_send(t, bad.status, bad.vendor);
                } else {
                    fabric_submit(t);
                }
            }
        }
        close_batch(qp);
        return call.rc(0);
    });
}

// Builders the EFA provider does not offer: they latch EOPNOTSUPP.
Qp *unsupported(ibv_qp_ex *x)
{
    Qp *qp = to_qp(x);
    if (batch_owned(qp)) {
        latch(qp, EOPNOTSUPP);
    }
    return qp;
}
void no_cmp_swp(ibv_qp_ex *x, uint32_t, uint64_t, uint64_t, uint64_t) { unsupported(x); }
void no_fetch_add(ibv_qp_ex *x, uint32_t, uint64_t, uint64_t) { unsupported(x); }
void no_bind_mw(ibv_qp_ex *x, ibv_mw *, uint32_t, const ibv_mw_bind_info *) { unsupported(x); }
void no_local_inv(ibv_qp_ex *x, uint32_t) { unsupported(x); }
void no_send_inv(ibv_qp_ex *x, uint32_t) { unsupported(x); }
void no_send_tso(ibv_qp_ex *x, void *, uint16_t, uint16_t) { unsupported(x); }
void no_xrc(ibv_qp_ex *x, uint32_t) { unsupported(x); }
void no_atomic_write(ibv_qp_ex *x, uint32_t, uint64_t, const void *) { unsupported(x); }

}  // namespace

namespace vsim {

void install_qp_ops(Qp *qp)
{
    ibv_qp_ex &x = qp->qpx;
    x.comp_mask = 0;
    x.wr_atomic_cmp_swp = no_cmp_swp;
    x.wr_atomic_fetch_add = no_fetch_add;
    x.wr_bind_mw = no_bind_mw;
    x.wr_local_inv = no_local_inv;
    x.wr_rdma_read = wr_rdma_read_;
    x.wr_rdma_write = wr_rdma_write_;
    x.wr_rdma_write_imm = wr_rdma_write_imm_;
    x.wr_send = wr_send_;
    x.wr_send_imm = wr_send_imm_;
    x.wr_send_inv = no_send_inv;
    x.wr_send_tso = no_send_tso;
    x.wr_set_ud_addr = wr_set_ud_addr_;
    x.wr_set_xrc_srqn = no_xrc;
    x.wr_set_inline_data = wr_set_inline_data_;
    x.wr_set_inline_data_list = wr_set_inline_data_list_;
    x.wr_set_sge = wr_set_sge_;
    x.wr_set_sge_list = wr_set_sge_list_;
    x.wr_start = wr_start_;
    x.wr_complete = wr_complete_;
    x.wr_abort = wr_abort_;
    x.wr_atomic_write = no_atomic_write;
}

// The whole chain refused before its first request (an injected fault, or
// no queue pair): that request is the bad one.
template <class Frame, class Wr>
int refuse_chain(Frame &call, Wr *wr, Wr **bad)
{
    if (bad) {
        *bad = wr;
    }
    return call.faulted() ? static_cast<int>(call.fault_rc()) : call.rc(EINVAL);
}

int op_post_recv(ibv_qp *ibqp, ibv_recv_wr *wr, ibv_recv_wr **bad)
{
    return hot_call<Fn::post_recv>([=](auto &call) {
        if (auto *l = call.log()) {
            std::string s = "[";
            int k = 0;
            for (ibv_recv_wr *r = wr; r && k < 4096; r = r->next, ++k) {
                if (k) {
                    s += ',';
                }
                s += "{\"wr_id\":" + std::to_string(r->wr_id) +
                     ",\"num_sge\":" + std::to_string(r->num_sge) + ",\"sg_list\":" +
                     (r->sg_list && r->num_sge > 0
                          ? sge_json(r->sg_list, r->num_sge < 64 ? r->num_sge : 64)
                          : std::string("[]")) +
                     "}";
            }
            l->u("qp", ibqp ? ibqp->qp_num : 0).raw("wrs", s + "]");
        }
        if (call.faulted() || !ibqp) {
            return refuse_chain(call, wr, bad);
        }
        Qp *qp = to_qp(ibqp);
        int err = 0;
        bool flush = false;
        {
            std::lock_guard lock(qp->rq_mtx);
            const int st = qp->state.load();
            if (st == IBV_QPS_RESET) {
                err = EINVAL;
            }
            flush = st == IBV_QPS_ERR;
            for (ibv_recv_wr *r = wr; r && !err; r = r->next) {
                if (r->num_sge < 0 || static_cast<uint32_t>(r->num_sge) > qp->cap.max_recv_sge ||
                    (r->num_sge > 0 && !r->sg_list)) {
                    err = EINVAL;
                } else if (qp->rq_count == qp->cap.max_recv_wr) {
                    err = ENOMEM;
                }
                if (err) {
                    if (bad) {
                        *bad = r;
                    }
                    break;
                }
                RecvWqe &slot = qp->rq[qp->rq_index(qp->rq_count)];
                slot.wr_id = r->wr_id;
                slot.nsge = static_cast<uint32_t>(r->num_sge);
                for (int k = 0; k < r->num_sge; ++k) {
                    slot.sge[k] = r->sg_list[k];
                }
                ++qp->rq_count;
            }
            if (err == EINVAL && qp->state.load() == IBV_QPS_RESET && bad) {
                *bad = wr;
            }
        }
        if (flush) {
            qp_flush(qp);
        } else if (qp->waiting_n.load(std::memory_order_relaxed)) {
            drain_waiting(qp);
        }
        return call.rc(err);
    });
}

int op_post_send(ibv_qp *ibqp, ibv_send_wr *wr, ibv_send_wr **bad)
{
    Call call(Fn::post_send);
    if (auto *l = call.log()) {
        l->u("qp", ibqp ? ibqp->qp_num : 0);
    }
    if (call.faulted() || !ibqp) {
        return refuse_chain(call, wr, bad);
    }
    // Each request goes out as a batch of one through the extended path;
    // the first refusal stops the chain.
    Qp *qp = to_qp(ibqp);
    int err = 0;
    for (ibv_send_wr *w = wr; w; w = w->next) {
        ibv_qp_ex *x = &qp->qpx;
        wr_start_(x);
        x->wr_id = w->wr_id;
        x->wr_flags = w->send_flags;
        if (w->opcode == IBV_WR_SEND) {
            wr_send_(x);
        } else if (w->opcode == IBV_WR_SEND_WITH_IMM) {
            wr_send_imm_(x, w->imm_data);
        } else {
            latch(qp, EINVAL);
        }
        wr_set_ud_addr_(x, w->wr.ud.ah, w->wr.ud.remote_qpn, w->wr.ud.remote_qkey);
        if (w->send_flags & IBV_SEND_INLINE) {
            ibv_data_buf bufs[64];
            const int n = w->num_sge < 64 ? w->num_sge : 64;
            for (int k = 0; k < n; ++k) {
                bufs[k] = {reinterpret_cast<void *>(w->sg_list[k].addr), w->sg_list[k].length};
            }
            wr_set_inline_data_list_(x, static_cast<size_t>(n), bufs);
        } else {
            wr_set_sge_list_(x, static_cast<size_t>(w->num_sge), w->sg_list);
        }
        err = wr_complete_(x);
        if (err) {
            if (bad) {
                *bad = w;
            }
            break;
        }
    }
    return call.rc(err);
}

}  // namespace vsim
