// Completion queues: the ring, classic and extended polling, notification,
// and libefa's view of a CQ.
#include "call.hpp"
#include "children.hpp"
#include "ops.hpp"
#include "fabric.hpp"
#include "world.hpp"

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

using namespace vsim;

namespace {

// Locks a CQ unless the calling thread already holds it for an open poll
// batch (so a thread that posts from inside a batch does not deadlock).
class CqLock {
public:
    explicit CqLock(Cq *cq) : cq_(cq)
    {
        locked_ = cq->owner.load(std::memory_order_relaxed) != self_id();
        if (locked_) {
            cq->mtx.lock();
        }
    }
    ~CqLock()
    {
        if (locked_) {
            cq_->mtx.unlock();
        }
    }
    CqLock(const CqLock &) = delete;
    CqLock &operator=(const CqLock &) = delete;

private:
    Cq *cq_;
    bool locked_;
};

inline const Cqe &current(Cq *cq) { return cq->ring[cq->cur & cq->mask]; }

// The provider processes an entry when a poll reaches it; for a send
// completion that frees the request's slot in its QP's send queue. (Every
// entry pushed sets its sender, so a consumed one needs no clearing.)
inline void consume(Cq *cq, uint64_t pos)
{
    if (Qp *s = cq->senders[pos & cq->mask]) {
        s->sq_unpolled.fetch_sub(1, std::memory_order_relaxed);
    }
}

bool in_batch(Cq *cq) { return cq->owner.load(std::memory_order_relaxed) == self_id(); }

void load_current(Cq *cq)
{
    const Cqe &e = current(cq);
    cq->cqx.wr_id = e.wr_id;
    cq->cqx.status = static_cast<ibv_wc_status>(e.status);
}

int op_start_poll(ibv_cq_ex *cqx, ibv_poll_cq_attr *attr)
{
    return hot_call<Fn::start_poll>([=](auto &call) {
        Cq *cq = to_cq(cqx);
        if (auto *l = call.log()) {
            l->u("cq", cqx->handle).u("comp_mask", attr ? attr->comp_mask : 0);
        }
        if (call.faulted()) {
            return static_cast<int>(call.fault_rc());
        }
        if (in_batch(cq)) {
            return call.rc(EINVAL);  // a batch is already open on this thread
        }
        if (attr && attr->comp_mask) {
            return call.rc(EINVAL);
        }
        cq->mtx.lock();
        if (cq->head == cq->tail) {
            cq->mtx.unlock();
            // Nothing yet: serve what other processes sent, then look again.
            if (!remote_active()) {
                return call.rc(ENOENT);
            }
            fabric_progress();
            cq->mtx.lock();
            if (cq->head == cq->tail) {
                cq->mtx.unlock();
                return call.rc(ENOENT);
            }
        }
        cq->owner.store(self_id(), std::memory_order_relaxed);
        cq->cur = cq->head;
        cq->cur_valid = true;
        consume(cq, cq->cur);
        load_current(cq);
        return call.rc(0);
    });
}

int op_next_poll(ibv_cq_ex *cqx)
{
    return hot_call<Fn::next_poll>([=](auto &call) {
        Cq *cq = to_cq(cqx);
        if (auto *l = call.log()) {
            l->u("cq", cqx->handle);
        }
        if (call.faulted()) {
            return static_cast<int>(call.fault_rc());
        }
        if (!in_batch(cq) || !cq->cur_valid) {
            return call.rc(EINVAL);
        }
        cq->head = cq->cur + 1;
        if (cq->head == cq->tail) {
            cq->cur_valid = false;
            return call.rc(ENOENT);
        }
        cq->cur = cq->head;
        consume(cq, cq->cur);
        load_current(cq);
        return call.rc(0);
    });
}

void op_end_poll(ibv_cq_ex *cqx)
{
    return hot_call<Fn::end_poll>([=](auto &call) {
        Cq *cq = to_cq(cqx);
        if (auto *l = call.log()) {
            l->u("cq", cqx->handle);
        }
        if (!in_batch(cq)) {
            return;
        }
        if (cq->cur_valid) {
            cq->head = cq->cur + 1;
        }
        cq->cur_valid = false;
        cq->doorbell = static_cast<uint32_t>(cq->head);
        cq->owner.store(0, std::memory_order_relaxed);
        cq->mtx.unlock();
    });
}

// The per-completion readers. Outside a batch they read as zero.
template <Fn F, class T, class Get>
T read_field(ibv_cq_ex *cqx, Get get)
{
    return hot_call<F>([=](auto &call) {
        Cq *cq = to_cq(cqx);
        if (call.faulted()) {
            return static_cast<T>(call.fault_rc());
        }
        if (!in_batch(cq) || !cq->cur_valid) {
            return T{};
        }
        const T v = static_cast<T>(get(current(cq)));
        if (auto *l = call.log()) {
            l->u("cq", cqx->handle).u("ret", static_cast<unsigned long long>(v));
        }
        return v;
    });
}

ibv_wc_opcode rd_opcode(ibv_cq_ex *c)
{
    return static_cast<ibv_wc_opcode>(
        read_field<Fn::read_opcode, unsigned>(c, [](const Cqe &e) { return e.opcode; }));
}
uint32_t rd_vendor_err(ibv_cq_ex *c)
{
    return read_field<Fn::read_vendor_err, uint32_t>(c, [](const Cqe &e) { return e.vendor_err; });
}
uint32_t rd_byte_len(ibv_cq_ex *c)
{
    return read_field<Fn::read_byte_len, uint32_t>(c, [](const Cqe &e) { return e.byte_len; });
}
__be32 rd_imm_data(ibv_cq_ex *c)
{
    return read_field<Fn::read_imm_data, uint32_t>(c, [](const Cqe &e) { return e.imm; });
}
uint32_t rd_qp_num(ibv_cq_ex *c)
{
    return read_field<Fn::read_qp_num, uint32_t>(c, [](const Cqe &e) { return e.qp_num; });
}
uint32_t rd_src_qp(ibv_cq_ex *c)
{
    return read_field<Fn::read_src_qp, uint32_t>(c, [](const Cqe &e) { return e.src_qp; });
}
unsigned rd_wc_flags(ibv_cq_ex *c)
{
    return read_field<Fn::read_wc_flags, unsigned>(c, [](const Cqe &e) { return e.wc_flags; });
}
uint32_t rd_slid(ibv_cq_ex *c)
{
    return read_field<Fn::read_slid, uint32_t>(c, [](const Cqe &) { return 0u; });
}
uint8_t rd_sl(ibv_cq_ex *c)
{
    return read_field<Fn::read_sl, uint8_t>(c, [](const Cqe &) { return 0u; });
}
uint8_t rd_dlid_path_bits(ibv_cq_ex *c)
{
    return read_field<Fn::read_dlid_path_bits, uint8_t>(c, [](const Cqe &) { return 0u; });
}

int efa_read_sgid(efadv_cq *ecq, ibv_gid *sgid)
{
    return hot_call<Fn::wc_read_sgid>([=](auto &call) {
        Cq *cq = to_cq(ecq);
        if (auto *l = call.log()) {
            l->u("cq", cq->cqx.handle);
        }
        if (call.faulted()) {
            return static_cast<int>(call.fault_rc());
        }
        if (!sgid || !in_batch(cq) || !cq->cur_valid) {
            return call.rc(-EINVAL);
        }
        if (!cq->sgids || !(current(cq).flags & kCqeSgid)) {
            return call.rc(-ENOENT);
        }
        *sgid = cq->sgids[cq->cur & cq->mask];
        if (auto *l = call.log()) {
            l->hex_bytes("gid", sgid->raw, 16);
        }
        return call.rc(0);
    });
}

bool efa_is_unsolicited(efadv_cq *ecq)
{
    return hot_call<Fn::wc_is_unsolicited>([=](auto &call) {
        Cq *cq = to_cq(ecq);
        if (call.faulted()) {
            return call.fault_rc() != 0;
        }
        const bool v = in_batch(cq) && cq->cur_valid && (current(cq).flags & kCqeUnsolicited);
        if (auto *l = call.log()) {
            l->u("cq", cq->cqx.handle).b("ret", v);
        }
        return v;
    });
}

void unsupported_tm_info(ibv_cq_ex *, ibv_wc_tm_info *tm) { std::memset(tm, 0, sizeof *tm); }
uint64_t zero64(ibv_cq_ex *) { return 0; }
uint16_t zero16(ibv_cq_ex *) { return 0; }
uint32_t zero32(ibv_cq_ex *) { return 0; }

void log_cq_attr(LogEntry *l, const ibv_cq_init_attr_ex &a)
{
    l->u("cqe", a.cqe)
        .x("cq_context", reinterpret_cast<uintptr_t>(a.cq_context))
        .i("channel", a.channel ? a.channel->fd : -1)
        .u("comp_vector", a.comp_vector)
        .x("wc_flags", a.wc_flags)
        .x("comp_mask", a.comp_mask)
        .x("flags", a.flags);
}

void log_cq_ret(LogEntry *l, const Cq *cq)
{
    if (l) {
        l->u("ret", cq->cqx.handle).i("cqe_granted", cq->cqx.cqe);
    }
}

}  // namespace

