#include "types.hpp"

#include "ref.hpp"

#include <cstring>

namespace vantor::py {

PyTypeObject *add_type(PyObject *module, PyType_Spec *spec, PyTypeObject *base)
{
    Ref bases;
    if (base != nullptr) {
        bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject *>(base)));
        if (!bases) {
            return nullptr;
        }
    }
    Ref type = Ref::steal(PyType_FromSpecWithBases(spec, bases.get()));
    if (!type) {
        return nullptr;
    }
    const char *dot = std::strrchr(spec->name, '.');
    const char *short_name = dot == nullptr ? spec->name : dot + 1;
    if (PyModule_AddObject(module, short_name, type.get()) < 0) {
        return nullptr;
    }
    // The module now holds the reference.
    return reinterpret_cast<PyTypeObject *>(type.release());
}

PyObject *qualified_name(PyTypeObject *type_object)
{
    PyObject *type = reinterpret_cast<PyObject *>(type_object);
    Ref qualname = Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
    if (!qualname) {
        return nullptr;
    }
    Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
    if (!module) {
        PyErr_Clear();
        return qualname.release();
    }
    if (!PyUnicode_Check(module.get()) ||
        PyUnicode_CompareWithASCIIString(module.get(), "builtins") == 0 ||
        PyUnicode_CompareWithASCIIString(module.get(), "__main__") == 0) {
        return qualname.release();
    }
    return PyUnicode_FromFormat("%U.%U", module.get(), qualname.get());
}

PyObject *qualified_type_name(PyObject *obj) { return qualified_name(Py_TYPE(obj)); }

PyObject *new_python_class(const char *name, PyObject *bases, const char *doc)
{
    Ref namespace_dict = Ref::steal(PyDict_New());
    Ref module_name = Ref::steal(PyUnicode_FromString("vantor._vantor"));
    Ref qualname = Ref::steal(PyUnicode_FromString(name));
    Ref doc_text =
        Ref::steal(doc == nullptr ? (Py_INCREF(Py_None), Py_None) : PyUnicode_FromString(doc));
    if (!namespace_dict || !module_name || !qualname || !doc_text ||
        PyDict_SetItemString(namespace_dict.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(namespace_dict.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(namespace_dict.get(), "__doc__", doc_text.get()) < 0) {
        return nullptr;
    }
    return PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type), "sOO", name, bases,
                                 namespace_dict.get());
}

}  // namespace vantor::py
