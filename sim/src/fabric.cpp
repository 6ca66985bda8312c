// The in-process fabric and the delivery rules of the device: routing,
// memory checks by key, data movement, RNR waiting and completions.
#include "fabric.hpp"

#include "ops.hpp"
#include "world.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <shared_mutex>

namespace vsim {

namespace {

// Host address of [addr, addr+len) under `key` in `pd`, or null.
unsigned char *resolve(Pd *pd, uint32_t key, uint64_t addr, uint64_t len, int need)
{
    Mr *m = mr_find_locked(key);
    if (!m || m->pd != pd || (need && !(m->access & need)))
        return nullptr;
    if (addr < m->iova || addr - m->iova > m->len || len > m->len - (addr - m->iova))
        return nullptr;
    return m->host + (addr - m->iova);
}

struct Seg {
    unsigned char *p;
    uint64_t n;
};

// Copies between two scatter lists given as callables index -> Seg.
template <class Src, class Dst>
void copy_segs(uint32_t ns, Src src, uint32_t nd, Dst dst)
{
    uint32_t i = 0, j = 0;
    uint64_t oi = 0, oj = 0;
    Seg a = ns ? src(0) : Seg{nullptr, 0};
    Seg b = nd ? dst(0) : Seg{nullptr, 0};
    while (i < ns && j < nd) {
        if (oi == a.n) {
            if (++i < ns)
                a = src(i);
            oi = 0;
            continue;
        }
        if (oj == b.n) {
            if (++j < nd)
                b = dst(j);
            oj = 0;
            continue;
        }
        const uint64_t k = std::min(a.n - oi, b.n - oj);
        std::memmove(b.p + oj, a.p + oi, k);
        oi += k;
        oj += k;
    }
}

// The sender's payload as segments (inline buffer or its SGEs).
struct SenderData {
    Qp *qp;
    SendWqe *w;
    uint32_t count() const { return w->inl ? 1 : w->nsge; }
    Seg operator()(uint32_t k) const
    {
        if (w->inl)
            return {w->idata, w->inl_len};
        const ibv_sge &s = w->sge[k];
        if (!s.length)
            return {nullptr, 0};
        return {resolve(qp->pd, s.lkey, s.addr, s.length, 0), s.length};
    }
};

Qp *route(const SendWqe &w)
{
    auto &qps = world().qps;
    auto it = qps.find(w.rqpn);
    if (it == qps.end() || std::memcmp(it->second->gid.raw, w.dgid.raw, 16) != 0)
        return nullptr;
    return it->second;
}

uint8_t send_opcode(int wr_opcode)
{
    return (wr_opcode == IBV_WR_RDMA_WRITE || wr_opcode == IBV_WR_RDMA_WRITE_WITH_IMM)
               ? IBV_WC_RDMA_WRITE
               : IBV_WC_SEND;
}

void push_recv(Qp *dst, Qp *src, const SendWqe &w, uint64_t wr_id, uint8_t status, uint8_t vendor,
               uint32_t byte_len, bool unsolicited)
{
    const bool imm = w.opcode == IBV_WR_SEND_WITH_IMM || w.opcode == IBV_WR_RDMA_WRITE_WITH_IMM;
    Cqe e{};
    e.wr_id = wr_id;
    e.status = status;
    e.vendor_err = vendor;
    e.opcode = w.opcode == IBV_WR_RDMA_WRITE_WITH_IMM ? IBV_WC_RECV_RDMA_WITH_IMM : IBV_WC_RECV;
    e.byte_len = byte_len;
    e.imm = imm ? w.imm : 0;
    e.wc_flags = imm ? IBV_WC_WITH_IMM : 0;
    e.qp_num = dst->qpx.qp_base.qp_num;
    e.src_qp = src->qpx.qp_base.qp_num;
    if (unsolicited)
        e.flags |= kCqeUnsolicited;
    if (dst->rcq->sgids && !dst->pd->has_ah_for(src->gid))
        e.flags |= kCqeSgid;
    cq_push(dst->rcq, e, &src->gid);
}

// Receive buffers of `r` in `dst`'s PD; false when one is not writable.
bool recv_capacity(Qp *dst, const RecvWqe &r, uint64_t &cap)
{
    cap = 0;
    for (uint32_t k = 0; k < r.nsge; ++k) {
        const ibv_sge &s = r.sge[k];
        if (s.length &&
            !resolve(dst->pd, s.lkey, s.addr, s.length, IBV_ACCESS_LOCAL_WRITE))
            return false;
        cap += s.length;
    }
    return true;
}

class InProcessFabric final : public Fabric {
public:
    void submit(const Transfer &t) override
    {
        {
            std::lock_guard lock(mtx_);
            if (hold_ || reverse_n_ > 0) {
                held_.push_back(t);
                t.src->deferred.fetch_add(1);
                if (reverse_n_ > 0 && static_cast<int>(held_.size()) >= reverse_n_) {
                    reverse_n_ = 0;
                    std::deque<Transfer> out;
                    out.swap(held_);
                    std::reverse(out.begin(), out.end());
                    release_list(out);
                }
                return;
            }
        }
        deliver(t);
    }