namespace vsim {

void install_cq_ops(Cq *cq)
{
    ibv_cq_ex &x = cq->cqx;
    x.start_poll = op_start_poll;
    x.next_poll = op_next_poll;
    x.end_poll = op_end_poll;
    x.read_opcode = rd_opcode;
    x.read_vendor_err = rd_vendor_err;
    x.read_byte_len = rd_byte_len;
    x.read_imm_data = rd_imm_data;
    x.read_qp_num = rd_qp_num;
    x.read_src_qp = rd_src_qp;
    x.read_wc_flags = rd_wc_flags;
    x.read_slid = rd_slid;
    x.read_sl = rd_sl;
    x.read_dlid_path_bits = rd_dlid_path_bits;
    x.read_completion_ts = zero64;
    x.read_cvlan = zero16;
    x.read_flow_tag = zero32;
    x.read_tm_info = unsupported_tm_info;
    x.read_completion_wallclock_ns = zero64;
    cq->ecq.comp_mask = 0;
    cq->ecq.wc_read_sgid = efa_read_sgid;
    cq->ecq.wc_is_unsolicited = efa_is_unsolicited;
}

Cq *create_cq_common(Context *c, const ibv_cq_init_attr_ex &attr, uint64_t efa_flags, int &err)
{
    const DeviceConfig &cfg = c->dev->cfg;
    if (attr.cqe < 1 || static_cast<int64_t>(attr.cqe) > cfg.dattr.max_cqe ||
        attr.comp_vector >= static_cast<uint32_t>(cfg.num_comp_vectors) ||
        (attr.channel && attr.channel->context != pub(c))) {
        err = EINVAL;
        return nullptr;
    }
    if (c->dev->n_cq.fetch_add(1) >= cfg.dattr.max_cq) {
        c->dev->n_cq.fetch_sub(1);
        err = ENOMEM;
        return nullptr;
    }
    auto *cq = new (std::nothrow) Cq;
    const uint32_t n = std::bit_ceil(attr.cqe);
    if (cq) {
        cq->ring =
            static_cast<Cqe *>(std::aligned_alloc(4096, ((n * sizeof(Cqe) + 4095) / 4096) * 4096));
        cq->senders = static_cast<Qp **>(std::calloc(n, sizeof(Qp *)));
        if (efa_flags & EFADV_WC_EX_WITH_SGID) {
            cq->sgids = static_cast<ibv_gid *>(std::calloc(n, sizeof(ibv_gid)));
        }
    }
    if (!cq || !cq->ring || !cq->senders || ((efa_flags & EFADV_WC_EX_WITH_SGID) && !cq->sgids)) {
        if (cq) {
            std::free(cq->ring);
            std::free(cq->senders);
            std::free(cq->sgids);
        }
        delete cq;
        c->dev->n_cq.fetch_sub(1);
        err = ENOMEM;
        return nullptr;
    }
    std::memset(cq->ring, 0, n * sizeof(Cqe));
    cq->ctx = c;
    cq->chan = attr.channel ? to_chan(attr.channel) : nullptr;
    cq->wc_flags = attr.wc_flags;
    cq->efa_flags = efa_flags;
    cq->num_entries = n;
    cq->mask = n - 1;
    ibv_cq_ex &x = cq->cqx;
    std::memset(static_cast<void *>(&x), 0, sizeof x);
    x.context = pub(c);
    x.channel = attr.channel;
    x.cq_context = attr.cq_context;
    x.handle = world().next_handle.fetch_add(1);
    x.cqe = static_cast<int>(n);
    pthread_mutex_init(&x.mutex, nullptr);
    pthread_cond_init(&x.cond, nullptr);
    install_cq_ops(cq);
    if (cq->chan) {
        cq->chan->cqs.fetch_add(1);
    }
    {
        std::lock_guard lock(world().obj_mtx);
        world().cqs.emplace(x.handle, cq);
    }
    c->children.fetch_add(1);
    live_add(Kind::Cq, 1);
    adopt(c, Kind::Cq, cq);
    return cq;
}

ibv_cq_ex *op_create_cq_ex(ibv_context *context, ibv_cq_init_attr_ex *attr)
{
    Call call(Fn::create_cq_ex);
    if (auto *l = call.log()) {
        l->u("ctx", ctx_id(context));
        if (attr) {
            log_cq_attr(l, *attr);
        }
    }
    if (call.faulted()) {
        return call.fault_null<ibv_cq_ex>();
    }
    if (!context || !attr) {
        return call.null<ibv_cq_ex>(EINVAL);
    }
    if ((attr->comp_mask & ~static_cast<uint32_t>(IBV_CQ_INIT_ATTR_MASK_FLAGS)) ||
        (attr->flags & ~static_cast<uint32_t>(IBV_CREATE_CQ_ATTR_SINGLE_THREADED)) ||
        (attr->wc_flags & ~static_cast<uint64_t>(IBV_WC_STANDARD_FLAGS))) {
        return call.null<ibv_cq_ex>(EOPNOTSUPP);
    }
    int err = 0;
    Cq *cq = create_cq_common(to_ctx(context), *attr, 0, err);
    if (!cq) {
        return call.null<ibv_cq_ex>(err);
    }
    log_cq_ret(call.log(), cq);
    return &cq->cqx;
}

void cq_wait_for_pollers(Cq *cq) { CqLock lock(cq); }

void cq_forget_sender(Cq *cq, Qp *qp)
{
    CqLock lock(cq);
    for (uint64_t k = cq->head; k != cq->tail; ++k) {
        if (cq->senders[k & cq->mask] == qp) {
            cq->senders[k & cq->mask] = nullptr;
        }
    }
}

void cq_push(Cq *cq, const Cqe &e, const ibv_gid *sgid, Qp *sender)
{
    bool notify = false, overflow = false;
    {
        CqLock lock(cq);
        if (cq->tail - cq->head >= cq->num_entries) {
            // The entry is lost and its slot stays taken: the CQ is in error.
            overflow = !cq->overflowed;
            cq->overflowed = true;
        } else {
            const uint64_t slot = cq->tail & cq->mask;
            cq->ring[slot] = e;
            cq->senders[slot] = sender;
            if (sgid && cq->sgids) {
                cq->sgids[slot] = *sgid;
            }
            ++cq->tail;
            if (cq->armed && cq->chan) {
                cq->armed = false;
                notify = true;
            }
        }
    }
    if (notify) {
        cq->chan->events.push(cq);
    }
    if (overflow) {
        cq_raise_async(cq, IBV_EVENT_CQ_ERR);
    }
}

int op_poll_cq(ibv_cq *ibcq, int n, ibv_wc *wc)
{
    return hot_call<Fn::poll_cq>([=](auto &call) {
        if (auto *l = call.log()) {
            l->u("cq", ibcq ? ibcq->handle : 0).i("num_entries", n);
        }
        if (call.faulted()) {
            return static_cast<int>(call.fault_rc());
        }
        if (!ibcq || n < 0 || (n > 0 && !wc)) {
            return call.rc(-EINVAL);
        }
        Cq *cq = to_cq(ibcq);
        int got = 0;
        for (int round = 0; round < 2; ++round) {
            if (round) {
                // Nothing yet: serve what other processes sent, then look again.
                if (got || !n || !remote_active()) {
                    break;
                }
                fabric_progress();
            }
            CqLock lock(cq);
            while (got < n && cq->head != cq->tail) {
                consume(cq, cq->head);
                const Cqe &e = cq->ring[cq->head & cq->mask];
                ibv_wc &w = wc[got++];
                w.wr_id = e.wr_id;
                w.status = static_cast<ibv_wc_status>(e.status);
                w.opcode = static_cast<ibv_wc_opcode>(e.opcode);
                w.vendor_err = e.vendor_err;
                w.byte_len = e.byte_len;
                w.imm_data = e.imm;
                w.qp_num = e.qp_num;
                w.src_qp = e.src_qp;
                w.wc_flags = e.wc_flags;
                w.pkey_index = 0;
                w.slid = 0;
                w.sl = 0;
                w.dlid_path_bits = 0;
                ++cq->head;
            }
            cq->doorbell = static_cast<uint32_t>(cq->head);
        }
        return call.rc(got);
    });
}

int op_req_notify_cq(ibv_cq *ibcq, int solicited_only)
{
    Call call(Fn::req_notify_cq);
    if (auto *l = call.log()) {
        l->u("cq", ibcq ? ibcq->handle : 0).i("solicited_only", solicited_only);
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!ibcq) {
        return call.rc(EINVAL);
    }
    Cq *cq = to_cq(ibcq);
    CqLock lock(cq);
    cq->armed = true;
    return call.rc(0);
}

}  // namespace vsim

