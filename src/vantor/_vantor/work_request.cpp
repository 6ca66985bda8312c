// SGE, SendWR and RecvWR: plain mutable records with typed fields. The
// posting paths read these structs directly, so every setter
// keeps the field types the posting code relies on (sg_list: list or None).
#include "work_request.hpp"

#include "errors.hpp"
#include "lifecycle.hpp"
#include "module_types.hpp"
#include "objects.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/fields.hpp"
#include "py/function.hpp"
#include "py/init_args.hpp"
#include "py/ref.hpp"
#include "py/types.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <structmember.h>

namespace vantor {

using py::Ref;

namespace {

using py::classify;
using py::Field;
using py::get_object;
using py::get_scalar;
using py::offset_closure;
using py::Range;
using py::set_any;
using py::set_scalar;
using py::Width;

constexpr uint64_t kU32Max = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

// A new, empty list for None, else list(iterable).
PyObject *copy_sg_list(PyObject *value)
{
    if (value == nullptr || value == Py_None) {
        return PyList_New(0);
    }
    return PySequence_List(value);
}

// ---------------------------------------------------------------- SGE

constexpr const char *kSGEDoc =
    "SGE(target, length, lkey=0, offset=0)\n"
    "\n"
    "A scatter/gather entry.\n"
    "\n"
    "``target`` is either an :class:`MR` (``lkey``/``addr`` derived from it) or an\n"
    "integer address. ``length`` bytes starting ``offset`` bytes into the target\n"
    "are described; a non-zero ``lkey`` overrides the memory region's key. An entry\n"
    "built from an :class:`MR` keeps that region alive.";

const char *const kSGENames[] = {"target", "length", "lkey", "offset", nullptr};
const py::ArgSpec kSGEArgs{"__init__", kSGENames, 2};

SGEObject *as_sge(PyObject *self) { return reinterpret_cast<SGEObject *>(self); }

PyObject *SGE_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        Py_INCREF(Py_None);
        as_sge(self)->owner = Py_None;
    }
    return self;
}

bool SGE_init_values(SGEObject *self, PyObject *const *values)
{
    PyObject *target = values[0];
    Ref length = Ref::steal(py::to_pyint(values[1]));
    if (!length) {
        return false;
    }
    Ref offset =
        values[3] == nullptr ? Ref::steal(PyLong_FromLong(0)) : Ref::steal(py::to_pyint(values[3]));
    if (!offset) {
        return false;
    }
    Ref lkey_arg =
        values[2] == nullptr ? Ref::steal(PyLong_FromLong(0)) : Ref::steal(py::to_pyint(values[2]));
    if (!lkey_arg) {
        return false;
    }
    uint64_t length_value = 0;
    switch (classify(length.get(), kU32Max, length_value)) {
    case Range::error:
        return false;
    case Range::inside:
        break;
    default:
        PyErr_SetString(PyExc_ValueError, "SGE length must be between 0 and 2**32 - 1");
        return false;
    }
    uint64_t offset_value = 0;
    Range offset_range = classify(offset.get(), kU64Max, offset_value);
    if (offset_range == Range::error) {
        return false;
    }
    if (offset_range == Range::below) {
        PyErr_SetString(PyExc_ValueError, "SGE offset must be non-negative");
        return false;
    }
    const bool offset_huge = offset_range == Range::above;
    uint64_t lkey_value = 0;
    switch (classify(lkey_arg.get(), kU32Max, lkey_value)) {
    case Range::error:
        return false;
    case Range::inside:
        break;
    default:
        PyErr_SetString(PyExc_ValueError, "SGE lkey must be between 0 and 2**32 - 1");
        return false;
    }

    uint64_t addr;
    uint32_t lkey;
    PyObject *owner;
    if (PyObject_TypeCheck(target, types::MR)) {
        auto *mr = reinterpret_cast<MRObject *>(target);
        if (!mr_ensure(mr)) {
            return false;
        }
        uint64_t size = mr->_mr->length;
        if (offset_huge || offset_value > size || length_value > size - offset_value) {
            PyErr_SetString(PyExc_ValueError, "SGE range exceeds the memory region");
            return false;
        }
        addr = reinterpret_cast<uintptr_t>(mr->_mr->addr) + offset_value;
        lkey = lkey_value == 0 ? mr->_mr->lkey : static_cast<uint32_t>(lkey_value);
        owner = target;
    } else {
        Ref address = Ref::steal(py::to_pyint(target));
        if (!address) {
            return false;
        }
        uint64_t address_value = 0;
        switch (classify(address.get(), kU64Max, address_value)) {
        case Range::error:
            return false;
        case Range::inside:
            break;
        default:
            PyErr_SetString(PyExc_ValueError, "SGE address must be between 0 and 2**64 - 1");
            return false;
        }
        if (offset_huge || offset_value > kU64Max - address_value) {
            PyErr_SetString(PyExc_ValueError, "SGE address plus offset exceeds 2**64 - 1");
            return false;
        }
        addr = address_value + offset_value;
        lkey = static_cast<uint32_t>(lkey_value);
        owner = Py_None;
    }
    self->addr = addr;
    self->lkey = lkey;
    py::set_field(self->owner, owner);
    self->length = static_cast<uint32_t>(length_value);
    return true;
}

