// Entry points of newer libibverbs releases, left out of the legacy build.
#include "call.hpp"

namespace vsim {
ibv_mr *reg_dmabuf(ibv_pd *pd, uint64_t offset, size_t length, uint64_t iova, int fd, int access);
}

extern "C" {
int vsim_optional_marker = 1;  // tells the control interface this is the full build
}

VSIM_API ibv_mr *ibv_reg_dmabuf_mr(ibv_pd *pd, uint64_t offset, size_t length, uint64_t iova,
                                   int fd, int access)
{
    return vsim::reg_dmabuf(pd, offset, length, iova, fd, access);
}
