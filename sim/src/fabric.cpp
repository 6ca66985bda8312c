// The in-process fabric and the delivery rules of the device: routing,
// memory checks by key, data movement, RNR waiting and completions.
#include "fabric.hpp"

#include "ops.hpp"
#include "world.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <atomic>
#include <cstring>
#include <mutex>
#include <shared_mutex>

namespace vsim {

namespace {

// Host address of [addr, addr+len) under `key` in `pd`, or null.
[[gnu::always_inline]] inline unsigned char *resolve(Pd *pd, uint32_t key, uint64_t addr,
                                                     uint64_t len, int need)
{
    Mr *m = mr_find_locked(key);
    if (!m || m->pd != pd || (need && !(m->access & need))) {
        return nullptr;
    }
    if (addr < m->iova || addr - m->iova > m->len || len > m->len - (addr - m->iova)) {
        return nullptr;
    }
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
            if (++i < ns) {
                a = src(i);
            }
            oi = 0;
            continue;
        }
        if (oj == b.n) {
            if (++j < nd) {
                b = dst(j);
            }
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
        if (w->inl) {
            return {w->idata, w->inl_len};
        }
        const ibv_sge &s = w->sge[k];
        if (!s.length) {
            return {nullptr, 0};
        }
        return {resolve(qp->pd, s.lkey, s.addr, s.length, 0), s.length};
    }
};

inline Qp *find_qp(const ibv_gid &gid, uint32_t qpn)
{
    auto &qps = world().qps;
    auto it = qps.find(qpn);
    if (it == qps.end() || std::memcmp(it->second->gid.raw, gid.raw, 16) != 0) {
        return nullptr;
    }
    return it->second;
}

Qp *route(const SendWqe &w) { return find_qp(w.dgid, w.rqpn); }

// What the receiver reads of a request, wherever it came from: a request
// of this process is read in place from the sender's queue.
struct LocalMsg {
    const Qp *src;
    const SendWqe &w;
    int opcode() const { return w.opcode; }
    uint32_t imm() const { return w.imm; }
    uint32_t rkey() const { return w.rkey; }
    uint32_t rqkey() const { return w.rqkey; }
    uint64_t raddr() const { return w.raddr; }
    uint64_t len() const { return w.len; }
    uint32_t src_qpn() const { return src->qpx.qp_base.qp_num; }
    bool srd() const { return src->srd; }
    bool rnr_wait() const { return src->rnr_retry == 7; }
    const ibv_gid &sgid() const { return src->gid; }
};

struct RemoteMsg {
    const RemoteReq &r;
    int opcode() const { return r.opcode; }
    uint32_t imm() const { return r.imm; }
    uint32_t rkey() const { return r.rkey; }
    uint32_t rqkey() const { return r.rqkey; }
    uint64_t raddr() const { return r.raddr; }
    uint64_t len() const { return r.len; }
    uint32_t src_qpn() const { return r.src_qpn; }
    bool srd() const { return r.srd; }
    bool rnr_wait() const { return r.rnr_wait; }
    const ibv_gid &sgid() const { return r.sgid; }
};

template <class M>
void push_recv(Qp *dst, const M &m, uint64_t wr_id, uint8_t status, uint8_t vendor,
               uint32_t byte_len, bool unsolicited)
{
    const int op = m.opcode();
    const bool imm = op == IBV_WR_SEND_WITH_IMM || op == IBV_WR_RDMA_WRITE_WITH_IMM;
    Cqe e{};
    e.wr_id = wr_id;
    e.status = status;
    e.vendor_err = vendor;
    e.opcode = op == IBV_WR_RDMA_WRITE_WITH_IMM ? IBV_WC_RECV_RDMA_WITH_IMM : IBV_WC_RECV;
    e.byte_len = byte_len;
    e.imm = imm ? m.imm() : 0;
    e.wc_flags = imm ? IBV_WC_WITH_IMM : 0;
    e.qp_num = dst->qpx.qp_base.qp_num;
    e.src_qp = m.src_qpn();
    if (unsolicited) {
        e.flags |= kCqeUnsolicited;
    }
    if (dst->rcq->sgids && !dst->pd->has_ah_for(m.sgid())) {
        e.flags |= kCqeSgid;
    }
    cq_push(dst->rcq, e, &m.sgid());
}

// Receive buffers of `r` in `dst`'s PD; false when one is not writable.
[[gnu::always_inline]] inline bool recv_capacity(Qp *dst, const RecvWqe &r, uint64_t &cap)
{
    cap = 0;
    for (uint32_t k = 0; k < r.nsge; ++k) {
        const ibv_sge &s = r.sge[k];
        if (s.length && !resolve(dst->pd, s.lkey, s.addr, s.length, IBV_ACCESS_LOCAL_WRITE)) {
            return false;
        }
        cap += s.length;
    }
    return true;
}

// The delivery rules of the device, for a request from this process or
// another: `data` yields the payload's segments, `read_sink(p, n)` takes
// the remote memory an RDMA read returns, and `defer()` parks the request
// at `dst` (called with dst->rq_mtx held) until a receive is posted.
template <class M, class Data, class ReadSink, class Defer>
[[gnu::always_inline]] inline Outcome accept_msg(Qp *dst, const M &m, const Data &data,
                                                 ReadSink read_sink, Defer defer)
{
    const bool srd = m.srd();
    const int opcode = m.opcode();
    const uint64_t len = m.len();
    const Outcome ok{};
    const Outcome bad_qpn{IBV_WC_REM_INV_RD_REQ_ERR, kEfaRemoteBadDestQpn, false};
    const int st = dst->state.load();
    if (st != IBV_QPS_RTR && st != IBV_QPS_RTS && st != IBV_QPS_SQD) {
        return srd ? bad_qpn : ok;
    }
    if (m.rqkey() != dst->qkey || dst->srd != srd) {
        return srd ? bad_qpn : ok;
    }

    // Remote memory of an RDMA request.
    unsigned char *remote = nullptr;
    if (opcode == IBV_WR_RDMA_READ || opcode == IBV_WR_RDMA_WRITE ||
        opcode == IBV_WR_RDMA_WRITE_WITH_IMM) {
        const int need =
            opcode == IBV_WR_RDMA_READ ? IBV_ACCESS_REMOTE_READ : IBV_ACCESS_REMOTE_WRITE;
        remote = resolve(dst->pd, m.rkey(), m.raddr(), len, need);
        if (!remote && !(len == 0 && mr_find_locked(m.rkey()))) {
            return {IBV_WC_REM_ACCESS_ERR, kEfaRemoteBadAddress, false};
        }
    }
    if (opcode == IBV_WR_RDMA_READ) {
        read_sink(remote, len);
        return ok;
    }
    auto to_remote = [&](uint32_t) { return Seg{remote, len}; };
    if (opcode == IBV_WR_RDMA_WRITE) {
        copy_segs(data.count(), data, 1, to_remote);
        return ok;
    }
    if (opcode == IBV_WR_RDMA_WRITE_WITH_IMM && dst->unsolicited_write_recv) {
        copy_segs(data.count(), data, 1, to_remote);
        push_recv(dst, m, 0, IBV_WC_SUCCESS, kEfaOk, static_cast<uint32_t>(len), true);
        return ok;
    }

    // Everything else consumes a posted receive.
    RecvWqe r;
    {
        std::lock_guard lock(dst->rq_mtx);
        if (dst->rq_count == 0) {
            if (!srd) {
                return ok;  // datagram dropped
            }
            if (m.rnr_wait()) {
                defer();
                dst->waiting_n.fetch_add(1);
                return {IBV_WC_SUCCESS, kEfaOk, true};
            }
            return {IBV_WC_RNR_RETRY_EXC_ERR, kEfaRemoteRnr, false};
        }
        r = dst->rq[dst->rq_head];
        dst->rq_head = dst->rq_index(1);
        --dst->rq_count;
    }
    if (opcode == IBV_WR_RDMA_WRITE_WITH_IMM) {
        copy_segs(data.count(), data, 1, to_remote);
        push_recv(dst, m, r.wr_id, IBV_WC_SUCCESS, kEfaOk, static_cast<uint32_t>(len), false);
        return ok;
    }
    // A datagram's sender hears nothing of what happens at the receiver.
    uint64_t cap = 0;
    if (!recv_capacity(dst, r, cap)) {
        push_recv(dst, m, r.wr_id, IBV_WC_LOC_PROT_ERR, kEfaInvalidLkey, 0, false);
        return srd ? Outcome{IBV_WC_REM_OP_ERR, kEfaRemoteBadStatus, false} : ok;
    }
    // A UD receive buffer starts with room for a GRH, which the payload
    // follows and byte_len counts; SRD has no such prefix.
    const uint64_t prefix = srd ? 0 : kUdGrhBytes;
    if (len > cap || prefix > cap - len) {
        push_recv(dst, m, r.wr_id, IBV_WC_LOC_LEN_ERR, kEfaBadLength, 0, false);
        return srd ? Outcome{IBV_WC_REM_INV_REQ_ERR, kEfaRemoteBadLength, false} : ok;
    }
    if (!prefix) {
        copy_segs(data.count(), data, r.nsge, [&](uint32_t k) {
            const ibv_sge &s = r.sge[k];
            return Seg{s.length ? resolve(dst->pd, s.lkey, s.addr, s.length, 0) : nullptr,
                       s.length};
        });
        push_recv(dst, m, r.wr_id, IBV_WC_SUCCESS, kEfaOk, static_cast<uint32_t>(len), false);
        return ok;
    }
    // The entries the payload lands in: from entry `first`, `skip` bytes in.
    uint32_t first = 0;
    uint64_t skip = prefix;
    while (skip && skip >= r.sge[first].length) {
        skip -= r.sge[first++].length;
    }
    copy_segs(data.count(), data, r.nsge - first, [&](uint32_t k) {
        const ibv_sge &s = r.sge[first + k];
        const uint64_t off = k ? 0 : skip;
        return Seg{s.length > off ? resolve(dst->pd, s.lkey, s.addr, s.length, 0) + off : nullptr,
                   s.length - off};
    });
    push_recv(dst, m, r.wr_id, IBV_WC_SUCCESS, kEfaOk, static_cast<uint32_t>(prefix + len), false);
    return ok;
}

// A remote request's payload: one segment.
struct Bytes {
    const RemoteReq *r;
    uint32_t count() const { return 1; }
    Seg operator()(uint32_t) const { return {const_cast<unsigned char *>(r->data), r->data_len}; }
};

// A request for a GID that no device of this host has: the peer is on
// another host as far as the device can tell. Says once how processes
// reach each other, since the usual cause is a process given another host.
void note_unreachable()
{
    static std::atomic<bool> said{false};
    if (!said.exchange(true)) {
        std::fprintf(stderr,
                     "vantor simulator: a request went to a GID that no process of this host "
                     "has; processes reach each other when they name the same host "
                     "(VANTOR_SIM_HOST or vantor.sim.set_host; by default, all processes "
                     "of a user on one machine)\n");
    }
}

// Delivery within this process, and the delivery control tests use.
class InProcessFabric {
public:
    void submit(const Transfer &t)
    {
        // Delivery control is for tests; without it the fabric takes no lock.
        if (!controlled_.load(std::memory_order_acquire)) {
            deliver(t);
            return;
        }
        {
            std::lock_guard lock(mtx_);
            if (hold_ || reverse_n_ > 0) {
                held_.push_back(t);
                t.src->deferred.fetch_add(1);
                if (reverse_n_ > 0 && static_cast<int>(held_.size()) >= reverse_n_) {
                    reverse_n_ = 0;
                    controlled_.store(hold_);
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

    void take_from(Qp *qp, std::deque<Transfer> &out)
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
        controlled_.store(hold_ || reverse_n_ > 0);
    }

    void reverse_next(int n)
    {
        std::lock_guard lock(mtx_);
        reverse_n_ = n;
        controlled_.store(hold_ || reverse_n_ > 0);
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
            controlled_.store(false);
        }
        if (reverse) {
            std::reverse(out.begin(), out.end());
        }
        const int n = static_cast<int>(out.size());
        release_list(out);
        return n;
    }

    static void deliver(const Transfer &t)
    {
        SendWqe &w = t.src->sq[t.slot];
        Qp *dst = route(w);
        if (!dst) {
            Remote *r = remote();
            if (r && r->submit(t)) {
                return;  // the QP lives in another process
            }
            const bool known = gid_known(w.dgid);
            if (!known) {
                note_unreachable();
            }
            if (!t.src->srd) {
                complete_send(t, IBV_WC_SUCCESS, kEfaOk);  // datagram lost
            } else if (known) {
                complete_send(t, IBV_WC_REM_INV_RD_REQ_ERR, kEfaRemoteBadDestQpn);
            } else {
                complete_send(t, IBV_WC_REM_OP_ERR, kEfaUnknownPeer);
            }
            return;
        }
        const Outcome o = accept(dst, t);
        if (!o.deferred) {
            complete_send(t, o.status, o.vendor);
        }
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
    std::atomic<bool> controlled_{false};  // hold_ || reverse_n_ > 0
    bool hold_ = false;
    int reverse_n_ = 0;
    std::deque<Transfer> held_;
};

InProcessFabric &in_process()
{
    static InProcessFabric *f = new InProcessFabric;
    return *f;
}

std::atomic<Remote *> g_remote{nullptr};

}  // namespace

std::atomic<bool> g_remote_active{false};

void set_remote(Remote *r) { g_remote.store(r, std::memory_order_release); }
Remote *remote() { return g_remote.load(std::memory_order_acquire); }

void fabric_submit(const Transfer &t) { in_process().submit(t); }

void fabric_progress()
{
    if (Remote *r = remote()) {
        r->progress();
    }
}

bool fabric_wait(int fd)
{
    if (Remote *r = remote(); r && remote_active()) {
        return r->wait(fd);
    }
    pollfd p{fd, POLLIN, 0};
    int n;
    while ((n = ::poll(&p, 1, -1)) < 0 && errno == EINTR) {
    }
    return n >= 0;
}

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

Qp *route_local(const ibv_gid &gid, uint32_t qpn) { return find_qp(gid, qpn); }

[[gnu::noinline]] Outcome accept(Qp *dst, const Transfer &t)
{
    Qp *src = t.src;
    SendWqe &w = src->sq[t.slot];
    return accept_msg(
        dst, LocalMsg{src, w}, SenderData{src, &w},
        [&](unsigned char *remote, uint64_t len) {
            copy_segs(
                1, [&](uint32_t) { return Seg{remote, len}; }, w.nsge,
                [&](uint32_t k) {
                    const ibv_sge &s = w.sge[k];
                    return Seg{s.length ? resolve(src->pd, s.lkey, s.addr, s.length, 0) : nullptr,
                               s.length};
                });
        },
        [&] {
            dst->waiting.push_back(t);
            src->deferred.fetch_add(1);
        });
}

Outcome accept_remote(Qp *dst, RemoteReq &r, ReadSpan &read)
{
    return accept_msg(
        dst, RemoteMsg{r}, Bytes{&r},
        [&](unsigned char *mem, uint64_t len) {
            read.p = mem;
            read.len = mem ? len : 0;
        },
        [&] {
            auto *kept = new RemoteReq(std::move(r));
            kept->keep();
            dst->waiting.push_back(Transfer{nullptr, 0, kept});
        });
}

void gather_payload(const Transfer &t, unsigned char *out)
{
    SendWqe &w = t.src->sq[t.slot];
    const SenderData data{t.src, &w};
    copy_segs(data.count(), data, 1, [&](uint32_t) { return Seg{out, w.len}; });
}

bool scatter_read(const Transfer &t, const unsigned char *data, uint64_t len)
{
    return scatter_read_at(t, 0, data, len);
}

namespace {

// Calls fn(n, seg) with the request's local entries that bytes [off, off +
// len) of its data fall in (seg(k) the k-th of the n, from where those
// bytes start); false, calling nothing, when one of them is no longer
// registered with `need`.
template <class Fn>
bool local_range(const Transfer &t, uint64_t off, uint64_t len, int need, Fn fn)
{
    Qp *src = t.src;
    const SendWqe &w = src->sq[t.slot];
    uint32_t first = 0;
    uint64_t skip = off;
    while (first < w.nsge && skip >= w.sge[first].length) {
        skip -= w.sge[first++].length;
    }
    uint32_t last = first;
    for (uint64_t covered = 0; last < w.nsge && covered < skip + len; ++last) {
        const ibv_sge &s = w.sge[last];
        if (s.length && !resolve(src->pd, s.lkey, s.addr, s.length, need)) {
            return false;
        }
        covered += s.length;
    }
    fn(last - first, [&](uint32_t k) {
        const ibv_sge &s = w.sge[first + k];
        const uint64_t from = k == 0 ? skip : 0;
        unsigned char *p = s.length ? resolve(src->pd, s.lkey, s.addr, s.length, 0) : nullptr;
        return Seg{p ? p + from : nullptr, s.length - from};
    });
    return true;
}

}  // namespace

bool scatter_read_at(const Transfer &t, uint64_t off, const unsigned char *data, uint64_t len)
{
    const Seg in{const_cast<unsigned char *>(data), len};
    return local_range(t, off, len, IBV_ACCESS_LOCAL_WRITE, [&](uint32_t n, auto seg) {
        copy_segs(1, [&](uint32_t) { return in; }, n, seg);
    });
}

bool gather_payload_at(const Transfer &t, uint64_t off, unsigned char *out, uint64_t len)
{
    return local_range(t, off, len, 0, [&](uint32_t n, auto seg) {
        copy_segs(n, seg, 1, [&](uint32_t) { return Seg{out, len}; });
    });
}

const unsigned char *remote_read_span(Pd *pd, uint32_t rkey, uint64_t addr, uint64_t len)
{
    return resolve(pd, rkey, addr, len, IBV_ACCESS_REMOTE_READ);
}

void purge_sender_locked(Qp *qp, bool drop)
{
    if (qp->deferred.load() == 0) {
        return;
    }
    std::deque<Transfer> out;
    in_process().take_from(qp, out);
    if (Remote *r = remote()) {
        r->take_from(qp, out);
    }
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
            release_slot(qp, t.slot);
        } else {
            complete_send(t, IBV_WC_WR_FLUSH_ERR, kEfaFlushed);
        }
    }
}

}  // namespace vsim
