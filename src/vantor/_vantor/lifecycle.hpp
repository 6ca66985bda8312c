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
//       static constexpr const char *destroy_call = "ibv_dealloc_pd";  // names EBUSY
//       static constexpr bool gc = true;            // takes part in cyclic GC
//       static constexpr bool counted = true;       // optional, default false
//       // Python reference fields in traverse/clear order.
//       static constexpr PyObject *Object::*refs[] = {&PDObject::context};
//       // Optional: how many leading refs are parents (default: all).
//       static constexpr size_t parents = 1;
//       // The Context this object is counted in (one of its parents), or
//       // nullptr for uncounted classes (and for a field the collector
//       // cleared to None).
//       static ContextObject *counted_in(Object *self);
//       static bool is_open(const Object *self);
//       // Frees the native handle(s). On failure: with `report`, raise the
//       // EfaError and return false; without, just return false.
//       static bool destroy(Object *self, bool report);
//       // Nulls the handle(s) and does what a successful close also does.
//       static void after_destroy(Object *self);
//   };
//
// `dealloc_context` and `counted` matter only to counted classes: when
// destruction cannot release the child (its Context is gone), the failure is
// reported through the unraisable hook under that name.
//
// Parents and the collector. When the cyclic collector clears an object
// whose native handle is still open, the handle outlives the references the
// collector wants gone, and freeing it later needs its parents alive: a PD
// must not be deallocated under its registered MR, and a counted child must
// still find its Context to release. So clear() parks the parent references
// (strong, in a side table) before putting None in the fields, and
// destruction frees the handle first and drops the parked parents after.
// Parents never refer back to their children, so parking them keeps no
// cycle alive; non-parent references (MR.owner) are cleared outright.
//
// In use. A method that hands an object's handle to the native library
// holds an InUse on it from its closed check until the native call returns
// whenever anything else can run in between: Python code (an argument's
// __index__ or __bytes__, the iteration of a request list, a finalizer run
// by an allocation) or another thread while the GIL is released. A close()
// meanwhile would free the handle under the call, so it refuses with EBUSY
// instead. The mark also holds a reference, so dropping the last one
// meanwhile cannot free the object either. It is a count, not a lock: the
// GIL orders every change. Every object layout has an `int32_t _in_use`.
#pragma once

#include "context.hpp"
#include "objects.hpp"
#include "errors.hpp"
#include "py/args.hpp"
#include "py/ref.hpp"

#include <Python.h>

#include <cerrno>
#include <cstddef>
#include <iterator>
#include <type_traits>
#include <utility>

namespace vantor {

// A queue dropped while its channel was in use waits for the channel to be
// idle to be destroyed (comp_channel.cpp).
void comp_channel_idle(CompChannelObject *chan);

template <typename Object>
class InUse {
public:
    InUse() noexcept = default;
    explicit InUse(Object *object) noexcept { hold(object); }
    InUse(const InUse &) = delete;
    InUse &operator=(const InUse &) = delete;
    ~InUse() { release(); }

    // Marks `object` (open or not: closing a closed object does nothing).
    void hold(Object *object) noexcept
    {
        release();
        Py_INCREF(reinterpret_cast<PyObject *>(object));
        ++object->_in_use;
        object_ = object;
    }

    void release() noexcept
    {
        Object *object = std::exchange(object_, nullptr);
        if (object == nullptr) {
            return;
        }
        if (--object->_in_use == 0) {
            if constexpr (std::is_same_v<Object, CompChannelObject>) {
                comp_channel_idle(object);
            }
        }
        Py_DECREF(reinterpret_cast<PyObject *>(object));
    }

private:
    Object *object_ = nullptr;
};

// The parent references of one collector-cleared object, parked until its
// native handle is freed.
class ParkedParents {
public:
    ParkedParents() = default;
    ParkedParents(const ParkedParents &) = delete;
    ParkedParents &operator=(const ParkedParents &) = delete;
    ParkedParents(ParkedParents &&other) noexcept;
    ParkedParents &operator=(ParkedParents &&other) noexcept;
    ~ParkedParents() { drop(); }

