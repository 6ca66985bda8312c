// Address handles: the AHAttr record, PD.create_ah and the AH object.
#include "errors.hpp"
#include "lifecycle.hpp"
#include "loader.hpp"
#include "module_types.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/function.hpp"
#include "py/init_args.hpp"
#include "py/ref.hpp"
#include "py/types.hpp"
#include "records.hpp"

#include <cstring>
#include <structmember.h>

namespace vantor {
namespace {

using py::Ref;

constexpr Py_ssize_t kGidSize = 16;

// ---- AHAttr ----------------------------------------------------------------

AHAttrObject *as_attr(PyObject *self) { return reinterpret_cast<AHAttrObject *>(self); }

int AHAttr_set_dgid(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr) {
        value = Py_None;
    }
    if (value != Py_None && !PyBytes_CheckExact(value)) {
        Ref name = Ref::steal(py::qualified_type_name(value));
        if (name) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %U", "bytes", name.get());
        }
        return -1;
    }
    py::set_field(as_attr(self)->dgid, value);
    return 0;
}

PyObject *AHAttr_get_dgid(PyObject *self, void *)
{
    PyObject *dgid = as_attr(self)->dgid == nullptr ? Py_None : as_attr(self)->dgid;
    Py_INCREF(dgid);
    return dgid;
}

// The integer fields, each an unsigned integer of its own width.
template <typename T, T AHAttrObject::*Field>
PyObject *get_field(PyObject *self, void *)
{
    return PyLong_FromUnsignedLong(as_attr(self)->*Field);
}

template <typename T, T AHAttrObject::*Field>
int set_field(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    T converted;
    bool ok;
    if constexpr (sizeof(T) == 1) {
        ok = py::to_u8(value, converted);
    } else {
        ok = py::to_u32(value, converted);
    }
    if (!ok) {
        return -1;
    }
    as_attr(self)->*Field = converted;
    return 0;
}

#define VANTOR_U8(name, doc)                                                                       \
    {#name, get_field<uint8_t, &AHAttrObject::name>, set_field<uint8_t, &AHAttrObject::name>, doc, \
     nullptr}

PyGetSetDef AHAttr_getset[] = {
    {"dgid", AHAttr_get_dgid, AHAttr_set_dgid, "dgid: bytes", nullptr},
    {"flow_label", get_field<uint32_t, &AHAttrObject::flow_label>,
     set_field<uint32_t, &AHAttrObject::flow_label>, "flow_label: 'uint32_t'", nullptr},
    VANTOR_U8(sgid_index, "sgid_index: 'uint8_t'"),
    VANTOR_U8(hop_limit, "hop_limit: 'uint8_t'"),
    VANTOR_U8(traffic_class, "traffic_class: 'uint8_t'"),
    VANTOR_U8(is_global, "is_global: 'uint8_t'"),
    VANTOR_U8(port_num, "port_num: 'uint8_t'"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef VANTOR_U8

const char *const kAHAttrInitNames[] = {"dgid",          "sgid_index", "port_num",  "hop_limit",
                                        "traffic_class", "flow_label", "is_global", nullptr};
const py::ArgSpec kAHAttrInit{"__init__", kAHAttrInitNames, 0};

// Assigns one integer field from an argument, or its default when omitted.
template <typename T, T AHAttrObject::*Field>
bool init_field(PyObject *self, PyObject *value, T fallback)
{
    if (value == nullptr) {
        as_attr(self)->*Field = fallback;
        return true;
    }
    return set_field<T, Field>(self, value, nullptr) == 0;
}

int AHAttr_init(PyObject *self, PyObject *args, PyObject *kwds)
{
    PyObject *v[7];
    if (!py::parse_init(kAHAttrInit, args, kwds, v)) {
        return -1;
    }
    Ref dgid;
    if (v[0] == nullptr || v[0] == Py_None) {
        dgid = Ref::steal(PyBytes_FromStringAndSize(nullptr, kGidSize));
        if (dgid) {
            std::memset(PyBytes_AS_STRING(dgid.get()), 0, kGidSize);
        }
    } else {
        dgid = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyBytes_Type), v[0]));
    }
    if (!dgid) {
        return -1;
    }
    py::set_field(as_attr(self)->dgid, dgid.get());
    if (PyBytes_GET_SIZE(dgid.get()) != kGidSize) {
        PyErr_SetString(PyExc_ValueError, "dgid must be 16 bytes");
        return -1;
    }
    bool ok = init_field<uint8_t, &AHAttrObject::sgid_index>(self, v[1], 0) &&
              init_field<uint8_t, &AHAttrObject::port_num>(self, v[2], 1) &&
              init_field<uint8_t, &AHAttrObject::hop_limit>(self, v[3], 1) &&
              init_field<uint8_t, &AHAttrObject::traffic_class>(self, v[4], 0) &&
              init_field<uint32_t, &AHAttrObject::flow_label>(self, v[5], 0) &&
              init_field<uint8_t, &AHAttrObject::is_global>(self, v[6], 1);
    return ok ? 0 : -1;
}

