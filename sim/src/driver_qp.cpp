// efadv_create_driver_qp, the SRD creation call that predates
// efadv_create_qp_ex and that existing EFA programs still use: the classic
// init attributes plus the driver QP type. The QP it makes has no extended
// posting interface (no send_ops_flags), like one from ibv_create_qp.
#include "call.hpp"
#include "ops.hpp"

#include <infiniband/verbs.h>

using namespace vsim;

VSIM_API ibv_qp *vsim_efa_create_driver_qp(ibv_pd *pd, ibv_qp_init_attr *attr,
                                           uint32_t driver_qp_type)
{
    Call call(Fn::efadv_create_driver_qp);
    if (auto *l = call.log()) {
        l->u("pd", pd ? pd->handle : 0).u("driver_qp_type", driver_qp_type);
        if (attr) {
            l->i("qp_type", attr->qp_type)
                .u("send_cq", attr->send_cq ? attr->send_cq->handle : 0)
                .u("recv_cq", attr->recv_cq ? attr->recv_cq->handle : 0)
                .u("max_send_wr", attr->cap.max_send_wr)
                .u("max_recv_wr", attr->cap.max_recv_wr)
                .u("max_send_sge", attr->cap.max_send_sge)
                .u("max_recv_sge", attr->cap.max_recv_sge)
                .u("max_inline_data", attr->cap.max_inline_data)
                .i("sq_sig_all", attr->sq_sig_all);
        }
    }
    if (call.faulted()) {
        return call.fault_null<ibv_qp>();
    }
    if (!pd || !attr) {
        return call.null<ibv_qp>(EINVAL);
    }
    Context *c = to_pd(pd)->ctx;
    if (!c->dev->cfg.efa) {
        return call.null<ibv_qp>(EOPNOTSUPP);
    }
    if (attr->qp_type != IBV_QPT_DRIVER) {
        return call.null<ibv_qp>(EINVAL);
    }
    ibv_qp_init_attr_ex ex = extended_init_attr(pd, *attr);
    efadv_qp_init_attr efa{};
    efa.driver_qp_type = driver_qp_type;
    ibv_qp *qp = create_qp_for(call, c, &ex, &efa, true);
    if (qp) {
        attr->cap = to_qp(qp)->cap;
    }
    return qp;
}
