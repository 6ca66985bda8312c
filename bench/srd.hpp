// What the standalone benchmark programs share: stopping at the first
// failed call, the first device, an extended CQ, an SRD queue pair brought
// to RTS, an address handle, and a parent and its forked child on a
// simulated host of their own, talking over pipes.
#pragma once

#include "efadv.hpp"
#include "vsim.h"

#include <infiniband/verbs.h>
#include <unistd.h>

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

inline ibv_context *must_open_first_device()
{
    ibv_device **list = ibv_get_device_list(nullptr);
    MUST(list && list[0]);
    ibv_context *ctx = ibv_open_device(list[0]);
    ibv_free_device_list(list);
    MUST(ctx);
    return ctx;
}

// An extended CQ of `cqe` entries reading the standard fields, its events
// going to `channel` when there is one.
inline ibv_cq_ex *must_efa_cq(ibv_context *ctx, int cqe, ibv_comp_channel *channel = nullptr)
{
    ibv_cq_init_attr_ex ca{};
    ca.cqe = static_cast<uint32_t>(cqe);
    ca.channel = channel;
    ca.wc_flags = IBV_WC_STANDARD_FLAGS;
    efadv_cq_init_attr ea{};
    ibv_cq_ex *cq = efadv_create_cq(ctx, &ca, &ea, sizeof ea);
    MUST(cq);
    return cq;
}

// An SRD queue pair for `ops` (SENDs by default) on `cq` (both directions),
// qkey 1, ready to send. rnr_retry 7 makes a SEND wait for its receive
// instead of failing; a negative value keeps the device's default.
inline ibv_qp *must_srd_qp(ibv_context *ctx, ibv_pd *pd, ibv_cq_ex *cq, int rnr_retry = -1,
                           uint64_t ops = IBV_QP_EX_WITH_SEND)
{
    ibv_qp_init_attr_ex a{};
    a.send_cq = a.recv_cq = ibv_cq_ex_to_cq(cq);
    a.cap = {64, 64, 1, 1, 0};
    a.qp_type = IBV_QPT_DRIVER;
    a.comp_mask = IBV_QP_INIT_ATTR_PD | IBV_QP_INIT_ATTR_SEND_OPS_FLAGS;
    a.pd = pd;
    a.send_ops_flags = ops;
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

// An address handle for the port-1 GID `gid`.
inline ibv_ah *must_ah(ibv_pd *pd, const ibv_gid &gid)
{
    ibv_ah_attr aa{};
    aa.is_global = 1;
    aa.port_num = 1;
    aa.grh.dgid = gid;
    ibv_ah *ah = ibv_create_ah(pd, &aa);
    MUST(ah);
    return ah;
}

// Writes (`out`) or reads all `n` bytes at `p` through the pipe end `fd`.
inline void xfer(int fd, void *p, size_t n, bool out)
{
    size_t done = 0;
    while (done < n) {
        const ssize_t r = out ? ::write(fd, static_cast<char *>(p) + done, n - done)
                              : ::read(fd, static_cast<char *>(p) + done, n - done);
        MUST(r > 0);
        done += static_cast<size_t>(r);
    }
}

// This process and its forked child, on the simulated host "<prefix>-<pid>"
// (set before the fork, so both sides share it), with a pipe each way: `rd`
// and `wr` are this side's ends.
struct Forked {
    pid_t pid;  // the child's, in the parent; 0 in the child
    bool child;
    int rd, wr;
};

inline Forked must_fork_on_own_host(const char *prefix)
{
    char host[64];
    std::snprintf(host, sizeof host, "%s-%d", prefix, static_cast<int>(::getpid()));
    MUST(vsim_set_host(host) == 0);
    int up[2], down[2];
    MUST(::pipe(up) == 0 && ::pipe(down) == 0);
    const pid_t pid = ::fork();
    MUST(pid >= 0);
    const bool child = pid == 0;
    return {pid, child, child ? down[0] : up[0], child ? up[1] : down[1]};
}
