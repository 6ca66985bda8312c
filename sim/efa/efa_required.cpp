// libefa: the entry points every supported release has. Each forwards to
// the device implementation inside the simulator's libibverbs.
#include "efadv.hpp"

#define VSIM_EFA_API extern "C" __attribute__((visibility("default")))

extern "C" {
int vsim_efa_query_device(ibv_context *, efadv_device_attr *, uint32_t);
int vsim_efa_query_ah(ibv_ah *, efadv_ah_attr *, uint32_t);
ibv_qp *vsim_efa_create_qp_ex(ibv_context *, ibv_qp_init_attr_ex *, efadv_qp_init_attr *, uint32_t);
ibv_cq_ex *vsim_efa_create_cq(ibv_context *, ibv_cq_init_attr_ex *, efadv_cq_init_attr *, uint32_t);
efadv_cq *vsim_efa_cq_from_ibv_cq_ex(ibv_cq_ex *);
}

VSIM_EFA_API int efadv_query_device(ibv_context *ctx, efadv_device_attr *attr, uint32_t inlen)
{
    return vsim_efa_query_device(ctx, attr, inlen);
}

VSIM_EFA_API int efadv_query_ah(ibv_ah *ah, efadv_ah_attr *attr, uint32_t inlen)
{
    return vsim_efa_query_ah(ah, attr, inlen);
}

VSIM_EFA_API ibv_qp *efadv_create_qp_ex(ibv_context *ctx, ibv_qp_init_attr_ex *attr,
                                        efadv_qp_init_attr *efa_attr, uint32_t inlen)
{
    return vsim_efa_create_qp_ex(ctx, attr, efa_attr, inlen);
}

VSIM_EFA_API ibv_cq_ex *efadv_create_cq(ibv_context *ctx, ibv_cq_init_attr_ex *attr,
                                        efadv_cq_init_attr *efa_attr, uint32_t inlen)
{
    return vsim_efa_create_cq(ctx, attr, efa_attr, inlen);
}

VSIM_EFA_API efadv_cq *efadv_cq_from_ibv_cq_ex(ibv_cq_ex *cq)
{
    return vsim_efa_cq_from_ibv_cq_ex(cq);
}
