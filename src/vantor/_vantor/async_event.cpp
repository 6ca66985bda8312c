// Asynchronous device events: the AsyncEvent record that carries the native
// event back for its ack, and the waiting and acknowledging behind
// Context.get_async_event/ack_async_event.
#include "objects.hpp"
#include "errors.hpp"
#include "lifecycle.hpp"
#include "loader.hpp"
#include "module_types.hpp"
#include "py/args.hpp"
#include "py/function.hpp"
#include "py/ref.hpp"
#include "py/types.hpp"
#include "records.hpp"

#include <cerrno>
#include <cstring>
#include <structmember.h>

namespace vantor {
namespace {

using py::Ref;

AsyncEventObject *as_event(PyObject *self) { return reinterpret_cast<AsyncEventObject *>(self); }

// An event made from Python carries no native event: it counts as already
// acknowledged, so its zeroed record never reaches libibverbs. It takes no
// arguments, unless a subclass brings its own __init__.
PyObject *AsyncEvent_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    if (type->tp_init == PyBaseObject_Type.tp_init &&
        (PyTuple_GET_SIZE(args) != 0 || (kwds != nullptr && PyDict_GET_SIZE(kwds) != 0))) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments", type->tp_name);
        return nullptr;
    }
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        as_event(self)->_acked = 1;
    }
    return self;
}

void AsyncEvent_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *AsyncEvent_event_type_str(PyObject *self, void *)
{
    const char *text = _v_event_type_str(static_cast<ibv_event_type>(as_event(self)->event_type));
    if (text == nullptr) {
        text = "";
    }
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "strict");
}

PyObject *AsyncEvent_repr(PyObject *self)
{
    Ref text = Ref::steal(PyObject_GetAttrString(self, "event_type_str"));
    if (!text) {
        return nullptr;
    }
    return PyUnicode_FromFormat("AsyncEvent(%S)", text.get());
}

}  // namespace

PyObject *async_event_get(ContextObject *context)
{
    Ref event = Ref::steal(
        reinterpret_cast<PyObject *>(py::alloc_bare<AsyncEventObject>(types::AsyncEvent)));
    if (!event) {
        return nullptr;
    }
    AsyncEventObject *ev = as_event(event.get());
    ibv_context *ctx = context->_ctx;
    int rc;
    int err;
    Py_BEGIN_ALLOW_THREADS rc = _v_get_async_event(ctx, &ev->_ev);
    err = errno;
    Py_END_ALLOW_THREADS if (rc != 0) { return raise_errno("ibv_get_async_event", err); }
    ev->_acked = 0;
    ev->event_type = ev->_ev.event_type;
    return event.release();
}

PyObject *async_event_ack(PyObject *ev)
{
    if (!py::check_type(ev, types::AsyncEvent, "ev")) {
        return nullptr;
    }
    AsyncEventObject *event = as_event(ev);
    if (event->_acked == 0) {
        _v_ack_async_event(&event->_ev);
        event->_acked = 1;
    }
    Py_RETURN_NONE;
}

namespace {

PyMemberDef AsyncEvent_members[] = {
    {"event_type", T_INT, offsetof(AsyncEventObject, event_type), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef AsyncEvent_getset[] = {
    {"event_type_str", AsyncEvent_event_type_str, nullptr,
     "AsyncEvent.event_type_str: str\n\nReturn the human-readable asynchronous event type.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot AsyncEvent_slots[] = {
    {Py_tp_doc,
     const_cast<char *>("An asynchronous device event from :meth:`Context.get_async_event`.")},
    {Py_tp_new, reinterpret_cast<void *>(AsyncEvent_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(AsyncEvent_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(AsyncEvent_repr)},
    {Py_tp_members, AsyncEvent_members},
    {Py_tp_getset, AsyncEvent_getset},
    {0, nullptr},
};

}  // namespace

PyTypeObject *create_AsyncEvent_type(PyObject *module)
{
    PyType_Spec spec = {"vantor._vantor.AsyncEvent", sizeof(AsyncEventObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, AsyncEvent_slots};
    return py::add_type(module, &spec);
}

}  // namespace vantor
