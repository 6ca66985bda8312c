#include "function.hpp"

#include "compat.hpp"
#include "ref.hpp"
#include "types.hpp"

#include <cstring>
#include <structmember.h>

namespace vantor::py {
namespace {

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    Impl impl;
    PyTypeObject *owner;  // borrowed: the owner's dict keeps this object alive
    PyObject *bound;      // the module for module-level functions
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *annotations;
};

PyTypeObject *function_type = nullptr;

PyObject *call_function(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    auto *self = reinterpret_cast<Function *>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return self->impl(self->bound, args, nargs, kwnames);
}

PyObject *call_method(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    auto *self = reinterpret_cast<Function *>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", self->qualname);
        return nullptr;
    }
    if (!PyObject_TypeCheck(args[0], self->owner)) {
        PyErr_Format(PyExc_TypeError,
                     "descriptor '%U' for '%s' objects doesn't apply to a '%s' object", self->name,
                     self->owner->tp_name, Py_TYPE(args[0])->tp_name);
        return nullptr;
    }
    return self->impl(args[0], args + 1, nargs - 1, kwnames);
}

PyObject *function_get(PyObject *self, PyObject *obj, PyObject *)
{
    auto *function = reinterpret_cast<Function *>(self);
    if (obj == nullptr || obj == Py_None || function->owner == nullptr) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self)
{
    return PyUnicode_FromFormat("<function %U>", reinterpret_cast<Function *>(self)->qualname);
}

// Pickled by reference, like any module-level function.
PyObject *function_reduce(PyObject *self, PyObject *)
{
    auto *function = reinterpret_cast<Function *>(self);
    Py_INCREF(function->qualname);
    return function->qualname;
}

void function_dealloc(PyObject *self)
{
    auto *function = reinterpret_cast<Function *>(self);
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(function->bound);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->module);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->annotations);
    type->tp_free(self);
    Py_DECREF(type);
}

int function_traverse(PyObject *self, visitproc visit, void *arg)
{
    auto *function = reinterpret_cast<Function *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->bound);
    Py_VISIT(function->annotations);
    return 0;
}

int function_clear(PyObject *self)
{
    auto *function = reinterpret_cast<Function *>(self);
    Py_CLEAR(function->bound);
    Py_CLEAR(function->annotations);
    return 0;
}

PyObject *get_annotations(PyObject *self, void *)
{
    auto *function = reinterpret_cast<Function *>(self);
    if (function->annotations == nullptr) {
        function->annotations = PyDict_New();
        if (function->annotations == nullptr) {
            return nullptr;
        }
    }
    Py_INCREF(function->annotations);
    return function->annotations;
}

int set_annotations(PyObject *self, PyObject *value, void *)
{
    auto *function = reinterpret_cast<Function *>(self);
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    set_field(function->annotations, value);
    return 0;
}

PyObject *get_doc(PyObject *self, void *)
{
    PyObject *doc = reinterpret_cast<Function *>(self)->doc;
    Py_INCREF(doc);
    return doc;
}

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(Function, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(Function, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(Function, module), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_get)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "vantor._vantor.function",
    sizeof(Function),
    0,
    // Immutable so that the interpreter's method-call fast path (which
    // caches only descriptors of immutable types) applies to our methods.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | compat::kImmutableType,
    function_slots,
};

// The return annotation is the text after the arrow on the signature line.
PyObject *annotations_from_doc(const char *doc)
{
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations || doc == nullptr) {
        return annotations.release();
    }
    const char *end = std::strchr(doc, '\n');
    size_t line_len = end == nullptr ? std::strlen(doc) : static_cast<size_t>(end - doc);
    const char *arrow = nullptr;
    for (const char *p = doc; p + 4 <= doc + line_len; ++p) {
        if (std::memcmp(p, " -> ", 4) == 0) {
            arrow = p;
        }
    }
    if (arrow != nullptr) {
        const char *text = arrow + 4;
        Ref value = Ref::steal(
            PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(doc + line_len - text)));
        if (!value || PyDict_SetItemString(annotations.get(), "return", value.get()) < 0) {
            return nullptr;
        }
    }
    return annotations.release();
}

PyObject *make(const FunctionDef &def, PyObject *bound, PyTypeObject *owner, PyObject *qualname)
{
    auto *function = PyObject_GC_New(Function, function_type);
    if (function == nullptr) {
        return nullptr;
    }
    function->vectorcall = owner == nullptr ? call_function : call_method;
    function->impl = def.impl;
    function->owner = owner;
    Py_XINCREF(bound);
    function->bound = bound;
    function->name = PyUnicode_InternFromString(def.name);
    function->qualname = qualname;
    function->module = PyUnicode_InternFromString("vantor._vantor");
    function->doc =
        def.doc == nullptr ? (Py_INCREF(Py_None), Py_None) : PyUnicode_FromString(def.doc);
    function->annotations = annotations_from_doc(def.doc);
    Ref result = Ref::steal(reinterpret_cast<PyObject *>(function));
    if (function->name == nullptr || function->qualname == nullptr || function->module == nullptr ||
        function->doc == nullptr || function->annotations == nullptr) {
        return nullptr;
    }
    PyObject_GC_Track(result.get());
    return result.release();
}

}  // namespace

bool init_function_type(PyObject *module)
{
    Ref type = Ref::steal(PyType_FromSpec(&function_spec));
    if (!type) {
        return false;
    }
    (void)module;
    Py_XDECREF(reinterpret_cast<PyObject *>(function_type));
    function_type = reinterpret_cast<PyTypeObject *>(type.release());
    return true;
}

PyObject *new_function(const FunctionDef &def, PyObject *module)
{
    PyObject *qualname = PyUnicode_InternFromString(def.name);
    if (qualname == nullptr) {
        return nullptr;
    }
    return make(def, module, nullptr, qualname);
}

PyObject *new_method(const FunctionDef &def, PyTypeObject *owner)
{
    Ref owner_name =
        Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject *>(owner), "__qualname__"));
    if (!owner_name) {
        return nullptr;
    }
    PyObject *qualname = PyUnicode_FromFormat("%U.%s", owner_name.get(), def.name);
    if (qualname == nullptr) {
        return nullptr;
    }
    return make(def, nullptr, owner, qualname);
}

bool add_functions(PyObject *module, const FunctionDef *defs, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        Ref function = Ref::steal(new_function(defs[i], module));
        if (!function || PyModule_AddObject(module, defs[i].name, function.get()) < 0) {
            return false;
        }
        function.release();
    }
    return true;
}

bool add_methods(PyTypeObject *owner, const FunctionDef *defs, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        Ref method = Ref::steal(new_method(defs[i], owner));
        if (!method || PyObject_SetAttrString(reinterpret_cast<PyObject *>(owner), defs[i].name,
                                              method.get()) < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace vantor::py
