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

}  // namespace

int main(int argc, char **argv)
{
    const long iters = argc > 1 ? std::atol(argv[1]) : 2000;
    const size_t size = argc > 2 ? std::strtoul(argv[2], nullptr, 0) : (size_t{1} << 20);
    const bool spin = argc > 3 && std::strcmp(argv[3], "spin") == 0;
    const int depth = 2;
    const auto [pid, child, rd, wr] = must_fork_on_own_host("bench-bw");

    ibv_context *ctx = must_open_first_device();
    ibv_pd *pd = ibv_alloc_pd(ctx);
    ibv_cq_ex *cq = must_efa_cq(ctx, 256);
    ibv_qp *qp = must_srd_qp(ctx, pd, cq, -1, IBV_QP_EX_WITH_SEND | IBV_QP_EX_WITH_RDMA_WRITE);
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
    ibv_ah *ah = must_ah(pd, t.gid);
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