PyObject *SGE_repr(PyObject *self)
{
    SGEObject *sge = as_sge(self);
    char text[96];
    PyOS_snprintf(text, sizeof text, "SGE(addr=0x%llx, length=%u, lkey=0x%x)",
                  static_cast<unsigned long long>(sge->addr), sge->length, sge->lkey);
    return PyUnicode_FromString(text);
}

int SGE_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_sge(self)->owner);
    return 0;
}

int SGE_clear(PyObject *self)
{
    py::set_field(as_sge(self)->owner, Py_None);
    return 0;
}

PyObject *SGEObject::*const kSGERefs[] = {&SGEObject::owner};
void SGE_dealloc(PyObject *self) { py::dealloc_record(self, kSGERefs); }

const char *const kKeepaliveNames[] = {"owner", nullptr};
const py::ArgSpec kKeepaliveArgs{"_keepalive", kKeepaliveNames, 1};

PyObject *SGE_keepalive(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *owner;
    if (!kKeepaliveArgs.parse(args, nargs, kwnames, &owner)) {
        return nullptr;
    }
    py::set_field(as_sge(self)->owner, owner);
    Py_INCREF(self);
    return self;
}

const py::FunctionDef kSGEMethods[] = {
    {"_keepalive", SGE_keepalive,
     "SGE._keepalive(self, owner)\n\nRetain ``owner`` for as long as this SGE is retained."},
};

PyMemberDef SGE_members[] = {
    {"addr", T_ULONGLONG, offsetof(SGEObject, addr), READONLY, nullptr},
    {"length", T_UINT, offsetof(SGEObject, length), READONLY, nullptr},
    {"lkey", T_UINT, offsetof(SGEObject, lkey), READONLY, nullptr},
    {"owner", T_OBJECT, offsetof(SGEObject, owner), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// sg_list: the posting code relies on an exact list or None, so nothing
// else is stored.
int set_sg_list(PyObject *self, PyObject *value, void *closure)
{
    if (value == nullptr) {
        value = Py_None;
    }
    if (value != Py_None && !PyList_CheckExact(value)) {
        raise_expected("list", value);
        return -1;
    }
    py::set_field(*reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) +
                                                 reinterpret_cast<Py_ssize_t>(closure)),
                  value);
    return 0;
}

// ---------------------------------------------------------------- SendWR

