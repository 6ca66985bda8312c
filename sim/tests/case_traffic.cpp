// Cases: SEND/RECV, RDMA, immediates, inline data, batches, error
// completions, waiting for a receive.
#include "cases.hpp"

namespace vcases {

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

}  // namespace vcases
