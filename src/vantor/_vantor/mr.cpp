// MR: a registered memory region (its registration behind PD.reg_mr and
// PD.reg_dmabuf_mr, its methods, MR.sge among them) and the MRAttr record of
// its EFA query.
#include "errors.hpp"
#include "lifecycle.hpp"
#include "loader.hpp"
#include "module_types.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/fields.hpp"
#include "py/function.hpp"
#include "py/ref.hpp"
#include "py/types.hpp"
#include "record_fields.hpp"
#include "records.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <structmember.h>

namespace vantor {
namespace {

using py::Ref;

struct MRTraits {
    using Object = MRObject;
    static constexpr const char *closed_message = "memory region is closed";
    static constexpr const char *destroy_call = "ibv_dereg_mr";
    static constexpr bool gc = true;
    static constexpr PyObject *Object::*refs[] = {&MRObject::pd, &MRObject::owner};
    // The owner is the application's buffer, which may refer back to the MR.
    static constexpr size_t parents = 1;
    static ContextObject *counted_in(Object *) { return nullptr; }
    static bool is_open(const Object *self) { return self->_mr != nullptr; }
    static bool destroy(Object *self, bool report)
    {
        int rc = _v_dereg_mr(self->_mr);
        if (rc != 0) {
            if (report) {
                raise_rc("ibv_dereg_mr", rc);
            }
            return false;
        }
        return true;
    }
    // The kept buffer may go once its registration is gone.
    static void after_destroy(Object *self)
    {
        self->_mr = nullptr;
        py::set_field(self->owner, Py_None);
    }
};

using MRLife = Lifecycle<MRTraits>;

MRObject *as_mr(PyObject *self) { return reinterpret_cast<MRObject *>(self); }

PyObject *mr_wrap(ibv_mr *mr, PyObject *pd)
{
    auto *self = py::alloc_bare<MRObject>(types::MR);
    if (self == nullptr) {
        return nullptr;
    }
    self->_mr = mr;
    Py_INCREF(pd);
    self->pd = pd;
    Py_INCREF(Py_None);
    self->owner = Py_None;
    return reinterpret_cast<PyObject *>(self);
}

// Wraps a fresh registration, undoing it if the wrapper cannot be made.
PyObject *finish_registration(ibv_mr *mr, PyObject *pd)
{
    PyObject *wrapped = mr_wrap(mr, pd);
    if (wrapped == nullptr) {
        _v_dereg_mr(mr);
    }
    return wrapped;
}

// The range rule of an untyped numeric argument (already through int()),
// checked on the Python integer before it is narrowed to 64 bits.
bool to_u64_in_range(PyObject *value, const char *message, bool zero_allowed, uint64_t &out)
{
    uint64_t wide = 0;
    switch (py::classify(value, UINT64_MAX, wide)) {
    case py::Range::error:
        return false;
    case py::Range::inside:
        if (zero_allowed || wide != 0) {
            out = wide;
            return true;
        }
        break;
    default:
        break;
    }
    PyErr_SetString(PyExc_ValueError, message);
    return false;
}

}  // namespace

PyObject *mr_create(PDObject *pd, PyObject *addr_arg, PyObject *length_arg, int access)
{
    PyObject *self = reinterpret_cast<PyObject *>(pd);
    Ref addr_obj = Ref::steal(py::to_pyint(addr_arg));
    if (!addr_obj) {
        return nullptr;
    }
    Ref length_obj = Ref::steal(py::to_pyint(length_arg));
    if (!length_obj) {
        return nullptr;
    }
    uint64_t addr = 0;
    uint64_t length = 0;
    if (!to_u64_in_range(addr_obj.get(), "addr must be between 0 and 2**64 - 1", true, addr) ||
        !to_u64_in_range(length_obj.get(), "length must be between 1 and 2**64 - 1", false,
                         length)) {
        return nullptr;
    }
    // addr + length <= 2**64, with length >= 1.
    if (length - 1 > UINT64_MAX - addr) {
        PyErr_SetString(PyExc_ValueError, "memory region address range exceeds 2**64");
        return nullptr;
    }
    ibv_pd *native_pd = pd->_pd;
    ibv_mr *mr;
    int err;
    Py_BEGIN_ALLOW_THREADS
        // The region's I/O virtual address is its virtual address.
        mr = _v_reg_mr_iova2(native_pd, reinterpret_cast<void *>(addr), static_cast<size_t>(length),
                             addr, static_cast<unsigned int>(access));
    err = errno;
    Py_END_ALLOW_THREADS if (mr == nullptr) { return raise_errno("ibv_reg_mr", err); }
    return finish_registration(mr, self);
}

PyObject *mr_create_dmabuf(PDObject *pd, PyObject *const *offset_length_iova, int fd, int access)
{
    PyObject *self = reinterpret_cast<PyObject *>(pd);
    if (_v_reg_dmabuf_mr == nullptr) {
        PyErr_SetString(PyExc_RuntimeError,
                        "ibv_reg_dmabuf_mr is unavailable: this libibverbs predates rdma-core 34. "
                        "Use reg_mr with nvidia_peermem instead.");
        return nullptr;
    }
    Ref offset_obj = Ref::steal(py::to_pyint(offset_length_iova[0]));
    if (!offset_obj) {
        return nullptr;
    }
    Ref length_obj = Ref::steal(py::to_pyint(offset_length_iova[1]));
    if (!length_obj) {
        return nullptr;
    }
    Ref iova_obj = Ref::steal(py::to_pyint(offset_length_iova[2]));
    if (!iova_obj) {
        return nullptr;
    }
    uint64_t offset = 0;
    uint64_t length = 0;
    uint64_t iova = 0;
    if (!to_u64_in_range(offset_obj.get(), "offset must be between 0 and 2**64 - 1", true,
                         offset) ||
        !to_u64_in_range(length_obj.get(), "length must be between 1 and 2**64 - 1", false,
                         length) ||
        !to_u64_in_range(iova_obj.get(), "iova must be between 0 and 2**64 - 1", true, iova)) {
        return nullptr;
    }
    ibv_pd *native_pd = pd->_pd;
    ibv_mr *mr;
    int err;
    Py_BEGIN_ALLOW_THREADS mr =
        _v_reg_dmabuf_mr(native_pd, offset, static_cast<size_t>(length), iova, fd, access);
    err = errno;
    Py_END_ALLOW_THREADS if (mr == nullptr) { return raise_errno("ibv_reg_dmabuf_mr", err); }
    return finish_registration(mr, self);
}

namespace {

PyObject *MR_query_efa(PyObject *self, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames)
{
    if (!py::no_args("query_efa", nargs, kwnames) || !mr_ensure(as_mr(self))) {
        return nullptr;
    }
    if (_e_query_mr == nullptr) {
        PyErr_SetString(PyExc_RuntimeError,
                        "efadv_query_mr is unavailable: this libefa predates EFA 1.3");
        return nullptr;
    }
    efadv_mr_attr attr;
    std::memset(&attr, 0, sizeof attr);
    int rc = _e_query_mr(as_mr(self)->_mr, &attr, sizeof attr);
    if (rc != 0) {
        return raise_rc("efadv_query_mr", rc);
    }
    auto *out = py::alloc_bare<MRAttrObject>(types::MRAttr);
    if (out == nullptr) {
        return nullptr;
    }
    out->ic_id_validity = attr.ic_id_validity;
    out->recv_ic_id = attr.recv_ic_id;
    out->rdma_read_ic_id = attr.rdma_read_ic_id;
    out->rdma_recv_ic_id = attr.rdma_recv_ic_id;
    return reinterpret_cast<PyObject *>(out);
}

const char *const kKeepaliveNames[] = {"owner", nullptr};
const py::ArgSpec kKeepaliveArgs{"_keepalive", kKeepaliveNames, 1};

PyObject *MR_keepalive(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *owner;
    if (!kKeepaliveArgs.parse(args, nargs, kwnames, &owner)) {
        return nullptr;
    }
    py::set_field(as_mr(self)->owner, owner);
    Py_INCREF(self);
    return self;
}

PyObject *MR_closed(PyObject *self, void *) { return PyBool_FromLong(as_mr(self)->_mr == nullptr); }

PyObject *MR_addr(PyObject *self, void *)
{
    if (!mr_ensure(as_mr(self))) {
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(
        static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(as_mr(self)->_mr->addr)));
}

PyObject *MR_length(PyObject *self, void *)
{
    if (!mr_ensure(as_mr(self))) {
        return nullptr;
    }
    return PyLong_FromSize_t(as_mr(self)->_mr->length);
}

PyObject *MR_lkey(PyObject *self, void *)
{
    if (!mr_ensure(as_mr(self))) {
        return nullptr;
    }
    return PyLong_FromUnsignedLong(as_mr(self)->_mr->lkey);
}

PyObject *MR_rkey(PyObject *self, void *)
{
    if (!mr_ensure(as_mr(self))) {
        return nullptr;
    }
    return PyLong_FromUnsignedLong(as_mr(self)->_mr->rkey);
}

PyObject *MR_handle(PyObject *self, void *)
{
    if (!mr_ensure(as_mr(self))) {
        return nullptr;
    }
    return PyLong_FromUnsignedLong(as_mr(self)->_mr->handle);
}

// Formats an attribute read through Python as lowercase hexadecimal.
PyObject *hex_attr(PyObject *self, const char *name)
{
    Ref value = Ref::steal(PyObject_GetAttrString(self, name));
    if (!value) {
        return nullptr;
    }
    return PyNumber_ToBase(value.get(), 16);
}

PyObject *MR_repr(PyObject *self)
{
    if (as_mr(self)->_mr == nullptr) {
        return PyUnicode_FromString("MR(closed=True)");
    }
    Ref addr = Ref::steal(hex_attr(self, "addr"));
    if (!addr) {
        return nullptr;
    }
    Ref length = Ref::steal(PyObject_GetAttrString(self, "length"));
    if (!length) {
        return nullptr;
    }
    Ref lkey = Ref::steal(hex_attr(self, "lkey"));
    if (!lkey) {
        return nullptr;
    }
    Ref rkey = Ref::steal(hex_attr(self, "rkey"));
    if (!rkey) {
        return nullptr;
    }
    // PyNumber_ToBase gives "0x..." already.
    return PyUnicode_FromFormat("MR(addr=%U, length=%S, lkey=%U, rkey=%U)", addr.get(),
                                length.get(), lkey.get(), rkey.get());
}

PyGetSetDef MR_getset[] = {
    {"closed", MR_closed, nullptr,
     "MR.closed: bool\n\nWhether this memory region has been deregistered.", nullptr},
    {"addr", MR_addr, nullptr,
     "MR.addr: int\n\nReturn the registered region's starting virtual "
     "address.",
     nullptr},
    {"length", MR_length, nullptr, "MR.length: int\n\nReturn the registered length in bytes.",
     nullptr},
    {"lkey", MR_lkey, nullptr, "MR.lkey: int\n\nReturn the local key used by this process's QPs.",
     nullptr},
    {"rkey", MR_rkey, nullptr, "MR.rkey: int\n\nReturn the key that authorizes remote access.",
     nullptr},
    {"handle", MR_handle, nullptr, "MR.handle: int\n\nReturn the provider memory-region handle.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef MR_members[] = {
    {"pd", T_OBJECT, offsetof(MRObject, pd), READONLY, nullptr},
    {"owner", T_OBJECT, offsetof(MRObject, owner), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot MR_slots[] = {
    {Py_tp_doc, const_cast<char *>("A registered memory region (``ibv_mr``).")},
    {Py_tp_new, reinterpret_cast<void *>(MRLife::tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(MRLife::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(MRLife::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(MRLife::clear)},
    {Py_tp_repr, reinterpret_cast<void *>(MR_repr)},
    {Py_tp_getset, MR_getset},
    {Py_tp_members, MR_members},
    {0, nullptr},
};

// ---- MR.sge --------------------------------------------------------------

const char *const kMRSgeNames[] = {"length", "offset", nullptr};
const py::ArgSpec kMRSgeArgs{"sge", kMRSgeNames, 0};

PyObject *MR_sge(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *values[2];
    if (!kMRSgeArgs.parse(args, nargs, kwnames, values)) {
        return nullptr;
    }
    auto *mr = reinterpret_cast<MRObject *>(self);
    InUse in_use(mr);
    if (!mr_ensure(mr)) {
        return nullptr;
    }
    Ref offset =
        values[1] == nullptr ? Ref::steal(PyLong_FromLong(0)) : Ref::steal(py::to_pyint(values[1]));
    if (!offset) {
        return nullptr;
    }
    uint64_t size = mr->_mr->length;
    uint64_t offset_value = 0;
    switch (py::classify(offset.get(), size, offset_value)) {
    case py::Range::error:
        return nullptr;
    case py::Range::inside:
        break;
    default:
        PyErr_SetString(PyExc_ValueError, "SGE offset is outside the memory region");
        return nullptr;
    }
    Ref length;
    if (values[0] == nullptr || values[0] == Py_None) {
        length = Ref::steal(PyLong_FromUnsignedLongLong(size - offset_value));
    } else {
        length = Ref::borrow(values[0]);
    }
    // The keyword names of the call, made once: an immutable tuple of one
    // interned string, kept for the life of the process.
    static PyObject *kwnames_offset = nullptr;
    if (kwnames_offset == nullptr) {
        kwnames_offset = Py_BuildValue("(N)", PyUnicode_InternFromString("offset"));
    }
    if (!length || kwnames_offset == nullptr) {
        return nullptr;
    }
    PyObject *call_args[] = {self, length.get(), offset.get()};
    return PyObject_Vectorcall(reinterpret_cast<PyObject *>(types::SGE), call_args, 2,
                               kwnames_offset);
}

const py::FunctionDef kMRMethods[] = {
    {"query_efa", MR_query_efa,
     "MR.query_efa(self) -> MRAttr\n\nEFA-specific MR attributes (``efadv_query_mr``, "
     "rdma-core >= 44)."},
    {"_keepalive", MR_keepalive,
     "MR._keepalive(self, owner)\n\nRetain the object that owns this MR's backing allocation."},
    {"close", MRLife::close_method, "MR.close(self)\n\nDeregister this memory region."},
    {"__enter__", MRLife::enter_method, "MR.__enter__(self)"},
    {"__exit__", MRLife::exit_method, "MR.__exit__(self, *exc)"},
    {"sge", MR_sge,
     "MR.sge(self, length=None, offset=0)\n\nReturn an :class:`SGE` for a bounded range of "
     "this MR."},
};

// ---- MRAttr ----------------------------------------------------------------

int MRAttr_init(PyObject *, PyObject *, PyObject *) { return 0; }

void MRAttr_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *MRAttr_repr(PyObject *self)
{
    auto *attr = reinterpret_cast<MRAttrObject *>(self);
    char validity[16];
    std::snprintf(validity, sizeof validity, "%x", static_cast<unsigned>(attr->ic_id_validity));
    if (attr->ic_id_validity < 0) {
        std::snprintf(validity, sizeof validity, "-%x",
                      static_cast<unsigned>(-static_cast<int64_t>(attr->ic_id_validity)));
    }
    return PyUnicode_FromFormat(
        "MRAttr(ic_id_validity=0x%s, recv_ic_id=%d, rdma_read_ic_id=%d, rdma_recv_ic_id=%d)",
        validity, attr->recv_ic_id, attr->rdma_read_ic_id, attr->rdma_recv_ic_id);
}

auto MRAttr_members = record_fields::readonly_members(record_fields::MRAttr::fields);

PyType_Slot MRAttr_slots[] = {
    {Py_tp_doc,
     const_cast<char *>("EFA MR attributes from :meth:`MR.query_efa` (``efadv_query_mr``).")},
    {Py_tp_init, reinterpret_cast<void *>(MRAttr_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(MRAttr_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(MRAttr_repr)},
    {Py_tp_members, MRAttr_members.data()},
    {0, nullptr},
};

}  // namespace

bool mr_ensure(MRObject *self) { return MRLife::ensure(self); }

PyTypeObject *create_MR_type(PyObject *module)
{
    PyType_Spec spec = {"vantor._vantor.MR", sizeof(MRObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, MR_slots};
    return py::add_type(module, &spec);
}

PyTypeObject *create_MRAttr_type(PyObject *module)
{
    PyType_Spec spec = {"vantor._vantor.MRAttr", sizeof(MRAttrObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, MRAttr_slots};
    return py::add_type(module, &spec);
}

const py::MethodTable MR_methods = py::method_table(types::MR, kMRMethods);

}  // namespace vantor