VSIM_API ibv_cq *ibv_create_cq(ibv_context *context, int cqe, void *cq_context,
                               ibv_comp_channel *channel, int comp_vector)
{
    Call call(Fn::ibv_create_cq);
    if (auto *l = call.log()) {
        l->u("ctx", ctx_id(context))
            .i("cqe", cqe)
            .x("cq_context", reinterpret_cast<uintptr_t>(cq_context))
            .i("channel", channel ? channel->fd : -1)
            .i("comp_vector", comp_vector);
    }
    if (call.faulted()) {
        return call.fault_null<ibv_cq>();
    }
    if (!context || cqe < 1 || comp_vector < 0) {
        return call.null<ibv_cq>(EINVAL);
    }
    ibv_cq_init_attr_ex a{};
    a.cqe = static_cast<uint32_t>(cqe);
    a.cq_context = cq_context;
    a.channel = channel;
    a.comp_vector = static_cast<uint32_t>(comp_vector);
    a.wc_flags = IBV_WC_STANDARD_FLAGS;
    int err = 0;
    Cq *cq = create_cq_common(to_ctx(context), a, 0, err);
    if (!cq) {
        return call.null<ibv_cq>(err);
    }
    log_cq_ret(call.log(), cq);
    return reinterpret_cast<ibv_cq *>(&cq->cqx);
}

