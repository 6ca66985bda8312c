// Gid and the device, EFA-device and port attribute records: snapshots of
// the native query results, read-only from Python.
#include "errors.hpp"
#include "module_types.hpp"
#include "py/args.hpp"
#include "py/function.hpp"
#include "py/init_args.hpp"
#include "py/ref.hpp"
#include "py/types.hpp"
#include "record_fields.hpp"
#include "records.hpp"

namespace vantor {
namespace {

using py::Ref;

constexpr Py_ssize_t kGidSize = 16;

// ---- Gid -------------------------------------------------------------------

GidObject *as_gid(PyObject *self) { return reinterpret_cast<GidObject *>(self); }

PyObject *raw_or_none(PyObject *raw) { return raw == nullptr ? Py_None : raw; }

const char *const kGidInitNames[] = {"raw", nullptr};
const py::ArgSpec kGidInit{"__init__", kGidInitNames, 1};

int Gid_init(PyObject *self, PyObject *args, PyObject *kwds)
{
    PyObject *raw;
    if (!py::parse_init(kGidInit, args, kwds, &raw)) {
        return -1;
    }
    if (raw == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return -1;
    }
    if (!Py_IS_TYPE(raw, &PyBytes_Type)) {
        raise_bad_type(raw, "bytes", "raw");
        return -1;
    }
    if (PyBytes_GET_SIZE(raw) != kGidSize) {
        PyErr_SetString(PyExc_ValueError, "gid must be exactly 16 bytes");
        return -1;
    }
    py::set_field(as_gid(self)->raw, raw);
    return 0;
}

void Gid_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    Py_CLEAR(as_gid(self)->raw);
    type->tp_free(self);
    Py_DECREF(type);
}

// The big-endian value of raw[start:stop]: the slice comes first, so a short
// raw gives the value of the bytes that exist.
PyObject *big_endian_half(PyObject *self, Py_ssize_t start, Py_ssize_t stop)
{
    PyObject *raw = raw_or_none(as_gid(self)->raw);
    Ref slice = Ref::steal(PySequence_GetSlice(raw, start, stop));
    if (!slice) {
        if (raw == Py_None) {
            PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        }
        return nullptr;
    }
    if (!PyBytes_Check(slice.get())) {
        PyErr_SetString(PyExc_TypeError, "expected bytes");
        return nullptr;
    }
    Py_ssize_t size = PyBytes_GET_SIZE(slice.get());
    if (size > 8) {
        return PyObject_CallMethod(reinterpret_cast<PyObject *>(&PyLong_Type), "from_bytes", "Os",
                                   slice.get(), "big");
    }
    const auto *bytes = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(slice.get()));
    unsigned long long value = 0;
    for (Py_ssize_t i = 0; i < size; ++i) {
        value = (value << 8) | bytes[i];
    }
    return PyLong_FromUnsignedLongLong(value);
}

PyObject *Gid_subnet_prefix(PyObject *self, void *) { return big_endian_half(self, 0, 8); }
PyObject *Gid_interface_id(PyObject *self, void *)
{
    return big_endian_half(self, 8, PY_SSIZE_T_MAX);
}

PyObject *Gid_raw(PyObject *self, void *)
{
    PyObject *raw = raw_or_none(as_gid(self)->raw);
    Py_INCREF(raw);
    return raw;
}

PyObject *Gid_repr(PyObject *self)
{
    PyObject *raw = raw_or_none(as_gid(self)->raw);
    if (!PyBytes_Check(raw)) {
        PyErr_Format(PyExc_TypeError, "object of type '%.200s' has no len()",
                     Py_TYPE(raw)->tp_name);
        return nullptr;
    }
    const auto *bytes = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(raw));
    Py_ssize_t size = PyBytes_GET_SIZE(raw);
    static const char digits[] = "0123456789abcdef";
    char text[8 * 5];
    size_t n = 0;
    for (Py_ssize_t k = 0; k < kGidSize; k += 2) {
        if (k + 1 >= size) {
            PyErr_SetString(PyExc_IndexError, "string index out of range");
            return nullptr;
        }
        if (k != 0) {
            text[n++] = ':';
        }
        for (Py_ssize_t j = k; j < k + 2; ++j) {
            text[n++] = digits[bytes[j] >> 4];
            text[n++] = digits[bytes[j] & 0xf];
        }
    }
    text[n] = '\0';
    return PyUnicode_FromFormat("Gid('%s')", text);
}

