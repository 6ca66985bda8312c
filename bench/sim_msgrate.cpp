// In-process message rate of the software EFA device: 64-byte SENDs
// between two SRD QPs, receives reposted and completions polled through
// the extended interface, as vantor's post_send/post_recv/CQEx.poll do.
// Build and run: bench/sim_msgrate.sh
#include "srd.hpp"

#include <infiniband/verbs.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char **argv)
{
    const long iters = argc > 1 ? std::atol(argv[1]) : 2000000;
    ibv_context *ctx = must_open_first_device();
    ibv_pd *pd = ibv_alloc_pd(ctx);
    ibv_cq_ex *cq = must_efa_cq(ctx, 1024);
    ibv_qp *qp[2];
    for (auto &q : qp) {
        q = must_srd_qp(ctx, pd, cq);
    }
    ibv_gid gid;
    ibv_query_gid(ctx, 1, 0, &gid);
    ibv_ah *ah = must_ah(pd, gid);
    std::vector<char> buf(8192);
    ibv_mr *mr =
        ibv_reg_mr_iova2(pd, buf.data(), buf.size(), (uintptr_t)buf.data(), IBV_ACCESS_LOCAL_WRITE);
    MUST(mr);
    ibv_sge ssge{(uintptr_t)buf.data(), 64, mr->lkey};
    ibv_sge rsge{(uintptr_t)buf.data() + 4096, 64, mr->lkey};
    ibv_recv_wr rwr{};
    rwr.sg_list = &rsge;
    rwr.num_sge = 1;
    ibv_recv_wr *bad;
    MUST(!ibv_post_recv(qp[1], &rwr, &bad));
    ibv_qp_ex *x = ibv_qp_to_qp_ex(qp[0]);

    const auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < iters; ++i) {
        ibv_wr_start(x);
        x->wr_id = i;
        x->wr_flags = IBV_SEND_SIGNALED;
        ibv_wr_send(x);
        ibv_wr_set_ud_addr(x, ah, qp[1]->qp_num, 1);
        ibv_wr_set_sge_list(x, 1, &ssge);
        MUST(!ibv_wr_complete(x));
        int got = 0;
        ibv_poll_cq_attr pa{};
        MUST(!ibv_start_poll(cq, &pa));
        do {
            MUST(cq->status == IBV_WC_SUCCESS);
            if (ibv_wc_read_opcode(cq) == IBV_WC_RECV) {
                MUST(!ibv_post_recv(qp[1], &rwr, &bad));
            }
            ++got;
        } while (ibv_next_poll(cq) == 0);
        ibv_end_poll(cq);
        MUST(got == 2);
    }
    const double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%.0f ns/message (%ld messages: send + receive + repost + 2 completions)\n",
                ns / iters, iters);
    return 0;
}
