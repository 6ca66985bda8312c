// Cross-process bandwidth on the software EFA device: a parent process
// keeps RDMA writes of one size in flight into its forked child's memory,
// next to memcpy between two buffers of this process (the ceiling). The
// child either stays away from the device (mode "idle": the target of a
// one-sided operation does nothing) or busy-polls an empty CQ ("spin", as
// perftest's server side does). Build and run: bench/xproc_write_bw.sh
#include "srd.hpp"
#include "vsim.h"

#include <infiniband/verbs.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Target {
    ibv_gid gid;
    uint32_t qpn;
    uint32_t rkey;
    uint64_t addr;
};

void xfer(int fd, void *p, size_t n, bool out)
{
    size_t done = 0;
    while (done < n) {
        const ssize_t r = out ? ::write(fd, static_cast<char *>(p) + done, n - done)
                              : ::read(fd, static_cast<char *>(p) + done, n - done);
        MUST(r > 0);
        done += static_cast<size_t>(r);
    }
}

ibv_qp *write_qp(ibv_context *ctx, ibv_pd *pd, ibv_cq_ex *cq)
{
    ibv_qp_init_attr_ex a{};
    a.send_cq = a.recv_cq = ibv_cq_ex_to_cq(cq);
    a.cap = {64, 64, 1, 1, 0};
    a.qp_type = IBV_QPT_DRIVER;
    a.comp_mask = IBV_QP_INIT_ATTR_PD | IBV_QP_INIT_ATTR_SEND_OPS_FLAGS;
    a.pd = pd;
    a.send_ops_flags = IBV_QP_EX_WITH_SEND | IBV_QP_EX_WITH_RDMA_WRITE;
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
    MUST(!ibv_modify_qp(qp, &m, IBV_QP_STATE | IBV_QP_SQ_PSN));
    return qp;
}

}  // namespace

int main(int argc, char **argv)
{
    const long iters = argc > 1 ? std::atol(argv[1]) : 2000;
    const size_t size = argc > 2 ? std::strtoul(argv[2], nullptr, 0) : (size_t{1} << 20);
    const bool spin = argc > 3 && std::strcmp(argv[3], "spin") == 0;
    const int depth = 2;
    char host[64];
    std::snprintf(host, sizeof host, "bench-bw-%d", static_cast<int>(::getpid()));
    MUST(vsim_set_host(host) == 0);
    int up[2], down[2];
    MUST(::pipe(up) == 0 && ::pipe(down) == 0);
    const pid_t pid = ::fork();
    MUST(pid >= 0);
    const bool child = pid == 0;
    const int rd = child ? down[0] : up[0], wr = child ? up[1] : down[1];

    ibv_device **list = ibv_get_device_list(nullptr);
    ibv_context *ctx = ibv_open_device(list[0]);
    ibv_free_device_list(list);
    ibv_pd *pd = ibv_alloc_pd(ctx);
    ibv_cq_init_attr_ex ca{};
    ca.cqe = 256;
    ca.wc_flags = IBV_WC_STANDARD_FLAGS;
    efadv_cq_init_attr ea{};
    ibv_cq_ex *cq = efadv_create_cq(ctx, &ca, &ea, sizeof ea);
    MUST(cq);
    ibv_qp *qp = write_qp(ctx, pd, cq);
    std::vector<char> buf(size * depth, 7);
    ibv_mr *mr = ibv_reg_mr_iova2(pd, buf.data(), buf.size(), (uintptr_t)buf.data(),
                                  IBV_ACCESS_LOCAL_WRITE | IBV_ACCESS_REMOTE_WRITE);
    MUST(mr);
    if (child) {
        Target t{};
        ibv_query_gid(ctx, 1, 0, &t.gid);
        t.qpn = qp->qp_num;
        t.rkey = mr->rkey;
        t.addr = (uintptr_t)buf.data();
        xfer(wr, &t, sizeof t, true);
        if (spin) {
            // Polls until the parent says it is done (a byte on the pipe).
            ::fcntl(rd, F_SETFL, O_NONBLOCK);
            char done;
            for (;;) {
                ibv_poll_cq_attr pa{};
                if (ibv_start_poll(cq, &pa) == 0) {
                    ibv_end_poll(cq);
                }
                if (::read(rd, &done, 1) == 1) {
                    break;
                }
            }
        } else {
            char done;
            xfer(rd, &done, 1, false);
        }
        ::_exit(0);
    }
    Target t;
    xfer(rd, &t, sizeof t, false);
    ibv_ah_attr aa{};
    aa.is_global = 1;
    aa.port_num = 1;
    aa.grh.dgid = t.gid;
    ibv_ah *ah = ibv_create_ah(pd, &aa);
    MUST(ah);
    ibv_qp_ex *x = ibv_qp_to_qp_ex(qp);
    long posted = 0, done = 0;
    auto post = [&] {
        const size_t k = static_cast<size_t>(posted % depth);
        ibv_sge s{(uintptr_t)buf.data() + k * size, static_cast<uint32_t>(size), mr->lkey};
        ibv_wr_start(x);
        x->wr_id = static_cast<uint64_t>(posted);
        x->wr_flags = IBV_SEND_SIGNALED;
        ibv_wr_rdma_write(x, t.rkey, t.addr + k * size);
        ibv_wr_set_ud_addr(x, ah, t.qpn, 1);
        ibv_wr_set_sge_list(x, 1, &s);
        MUST(!ibv_wr_complete(x));
        ++posted;
    };
    auto run = [&](long n) {
        const long end = done + n;
        while (done < end) {
            while (posted < end && posted - done < depth) {
                post();
            }
            ibv_poll_cq_attr pa{};
            if (ibv_start_poll(cq, &pa) == ENOENT) {
                continue;
            }
            do {
                MUST(cq->status == IBV_WC_SUCCESS);
                ++done;
            } while (ibv_next_poll(cq) == 0);
            ibv_end_poll(cq);
        }
    };
    run(std::max(10L, iters / 10));  // warm-up: pages touched, the peer connected
    // Blocks of writes and of memcpy alternate, and each side keeps its best
    // block: on a shared machine that compares the two at the same moments
    // and leaves out the time the processes spent descheduled.
    const long block = 16;
    std::vector<char> a(size, 1), b(size, 2);
    double best_write = 0, best_copy = 0;
    for (long done_blocks = 0; done_blocks * block < iters; ++done_blocks) {
        auto t0 = std::chrono::steady_clock::now();
        run(block);
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        best_write = std::max(best_write, static_cast<double>(size) * block / s / 1e9);
        t0 = std::chrono::steady_clock::now();
        for (long i = 0; i < block; ++i) {
            std::memcpy(b.data(), a.data(), size);
            asm volatile("" : : "r"(b.data()) : "memory");
        }
        s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        best_copy = std::max(best_copy, static_cast<double>(size) * block / s / 1e9);
    }
    char bye = 1;
    xfer(wr, &bye, 1, true);
    ::waitpid(pid, nullptr, 0);
    std::printf("cross-process RDMA write (%s target), %zu bytes: %.2f GB/s; memcpy %.2f GB/s; "
                "%.0f%% of memcpy (best blocks of %ld)\n",
                spin ? "polling" : "idle", size, best_write, best_copy,
                100.0 * best_write / best_copy, block);
    return 0;
}
