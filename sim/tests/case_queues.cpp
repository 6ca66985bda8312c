// Cases: UD, send-queue slots, sender GIDs, channels, async events,
// reordering, faults, counters, threads.
#include "cases.hpp"

namespace vcases {

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
    close_base(ctx, pd, cq);
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

}  // namespace vcases
