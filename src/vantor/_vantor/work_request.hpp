// The records a caller fills before posting: scatter/gather entries and send
// and receive work requests. The posting paths read these structs directly,
// so their layouts are shared here.
#pragma once

#include "py/types.hpp"

#include <Python.h>

#include <cstdint>

namespace vantor {

struct SGEObject {
    PyObject_HEAD uint64_t addr;
    uint32_t length;
    uint32_t lkey;
    PyObject *owner;  // the MR the entry was built from, or None
};

struct SendWRObject {
    PyObject_HEAD uint64_t wr_id;
    PyObject *sg_list;  // an exact list, or None
    int32_t opcode;
    uint32_t send_flags;
    uint64_t remote_addr;
    uint32_t rkey;
    uint32_t imm_data;  // host order
    PyObject *ah;
    uint32_t remote_qpn;
    uint32_t remote_qkey;
};

struct RecvWRObject {
    PyObject_HEAD uint64_t wr_id;
    PyObject *sg_list;  // an exact list, or None
};

}  // namespace vantor
