// The provider operations installed in the verbs structures, and the
// internal helpers the source files share.
#pragma once

#include "efadv.hpp"
#include "objects.hpp"

#include <infiniband/verbs.h>

namespace vsim {

class Call;

// Context operation table.
int op_poll_cq(ibv_cq *cq, int n, ibv_wc *wc);
int op_req_notify_cq(ibv_cq *cq, int solicited_only);
int op_post_recv(ibv_qp *qp, ibv_recv_wr *wr, ibv_recv_wr **bad);
int op_post_send(ibv_qp *qp, ibv_send_wr *wr, ibv_send_wr **bad);
ibv_qp *op_create_qp_ex(ibv_context *ctx, ibv_qp_init_attr_ex *attr);
ibv_cq_ex *op_create_cq_ex(ibv_context *ctx, ibv_cq_init_attr_ex *attr);
int op_query_port_ex(ibv_context *ctx, uint8_t port, ibv_port_attr *attr, size_t len);
int op_query_device_ex(ibv_context *ctx, const ibv_query_device_ex_input *input,
                       ibv_device_attr_ex *attr, size_t attr_size);

// Shared steps of the entry points.
int query_port_common(Context *c, uint8_t port, ibv_port_attr *out);
// The classic creation attributes in their extended form, on `pd`.
ibv_qp_init_attr_ex extended_init_attr(ibv_pd *pd, const ibv_qp_init_attr &attr);
ibv_qp *create_qp_common(Context *c, ibv_qp_init_attr_ex *attr, const efadv_qp_init_attr *efa,
                         bool through_efadv, int &err);
// create_qp_common as an entry point's result: a refusal fails `call` with
// its errno; a new QP's number is logged as the return value.
ibv_qp *create_qp_for(Call &call, Context *c, ibv_qp_init_attr_ex *attr,
                      const efadv_qp_init_attr *efa, bool through_efadv);
Cq *create_cq_common(Context *c, const ibv_cq_init_attr_ex &attr, uint64_t efa_flags, int &err);
void install_cq_ops(Cq *cq);
void install_qp_ops(Qp *qp);

// Completion delivery (cq.cpp). A send completion names its `sender`: the
// QP's send-queue slot stays taken until the completion is polled.
void cq_push(Cq *cq, const Cqe &e, const ibv_gid *sgid, Qp *sender = nullptr);
// Unpolled send completions of `qp` in `cq` no longer give a slot back to
// it (the QP is being destroyed or reset).
void cq_forget_sender(Cq *cq, Qp *qp);
// Waits until no other thread has a poll batch open on `cq`: the provider
// takes the locks of a QP's CQs to unlink the QP from them when it is
// destroyed, so a destroy waits for the pollers of its queues.
void cq_wait_for_pollers(Cq *cq);
void cq_raise_async(Cq *cq, ibv_event_type type);
void qp_raise_async(Qp *qp, ibv_event_type type);
void drop_async_events(Context *c, void *element);

// Moves a QP to the error state: flushes its receives and deferred sends.
void qp_flush(Qp *qp);

// Object ids as the call log shows them.
inline unsigned ctx_id(ibv_context *c) { return c ? to_ctx(c)->id : 0; }

}  // namespace vsim