constexpr const char *kSendWRDoc =
    "SendWR(wr_id=0, sg_list=None, opcode=2, send_flags=0, remote_addr=0, rkey=0, "
    "imm_data=0, ah=None, remote_qpn=0, remote_qkey=0, dest=None)\n"
    "\n"
    "A send work request.\n"
    "\n"
    "SRD and UD are connectionless, so every send names its destination: either\n"
    "with ``dest=`` (anything with ``.ah``, ``.qp_num`` and ``.qkey`` attributes,\n"
    "e.g. :class:`vantor.helpers.Peer`) or with the explicit\n"
    "``ah``/``remote_qpn``/``remote_qkey`` trio.\n"
    "\n"
    "Args:\n"
    "    wr_id: Application-defined value returned in the completion.\n"
    "    sg_list: Local :class:`SGE` objects holding the payload.\n"
    "    opcode: A :class:`vantor.enums.WROpcode`: SEND, SEND_WITH_IMM, RDMA_READ,\n"
    "        RDMA_WRITE or RDMA_WRITE_WITH_IMM; the RDMA ones also need\n"
    "        ``remote_addr``/``rkey``.\n"
    "    send_flags: ORed :class:`vantor.enums.SendFlags`. EFA requires\n"
    "        ``SIGNALED`` unless the queue pair uses ``sq_sig_all=True``.\n"
    "    remote_addr: Remote virtual address for RDMA operations.\n"
    "    rkey: Remote memory key for RDMA operations.\n"
    "    imm_data: Immediate data for the ``WITH_IMM`` opcodes, in host order.\n"
    "    ah: Destination :class:`AH`.\n"
    "    remote_qpn: Destination queue-pair number.\n"
    "    remote_qkey: Destination qkey.\n"
    "    dest: Destination object; mutually exclusive with ``ah``/``remote_qpn``/\n"
    "        ``remote_qkey``: when given, those three are taken from it and the\n"
    "        explicit arguments are ignored.";

const char *const kSendWRNames[] = {"wr_id",       "sg_list",     "opcode",   "send_flags",
                                    "remote_addr", "rkey",        "imm_data", "ah",
                                    "remote_qpn",  "remote_qkey", "dest",     nullptr};
const py::ArgSpec kSendWRArgs{"__init__", kSendWRNames, 0};

SendWRObject *as_send_wr(PyObject *self) { return reinterpret_cast<SendWRObject *>(self); }

constexpr Field kWrId{offsetof(SendWRObject, wr_id), Width::u64};
constexpr Field kOpcode{offsetof(SendWRObject, opcode), Width::i32};
constexpr Field kSendFlags{offsetof(SendWRObject, send_flags), Width::uint};
constexpr Field kRemoteAddr{offsetof(SendWRObject, remote_addr), Width::u64};
constexpr Field kRkey{offsetof(SendWRObject, rkey), Width::u32};
constexpr Field kImmData{offsetof(SendWRObject, imm_data), Width::u32};
constexpr Field kRemoteQpn{offsetof(SendWRObject, remote_qpn), Width::u32};
constexpr Field kRemoteQkey{offsetof(SendWRObject, remote_qkey), Width::u32};
constexpr Field kRecvWrId{offsetof(RecvWRObject, wr_id), Width::u64};

PyObject *SendWR_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        Py_INCREF(Py_None);
        as_send_wr(self)->sg_list = Py_None;
        Py_INCREF(Py_None);
        as_send_wr(self)->ah = Py_None;
    }
    return self;
}

// An omitted argument takes its default; the conversions and stores run in
// field order.
bool store_arg(PyObject *self, const Field &field, PyObject *value, uint64_t default_value)
{
    if (value == nullptr) {
        char *base = reinterpret_cast<char *>(self) + field.offset;
        switch (field.width) {
        case Width::u64:
            *reinterpret_cast<uint64_t *>(base) = default_value;
            break;
        case Width::u32:
        case Width::uint:
            *reinterpret_cast<uint32_t *>(base) = static_cast<uint32_t>(default_value);
            break;
        case Width::i32:
            *reinterpret_cast<int32_t *>(base) = static_cast<int32_t>(default_value);
            break;
        }
        return true;
    }
    return py::store_scalar(self, field, value);
}

