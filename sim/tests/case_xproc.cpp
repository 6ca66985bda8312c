// Case: two processes of one simulated host reaching each other.
#include "cases.hpp"

namespace vcases {
namespace {

// Two processes (this one and a forked child) on a host of their own: both
// send, write and read at once from several threads, one waits for its
// receives on a completion channel; then the child dies with a send of the
// parent waiting at it.
struct XprocAddr {
    ibv_gid gid;
    uint32_t qpn, idle_qpn, rkey;
    uint64_t addr;
};

void write_all(int fd, const void *p, size_t n)
{
    CHECK_EQ(::write(fd, p, n), static_cast<long long>(n));
}

void read_all(int fd, void *p, size_t n)
{
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd, static_cast<char *>(p) + got, n - got);
        CHECK(r > 0);
        got += static_cast<size_t>(r);
    }
}

constexpr int kXprocSends = 3000;
constexpr size_t kXprocSrc = 0, kXprocWrites = 256 * 1024, kXprocRecvs = 512 * 1024,
                 kXprocReads = 768 * 1024;

void xproc_side(bool child, int rd, int wr)
{
    ibv_context *ctx = open_dev();
    ibv_pd *pd = ibv_alloc_pd(ctx);
    ibv_comp_channel *ch = ibv_create_comp_channel(ctx);
    CHECK(pd && ch);
    ibv_cq_ex *scq = cq_ex(ctx, 4096);
    ibv_cq_ex *rcq = cq_ex(ctx, 4096, 0, ch);
    QpOpts o;
    o.max_send_wr = 256;
    o.max_recv_wr = 1024;
    ibv_qp *qp = make_qp(ctx, pd, scq, rcq, o);
    ibv_qp *idle = make_qp(ctx, pd, scq, rcq, o);  // never gets a receive
    CHECK(qp && idle);
    CHECK_EQ(to_rts(qp, 7), 0);
    CHECK_EQ(to_rts(idle, 7), 0);
    std::vector<unsigned char> buf(1 << 20);
    for (size_t k = 0; k < 65536; ++k) {
        buf[kXprocSrc + k] = static_cast<unsigned char>(k * 7 + (child ? 1 : 2));
    }
    ibv_mr *mr = reg(pd, buf.data(), buf.size());
    const XprocAddr mine{gid_of(ctx), qp->qp_num, idle->qp_num, mr->rkey,
                         reinterpret_cast<uintptr_t>(buf.data())};
    write_all(wr, &mine, sizeof mine);
    XprocAddr peer;
    read_all(rd, &peer, sizeof peer);
    CHECK(std::memcmp(peer.gid.raw, mine.gid.raw, 16) == 0);  // one device, one GID
    CHECK(peer.qpn >> 18 != mine.qpn >> 18);                  // another process's slot
    ibv_ah *ah = make_ah(pd, peer.gid);
    auto sge = [&](size_t off, uint32_t len) {
        return ibv_sge{reinterpret_cast<uintptr_t>(buf.data()) + off, len, mr->lkey};
    };
    for (int k = 0; k < 1024; ++k) {
        CHECK_EQ(post_recv(qp, static_cast<uint64_t>(k), {sge(kXprocRecvs + 64 * k, 64)}), 0);
    }

    std::atomic<int> received{0}, completed{0};
    constexpr int kExtra = kXprocSends / 4;  // one write and one read each
    // Receives: woken by the channel, as an event loop would be.
    std::thread receiver([&] {
        while (received.load() < kXprocSends) {
            auto got = poll_ex(rcq);
            if (got.empty()) {
                CHECK_EQ(ibv_req_notify_cq(as_cq(rcq), 0), 0);
                got = poll_ex(rcq);
                if (got.empty()) {
                    ibv_cq *ev_cq = nullptr;
                    void *ev_ctx = nullptr;
                    CHECK_EQ(ibv_get_cq_event(ch, &ev_cq, &ev_ctx), 0);
                    CHECK(ev_cq == as_cq(rcq));
                    ibv_ack_cq_events(ev_cq, 1);
                    continue;
                }
            }
            for (const Wc &w : got) {
                CHECK_EQ(w.status, IBV_WC_SUCCESS);
                CHECK_EQ(w.src_qp, peer.qpn);
                CHECK_EQ(w.byte_len, 64);
                const unsigned char *p = buf.data() + kXprocRecvs + 64 * w.wr_id;
                CHECK_EQ(p[0],
                         static_cast<unsigned char>((w.imm % 1024) * 64 * 7 + (child ? 2 : 1)));
                CHECK_EQ(post_recv(qp, w.wr_id, {sge(kXprocRecvs + 64 * w.wr_id, 64)}), 0);
                received.fetch_add(1);
            }
        }
    });
    // Send completions: a busy poller on the classic interface.
    std::thread poller([&] {
        while (completed.load() < kXprocSends + 2 * kExtra) {
            ibv_wc wc[16];
            const int n = ibv_poll_cq(as_cq(scq), 16, wc);
            CHECK(n >= 0);
            for (int i = 0; i < n; ++i) {
                CHECK_EQ(wc[i].status, IBV_WC_SUCCESS);
                completed.fetch_add(1);
            }
        }
    });
    for (int i = 0; i < kXprocSends; ++i) {
        std::vector<Wr> batch;
        Wr w;
        w.opcode = IBV_WR_SEND_WITH_IMM;
        w.wr_id = static_cast<uint64_t>(i);
        w.imm = static_cast<uint32_t>(i);
        w.ah = ah;
        w.rqpn = peer.qpn;
        w.sges = {sge(kXprocSrc + 64 * (i % 1024), 64)};
        batch.push_back(w);
        if (i % 4 == 0) {
            const size_t slot = 64 * ((i / 4) % 1024);
            Wr wr_ = w;
            wr_.opcode = IBV_WR_RDMA_WRITE;
            wr_.sges = {sge(kXprocSrc + slot, 64)};
            wr_.rkey = peer.rkey;
            wr_.raddr = peer.addr + kXprocWrites + slot;
            batch.push_back(wr_);
            Wr rd_ = w;
            rd_.opcode = IBV_WR_RDMA_READ;
            rd_.rkey = peer.rkey;
            rd_.raddr = peer.addr + kXprocSrc + slot;
            rd_.sges = {sge(kXprocReads + slot, 64)};
            batch.push_back(rd_);
        }
        int rc;
        while ((rc = post(qp, batch)) == ENOMEM) {
        }
        CHECK_EQ(rc, 0);
    }
    receiver.join();
    poller.join();
    // Both sides are done: what the peer wrote and what was read is in place.
    char sync = 1;
    write_all(wr, &sync, 1);
    read_all(rd, &sync, 1);
    for (size_t k = 0; k < 64 * 1024 && k < 64 * 750; ++k) {
        const unsigned char peer_src = static_cast<unsigned char>(k * 7 + (child ? 2 : 1));
        CHECK_EQ(buf[kXprocWrites + k], peer_src);
        CHECK_EQ(buf[kXprocReads + k], peer_src);
    }

    if (child) {
        // Dies without a word once the parent's send waits at `idle`.
        read_all(rd, &sync, 1);
        ::_exit(0);
    }
    Wr last;
    last.wr_id = 99;
    last.ah = ah;
    last.rqpn = peer.idle_qpn;
    last.sges = {sge(kXprocSrc, 8)};
    CHECK_EQ(post(qp, {last}), 0);
    write_all(wr, &sync, 1);
    std::vector<Wc> got;
    while (got.empty()) {
        got = poll_ex(scq);
    }
    CHECK_EQ(got[0].wr_id, 99);
    CHECK_EQ(got[0].status, IBV_WC_RESP_TIMEOUT_ERR);
    CHECK_EQ(got[0].vendor_err, 13);

    CHECK_EQ(ibv_destroy_qp(qp), 0);
    CHECK_EQ(ibv_destroy_qp(idle), 0);
    CHECK_EQ(ibv_destroy_ah(ah), 0);
    CHECK_EQ(ibv_dereg_mr(mr), 0);
    CHECK_EQ(ibv_destroy_cq(as_cq(scq)), 0);
    CHECK_EQ(ibv_destroy_cq(as_cq(rcq)), 0);
    CHECK_EQ(ibv_destroy_comp_channel(ch), 0);
    CHECK_EQ(ibv_dealloc_pd(pd), 0);
    CHECK_EQ(ibv_close_device(ctx), 0);
}

}  // namespace

void case_xproc()
{
    char host[64];
    std::snprintf(host, sizeof host, "cases-%d", static_cast<int>(::getpid()));
    CHECK_EQ(vsim_set_host(host), 0);
    int up[2], down[2];
    CHECK(::pipe(up) == 0 && ::pipe(down) == 0);
    const pid_t pid = ::fork();
    CHECK(pid >= 0);
    if (pid == 0) {
        ::close(up[0]);
        ::close(down[1]);
        xproc_side(true, down[0], up[1]);
        ::_exit(0);
    }
    ::close(up[1]);
    ::close(down[0]);
    xproc_side(false, up[0], down[1]);
    int status = 0;
    CHECK_EQ(::waitpid(pid, &status, 0), pid);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    CHECK(vsim_slot() == 0 || vsim_slot() == 1);
}

}  // namespace vcases
