// Heap types: built from a spec, subclassable, bound in the module namespace
// under their short name.
#pragma once

#include <Python.h>

namespace vantor::py {

// Creates the type (with `base` when given) and sets it as a module
// attribute; returns a borrowed pointer (the module keeps the type), or null.
PyTypeObject *add_type(PyObject *module, PyType_Spec *spec, PyTypeObject *base = nullptr);

// Builds an ordinary Python class, as a class statement would:
// type(name, bases, {"__module__": ..., "__qualname__": name, "__doc__": doc}).
PyObject *new_python_class(const char *name, PyObject *bases, const char *doc);

// "module.qualname" of a type, the module left out for builtins and
// __main__: how exception messages name types.
PyObject *qualified_name(PyTypeObject *type);
PyObject *qualified_type_name(PyObject *obj);

// An instance made without running any constructor (tp_alloc only).
template <typename T>
T *alloc_bare(PyTypeObject *type)
{
    return reinterpret_cast<T *>(type->tp_alloc(type, 0));
}

}  // namespace vantor::py
