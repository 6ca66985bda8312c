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
    PyObject_HEAD
    uint32_t max_send_wr;
    uint32_t max_recv_wr;
    uint32_t max_send_sge;
    uint32_t max_recv_sge;
    uint32_t max_inline_data;
};

struct WQAttrObject {
    PyObject_HEAD
    uint64_t buffer_addr;
    uint32_t entry_size;
    uint32_t num_entries;
    uint64_t doorbell_addr;
    uint32_t max_batch;
};

// Records built from native query results (new references).
PyObject *qp_cap_from(const ibv_qp_cap &cap);
PyObject *wq_attr_from(const efadv_wq_attr &attr);

inline QPObject *as_qp(PyObject *self) { return reinterpret_cast<QPObject *>(self); }

// QP methods defined outside qp.cpp, added by define_qp_methods.
bool add_qp_state_methods(PyTypeObject *qp_type);
bool add_qp_post_methods(PyTypeObject *qp_type);
PyObject *QP_get_state(PyObject *self, void *);

// Step-8 definers (module.cpp).
bool define_qp_methods(PyObject *module);   // QP's methods and PD.create_qp
bool define_qp_init_attr(PyObject *module);  // the QPInitAttr class

}  // namespace vantor
