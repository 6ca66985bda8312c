// Typed fields of mutable records: where a Python int lies with respect to
// a field's range, getset accessors for scalar fields read and written
// through their offset and width, object fields, and the construction and
// release shared by record classes.
#pragma once

#include "args.hpp"
#include "init_args.hpp"
#include "ref.hpp"

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace vantor::py {

// Where a Python int lies with respect to [0, max].
enum class Range { below, inside, above, error };

// `out` receives the value whenever it is neither negative nor beyond 64 bits.
Range classify(PyObject *value, uint64_t max, uint64_t &out);

// A scalar field: where it lies in the object and how wide it is. A getset
// entry passes the Field as its closure.
enum class Width { u64, u32, uint, i32 };

struct Field {
    Py_ssize_t offset;
    Width width;
};

PyObject *get_scalar(PyObject *self, void *closure);
// Converts to the field's width and stores; nothing is stored on failure.
bool store_scalar(PyObject *self, const Field &field, PyObject *value);
// Deleting a scalar field raises NotImplementedError.
int set_scalar(PyObject *self, PyObject *value, void *closure);

// Object fields: the closure is the field's offset (offset_closure). Reads
// give None for an empty field; set_any stores anything, deletion as None.
PyObject *get_object(PyObject *self, void *closure);
int set_any(PyObject *self, PyObject *value, void *closure);
inline void *offset_closure(Py_ssize_t offset) { return reinterpret_cast<void *>(offset); }

// Calls of the record classes themselves skip tp_new/tp_init dispatch; a
// subclass goes the ordinary way (tp_vectorcall is not inherited).
template <typename Object, bool (*Init)(Object *, PyObject *const *), const ArgSpec &Spec, int N>
PyObject *vectorcall_new(PyObject *type, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    PyObject *values[N];
    if (!Spec.parse(args, PyVectorcall_NARGS(nargsf), kwnames, values)) {
        return nullptr;
    }
    auto *tp = reinterpret_cast<PyTypeObject *>(type);
    Ref self = Ref::steal(tp->tp_new(tp, nullptr, nullptr));
    if (!self || !Init(reinterpret_cast<Object *>(self.get()), values)) {
        return nullptr;
    }
    return self.release();
}

template <typename Object, bool (*Init)(Object *, PyObject *const *), const ArgSpec &Spec, int N>
int tp_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *values[N];
    if (!parse_init(Spec, args, kwargs, values)) {
        return -1;
    }
    return Init(reinterpret_cast<Object *>(self), values) ? 0 : -1;
}

// Releases the record's object fields, then the record.
template <typename Object, size_t N>
void dealloc_record(PyObject *self, PyObject *Object::*const (&fields)[N])
{
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto *object = reinterpret_cast<Object *>(self);
    for (PyObject *Object::*field : fields) {
        Py_CLEAR(object->*field);
    }
    type->tp_free(self);
    Py_DECREF(type);
}

// Installs the fast construction path on a record class just created.
template <typename Object, bool (*Init)(Object *, PyObject *const *), const ArgSpec &Spec, int N>
PyTypeObject *finish_record(PyTypeObject *type)
{
    if (type != nullptr) {
        type->tp_vectorcall = vectorcall_new<Object, Init, Spec, N>;
    }
    return type;
}

}  // namespace vantor::py
