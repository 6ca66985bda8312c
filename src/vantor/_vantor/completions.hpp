// What the completion sources share between themselves: the WC record and
// its two fillers, the queues' creation, and the CQ type helpers.
#pragma once

#include "efadv.hpp"
#include "objects.hpp"

#include <Python.h>
#include <infiniband/verbs.h>

#include <endian.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

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
    // The usual queue: every optional field requested, no EFA extras. Its
    // batches read each completion straight through, with no per-field test.
    bool standard;

    explicit ExtendedReader(const CQExObject *cq);

    // Into a record, or (Standard only) straight into a WC's numeric
    // fields and its unsolicited flag.
    template <bool Standard, typename Out>
    void read(Out &out) const
    {
        static_assert(Standard || std::is_same_v<Out, ExtendedRecord>);
        CompletionFields &f = out.fields;
        f.wr_id = cqx->wr_id;
        f.status = static_cast<int32_t>(cqx->status);
        f.opcode = static_cast<int32_t>(ibv_wc_read_opcode(cqx));
        f.vendor_err = ibv_wc_read_vendor_err(cqx);
        if constexpr (Standard) {
            f.byte_len = ibv_wc_read_byte_len(cqx);
            f.imm_data = be32toh(ibv_wc_read_imm_data(cqx));
            f.qp_num = ibv_wc_read_qp_num(cqx);
            f.src_qp = ibv_wc_read_src_qp(cqx);
            f.wc_flags = ibv_wc_read_wc_flags(cqx);
            if constexpr (std::is_same_v<Out, ExtendedRecord>) {
                out.has_sgid = false;
            }
            out.unsolicited = false;
        } else {
            read_optional(out);
        }
    }

private:
    void read_optional(ExtendedRecord &record) const;
};

// A new WC from a record read by an ExtendedReader.
PyObject *wc_from_record(const ExtendedRecord &record);

// A WC's numeric fields from a classic record, whose fields up to wc_flags
// lie in the same order: one copy, and the immediate data to host order.
inline void wc_set_fields(WCObject &wc, const ibv_wc &src)
{
    static_assert(offsetof(ibv_wc, wr_id) == 0 && offsetof(CompletionFields, wr_id) == 0);
    static_assert(offsetof(CompletionFields, wc_flags) == offsetof(ibv_wc, wc_flags));
    static_assert(offsetof(CompletionFields, status) == offsetof(ibv_wc, status));
    static_assert(offsetof(CompletionFields, imm_data) == offsetof(ibv_wc, imm_data));
    static_assert(sizeof(src.status) == 4 && sizeof(src.opcode) == 4);
    std::memcpy(&wc.fields, &src, offsetof(ibv_wc, wc_flags) + sizeof(src.wc_flags));
    wc.fields.imm_data = be32toh(src.imm_data);
    wc.unsolicited = 0;
}

// A WC's numeric fields from an extended record.
inline void wc_set_fields(WCObject &wc, const ExtendedRecord &record)
{
    wc.fields = record.fields;
    wc.unsolicited = record.unsolicited ? 1 : 0;
}

// The sender's GID of a record: 16 bytes, or None when it has none. Null
// with MemoryError set.
PyObject *wc_record_sgid(const ExtendedRecord &record);

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
