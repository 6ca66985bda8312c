// Behaviour cases of the software EFA device, driven through the verbs API
// the way an application uses it. Usage: sim_cases <case> (see main).
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

using namespace t;

namespace {

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
        CHECK_EQ(ibv_destroy_cq(as_cq(cq)), 0);
        CHECK_EQ(ibv_dealloc_pd(pd), 0);
        CHECK_EQ(ibv_close_device(ctx), 0);
    }
};

const Wc *find(const std::vector<Wc> &v, uint32_t qp_num)
{
    for (const Wc &w : v) {
        if (w.qp_num == qp_num) {
            return &w;
        }
    }
    return nullptr;
}

void fill(std::vector<unsigned char> &v, unsigned char seed)
{
    for (size_t i = 0; i < v.size(); ++i) {
        v[i] = static_cast<unsigned char>(seed + i * 7);
    }
}

// ---------------------------------------------------------------------------

void case_queries()
{
    ibv_context *ctx = open_dev();
    ibv_device_attr d{};
    CHECK_EQ(ibv_query_device(ctx, &d), 0);
    CHECK_EQ(d.vendor_id, 0x1d0f);
    CHECK_EQ(d.vendor_part_id, 0xefa1);
    CHECK(std::strcmp(d.fw_ver, "0.0.0.0") == 0);
    CHECK_EQ(d.phys_port_cnt, 1);
    CHECK_EQ(d.max_qp, 256);
    CHECK_EQ(d.max_sge, 2);
    CHECK_EQ(d.max_cqe, 32768);
    ibv_port_attr p{};
    CHECK_EQ(ibv_query_port(ctx, 1, &p), 0);  // the inline form
    CHECK_EQ(p.state, IBV_PORT_ACTIVE);
    CHECK_EQ(p.max_msg_sz, 8928u);
    CHECK_EQ(p.active_mtu, IBV_MTU_4096);
    CHECK_EQ(p.gid_tbl_len, 1);
    for (uint8_t bad : {0, 2}) {
        CHECK_EQ(ibv_query_port(ctx, bad, &p), EINVAL);
    }
    _compat_ibv_port_attr *compat = reinterpret_cast<_compat_ibv_port_attr *>(&p);
    std::memset(&p, 0, sizeof p);
    CHECK_EQ((ibv_query_port)(ctx, 1, compat), 0);  // the exported function
    CHECK_EQ(p.max_msg_sz, 8928u);
    ibv_gid g{};
    CHECK_EQ(ibv_query_gid(ctx, 1, 0, &g), 0);
    CHECK(g.raw[0] == 0xfe && g.raw[1] == 0x80);
    CHECK_EQ(ibv_query_gid(ctx, 1, 1, &g), -1);
    CHECK_EQ(errno, EINVAL);
    CHECK_EQ(ibv_query_gid(ctx, 2, 0, &g), -1);
    efadv_device_attr e{};
    CHECK_EQ(efadv_query_device(ctx, &e, sizeof e), 0);
    CHECK_EQ(e.max_sq_wr, 4096u);
    CHECK_EQ(e.max_rq_wr, 32768u);
    CHECK_EQ(e.max_rq_sge, 3);
    CHECK_EQ(e.inline_buf_size, 32);
    CHECK_EQ(e.device_caps, 31u);
    CHECK_EQ(e.max_rdma_size, 1073741824u);
    efadv_device_attr part;
    std::memset(&part, 0xab, sizeof part);
    CHECK_EQ(efadv_query_device(ctx, &part, 12), 0);  // only what fits is written
    CHECK_EQ(part.max_sq_wr, 4096u);
    CHECK_EQ(part.max_rq_wr, 0xababababu);
    CHECK_EQ(ctx->num_comp_vectors, 4);
    CHECK(fcntl(ctx->async_fd, F_GETFD) >= 0);
    CHECK_EQ(ibv_close_device(ctx), 0);
}

void case_device_sets()
{
    vsim_clear_devices();
    int n = -1;
    ibv_device **list = ibv_get_device_list(&n);
    CHECK(list && n == 0 && list[0] == nullptr);
    ibv_free_device_list(list);
    CHECK_EQ(vsim_add_device("rdmap16s27", 1), 0);
    CHECK_EQ(vsim_add_device("mlx5_0", 0), 1);
    CHECK_EQ(vsim_add_device("mlx5_0", 0), -EEXIST);
    CHECK_EQ(vsim_set_device_field(0, "efa.max_rdma_size", 4096), 0);
    CHECK_EQ(vsim_set_device_field(0, "no.such", 1), -EINVAL);
    CHECK_EQ(vsim_set_device_field(0, "port.lid", 1 << 20), -EINVAL);  // 16-bit field
    list = ibv_get_device_list(&n);
    CHECK_EQ(n, 2);
    CHECK(ibv_get_device_guid(list[0]) != ibv_get_device_guid(list[1]));
    ibv_free_device_list(list);
    ibv_context *efa = open_dev("rdmap16s27");
    ibv_context *other = open_dev("mlx5_0");
    CHECK(std::memcmp(gid_of(efa).raw, gid_of(other).raw, 16) != 0);
    efadv_device_attr e{};
    CHECK_EQ(efadv_query_device(efa, &e, sizeof e), 0);
    CHECK_EQ(e.max_rdma_size, 4096u);
    CHECK_EQ(efadv_query_device(other, &e, sizeof e), EOPNOTSUPP);
    ibv_cq_init_attr_ex a{};
    a.cqe = 8;
    efadv_cq_init_attr ea{};
    errno = 0;
    CHECK(efadv_create_cq(other, &a, &ea, sizeof ea) == nullptr);
    CHECK_EQ(errno, EOPNOTSUPP);
    // An open context survives a reset of the device set.
    vsim_reset();
    ibv_device_attr d{};
    CHECK_EQ(ibv_query_device(efa, &d), 0);
    CHECK_EQ(ibv_close_device(efa), 0);
    CHECK_EQ(ibv_close_device(other), 0);
}

void case_refusals()
{
    ibv_context *ctx = open_dev();
    ibv_pd *pd = ibv_alloc_pd(ctx);
    std::vector<char> buf(4096);
    ibv_mr *mr = reg(pd, buf.data(), buf.size());
    CHECK_EQ(ibv_dealloc_pd(pd), EBUSY);
    CHECK_EQ(ibv_dereg_mr(mr), 0);
    ibv_ah *ah = make_ah(pd, gid_of(ctx));
    CHECK_EQ(ibv_dealloc_pd(pd), EBUSY);
    CHECK_EQ(ibv_destroy_ah(ah), 0);
    ibv_comp_channel *ch = ibv_create_comp_channel(ctx);
    CHECK(ch);
    ibv_cq_ex *cq = cq_ex(ctx, 16, 0, ch);
    CHECK_EQ(ibv_destroy_comp_channel(ch), EBUSY);
    ibv_qp *qp = make_qp(ctx, pd, cq, cq);
    CHECK(qp);
    CHECK_EQ(ibv_dealloc_pd(pd), EBUSY);
    CHECK_EQ(ibv_destroy_cq(as_cq(cq)), EBUSY);
    CHECK_EQ(ibv_destroy_qp(qp), 0);
    CHECK_EQ(ibv_destroy_cq(as_cq(cq)), 0);
    CHECK_EQ(ibv_destroy_comp_channel(ch), 0);
    CHECK_EQ(ibv_dealloc_pd(pd), 0);
    CHECK_EQ(ibv_close_device(ctx), 0);
    CHECK_EQ(vsim_live("qp") + vsim_live("cq") + vsim_live("pd") + vsim_live("context"), 0);
}

