// What the behaviour cases of the software EFA device share: their entry
// points (cases.cpp runs them by name) and a ready pair of queue pairs.
#pragma once

#include "harness.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace vcases {

using namespace t;

void case_queries();
void case_device_sets();
void case_refusals();
void case_memory();
void case_dmabuf_data();
void case_cq();
void case_qp_create();
void case_state_machine();
void case_send_recv();
void case_rdma();
void case_write_imm_consumes_recv();
void case_inline();
void case_batch_errors();
void case_error_completions();
void case_rnr_wait();
void case_ud();
void case_send_slots();
void case_sgid();
void case_channel();
void case_async();
void case_reorder();
void case_faults();
void case_threads();
void case_counters();
void case_xproc();

// The end of a case that made a device, a PD and an extended CQ on it.
inline void close_base(ibv_context *ctx, ibv_pd *pd, ibv_cq_ex *cq)
{
    CHECK_EQ(ibv_destroy_cq(as_cq(cq)), 0);
    CHECK_EQ(ibv_dealloc_pd(pd), 0);
    CHECK_EQ(ibv_close_device(ctx), 0);
}

// Two SRD QPs on one device, in RTS, sharing one extended CQ, plus a
// registered buffer for each side and an address handle for the device.
struct Pair {
    ibv_context *ctx;
    ibv_pd *pd;
    ibv_cq_ex *cq;
    ibv_qp *a, *b;
    ibv_ah *ah = nullptr;
    std::vector<unsigned char> abuf = std::vector<unsigned char>(65536);
    std::vector<unsigned char> bbuf = std::vector<unsigned char>(65536);
    ibv_mr *amr, *bmr;

    explicit Pair(QpOpts o = {}, uint64_t efa_flags = 0, int rnr = -1, int cqe = 256)
    {
        ctx = open_dev();
        pd = ibv_alloc_pd(ctx);
        CHECK(pd);
        cq = cq_ex(ctx, cqe, efa_flags);
        a = make_qp(ctx, pd, cq, cq, o);
        b = make_qp(ctx, pd, cq, cq, o);
        CHECK(a && b);
        CHECK_EQ(to_rts(a, rnr), 0);
        CHECK_EQ(to_rts(b, rnr), 0);
        ah = make_ah(pd, gid_of(ctx));
        amr = reg(pd, abuf.data(), abuf.size());
        bmr = reg(pd, bbuf.data(), bbuf.size());
    }
    ibv_sge asge(size_t off, uint32_t len) const
    {
        return {reinterpret_cast<uintptr_t>(abuf.data()) + off, len, amr->lkey};
    }
    ibv_sge bsge(size_t off, uint32_t len) const
    {
        return {reinterpret_cast<uintptr_t>(bbuf.data()) + off, len, bmr->lkey};
    }
    Wr send_to_b(uint32_t len, uint64_t wr_id = 1) const
    {
        Wr w;
        w.wr_id = wr_id;
        w.ah = ah;
        w.rqpn = b->qp_num;
        w.sges = {asge(0, len)};
        return w;
    }
    ~Pair()
    {
        CHECK_EQ(ibv_destroy_qp(a), 0);
        CHECK_EQ(ibv_destroy_qp(b), 0);
        if (ah) {
            CHECK_EQ(ibv_destroy_ah(ah), 0);
        }
        CHECK_EQ(ibv_dereg_mr(amr), 0);
        CHECK_EQ(ibv_dereg_mr(bmr), 0);
        close_base(ctx, pd, cq);
    }
};

inline const Wc *find(const std::vector<Wc> &v, uint32_t qp_num)
{
    for (const Wc &w : v) {
        if (w.qp_num == qp_num) {
            return &w;
        }
    }
    return nullptr;
}

inline void fill(std::vector<unsigned char> &v, unsigned char seed)
{
    for (size_t i = 0; i < v.size(); ++i) {
        v[i] = static_cast<unsigned char>(seed + i * 7);
    }
}

}  // namespace vcases