    void take_from(Qp *qp, std::deque<Transfer> &out) override
    {
        std::lock_guard lock(mtx_);
        for (auto it = held_.begin(); it != held_.end();) {
            if (it->src == qp) {
                out.push_back(*it);
                it = held_.erase(it);
            } else {
                ++it;
            }
        }
    }

    void hold(bool on)
    {
        std::lock_guard lock(mtx_);
        hold_ = on;
    }

    void reverse_next(int n)
    {
        std::lock_guard lock(mtx_);
        reverse_n_ = n;
    }

    int held()
    {
        std::lock_guard lock(mtx_);
        return static_cast<int>(held_.size());
    }

    // Delivers everything held; the caller holds the world lock shared.
    int release(bool reverse)
    {
        std::deque<Transfer> out;
        {
            std::lock_guard lock(mtx_);
            out.swap(held_);
            hold_ = false;
            reverse_n_ = 0;
        }
        if (reverse)
            std::reverse(out.begin(), out.end());
        const int n = static_cast<int>(out.size());
        release_list(out);
        return n;
    }

    static void deliver(const Transfer &t)
    {
        SendWqe &w = t.src->sq[t.slot];
        Qp *dst = route(w);
        if (!dst) {
            if (!t.src->srd)
                complete_send(t, IBV_WC_SUCCESS, kEfaOk);  // datagram lost
            else if (gid_known(w.dgid))
                complete_send(t, IBV_WC_REM_INV_RD_REQ_ERR, kEfaRemoteBadDestQpn);
            else
                complete_send(t, IBV_WC_REM_OP_ERR, kEfaUnknownPeer);
            return;
        }
        const Outcome o = accept(dst, t);
        if (!o.deferred)
            complete_send(t, o.status, o.vendor);
    }

private:
    // Called with mtx_ possibly held (reverse_n_ path): delivery does not
    // touch mtx_.
    static void release_list(std::deque<Transfer> &out)
    {
        for (const Transfer &t : out) {
            t.src->deferred.fetch_sub(1);
            deliver(t);
        }
    }