void case_memory()
{
    ibv_context *ctx = open_dev();
    ibv_pd *pd = ibv_alloc_pd(ctx);
    std::vector<char> buf(8192);
    errno = 0;
    CHECK(!ibv_reg_mr_iova2(pd, buf.data(), 64, 0, IBV_ACCESS_REMOTE_WRITE));
    CHECK_EQ(errno, EINVAL);
    CHECK(!ibv_reg_mr_iova2(pd, buf.data(), 0, 0, IBV_ACCESS_LOCAL_WRITE));
    CHECK_EQ(errno, EINVAL);
    CHECK(!ibv_reg_mr_iova2(pd, buf.data(), 64, 0, IBV_ACCESS_REMOTE_ATOMIC | 1));
    CHECK_EQ(errno, EOPNOTSUPP);
    const long pg = sysconf(_SC_PAGESIZE);
    void *hole = mmap(nullptr, 3 * pg, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    CHECK(hole != MAP_FAILED);
    munmap(static_cast<char *>(hole) + pg, pg);
    CHECK(!ibv_reg_mr_iova2(pd, hole, 3 * pg, 0, IBV_ACCESS_LOCAL_WRITE));
    CHECK_EQ(errno, EFAULT);
    CHECK(!ibv_reg_mr_iova2(pd, nullptr, 1, 0, 0));
    CHECK_EQ(errno, EFAULT);
    void *ro = mmap(nullptr, pg, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    CHECK(!ibv_reg_mr_iova2(pd, ro, pg, 0, IBV_ACCESS_LOCAL_WRITE));
    CHECK_EQ(errno, EFAULT);
    ibv_mr *ro_mr = ibv_reg_mr_iova2(pd, ro, pg, 0, IBV_ACCESS_REMOTE_READ);
    CHECK(ro_mr);
    ibv_mr *m1 = reg(pd, buf.data(), 4096);
    ibv_mr *m2 = reg(pd, buf.data(), 4096);
    CHECK(m1->lkey != m2->lkey && m1->handle != m2->handle && m1->lkey == m1->rkey);
    CHECK(m1->addr == buf.data() && m1->length == 4096);
    efadv_mr_attr ma{};
    CHECK_EQ(efadv_query_mr(m1, &ma, sizeof ma), 0);
    CHECK_EQ(ma.ic_id_validity, 7);
    // dma-buf: a memfd stands in; data written through the region lands in it.
    const int fd = memfd_create("dmabuf", 0);
    CHECK(fd >= 0);
    CHECK_EQ(ftruncate(fd, 2 * pg), 0);
    errno = 0;
    CHECK(!ibv_reg_dmabuf_mr(pd, 0, 64, 0, 12345, IBV_ACCESS_LOCAL_WRITE));
    CHECK_EQ(errno, EBADF);
    CHECK(!ibv_reg_dmabuf_mr(pd, pg, 2 * pg, 0, fd, IBV_ACCESS_LOCAL_WRITE));
    CHECK_EQ(errno, EINVAL);  // past the end of the object
    ibv_mr *dm = ibv_reg_dmabuf_mr(pd, 100, 256, 0x1000, fd,
                                   IBV_ACCESS_LOCAL_WRITE | IBV_ACCESS_REMOTE_WRITE);
    CHECK(dm);
    for (ibv_mr *m : {m1, m2, dm, ro_mr}) {
        CHECK_EQ(ibv_dereg_mr(m), 0);
    }
    close(fd);
    munmap(hole, pg);
    munmap(static_cast<char *>(hole) + 2 * pg, pg);
    munmap(ro, pg);
    CHECK_EQ(ibv_dealloc_pd(pd), 0);
    CHECK_EQ(ibv_close_device(ctx), 0);
}

void case_dmabuf_data()
{
    Pair p;
    const long pg = sysconf(_SC_PAGESIZE);
    const int fd = memfd_create("dmabuf", 0);
    CHECK_EQ(ftruncate(fd, pg), 0);
    ibv_mr *dm = ibv_reg_dmabuf_mr(p.pd, 16, 128, 0x7000, fd,
                                   IBV_ACCESS_LOCAL_WRITE | IBV_ACCESS_REMOTE_WRITE);
    CHECK(dm);
    fill(p.abuf, 3);
    Wr w;
    w.opcode = IBV_WR_RDMA_WRITE;
    w.ah = p.ah;
    w.rqpn = p.b->qp_num;
    w.rkey = dm->rkey;
    w.raddr = 0x7000 + 8;  // iova space
    w.sges = {p.asge(0, 100)};
    CHECK_EQ(post(p.a, {w}), 0);
    auto wc = poll_ex(p.cq);
    CHECK_EQ(wc.size(), 1);
    CHECK_EQ(wc[0].status, IBV_WC_SUCCESS);
    unsigned char out[100];
    CHECK_EQ(pread(fd, out, 100, 16 + 8), 100);
    CHECK(std::memcmp(out, p.abuf.data(), 100) == 0);
    CHECK_EQ(ibv_dereg_mr(dm), 0);
    close(fd);
}

void case_cq()
{
    ibv_context *ctx = open_dev();
    ibv_cq_init_attr_ex a{};
    efadv_cq_init_attr e{};
    a.cqe = 0;
    CHECK(!efadv_create_cq(ctx, &a, &e, sizeof e) && errno == EINVAL);
    a.cqe = 32769;
    CHECK(!efadv_create_cq(ctx, &a, &e, sizeof e) && errno == EINVAL);
    a.cqe = 8;
    a.comp_vector = 4;
    CHECK(!efadv_create_cq(ctx, &a, &e, sizeof e) && errno == EINVAL);
    a.comp_vector = 3;
    a.wc_flags = IBV_WC_EX_WITH_COMPLETION_TIMESTAMP;
    CHECK(!efadv_create_cq(ctx, &a, &e, sizeof e) && errno == EOPNOTSUPP);
    a.wc_flags = IBV_WC_STANDARD_FLAGS;
    e.wc_flags = 4;
    CHECK(!efadv_create_cq(ctx, &a, &e, sizeof e) && errno == EOPNOTSUPP);
    e.wc_flags = 3;
    a.cqe = 100;
    ibv_cq_ex *cq = efadv_create_cq(ctx, &a, &e, sizeof e);
    CHECK(cq);
    CHECK_EQ(cq->cqe, 128);
    efadv_cq_attr qa{};
    CHECK_EQ(efadv_query_cq(as_cq(cq), &qa, sizeof qa), 0);
    CHECK_EQ(qa.entry_size, 32);
    CHECK_EQ(qa.num_entries, 128);
    CHECK(qa.buffer && qa.doorbell);
    ibv_cq *classic = ibv_create_cq(ctx, 5, reinterpret_cast<void *>(0x1234), nullptr, 0);
    CHECK(classic && classic->cqe == 8 && classic->cq_context == reinterpret_cast<void *>(0x1234));
    CHECK(!ibv_create_cq(ctx, 5, nullptr, nullptr, 4) && errno == EINVAL);
    ibv_wc wc[4];
    CHECK_EQ(ibv_poll_cq(classic, 4, wc), 0);
    CHECK_EQ(ibv_start_poll(cq, nullptr), ENOENT);
    // Another device's channel is refused.
    ibv_context *ctx2 = open_dev();
    ibv_comp_channel *ch2 = ibv_create_comp_channel(ctx2);
    CHECK(!ibv_create_cq(ctx, 5, nullptr, ch2, 0) && errno == EINVAL);
    CHECK_EQ(ibv_destroy_comp_channel(ch2), 0);
    CHECK_EQ(ibv_close_device(ctx2), 0);
    CHECK_EQ(ibv_destroy_cq(classic), 0);
    CHECK_EQ(ibv_destroy_cq(as_cq(cq)), 0);
    CHECK_EQ(ibv_close_device(ctx), 0);
}

void case_qp_create()
{
    ibv_context *ctx = open_dev();
    ibv_pd *pd = ibv_alloc_pd(ctx);
    ibv_cq_ex *cq = cq_ex(ctx);
    QpOpts o;
    ibv_qp *srd = make_qp(ctx, pd, cq, cq, o);
    CHECK(srd && srd->qp_type == IBV_QPT_DRIVER && srd->state == IBV_QPS_RESET);
    o.ud = true;
    ibv_qp *ud = make_qp(ctx, pd, cq, cq, o);
    CHECK(ud && ud->qp_type == IBV_QPT_UD);
    CHECK(srd->qp_num != ud->qp_num);
    CHECK(ibv_qp_to_qp_ex(srd) && ibv_qp_to_qp_ex(ud));
    CHECK(reinterpret_cast<void *>(ibv_qp_to_qp_ex(srd)) == srd);
    auto refused = [&](QpOpts q, int err) {
        errno = 0;
        ibv_qp *x = make_qp(ctx, pd, cq, cq, q);
        CHECK(!x);
        CHECK_EQ(errno, err);
    };
    QpOpts q;
    q.send_ops = 31 | IBV_QP_EX_WITH_ATOMIC_CMP_AND_SWP;
    refused(q, EOPNOTSUPP);
    q = {};
    q.max_send_sge = 3;
    refused(q, EINVAL);
    q = {};
    q.max_recv_sge = 4;
    refused(q, EINVAL);
    q = {};
    q.max_inline = 33;
    refused(q, EINVAL);
    q = {};
    q.max_send_wr = 4097;
    refused(q, EINVAL);
    q = {};
    q.efa_flags = 2;
    refused(q, EOPNOTSUPP);
    // The verbs path creates UD only; missing PD or CQs are refused.
    ibv_qp_init_attr_ex a{};
    a.send_cq = as_cq(cq);
    a.recv_cq = as_cq(cq);
    a.qp_type = IBV_QPT_DRIVER;
    a.comp_mask = IBV_QP_INIT_ATTR_PD | IBV_QP_INIT_ATTR_SEND_OPS_FLAGS;
    a.pd = pd;
    a.send_ops_flags = 4;
    CHECK(!ibv_create_qp_ex(ctx, &a) && errno == EOPNOTSUPP);
    a.qp_type = IBV_QPT_UD;
    a.send_ops_flags = IBV_QP_EX_WITH_RDMA_READ;
    CHECK(!ibv_create_qp_ex(ctx, &a) && errno == EOPNOTSUPP);
    a.send_ops_flags = 4;
    a.recv_cq = nullptr;
    CHECK(!ibv_create_qp_ex(ctx, &a) && errno == EINVAL);
    efadv_wq_attr sq{}, rq{};
    CHECK_EQ(efadv_query_qp_wqs(srd, &sq, &rq, sizeof sq), 0);
    CHECK(sq.buffer && rq.buffer && sq.max_batch == 16 && sq.num_entries == 16);
    CHECK_EQ(ibv_destroy_qp(srd), 0);
    CHECK_EQ(ibv_destroy_qp(ud), 0);
    CHECK_EQ(ibv_destroy_cq(as_cq(cq)), 0);
    CHECK_EQ(ibv_dealloc_pd(pd), 0);
    CHECK_EQ(ibv_close_device(ctx), 0);
}

void case_state_machine()
{
    ibv_context *ctx = open_dev();
    ibv_pd *pd = ibv_alloc_pd(ctx);
    ibv_cq_ex *cq = cq_ex(ctx);
    ibv_qp *qp = make_qp(ctx, pd, cq, cq);
    ibv_qp_attr a{};
    a.qp_state = IBV_QPS_RTR;
    CHECK_EQ(ibv_modify_qp(qp, &a, IBV_QP_STATE), EINVAL);  // RESET -> RTR
    a.qp_state = IBV_QPS_INIT;
    a.port_num = 1;
    a.qkey = 7;
    CHECK_EQ(ibv_modify_qp(qp, &a, IBV_QP_STATE | IBV_QP_PORT | IBV_QP_QKEY), EINVAL);
    a.port_num = 2;
    CHECK_EQ(ibv_modify_qp(qp, &a, IBV_QP_STATE | IBV_QP_PKEY_INDEX | IBV_QP_PORT | IBV_QP_QKEY),
             EINVAL);
    a.port_num = 1;
    CHECK_EQ(ibv_modify_qp(qp, &a, IBV_QP_STATE | IBV_QP_PKEY_INDEX | IBV_QP_PORT | IBV_QP_QKEY),
             0);
    a = {};
    a.qp_state = IBV_QPS_RTS;
    CHECK_EQ(ibv_modify_qp(qp, &a, IBV_QP_STATE | IBV_QP_SQ_PSN), EINVAL);  // INIT -> RTS
    a.qp_state = IBV_QPS_RTR;
    CHECK_EQ(ibv_modify_qp(qp, &a, IBV_QP_STATE), 0);
    a.qp_state = IBV_QPS_RTS;
    CHECK_EQ(ibv_modify_qp(qp, &a, IBV_QP_STATE), EINVAL);  // SQ_PSN missing
    a.sq_psn = 99;
    a.rnr_retry = 7;
    CHECK_EQ(ibv_modify_qp(qp, &a, IBV_QP_STATE | IBV_QP_SQ_PSN | IBV_QP_RNR_RETRY), 0);
    ibv_qp_attr q{};
    ibv_qp_init_attr qi{};
    CHECK_EQ(ibv_query_qp(qp, &q, IBV_QP_STATE, &qi), 0);
    CHECK_EQ(q.qp_state, IBV_QPS_RTS);
    CHECK_EQ(q.qkey, 7);
    CHECK_EQ(q.sq_psn, 99);
    CHECK_EQ(q.rnr_retry, 7);
    CHECK_EQ(q.port_num, 1);
    CHECK_EQ(qi.cap.max_send_wr, 16);
    CHECK_EQ(qi.cap.max_inline_data, 32);
    CHECK_EQ(vsim_qp_state(qp->qp_num), IBV_QPS_RTS);
    // Receives posted, then ERR: each is flushed.
    std::vector<char> buf(64);
    ibv_mr *mr = reg(pd, buf.data(), buf.size());
    for (uint64_t id = 1; id <= 3; ++id) {
        CHECK_EQ(post_recv(qp, id, {{reinterpret_cast<uintptr_t>(buf.data()), 64, mr->lkey}}), 0);
    }
    a = {};
    a.qp_state = IBV_QPS_ERR;
    CHECK_EQ(ibv_modify_qp(qp, &a, IBV_QP_STATE), 0);
    auto wc = poll_ex(cq);
    CHECK_EQ(wc.size(), 3);
    for (uint64_t i = 0; i < 3; ++i) {
        CHECK_EQ(wc[i].wr_id, i + 1);
        CHECK_EQ(wc[i].status, IBV_WC_WR_FLUSH_ERR);
        CHECK_EQ(wc[i].vendor_err, 1);
    }
    a.qp_state = IBV_QPS_RTS;
    CHECK_EQ(ibv_modify_qp(qp, &a, IBV_QP_STATE | IBV_QP_SQ_PSN), EINVAL);  // ERR -> RTS
    a.qp_state = IBV_QPS_RESET;
    CHECK_EQ(ibv_modify_qp(qp, &a, IBV_QP_STATE), 0);
    CHECK_EQ(post_recv(qp, 9, {}), EINVAL);  // RESET
    CHECK_EQ(ibv_destroy_qp(qp), 0);
    CHECK_EQ(ibv_dereg_mr(mr), 0);
    CHECK_EQ(ibv_destroy_cq(as_cq(cq)), 0);
    CHECK_EQ(ibv_dealloc_pd(pd), 0);
    CHECK_EQ(ibv_close_device(ctx), 0);
}

void case_send_recv()
{
    Pair p;
    fill(p.abuf, 1);
    CHECK_EQ(post_recv(p.b, 77, {p.bsge(10, 100), p.bsge(500, 100)}), 0);
    CHECK_EQ(post(p.a, {p.send_to_b(150, 5)}), 0);
    auto wc = poll_ex(p.cq);
    CHECK_EQ(wc.size(), 2);
    const Wc *r = find(wc, p.b->qp_num), *s = find(wc, p.a->qp_num);
    CHECK(r && s);
    CHECK_EQ(r->wr_id, 77);
    CHECK_EQ(r->status, IBV_WC_SUCCESS);
    CHECK_EQ(r->opcode, IBV_WC_RECV);
    CHECK_EQ(r->byte_len, 150);
    CHECK_EQ(r->src_qp, p.a->qp_num);
    CHECK_EQ(r->wc_flags & IBV_WC_WITH_IMM, 0);
    CHECK_EQ(s->wr_id, 5);
    CHECK_EQ(s->opcode, IBV_WC_SEND);
    CHECK_EQ(s->byte_len, 0);
    CHECK(std::memcmp(p.bbuf.data() + 10, p.abuf.data(), 100) == 0);
    CHECK(std::memcmp(p.bbuf.data() + 500, p.abuf.data() + 100, 50) == 0);
    CHECK_EQ(p.bbuf[550], 0);
    // Classic polling sees the same fields; imm arrives in network order.
    CHECK_EQ(post_recv(p.b, 78, {p.bsge(0, 64)}), 0);
    Wr w = p.send_to_b(8, 6);
    w.opcode = IBV_WR_SEND_WITH_IMM;
    w.imm = 42;
    CHECK_EQ(post(p.a, {w}), 0);
    ibv_wc c[4];
    CHECK_EQ(ibv_poll_cq(as_cq(p.cq), 4, c), 2);
    const ibv_wc &rc = c[0].qp_num == p.b->qp_num ? c[0] : c[1];
    CHECK_EQ(ntohl(rc.imm_data), 42);
    CHECK(rc.wc_flags & IBV_WC_WITH_IMM);
    CHECK_EQ(rc.opcode, IBV_WC_RECV);
    CHECK_EQ(rc.byte_len, 8);
}

void case_rdma()
{
    QpOpts o;
    o.efa_flags = EFADV_QP_FLAGS_UNSOLICITED_WRITE_RECV;
    Pair p(o, EFADV_WC_EX_WITH_IS_UNSOLICITED);
    fill(p.abuf, 9);
    fill(p.bbuf, 100);
    const uint64_t bbase = reinterpret_cast<uintptr_t>(p.bbuf.data());
    Wr w;
    w.ah = p.ah;
    w.rqpn = p.b->qp_num;
    w.opcode = IBV_WR_RDMA_READ;
    w.rkey = p.bmr->rkey;
    w.raddr = bbase + 1000;
    w.sges = {p.asge(0, 300), p.asge(4000, 200)};
    CHECK_EQ(post(p.a, {w}), 0);
    auto wc = poll_ex(p.cq);
    CHECK_EQ(wc.size(), 1);
    CHECK_EQ(wc[0].opcode, IBV_WC_SEND);  // RDMA read reports SEND, as the provider does
    CHECK(std::memcmp(p.abuf.data(), p.bbuf.data() + 1000, 300) == 0);
    CHECK(std::memcmp(p.abuf.data() + 4000, p.bbuf.data() + 1300, 200) == 0);
    fill(p.abuf, 50);
    w.opcode = IBV_WR_RDMA_WRITE;
    w.raddr = bbase + 2000;
    w.sges = {p.asge(0, 256)};
    CHECK_EQ(post(p.a, {w}), 0);
    wc = poll_ex(p.cq);
    CHECK_EQ(wc.size(), 1);
    CHECK_EQ(wc[0].opcode, IBV_WC_RDMA_WRITE);
    CHECK(std::memcmp(p.bbuf.data() + 2000, p.abuf.data(), 256) == 0);
    // Write with immediate on an unsolicited-receive QP: no receive used.
    w.opcode = IBV_WR_RDMA_WRITE_WITH_IMM;
    w.imm = 0xdeadbeef;
    w.wr_id = 31;
    CHECK_EQ(post(p.a, {w}), 0);
    wc = poll_ex(p.cq);
    CHECK_EQ(wc.size(), 2);
    const Wc *r = find(wc, p.b->qp_num);
    CHECK(r && r->unsolicited && r->wr_id == 0 && r->imm == 0xdeadbeef);
    CHECK_EQ(r->opcode, IBV_WC_RECV_RDMA_WITH_IMM);
    CHECK_EQ(r->byte_len, 256);
    CHECK_EQ(find(wc, p.a->qp_num)->opcode, IBV_WC_RDMA_WRITE);
}

void case_write_imm_consumes_recv()
{
    Pair p;
    Wr w;
    w.ah = p.ah;
    w.rqpn = p.b->qp_num;
    w.opcode = IBV_WR_RDMA_WRITE_WITH_IMM;
    w.rkey = p.bmr->rkey;
    w.raddr = reinterpret_cast<uintptr_t>(p.bbuf.data());
    w.imm = 5;
    w.sges = {p.asge(0, 16)};
    CHECK_EQ(post(p.a, {w}), 0);
    auto wc = poll_ex(p.cq);
    CHECK_EQ(find(wc, p.a->qp_num)->status, IBV_WC_RNR_RETRY_EXC_ERR);  // no receive posted
    CHECK_EQ(find(wc, p.a->qp_num)->vendor_err, 10);
    CHECK_EQ(post_recv(p.b, 66, {}), 0);
    CHECK_EQ(post(p.a, {w}), 0);
    wc = poll_ex(p.cq);
    const Wc *r = find(wc, p.b->qp_num);
    CHECK(r && r->wr_id == 66 && !r->unsolicited && r->imm == 5);
    CHECK_EQ(r->opcode, IBV_WC_RECV_RDMA_WITH_IMM);
}

void case_inline()
{
    Pair p;
    CHECK_EQ(post_recv(p.b, 1, {p.bsge(0, 64)}), 0);
    char data[20] = "inline payload";
    char more[12] = "+tail";
    Wr w;
    w.ah = p.ah;
    w.rqpn = p.b->qp_num;
    w.flags = IBV_SEND_SIGNALED | IBV_SEND_INLINE;
    w.inl = {{data, 14}, {more, 5}};
    CHECK_EQ(post(p.a, {w}), 0);
    std::memset(data, 'x', sizeof data);  // reusable at once
    poll_ex(p.cq);
    CHECK(std::memcmp(p.bbuf.data(), "inline payload+tail", 19) == 0);
}

// Each latched error: wr_complete fails, nothing of the batch moves.
void case_batch_errors()
{
    Pair p;
    for (int k = 0; k < 4; ++k) {
        CHECK_EQ(post_recv(p.b, 100 + k, {p.bsge(0, 64)}), 0);
    }
    const Wr good = p.send_to_b(8, 1);
    auto refused = [&](Wr bad, int err) {
        CHECK_EQ(post(p.a, {good, bad}), err);
        CHECK(poll_ex(p.cq).empty());
    };
    Wr w = good;
    w.flags = 0;
    refused(w, EINVAL);  // unsignaled
    w = good;
    w.flags = IBV_SEND_SIGNALED | IBV_SEND_SOLICITED;
    refused(w, EINVAL);
    w = good;
    w.sges = {p.asge(0, 1), p.asge(1, 1), p.asge(2, 1)};
    refused(w, EINVAL);  // more than max_send_sge
    w = good;
    w.flags = IBV_SEND_SIGNALED | IBV_SEND_INLINE;
    static char big[33];
    w.inl = {{big, 33}};
    refused(w, EINVAL);
    std::vector<Wr> many(17, good);
    CHECK_EQ(post(p.a, many), ENOMEM);  // send queue of 16
    CHECK(poll_ex(p.cq).empty());
    // An opcode outside send_ops_flags.
    ibv_qp_ex *x = ibv_qp_to_qp_ex(p.a);
    QpOpts o;
    o.send_ops = IBV_QP_EX_WITH_SEND;
    ibv_qp *narrow = make_qp(p.ctx, p.pd, p.cq, p.cq, o);
    CHECK_EQ(to_rts(narrow), 0);
    w = good;
    w.opcode = IBV_WR_SEND_WITH_IMM;
    CHECK_EQ(post(narrow, {w}), EINVAL);
    // Not in RTS.
    ibv_qp_attr a{};
    a.qp_state = IBV_QPS_ERR;
    CHECK_EQ(ibv_modify_qp(narrow, &a, IBV_QP_STATE), 0);
    CHECK_EQ(post(narrow, {good}), EINVAL);
    CHECK_EQ(ibv_destroy_qp(narrow), 0);
    // Abort discards the batch; the queue is whole afterwards.
    ibv_wr_start(x);
    build(x, good);
    ibv_wr_abort(x);
    CHECK(poll_ex(p.cq).empty());
    CHECK_EQ(post(p.a, std::vector<Wr>(4, good)), 0);
    CHECK_EQ(poll_ex(p.cq).size(), 8);
}

void case_error_completions()
{
    vsim_set_device_field(0, "efa.max_rdma_size", 1024);
    Pair p;
    const uint64_t bbase = reinterpret_cast<uintptr_t>(p.bbuf.data());
    auto sender_status = [&](Wr w, int status, int vendor) {
        CHECK_EQ(post(p.a, {w}), 0);
        auto wc = poll_ex(p.cq);
        const Wc *s = find(wc, p.a->qp_num);
        CHECK(s);
        CHECK_EQ(s->status, status);
        CHECK_EQ(s->vendor_err, vendor);
        return wc;
    };
    Wr w = p.send_to_b(8);
    w.sges[0].lkey ^= 0x100;
    sender_status(w, IBV_WC_LOC_PROT_ERR, 5);
    w = p.send_to_b(8);
    w.sges[0].addr = reinterpret_cast<uintptr_t>(p.abuf.data()) + 65530;  // past the region
    sender_status(w, IBV_WC_LOC_PROT_ERR, 5);
    sender_status(p.send_to_b(8929), IBV_WC_LOC_LEN_ERR, 6);
    w = p.send_to_b(8);
    w.rqpn = 0xfffff0;
    sender_status(w, IBV_WC_REM_INV_RD_REQ_ERR, 9);
    w = p.send_to_b(8);
    w.rqkey = 1;
    sender_status(w, IBV_WC_REM_INV_RD_REQ_ERR, 9);
    ibv_gid nowhere{};
    nowhere.raw[0] = 0xfe;
    nowhere.raw[15] = 0x99;
    ibv_ah *far = make_ah(p.pd, nowhere);
    w = p.send_to_b(8);
    w.ah = far;
    sender_status(w, IBV_WC_REM_OP_ERR, 14);
    CHECK_EQ(ibv_destroy_ah(far), 0);
    Wr r;
    r.ah = p.ah;
    r.rqpn = p.b->qp_num;
    r.opcode = IBV_WR_RDMA_READ;
    r.rkey = p.bmr->rkey ^ 0x200;
    r.raddr = bbase;
    r.sges = {p.asge(0, 64)};
    sender_status(r, IBV_WC_REM_ACCESS_ERR, 7);
    r.rkey = p.bmr->rkey;
    r.raddr = bbase + 65536 - 32;
    sender_status(r, IBV_WC_REM_ACCESS_ERR, 7);
    r.raddr = bbase;
    r.sges = {p.asge(0, 1025)};
    sender_status(r, IBV_WC_LOC_LEN_ERR, 6);
    std::vector<char> ro(4096);
    ibv_mr *romr = reg(p.pd, ro.data(), ro.size(), IBV_ACCESS_LOCAL_WRITE);
    r.opcode = IBV_WR_RDMA_WRITE;
    r.rkey = romr->rkey;
    r.raddr = reinterpret_cast<uintptr_t>(ro.data());
    r.sges = {p.asge(0, 64)};
    sender_status(r, IBV_WC_REM_ACCESS_ERR, 7);  // no remote write right
    CHECK_EQ(ibv_dereg_mr(romr), 0);
    // Receive buffer too small: both sides see it.
    CHECK_EQ(post_recv(p.b, 3, {p.bsge(0, 4)}), 0);
    auto wc = sender_status(p.send_to_b(8), IBV_WC_REM_INV_REQ_ERR, 11);
    const Wc *rr = find(wc, p.b->qp_num);
    CHECK(rr && rr->wr_id == 3 && rr->status == IBV_WC_LOC_LEN_ERR && rr->vendor_err == 6);
}

void case_rnr_wait()
{
    Pair p({}, 0, 7);
    fill(p.abuf, 4);
    CHECK_EQ(post(p.a, {p.send_to_b(32, 8)}), 0);
    CHECK(poll_ex(p.cq).empty());  // waiting for a receive
    CHECK_EQ(post_recv(p.b, 9, {p.bsge(0, 64)}), 0);
    auto wc = poll_ex(p.cq);
    CHECK_EQ(wc.size(), 2);
    CHECK_EQ(find(wc, p.a->qp_num)->status, IBV_WC_SUCCESS);
    CHECK_EQ(find(wc, p.b->qp_num)->wr_id, 9);
    CHECK(std::memcmp(p.bbuf.data(), p.abuf.data(), 32) == 0);
    // Entering ERR flushes a send still waiting at the peer.
    CHECK_EQ(post(p.a, {p.send_to_b(8, 10)}), 0);
    ibv_qp_attr a{};
    a.qp_state = IBV_QPS_ERR;
    CHECK_EQ(ibv_modify_qp(p.a, &a, IBV_QP_STATE), 0);
    wc = poll_ex(p.cq);
    CHECK_EQ(wc.size(), 1);
    CHECK_EQ(wc[0].status, IBV_WC_WR_FLUSH_ERR);
    CHECK_EQ(wc[0].wr_id, 10);
}

void case_ud()
{
    ibv_context *ctx = open_dev();
    ibv_pd *pd = ibv_alloc_pd(ctx);
    ibv_cq_ex *cq = cq_ex(ctx);
    QpOpts o;
    o.ud = true;
    ibv_qp *a = make_qp(ctx, pd, cq, cq, o), *b = make_qp(ctx, pd, cq, cq, o);
    CHECK_EQ(to_rts(a), 0);
    CHECK_EQ(to_rts(b), 0);
    ibv_ah *ah = make_ah(pd, gid_of(ctx));
    std::vector<char> buf(256, 'u');
    ibv_mr *mr = reg(pd, buf.data(), buf.size());
    Wr w;
    w.ah = ah;
    w.rqpn = b->qp_num;
    w.sges = {{reinterpret_cast<uintptr_t>(buf.data()), 16, mr->lkey}};
    CHECK_EQ(post(a, {w}), 0);  // nobody listening: dropped, sender still succeeds
    auto wc = poll_ex(cq);
    CHECK_EQ(wc.size(), 1);
    CHECK_EQ(wc[0].status, IBV_WC_SUCCESS);
    // The first 40 bytes of a UD receive buffer are the device's; the
    // payload follows, and byte_len counts both. The prefix may span entries.
    std::vector<char> rbuf(128, 'r');
    ibv_mr *rmr = reg(pd, rbuf.data(), rbuf.size());
    const auto at = [&](size_t off) { return reinterpret_cast<uintptr_t>(rbuf.data()) + off; };
    CHECK_EQ(post_recv(b, 4, {{at(0), 56, rmr->lkey}}), 0);
    CHECK_EQ(post(a, {w}), 0);
    wc = poll_ex(cq);
    CHECK_EQ(wc.size(), 2);
    CHECK_EQ(find(wc, b->qp_num)->byte_len, 56);
    CHECK_EQ(find(wc, b->qp_num)->status, IBV_WC_SUCCESS);
    CHECK(std::memcmp(rbuf.data() + 40, buf.data(), 16) == 0);
    CHECK(rbuf[56] == 'r');
    std::fill(rbuf.begin(), rbuf.end(), 'r');
    CHECK_EQ(post_recv(b, 5, {{at(64), 30, rmr->lkey}, {at(100), 26, rmr->lkey}}), 0);
    CHECK_EQ(post(a, {w}), 0);
    wc = poll_ex(cq);
    CHECK_EQ(find(wc, b->qp_num)->byte_len, 56);
    CHECK(std::memcmp(rbuf.data() + 110, buf.data(), 16) == 0);
    CHECK(rbuf[126] == 'r' && rbuf[99] == 'r');
    // Room for the payload but not for prefix and payload: the receiver's
    // length error; the datagram's sender still succeeds.
    CHECK_EQ(post_recv(b, 6, {{at(0), 55, rmr->lkey}}), 0);
    CHECK_EQ(post(a, {w}), 0);
    wc = poll_ex(cq);
    CHECK_EQ(wc.size(), 2);
    CHECK_EQ(find(wc, a->qp_num)->status, IBV_WC_SUCCESS);
    CHECK_EQ(find(wc, b->qp_num)->status, IBV_WC_LOC_LEN_ERR);
    CHECK_EQ(find(wc, b->qp_num)->vendor_err, 6);
    CHECK_EQ(ibv_dereg_mr(rmr), 0);
    w.opcode = IBV_WR_RDMA_WRITE;
    CHECK_EQ(post(a, {w}), EINVAL);  // not in a UD QP's send_ops_flags
    for (ibv_qp *q : {a, b}) {
        CHECK_EQ(ibv_destroy_qp(q), 0);
    }
    CHECK_EQ(ibv_destroy_ah(ah), 0);
    CHECK_EQ(ibv_dereg_mr(mr), 0);
    CHECK_EQ(ibv_destroy_cq(as_cq(cq)), 0);
    CHECK_EQ(ibv_dealloc_pd(pd), 0);
    CHECK_EQ(ibv_close_device(ctx), 0);
}

// A send-queue slot comes back when a poll of the send CQ processes its
// completion, by either poll interface, whichever QP shares the CQ.
void case_send_slots()
{
    QpOpts o;
    o.max_send_wr = 4;
    Pair p(o);
    std::vector<Wr> four;
    for (uint64_t k = 0; k < 4; ++k) {
        Wr w;
        w.opcode = IBV_WR_RDMA_WRITE;
        w.wr_id = k;
        w.ah = p.ah;
        w.rqpn = p.b->qp_num;
        w.rkey = p.bmr->rkey;
        w.raddr = reinterpret_cast<uintptr_t>(p.bbuf.data());
        w.sges = {p.asge(0, 8)};
        four.push_back(w);
    }
    std::vector<Wr> five = four;
    five.push_back(four[0]);
    CHECK_EQ(post(p.a, five), ENOMEM);  // more than the queue holds: none goes
    CHECK(poll_ex(p.cq).empty());
    CHECK_EQ(post(p.a, four), 0);
    // Every transfer is done, but nothing was polled: the queue is full.
    CHECK_EQ(post(p.a, {four[0]}), ENOMEM);
    // The other QP on the same CQ has its own slots.
    CHECK_EQ(post(p.b, {four[1]}), 0);
    ibv_wc wc[2];
    CHECK_EQ(ibv_poll_cq(as_cq(p.cq), 1, wc), 1);  // frees one slot of a
    CHECK_EQ(wc[0].qp_num, p.a->qp_num);
    CHECK_EQ(post(p.a, {four[0]}), 0);
    CHECK_EQ(post(p.a, {four[0]}), ENOMEM);
    // Extended polling frees each slot as it reaches its completion.
    ibv_poll_cq_attr attr{};
    CHECK_EQ(ibv_start_poll(p.cq, &attr), 0);
    CHECK_EQ(ibv_next_poll(p.cq), 0);
    ibv_end_poll(p.cq);
    CHECK_EQ(post(p.a, {four[0], four[1]}), 0);
    CHECK_EQ(post(p.a, {four[0]}), ENOMEM);
    // The classic path reports the refusal through bad_wr.
    ibv_send_wr sw{};
    ibv_sge sg = p.asge(0, 8);
    sw.wr_id = 9;
    sw.sg_list = &sg;
    sw.num_sge = 1;
    sw.opcode = IBV_WR_SEND;
    sw.send_flags = IBV_SEND_SIGNALED;
    sw.wr.ud.ah = p.ah;
    sw.wr.ud.remote_qpn = p.b->qp_num;
    sw.wr.ud.remote_qkey = kQkey;
    ibv_send_wr *bad = nullptr;
    CHECK_EQ(ibv_post_send(p.a, &sw, &bad), ENOMEM);
    CHECK(bad == &sw);
    auto left = poll_ex(p.cq);
    CHECK_EQ(left.size(), 5);  // 4 of a, 1 of b
    CHECK_EQ(post(p.a, four), 0);
    // Destroying a QP whose completions were never polled leaves them in the
    // CQ; polling them later does not touch the QP any more.
    ibv_qp *c = make_qp(p.ctx, p.pd, p.cq, p.cq, o);
    CHECK_EQ(to_rts(c), 0);
    CHECK_EQ(post(c, {four[0], four[1]}), 0);
    CHECK_EQ(ibv_destroy_qp(c), 0);
    CHECK_EQ(poll_ex(p.cq).size(), 6);
    CHECK_EQ(post(p.a, four), 0);
    // Entering ERR with completions unpolled: posting is refused; back
    // through RESET the queue starts empty.
    ibv_qp_attr qa{};
    qa.qp_state = IBV_QPS_ERR;
    CHECK_EQ(ibv_modify_qp(p.a, &qa, IBV_QP_STATE), 0);
    CHECK_EQ(post(p.a, {four[0]}), EINVAL);
    qa.qp_state = IBV_QPS_RESET;
    CHECK_EQ(ibv_modify_qp(p.a, &qa, IBV_QP_STATE), 0);
    CHECK_EQ(to_rts(p.a), 0);
    CHECK_EQ(post(p.a, four), 0);
    CHECK_EQ(post(p.a, {four[0]}), ENOMEM);
    CHECK_EQ(poll_ex(p.cq).size(), 8);  // the stale four and the new four
    CHECK_EQ(post(p.a, four), 0);
    CHECK_EQ(poll_ex(p.cq).size(), 4);
}

void case_sgid()
{
    Pair p({}, EFADV_WC_EX_WITH_SGID);
    // Sender on another PD, device 2: the receiver has no AH for it.
    CHECK_EQ(vsim_add_device("efa_1", 1), 1);
    ibv_context *c2 = open_dev("efa_1");
    ibv_pd *pd2 = ibv_alloc_pd(c2);
    ibv_cq_ex *cq2 = cq_ex(c2);
    ibv_qp *s = make_qp(c2, pd2, cq2, cq2);
    CHECK_EQ(to_rts(s), 0);
    ibv_ah *to_p = make_ah(pd2, gid_of(p.ctx));
    std::vector<char> buf(64, 's');
    ibv_mr *mr = reg(pd2, buf.data(), buf.size());
    CHECK_EQ(post_recv(p.b, 1, {p.bsge(0, 64)}), 0);
    Wr w;
    w.ah = to_p;
    w.rqpn = p.b->qp_num;
    w.sges = {{reinterpret_cast<uintptr_t>(buf.data()), 8, mr->lkey}};
    CHECK_EQ(post(s, {w}), 0);
    auto wc = poll_ex(p.cq);
    CHECK_EQ(wc.size(), 1);
    CHECK(wc[0].has_sgid);
    CHECK(std::memcmp(wc[0].sgid.raw, gid_of(c2).raw, 16) == 0);
    // Own device: the PD holds an AH for that GID, so no GID is reported.
    CHECK_EQ(post_recv(p.b, 2, {p.bsge(0, 64)}), 0);
    CHECK_EQ(post(p.a, {p.send_to_b(8)}), 0);
    wc = poll_ex(p.cq);
    const Wc *r = find(wc, p.b->qp_num);
    CHECK(r && !r->has_sgid);
    poll_ex(cq2);
    CHECK_EQ(ibv_destroy_qp(s), 0);
    CHECK_EQ(ibv_destroy_ah(to_p), 0);
    CHECK_EQ(ibv_dereg_mr(mr), 0);
    CHECK_EQ(ibv_destroy_cq(as_cq(cq2)), 0);
    CHECK_EQ(ibv_dealloc_pd(pd2), 0);
    CHECK_EQ(ibv_close_device(c2), 0);
}

bool readable(int fd, int ms)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval tv{0, ms * 1000};
    return select(fd + 1, &set, nullptr, nullptr, &tv) == 1;
}

void case_channel()
{
    ibv_context *ctx = open_dev();
    ibv_pd *pd = ibv_alloc_pd(ctx);
    ibv_comp_channel *ch = ibv_create_comp_channel(ctx);
    ibv_cq *cq = ibv_create_cq(ctx, 16, reinterpret_cast<void *>(0xc0ffee), ch, 1);
    CHECK(cq);
    ibv_cq_ex *cqx = reinterpret_cast<ibv_cq_ex *>(cq);
    ibv_qp *qp = make_qp(ctx, pd, cqx, cqx);
    CHECK_EQ(to_rts(qp), 0);
    ibv_ah *ah = make_ah(pd, gid_of(ctx));
    CHECK_EQ(post_recv(qp, 1, {}), 0);
    CHECK_EQ(post_recv(qp, 2, {}), 0);
    Wr w;
    w.ah = ah;
    w.rqpn = qp->qp_num;
    CHECK_EQ(post(qp, {w}), 0);  // not armed: no event
    CHECK(!readable(ch->fd, 0));
    CHECK_EQ(ibv_req_notify_cq(cq, 0), 0);
    CHECK_EQ(post(qp, {w}), 0);
    CHECK(readable(ch->fd, 100));
    ibv_cq *got = nullptr;
    void *got_ctx = nullptr;
    CHECK_EQ(ibv_get_cq_event(ch, &got, &got_ctx), 0);
    CHECK(got == cq && got_ctx == reinterpret_cast<void *>(0xc0ffee));
    CHECK(!readable(ch->fd, 0));  // one event per arming
    // A blocked reader wakes when the next event arrives.
    CHECK_EQ(ibv_req_notify_cq(cq, 0), 0);
    std::thread waker([&] {
        usleep(20000);
        CHECK_EQ(post_recv(qp, 3, {}), 0);
        CHECK_EQ(post(qp, {w}), 0);
    });
    CHECK_EQ(ibv_get_cq_event(ch, &got, &got_ctx), 0);
    waker.join();
    // Unacknowledged events hold up ibv_destroy_cq until the timeout.
    ibv_wc wc[8];
    while (ibv_poll_cq(cq, 8, wc) > 0) {
    }
    CHECK_EQ(ibv_destroy_qp(qp), 0);
    vsim_set_destroy_timeout_ms(50);
    CHECK_EQ(ibv_destroy_cq(cq), EBUSY);
    ibv_ack_cq_events(cq, 2);
    CHECK_EQ(ibv_destroy_cq(cq), 0);
    // A non-blocking descriptor fails instead of blocking.
    fcntl(ch->fd, F_SETFL, O_NONBLOCK);
    CHECK_EQ(ibv_get_cq_event(ch, &got, &got_ctx), -1);
    CHECK_EQ(errno, EAGAIN);
    CHECK_EQ(ibv_destroy_comp_channel(ch), 0);
    CHECK_EQ(ibv_destroy_ah(ah), 0);
    CHECK_EQ(ibv_dealloc_pd(pd), 0);
    CHECK_EQ(ibv_close_device(ctx), 0);
}

void case_async()
{
    ibv_context *ctx = open_dev();
    ibv_pd *pd = ibv_alloc_pd(ctx);
    ibv_cq_ex *cq = cq_ex(ctx);
    ibv_qp *qp = make_qp(ctx, pd, cq, cq);
    const uint32_t qpn = qp->qp_num;
    CHECK(!readable(ctx->async_fd, 0));
    CHECK_EQ(vsim_post_port_event("efa_0", -1, 1, IBV_EVENT_PORT_ACTIVE), 0);
    CHECK_EQ(vsim_post_qp_event(qp->qp_num, IBV_EVENT_QP_FATAL), 0);
    CHECK_EQ(vsim_post_cq_event(cq->handle, IBV_EVENT_CQ_ERR), 0);
    CHECK(readable(ctx->async_fd, 100));
    ibv_async_event ev{};
    CHECK_EQ(ibv_get_async_event(ctx, &ev), 0);
    CHECK(ev.event_type == IBV_EVENT_PORT_ACTIVE && ev.element.port_num == 1);
    ibv_ack_async_event(&ev);
    CHECK_EQ(ibv_get_async_event(ctx, &ev), 0);
    CHECK(ev.event_type == IBV_EVENT_QP_FATAL && ev.element.qp == qp);
    ibv_async_event cq_ev{};
    CHECK_EQ(ibv_get_async_event(ctx, &cq_ev), 0);
    CHECK(cq_ev.event_type == IBV_EVENT_CQ_ERR && cq_ev.element.cq == as_cq(cq));
    CHECK(!readable(ctx->async_fd, 0));
    vsim_set_destroy_timeout_ms(50);
    CHECK_EQ(ibv_destroy_qp(qp), EBUSY);  // QP_FATAL not acknowledged
    ibv_ack_async_event(&ev);
    CHECK_EQ(ibv_destroy_qp(qp), 0);
    CHECK_EQ(ibv_destroy_cq(as_cq(cq)), EBUSY);
    ibv_ack_async_event(&cq_ev);
    CHECK_EQ(ibv_destroy_cq(as_cq(cq)), 0);
    CHECK_EQ(vsim_post_qp_event(qpn, IBV_EVENT_QP_FATAL), -ENOENT);
    CHECK_EQ(ibv_dealloc_pd(pd), 0);
    CHECK_EQ(ibv_close_device(ctx), 0);
}

void case_reorder()
{
    Pair p;
    for (int k = 0; k < 3; ++k) {
        CHECK_EQ(post_recv(p.b, 10 + k, {p.bsge(64 * k, 64)}), 0);
    }
    vsim_reverse_next(3);
    for (int k = 0; k < 3; ++k) {
        p.abuf[0] = static_cast<unsigned char>('A' + k);
        Wr w = p.send_to_b(1, k);
        w.flags |= IBV_SEND_INLINE;
        w.inl = {{p.abuf.data(), 1}};
        CHECK_EQ(post(p.a, {w}), 0);
        if (k < 2) {
            CHECK(poll_ex(p.cq).empty());
        }
    }
    auto wc = poll_ex(p.cq);
    CHECK_EQ(wc.size(), 6);
    // The last message sent reached the first receive buffer.
    CHECK_EQ(p.bbuf[0], 'C');
    CHECK_EQ(p.bbuf[64], 'B');
    CHECK_EQ(p.bbuf[128], 'A');
    // Hold and release in order.
    CHECK_EQ(post_recv(p.b, 20, {p.bsge(0, 64)}), 0);
    vsim_hold(1);
    CHECK_EQ(post(p.a, {p.send_to_b(4)}), 0);
    CHECK_EQ(vsim_held(), 1);
    CHECK(poll_ex(p.cq).empty());
    CHECK_EQ(vsim_release(0), 1);
    CHECK_EQ(poll_ex(p.cq).size(), 2);
}

void case_faults()
{
    Pair p;
    CHECK_EQ(vsim_fail("no_such_fn", 1, 0, EIO, 0, 0), -EINVAL);
    CHECK_EQ(vsim_fail("poll_cq", 1, 1, 0, -110, 1), 0);
    ibv_wc wc[2];
    CHECK_EQ(ibv_poll_cq(as_cq(p.cq), 2, wc), 0);  // skipped
    errno = 7;
    CHECK_EQ(ibv_poll_cq(as_cq(p.cq), 2, wc), -110);
    CHECK_EQ(errno, 0);
    CHECK_EQ(ibv_poll_cq(as_cq(p.cq), 2, wc), 0);
    CHECK_EQ(vsim_fail("start_poll", 1, 0, EIO, 0, 0), 0);
    CHECK_EQ(ibv_start_poll(p.cq, nullptr), EIO);
    CHECK_EQ(vsim_fail("wr_set_sge_list", 1, 0, EFAULT, 0, 0), 0);
    CHECK_EQ(post_recv(p.b, 1, {p.bsge(0, 64)}), 0);
    CHECK_EQ(post(p.a, {p.send_to_b(8)}), EFAULT);
    CHECK(poll_ex(p.cq).empty());
    CHECK_EQ(vsim_fail("wr_complete", 1, 0, ENOSPC, 0, 0), 0);
    CHECK_EQ(post(p.a, {p.send_to_b(8)}), ENOSPC);
    CHECK(poll_ex(p.cq).empty());
    CHECK_EQ(vsim_fail("ibv_qp_to_qp_ex", 1, 0, ENOMEM, 0, 0), 0);
    errno = 0;
    CHECK(!ibv_qp_to_qp_ex(p.a) && errno == ENOMEM);
    CHECK_EQ(vsim_fail("ibv_alloc_pd", 2, 0, EACCES, 0, 0), 0);
    CHECK_EQ(vsim_fault_pending("ibv_alloc_pd"), 2);
    CHECK(!ibv_alloc_pd(p.ctx) && errno == EACCES);
    CHECK(!ibv_alloc_pd(p.ctx) && errno == EACCES);
    ibv_pd *pd = ibv_alloc_pd(p.ctx);
    CHECK(pd);
    CHECK_EQ(ibv_dealloc_pd(pd), 0);
    CHECK_EQ(vsim_fail("post_recv", 1, 0, ENOMEM, 0, 0), 0);
    ibv_recv_wr wr{}, *bad = nullptr;
    CHECK_EQ(ibv_post_recv(p.b, &wr, &bad), ENOMEM);
    CHECK(bad == &wr);
    // Receive chain errors point at the failing request.
    ibv_sge sg[3] = {p.bsge(0, 1), p.bsge(1, 1), p.bsge(2, 1)};
    ibv_recv_wr w2{}, w1{};
    w1.next = &w2;
    w1.num_sge = 1;
    w1.sg_list = sg;
    w2.num_sge = 3;
    w2.sg_list = sg;
    CHECK_EQ(ibv_post_recv(p.b, &w1, &bad), EINVAL);
    CHECK(bad == &w2);
    CHECK_EQ(vsim_call_count("wr_complete"), 2);  // counted even when failing
}

// Calls are counted per thread: the totals hold every thread's calls,
// those of threads that have exited too, read while others still call, and
// a reset starts them from zero for threads old and new.
void case_counters()
{
    constexpr int kThreads = 4, kCalls = 5000;
    auto caller = [] {
        for (int k = 0; k < kCalls; ++k) {
            CHECK(ibv_wc_status_str(IBV_WC_SUCCESS));
        }
    };
    auto run_callers = [&] {
        std::atomic<bool> done{false};
        std::thread reader([&] {
            long long last = 0;
            while (!done.load()) {
                const long long n = vsim_call_count("ibv_wc_status_str");
                CHECK(n >= last && n <= kThreads * kCalls + 1);
                last = n;
            }
        });
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back(caller);
        }
        for (auto &t : threads) {
            t.join();
        }
        done.store(true);
        reader.join();
    };
    vsim_reset_counts();
    CHECK(ibv_wc_status_str(IBV_WC_SUCCESS));
    CHECK_EQ(vsim_call_count("ibv_wc_status_str"), 1);
    run_callers();
    CHECK_EQ(vsim_call_count("ibv_wc_status_str"), kThreads * kCalls + 1);
    vsim_reset_counts();
    CHECK_EQ(vsim_call_count("ibv_wc_status_str"), 0);
    run_callers();  // in the blocks the exited threads left
    caller();
    CHECK_EQ(vsim_call_count("ibv_wc_status_str"), (kThreads + 1) * kCalls);
    CHECK_EQ(vsim_call_count("ibv_event_type_str"), 0);
}

