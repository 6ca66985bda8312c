// Cross-process round trip on the software EFA device: two processes (a
// parent and its forked child, on a host name of their own) bounce a
// 64-byte SRD SEND back and forth, polling the CQ through the extended
// interface as vantor's CQEx.poll does. Mode "spin" busy-polls (as
// perftest's latency tests do); mode "wait" polls for a short while, then
// sleeps on the completion channel, as an application that shares its
// CPUs does. Build and run: bench/xproc_latency.sh
#include "srd.hpp"
#include "vsim.h"

#include <infiniband/verbs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kMsg = 64;  // bytes per message

// "wait" mode: empty polls before sleeping on the channel.
long kSpinPolls = 200;

struct Addr {
    ibv_gid gid;
    uint32_t qpn;
};

struct Side {
    ibv_context *ctx;
    ibv_pd *pd;
    ibv_comp_channel *ch;
    ibv_cq_ex *cq;
    bool spin;
    bool armed = false;
    ibv_qp *qp;
    ibv_qp_ex *x;
    ibv_ah *ah = nullptr;
    ibv_mr *mr;
    std::vector<char> buf = std::vector<char>(4096);
    ibv_sge ssge, rsge;
    ibv_recv_wr rwr{};
    uint32_t peer_qpn = 0;

    explicit Side(bool spin_only) : spin(spin_only)
    {
        ctx = must_open_first_device();
        pd = ibv_alloc_pd(ctx);
        ch = ibv_create_comp_channel(ctx);
        MUST(ch);
        cq = must_efa_cq(ctx, 256, ch);
        qp = must_srd_qp(ctx, pd, cq, 7);
        x = ibv_qp_to_qp_ex(qp);
        mr = ibv_reg_mr_iova2(pd, buf.data(), buf.size(), (uintptr_t)buf.data(),
                              IBV_ACCESS_LOCAL_WRITE);
        MUST(mr);
        ssge = {(uintptr_t)buf.data(), kMsg, mr->lkey};
        rsge = {(uintptr_t)buf.data() + 2048, kMsg, mr->lkey};
        rwr.sg_list = &rsge;
        rwr.num_sge = 1;
        for (int k = 0; k < 16; ++k) {
            repost();
        }
    }

    Addr addr()
    {
        Addr a{};
        ibv_query_gid(ctx, 1, 0, &a.gid);
        a.qpn = qp->qp_num;
        return a;
    }

    void connect(const Addr &peer)
    {
        ah = must_ah(pd, peer.gid);
        peer_qpn = peer.qpn;
    }

    void repost()
    {
        ibv_recv_wr *bad;
        MUST(!ibv_post_recv(qp, &rwr, &bad));
    }

    void send()
    {
        ibv_wr_start(x);
        x->wr_id = 1;
        x->wr_flags = IBV_SEND_SIGNALED;
        ibv_wr_send(x);
        ibv_wr_set_ud_addr(x, ah, peer_qpn, 1);
        ibv_wr_set_sge_list(x, 1, &ssge);
        MUST(!ibv_wr_complete(x));
    }

    // Polls until a receive completes; send completions pass by.
    void wait_recv()
    {
        for (long empty = 0;; ++empty) {
            ibv_poll_cq_attr pa{};
            if (ibv_start_poll(cq, &pa) == ENOENT) {
                if (!spin && empty >= kSpinPolls) {
                    sleep_on_channel();
                }
                continue;
            }
            empty = 0;
            bool got = false;
            do {
                MUST(cq->status == IBV_WC_SUCCESS);
                if (ibv_wc_read_opcode(cq) == IBV_WC_RECV) {
                    repost();
                    got = true;
                }
            } while (ibv_next_poll(cq) == 0);
            ibv_end_poll(cq);
            if (got) {
                return;
            }
        }
    }

    void sleep_on_channel();
};

// Arms the CQ and, once a poll after that still finds nothing, sleeps
// until its completion event.
void Side::sleep_on_channel()
{
    if (!armed) {
        MUST(!ibv_req_notify_cq(ibv_cq_ex_to_cq(cq), 0));
        armed = true;
        return;  // the caller polls once more: a completion may have beaten the arming
    }
    ibv_cq *ev_cq;
    void *ev_ctx;
    MUST(!ibv_get_cq_event(ch, &ev_cq, &ev_ctx));
    ibv_ack_cq_events(ev_cq, 1);
    armed = false;
}

}  // namespace

int main(int argc, char **argv)
{
    const long iters = argc > 1 ? std::atol(argv[1]) : 100000;
    const bool spin = argc > 2 && std::strcmp(argv[2], "spin") == 0;
    if (argc > 3) {
        kSpinPolls = std::atol(argv[3]);
    }
    // Out of band: the two addresses travel over pipes.
    const auto [pid, child, rd, wr] = must_fork_on_own_host("bench");
    Side s(spin);
    Addr mine = s.addr(), peer;
    xfer(wr, &mine, sizeof mine, true);
    xfer(rd, &peer, sizeof peer, false);
    s.connect(peer);
    const long warmup = 1000;
    if (child) {
        for (long i = 0; i < warmup + iters; ++i) {
            s.wait_recv();
            s.send();
        }
        char done;
        xfer(rd, &done, 1, false);  // stay until the parent has its last reply
        ::_exit(0);
    }
    for (long i = 0; i < warmup; ++i) {
        s.send();
        s.wait_recv();
    }
    const auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < iters; ++i) {
        s.send();
        s.wait_recv();
    }
    const double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
    char done = 1;
    xfer(wr, &done, 1, true);
    ::waitpid(pid, nullptr, 0);
    std::printf("simulated SRD ping-pong (%s): %.2f us round trip (%ld round trips of %u bytes)\n",
                spin ? "spin" : "wait", ns / iters / 1000.0, iters, kMsg);
    return 0;
}
