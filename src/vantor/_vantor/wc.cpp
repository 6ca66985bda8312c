// WC: the record of one work completion, filled straight from the native
// completion (classic record or extended accessors) without running any
// Python constructor.
#include "completions.hpp"
#include "errors.hpp"
#include "loader.hpp"
#include "module_types.hpp"
#include "py/args.hpp"
#include "py/function.hpp"
#include "py/ref.hpp"
#include "py/types.hpp"

#include <arpa/inet.h>
#include <cstddef>
#include <cstring>
#include <structmember.h>

namespace vantor {
namespace {

using py::Ref;

WCObject *as_wc(PyObject *self) { return reinterpret_cast<WCObject *>(self); }

// Polls create and drop WC objects at the message rate, so the memory of
// dead exact-type WCs is kept for reuse instead of going back through the
// allocator. A kept block is an untracked, unreferenced object of
// sizeof(WCObject) with its GC header cleared by the untrack; it holds no
// reference to its old type, so it is valid for whatever types::WC is when
// it is reused. Subclass instances (other sizes, maybe a __dict__) are
// never kept.
constexpr int kFreeWCMax = 256;
PyObject *free_wcs[kFreeWCMax];
int free_wc_count = 0;

WCObject *alloc_wc()
{
    if (free_wc_count > 0) {
        PyObject *obj = free_wcs[--free_wc_count];
        // Sets the type (taking a reference to it) and the reference count.
        return reinterpret_cast<WCObject *>(PyObject_Init(obj, types::WC));
    }
    return PyObject_GC_New(WCObject, types::WC);
}

// A new WC of the exact type with every field set by `fill`. It is left
// untracked by the collector, as the interpreter leaves its tuples of
// atoms: its one object field holds None or bytes, and its fields are
// read-only, so it can never be part of a cycle. (A WC made any other way,
// a subclass instance or one restored from a pickle, is tracked as usual.)
template <typename Fill>
PyObject *new_wc(Fill &&fill)
{
    WCObject *wc = alloc_wc();
    if (wc == nullptr) {
        return nullptr;
    }
    Py_INCREF(Py_None);
    wc->sgid = Py_None;
    wc->unsolicited = 0;
    fill(*wc);
    return reinterpret_cast<PyObject *>(wc);
}

// WC() takes no arguments, unless a subclass brings its own __init__.
PyObject *WC_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    if (type->tp_init == PyBaseObject_Type.tp_init &&
        (PyTuple_GET_SIZE(args) != 0 || (kwds != nullptr && PyDict_GET_SIZE(kwds) != 0))) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments", type->tp_name);
        return nullptr;
    }
    PyObject *obj = type->tp_alloc(type, 0);
    if (obj == nullptr) {
        return nullptr;
    }
    Py_INCREF(Py_None);
    as_wc(obj)->sgid = Py_None;
    return obj;
}

void WC_dealloc(PyObject *obj)
{
    PyTypeObject *type = Py_TYPE(obj);
    PyObject_GC_UnTrack(obj);
    Py_CLEAR(as_wc(obj)->sgid);
    if (type == types::WC && free_wc_count < kFreeWCMax) {
        free_wcs[free_wc_count++] = obj;
    } else {
        type->tp_free(obj);
    }
    Py_DECREF(type);
}

int WC_traverse(PyObject *obj, visitproc visit, void *arg)
{
    Py_VISIT(Py_TYPE(obj));
    Py_VISIT(as_wc(obj)->sgid);
    return 0;
}

int WC_clear(PyObject *obj)
{
    py::set_field(as_wc(obj)->sgid, Py_None);
    return 0;
}

PyObject *status_text(int32_t status)
{
    const char *text = _v_wc_status_str(static_cast<ibv_wc_status>(status));
    if (text == nullptr) {
        return PyUnicode_FromStringAndSize(nullptr, 0);
    }
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), nullptr);
}

