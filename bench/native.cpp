// The native side of the benchmark: the same loops as bench/suite.py runs
// through vantor, written directly on the verbs API (the libibverbs/libefa
// the process has loaded, i.e. the simulator when it is active). Loaded with
// ctypes into the benchmarking process; every entry point builds its own
// resources, runs the timed loop, tears down, and returns the nanoseconds
// spent in the timed part, or -1 after printing why on stderr.
#include "efadv.hpp"

#include <infiniband/verbs.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

constexpr uint32_t kQkey = 0x11;
constexpr uint32_t kMsgSize = 64;

inline int64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool failed(const char *what)
{
    std::fprintf(stderr, "bench native: %s failed\n", what);
    return false;
}

#define CHECK(x)                                                                                   \
    if (!(x))                                                                                      \
    return failed(#x)

// What vantor copies out of each completion; the extended loops fill it
// through the accessors so both sides read the same data.
struct Completion {
    uint64_t wr_id;
    int32_t status;
    int32_t opcode;
    uint32_t vendor_err, byte_len, imm_data, qp_num, src_qp, wc_flags;
};

// One completion queue, classic or extended.
struct Queue {
    ibv_cq *cq = nullptr;
    ibv_cq_ex *cqx = nullptr;
    std::vector<ibv_wc> wcs;
    std::vector<Completion> out;

    bool create(ibv_context *ctx, int cqe, bool extended)
    {
        if (extended) {
            ibv_cq_init_attr_ex attr{};
            attr.cqe = static_cast<uint32_t>(cqe);
            attr.wc_flags = IBV_WC_STANDARD_FLAGS;
            efadv_cq_init_attr efa{};
            cqx = efadv_create_cq(ctx, &attr, &efa, sizeof efa);
            CHECK(cqx);
            cq = ibv_cq_ex_to_cq(cqx);
        } else {
            cq = ibv_create_cq(ctx, cqe, nullptr, nullptr, 0);
            CHECK(cq);
        }
        wcs.resize(static_cast<size_t>(cqe));
        out.resize(static_cast<size_t>(cqe));
        return true;
    }

    // Up to n completions; the number taken, or -1.
    int poll(int n)
    {
        if (cqx == nullptr) {
            return ibv_poll_cq(cq, n, wcs.data());
        }
        ibv_poll_cq_attr attr{};
        int rc = ibv_start_poll(cqx, &attr);
        if (rc == ENOENT) {
            return 0;
        }
        if (rc != 0) {
            return -1;
        }
        int got = 0;
        for (;;) {
            Completion &c = out[static_cast<size_t>(got)];
            c.wr_id = cqx->wr_id;
            c.status = cqx->status;
            c.opcode = ibv_wc_read_opcode(cqx);
            c.vendor_err = ibv_wc_read_vendor_err(cqx);
            c.byte_len = ibv_wc_read_byte_len(cqx);
            c.imm_data = be32toh(ibv_wc_read_imm_data(cqx));
            c.qp_num = ibv_wc_read_qp_num(cqx);
            c.src_qp = ibv_wc_read_src_qp(cqx);
            c.wc_flags = ibv_wc_read_wc_flags(cqx);
            if (++got == n) {
                break;
            }
            rc = ibv_next_poll(cqx);
            if (rc == ENOENT) {
                break;
            }
            if (rc != 0) {
                ibv_end_poll(cqx);
                return -1;
            }
        }
        ibv_end_poll(cqx);
        return got;
    }

    int status(int i) const
    {
        return cqx ? out[static_cast<size_t>(i)].status : wcs[static_cast<size_t>(i)].status;
    }

    // Exactly n completions, all successful (the in-process device
    // completes synchronously, so they are all there already).
    bool take(int n)
    {
        int seen = 0;
        while (seen < n) {
            int got = poll(n - seen);
            CHECK(got >= 0);
            for (int i = 0; i < got; ++i) {
                CHECK(status(i) == IBV_WC_SUCCESS);
            }
            CHECK(got > 0);
            seen += got;
        }
        return true;
    }

    void destroy()
    {
        if (cq) {
            ibv_destroy_cq(cq);
        }
        cq = nullptr;
        cqx = nullptr;
    }
};

// Two SRD queue pairs on the first device, each with its own CQ, one buffer
// registered for both directions, an address handle for the device's GID.
struct Pair {
    ibv_context *ctx = nullptr;
    ibv_pd *pd = nullptr;
    ibv_mr *mr = nullptr;
    ibv_ah *ah = nullptr;
    Queue cq[2];
    ibv_qp *qp[2] = {nullptr, nullptr};
    ibv_qp_ex *qpx = nullptr;  // the sender's
    char *buf = nullptr;
    size_t buf_size = 0;

    bool open(int depth, bool extended, uint64_t send_ops, size_t size)
    {
        int n = 0;
        ibv_device **list = ibv_get_device_list(&n);
        CHECK(list && n > 0);
        ctx = ibv_open_device(list[0]);
        ibv_free_device_list(list);
        CHECK(ctx);
        pd = ibv_alloc_pd(ctx);
        CHECK(pd);
        buf_size = size;
        // aligned_alloc wants a multiple of the alignment (AddressSanitizer
        // enforces it).
        buf = static_cast<char *>(std::aligned_alloc(4096, (size + 4095) / 4096 * 4096));
        CHECK(buf);
        std::memset(buf, 1, size);
        mr = ibv_reg_mr_iova2(pd, buf, size, reinterpret_cast<uintptr_t>(buf),
                              IBV_ACCESS_LOCAL_WRITE | IBV_ACCESS_REMOTE_WRITE |
                                  IBV_ACCESS_REMOTE_READ);
        CHECK(mr);
        for (int i = 0; i < 2; ++i) {
            CHECK(cq[i].create(ctx, 4 * depth, extended));
            ibv_qp_init_attr_ex a{};
            a.send_cq = a.recv_cq = cq[i].cq;
            a.cap.max_send_wr = static_cast<uint32_t>(depth);
            a.cap.max_recv_wr = static_cast<uint32_t>(depth);
            a.cap.max_send_sge = 1;
            a.cap.max_recv_sge = 1;
            a.qp_type = IBV_QPT_DRIVER;
            a.comp_mask = IBV_QP_INIT_ATTR_PD | IBV_QP_INIT_ATTR_SEND_OPS_FLAGS;
            a.pd = pd;
            a.send_ops_flags = send_ops;
            efadv_qp_init_attr e{};
            e.driver_qp_type = EFADV_QP_DRIVER_TYPE_SRD;
            qp[i] = efadv_create_qp_ex(ctx, &a, &e, sizeof e);
            CHECK(qp[i]);
            ibv_qp_attr m{};
            m.qp_state = IBV_QPS_INIT;
            m.port_num = 1;
            m.qkey = kQkey;
            CHECK(!ibv_modify_qp(qp[i], &m,
                                 IBV_QP_STATE | IBV_QP_PKEY_INDEX | IBV_QP_PORT | IBV_QP_QKEY));
            m.qp_state = IBV_QPS_RTR;
            CHECK(!ibv_modify_qp(qp[i], &m, IBV_QP_STATE));
            m.qp_state = IBV_QPS_RTS;
            CHECK(!ibv_modify_qp(qp[i], &m, IBV_QP_STATE | IBV_QP_SQ_PSN));
        }
        ibv_gid gid;
        CHECK(!ibv_query_gid(ctx, 1, 0, &gid));
        ibv_ah_attr aa{};
        aa.is_global = 1;
        aa.port_num = 1;
        aa.grh.dgid = gid;
        ah = ibv_create_ah(pd, &aa);
        CHECK(ah);
        qpx = ibv_qp_to_qp_ex(qp[0]);
        CHECK(qpx);
        return true;
    }

    ~Pair()
    {
        if (ah) {
            ibv_destroy_ah(ah);
        }
        for (ibv_qp *q : qp) {
            if (q) {
                ibv_destroy_qp(q);
            }
        }
        for (Queue &q : cq) {
            q.destroy();
        }
        if (mr) {
            ibv_dereg_mr(mr);
        }
        if (pd) {
            ibv_dealloc_pd(pd);
        }
        if (ctx) {
            ibv_close_device(ctx);
        }
        std::free(buf);
    }
};

// The message loop's four steps; a mask picks which ones are timed.
enum Step { kPostSend = 1, kPollRecv = 2, kPostRecv = 4, kPollSend = 8, kAll = 15 };

struct MessageLoop {
    Pair p;
    int batch = 1;
    ibv_sge send_sge{};
    std::vector<ibv_sge> recv_sges;
    std::vector<ibv_recv_wr> recv_wrs;

    bool open(int b, bool extended)
    {
        batch = b;
        CHECK(p.open(2 * b, extended, IBV_QP_EX_WITH_SEND, 8192));
        send_sge = {reinterpret_cast<uintptr_t>(p.buf), kMsgSize, p.mr->lkey};
        recv_sges.resize(static_cast<size_t>(b));
        recv_wrs.resize(static_cast<size_t>(b));
        for (int i = 0; i < b; ++i) {
            recv_sges[static_cast<size_t>(i)] = {reinterpret_cast<uintptr_t>(p.buf) + 4096,
                                                 kMsgSize, p.mr->lkey};
            ibv_recv_wr &w = recv_wrs[static_cast<size_t>(i)];
            w = ibv_recv_wr{};
            w.wr_id = static_cast<uint64_t>(i);
            w.sg_list = &recv_sges[static_cast<size_t>(i)];
            w.num_sge = 1;
            w.next = i + 1 < b ? &recv_wrs[static_cast<size_t>(i) + 1] : nullptr;
        }
        return post_recv();
    }

    bool post_recv()
    {
        ibv_recv_wr *bad = nullptr;
        CHECK(!ibv_post_recv(p.qp[1], recv_wrs.data(), &bad));
        return true;
    }

    bool post_send()
    {
        ibv_qp_ex *x = p.qpx;
        const uint32_t rqpn = p.qp[1]->qp_num;
        ibv_wr_start(x);
        for (int i = 0; i < batch; ++i) {
            x->wr_id = static_cast<uint64_t>(i);
            x->wr_flags = IBV_SEND_SIGNALED;
            ibv_wr_send(x);
            ibv_wr_set_ud_addr(x, p.ah, rqpn, kQkey);
            ibv_wr_set_sge_list(x, 1, &send_sge);
        }
        CHECK(!ibv_wr_complete(x));
        return true;
    }

    // One round; adds the time of the steps in `timed` to *ns.
    bool round(int timed, int64_t *ns)
    {
        for (int step = kPostSend; step <= kPollSend; step <<= 1) {
            const bool on = (timed & step) != 0 && timed != kAll;
            const int64_t t0 = on ? now_ns() : 0;
            bool ok;
            switch (step) {
            case kPostSend:
                ok = post_send();
                break;
            case kPollRecv:
                ok = p.cq[1].take(batch);
                break;
            case kPostRecv:
                ok = post_recv();
                break;
            default:
                ok = p.cq[0].take(batch);
                break;
            }
            if (on) {
                *ns += now_ns() - t0;
            }
            if (!ok) {
                return false;
            }
        }
        return true;
    }

    double run(long rounds, int timed)
    {
        int64_t ns = 0;
        const int64_t t0 = now_ns();
        for (long r = 0; r < rounds; ++r) {
            if (!round(timed, &ns)) {
                return -1;
            }
        }
        if (timed == kAll) {
            ns = now_ns() - t0;
        }
        return static_cast<double>(ns);
    }
};

}  // namespace