VSIM_API int ibv_destroy_cq(ibv_cq *ibcq)
{
    Call call(Fn::ibv_destroy_cq);
    if (auto *l = call.log()) {
        l->u("cq", ibcq ? ibcq->handle : 0);
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!ibcq) {
        return call.rc(EINVAL);
    }
    Cq *cq = to_cq(ibcq);
    if (cq->qps.load() > 0) {
        return call.rc(EBUSY);
    }
    if (cq->chan) {
        cq->chan->events.remove_if([cq](Cq *c) { return c == cq; });
    }
    drop_async_events(cq->ctx, ibcq);
    if (!cq->tally.wait_settled()) {
        std::fprintf(stderr,
                     "vantor simulator: ibv_destroy_cq: events of CQ %u were never "
                     "acknowledged; giving up (EBUSY)\n",
                     ibcq->handle);
        return call.rc(EBUSY);
    }
    {
        std::lock_guard lock(world().obj_mtx);
        world().cqs.erase(ibcq->handle);
    }
    {
        std::lock_guard lock(cq->mtx);
    }  // let a poll on another thread finish
    if (cq->chan) {
        cq->chan->cqs.fetch_sub(1);
    }
    cq->ctx->children.fetch_sub(1);
    cq->ctx->dev->n_cq.fetch_sub(1);
    pthread_mutex_destroy(&cq->cqx.mutex);
    pthread_cond_destroy(&cq->cqx.cond);
    std::free(cq->ring);
    std::free(cq->senders);
    std::free(cq->sgids);
    disown(cq->ctx, Kind::Cq, cq);
    delete cq;
    live_add(Kind::Cq, -1);
    return call.rc(0);
}

