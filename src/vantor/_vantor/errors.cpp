#include "errors.hpp"

#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/function.hpp"
#include "py/ref.hpp"
#include "py/types.hpp"

#include <cerrno>

namespace vantor {
namespace {

using py::Ref;

PyObject *g_module_dict = nullptr;
PyObject *g_efa_error = nullptr;

constexpr const char *kEfaErrorDoc =
    "Raised when a libibverbs/libefa call fails.\n"
    "\n"
    "    Subclasses :class:`OSError`, so ``.errno`` and ``.strerror`` are populated.\n"
    "    ``.operation`` names the call that failed.\n"
    "    ";

// Looks `name` up like a module-level name would be: globals, then builtins.
PyObject *lookup_global(const char *name)
{
    PyObject *found =
        g_module_dict == nullptr ? nullptr : PyDict_GetItemString(g_module_dict, name);
    if (found == nullptr) {
        found = PyDict_GetItemString(PyEval_GetBuiltins(), name);
    }
    if (found == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        return nullptr;
    }
    Py_INCREF(found);
    return found;
}

PyObject *compose_message(PyObject *operation, int err)
{
    Ref os = Ref::steal(lookup_global("os"));
    if (!os) {
        return nullptr;
    }
    Ref text = Ref::steal(PyObject_CallMethod(os.get(), "strerror", "i", err));
    if (!text) {
        return nullptr;
    }
    Ref text_str = Ref::steal(PyObject_Str(text.get()));
    if (!text_str) {
        return nullptr;
    }
    if (operation == Py_None) {
        return PyUnicode_FromFormat("None failed: %U", text_str.get());
    }
    return PyUnicode_FromFormat("%U failed: %U", operation, text_str.get());
}

const char *const kInitNames[] = {"operation", "err", "detail", nullptr};
const py::ArgSpec kInitArgs{"__init__", kInitNames, 2};

PyObject *EfaError_init(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *values[3];
    if (!kInitArgs.parse(args, nargs, kwnames, values)) {
        return nullptr;
    }
    PyObject *operation = values[0];
    PyObject *detail = values[2] == nullptr ? Py_None : values[2];
    int err = 0;
    if (!py::to_int(values[1], err)) {
        return nullptr;
    }
    if (operation != Py_None && !PyUnicode_Check(operation)) {
        raise_bad_type(operation, "str", "operation");
        return nullptr;
    }
    if (PyObject_SetAttrString(self, "operation", operation) < 0) {
        return nullptr;
    }
    Ref message;
    if (detail == Py_None) {
        message = Ref::steal(compose_message(operation, err));
    } else if (PyUnicode_CheckExact(detail)) {
        message = Ref::borrow(detail);
    } else {
        message = Ref::steal(PyObject_Str(detail));
    }
    if (!message) {
        return nullptr;
    }
    Ref super = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type),
                                                        g_efa_error, self, nullptr));
    if (!super) {
        return nullptr;
    }
    Ref result = Ref::steal(PyObject_CallMethod(super.get(), "__init__", "iO", err, message.get()));
    if (!result) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

const py::FunctionDef kEfaErrorMethods[] = {
    {"__init__", EfaError_init, "EfaError.__init__(self, str operation, int err, detail=None)"},
};

}  // namespace

PyObject *module_dict() { return g_module_dict; }

void set_module_dict(PyObject *dict) { py::set_field(g_module_dict, dict); }

PyObject *efa_error_class() { return g_efa_error; }

bool define_efa_error(PyObject *module)
{
    Ref bases = Ref::steal(PyTuple_Pack(1, PyExc_OSError));
    if (!bases) {
        return false;
    }
    Ref cls = Ref::steal(py::new_python_class("EfaError", bases.get(), kEfaErrorDoc));
    if (!cls) {
        return false;
    }
    if (!py::add_methods(reinterpret_cast<PyTypeObject *>(cls.get()), kEfaErrorMethods)) {
        return false;
    }
    py::set_field(g_efa_error, cls.get());
    return PyModule_AddObject(module, "EfaError", cls.release()) == 0;
}

PyObject *raise_efa_error(const char *operation, int err, PyObject *detail)
{
    Ref cls = Ref::steal(lookup_global("EfaError"));
    if (!cls) {
        return nullptr;
    }
    Ref exc = Ref::steal(detail == nullptr
                             ? PyObject_CallFunction(cls.get(), "si", operation, err)
                             : PyObject_CallFunction(cls.get(), "siO", operation, err, detail));
    if (exc) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get());
    }
    return nullptr;
}

PyObject *raise_errno(const char *operation) { return raise_errno(operation, errno); }

PyObject *raise_errno(const char *operation, int err)
{
    return raise_efa_error(operation, err != 0 ? err : EIO);
}

PyObject *raise_rc(const char *operation, long rc) { return raise_rc(operation, rc, errno); }

PyObject *raise_rc(const char *operation, long rc, int err)
{
    if (rc > 0) {
        return raise_efa_error(operation, static_cast<int>(rc));
    }
    if (err != 0) {
        return raise_efa_error(operation, err);
    }
    return raise_efa_error(operation, rc == -1 ? EIO : static_cast<int>(-rc));
}

PyObject *raise_count(const char *operation, long count, int err)
{
    if (count == -1) {
        return raise_errno(operation, err);
    }
    return raise_efa_error(operation, static_cast<int>(-count));
}

void raise_expected(const char *expected, PyObject *obj)
{
    Ref name = Ref::steal(py::qualified_type_name(obj));
    if (name) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %U", expected, name.get());
    }
}

}  // namespace vantor