bool SendWR_init_values(SendWRObject *self, PyObject *const *values)
{
    PyObject *obj = reinterpret_cast<PyObject *>(self);
    if (!store_arg(obj, kWrId, values[0], 0)) {
        return false;
    }
    Ref sg_list = Ref::steal(copy_sg_list(values[1]));
    if (!sg_list) {
        return false;
    }
    py::set_field(self->sg_list, sg_list.get());
    if (!store_arg(obj, kOpcode, values[2], IBV_WR_SEND) ||
        !store_arg(obj, kSendFlags, values[3], 0) || !store_arg(obj, kRemoteAddr, values[4], 0) ||
        !store_arg(obj, kRkey, values[5], 0) || !store_arg(obj, kImmData, values[6], 0)) {
        return false;
    }
    PyObject *dest = values[10];
    if (dest == nullptr || dest == Py_None) {
        py::set_field(self->ah, values[7] == nullptr ? Py_None : values[7]);
        return store_arg(obj, kRemoteQpn, values[8], 0) &&
               store_arg(obj, kRemoteQkey, values[9], 0);
    }
    Ref ah = Ref::steal(PyObject_GetAttrString(dest, "ah"));
    if (!ah) {
        return false;
    }
    py::set_field(self->ah, ah.get());
    Ref qp_num = Ref::steal(PyObject_GetAttrString(dest, "qp_num"));
    if (!qp_num || !py::store_scalar(obj, kRemoteQpn, qp_num.get())) {
        return false;
    }
    Ref qkey = Ref::steal(PyObject_GetAttrString(dest, "qkey"));
    return qkey && py::store_scalar(obj, kRemoteQkey, qkey.get());
}

int SendWR_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_send_wr(self)->sg_list);
    Py_VISIT(as_send_wr(self)->ah);
    return 0;
}

int SendWR_clear(PyObject *self)
{
    py::set_field(as_send_wr(self)->sg_list, Py_None);
    py::set_field(as_send_wr(self)->ah, Py_None);
    return 0;
}

PyObject *SendWRObject::*const kSendWRRefs[] = {&SendWRObject::sg_list, &SendWRObject::ah};
void SendWR_dealloc(PyObject *self) { py::dealloc_record(self, kSendWRRefs); }

#define VANTOR_SCALAR(name, doc, field)                                                            \
    {name, get_scalar, set_scalar, doc, const_cast<Field *>(&field)}

PyGetSetDef SendWR_getset[] = {
    VANTOR_SCALAR("wr_id", "wr_id: 'uint64_t'", kWrId),
    {"sg_list", get_object, set_sg_list, "sg_list: list",
     offset_closure(offsetof(SendWRObject, sg_list))},
    VANTOR_SCALAR("opcode", "opcode: 'int'", kOpcode),
    VANTOR_SCALAR("send_flags", "send_flags: 'unsigned int'", kSendFlags),
    VANTOR_SCALAR("remote_addr", "remote_addr: 'uint64_t'", kRemoteAddr),
    VANTOR_SCALAR("rkey", "rkey: 'uint32_t'", kRkey),
    VANTOR_SCALAR("imm_data", "imm_data: 'uint32_t'", kImmData),
    {"ah", get_object, set_any, "ah: object", offset_closure(offsetof(SendWRObject, ah))},
    VANTOR_SCALAR("remote_qpn", "remote_qpn: 'uint32_t'", kRemoteQpn),
    VANTOR_SCALAR("remote_qkey", "remote_qkey: 'uint32_t'", kRemoteQkey),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------- RecvWR

constexpr const char *kRecvWRDoc =
    "RecvWR(wr_id=0, sg_list=None)\n"
    "\n"
    "A receive work request.\n"
    "\n"
    "Args:\n"
    "    wr_id: Application-defined value returned in the completion.\n"
    "    sg_list: Local :class:`SGE` objects that receive the payload.";

const char *const kRecvWRNames[] = {"wr_id", "sg_list", nullptr};
const py::ArgSpec kRecvWRArgs{"__init__", kRecvWRNames, 0};

RecvWRObject *as_recv_wr(PyObject *self) { return reinterpret_cast<RecvWRObject *>(self); }

PyObject *RecvWR_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        Py_INCREF(Py_None);
        as_recv_wr(self)->sg_list = Py_None;
    }
    return self;
}