VSIM_API ibv_cq_ex *vsim_efa_create_cq(ibv_context *context, ibv_cq_init_attr_ex *attr,
                                       efadv_cq_init_attr *efa_attr, uint32_t inlen)
{
    Call call(Fn::efadv_create_cq);
    if (auto *l = call.log()) {
        l->u("ctx", ctx_id(context));
        if (attr) {
            log_cq_attr(l, *attr);
        }
        if (efa_attr) {
            l->x("efa_comp_mask", efa_attr->comp_mask).x("efa_wc_flags", efa_attr->wc_flags);
        }
        l->u("inlen", inlen);
    }
    if (call.faulted()) {
        return call.fault_null<ibv_cq_ex>();
    }
    if (!context || !attr || !efa_attr) {
        return call.null<ibv_cq_ex>(EINVAL);
    }
    Context *c = to_ctx(context);
    const DeviceConfig &cfg = c->dev->cfg;
    if (!cfg.efa) {
        return call.null<ibv_cq_ex>(EOPNOTSUPP);
    }
    if (inlen < sizeof(efadv_cq_init_attr) || efa_attr->comp_mask) {
        return call.null<ibv_cq_ex>(EINVAL);
    }
    for (uint32_t k = sizeof(efadv_cq_init_attr); k < inlen; ++k) {
        if (reinterpret_cast<const unsigned char *>(efa_attr)[k]) {
            return call.null<ibv_cq_ex>(EINVAL);
        }
    }
    if ((attr->comp_mask & ~static_cast<uint32_t>(IBV_CQ_INIT_ATTR_MASK_FLAGS)) ||
        (attr->flags & ~static_cast<uint32_t>(IBV_CREATE_CQ_ATTR_SINGLE_THREADED)) ||
        (attr->wc_flags & ~static_cast<uint64_t>(IBV_WC_STANDARD_FLAGS))) {
        return call.null<ibv_cq_ex>(EOPNOTSUPP);
    }
    const uint64_t ef = efa_attr->wc_flags;
    if ((ef & ~static_cast<uint64_t>(EFADV_WC_EX_WITH_SGID | EFADV_WC_EX_WITH_IS_UNSOLICITED)) ||
        ((ef & EFADV_WC_EX_WITH_SGID) &&
         !(cfg.eattr.device_caps & EFADV_DEVICE_ATTR_CAPS_CQ_WITH_SGID)) ||
        ((ef & EFADV_WC_EX_WITH_IS_UNSOLICITED) &&
         !(cfg.eattr.device_caps & EFADV_DEVICE_ATTR_CAPS_UNSOLICITED_WRITE_RECV))) {
        return call.null<ibv_cq_ex>(EOPNOTSUPP);
    }
    int err = 0;
    Cq *cq = create_cq_common(c, *attr, ef, err);
    if (!cq) {
        return call.null<ibv_cq_ex>(err);
    }
    log_cq_ret(call.log(), cq);
    return &cq->cqx;
}

