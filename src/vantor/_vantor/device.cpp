// Device discovery: the Device record, the two list functions and
// Device.open, which looks the device up again by name.
#include "context.hpp"
#include "errors.hpp"
#include "loader.hpp"
#include "module_types.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/function.hpp"
#include "py/init_args.hpp"
#include "py/ref.hpp"
#include "py/types.hpp"
#include "records.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <structmember.h>

namespace vantor {
namespace {

using py::Ref;

DeviceObject *as_device(PyObject *self) { return reinterpret_cast<DeviceObject *>(self); }

// Owns the array from ibv_get_device_list; every path frees it once.
class DeviceList {
public:
    DeviceList() { list_ = _v_get_device_list(&count_); }
    DeviceList(const DeviceList &) = delete;
    DeviceList &operator=(const DeviceList &) = delete;
    ~DeviceList()
    {
        if (list_ != nullptr) {
            _v_free_device_list(list_);
        }
    }
    ibv_device **get() const { return list_; }
    int count() const { return count_; }

private:
    int count_ = 0;
    ibv_device **list_ = nullptr;
};

const char *const kDeviceInitNames[] = {"name", "guid", nullptr};
const py::ArgSpec kDeviceInit{"__init__", kDeviceInitNames, 2};

int Device_init(PyObject *self, PyObject *args, PyObject *kwds)
{
    PyObject *values[2];
    if (!py::parse_init(kDeviceInit, args, kwds, values)) {
        return -1;
    }
    uint64_t guid = 0;
    if (!py::to_u64(values[1], guid)) {
        return -1;
    }
    PyObject *name = values[0];
    if (name != Py_None && !PyUnicode_CheckExact(name)) {
        raise_bad_type(name, "str", "name");
        return -1;
    }
    DeviceObject *device = as_device(self);
    py::set_field(device->name, name);
    device->guid = guid;
    return 0;
}

void Device_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    Py_CLEAR(as_device(self)->name);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *Device_repr(PyObject *self)
{
    DeviceObject *device = as_device(self);
    char guid[24];
    std::snprintf(guid, sizeof guid, "%" PRIx64, device->guid);
    return PyUnicode_FromFormat("Device(name=%R, guid=0x%s)",
                                device->name == nullptr ? Py_None : device->name, guid);
}

// EfaError(operation, err) with an operation built at run time; the class
// is the one the module namespace holds now.
PyObject *raise_open_error(PyObject *name, int err)
{
    Ref operation = Ref::steal(PyUnicode_FromFormat("ibv_open_device(%S)", name));
    if (!operation) {
        return nullptr;
    }
    Ref cls = Ref::borrow(PyDict_GetItemString(module_dict(), "EfaError"));
    if (!cls) {
        cls = Ref::borrow(PyDict_GetItemString(PyEval_GetBuiltins(), "EfaError"));
    }
    if (!cls) {
        PyErr_SetString(PyExc_NameError, "name 'EfaError' is not defined");
        return nullptr;
    }
    Ref exc = Ref::steal(PyObject_CallFunction(cls.get(), "Oi", operation.get(), err));
    if (exc) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get());
    }
    return nullptr;
}

PyObject *Device_open(PyObject *self, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames)
{
    if (!py::no_args("open", nargs, kwnames)) {
        return nullptr;
    }
    DeviceObject *device = as_device(self);
    PyObject *name = device->name == nullptr ? Py_None : device->name;
    DeviceList list;
    int list_errno = errno;
    if (name == Py_None) {
        PyErr_SetString(PyExc_AttributeError, "'NoneType' object has no attribute 'encode'");
        return nullptr;
    }
    Ref encoded = Ref::steal(PyUnicode_AsUTF8String(name));
    if (!encoded) {
        return nullptr;
    }
    if (list.get() == nullptr) {
        return raise_errno("ibv_get_device_list", list_errno);
    }
    const char *wanted = PyBytes_AS_STRING(encoded.get());
    ibv_context *ctx = nullptr;
    bool matched = false;
    for (int i = 0; i < list.count(); ++i) {
        const char *candidate = _v_get_device_name(list.get()[i]);
        if (candidate != nullptr && std::strcmp(candidate, wanted) == 0) {
            matched = true;
            ctx = _v_open_device(list.get()[i]);
            break;
        }
    }
    int err = errno;
    if (!matched || ctx == nullptr) {
        return raise_open_error(name, err);
    }
    PyObject *context = context_wrap(ctx, name);
    if (context == nullptr) {
        _v_close_device(ctx);
    }
    return context;
}

PyObject *get_device_list(PyObject *, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames)
{
    if (!py::no_args("get_device_list", nargs, kwnames)) {
        return nullptr;
    }
    DeviceList list;
    if (list.get() == nullptr) {
        return raise_errno("ibv_get_device_list");
    }
    Ref result = Ref::steal(PyList_New(0));
    if (!result) {
        return nullptr;
    }
    for (int i = 0; i < list.count(); ++i) {
        ibv_device *device = list.get()[i];
        const char *raw_name = _v_get_device_name(device);
        if (raw_name == nullptr) {
            raw_name = "";
        }
        Ref name = Ref::steal(PyUnicode_DecodeUTF8(
            raw_name, static_cast<Py_ssize_t>(std::strlen(raw_name)), "strict"));
        if (!name) {
            return nullptr;
        }
        unsigned long long guid = _v_get_device_guid(device);
        Ref item = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject *>(types::Device),
                                                    "OK", name.get(), guid));
        if (!item || PyList_Append(result.get(), item.get()) < 0) {
            return nullptr;
        }
    }
    return result.release();
}