bool RecvWR_init_values(RecvWRObject *self, PyObject *const *values)
{
    if (!store_arg(reinterpret_cast<PyObject *>(self), kRecvWrId, values[0], 0)) {
        return false;
    }
    Ref sg_list = Ref::steal(copy_sg_list(values[1]));
    if (!sg_list) {
        return false;
    }
    py::set_field(self->sg_list, sg_list.get());
    return true;
}

int RecvWR_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_recv_wr(self)->sg_list);
    return 0;
}

int RecvWR_clear(PyObject *self)
{
    py::set_field(as_recv_wr(self)->sg_list, Py_None);
    return 0;
}

PyObject *RecvWRObject::*const kRecvWRRefs[] = {&RecvWRObject::sg_list};
void RecvWR_dealloc(PyObject *self) { py::dealloc_record(self, kRecvWRRefs); }

PyGetSetDef RecvWR_getset[] = {
    VANTOR_SCALAR("wr_id", "wr_id: 'uint64_t'", kRecvWrId),
    {"sg_list", get_object, set_sg_list, "sg_list: list",
     offset_closure(offsetof(RecvWRObject, sg_list))},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef VANTOR_SCALAR

// ---------------------------------------------------------------- type objects

constexpr unsigned kRecordFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

PyType_Slot SGE_slots[] = {
    {Py_tp_doc, const_cast<char *>(kSGEDoc)},
    {Py_tp_new, reinterpret_cast<void *>(SGE_new)},
    {Py_tp_init, reinterpret_cast<void *>(py::tp_init<SGEObject, SGE_init_values, kSGEArgs, 4>)},
    {Py_tp_repr, reinterpret_cast<void *>(SGE_repr)},
    {Py_tp_dealloc, reinterpret_cast<void *>(SGE_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(SGE_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(SGE_clear)},
    {Py_tp_members, SGE_members},
    {0, nullptr},
};

PyType_Slot SendWR_slots[] = {
    {Py_tp_doc, const_cast<char *>(kSendWRDoc)},
    {Py_tp_new, reinterpret_cast<void *>(SendWR_new)},
    {Py_tp_init,
     reinterpret_cast<void *>(py::tp_init<SendWRObject, SendWR_init_values, kSendWRArgs, 11>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(SendWR_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(SendWR_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(SendWR_clear)},
    {Py_tp_getset, SendWR_getset},
    {0, nullptr},
};

PyType_Slot RecvWR_slots[] = {
    {Py_tp_doc, const_cast<char *>(kRecvWRDoc)},
    {Py_tp_new, reinterpret_cast<void *>(RecvWR_new)},
    {Py_tp_init,
     reinterpret_cast<void *>(py::tp_init<RecvWRObject, RecvWR_init_values, kRecvWRArgs, 2>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(RecvWR_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(RecvWR_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(RecvWR_clear)},
    {Py_tp_getset, RecvWR_getset},
    {0, nullptr},
};

}  // namespace

PyTypeObject *create_SGE_type(PyObject *module)
{
    PyType_Spec spec = {"vantor._vantor.SGE", sizeof(SGEObject), 0, kRecordFlags, SGE_slots};
    return py::finish_record<SGEObject, SGE_init_values, kSGEArgs, 4>(py::add_type(module, &spec));
}

PyTypeObject *create_SendWR_type(PyObject *module)
{
    PyType_Spec spec = {"vantor._vantor.SendWR", sizeof(SendWRObject), 0, kRecordFlags,
                        SendWR_slots};
    return py::finish_record<SendWRObject, SendWR_init_values, kSendWRArgs, 11>(
        py::add_type(module, &spec));
}

PyTypeObject *create_RecvWR_type(PyObject *module)
{
    PyType_Spec spec = {"vantor._vantor.RecvWR", sizeof(RecvWRObject), 0, kRecordFlags,
                        RecvWR_slots};
    return py::finish_record<RecvWRObject, RecvWR_init_values, kRecvWRArgs, 2>(
        py::add_type(module, &spec));
}

const py::MethodTable SGE_methods = py::method_table(types::SGE, kSGEMethods);

}  // namespace vantor
