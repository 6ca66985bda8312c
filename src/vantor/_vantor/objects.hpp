// Instance layouts of the resource classes. Every family's source sees every
// layout, since parents create children (Context.create_cq, PD.create_qp)
// and the hot paths read fields across families. Each has an `_in_use`
// count: the calls using its handle right now (lifecycle.hpp's InUse).
#pragma once

#include "context.hpp"
#include "efadv.hpp"

#include <Python.h>
#include <infiniband/verbs.h>

#include <cstdint>

namespace vantor {

struct PDObject {
    PyObject_HEAD ibv_pd *_pd;
    PyObject *context;
    int32_t _in_use;
};

struct MRObject {
    PyObject_HEAD ibv_mr *_mr;
    PyObject *pd;
    PyObject *owner;
    int32_t _in_use;
};

struct AHObject {
    PyObject_HEAD ibv_ah *_ah;
    PyObject *pd;
    int32_t _in_use;
};

struct CompChannelObject {
    PyObject_HEAD ibv_comp_channel *_chan;
    PyObject *context;
    int32_t _in_use;  // its waiters, and a dropped queue's destruction, count it too
};

// _CQBase: shared by CQ and CQEx, which append their handles.
struct CQBaseObject {
    PyObject_HEAD PyObject *context;
    PyObject *channel;
    int32_t _unacked;
    int32_t _in_use;
};

struct CQObject {
    CQBaseObject base;
    ibv_cq *_cq;
};

struct CQExObject {
    CQBaseObject base;
    ibv_cq_ex *_cqx;
    efadv_cq *_ecq;
    int _sgid;
    int _unsolicited;
    uint64_t _wc_flags;  // as created: decides which completion accessors exist
};

struct QPObject {
    PyObject_HEAD ibv_qp *_qp;
    ibv_qp_ex *_qpx;
    PyObject *pd;
    PyObject *send_cq;
    PyObject *recv_cq;
    int32_t qp_type;
    uint64_t send_ops_flags;
    int32_t _in_use;
};

}  // namespace vantor

namespace vantor {

// What one family offers the others. Each is defined in its family's source.
ContextObject *as_context(PyObject *obj);           // context.cpp: null unless a Context
bool context_ensure(ContextObject *self);           // context.cpp: the closed check
bool pd_ensure(PDObject *self);                     // pd.cpp
bool mr_ensure(MRObject *self);                     // mr.cpp
bool ah_ensure(AHObject *self);                     // ah.cpp
bool comp_channel_ensure(CompChannelObject *self);  // comp_channel.cpp
ibv_cq *cq_ptr(PyObject *cq);    // cq.cpp: the native queue of a CQ or CQEx, null when closed
bool cq_ensure(PyObject *cq);    // cq.cpp
bool qp_ensure(QPObject *self);  // qp.cpp

// Behind a Context's factories (context.cpp converts the arguments, holds
// the context in use and checks it is open first).
PyObject *pd_create(ContextObject *context);            // pd.cpp: Context.alloc_pd
PyObject *comp_channel_create(ContextObject *context);  // comp_channel.cpp
PyObject *async_event_get(ContextObject *context);      // async_event.cpp: blocks
PyObject *async_event_ack(PyObject *ev);                // async_event.cpp

// Behind a PD's factories (pd.cpp, in the same way).
PyObject *ah_create(PDObject *pd, PyObject *addr, int sgid_index, int port_num);  // ah.cpp
// mr.cpp: addr and length as given, converted and range-checked there.
PyObject *mr_create(PDObject *pd, PyObject *addr, PyObject *length, int access);
// mr.cpp: offset, length and iova as given, in that order.
PyObject *mr_create_dmabuf(PDObject *pd, PyObject *const *offset_length_iova, int fd, int access);

}  // namespace vantor
