/* Device calls that C programs make through the inline verbs paths and
 * that vantor itself does not use. Usage: verbs_extras query|driver_qp|close
 * Prints "key value" lines for the test to check; exits 0 unless a call the
 * test does not inspect fails. */
#include <infiniband/efadv.h>
#include <infiniband/verbs.h>
#include <vsim.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define CHECK(x)                                                     \
    do {                                                             \
        if (!(x)) {                                                  \
            fprintf(stderr, "%s:%d: %s (errno %d)\n", __FILE__, __LINE__, #x, errno); \
            exit(2);                                                 \
        }                                                            \
    } while (0)

static struct ibv_context *open_first(void)
{
    int n = 0;
    struct ibv_device **list = ibv_get_device_list(&n);
    CHECK(list && n > 0);
    struct ibv_context *ctx = ibv_open_device(list[0]);
    CHECK(ctx);
    ibv_free_device_list(list);
    return ctx;
}

static int all_zero(const void *p, size_t n)
{
    const unsigned char *b = p;
    for (size_t i = 0; i < n; ++i)
        if (b[i])
            return 0;
    return 1;
}

static int query(void)
{
    struct ibv_context *ctx = open_first();
    struct ibv_device_attr classic;
    struct ibv_device_attr_ex ex;
    CHECK(ibv_query_device(ctx, &classic) == 0);
    memset(&ex, 0xab, sizeof ex);
    printf("rc %d\n", ibv_query_device_ex(ctx, NULL, &ex));
    printf("orig_attr_same %d\n", memcmp(&classic, &ex.orig_attr, sizeof classic) == 0);
    printf("phys_port_cnt %u\n", classic.phys_port_cnt);
    printf("phys_port_cnt_ex %u\n", ex.phys_port_cnt_ex);
    printf("device_cap_flags %u\n", classic.device_cap_flags);
    printf("device_cap_flags_ex %llu\n", (unsigned long long)ex.device_cap_flags_ex);
    printf("comp_mask %u\n", ex.comp_mask);
    printf("completion_timestamp_mask %llu\n", (unsigned long long)ex.completion_timestamp_mask);
    printf("hca_core_clock %llu\n", (unsigned long long)ex.hca_core_clock);
    printf("max_wq_type_rq %u\n", ex.max_wq_type_rq);
    printf("raw_packet_caps %u\n", ex.raw_packet_caps);
    printf("max_dm_size %llu\n", (unsigned long long)ex.max_dm_size);
    printf("xrc_odp_caps %u\n", ex.xrc_odp_caps);
    printf("odp_caps_zero %d\n", all_zero(&ex.odp_caps, sizeof ex.odp_caps));
    printf("tso_caps_zero %d\n", all_zero(&ex.tso_caps, sizeof ex.tso_caps));
    printf("rss_caps_zero %d\n", all_zero(&ex.rss_caps, sizeof ex.rss_caps));
    printf("packet_pacing_caps_zero %d\n",
           all_zero(&ex.packet_pacing_caps, sizeof ex.packet_pacing_caps));
    printf("tm_caps_zero %d\n", all_zero(&ex.tm_caps, sizeof ex.tm_caps));
    printf("cq_mod_caps_zero %d\n", all_zero(&ex.cq_mod_caps, sizeof ex.cq_mod_caps));
    printf("pci_atomic_caps_zero %d\n", all_zero(&ex.pci_atomic_caps, sizeof ex.pci_atomic_caps));
    /* The provider operation itself: a record shorter than the classic one. */
    struct verbs_context *v = verbs_get_ctx_op(ctx, query_device_ex);
    CHECK(v);
    printf("short_rc %d\n", v->query_device_ex(ctx, NULL, &ex, sizeof(struct ibv_device_attr) - 1));
    CHECK(ibv_close_device(ctx) == 0);
    return 0;
}

static struct ibv_qp *driver_qp(struct ibv_pd *pd, struct ibv_cq *cq)
{
    struct ibv_qp_init_attr attr = {
        .send_cq = cq, .recv_cq = cq, .qp_type = IBV_QPT_DRIVER,
        .cap = {.max_send_wr = 8, .max_recv_wr = 8, .max_send_sge = 1, .max_recv_sge = 1},
    };
    struct ibv_qp *qp = efadv_create_driver_qp(pd, &attr, EFADV_QP_DRIVER_TYPE_SRD);
    CHECK(qp);
    struct ibv_qp_attr a = {.qp_state = IBV_QPS_INIT, .port_num = 1, .qkey = 0x11111111};
    CHECK(ibv_modify_qp(qp, &a, IBV_QP_STATE | IBV_QP_PKEY_INDEX | IBV_QP_PORT | IBV_QP_QKEY) == 0);
    a.qp_state = IBV_QPS_RTR;
    CHECK(ibv_modify_qp(qp, &a, IBV_QP_STATE) == 0);
    a.qp_state = IBV_QPS_RTS;
    CHECK(ibv_modify_qp(qp, &a, IBV_QP_STATE | IBV_QP_SQ_PSN) == 0);
    return qp;
}

/* Two SRD QPs from efadv_create_driver_qp exchange a SEND through the
 * classic posting calls. */
static int driver(void)
{
    struct ibv_context *ctx = open_first();
    struct ibv_pd *pd = ibv_alloc_pd(ctx);
    struct ibv_cq *cq = ibv_create_cq(ctx, 16, NULL, NULL, 0);
    CHECK(pd && cq);
    struct ibv_qp *a = driver_qp(pd, cq), *b = driver_qp(pd, cq);
    printf("qp_type %d\n", a->qp_type);
    errno = 0;
    printf("qp_ex %d\n", ibv_qp_to_qp_ex(a) != NULL);
    static char src[64] = "sent through a driver QP", dst[64];
    struct ibv_mr *smr = ibv_reg_mr(pd, src, sizeof src, 0);
    struct ibv_mr *dmr = ibv_reg_mr(pd, dst, sizeof dst, IBV_ACCESS_LOCAL_WRITE);
    CHECK(smr && dmr);
    union ibv_gid gid;
    CHECK(ibv_query_gid(ctx, 1, 0, &gid) == 0);
    struct ibv_ah_attr aa = {.is_global = 1, .port_num = 1, .grh = {.dgid = gid}};
    struct ibv_ah *ah = ibv_create_ah(pd, &aa);
    CHECK(ah);
    struct ibv_sge rsge = {(uintptr_t)dst, sizeof dst, dmr->lkey};
    struct ibv_recv_wr rwr = {.wr_id = 2, .sg_list = &rsge, .num_sge = 1}, *rbad;
    CHECK(ibv_post_recv(b, &rwr, &rbad) == 0);
    struct ibv_sge ssge = {(uintptr_t)src, 25, smr->lkey};
    struct ibv_send_wr swr = {.wr_id = 1, .sg_list = &ssge, .num_sge = 1,
                              .opcode = IBV_WR_SEND, .send_flags = IBV_SEND_SIGNALED}, *sbad;
    swr.wr.ud.ah = ah;
    swr.wr.ud.remote_qpn = b->qp_num;
    swr.wr.ud.remote_qkey = 0x11111111;
    CHECK(ibv_post_send(a, &swr, &sbad) == 0);
    int got = 0;
    struct ibv_wc wc[2];
    while (got < 2) {
        int n = ibv_poll_cq(cq, 2 - got, wc + got);
        CHECK(n >= 0);
        got += n;
    }
    for (int i = 0; i < 2; ++i)
        if (wc[i].wr_id == 2)
            printf("recv_status %d byte_len %u src_qp_ok %d\n", wc[i].status, wc[i].byte_len,
                   wc[i].src_qp == a->qp_num);
        else
            printf("send_status %d\n", wc[i].status);
    printf("payload_at_0 %d\n", strcmp(dst, src) == 0);
    CHECK(ibv_destroy_qp(a) == 0 && ibv_destroy_qp(b) == 0 && ibv_destroy_ah(ah) == 0);
    CHECK(ibv_dereg_mr(smr) == 0 && ibv_dereg_mr(dmr) == 0);
    CHECK(ibv_destroy_cq(cq) == 0 && ibv_dealloc_pd(pd) == 0 && ibv_close_device(ctx) == 0);
    return 0;
}

/* Closing a context with everything still open on it, an async event
 * handed out and never acknowledged among it. */
static int close_all(void)
{
    struct ibv_context *ctx = open_first();
    struct ibv_pd *pd = ibv_alloc_pd(ctx);
    struct ibv_comp_channel *ch = ibv_create_comp_channel(ctx);
    struct ibv_cq *cq = ibv_create_cq(ctx, 16, NULL, ch, 0);
    CHECK(pd && ch && cq);
    static char buf[4096];
    struct ibv_mr *mr = ibv_reg_mr(pd, buf, sizeof buf, IBV_ACCESS_LOCAL_WRITE);
    struct ibv_qp *qp = driver_qp(pd, cq);
    union ibv_gid gid;
    CHECK(ibv_query_gid(ctx, 1, 0, &gid) == 0);
    struct ibv_ah_attr aa = {.is_global = 1, .port_num = 1, .grh = {.dgid = gid}};
    struct ibv_ah *ah = ibv_create_ah(pd, &aa);
    CHECK(mr && ah);
    CHECK(vsim_post_qp_event(qp->qp_num, IBV_EVENT_QP_FATAL) == 0);
    struct ibv_async_event ev;
    CHECK(ibv_get_async_event(ctx, &ev) == 0);  /* never acknowledged */
    CHECK(vsim_fail("ibv_destroy_qp", 1, 0, EIO, 0, 0) == 0);
    long long destroys = vsim_call_count("ibv_destroy_qp");
    printf("close_rc %d\n", ibv_close_device(ctx));
    const char *kinds[] = {"context", "pd", "mr", "cq", "qp", "ah", "channel"};
    for (int i = 0; i < 7; ++i)
        printf("live_%s %d\n", kinds[i], vsim_live(kinds[i]));
    /* The releases are the device's doing, not calls of the program. */
    printf("destroy_calls %lld\n", vsim_call_count("ibv_destroy_qp") - destroys);
    printf("fault_pending %d\n", vsim_fault_pending("ibv_destroy_qp"));
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 2 && !strcmp(argv[1], "query"))
        return query();
    if (argc == 2 && !strcmp(argv[1], "driver_qp"))
        return driver();
    if (argc == 2 && !strcmp(argv[1], "close"))
        return close_all();
    fprintf(stderr, "usage: verbs_extras query|driver_qp|close\n");
    return 2;
}
