// Cases: queries, device sets, refusals, memory, queues, queue-pair creation
// and its state machine.
#include "cases.hpp"

namespace vcases {

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
    close_base(ctx, pd, cq);
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
    close_base(ctx, pd, cq);
}

}  // namespace vcases