PyObject *WC_repr(PyObject *self)
{
    WCObject *wc = as_wc(self);
    Ref text = Ref::steal(PyObject_GetAttrString(self, "status_str"));
    if (!text) {
        return nullptr;
    }
    return PyUnicode_FromFormat("WC(wr_id=%llu, status=%d (%S), opcode=%d, byte_len=%u, qp_num=%u)",
                                static_cast<unsigned long long>(wc->fields.wr_id),
                                wc->fields.status, text.get(), wc->fields.opcode,
                                wc->fields.byte_len, wc->fields.qp_num);
}

PyObject *WC_get_unsolicited(PyObject *self, void *)
{
    return PyBool_FromLong(as_wc(self)->unsolicited != 0);
}

PyObject *WC_get_is_success(PyObject *self, void *)
{
    return PyBool_FromLong(as_wc(self)->fields.status == 0);
}

PyObject *WC_get_status_str(PyObject *self, void *)
{
    return status_text(as_wc(self)->fields.status);
}

PyObject *WC_raise_for_status(PyObject *self, PyObject *const *, Py_ssize_t nargs,
                              PyObject *kwnames)
{
    if (!py::no_args("raise_for_status", nargs, kwnames)) {
        return nullptr;
    }
    if (as_wc(self)->fields.status == 0) {
        Py_RETURN_NONE;
    }
    // Looked up at call time, so a replaced module attribute is honoured.
    PyObject *dict = module_dict();
    PyObject *cls = dict == nullptr ? nullptr : PyDict_GetItemString(dict, "CompletionError");
    if (cls == nullptr) {
        PyErr_SetString(PyExc_NameError, "name 'CompletionError' is not defined");
        return nullptr;
    }
    Ref keep = Ref::borrow(cls);
    Ref exc = Ref::steal(PyObject_CallOneArg(cls, self));
    if (exc) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get());
    }
    return nullptr;
}

