// The queue pair family: QP itself (qp.cpp), its state machine and queries
// (qp_state.cpp), the data path (post.cpp), its records QPCap and WQAttr
// (qp_records.cpp) and QPInitAttr (qp_init_attr.cpp).
#pragma once

#include "efadv.hpp"
#include "objects.hpp"
#include "py/ref.hpp"

#include <Python.h>
#include <infiniband/verbs.h>

#include <cstdint>

namespace vantor {

struct QPCapObject {
    PyObject_HEAD uint32_t max_send_wr;
    uint32_t max_recv_wr;
    uint32_t max_send_sge;
    uint32_t max_recv_sge;
    uint32_t max_inline_data;
};

struct WQAttrObject {
    PyObject_HEAD uint64_t buffer_addr;
    uint32_t entry_size;
    uint32_t num_entries;
    uint64_t doorbell_addr;
    uint32_t max_batch;
};

// Records built from native query results (new references).
PyObject *qp_cap_from(const ibv_qp_cap &cap);
PyObject *wq_attr_from(const efadv_wq_attr &attr);

inline QPObject *as_qp(PyObject *self) { return reinterpret_cast<QPObject *>(self); }

// Behind PD.create_qp (pd.cpp converts nothing, holds the PD in use and
// checks it is open first): reads init_attr, checks it, creates the QP.
PyObject *qp_create(PDObject *pd, PyObject *init_attr);

// QP's methods that live with their job, listed in qp.cpp's method table:
// the state machine and queries (qp_state.cpp) and the data path (post.cpp).
using QPMethod = PyObject *(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames);
QPMethod QP_to_init, QP_to_rtr, QP_to_rts, QP_prepare, QP_modify, QP_query, QP_query_wqs;
QPMethod QP_post_send, QP_post_recv;
PyObject *QP_get_state(PyObject *self, void *);

// The QPInitAttr class (qp_init_attr.cpp), defined once the types exist.
bool define_qp_init_attr(PyObject *module);

}  // namespace vantor