VSIM_API efadv_cq *vsim_efa_cq_from_ibv_cq_ex(ibv_cq_ex *cqx)
{
    Call call(Fn::efadv_cq_from_ibv_cq_ex);
    if (auto *l = call.log()) {
        l->u("cq", cqx ? cqx->handle : 0);
    }
    if (call.faulted()) {
        return call.fault_null<efadv_cq>();
    }
    if (!cqx) {
        return call.null<efadv_cq>(EINVAL);
    }
    Cq *cq = to_cq(cqx);
    if (!cq->ctx->dev->cfg.efa) {
        return call.null<efadv_cq>(EOPNOTSUPP);
    }
    return &cq->ecq;
}

VSIM_API int vsim_efa_query_cq(ibv_cq *ibcq, efadv_cq_attr *attr, uint32_t inlen)
{
    Call call(Fn::efadv_query_cq);
    if (auto *l = call.log()) {
        l->u("cq", ibcq ? ibcq->handle : 0).u("inlen", inlen);
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!ibcq || !attr) {
        return call.rc(EINVAL);
    }
    Cq *cq = to_cq(ibcq);
    if (!cq->ctx->dev->cfg.efa) {
        return call.rc(EOPNOTSUPP);
    }
    efadv_cq_attr out{};
    out.buffer = reinterpret_cast<uint8_t *>(cq->ring);
    out.entry_size = sizeof(Cqe);
    out.num_entries = cq->num_entries;
    out.doorbell = &cq->doorbell;
    std::memcpy(attr, &out, inlen < sizeof out ? inlen : sizeof out);
    return call.rc(0);
}