    // Takes over the parked references of `child` (none when nothing is parked).
    static ParkedParents take(PyObject *child);
    // Parks new references to `parents` for `child`; false when out of memory.
    static bool park(PyObject *child, PyObject *const *parents, size_t count,
                     ContextObject *context);

    ContextObject *context() const { return context_; }
    // Releases the references now (they may be the last ones).
    void drop();

private:
    PyObject **refs_ = nullptr;
    size_t count_ = 0;
    ContextObject *context_ = nullptr;  // borrowed from refs_
};

template <typename Traits>
struct Lifecycle {
    using Object = typename Traits::Object;

    static Object *cast(PyObject *self) { return reinterpret_cast<Object *>(self); }

    static constexpr bool counted()
    {
        if constexpr (requires { Traits::counted; }) {
            return Traits::counted;
        } else {
            return false;
        }
    }

    static constexpr size_t parent_count()
    {
        if constexpr (requires { Traits::parents; }) {
            return Traits::parents;
        } else {
            return std::size(Traits::refs);
        }
    }

    // The closed check: EfaError(<closed message>, EBADF) when closed.
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

    // Undoes the registration once the native handle is gone. False when a
    // counted object's Context can no longer be found.
    static bool release_child(Object *self, const ParkedParents &parked)
    {
        ContextObject *context = Traits::counted_in(self);
        if (context == nullptr) {
            context = parked.context();
        }
        if (context != nullptr) {
            context_release_child(context);
            return true;
        }
        return !counted();
    }

    // close(): nothing when closed; EBUSY while in use; otherwise destroy,
    // and on success null the handle and release the child. A failure
    // leaves everything as it was.
    static bool close(Object *self)
    {
        if (!Traits::is_open(self)) {
            return true;
        }
        if (self->_in_use > 0) {
            raise_efa_error(Traits::destroy_call, EBUSY);
            return false;
        }
        if (!Traits::destroy(self, true)) {
            return false;
        }
        ParkedParents parked = ParkedParents::take(reinterpret_cast<PyObject *>(self));
        Traits::after_destroy(self);
        release_child(self, parked);
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
    static PyObject *exit_method(PyObject *self, PyObject *const *, Py_ssize_t, PyObject *kwnames)
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

    static void report_lost_context()
    {
        if constexpr (requires { Traits::dealloc_context; }) {
            PyErr_SetString(PyExc_AttributeError,
                            "'NoneType' object has no attribute '_release_child'");
            py::Ref where = py::Ref::steal(PyUnicode_FromString(Traits::dealloc_context));
            PyErr_WriteUnraisable(where ? where.get() : Py_None);
        }
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
            ParkedParents parked = ParkedParents::take(obj);
            if (Traits::is_open(self)) {
                if (Traits::destroy(self, false)) {
                    if (!release_child(self, parked)) {
                        report_lost_context();
                    }
                } else {
                    // The native object lives on, so the Context keeps
                    // counting it and must never close under it.
                    PyErr_Clear();
                }
                Traits::after_destroy(self);
            }
            // Parents go only now that the handle no longer needs them.
            parked.drop();
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
    // destruction to free; an open object parks its parents first.
    static int clear(PyObject *obj)
    {
        Object *self = cast(obj);
        if (Traits::is_open(self)) {
            PyObject *parents[parent_count() == 0 ? 1 : parent_count()];
            size_t count = 0;
            for (size_t i = 0; i < parent_count(); ++i) {
                PyObject *parent = self->*Traits::refs[i];
                if (parent != nullptr && parent != Py_None) {
                    parents[count++] = parent;
                }
            }
            if (count != 0) {
                ParkedParents::park(obj, parents, count, Traits::counted_in(self));
            }
        }
        for (PyObject *Object::*field : Traits::refs) {
            py::set_field(self->*field, Py_None);
        }
        return 0;
    }
};

}  // namespace vantor
