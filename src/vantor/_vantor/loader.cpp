#include "loader.hpp"

#include "py/args.hpp"
#include "py/function.hpp"
#include "traceback.hpp"

#include <cstring>
#include <dlfcn.h>

namespace vantor {

#define VANTOR_DEFINE_POINTER(symbol, pointer) decltype(&::symbol) pointer = nullptr;
VANTOR_ALL_ENTRY_POINTS(VANTOR_DEFINE_POINTER)
#undef VANTOR_DEFINE_POINTER

void *_libverbs_handle = nullptr;
void *_libefa_handle = nullptr;

namespace {

constexpr const char *kLoaderSource = "vantor/_vantor/loader.cpp";

void *_dl(const char *soname)
{
    void *handle = dlopen(soname, RTLD_NOW | RTLD_GLOBAL);
    if (handle == nullptr) {
        const char *reason = dlerror();
        PyObject *text =
            reason == nullptr
                ? PyUnicode_FromString("not found")
                : PyUnicode_DecodeUTF8(reason, static_cast<Py_ssize_t>(strlen(reason)), "strict");
        if (text != nullptr) {
            PyErr_Format(PyExc_ImportError,
                         "could not load %s - install rdma-core (libibverbs + the EFA provider "
                         "libefa) (%U)",
                         soname, text);
            Py_DECREF(text);
        }
        add_traceback("vantor._vantor._dl", kLoaderSource);
    }
    return handle;
}

void *_req_sym(void *handle, const char *library, const char *symbol)
{
    void *address = dlsym(handle, symbol);
    if (address == nullptr) {
        PyErr_Format(PyExc_ImportError, "%s is missing required symbol %s", library, symbol);
        add_traceback("vantor._vantor._req_sym", kLoaderSource);
    }
    return address;
}

template <typename Pointer>
bool resolve_required(Pointer &pointer, void *handle, const char *library, const char *symbol)
{
    pointer = reinterpret_cast<Pointer>(_req_sym(handle, library, symbol));
    return pointer != nullptr;
}

template <typename Pointer>
void resolve_optional(Pointer &pointer, void *handle, const char *symbol)
{
    pointer = reinterpret_cast<Pointer>(dlsym(handle, symbol));
}

int fail_loading()
{
    add_traceback("vantor._vantor._load_libraries", kLoaderSource);
    return -1;
}

}  // namespace

void reset_loader()
{
    _libverbs_handle = nullptr;
    _libefa_handle = nullptr;
#define VANTOR_RESET_POINTER(symbol, pointer) pointer = nullptr;
    VANTOR_ALL_ENTRY_POINTS(VANTOR_RESET_POINTER)
#undef VANTOR_RESET_POINTER
}

int _load_libraries()
{
    _libverbs_handle = _dl("libibverbs.so.1");
    if (_libverbs_handle == nullptr) {
        return fail_loading();
    }
#define VANTOR_RESOLVE_VERBS(symbol, pointer)                                                      \
    if (!resolve_required(pointer, _libverbs_handle, "libibverbs", #symbol)) {                     \
        return fail_loading();                                                                     \
    }
    VANTOR_VERBS_REQUIRED(VANTOR_RESOLVE_VERBS)
#undef VANTOR_RESOLVE_VERBS
#define VANTOR_RESOLVE_OPTIONAL(symbol, pointer) resolve_optional(pointer, handle, #symbol);
    {
        void *handle = _libverbs_handle;
        VANTOR_VERBS_OPTIONAL(VANTOR_RESOLVE_OPTIONAL)
    }

    _libefa_handle = _dl("libefa.so.1");
    if (_libefa_handle == nullptr) {
        return fail_loading();
    }
#define VANTOR_RESOLVE_EFA(symbol, pointer)                                                        \
    if (!resolve_required(pointer, _libefa_handle, "libefa", #symbol)) {                           \
        return fail_loading();                                                                     \
    }
    VANTOR_EFA_REQUIRED(VANTOR_RESOLVE_EFA)
#undef VANTOR_RESOLVE_EFA
    {
        void *handle = _libefa_handle;
        VANTOR_EFA_OPTIONAL(VANTOR_RESOLVE_OPTIONAL)
    }
#undef VANTOR_RESOLVE_OPTIONAL
    return 0;
}

}  // namespace vantor

namespace vantor {
namespace {

PyObject *linked(PyObject *, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames)
{
    if (!py::no_args("_linked", nargs, kwnames)) {
        return nullptr;
    }
    return PyBool_FromLong(_libverbs_handle != nullptr && _libefa_handle != nullptr);
}

PyObject *has_dmabuf(PyObject *, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames)
{
    if (!py::no_args("_has_dmabuf", nargs, kwnames)) {
        return nullptr;
    }
    return PyBool_FromLong(_v_reg_dmabuf_mr != nullptr);
}

const py::FunctionDef kProbes[] = {
    {"_linked", linked,
     "_linked() -> bool\n\nReturn True if libibverbs and libefa were loaded at import."},
    {"_has_dmabuf", has_dmabuf,
     "_has_dmabuf() -> bool\n\nReturn True if this libibverbs provides ``ibv_reg_dmabuf_mr`` "
     "(rdma-core >= 34)."},
};

}  // namespace

bool define_loader_probes(PyObject *module) { return py::add_functions(module, kProbes); }

}  // namespace vantor