    std::mutex mtx_;
    bool hold_ = false;
    int reverse_n_ = 0;
    std::deque<Transfer> held_;
};

InProcessFabric &in_process()
{
    static InProcessFabric *f = new InProcessFabric;
    return *f;
}

}  // namespace

Fabric &fabric() { return in_process(); }

void fabric_hold(bool on) { in_process().hold(on); }
void fabric_reverse_next(int n) { in_process().reverse_next(n); }
int fabric_held() { return in_process().held(); }
int fabric_release(bool reverse)
{
    std::shared_lock lock(world().mtx);
    return in_process().release(reverse);
}

bool check_local(Qp *qp, SendWqe &w, Outcome &bad)
{
    uint64_t total = 0;
    if (w.inl) {
        total = w.inl_len;
    } else {
        const int need = w.opcode == IBV_WR_RDMA_READ ? IBV_ACCESS_LOCAL_WRITE : 0;
        for (uint32_t k = 0; k < w.nsge; ++k) {
            const ibv_sge &s = w.sge[k];
            if (s.length && !resolve(qp->pd, s.lkey, s.addr, s.length, need)) {
                bad = {IBV_WC_LOC_PROT_ERR, kEfaInvalidLkey, false};
                return false;
            }
            total += s.length;
        }
    }
    w.len = total;
    const DeviceConfig &cfg = qp->ctx->dev->cfg;
    const bool rdma = w.opcode == IBV_WR_RDMA_READ || w.opcode == IBV_WR_RDMA_WRITE ||
                      w.opcode == IBV_WR_RDMA_WRITE_WITH_IMM;
    if (total > (rdma ? cfg.eattr.max_rdma_size : cfg.pattr.max_msg_sz)) {
        bad = {IBV_WC_LOC_LEN_ERR, kEfaBadLength, false};
        return false;
    }
    return true;
}

Outcome accept(Qp *dst, const Transfer &t)
{
    Qp *src = t.src;
    SendWqe &w = src->sq[t.slot];
    const bool srd = src->srd;
    const Outcome ok{};
    const Outcome bad_qpn{IBV_WC_REM_INV_RD_REQ_ERR, kEfaRemoteBadDestQpn, false};
    const int st = dst->state.load();
    if (st != IBV_QPS_RTR && st != IBV_QPS_RTS && st != IBV_QPS_SQD)
        return srd ? bad_qpn : ok;
    if (w.rqkey != dst->qkey || dst->srd != srd)
        return srd ? bad_qpn : ok;

    // Remote memory of an RDMA request.
    unsigned char *remote = nullptr;
    if (w.opcode == IBV_WR_RDMA_READ || w.opcode == IBV_WR_RDMA_WRITE ||
        w.opcode == IBV_WR_RDMA_WRITE_WITH_IMM) {
        const int need =
            w.opcode == IBV_WR_RDMA_READ ? IBV_ACCESS_REMOTE_READ : IBV_ACCESS_REMOTE_WRITE;
        remote = resolve(dst->pd, w.rkey, w.raddr, w.len, need);
        if (!remote && !(w.len == 0 && mr_find_locked(w.rkey)))
            return {IBV_WC_REM_ACCESS_ERR, kEfaRemoteBadAddress, false};
    }
    const SenderData data{src, &w};
    if (w.opcode == IBV_WR_RDMA_READ) {
        copy_segs(
            1, [&](uint32_t) { return Seg{remote, w.len}; }, w.nsge,
            [&](uint32_t k) {
                const ibv_sge &s = w.sge[k];
                return Seg{s.length ? resolve(src->pd, s.lkey, s.addr, s.length, 0) : nullptr,
                           s.length};
            });
        return ok;
    }
    if (w.opcode == IBV_WR_RDMA_WRITE) {
        copy_segs(data.count(), data, 1, [&](uint32_t) { return Seg{remote, w.len}; });
        return ok;
    }
    if (w.opcode == IBV_WR_RDMA_WRITE_WITH_IMM && dst->unsolicited_write_recv) {
        copy_segs(data.count(), data, 1, [&](uint32_t) { return Seg{remote, w.len}; });
        push_recv(dst, src, w, 0, IBV_WC_SUCCESS, kEfaOk, static_cast<uint32_t>(w.len), true);
        return ok;
    }

    // Everything else consumes a posted receive.
    RecvWqe r;
    {
        std::lock_guard lock(dst->rq_mtx);
        if (dst->rq_count == 0) {
            if (!srd)
                return ok;  // datagram dropped
            if (src->rnr_retry == 7) {
                dst->waiting.push_back(t);
                dst->waiting_n.fetch_add(1);
                src->deferred.fetch_add(1);
                return {IBV_WC_SUCCESS, kEfaOk, true};
            }
            return {IBV_WC_RNR_RETRY_EXC_ERR, kEfaRemoteRnr, false};
        }
        r = dst->rq[dst->rq_head];
        dst->rq_head = (dst->rq_head + 1) % static_cast<uint32_t>(dst->rq.size());
        --dst->rq_count;
    }
    if (w.opcode == IBV_WR_RDMA_WRITE_WITH_IMM) {
        copy_segs(data.count(), data, 1, [&](uint32_t) { return Seg{remote, w.len}; });
        push_recv(dst, src, w, r.wr_id, IBV_WC_SUCCESS, kEfaOk, static_cast<uint32_t>(w.len), false);
        return ok;
    }
    uint64_t cap = 0;
    if (!recv_capacity(dst, r, cap)) {
        push_recv(dst, src, w, r.wr_id, IBV_WC_LOC_PROT_ERR, kEfaInvalidLkey, 0, false);
        return {IBV_WC_REM_OP_ERR, kEfaRemoteBadStatus, false};
    }
    if (w.len > cap) {
        push_recv(dst, src, w, r.wr_id, IBV_WC_LOC_LEN_ERR, kEfaBadLength, 0, false);
        return {IBV_WC_REM_INV_REQ_ERR, kEfaRemoteBadLength, false};
    }
    copy_segs(data.count(), data, r.nsge, [&](uint32_t k) {
        const ibv_sge &s = r.sge[k];
        return Seg{s.length ? resolve(dst->pd, s.lkey, s.addr, s.length, 0) : nullptr, s.length};
    });
    push_recv(dst, src, w, r.wr_id, IBV_WC_SUCCESS, kEfaOk, static_cast<uint32_t>(w.len), false);
    return ok;
}

void complete_send(const Transfer &t, uint8_t status, uint8_t vendor)
{
    Qp *qp = t.src;
    const SendWqe &w = qp->sq[t.slot];
    Cqe e{};
    e.wr_id = w.wr_id;
    e.status = status;
    e.vendor_err = vendor;
    e.opcode = send_opcode(w.opcode);
    e.qp_num = qp->qpx.qp_base.qp_num;
    cq_push(qp->scq, e, nullptr);
    std::lock_guard lock(qp->slot_mtx);
    qp->free_slots.push_back(t.slot);
}

void drain_waiting(Qp *dst)
{
    std::shared_lock world_lock(world().mtx);
    for (;;) {
        Transfer t;
        {
            std::lock_guard lock(dst->rq_mtx);
            if (dst->waiting.empty() || dst->rq_count == 0)
                return;
            t = dst->waiting.front();
            dst->waiting.pop_front();
            dst->waiting_n.fetch_sub(1);
        }
        t.src->deferred.fetch_sub(1);
        const Outcome o = accept(dst, t);
        if (o.deferred)
            return;
        complete_send(t, o.status, o.vendor);
    }
}

void purge_sender_locked(Qp *qp, bool drop)
{
    if (qp->deferred.load() == 0)
        return;
    std::deque<Transfer> out;
    fabric().take_from(qp, out);
    for (auto &entry : world().qps) {
        Qp *peer = entry.second;
        std::lock_guard lock(peer->rq_mtx);
        for (auto it = peer->waiting.begin(); it != peer->waiting.end();) {
            if (it->src == qp) {
                out.push_back(*it);
                it = peer->waiting.erase(it);
                peer->waiting_n.fetch_sub(1);
            } else {
                ++it;
            }
        }
    }
    {
        // The QP may already be unroutable (being destroyed): its own queue.
        std::lock_guard lock(qp->rq_mtx);
        for (auto it = qp->waiting.begin(); it != qp->waiting.end();) {
            if (it->src == qp) {
                out.push_back(*it);
                it = qp->waiting.erase(it);
                qp->waiting_n.fetch_sub(1);
            } else {
                ++it;
            }
        }
    }
    for (const Transfer &t : out) {
        qp->deferred.fetch_sub(1);
        if (drop) {
            std::lock_guard lock(qp->slot_mtx);
            qp->free_slots.push_back(t.slot);
        } else {
            complete_send(t, IBV_WC_WR_FLUSH_ERR, kEfaFlushed);
        }
    }
}

void purge_receiver_locked(Qp *qp)
{
    std::deque<Transfer> out;
    {
        std::lock_guard lock(qp->rq_mtx);
        out.swap(qp->waiting);
        qp->waiting_n.store(0);
    }
    for (const Transfer &t : out) {
        t.src->deferred.fetch_sub(1);
        complete_send(t, IBV_WC_REM_INV_RD_REQ_ERR, kEfaRemoteBadDestQpn);
    }
}

void qp_flush(Qp *qp)
{
    std::unique_lock world_lock(world().mtx);
    {
        std::lock_guard lock(qp->rq_mtx);
        while (qp->rq_count) {
            const RecvWqe &r = qp->rq[qp->rq_head];
            Cqe e{};
            e.wr_id = r.wr_id;
            e.status = IBV_WC_WR_FLUSH_ERR;
            e.vendor_err = kEfaFlushed;
            e.opcode = IBV_WC_RECV;
            e.qp_num = qp->qpx.qp_base.qp_num;
            cq_push(qp->rcq, e, nullptr);
            qp->rq_head = (qp->rq_head + 1) % static_cast<uint32_t>(qp->rq.size());
            --qp->rq_count;
        }
    }
    purge_receiver_locked(qp);
    purge_sender_locked(qp, false);
}

}  // namespace vsim
