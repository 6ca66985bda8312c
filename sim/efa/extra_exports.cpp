// libefa entry points that programs written against the full library link
// to (pyverbs) but that the simulator does not offer: they fail with
// EOPNOTSUPP. The legacy driver-QP call predates the extended interface,
// which is the only one the simulated queue pairs implement.
#include <infiniband/verbs.h>

#include <cerrno>
#include <cstdint>

extern "C" __attribute__((visibility("default"))) ibv_qp *
sim_extra_efadv_create_driver_qp(ibv_pd *, ibv_qp_init_attr *, uint32_t);
__asm__(".symver sim_extra_efadv_create_driver_qp, efadv_create_driver_qp@@EFA_1.0");

extern "C" ibv_qp *sim_extra_efadv_create_driver_qp(ibv_pd *, ibv_qp_init_attr *, uint32_t)
{
    errno = EOPNOTSUPP;
    return nullptr;
}
