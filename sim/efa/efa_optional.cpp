// libefa: entry points of newer releases (EFA 1.3 and 1.4), left out of the
// legacy build.
#include "efadv.hpp"

#define VSIM_EFA_API extern "C" __attribute__((visibility("default")))

extern "C" {
int vsim_efa_query_mr(ibv_mr *, efadv_mr_attr *, uint32_t);
int vsim_efa_query_cq(ibv_cq *, efadv_cq_attr *, uint32_t);
int vsim_efa_query_qp_wqs(ibv_qp *, efadv_wq_attr *, efadv_wq_attr *, uint32_t);
}

VSIM_EFA_API int efadv_query_mr(ibv_mr *mr, efadv_mr_attr *attr, uint32_t inlen)
{
    return vsim_efa_query_mr(mr, attr, inlen);
}

VSIM_EFA_API int efadv_query_cq(ibv_cq *cq, efadv_cq_attr *attr, uint32_t inlen)
{
    return vsim_efa_query_cq(cq, attr, inlen);
}

VSIM_EFA_API int efadv_query_qp_wqs(ibv_qp *qp, efadv_wq_attr *sq, efadv_wq_attr *rq,
                                    uint32_t inlen)
{
    return vsim_efa_query_qp_wqs(qp, sq, rq, inlen);
}