// Posting from two threads to one QP while a third polls.
void case_threads()
{
    QpOpts o;
    o.max_send_wr = 64;
    o.max_recv_wr = 1024;
    Pair p(o, 0, 7, 8192);
    constexpr int kPerThread = 2000;
    std::atomic<int> received{0}, sent{0};
    // Each receive gets its own 64 bytes; a slot comes back only after
    // 1024 receives, far more than are ever outstanding.
    unsigned slot = 0;
    auto next_buffer = [&] { return p.bsge(64 * (slot++ % 1024), 64); };
    for (int k = 0; k < 256; ++k) {
        CHECK_EQ(post_recv(p.b, 0, {next_buffer()}), 0);
    }
    std::thread poller([&] {
        while (received.load() < 2 * kPerThread || sent.load() < 2 * kPerThread) {
            ibv_wc wc[16];
            const int n = ibv_poll_cq(as_cq(p.cq), 16, wc);
            CHECK(n >= 0);
            for (int i = 0; i < n; ++i) {
                CHECK_EQ(wc[i].status, IBV_WC_SUCCESS);
                if (wc[i].qp_num == p.b->qp_num) {
                    received.fetch_add(1);
                    CHECK_EQ(post_recv(p.b, 0, {next_buffer()}), 0);
                } else {
                    sent.fetch_add(1);
                }
            }
        }
    });
    auto sender = [&] {
        int done = 0;
        while (done < kPerThread) {
            const int rc = post(p.a, {p.send_to_b(64)});
            if (rc == ENOMEM) {
                continue;  // queue full: completions pending
            }
            CHECK_EQ(rc, 0);
            ++done;
        }
    };
    std::thread s1(sender), s2(sender);
    s1.join();
    s2.join();
    poller.join();
    CHECK_EQ(received.load(), 2 * kPerThread);
}

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

}  // namespace

