// What the completion sources share between themselves: the WC record and
// its two fillers, the queues' creation, and the CQ type helpers.
#pragma once

#include "efadv.hpp"
#include "objects.hpp"

#include <Python.h>
#include <infiniband/verbs.h>

#include <endian.h>

#include <cstdint>

namespace vantor {

struct WCObject {
    PyObject_HEAD uint64_t wr_id;
    int32_t status;
    int32_t opcode;
    uint32_t vendor_err;
    uint32_t byte_len;
    uint32_t imm_data;
    uint32_t qp_num;
    uint32_t src_qp;
    uint32_t wc_flags;
    PyObject *sgid;  // None or 16 bytes
    int unsolicited;
};

// A queue's ring layout from efadv_query_cq.
struct CQAttrObject {
    PyObject_HEAD uint64_t buffer_addr;
    uint32_t entry_size;
    uint32_t num_entries;
    uint64_t doorbell_addr;
};

// A new WC copied from a classic completion record.
PyObject *wc_from_ibv_wc(const ibv_wc &wc);

// One completion of an extended batch, read natively: a batch holds the
// provider's queue lock from start to end, so it is read whole without
// the GIL and ended before any Python object is made (waiting for the GIL,
// or running a collection, with the queue locked could wait for ever on a
// thread that needs the lock, for one to destroy a queue pair).
struct ExtendedRecord {
    uint64_t wr_id;
    int32_t status;
    int32_t opcode;
    uint32_t vendor_err;
    uint32_t byte_len;
    uint32_t imm_data;
    uint32_t qp_num;
    uint32_t src_qp;
    uint32_t wc_flags;
    ibv_gid sgid;
    bool has_sgid;
    bool unsolicited;
};

// Reads the completion an open extended poll batch is positioned on. Only
// the fields the queue's wc_flags requested are read (the provider may
// leave the other accessors unset); the rest stay 0. Makes no Python call.
struct ExtendedReader {
    ibv_cq_ex *cqx;
    efadv_cq *ecq;  // may be null
    bool byte_len, imm, qp_num, src_qp;
    bool sgid, unsolicited;  // requested at creation and ecq present
    // The usual queue: every optional field requested, no EFA extras. Its
    // batches read each completion straight through, with no per-field test.
    bool standard;

    explicit ExtendedReader(const CQExObject *cq);

    template <bool Standard>
    void read(ExtendedRecord &record) const
    {
        record.wr_id = cqx->wr_id;
        record.status = static_cast<int32_t>(cqx->status);
        record.opcode = static_cast<int32_t>(ibv_wc_read_opcode(cqx));
        record.vendor_err = ibv_wc_read_vendor_err(cqx);
        if constexpr (Standard) {
            record.byte_len = ibv_wc_read_byte_len(cqx);
            record.imm_data = be32toh(ibv_wc_read_imm_data(cqx));
            record.qp_num = ibv_wc_read_qp_num(cqx);
            record.src_qp = ibv_wc_read_src_qp(cqx);
            record.wc_flags = ibv_wc_read_wc_flags(cqx);
            record.has_sgid = false;
            record.unsolicited = false;
        } else {
            read_optional(record);
        }
    }

private:
    void read_optional(ExtendedRecord &record) const;
};

// A new WC from a record read by an ExtendedReader.
PyObject *wc_from_record(const ExtendedRecord &record);

// Refills an existing WC (of the type or a subclass) for poll_into. Its
// former sgid, unless None, is handed to the caller through `old_sgid` (a
// reference) to be released once no WC is half-filled any more: releasing
// it may run Python code. The extended form fails, with MemoryError set and
// the WC unchanged, when the sender's GID cannot be made.
void wc_refill(WCObject *wc, const ibv_wc &src, PyObject *&old_sgid);
bool wc_refill(WCObject *wc, const ExtendedRecord &record, PyObject *&old_sgid);

// The queue's native ibv_cq (CQEx: its extended queue viewed as an ibv_cq).
inline ibv_cq *cq_handle(const CQObject *cq) { return cq->_cq; }
inline ibv_cq *cq_handle(const CQExObject *cq)
{
    return cq->_cqx == nullptr ? nullptr : ibv_cq_ex_to_cq(cq->_cqx);
}

// Guarding queues against a thread waiting on their channel
// (comp_channel.cpp). The channel object of `native` while it is in use
// (a thread inside its get_cq_event() may hold an event of theirs), else
// null.
CompChannelObject *comp_channel_waited(ibv_comp_channel *native);
// Hands the native queue of a CQ object being freed to that channel, which
// destroys it (acknowledging `unacked` events first) once nobody waits.
bool comp_channel_defer_destroy(CompChannelObject *chan, ibv_cq *cq, int32_t unacked);

// Python-level names.
bool define_completion_error(PyObject *module);

// Behind Context.create_cq and create_cq_ex (cq.cpp): the arguments
// converted, the context held in use and checked open by the caller.
PyObject *cq_create(ContextObject *context, int cqe, PyObject *channel, int comp_vector);
struct CQExRequest {
    int cqe = 0;
    PyObject *channel = Py_None;
    int comp_vector = 0;
    PyObject *wc_flags = nullptr;  // converted after the other checks; null or None: standard
    bool sgid = false;
    bool unsolicited = false;
};
PyObject *cq_ex_create(ContextObject *context, const CQExRequest &request);

// Installed by cq.cpp on CQ and CQEx.
PyObject *cq_poll(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *cq_ex_poll(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *cq_poll_into(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *cq_ex_poll_into(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames);

}  // namespace vantor
