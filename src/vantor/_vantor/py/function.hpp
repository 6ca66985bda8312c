// The module's function object: a vectorcall callable that carries
// __name__, __qualname__, __module__, __doc__ and __annotations__ (built-in
// functions have no annotations). It is a method descriptor, so
// `obj.method(x)` is dispatched without creating a bound method.
#pragma once

#include <Python.h>

#include <cstddef>

namespace vantor::py {

// self: the instance for methods, the module for module-level functions.
using Impl = PyObject *(*)(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames);

struct FunctionDef {
    const char *name;
    Impl impl;
    // First line: the signature; an arrow on it gives the return annotation.
    const char *doc;
};

// Creates the function type; call once per module execution before any
// function is made.
bool init_function_type(PyObject *module);

// A module-level function whose impl receives `module` as self.
PyObject *new_function(const FunctionDef &def, PyObject *module);
// A method of `owner`: calls check that the first argument is an instance.
PyObject *new_method(const FunctionDef &def, PyTypeObject *owner);

// Binds each definition as an attribute of the module or the type.
bool add_functions(PyObject *module, const FunctionDef *defs, size_t count);
bool add_methods(PyTypeObject *owner, const FunctionDef *defs, size_t count);

// One class's methods, bound by the module once the types exist (the owner
// is read then, through the address of its type slot).
struct MethodTable {
    PyTypeObject *const *owner;
    const FunctionDef *defs;
    size_t count;
};

template <size_t N>
constexpr MethodTable method_table(PyTypeObject *const &owner, const FunctionDef (&defs)[N])
{
    return {&owner, defs, N};
}

template <size_t N>
bool add_functions(PyObject *module, const FunctionDef (&defs)[N])
{
    return add_functions(module, defs, N);
}
template <size_t N>
bool add_methods(PyTypeObject *owner, const FunctionDef (&defs)[N])
{
    return add_methods(owner, defs, N);
}

}  // namespace vantor::py
