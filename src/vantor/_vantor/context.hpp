// The Context object: the root of every resource tree, and the counter of
// its direct children (PD, CompChannel, CQ, CQEx).
#pragma once

#include <Python.h>
#include <infiniband/verbs.h>

#include <cstdint>

namespace vantor {

struct ContextObject {
    PyObject_HEAD ibv_context *_ctx;
    PyObject *name;
    uint32_t _children;
    int32_t _in_use;  // see lifecycle.hpp's InUse
};

inline void context_add_child(ContextObject *context) { ++context->_children; }

inline void context_release_child(ContextObject *context)
{
    if (context->_children > 0) {
        --context->_children;
    }
}

// A new Context owning `ctx`, named `name`; no native call.
PyObject *context_wrap(ibv_context *ctx, PyObject *name);

}  // namespace vantor