extern "C" {

// SRD SEND of 64-byte messages in batches of `batch` for `rounds` rounds:
// post the batch, take the receiver's completions, repost the receives,
// take the sender's completions. `timed` selects the steps timed (15: the
// whole round, one clock read around the loop).
double vb_messages(int batch, long rounds, int extended, int timed)
{
    MessageLoop loop;
    if (batch < 1 || !loop.open(batch, extended != 0)) {
        return -1;
    }
    return loop.run(rounds, timed);
}

// poll(1) on an empty queue, `calls` times.
double vb_empty_poll(long calls, int extended)
{
    Queue q;
    int n = 0;
    ibv_device **list = ibv_get_device_list(&n);
    if (!list || n == 0) {
        return -1;
    }
    ibv_context *ctx = ibv_open_device(list[0]);
    ibv_free_device_list(list);
    if (!ctx || !q.create(ctx, 16, extended != 0)) {
        return -1;
    }
    const int64_t t0 = now_ns();
    long got = 0;
    for (long i = 0; i < calls; ++i) {
        got += q.poll(1);
    }
    const int64_t t = now_ns() - t0;
    q.destroy();
    ibv_close_device(ctx);
    return got == 0 ? static_cast<double>(t) : -1;
}

// RDMA_WRITE of `size` bytes in batches of `batch`, from the first half of
// one registered buffer to its second half, the sender's completions taken
// after each batch.
double vb_rdma_write(long size, int batch, long rounds)
{
    Pair p;
    if (size < 1 || batch < 1 ||
        !p.open(2 * batch, false, IBV_QP_EX_WITH_RDMA_WRITE, 2 * static_cast<size_t>(size))) {
        return -1;
    }
    const ibv_sge sge{reinterpret_cast<uintptr_t>(p.buf), static_cast<uint32_t>(size), p.mr->lkey};
    const uint64_t remote = reinterpret_cast<uintptr_t>(p.buf) + static_cast<uint64_t>(size);
    const uint32_t rqpn = p.qp[1]->qp_num;
    ibv_qp_ex *x = p.qpx;
    const int64_t t0 = now_ns();
    for (long r = 0; r < rounds; ++r) {
        ibv_wr_start(x);
        for (int i = 0; i < batch; ++i) {
            x->wr_id = static_cast<uint64_t>(i);
            x->wr_flags = IBV_SEND_SIGNALED;
            ibv_wr_rdma_write(x, p.mr->rkey, remote);
            ibv_wr_set_ud_addr(x, p.ah, rqpn, kQkey);
            ibv_wr_set_sge_list(x, 1, &sge);
        }
        if (ibv_wr_complete(x) != 0 || !p.cq[0].take(batch)) {
            return -1;
        }
    }
    return static_cast<double>(now_ns() - t0);
}

// memcpy of `size` bytes between the two halves of one buffer, `count`
// times: the bandwidth ceiling of the simulated write.
double vb_memcpy(long size, long count)
{
    if (size < 1) {
        return -1;
    }
    char *buf = static_cast<char *>(
        std::aligned_alloc(4096, (2 * static_cast<size_t>(size) + 4095) / 4096 * 4096));
    if (!buf) {
        return -1;
    }
    std::memset(buf, 1, 2 * static_cast<size_t>(size));
    const int64_t t0 = now_ns();
    for (long i = 0; i < count; ++i) {
        std::memcpy(buf + size, buf, static_cast<size_t>(size));
        // Keeps the copy from being folded away across iterations.
        __asm__ __volatile__("" : : "r"(buf) : "memory");
    }
    const int64_t t = now_ns() - t0;
    std::free(buf);
    return static_cast<double>(t);
}

}  // extern "C"
