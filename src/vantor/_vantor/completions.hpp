// What the completion sources share between themselves: the WC record and
// its two fillers, the queues' creation, and the CQ type helpers.
#pragma once

#include "efadv.hpp"
#include "objects.hpp"

#include <Python.h>
#include <infiniband/verbs.h>

#include <cstdint>

namespace vantor {

// What every completion reports, classic or extended, as a WC holds it
// (imm_data in host byte order).
struct CompletionFields {
    uint64_t wr_id;
    int32_t status;
    int32_t opcode;
    uint32_t vendor_err;
    uint32_t byte_len;
    uint32_t imm_data;
    uint32_t qp_num;
    uint32_t src_qp;
    uint32_t wc_flags;
};

struct WCObject {
    PyObject_HEAD CompletionFields fields;
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
    CompletionFields fields;
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

    explicit ExtendedReader(const CQExObject *cq);
    void read(ExtendedRecord &record) const;
};

// A new WC from a record read by an ExtendedReader.
PyObject *wc_from_record(const ExtendedRecord &record);

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

}  // namespace vantor
