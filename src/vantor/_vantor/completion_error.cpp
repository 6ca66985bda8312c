// CompletionError: the EfaError for a failed work completion. A plain Python
// class, like EfaError, so Python code can subclass and catch it naturally.
#include "completions.hpp"
#include "errors.hpp"
#include "module_types.hpp"
#include "py/args.hpp"
#include "py/function.hpp"
#include "py/ref.hpp"
#include "py/types.hpp"

#include <cerrno>

namespace vantor {
namespace {

using py::Ref;

PyObject *g_completion_error = nullptr;

constexpr const char *kCompletionErrorDoc =
    "Raised by :meth:`WC.raise_for_status` for a failed completion.";

const char *const kInitNames[] = {"wc", nullptr};
const py::ArgSpec kInitArgs{"__init__", kInitNames, 1};

PyObject *CompletionError_init(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames)
{
    PyObject *wc_obj;
    if (!kInitArgs.parse(args, nargs, kwnames, &wc_obj) ||
        !py::check_type(wc_obj, types::WC, "wc")) {
        return nullptr;
    }
    const WCObject *wc = reinterpret_cast<const WCObject *>(wc_obj);
    Ref status = Ref::steal(PyLong_FromLong(wc->fields.status));
    Ref vendor_err = Ref::steal(PyLong_FromUnsignedLong(wc->fields.vendor_err));
    if (!status || !vendor_err || PyObject_SetAttrString(self, "wc", wc_obj) < 0 ||
        PyObject_SetAttrString(self, "status", status.get()) < 0 ||
        PyObject_SetAttrString(self, "vendor_err", vendor_err.get()) < 0) {
        return nullptr;
    }
    Ref text = Ref::steal(PyObject_GetAttrString(wc_obj, "status_str"));
    if (!text) {
        return nullptr;
    }
    Ref text_str = Ref::steal(PyObject_Str(text.get()));
    if (!text_str) {
        return nullptr;
    }
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "work completion failed: %U (status=%d, vendor_err=0x%x)", text_str.get(),
        wc->fields.status, static_cast<unsigned int>(wc->fields.vendor_err)));
    if (!message) {
        return nullptr;
    }
    Ref super = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type),
                                                        g_completion_error, self, nullptr));
    if (!super) {
        return nullptr;
    }
    Ref result = Ref::steal(
        PyObject_CallMethod(super.get(), "__init__", "siO", "work completion", EIO, message.get()));
    if (!result) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

const py::FunctionDef kCompletionErrorMethods[] = {
    {"__init__", CompletionError_init, "CompletionError.__init__(self, WC wc)"},
};

}  // namespace

bool define_completion_error(PyObject *module)
{
    Ref bases = Ref::steal(PyTuple_Pack(1, efa_error_class()));
    if (!bases) {
        return false;
    }
    Ref cls = Ref::steal(py::new_python_class("CompletionError", bases.get(), kCompletionErrorDoc));
    if (!cls ||
        !py::add_methods(reinterpret_cast<PyTypeObject *>(cls.get()), kCompletionErrorMethods)) {
        return false;
    }
    py::set_field(g_completion_error, cls.get());
    return PyModule_AddObject(module, "CompletionError", cls.release()) == 0;
}

}  // namespace vantor