// Keeps the pending exception (raised while handling the fetched one) and
// records the fetched one as its context, as a `finally` block would.
void chain_onto(PyObject *type, PyObject *value, PyObject *tb)
{
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject *later_type;
    PyObject *later_value;
    PyObject *later_tb;
    PyErr_Fetch(&later_type, &later_value, &later_tb);
    PyErr_NormalizeException(&later_type, &later_value, &later_tb);
    if (tb != nullptr && value != nullptr) {
        PyException_SetTraceback(value, tb);
    }
    Py_XDECREF(type);
    Py_XDECREF(tb);
    if (later_value != nullptr && value != nullptr && later_value != value) {
        PyException_SetContext(later_value, value);  // steals value
    } else {
        Py_XDECREF(value);
    }
    PyErr_Restore(later_type, later_value, later_tb);
}

PyObject *get_efa_device_list(PyObject *module, PyObject *const *, Py_ssize_t nargs,
                              PyObject *kwnames)
{
    if (!py::no_args("get_efa_device_list", nargs, kwnames)) {
        return nullptr;
    }
    Ref lister = Ref::steal(PyObject_GetAttrString(module, "get_device_list"));
    if (!lister) {
        return nullptr;
    }
    Ref devices = Ref::steal(PyObject_CallNoArgs(lister.get()));
    if (!devices) {
        return nullptr;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(devices.get()));
    if (!iterator) {
        return nullptr;
    }
    Ref result = Ref::steal(PyList_New(0));
    if (!result) {
        return nullptr;
    }
    while (Ref device = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref context = Ref::steal(PyObject_CallMethod(device.get(), "open", nullptr));
        if (!context) {
            PyObject *type;
            PyObject *value;
            PyObject *tb;
            PyErr_Fetch(&type, &value, &tb);
            Ref efa_error = Ref::steal(PyObject_GetAttrString(module, "EfaError"));
            if (!efa_error) {
                Py_XDECREF(type);
                Py_XDECREF(value);
                Py_XDECREF(tb);
                return nullptr;
            }
            // Devices this process cannot open are left out.
            if (!PyErr_GivenExceptionMatches(type, efa_error.get())) {
                PyErr_Restore(type, value, tb);
                return nullptr;
            }
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
            continue;
        }
        Ref answer = Ref::steal(PyObject_CallMethod(context.get(), "is_efa", nullptr));
        int keep = answer ? PyObject_IsTrue(answer.get()) : -1;
        PyObject *type = nullptr;
        PyObject *value = nullptr;
        PyObject *tb = nullptr;
        if (keep < 0) {
            PyErr_Fetch(&type, &value, &tb);
        }
        Ref closed = Ref::steal(PyObject_CallMethod(context.get(), "close", nullptr));
        if (!closed) {
            if (keep < 0) {
                chain_onto(type, value, tb);
            }
            return nullptr;
        }
        if (keep < 0) {
            PyErr_Restore(type, value, tb);
            return nullptr;
        }
        if (keep && PyList_Append(result.get(), device.get()) < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return result.release();
}

PyMemberDef Device_members[] = {
    {"name", T_OBJECT, offsetof(DeviceObject, name), READONLY, nullptr},
    {"guid", T_ULONGLONG, offsetof(DeviceObject, guid), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot Device_slots[] = {
    {Py_tp_doc, const_cast<char *>("Device(str name, uint64_t guid)\n\nAn RDMA device "
                                   "discovered by :func:`get_device_list`.")},
    {Py_tp_init, reinterpret_cast<void *>(Device_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(Device_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(Device_repr)},
    {Py_tp_members, Device_members},
    {0, nullptr},
};

const py::FunctionDef kDeviceMethods[] = {
    {"open", Device_open,
     "Device.open(self) -> 'Context'\n\nOpen this device, returning a :class:`Context`."},
};

const py::FunctionDef kDiscoveryFunctions[] = {
    {"get_device_list", get_device_list,
     "get_device_list() -> list\n\nReturn every RDMA :class:`Device` on this host (EFA or "
     "not).\n\nUse :func:`get_efa_device_list` to keep only EFA devices."},
    {"get_efa_device_list", get_efa_device_list,
     "get_efa_device_list() -> list\n\nReturn the :class:`Device` list filtered to EFA "
     "devices.\n\nEach device is briefly opened and probed with ``efadv_query_device``."},
};

}  // namespace

PyTypeObject *create_Device_type(PyObject *module)
{
    PyType_Spec spec = {"vantor._vantor.Device", sizeof(DeviceObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, Device_slots};
    return py::add_type(module, &spec);
}

const py::MethodTable Device_methods = py::method_table(types::Device, kDeviceMethods);

bool define_discovery_functions(PyObject *module)
{
    return py::add_functions(module, kDiscoveryFunctions);
}

}  // namespace vantor
