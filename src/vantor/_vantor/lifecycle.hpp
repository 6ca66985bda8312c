// The rules every resource class shares, written once: bare instances, the
// closed check, idempotent and retryable close(), use as a context manager,
// silent destruction that keeps a pending exception, child counting in the
// Context, and cyclic-GC traverse/clear.
//
// A class plugs in with a traits struct:
//
//   struct PDTraits {
//       using Object = PDObject;                    // starts with PyObject_HEAD
//       static constexpr const char *closed_message = "pd is closed";
//       static constexpr const char *dealloc_context = "vantor._vantor.PD.__dealloc__";
//       static constexpr bool gc = true;            // takes part in cyclic GC
//       // Python reference fields in traverse/clear order.
//       static constexpr PyObject *Object::*refs[] = {&PDObject::context};
//       // The Context this object is counted in, or nullptr for uncounted
//       // classes (a field cleared to None by the collector yields nullptr).
//       static ContextObject *counted_in(Object *self);
//       static bool is_open(const Object *self);
//       // Frees the native handle(s). On failure: with `report`, raise the
//       // EfaError and return false; without, just return false.
//       static bool destroy(Object *self, bool report);
//       // Nulls the handle(s) and does what a successful close also does.
//       static void after_destroy(Object *self);
//   };
#pragma once

#include "context.hpp"
#include "objects.hpp"
#include "errors.hpp"
#include "py/args.hpp"
#include "py/ref.hpp"

#include <Python.h>

#include <cerrno>
#include <type_traits>

namespace vantor {

template <typename Traits>
struct Lifecycle {
    using Object = typename Traits::Object;

    static Object *cast(PyObject *self) { return reinterpret_cast<Object *>(self); }

    // _ensure: EfaError(<closed message>, EBADF) when closed.
    static bool ensure(Object *self)
    {
        if (Traits::is_open(self)) {
            return true;
        }
        raise_efa_error(Traits::closed_message, EBADF);
        return false;
    }

    // Registers a freshly wrapped object in its Context.
    static void register_child(Object *self)
    {
        if (ContextObject *context = Traits::counted_in(self)) {
            context_add_child(context);
        }
    }

    // close(): nothing when closed; otherwise destroy, and on success null
    // the handle and release the child. A failure leaves everything as it was.
    static bool close(Object *self)
    {
        if (!Traits::is_open(self)) {
            return true;
        }
        if (!Traits::destroy(self, true)) {
            return false;
        }
        Traits::after_destroy(self);
        if (ContextObject *context = Traits::counted_in(self)) {
            context_release_child(context);
        }
        return true;
    }

    static PyObject *close_method(PyObject *self, PyObject *const *, Py_ssize_t nargs,
                                  PyObject *kwnames)
    {
        if (!py::no_args("close", nargs, kwnames) || !close(cast(self))) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }

    static PyObject *enter_method(PyObject *self, PyObject *const *, Py_ssize_t nargs,
                                  PyObject *kwnames)
    {
        if (!py::no_args("__enter__", nargs, kwnames)) {
            return nullptr;
        }
        Py_INCREF(self);
        return self;
    }

    // __exit__(*exc): calls self.close() through attribute lookup so a
    // subclass override runs, and never suppresses the block's exception.
    static PyObject *exit_method(PyObject *self, PyObject *const *, Py_ssize_t,
                                 PyObject *kwnames)
    {
        if (!py::no_keywords("__exit__", kwnames)) {
            return nullptr;
        }
        py::Ref result = py::Ref::steal(PyObject_CallMethod(self, "close", nullptr));
        if (!result) {
            return nullptr;
        }
        Py_RETURN_FALSE;
    }

    // Calling the class from Python gives a bare, closed instance whatever
    // the arguments.
    static PyObject *tp_new(PyTypeObject *type, PyObject *, PyObject *)
    {
        return type->tp_alloc(type, 0);
    }

    static void dealloc(PyObject *obj)
    {
        Object *self = cast(obj);
        PyTypeObject *type = Py_TYPE(obj);
        if constexpr (Traits::gc) {
            PyObject_GC_UnTrack(obj);
        }
        {
            py::SavedError saved;
            if (Traits::is_open(self)) {
                ContextObject *context = Traits::counted_in(self);
                if (Traits::destroy(self, false)) {
                    if (context != nullptr) {
                        context_release_child(context);
                    }
                } else {
                    PyErr_Clear();
                }
                Traits::after_destroy(self);
            }
        }
        for (PyObject *Object::*field : Traits::refs) {
            Py_CLEAR(self->*field);
        }
        type->tp_free(obj);
        Py_DECREF(type);
    }

    static int traverse(PyObject *obj, visitproc visit, void *arg)
    {
        Object *self = cast(obj);
        Py_VISIT(Py_TYPE(obj));
        for (PyObject *Object::*field : Traits::refs) {
            Py_VISIT(self->*field);
        }
        return 0;
    }

    // The collector replaces references by None and leaves the handle for
    // destruction to free.
    static int clear(PyObject *obj)
    {
        Object *self = cast(obj);
        for (PyObject *Object::*field : Traits::refs) {
            py::set_field(self->*field, Py_None);
        }
        return 0;
    }
};

}  // namespace vantor
