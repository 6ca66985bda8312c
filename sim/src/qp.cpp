// Queue pairs: creation through both paths, the state machine, queries and
// destruction.
#include "call.hpp"
#include "children.hpp"
#include "fabric.hpp"
#include "ops.hpp"
#include "transport.hpp"
#include "world.hpp"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

using namespace vsim;

namespace {

void log_init_attr(LogEntry *l, const ibv_qp_init_attr_ex &a)
{
    l->x("qp_context", reinterpret_cast<uintptr_t>(a.qp_context))
        .u("send_cq", a.send_cq ? a.send_cq->handle : 0)
        .u("recv_cq", a.recv_cq ? a.recv_cq->handle : 0)
        .b("srq", a.srq != nullptr)
        .u("max_send_wr", a.cap.max_send_wr)
        .u("max_recv_wr", a.cap.max_recv_wr)
        .u("max_send_sge", a.cap.max_send_sge)
        .u("max_recv_sge", a.cap.max_recv_sge)
        .u("max_inline_data", a.cap.max_inline_data)
        .i("qp_type", a.qp_type)
        .i("sq_sig_all", a.sq_sig_all)
        .x("comp_mask", a.comp_mask)
        .u("pd", a.pd ? a.pd->handle : 0)
        .x("create_flags", a.create_flags)
        .x("send_ops_flags", a.send_ops_flags);
}

uint64_t supported_send_ops(const DeviceConfig &cfg, bool srd)
{
    uint64_t ops = IBV_QP_EX_WITH_SEND | IBV_QP_EX_WITH_SEND_WITH_IMM;
    if (srd && (cfg.eattr.device_caps & EFADV_DEVICE_ATTR_CAPS_RDMA_READ)) {
        ops |= IBV_QP_EX_WITH_RDMA_READ;
    }
    if (srd && (cfg.eattr.device_caps & EFADV_DEVICE_ATTR_CAPS_RDMA_WRITE)) {
        ops |= IBV_QP_EX_WITH_RDMA_WRITE | IBV_QP_EX_WITH_RDMA_WRITE_WITH_IMM;
    }
    return ops;
}

// Allowed and required attribute masks per transition (UD-style QPs, with
// RNR_RETRY as EFA adds it). Indexed [current][next].
struct Rule {
    bool valid;
    int req;
    int opt;
};

constexpr int kCur = IBV_QP_CUR_STATE;
const Rule kRules[7][7] = {
    /* RESET */ {{true, 0, 0},
                 {true, IBV_QP_PKEY_INDEX | IBV_QP_PORT | IBV_QP_QKEY, 0},
                 {},
                 {},
                 {},
                 {},
                 {true, 0, 0}},
    /* INIT */
    {{true, 0, 0},
     {true, 0, IBV_QP_PKEY_INDEX | IBV_QP_PORT | IBV_QP_QKEY},
     {true, 0, IBV_QP_PKEY_INDEX | IBV_QP_QKEY},
     {},
     {},
     {},
     {true, 0, 0}},
    /* RTR */
    {{true, 0, 0},
     {},
     {},
     {true, IBV_QP_SQ_PSN, kCur | IBV_QP_QKEY | IBV_QP_RNR_RETRY},
     {},
     {},
     {true, 0, 0}},
    /* RTS */
    {{true, 0, 0},
     {},
     {},
     {true, 0, kCur | IBV_QP_QKEY | IBV_QP_RNR_RETRY},
     {true, 0, IBV_QP_EN_SQD_ASYNC_NOTIFY},
     {},
     {true, 0, 0}},
    /* SQD */
    {{true, 0, 0},
     {},
     {},
     {true, 0, kCur | IBV_QP_QKEY},
     {true, 0, IBV_QP_PKEY_INDEX | IBV_QP_QKEY},
     {},
     {true, 0, 0}},
    /* SQE */ {{true, 0, 0}, {}, {}, {true, 0, kCur | IBV_QP_QKEY}, {}, {}, {true, 0, 0}},
    /* ERR */ {{true, 0, 0}, {}, {}, {}, {}, {}, {true, 0, 0}},
};

// Drops everything queued on a QP going back to RESET, without completions.
void qp_reset(Qp *qp)
{
    {
        std::unique_lock world_lock(world().mtx);
        purge_receiver_locked(qp);
        purge_sender_locked(qp, true);
        std::lock_guard lock(qp->rq_mtx);
        qp->rq_head = 0;
        qp->rq_count = 0;
    }
    // The send queue starts empty again. Outside the world lock: a poller
    // holds its CQ's lock while it posts.
    cq_forget_sender(qp->scq, qp);
    qp->sq_unpolled.store(0);
}

int attr_query(Qp *qp, ibv_qp_attr *attr, ibv_qp_init_attr *init)
{
    if (attr) {
        std::memset(attr, 0, sizeof *attr);
        attr->qp_state = static_cast<ibv_qp_state>(qp->state.load());
        attr->cur_qp_state = attr->qp_state;
        attr->qkey = qp->qkey;
        attr->sq_psn = qp->sq_psn;
        attr->port_num = qp->port;
        attr->pkey_index = qp->pkey_index;
        attr->rnr_retry = qp->rnr_retry;
        attr->cap = qp->cap;
        attr->path_mtu = IBV_MTU_4096;
    }
    if (init) {
        std::memset(init, 0, sizeof *init);
        init->qp_context = qp->qpx.qp_base.qp_context;
        init->send_cq = qp->qpx.qp_base.send_cq;
        init->recv_cq = qp->qpx.qp_base.recv_cq;
        init->cap = qp->cap;
        init->qp_type = qp->qpx.qp_base.qp_type;
        init->sq_sig_all = qp->sig_all;
    }
    return 0;
}

// What a creation request asks for, once checked.
struct QpKind {
    bool srd = false;
    bool extended = false;
    bool unsolicited = false;
    uint8_t sl = 0;
};

// Checks the request against the device; 0, or the errno to fail with.
int check_create(Context *c, const ibv_qp_init_attr_ex *attr, const efadv_qp_init_attr *efa,
                 bool through_efadv, QpKind &k)
{
    const DeviceConfig &cfg = c->dev->cfg;
    if (!attr || !(attr->comp_mask & IBV_QP_INIT_ATTR_PD) || !attr->pd) {
        return EINVAL;
    }
    if (attr->comp_mask &
        ~static_cast<uint32_t>(IBV_QP_INIT_ATTR_PD | IBV_QP_INIT_ATTR_SEND_OPS_FLAGS)) {
        return EOPNOTSUPP;
    }
    if (!attr->send_cq || !attr->recv_cq || attr->srq) {
        return EINVAL;
    }
    if (attr->pd->context != pub(c) || attr->send_cq->context != pub(c) ||
        attr->recv_cq->context != pub(c)) {
        return EINVAL;
    }

    if (attr->qp_type == IBV_QPT_UD) {
        k.srd = false;
    } else if (attr->qp_type == IBV_QPT_DRIVER && through_efadv &&
               efa->driver_qp_type == EFADV_QP_DRIVER_TYPE_SRD) {
        k.srd = true;
    } else {
        return EOPNOTSUPP;
    }
    k.extended = attr->comp_mask & IBV_QP_INIT_ATTR_SEND_OPS_FLAGS;
    if (k.extended && (attr->send_ops_flags & ~supported_send_ops(cfg, k.srd))) {
        return EOPNOTSUPP;
    }
    const ibv_qp_cap &cap = attr->cap;
    if (cap.max_send_wr > cfg.eattr.max_sq_wr ||
        cap.max_send_wr > static_cast<uint32_t>(cfg.dattr.max_qp_wr) ||
        cap.max_recv_wr > cfg.eattr.max_rq_wr || cap.max_send_sge > cfg.eattr.max_sq_sge ||
        cap.max_recv_sge > cfg.eattr.max_rq_sge ||
        cap.max_inline_data > cfg.eattr.inline_buf_size) {
        return EINVAL;
    }
    if (through_efadv) {
        if (efa->flags & ~static_cast<uint16_t>(EFADV_QP_FLAGS_UNSOLICITED_WRITE_RECV)) {
            return EOPNOTSUPP;
        }
        k.unsolicited = efa->flags & EFADV_QP_FLAGS_UNSOLICITED_WRITE_RECV;
        if (k.unsolicited &&
            !(cfg.eattr.device_caps & EFADV_DEVICE_ATTR_CAPS_UNSOLICITED_WRITE_RECV)) {
            return EOPNOTSUPP;
        }
        k.sl = efa->sl;
    }
    return 0;
}

// Sizes the queues; false when memory runs out.
bool alloc_queues(Qp *qp, const ibv_qp_cap &cap)
{
    try {
        const uint32_t sq_n = cap.max_send_wr ? cap.max_send_wr : 1;
        const uint32_t sq_sge = cap.max_send_sge ? cap.max_send_sge : 1;
        const uint32_t inl = cap.max_inline_data ? cap.max_inline_data : 1;
        const uint32_t rq_n = cap.max_recv_wr ? cap.max_recv_wr : 1;
        const uint32_t rq_sge = cap.max_recv_sge ? cap.max_recv_sge : 1;
        qp->sq.resize(sq_n);
        qp->sq_sges.resize(std::size_t{sq_n} * sq_sge);
        qp->sq_inline.resize(std::size_t{sq_n} * inl);
        qp->free_slots.reserve(sq_n);
        qp->returned.reserve(sq_n);
        for (uint32_t k = sq_n; k-- > 0;) {
            qp->sq[k].sge = &qp->sq_sges[std::size_t{k} * sq_sge];
            qp->sq[k].idata = &qp->sq_inline[std::size_t{k} * inl];
            qp->free_slots.push_back(k);
        }
        qp->batch.reserve(sq_n);
        qp->rq.resize(rq_n);
        qp->rq_sges.resize(std::size_t{rq_n} * rq_sge);
        for (uint32_t k = 0; k < rq_n; ++k) {
            qp->rq[k].sge = &qp->rq_sges[std::size_t{k} * rq_sge];
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    // A zero-length queue is allowed; no request can then be posted on it.
    if (cap.max_send_wr == 0) {
        qp->free_slots.clear();
    }
    return true;
}

// Gives the QP its number and makes it reachable. Numbers carry this
// process's slot, so they are unique on the host; the local part wraps
// around, skipping numbers still in use.
void publish(Qp *qp, uint32_t qpn_base)
{
    ibv_qp &q = qp->qpx.qp_base;
    std::unique_lock lock(world().mtx);
    auto &qps = world().qps;
    do {
        uint32_t local = world().next_qpn.fetch_add(1) & kQpnLocalMask;
        if (local < 0x10) {
            world().next_qpn.store(0x11);
            local = 0x10;
        }
        q.qp_num = qpn_base | local;
    } while (qps.count(q.qp_num));
    qps.emplace(q.qp_num, qp);
}

}  // namespace

namespace vsim {

ibv_qp_init_attr_ex extended_init_attr(ibv_pd *pd, const ibv_qp_init_attr &attr)
{
    ibv_qp_init_attr_ex ex{};
    ex.qp_context = attr.qp_context;
    ex.send_cq = attr.send_cq;
    ex.recv_cq = attr.recv_cq;
    ex.srq = attr.srq;
    ex.cap = attr.cap;
    ex.qp_type = attr.qp_type;
    ex.sq_sig_all = attr.sq_sig_all;
    ex.comp_mask = IBV_QP_INIT_ATTR_PD;
    ex.pd = pd;
    return ex;
}

ibv_qp *create_qp_common(Context *c, ibv_qp_init_attr_ex *attr, const efadv_qp_init_attr *efa,
                         bool through_efadv, int &err)
{
    const DeviceConfig &cfg = c->dev->cfg;
    QpKind k;
    err = check_create(c, attr, efa, through_efadv, k);
    if (err) {
        return nullptr;
    }
    const uint32_t qpn_base = static_cast<uint32_t>(xproc_slot()) << kQpnLocalBits;
    if (c->dev->n_qp.fetch_add(1) >= cfg.dattr.max_qp) {
        c->dev->n_qp.fetch_sub(1);
        err = ENOMEM;
        return nullptr;
    }
    auto *qp = new (std::nothrow) Qp;
    if (!qp || !alloc_queues(qp, attr->cap)) {
        delete qp;
        c->dev->n_qp.fetch_sub(1);
        err = ENOMEM;
        return nullptr;
    }
    qp->pd = to_pd(attr->pd);
    qp->ctx = c;
    qp->scq = to_cq(attr->send_cq);
    qp->rcq = to_cq(attr->recv_cq);
    qp->srd = k.srd;
    qp->extended = k.extended;
    qp->send_ops = k.extended ? attr->send_ops_flags : 0;
    qp->sig_all = attr->sq_sig_all != 0;
    qp->unsolicited_write_recv = k.unsolicited;
    qp->sl = k.sl;
    qp->cap = attr->cap;
    qp->gid = cfg.gid;

    std::memset(static_cast<void *>(&qp->qpx), 0, sizeof qp->qpx);
    ibv_qp &q = qp->qpx.qp_base;
    q.context = pub(c);
    q.qp_context = attr->qp_context;
    q.pd = attr->pd;
    q.send_cq = attr->send_cq;
    q.recv_cq = attr->recv_cq;
    q.handle = world().next_handle.fetch_add(1);
    q.state = IBV_QPS_RESET;
    q.qp_type = attr->qp_type;
    pthread_mutex_init(&q.mutex, nullptr);
    pthread_cond_init(&q.cond, nullptr);
    install_qp_ops(qp);
    publish(qp, qpn_base);
    qp->scq->qps.fetch_add(1);
    qp->rcq->qps.fetch_add(1);
    qp->pd->qps.fetch_add(1);
    live_add(Kind::Qp, 1);
    adopt(c, Kind::Qp, qp);
    return &q;
}

ibv_qp *create_qp_for(Call &call, Context *c, ibv_qp_init_attr_ex *attr,
                      const efadv_qp_init_attr *efa, bool through_efadv)
{
    int err = 0;
    ibv_qp *qp = create_qp_common(c, attr, efa, through_efadv, err);
    if (!qp) {
        return call.null<ibv_qp>(err);
    }
    if (auto *l = call.log()) {
        l->u("ret", qp->qp_num);
    }
    return qp;
}

ibv_qp *op_create_qp_ex(ibv_context *context, ibv_qp_init_attr_ex *attr)
{
    Call call(Fn::create_qp_ex);
    if (auto *l = call.log()) {
        l->u("ctx", ctx_id(context));
        if (attr) {
            log_init_attr(l, *attr);
        }
    }
    if (call.faulted()) {
        return call.fault_null<ibv_qp>();
    }
    if (!context) {
        return call.null<ibv_qp>(EINVAL);
    }
    return create_qp_for(call, to_ctx(context), attr, nullptr, false);
}

}  // namespace vsim

VSIM_API ibv_qp *vsim_efa_create_qp_ex(ibv_context *context, ibv_qp_init_attr_ex *attr,
                                       efadv_qp_init_attr *efa_attr, uint32_t inlen)
{
    Call call(Fn::efadv_create_qp_ex);
    if (auto *l = call.log()) {
        l->u("ctx", ctx_id(context));
        if (attr) {
            log_init_attr(l, *attr);
        }
        if (efa_attr) {
            l->x("efa_comp_mask", efa_attr->comp_mask)
                .u("driver_qp_type", efa_attr->driver_qp_type)
                .x("efa_flags", efa_attr->flags)
                .u("sl", efa_attr->sl);
        }
        l->u("inlen", inlen);
    }
    if (call.faulted()) {
        return call.fault_null<ibv_qp>();
    }
    if (!context || !efa_attr) {
        return call.null<ibv_qp>(EINVAL);
    }
    if (!to_ctx(context)->dev->cfg.efa) {
        return call.null<ibv_qp>(EOPNOTSUPP);
    }
    // Fields beyond `inlen` count as zero; bytes past the known record must be.
    efadv_qp_init_attr efa{};
    if (inlen < offsetof(efadv_qp_init_attr, flags)) {
        return call.null<ibv_qp>(EINVAL);
    }
    std::memcpy(&efa, efa_attr, inlen < sizeof efa ? inlen : sizeof efa);
    for (uint32_t k = sizeof efa; k < inlen; ++k) {
        if (reinterpret_cast<const unsigned char *>(efa_attr)[k]) {
            return call.null<ibv_qp>(EINVAL);
        }
    }
    if (efa.comp_mask || efa.reserved[0]) {
        return call.null<ibv_qp>(EINVAL);
    }
    return create_qp_for(call, to_ctx(context), attr, &efa, true);
}

VSIM_API ibv_qp_ex *ibv_qp_to_qp_ex(ibv_qp *qp)
{
    Call call(Fn::ibv_qp_to_qp_ex);
    if (auto *l = call.log()) {
        l->u("qp", qp ? qp->qp_num : 0);
    }
    if (call.faulted()) {
        return call.fault_null<ibv_qp_ex>();
    }
    if (!qp) {
        return call.null<ibv_qp_ex>(EINVAL);
    }
    if (!to_qp(qp)->extended) {
        return call.null<ibv_qp_ex>(EOPNOTSUPP);
    }
    return &to_qp(qp)->qpx;
}

VSIM_API int ibv_modify_qp(ibv_qp *ibqp, ibv_qp_attr *attr, int mask)
{
    Call call(Fn::ibv_modify_qp);
    if (auto *l = call.log()) {
        l->u("qp", ibqp ? ibqp->qp_num : 0).x("mask", static_cast<unsigned>(mask));
        if (attr) {
            l->raw("attr", "{\"qp_state\":" + std::to_string(attr->qp_state) +
                               ",\"cur_qp_state\":" + std::to_string(attr->cur_qp_state) +
                               ",\"qkey\":" + std::to_string(attr->qkey) +
                               ",\"rq_psn\":" + std::to_string(attr->rq_psn) +
                               ",\"sq_psn\":" + std::to_string(attr->sq_psn) +
                               ",\"pkey_index\":" + std::to_string(attr->pkey_index) +
                               ",\"port_num\":" + std::to_string(attr->port_num) +
                               ",\"rnr_retry\":" + std::to_string(attr->rnr_retry) + "}");
        }
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!ibqp || !attr) {
        return call.rc(EINVAL);
    }
    Qp *qp = to_qp(ibqp);
    const int cur = qp->state.load();
    const int next = (mask & IBV_QP_STATE) ? static_cast<int>(attr->qp_state) : cur;
    if (next < IBV_QPS_RESET || next > IBV_QPS_ERR) {
        return call.rc(EINVAL);
    }
    if ((mask & IBV_QP_CUR_STATE) && static_cast<int>(attr->cur_qp_state) != cur) {
        return call.rc(EINVAL);
    }
    const Rule &r = kRules[cur][next];
    const int attrs = mask & ~IBV_QP_STATE;
    if (!r.valid || (attrs & r.req) != r.req || (attrs & ~(r.req | r.opt))) {
        return call.rc(EINVAL);
    }
    const DeviceConfig &cfg = qp->ctx->dev->cfg;
    if ((mask & IBV_QP_PORT) && (attr->port_num < 1 || attr->port_num > cfg.dattr.phys_port_cnt)) {
        return call.rc(EINVAL);
    }
    if ((mask & IBV_QP_PKEY_INDEX) && attr->pkey_index >= cfg.pattr.pkey_tbl_len) {
        return call.rc(EINVAL);
    }
    if ((mask & IBV_QP_RNR_RETRY) && attr->rnr_retry > 7) {
        return call.rc(EINVAL);
    }
    if (mask & IBV_QP_PKEY_INDEX) {
        qp->pkey_index = attr->pkey_index;
    }
    if (mask & IBV_QP_PORT) {
        qp->port = attr->port_num;
    }
    if (mask & IBV_QP_QKEY) {
        qp->qkey = attr->qkey;
    }
    if (mask & IBV_QP_SQ_PSN) {
        qp->sq_psn = attr->sq_psn;
    }
    if (mask & IBV_QP_RNR_RETRY) {
        qp->rnr_retry = attr->rnr_retry;
    }
    qp->state.store(next);
    ibqp->state = static_cast<ibv_qp_state>(next);
    if (next == IBV_QPS_ERR && cur != IBV_QPS_ERR) {
        qp_flush(qp);
    } else if (next == IBV_QPS_RESET && cur != IBV_QPS_RESET) {
        qp_reset(qp);
    }
    return call.rc(0);
}

VSIM_API int ibv_query_qp(ibv_qp *ibqp, ibv_qp_attr *attr, int mask, ibv_qp_init_attr *init_attr)
{
    Call call(Fn::ibv_query_qp);
    if (auto *l = call.log()) {
        l->u("qp", ibqp ? ibqp->qp_num : 0).x("mask", static_cast<unsigned>(mask));
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!ibqp || !attr || !init_attr) {
        return call.rc(EINVAL);
    }
    return call.rc(attr_query(to_qp(ibqp), attr, init_attr));
}

VSIM_API int ibv_destroy_qp(ibv_qp *ibqp)
{
    Call call(Fn::ibv_destroy_qp);
    if (auto *l = call.log()) {
        l->u("qp", ibqp ? ibqp->qp_num : 0);
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!ibqp) {
        return call.rc(EINVAL);
    }
    Qp *qp = to_qp(ibqp);
    drop_async_events(qp->ctx, ibqp);
    if (!qp->tally.wait_settled()) {
        std::fprintf(stderr,
                     "vantor simulator: ibv_destroy_qp: events of QP %u were never "
                     "acknowledged; giving up (EBUSY)\n",
                     ibqp->qp_num);
        return call.rc(EBUSY);
    }
    {
        // Wait for a batch being built on another thread; one left open on
        // this thread is discarded.
        if (qp->sq_owner.load() != self_id()) {
            qp->sq_mtx.lock();
        }
        qp->sq_owner.store(0);
        qp->in_batch = false;
        qp->sq_mtx.unlock();
    }
    {
        // Unroutable first, so nothing new arrives while it is emptied.
        std::unique_lock lock(world().mtx);
        world().qps.erase(ibqp->qp_num);
        purge_receiver_locked(qp);
        purge_sender_locked(qp, true);
    }
    cq_forget_sender(qp->scq, qp);  // also waits for the send CQ's pollers
    if (qp->rcq != qp->scq) {
        cq_wait_for_pollers(qp->rcq);
    }
    qp->scq->qps.fetch_sub(1);
    qp->rcq->qps.fetch_sub(1);
    qp->pd->qps.fetch_sub(1);
    qp->ctx->dev->n_qp.fetch_sub(1);
    pthread_mutex_destroy(&ibqp->mutex);
    pthread_cond_destroy(&ibqp->cond);
    disown(qp->ctx, Kind::Qp, qp);
    delete qp;
    live_add(Kind::Qp, -1);
    return call.rc(0);
}

VSIM_API int vsim_efa_query_qp_wqs(ibv_qp *ibqp, efadv_wq_attr *sq_attr, efadv_wq_attr *rq_attr,
                                   uint32_t inlen)
{
    Call call(Fn::efadv_query_qp_wqs);
    if (auto *l = call.log()) {
        l->u("qp", ibqp ? ibqp->qp_num : 0).u("inlen", inlen);
    }
    if (call.faulted()) {
        return static_cast<int>(call.fault_rc());
    }
    if (!ibqp || !sq_attr || !rq_attr) {
        return call.rc(EINVAL);
    }
    Qp *qp = to_qp(ibqp);
    if (!qp->ctx->dev->cfg.efa) {
        return call.rc(EOPNOTSUPP);
    }
    static uint32_t doorbells[2];
    efadv_wq_attr sq{}, rq{};
    sq.buffer = reinterpret_cast<uint8_t *>(qp->sq.data());
    sq.entry_size = sizeof(SendWqe);
    sq.num_entries = static_cast<uint32_t>(qp->sq.size());
    sq.doorbell = &doorbells[0];
    sq.max_batch = 16;
    rq.buffer = reinterpret_cast<uint8_t *>(qp->rq.data());
    rq.entry_size = sizeof(RecvWqe);
    rq.num_entries = static_cast<uint32_t>(qp->rq.size());
    rq.doorbell = &doorbells[1];
    rq.max_batch = 16;
    const std::size_t n = inlen < sizeof sq ? inlen : sizeof sq;
    std::memcpy(sq_attr, &sq, n);
    std::memcpy(rq_attr, &rq, n);
    return call.rc(0);
}

// The classic creation call: a QP without the extended posting interface
// (ibv_qp_to_qp_ex gives NULL for it), as libibverbs' own inline
// ibv_create_qp_ex falls back to.
VSIM_API ibv_qp *ibv_create_qp(ibv_pd *pd, ibv_qp_init_attr *attr)
{
    Call call(Fn::ibv_create_qp);
    if (auto *l = call.log()) {
        l->u("pd", pd ? pd->handle : 0);
    }
    if (call.faulted()) {
        return call.fault_null<ibv_qp>();
    }
    if (!pd || !attr) {
        return call.null<ibv_qp>(EINVAL);
    }
    ibv_qp_init_attr_ex ex = extended_init_attr(pd, *attr);
    if (auto *l = call.log()) {
        log_init_attr(l, ex);
    }
    ibv_qp *qp = create_qp_for(call, to_pd(pd)->ctx, &ex, nullptr, false);
    if (qp) {
        attr->cap = to_qp(qp)->cap;
    }
    return qp;
}
