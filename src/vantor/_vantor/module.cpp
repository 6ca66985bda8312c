// The module's create and exec steps: one live instance per process, the
// types, the native libraries, then the Python-level names.
#include "completions.hpp"
#include "errors.hpp"
#include "loader.hpp"
#include "module_types.hpp"
#include "pickle.hpp"
#include "py/compat.hpp"
#include "py/function.hpp"
#include "py/ref.hpp"
#include "qp.hpp"
#include "traceback.hpp"
#include "work_request.hpp"

#include <cstdint>
#include <iterator>

namespace vantor {

namespace types {
#define VANTOR_DEFINE_TYPE(name) PyTypeObject *name = nullptr;
VANTOR_TYPES(VANTOR_DEFINE_TYPE)
#undef VANTOR_DEFINE_TYPE
}  // namespace types

bool define_loader_probes(PyObject *module);        // loader.cpp
bool define_discovery_functions(PyObject *module);  // device.cpp

namespace {

using py::Ref;

constexpr const char *kModuleSource = "vantor/_vantor/module.cpp";

constexpr const char *kModuleDoc =
    "Native core of vantor: AWS EFA devices through libibverbs and libefa.\n"
    "\n"
    "Every RDMA resource (Context, PD, MR, CompChannel, CQ, CQEx, QP, AH) is an\n"
    "object that owns its native handle and frees it on destruction; children keep\n"
    "a reference to their parent, so a parent always outlives its children.\n"
    "\n"
    "The hot paths (post_send, post_recv, poll, get_cq_event) release the\n"
    "interpreter lock around their native call.\n"
    "\n"
    "SRD is the native transport: connectionless, reliable and out of order. Queue\n"
    "pairs use the UD-style state machine (RESET, INIT, RTR, RTS) and need no remote\n"
    "information to reach RTS. RDMA read and write are reachable only through the\n"
    "extended work-request interface on which post_send is built.\n"
    "\n"
    "SEND messages are limited by PortAttr.max_msg_sz (about 8 KiB) and RDMA\n"
    "operations by EfaDeviceAttr.max_rdma_size (1 GiB on current hardware);\n"
    "oversized posts fail with an error completion.\n";

constexpr const char *kPublicNames[] = {
    "EfaError",
    "CompletionError",
    "Gid",
    "DeviceAttr",
    "EfaDeviceAttr",
    "PortAttr",
    "WC",
    "CQAttr",
    "SGE",
    "SendWR",
    "RecvWR",
    "QPCap",
    "QPInitAttr",
    "AHAttr",
    "MRAttr",
    "WQAttr",
    "Device",
    "get_device_list",
    "get_efa_device_list",
    "Context",
    "AsyncEvent",
    "PD",
    "MR",
    "CompChannel",
    "CQ",
    "CQEx",
    "QP",
    "AH",
};
static_assert(std::size(kPublicNames) == 28);

PyObject *g_live_module = nullptr;  // the one executed module object
int64_t g_main_interpreter = -1;

bool check_interpreter()
{
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return false;
    }
    if (g_main_interpreter == -1) {
        g_main_interpreter = current;
    } else if (g_main_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return false;
    }
    return true;
}

// Copies spec.<from_name> into the module namespace as <to_name>.
bool copy_spec_attr(PyObject *spec, PyObject *dict, const char *from_name, const char *to_name,
                    bool allow_none)
{
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from_name));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        return true;
    }
    if (value.get() == Py_None && !allow_none) {
        return true;
    }
    return PyDict_SetItemString(dict, to_name, value.get()) == 0;
}

PyObject *create_module(PyObject *spec, PyModuleDef *)
{
    if (!check_interpreter()) {
        return nullptr;
    }
    if (g_live_module != nullptr) {
        Py_INCREF(g_live_module);
        return g_live_module;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject *dict = PyModule_GetDict(module.get());
    if (!copy_spec_attr(spec, dict, "loader", "__loader__", true) ||
        !copy_spec_attr(spec, dict, "origin", "__file__", true) ||
        !copy_spec_attr(spec, dict, "parent", "__package__", true) ||
        !copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false)) {
        return nullptr;
    }
    return module.release();
}

bool register_in_sys_modules(PyObject *module)
{
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *existing = PyDict_GetItemString(modules, "vantor._vantor");
    if (existing != nullptr) {
        return true;
    }
    return PyDict_SetItemString(modules, "vantor._vantor", module) == 0;
}

bool create_types(PyObject *module)
{
    if (!py::init_function_type(module)) {
        return false;
    }
#define VANTOR_CREATE_TYPE(name)                                                                   \
    types::name = create_##name##_type(module);                                                    \
    if (types::name == nullptr) {                                                                  \
        return false;                                                                              \
    }
    VANTOR_TYPES(VANTOR_CREATE_TYPE)
#undef VANTOR_CREATE_TYPE
    return true;
}

bool import_os(PyObject *module)
{
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    return os && PyModule_AddObject(module, "os", os.release()) == 0;
}

bool define_all(PyObject *module)
{
    Ref names = Ref::steal(PyList_New(0));
    if (!names) {
        return false;
    }
    for (const char *name : kPublicNames) {
        Ref text = Ref::steal(PyUnicode_InternFromString(name));
        if (!text || PyList_Append(names.get(), text.get()) < 0) {
            return false;
        }
    }
    return PyModule_AddObject(module, "__all__", names.release()) == 0;
}

#define VANTOR_METHOD_TABLE_ADDRESS(name) &name##_methods,
const py::MethodTable *const kMethodTables[] = {VANTOR_METHOD_TABLES(VANTOR_METHOD_TABLE_ADDRESS)};
#undef VANTOR_METHOD_TABLE_ADDRESS

bool bind_methods(PyObject *)
{
    for (const py::MethodTable *table : kMethodTables) {
        if (!py::add_methods(*table->owner, table->defs, table->count)) {
            return false;
        }
    }
    return true;
}

// The Python-level names, in the order they enter the namespace.
using Definer = bool (*)(PyObject *module);
constexpr Definer kDefinitions[] = {
    define_efa_error,    define_loader_probes,       bind_methods, define_completion_error,
    define_qp_init_attr, define_discovery_functions, define_all,   pickling::define_pickling,
};

bool exec_steps(PyObject *module)
{
    if (PyModule_SetDocString(module, kModuleDoc) < 0 || !register_in_sys_modules(module) ||
        !create_types(module) || !import_os(module)) {
        return false;
    }
    set_module_dict(PyModule_GetDict(module));
    reset_loader();
    if (_load_libraries() < 0) {
        return false;
    }
    for (Definer define : kDefinitions) {
        if (!define(module)) {
            return false;
        }
    }
    return true;
}

int exec_module(PyObject *module)
{
    if (g_live_module != nullptr) {
        if (g_live_module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_vantor' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    Py_INCREF(module);
    g_live_module = module;
    if (exec_steps(module)) {
        return 0;
    }
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "init vantor._vantor");
    }
    add_traceback("init vantor._vantor", kModuleSource);
    Py_CLEAR(g_live_module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_module)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    py::compat::kInterpreterSlot,
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_vantor", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vantor

PyMODINIT_FUNC PyInit__vantor(void) { return PyModuleDef_Init(&vantor::module_def); }
