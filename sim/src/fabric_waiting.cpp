// The end of a request: a send's completion and its slot given back, the
// requests waiting at a receiver delivered as receives come (or failed when
// the receiver goes), and a flushed queue pair's queues.
#include "fabric.hpp"

#include "lock.hpp"
#include "ops.hpp"
#include "world.hpp"

#include <deque>
#include <mutex>
#include <shared_mutex>

namespace vsim {

namespace {

uint8_t send_opcode(int wr_opcode)
{
    return (wr_opcode == IBV_WR_RDMA_WRITE || wr_opcode == IBV_WR_RDMA_WRITE_WITH_IMM)
               ? IBV_WC_RDMA_WRITE
               : IBV_WC_SEND;
}

}  // namespace

void release_slot(Qp *qp, uint32_t slot)
{
    // Only the owning thread ever stores its own id, so this needs no lock.
    if (qp->sq_owner.load(std::memory_order_relaxed) == self_id()) {
        qp->free_slots.push_back(slot);
        return;
    }
    std::lock_guard lock(qp->slot_mtx);
    qp->returned.push_back(slot);
    qp->returned_n.store(static_cast<uint32_t>(qp->returned.size()), std::memory_order_relaxed);
}

void complete_send(const Transfer &t, uint8_t status, uint8_t vendor)
{
    Qp *qp = t.src;
    const SendWqe &w = qp->sq[t.slot];
    Cqe e{};
    e.wr_id = w.wr_id;
    e.status = status;
    e.vendor_err = vendor;
    e.opcode = send_opcode(w.opcode);
    e.qp_num = qp->qpx.qp_base.qp_num;
    // The slot is free before the completion shows: a program that polls
    // it and posts again at once finds room.
    release_slot(qp, t.slot);
    cq_push(qp->scq, e, nullptr, qp);
}

void drain_waiting(Qp *dst)
{
    std::shared_lock world_lock(world().mtx);
    for (;;) {
        Transfer t;
        {
            std::lock_guard lock(dst->rq_mtx);
            if (dst->waiting.empty() || dst->rq_count == 0) {
                return;
            }
            t = dst->waiting.front();
            dst->waiting.pop_front();
            dst->waiting_n.fetch_sub(1);
        }
        if (t.remote) {
            ReadSpan read;
            const Outcome o = accept_remote(dst, *t.remote, read);
            Remote *rem = remote();
            if (!o.deferred && rem) {
                rem->respond(*t.remote, o.status, o.vendor, read.p, read.len);
            }
            delete t.remote;
            if (o.deferred) {
                return;
            }
            continue;
        }
        t.src->deferred.fetch_sub(1);
        const Outcome o = accept(dst, t);
        if (o.deferred) {
            return;
        }
        complete_send(t, o.status, o.vendor);
    }
}

void purge_receiver_locked(Qp *qp)
{
    std::deque<Transfer> out;
    {
        std::lock_guard lock(qp->rq_mtx);
        out.swap(qp->waiting);
        qp->waiting_n.store(0);
    }
    for (const Transfer &t : out) {
        if (t.remote) {
            if (Remote *r = remote()) {
                r->respond(*t.remote, IBV_WC_REM_INV_RD_REQ_ERR, kEfaRemoteBadDestQpn, nullptr, 0);
            }
            delete t.remote;
            continue;
        }
        t.src->deferred.fetch_sub(1);
        complete_send(t, IBV_WC_REM_INV_RD_REQ_ERR, kEfaRemoteBadDestQpn);
    }
}

void qp_flush(Qp *qp)
{
    std::unique_lock world_lock(world().mtx);
    {
        std::lock_guard lock(qp->rq_mtx);
        while (qp->rq_count) {
            const RecvWqe &r = qp->rq[qp->rq_head];
            Cqe e{};
            e.wr_id = r.wr_id;
            e.status = IBV_WC_WR_FLUSH_ERR;
            e.vendor_err = kEfaFlushed;
            e.opcode = IBV_WC_RECV;
            e.qp_num = qp->qpx.qp_base.qp_num;
            cq_push(qp->rcq, e, nullptr);
            qp->rq_head = qp->rq_index(1);
            --qp->rq_count;
        }
    }
    purge_receiver_locked(qp);
    purge_sender_locked(qp, false);
}

}  // namespace vsim
