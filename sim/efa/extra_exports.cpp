// libefa's legacy SRD creation call, bound to the version the real library
// gives it. It predates the extended interface but existing EFA programs
// still use it; the device implementation is in the simulator's libibverbs.
#include <infiniband/verbs.h>

#include <cstdint>

extern "C" ibv_qp *vsim_efa_create_driver_qp(ibv_pd *, ibv_qp_init_attr *, uint32_t);

extern "C" __attribute__((visibility("default"))) ibv_qp *
sim_extra_efadv_create_driver_qp(ibv_pd *, ibv_qp_init_attr *, uint32_t);
__asm__(".symver sim_extra_efadv_create_driver_qp, efadv_create_driver_qp@@EFA_1.0");

extern "C" ibv_qp *sim_extra_efadv_create_driver_qp(ibv_pd *pd, ibv_qp_init_attr *attr,
                                                    uint32_t driver_qp_type)
{
    return vsim_efa_create_driver_qp(pd, attr, driver_qp_type);
}