int main(int argc, char **argv)
{
    const std::map<std::string, std::function<void()>> cases = {
        {"queries", case_queries},
        {"device_sets", case_device_sets},
        {"refusals", case_refusals},
        {"memory", case_memory},
        {"dmabuf_data", case_dmabuf_data},
        {"cq", case_cq},
        {"qp_create", case_qp_create},
        {"state_machine", case_state_machine},
        {"send_recv", case_send_recv},
        {"rdma", case_rdma},
        {"write_imm_consumes_recv", case_write_imm_consumes_recv},
        {"inline", case_inline},
        {"batch_errors", case_batch_errors},
        {"error_completions", case_error_completions},
        {"rnr_wait", case_rnr_wait},
        {"ud", case_ud},
        {"send_slots", case_send_slots},
        {"sgid", case_sgid},
        {"channel", case_channel},
        {"async", case_async},
        {"reorder", case_reorder},
        {"faults", case_faults},
        {"threads", case_threads},
        {"counters", case_counters},
        {"xproc", case_xproc},
    };
    if (argc != 2 || !cases.count(argv[1])) {
        for (const auto &c : cases) {
            std::printf("%s\n", c.first.c_str());
        }
        return argc == 2 && std::string(argv[1]) == "--list" ? 0 : 2;
    }
    vsim_reset();
    cases.at(argv[1])();
    CHECK_EQ(vsim_live("context") + vsim_live("pd") + vsim_live("mr") + vsim_live("cq") +
                 vsim_live("qp") + vsim_live("ah") + vsim_live("channel"),
             0);
    std::printf("ok\n");
    return 0;
}
