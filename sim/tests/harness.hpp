// Small helpers for the simulator's C++ test programs: checks, object
// creation and the inline verbs paths used exactly as an application would.
#pragma once

#include "efadv.hpp"
#include "vsim.h"

#include <arpa/inet.h>
#include <infiniband/verbs.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: CHECK(%s) failed (errno %d)\n", __FILE__, __LINE__,       \
                         #cond, errno);                                                            \
            std::exit(1);                                                                          \
        }                                                                                          \
    } while (0)

#define CHECK_EQ(a, b)                                                                             \
    do {                                                                                           \
        const long long va_ = static_cast<long long>(a), vb_ = static_cast<long long>(b);          \
        if (va_ != vb_) {                                                                          \
            std::fprintf(stderr, "%s:%d: %s == %s failed: %lld != %lld\n", __FILE__, __LINE__, #a, \
                         #b, va_, vb_);                                                            \
            std::exit(1);                                                                          \
        }                                                                                          \
    } while (0)

namespace t {

constexpr uint32_t kQkey = 0x11111111;

inline ibv_context *open_dev(const char *name = "efa_0")
{
    int n = 0;
    ibv_device **list = ibv_get_device_list(&n);
    CHECK(list);
    ibv_context *ctx = nullptr;
    for (int i = 0; i < n; ++i) {
        if (std::strcmp(ibv_get_device_name(list[i]), name) == 0) {
            ctx = ibv_open_device(list[i]);
        }
    }
    ibv_free_device_list(list);
    CHECK(ctx);
    return ctx;
}

inline ibv_cq_ex *cq_ex(ibv_context *ctx, int cqe = 64, uint64_t efa_flags = 0,
                        ibv_comp_channel *ch = nullptr)
{
    ibv_cq_init_attr_ex a{};
    a.cqe = static_cast<uint32_t>(cqe);
    a.channel = ch;
    a.wc_flags = IBV_WC_STANDARD_FLAGS;
    efadv_cq_init_attr e{};
    e.wc_flags = efa_flags;
    ibv_cq_ex *cq = efadv_create_cq(ctx, &a, &e, sizeof e);
    CHECK(cq);
    return cq;
}

inline ibv_cq *as_cq(ibv_cq_ex *c) { return ibv_cq_ex_to_cq(c); }

struct QpOpts {
    uint32_t max_send_wr = 16, max_recv_wr = 16, max_send_sge = 2, max_recv_sge = 2;
    uint32_t max_inline = 32;
    uint64_t send_ops = 31;
    int sig_all = 0;
    uint16_t efa_flags = 0;
    bool ud = false;
};

inline ibv_qp *make_qp(ibv_context *ctx, ibv_pd *pd, ibv_cq_ex *scq, ibv_cq_ex *rcq,
                       const QpOpts &o = {})
{
    ibv_qp_init_attr_ex a{};
    a.send_cq = as_cq(scq);
    a.recv_cq = as_cq(rcq);
    a.cap.max_send_wr = o.max_send_wr;
    a.cap.max_recv_wr = o.max_recv_wr;
    a.cap.max_send_sge = o.max_send_sge;
    a.cap.max_recv_sge = o.max_recv_sge;
    a.cap.max_inline_data = o.max_inline;
    a.sq_sig_all = o.sig_all;
    a.comp_mask = IBV_QP_INIT_ATTR_PD | IBV_QP_INIT_ATTR_SEND_OPS_FLAGS;
    a.pd = pd;
    a.send_ops_flags = o.ud ? (o.send_ops & 12) : o.send_ops;
    if (o.ud) {
        a.qp_type = IBV_QPT_UD;
        return ibv_create_qp_ex(ctx, &a);
    }
    a.qp_type = IBV_QPT_DRIVER;
    efadv_qp_init_attr e{};
    e.driver_qp_type = EFADV_QP_DRIVER_TYPE_SRD;
    e.flags = o.efa_flags;
    return efadv_create_qp_ex(ctx, &a, &e, sizeof e);
}

inline int to_rts(ibv_qp *qp, int rnr_retry = -1, uint32_t qkey = kQkey)
{
    ibv_qp_attr a{};
    a.qp_state = IBV_QPS_INIT;
    a.port_num = 1;
    a.qkey = qkey;
    if (int rc =
            ibv_modify_qp(qp, &a, IBV_QP_STATE | IBV_QP_PKEY_INDEX | IBV_QP_PORT | IBV_QP_QKEY)) {
        return rc;
    }
    a = {};
    a.qp_state = IBV_QPS_RTR;
    if (int rc = ibv_modify_qp(qp, &a, IBV_QP_STATE)) {
        return rc;
    }
    a = {};
    a.qp_state = IBV_QPS_RTS;
    int mask = IBV_QP_STATE | IBV_QP_SQ_PSN;
    if (rnr_retry >= 0) {
        a.rnr_retry = static_cast<uint8_t>(rnr_retry);
        mask |= IBV_QP_RNR_RETRY;
    }
    return ibv_modify_qp(qp, &a, mask);
}

inline ibv_ah *make_ah(ibv_pd *pd, const ibv_gid &gid)
{
    ibv_ah_attr a{};
    a.is_global = 1;
    a.port_num = 1;
    a.grh.dgid = gid;
    a.grh.hop_limit = 1;
    ibv_ah *ah = ibv_create_ah(pd, &a);
    CHECK(ah);
    return ah;
}

inline ibv_gid gid_of(ibv_context *ctx)
{
    ibv_gid g{};
    CHECK(ibv_query_gid(ctx, 1, 0, &g) == 0);
    return g;
}

inline ibv_mr *reg(ibv_pd *pd, void *p, size_t n,
                   int access = IBV_ACCESS_LOCAL_WRITE | IBV_ACCESS_REMOTE_READ |
                                IBV_ACCESS_REMOTE_WRITE)
{
    ibv_mr *mr =
        ibv_reg_mr_iova2(pd, p, n, reinterpret_cast<uintptr_t>(p), static_cast<unsigned>(access));
    CHECK(mr);
    return mr;
}

struct Wr {
    int opcode = IBV_WR_SEND;
    uint64_t wr_id = 1;
    unsigned flags = IBV_SEND_SIGNALED;
    uint32_t imm = 0;  // host order
    uint32_t rkey = 0;
    uint64_t raddr = 0;
    ibv_ah *ah = nullptr;
    uint32_t rqpn = 0;
    uint32_t rqkey = kQkey;
    std::vector<ibv_sge> sges;
    std::vector<ibv_data_buf> inl;
};

inline void build(ibv_qp_ex *x, const Wr &w)
{
    x->wr_id = w.wr_id;
    x->wr_flags = w.flags;
    switch (w.opcode) {
    case IBV_WR_SEND:
        ibv_wr_send(x);
        break;
    case IBV_WR_SEND_WITH_IMM:
        ibv_wr_send_imm(x, htonl(w.imm));
        break;
    case IBV_WR_RDMA_READ:
        ibv_wr_rdma_read(x, w.rkey, w.raddr);
        break;
    case IBV_WR_RDMA_WRITE:
        ibv_wr_rdma_write(x, w.rkey, w.raddr);
        break;
    case IBV_WR_RDMA_WRITE_WITH_IMM:
        ibv_wr_rdma_write_imm(x, w.rkey, w.raddr, htonl(w.imm));
        break;
    }
    ibv_wr_set_ud_addr(x, w.ah, w.rqpn, w.rqkey);
    if (w.flags & IBV_SEND_INLINE) {
        ibv_wr_set_inline_data_list(x, w.inl.size(), w.inl.data());
    } else {
        ibv_wr_set_sge_list(x, w.sges.size(), w.sges.data());
    }
}

inline int post(ibv_qp *qp, const std::vector<Wr> &wrs)
{
    ibv_qp_ex *x = ibv_qp_to_qp_ex(qp);
    CHECK(x);
    ibv_wr_start(x);
    for (const Wr &w : wrs) {
        build(x, w);
    }
    return ibv_wr_complete(x);
}

inline int post_recv(ibv_qp *qp, uint64_t wr_id, std::vector<ibv_sge> sges)
{
    ibv_recv_wr wr{};
    wr.wr_id = wr_id;
    wr.sg_list = sges.data();
    wr.num_sge = static_cast<int>(sges.size());
    ibv_recv_wr *bad = nullptr;
    return ibv_post_recv(qp, &wr, &bad);
}

struct Wc {
    uint64_t wr_id;
    int status, opcode;
    uint32_t vendor_err, byte_len, imm, qp_num, src_qp;
    unsigned wc_flags;
    bool has_sgid = false;
    ibv_gid sgid{};
    bool unsolicited = false;
};

// Polls through the extended interface, as vantor's CQEx.poll does.
inline std::vector<Wc> poll_ex(ibv_cq_ex *cq, int max = 64)
{
    std::vector<Wc> out;
    ibv_poll_cq_attr attr{};
    int rc = ibv_start_poll(cq, &attr);
    if (rc == ENOENT) {
        return out;
    }
    CHECK_EQ(rc, 0);
    efadv_cq *e = efadv_cq_from_ibv_cq_ex(cq);
    for (;;) {
        Wc w{};
        w.wr_id = cq->wr_id;
        w.status = cq->status;
        w.opcode = ibv_wc_read_opcode(cq);
        w.vendor_err = ibv_wc_read_vendor_err(cq);
        w.byte_len = ibv_wc_read_byte_len(cq);
        w.imm = ntohl(ibv_wc_read_imm_data(cq));
        w.qp_num = ibv_wc_read_qp_num(cq);
        w.src_qp = ibv_wc_read_src_qp(cq);
        w.wc_flags = ibv_wc_read_wc_flags(cq);
        if (e) {
            w.has_sgid = efadv_wc_read_sgid(e, &w.sgid) == 0;
            w.unsolicited = efadv_wc_is_unsolicited(e);
        }
        out.push_back(w);
        if (static_cast<int>(out.size()) == max) {
            break;
        }
        rc = ibv_next_poll(cq);
        if (rc == ENOENT) {
            break;
        }
        CHECK_EQ(rc, 0);
    }
    ibv_end_poll(cq);
    return out;
}

}  // namespace t