void AHAttr_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    Py_CLEAR(as_attr(self)->dgid);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot AHAttr_slots[] = {
    {Py_tp_doc,
     const_cast<char *>("AHAttr(dgid=None, sgid_index=0, port_num=1, hop_limit=1, traffic_class=0, "
                        "flow_label=0, is_global=1)\n"
                        "\n"
                        "Address-handle attributes.\n"
                        "\n"
                        "EFA addresses are GIDs: only ``dgid`` (the remote device's GID),\n"
                        "``sgid_index`` and ``port_num`` matter; the rest exists for parity with\n"
                        "generic verbs.\n"
                        "\n"
                        "Args:\n"
                        "    dgid: Remote 16-byte GID. Defaults to all zeroes.\n"
                        "    sgid_index: Local source-GID table index.\n"
                        "    port_num: Local physical port number.\n"
                        "    hop_limit: Global-route hop limit.\n"
                        "    traffic_class: Global-route traffic class.\n"
                        "    flow_label: Global-route flow label.\n"
                        "    is_global: Whether to populate the global route header.")},
    {Py_tp_init, reinterpret_cast<void *>(AHAttr_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(AHAttr_dealloc)},
    {Py_tp_getset, AHAttr_getset},
    {0, nullptr},
};

// ---- AH --------------------------------------------------------------------

struct AHTraits {
    using Object = AHObject;
    static constexpr const char *closed_message = "address handle is closed";
    static constexpr const char *destroy_call = "ibv_destroy_ah";
    static constexpr bool gc = true;
    static constexpr PyObject *Object::*refs[] = {&AHObject::pd};
    static ContextObject *counted_in(Object *) { return nullptr; }
    static bool is_open(const Object *self) { return self->_ah != nullptr; }
    static bool destroy(Object *self, bool report)
    {
        int rc = _v_destroy_ah(self->_ah);
        if (rc != 0) {
            if (report) {
                raise_rc("ibv_destroy_ah", rc);
            }
            return false;
        }
        return true;
    }
    static void after_destroy(Object *self) { self->_ah = nullptr; }
};

using AHLife = Lifecycle<AHTraits>;

AHObject *as_ah(PyObject *self) { return reinterpret_cast<AHObject *>(self); }

PyObject *ah_wrap(ibv_ah *ah, PyObject *pd)
{
    auto *self = py::alloc_bare<AHObject>(types::AH);
    if (self == nullptr) {
        return nullptr;
    }
    self->_ah = ah;
    Py_INCREF(pd);
    self->pd = pd;
    return reinterpret_cast<PyObject *>(self);
}

// The attributes a create_ah destination stands for, as a new reference.
PyObject *attributes_for(PyObject *addr, PyObject *sgid_index, PyObject *port_num)
{
    if (PyObject_TypeCheck(addr, types::AHAttr)) {
        Py_INCREF(addr);
        return addr;
    }
    Ref dgid;
    if (PyObject_TypeCheck(addr, types::Gid)) {
        PyObject *raw = reinterpret_cast<GidObject *>(addr)->raw;
        // A Gid made without its constructor names no device: an all-zero
        // destination would be a silent wrong address.
        if (raw == nullptr || raw == Py_None) {
            PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found");
            return nullptr;
        }
        dgid = Ref::borrow(raw);
    } else {
        dgid = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyBytes_Type), addr));
        if (!dgid) {
            return nullptr;
        }
    }
    return PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(types::AHAttr), dgid.get(),
                                        sgid_index, port_num, nullptr);
}

}  // namespace