#define WC_FIELD(name, kind, doc)                                                                  \
    {const_cast<char *>(#name), kind, offsetof(WCObject, fields.name), READONLY,                   \
     const_cast<char *>(doc)}

PyMemberDef wc_members[] = {
    WC_FIELD(wr_id, T_ULONGLONG,
             "WC.wr_id: int\n\nThe work-request identifier given when the request was posted."),
    WC_FIELD(status, T_INT, "WC.status: int\n\nThe ibv_wc_status value; 0 means success."),
    WC_FIELD(opcode, T_INT, "WC.opcode: int\n\nThe ibv_wc_opcode value."),
    WC_FIELD(vendor_err, T_UINT, "WC.vendor_err: int\n\nProvider-specific error detail."),
    WC_FIELD(byte_len, T_UINT,
             "WC.byte_len: int\n\nNumber of bytes transferred, as the provider reports it."),
    WC_FIELD(imm_data, T_UINT, "WC.imm_data: int\n\nImmediate data, in host byte order."),
    WC_FIELD(qp_num, T_UINT,
             "WC.qp_num: int\n\nLocal queue-pair number the completion belongs to."),
    WC_FIELD(src_qp, T_UINT, "WC.src_qp: int\n\nRemote (source) queue-pair number, for receives."),
    WC_FIELD(wc_flags, T_UINT,
             "WC.wc_flags: int\n\nThe completion's flag bits as libibverbs reports them."),
    {"sgid", T_OBJECT, offsetof(WCObject, sgid), READONLY,
     "WC.sgid: bytes | None\n\nThe sender's raw 16-byte GID, when the queue reports one."},
    {nullptr, 0, 0, 0, nullptr},
};

#undef WC_FIELD

PyGetSetDef wc_getset[] = {
    {"unsolicited", WC_get_unsolicited, nullptr,
     "WC.unsolicited: bool\n\nWhether the receive was an unsolicited RDMA write with immediate.",
     nullptr},
    {"is_success", WC_get_is_success, nullptr,
     "WC.is_success: bool\n\nWhether the work request completed successfully.", nullptr},
    {"status_str", WC_get_status_str, nullptr,
     "WC.status_str: str\n\nReturn the provider's human-readable completion status.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char *kWCDoc =
    "A work completion returned by CQ.poll / CQEx.poll.\n"
    "\n"
    "For completions from a CQEx created with sgid=True, ``sgid`` carries the sender's GID\n"
    "on receive completions from peers not covered by a local AH (else None).";

PyType_Slot wc_slots[] = {
    {Py_tp_doc, const_cast<char *>(kWCDoc)},
    {Py_tp_new, reinterpret_cast<void *>(WC_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(WC_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(WC_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(WC_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(WC_repr)},
    {Py_tp_members, wc_members},
    {Py_tp_getset, wc_getset},
    {0, nullptr},
};

PyType_Spec wc_spec = {"vantor._vantor.WC", sizeof(WCObject), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, wc_slots};

const py::FunctionDef kWCMethods[] = {
    {"raise_for_status", WC_raise_for_status,
     "WC.raise_for_status(self)\n\nRaise CompletionError if this completion did not succeed."},
};

}  // namespace

PyTypeObject *create_WC_type(PyObject *module) { return py::add_type(module, &wc_spec); }

const py::MethodTable WC_methods = py::method_table(types::WC, kWCMethods);

PyObject *wc_record_sgid(const ExtendedRecord &record)
{
    if (!record.has_sgid) {
        Py_INCREF(Py_None);
        return Py_None;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(record.sgid.raw),
                                     sizeof(record.sgid.raw));
}

PyObject *wc_from_ibv_wc(const ibv_wc &src)
{
    return new_wc([&src](WCObject &wc) { wc_set_fields(wc, src); });
}

namespace {
constexpr uint64_t kOptionalFields =
    IBV_WC_EX_WITH_BYTE_LEN | IBV_WC_EX_WITH_IMM | IBV_WC_EX_WITH_QP_NUM | IBV_WC_EX_WITH_SRC_QP;
}  // namespace

ExtendedReader::ExtendedReader(const CQExObject *cq)
    : cqx(cq->_cqx), ecq(cq->_ecq), byte_len((cq->_wc_flags & IBV_WC_EX_WITH_BYTE_LEN) != 0),
      imm((cq->_wc_flags & IBV_WC_EX_WITH_IMM) != 0),
      qp_num((cq->_wc_flags & IBV_WC_EX_WITH_QP_NUM) != 0),
      src_qp((cq->_wc_flags & IBV_WC_EX_WITH_SRC_QP) != 0),
      sgid(cq->_ecq != nullptr && cq->_sgid != 0),
      unsolicited(cq->_ecq != nullptr && cq->_unsolicited != 0),
      standard((cq->_wc_flags & kOptionalFields) == kOptionalFields && !sgid && !unsolicited)
{}

void ExtendedReader::read_optional(ExtendedRecord &record) const
{
    CompletionFields &out = record.fields;
    out.byte_len = byte_len ? ibv_wc_read_byte_len(cqx) : 0;
    out.imm_data = imm ? ntohl(ibv_wc_read_imm_data(cqx)) : 0;
    out.qp_num = qp_num ? ibv_wc_read_qp_num(cqx) : 0;
    out.src_qp = src_qp ? ibv_wc_read_src_qp(cqx) : 0;
    out.wc_flags = ibv_wc_read_wc_flags(cqx);
    record.has_sgid = sgid && efadv_wc_read_sgid(ecq, &record.sgid) == 0;
    record.unsolicited = unsolicited && efadv_wc_is_unsolicited(ecq);
}

PyObject *wc_from_record(const ExtendedRecord &record)
{
    Ref sender;
    if (record.has_sgid) {
        sender = Ref::steal(wc_record_sgid(record));
        if (!sender) {
            return nullptr;
        }
    }
    return new_wc([&record, &sender](WCObject &wc) {
        wc_set_fields(wc, record);
        if (sender) {
            Py_SETREF(wc.sgid, sender.release());
        }
    });
}

}  // namespace vantor
