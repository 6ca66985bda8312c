// What the standalone benchmark programs share: stopping at the first
// failed call, and an SRD queue pair brought to RTS.
#pragma once

#include "efadv.hpp"

#include <infiniband/verbs.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define MUST(x)                                                                                    \
    do {                                                                                           \
        if (!(x)) {                                                                                \
            std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #x);                           \
            std::exit(1);                                                                          \
        }                                                                                          \
    } while (0)

// An SRD queue pair for SENDs on `cq` (both directions), qkey 1, ready to
// send. rnr_retry 7 makes a SEND wait for its receive instead of failing;
// a negative value keeps the device's default.
inline ibv_qp *must_srd_qp(ibv_context *ctx, ibv_pd *pd, ibv_cq_ex *cq, int rnr_retry = -1)
{
    ibv_qp_init_attr_ex a{};
    a.send_cq = a.recv_cq = ibv_cq_ex_to_cq(cq);
    a.cap = {64, 64, 1, 1, 0};
    a.qp_type = IBV_QPT_DRIVER;
    a.comp_mask = IBV_QP_INIT_ATTR_PD | IBV_QP_INIT_ATTR_SEND_OPS_FLAGS;
    a.pd = pd;
    a.send_ops_flags = IBV_QP_EX_WITH_SEND;
    efadv_qp_init_attr e{};
    ibv_qp *qp = efadv_create_qp_ex(ctx, &a, &e, sizeof e);
    MUST(qp);
    ibv_qp_attr m{};
    m.qp_state = IBV_QPS_INIT;
    m.port_num = 1;
    m.qkey = 1;
    MUST(!ibv_modify_qp(qp, &m, IBV_QP_STATE | IBV_QP_PKEY_INDEX | IBV_QP_PORT | IBV_QP_QKEY));
    m.qp_state = IBV_QPS_RTR;
    MUST(!ibv_modify_qp(qp, &m, IBV_QP_STATE));
    m.qp_state = IBV_QPS_RTS;
    int mask = IBV_QP_STATE | IBV_QP_SQ_PSN;
    if (rnr_retry >= 0) {
        m.rnr_retry = static_cast<uint8_t>(rnr_retry);
        mask |= IBV_QP_RNR_RETRY;
    }
    MUST(!ibv_modify_qp(qp, &m, mask));
    return qp;
}