PyObject *ah_create(PDObject *pd, PyObject *addr, int sgid_index, int port_num)
{
    PyObject *self = reinterpret_cast<PyObject *>(pd);
    Ref sgid_obj = Ref::steal(PyLong_FromLong(sgid_index));
    Ref port_obj = Ref::steal(PyLong_FromLong(port_num));
    if (!sgid_obj || !port_obj) {
        return nullptr;
    }
    Ref attr_obj = Ref::steal(attributes_for(addr, sgid_obj.get(), port_obj.get()));
    if (!attr_obj) {
        return nullptr;
    }
    AHAttrObject *attr = as_attr(attr_obj.get());
    PyObject *dgid = attr->dgid == nullptr ? Py_None : attr->dgid;
    if (dgid == Py_None) {
        PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found");
        return nullptr;
    }
    // The attribute accepts any length; the native record takes exactly 16.
    if (PyBytes_GET_SIZE(dgid) != kGidSize) {
        PyErr_SetString(PyExc_ValueError, "dgid must be 16 bytes");
        return nullptr;
    }
    ibv_ah_attr native;
    std::memset(&native, 0, sizeof native);
    std::memcpy(native.grh.dgid.raw, PyBytes_AS_STRING(dgid), kGidSize);
    native.grh.flow_label = attr->flow_label;
    native.grh.sgid_index = attr->sgid_index;
    native.grh.hop_limit = attr->hop_limit;
    native.grh.traffic_class = attr->traffic_class;
    native.is_global = attr->is_global;
    native.port_num = attr->port_num;
    ibv_ah *ah = _v_create_ah(pd->_pd, &native);
    if (ah == nullptr) {
        return raise_errno("ibv_create_ah");
    }
    PyObject *wrapped = ah_wrap(ah, self);
    if (wrapped == nullptr) {
        _v_destroy_ah(ah);
    }
    return wrapped;
}

namespace {

PyObject *AH_ahn(PyObject *self, void *)
{
    if (!ah_ensure(as_ah(self))) {
        return nullptr;
    }
    efadv_ah_attr attr;
    std::memset(&attr, 0, sizeof attr);
    int rc = _e_query_ah(as_ah(self)->_ah, &attr, sizeof attr);
    if (rc != 0) {
        return raise_rc("efadv_query_ah", rc);
    }
    return PyLong_FromUnsignedLong(attr.ahn);
}

PyGetSetDef AH_getset[] = {
    {"ahn", AH_ahn, nullptr, "AH.ahn: int\n\nThe EFA address handle number (``efadv_query_ah``).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef AH_members[] = {
    {"pd", T_OBJECT, offsetof(AHObject, pd), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot AH_slots[] = {
    {Py_tp_doc, const_cast<char *>("An address handle naming a remote EFA device (by GID).")},
    {Py_tp_new, reinterpret_cast<void *>(AHLife::tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(AHLife::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(AHLife::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(AHLife::clear)},
    {Py_tp_getset, AH_getset},
    {Py_tp_members, AH_members},
    {0, nullptr},
};

const py::FunctionDef kAHMethods[] = {
    {"close", AHLife::close_method, "AH.close(self)\n\nDestroy this address handle."},
    {"__enter__", AHLife::enter_method, "AH.__enter__(self)"},
    {"__exit__", AHLife::exit_method, "AH.__exit__(self, *exc)"},
};

}  // namespace

bool ah_ensure(AHObject *self) { return AHLife::ensure(self); }

PyTypeObject *create_AHAttr_type(PyObject *module)
{
    PyType_Spec spec = {"vantor._vantor.AHAttr", sizeof(AHAttrObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, AHAttr_slots};
    return py::add_type(module, &spec);
}

PyTypeObject *create_AH_type(PyObject *module)
{
    PyType_Spec spec = {"vantor._vantor.AH", sizeof(AHObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, AH_slots};
    return py::add_type(module, &spec);
}

const py::MethodTable AH_methods = py::method_table(types::AH, kAHMethods);

}  // namespace vantor