PyObject *Gid_bytes(PyObject *self, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames)
{
    if (!py::no_args("__bytes__", nargs, kwnames)) {
        return nullptr;
    }
    return Gid_raw(self, nullptr);
}

PyObject *Gid_richcompare(PyObject *self, PyObject *other, int op)
{
    if (op != Py_EQ && op != Py_NE) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    PyObject *raw = raw_or_none(as_gid(self)->raw);
    Ref equal;
    if (PyObject_TypeCheck(other, types::Gid)) {
        equal = Ref::steal(PyObject_RichCompare(raw, raw_or_none(as_gid(other)->raw), Py_EQ));
    } else if (PyBytes_Check(other) || PyByteArray_Check(other)) {
        Ref copy = Ref::steal(PyBytes_FromObject(other));
        if (!copy) {
            return nullptr;
        }
        equal = Ref::steal(PyObject_RichCompare(raw, copy.get(), Py_EQ));
    } else {
        Py_RETURN_NOTIMPLEMENTED;
    }
    if (!equal || op == Py_EQ || equal.get() == Py_NotImplemented) {
        return equal.release();
    }
    int truth = PyObject_IsTrue(equal.get());
    if (truth < 0) {
        return nullptr;
    }
    return PyBool_FromLong(!truth);
}

PyGetSetDef Gid_getset[] = {
    {"raw", Gid_raw, nullptr, nullptr, nullptr},
    {"subnet_prefix", Gid_subnet_prefix, nullptr,
     "Gid.subnet_prefix: int\n\nReturn the most-significant 64 bits in network byte order.",
     nullptr},
    {"interface_id", Gid_interface_id, nullptr,
     "Gid.interface_id: int\n\nReturn the least-significant 64 bits in network byte order.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot Gid_slots[] = {
    {Py_tp_doc, const_cast<char *>("Gid(bytes raw)\n\nA 16-byte GID (the EFA device address).")},
    {Py_tp_init, reinterpret_cast<void *>(Gid_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(Gid_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(Gid_repr)},
    {Py_tp_richcompare, reinterpret_cast<void *>(Gid_richcompare)},
    {Py_tp_hash, reinterpret_cast<void *>(PyObject_HashNotImplemented)},
    {Py_tp_getset, Gid_getset},
    {0, nullptr},
};

// ---- attribute records -----------------------------------------------------

template <typename T>
void plain_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

void DeviceAttr_dealloc(PyObject *self)
{
    Py_CLEAR(reinterpret_cast<DeviceAttrObject *>(self)->fw_ver);
    plain_dealloc<DeviceAttrObject>(self);
}

// Calling a record class gives an empty record whatever the arguments.
int ignore_arguments_init(PyObject *, PyObject *, PyObject *) { return 0; }

auto DeviceAttr_members = record_fields::readonly_members(record_fields::DeviceAttr::fields);
auto EfaDeviceAttr_members = record_fields::readonly_members(record_fields::EfaDeviceAttr::fields);
auto PortAttr_members = record_fields::readonly_members(record_fields::PortAttr::fields);

PyObject *DeviceAttr_repr(PyObject *self)
{
    auto *attr = reinterpret_cast<DeviceAttrObject *>(self);
    PyObject *fw_ver = attr->fw_ver == nullptr ? Py_None : attr->fw_ver;
    return PyUnicode_FromFormat("DeviceAttr(fw_ver=%R, max_qp=%d, max_cqe=%d, phys_port_cnt=%d)",
                                fw_ver, attr->max_qp, attr->max_cqe, attr->phys_port_cnt);
}

PyObject *EfaDeviceAttr_repr(PyObject *self)
{
    auto *attr = reinterpret_cast<EfaDeviceAttrObject *>(self);
    return PyUnicode_FromFormat(
        "EfaDeviceAttr(max_sq_wr=%u, max_rq_wr=%u, inline_buf_size=%d, device_caps=0x%x, "
        "max_rdma_size=%u)",
        attr->max_sq_wr, attr->max_rq_wr, attr->inline_buf_size, attr->device_caps,
        attr->max_rdma_size);
}

PyObject *PortAttr_repr(PyObject *self)
{
    auto *attr = reinterpret_cast<PortAttrObject *>(self);
    return PyUnicode_FromFormat("PortAttr(state=%d, active_mtu=%d, max_msg_sz=%u)", attr->state,
                                attr->active_mtu, attr->max_msg_sz);
}

PyType_Slot DeviceAttr_slots[] = {
    {Py_tp_doc,
     const_cast<char *>("Generic verbs device capabilities from :meth:`Context.query_device`.")},
    {Py_tp_init, reinterpret_cast<void *>(ignore_arguments_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(DeviceAttr_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(DeviceAttr_repr)},
    {Py_tp_members, DeviceAttr_members.data()},
    {0, nullptr},
};

PyType_Slot EfaDeviceAttr_slots[] = {
    {Py_tp_doc,
     const_cast<char *>("EFA-specific capabilities from :meth:`Context.query_efa_device`.")},
    {Py_tp_init, reinterpret_cast<void *>(ignore_arguments_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(plain_dealloc<EfaDeviceAttrObject>)},
    {Py_tp_repr, reinterpret_cast<void *>(EfaDeviceAttr_repr)},
    {Py_tp_members, EfaDeviceAttr_members.data()},
    {0, nullptr},
};

PyType_Slot PortAttr_slots[] = {
    {Py_tp_doc, const_cast<char *>(
                    "Port attributes from :meth:`Context.query_port`.\n"
                    "\n"
                    "    ``max_msg_sz`` is the SEND size limit; RDMA read/write are limited by\n"
                    "    :attr:`EfaDeviceAttr.max_rdma_size` instead.\n"
                    "    ")},
    {Py_tp_init, reinterpret_cast<void *>(ignore_arguments_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(plain_dealloc<PortAttrObject>)},
    {Py_tp_repr, reinterpret_cast<void *>(PortAttr_repr)},
    {Py_tp_members, PortAttr_members.data()},
    {0, nullptr},
};

PyTypeObject *add_record(PyObject *module, const char *name, int size, PyType_Slot *slots)
{
    PyType_Spec spec = {name, size, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    return py::add_type(module, &spec);
}

const py::FunctionDef kGidMethods[] = {
    {"__bytes__", Gid_bytes, "Gid.__bytes__(self)"},
};

}  // namespace

PyTypeObject *create_Gid_type(PyObject *module)
{
    return add_record(module, "vantor._vantor.Gid", sizeof(GidObject), Gid_slots);
}

PyTypeObject *create_DeviceAttr_type(PyObject *module)
{
    return add_record(module, "vantor._vantor.DeviceAttr", sizeof(DeviceAttrObject),
                      DeviceAttr_slots);
}

PyTypeObject *create_EfaDeviceAttr_type(PyObject *module)
{
    return add_record(module, "vantor._vantor.EfaDeviceAttr", sizeof(EfaDeviceAttrObject),
                      EfaDeviceAttr_slots);
}

PyTypeObject *create_PortAttr_type(PyObject *module)
{
    return add_record(module, "vantor._vantor.PortAttr", sizeof(PortAttrObject), PortAttr_slots);
}

const py::MethodTable Gid_methods = py::method_table(types::Gid, kGidMethods);

}  // namespace vantor
