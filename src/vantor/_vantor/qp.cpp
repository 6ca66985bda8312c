// QP: an SRD or UD queue pair, always created with the extended
// work-request interface (every send, RDMA included, is posted through it),
// and PD.create_qp, its factory.
#include "qp.hpp"

#include "errors.hpp"
#include "lifecycle.hpp"
#include "loader.hpp"
#include "module_types.hpp"
#include "objects.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/function.hpp"
#include "py/ref.hpp"
#include "py/types.hpp"
#include "work_request.hpp"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <structmember.h>

namespace vantor {
namespace {

using py::Ref;

constexpr int32_t kQPTypeSRD = IBV_QPT_DRIVER;
constexpr int32_t kQPTypeUD = IBV_QPT_UD;
constexpr uint64_t kAllSendOps = IBV_QP_EX_WITH_RDMA_WRITE | IBV_QP_EX_WITH_RDMA_WRITE_WITH_IMM |
                                 IBV_QP_EX_WITH_SEND | IBV_QP_EX_WITH_SEND_WITH_IMM |
                                 IBV_QP_EX_WITH_RDMA_READ;
constexpr uint64_t kUDSendOps = IBV_QP_EX_WITH_SEND | IBV_QP_EX_WITH_SEND_WITH_IMM;
static_assert(kAllSendOps == 31 && kUDSendOps == 12);

struct QPTraits {
    using Object = QPObject;
    static constexpr const char *closed_message = "queue pair is closed";
    static constexpr const char *destroy_call = "ibv_destroy_qp";
    static constexpr const char *dealloc_context = "vantor._vantor.QP.__dealloc__";
    static constexpr bool gc = true;
    static constexpr PyObject *Object::*refs[] = {&QPObject::pd, &QPObject::send_cq,
                                                  &QPObject::recv_cq};
    static ContextObject *counted_in(Object *) { return nullptr; }
    static bool is_open(const Object *self) { return self->_qp != nullptr; }
    static bool destroy(Object *self, bool report)
    {
        int rc = _v_destroy_qp(self->_qp);
        if (rc != 0) {
            if (report) {
                _fail_rc("ibv_destroy_qp", rc);
            }
            return false;
        }
        return true;
    }
    static void after_destroy(Object *self)
    {
        self->_qp = nullptr;
        self->_qpx = nullptr;
    }
};

using Life = Lifecycle<QPTraits>;

// _cq_ptr: only a _CQBase (CQ, CQEx or a subclass) will do; its native
// ibv_cq as the queue itself reports it, the queue marked in use by `use`.
ibv_cq *checked_cq_ptr(PyObject *obj, InUse<CQBaseObject> &use)
{
    if (!PyObject_TypeCheck(obj, types::_CQBase)) {
        Ref got = Ref::steal(qualified_type_name(obj));
        Ref expected = Ref::steal(qualified_name(types::_CQBase));
        if (got && expected) {
            PyErr_Format(PyExc_TypeError, "Cannot convert %U to %U", got.get(), expected.get());
        }
        return nullptr;
    }
    use.hold(reinterpret_cast<CQBaseObject *>(obj));
    if (!cq_ensure(obj)) {
        return nullptr;
    }
    return cq_ptr(obj);
}

// Reads init_attr.<name> and converts it with `convert`.
template <typename T>
bool read_attr(PyObject *init_attr, const char *name, bool (*convert)(PyObject *, T &), T &out)
{
    Ref value = Ref::steal(PyObject_GetAttrString(init_attr, name));
    return value && convert(value.get(), out);
}

// The extended verbs table's create_qp_ex (what the inline ibv_create_qp_ex
// reaches for this mask, without its fallback into an exported symbol).
ibv_qp *_create_qp_ex(ibv_context *context, ibv_qp_init_attr_ex *attr)
{
    verbs_context *vctx = verbs_get_ctx_op(context, create_qp_ex);
    if (vctx == nullptr) {
        errno = EOPNOTSUPP;
        return nullptr;
    }
    return vctx->create_qp_ex(context, attr);
}

// QP._wrap: owns `native` from here on, on failure paths too.
PyObject *QP_wrap(ibv_qp *native, PyObject *pd, PyObject *send_cq, PyObject *recv_cq,
                  int32_t qp_type, uint64_t send_ops_flags)
{
    QPObject *qp = py::alloc_bare<QPObject>(types::QP);
    if (qp == nullptr) {
        py::SavedError saved;
        _v_destroy_qp(native);
        return nullptr;
    }
    qp->_qp = native;
    qp->_qpx = _v_qp_to_qp_ex(native);
    if (qp->_qpx == nullptr) {
        int err = errno;
        _v_destroy_qp(native);
        qp->_qp = nullptr;
        Py_DECREF(qp);
        errno = err;
        return _fail("ibv_qp_to_qp_ex");
    }
    Py_INCREF(pd);
    qp->pd = pd;
    Py_INCREF(send_cq);
    qp->send_cq = send_cq;
    Py_INCREF(recv_cq);
    qp->recv_cq = recv_cq;
    qp->qp_type = qp_type;
    qp->send_ops_flags = send_ops_flags;
    return reinterpret_cast<PyObject *>(qp);
}

const char *const kCreateQPNames[] = {"init_attr", nullptr};
const py::ArgSpec kCreateQPArgs{"create_qp", kCreateQPNames, 1};

PyObject *PD_create_qp(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames)
{
    PyObject *init_attr;
    if (!kCreateQPArgs.parse(args, nargs, kwnames, &init_attr)) {
        return nullptr;
    }
    auto *pd = reinterpret_cast<PDObject *>(self);
    InUse pd_use(pd);
    if (!pd_ensure(pd)) {
        return nullptr;
    }
    Ref send_cq = Ref::steal(PyObject_GetAttrString(init_attr, "send_cq"));
    if (!send_cq) {
        return nullptr;
    }
    Ref recv_cq = Ref::steal(PyObject_GetAttrString(init_attr, "recv_cq"));
    if (!recv_cq) {
        return nullptr;
    }
    InUse<CQBaseObject> send_cq_use;
    ibv_cq *native_send_cq = checked_cq_ptr(send_cq.get(), send_cq_use);
    if (native_send_cq == nullptr) {
        return nullptr;
    }
    InUse<CQBaseObject> recv_cq_use;
    ibv_cq *native_recv_cq = checked_cq_ptr(recv_cq.get(), recv_cq_use);
    if (native_recv_cq == nullptr) {
        return nullptr;
    }
    if (reinterpret_cast<CQBaseObject *>(send_cq.get())->context != pd->context ||
        reinterpret_cast<CQBaseObject *>(recv_cq.get())->context != pd->context) {
        PyErr_SetString(PyExc_ValueError, "queue-pair CQs must belong to the PD's context");
        return nullptr;
    }

    ibv_qp_init_attr_ex attr;
    std::memset(&attr, 0, sizeof attr);
    attr.send_cq = native_send_cq;
    attr.recv_cq = native_recv_cq;
    int qp_type = 0;
    bool sq_sig_all = false;
    if (!read_attr(init_attr, "qp_type", py::to_int, qp_type) ||
        !read_attr(init_attr, "sq_sig_all", py::to_bool, sq_sig_all) ||
        !read_attr(init_attr, "max_send_wr", py::to_u32, attr.cap.max_send_wr) ||
        !read_attr(init_attr, "max_recv_wr", py::to_u32, attr.cap.max_recv_wr) ||
        !read_attr(init_attr, "max_send_sge", py::to_u32, attr.cap.max_send_sge) ||
        !read_attr(init_attr, "max_recv_sge", py::to_u32, attr.cap.max_recv_sge) ||
        !read_attr(init_attr, "max_inline_data", py::to_u32, attr.cap.max_inline_data)) {
        return nullptr;
    }
    attr.sq_sig_all = sq_sig_all ? 1 : 0;
    attr.comp_mask = IBV_QP_INIT_ATTR_PD | IBV_QP_INIT_ATTR_SEND_OPS_FLAGS;
    attr.pd = pd->_pd;
    uint64_t send_ops_flags = 0;
    {
        Ref flags = Ref::steal(PyObject_GetAttrString(init_attr, "send_ops_flags"));
        if (!flags) {
            return nullptr;
        }
        if (flags.get() == Py_None) {
            send_ops_flags = qp_type == kQPTypeSRD ? kAllSendOps : kUDSendOps;
        } else if (!py::to_u64(flags.get(), send_ops_flags)) {
            return nullptr;
        }
    }

    ibv_context *context = reinterpret_cast<ContextObject *>(pd->context)->_ctx;
    ibv_qp *native;
    if (qp_type == kQPTypeSRD) {
        attr.qp_type = IBV_QPT_DRIVER;
        efadv_qp_init_attr efa_attr;
        std::memset(&efa_attr, 0, sizeof efa_attr);
        efa_attr.driver_qp_type = EFADV_QP_DRIVER_TYPE_SRD;
        bool unsolicited = false;
        if (!read_attr(init_attr, "sl", py::to_u8, efa_attr.sl) ||
            !read_attr(init_attr, "unsolicited_write_recv", py::to_bool, unsolicited)) {
            return nullptr;
        }
        if (unsolicited) {
            efa_attr.flags = EFADV_QP_FLAGS_UNSOLICITED_WRITE_RECV;
        }
        attr.send_ops_flags = send_ops_flags;
        native = _e_create_qp_ex(context, &attr, &efa_attr, sizeof efa_attr);
        if (native == nullptr) {
            return _fail("efadv_create_qp_ex");
        }
    } else if (qp_type == kQPTypeUD) {
        attr.qp_type = IBV_QPT_UD;
        Ref flags = Ref::steal(PyObject_GetAttrString(init_attr, "send_ops_flags"));
        if (!flags) {
            return nullptr;
        }
        if (flags.get() == Py_None) {
            send_ops_flags = kUDSendOps;
        }
        attr.send_ops_flags = send_ops_flags;
        native = _create_qp_ex(context, &attr);
        if (native == nullptr) {
            return _fail("ibv_create_qp_ex");
        }
    } else {
        PyErr_SetString(PyExc_ValueError, "EFA supports qp_type SRD or UD");
        return nullptr;
    }
    return QP_wrap(native, self, send_cq.get(), recv_cq.get(), qp_type, send_ops_flags);
}

PyObject *QP_get_qp_num(PyObject *self, void *)
{
    QPObject *qp = as_qp(self);
    if (!Life::ensure(qp)) {
        return nullptr;
    }
    return PyLong_FromUnsignedLong(qp->_qp->qp_num);
}

PyObject *QP_repr(PyObject *self)
{
    QPObject *qp = as_qp(self);
    if (qp->_qp == nullptr) {
        return PyUnicode_FromString("QP(closed=True)");
    }
    return PyUnicode_FromFormat("QP(qp_num=%u, qp_type=%s)", qp->_qp->qp_num,
                                qp->qp_type == kQPTypeSRD ? "SRD" : "UD");
}

constexpr const char *kQPDoc =
    "An EFA queue pair (SRD or UD).\n"
    "\n"
    "Sends go through the extended work-request API, so every supported opcode,\n"
    "including RDMA read/write on SRD which the classic ``ibv_post_send`` cannot\n"
    "express on this provider, posts uniformly via :meth:`post_send`.";

PyMemberDef QP_members[] = {
    {"pd", T_OBJECT, offsetof(QPObject, pd), READONLY,
     "QP.pd: PD\n\nThe protection domain the queue pair was created from."},
    {"send_cq", T_OBJECT, offsetof(QPObject, send_cq), READONLY,
     "QP.send_cq: CQ | CQEx\n\nThe completion queue of send work requests."},
    {"recv_cq", T_OBJECT, offsetof(QPObject, recv_cq), READONLY,
     "QP.recv_cq: CQ | CQEx\n\nThe completion queue of receive work requests."},
    {"qp_type", T_INT, offsetof(QPObject, qp_type), READONLY,
     "QP.qp_type: int\n\nThe queue-pair type: 255 (SRD) or 4 (UD)."},
    {"send_ops_flags", T_ULONGLONG, offsetof(QPObject, send_ops_flags), READONLY,
     "QP.send_ops_flags: int\n\nThe send operations the queue pair was created with."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef QP_getset[] = {
    {"qp_num", QP_get_qp_num, nullptr,
     "QP.qp_num: int\n\nReturn the provider-assigned queue-pair number.", nullptr},
    {"state", QP_get_state, nullptr,
     "QP.state: int\n\nThe queue pair's current state (authoritative, via query).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot QP_slots[] = {
    {Py_tp_doc, const_cast<char *>(kQPDoc)},
    {Py_tp_new, reinterpret_cast<void *>(Life::tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(Life::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(Life::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(Life::clear)},
    {Py_tp_repr, reinterpret_cast<void *>(QP_repr)},
    {Py_tp_members, QP_members},
    {Py_tp_getset, QP_getset},
    {0, nullptr},
};

PyType_Spec QP_spec = {"vantor._vantor.QP", sizeof(QPObject), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, QP_slots};

const py::FunctionDef kQPMethods[] = {
    {"close", Life::close_method, "QP.close(self)\n\nDestroy this queue pair."},
    {"__enter__", Life::enter_method, "QP.__enter__(self)\n\nReturn the queue pair itself."},
    {"__exit__", Life::exit_method,
     "QP.__exit__(self, *exc)\n\nClose the queue pair; exceptions propagate."},
};

const py::FunctionDef kPDMethods[] = {
    {"create_qp", PD_create_qp,
     "PD.create_qp(self, init_attr) -> 'QP'\n"
     "\n"
     "Create an SRD (default) or UD queue pair from a :class:`QPInitAttr`.\n"
     "\n"
     "SRD queue pairs are created through ``efadv_create_qp_ex``, UD ones through\n"
     "``ibv_create_qp_ex``; both with the extended send-ops work-request interface\n"
     "enabled, on which :meth:`QP.post_send` is built."},
};

}  // namespace

bool qp_ensure(QPObject *self) { return Life::ensure(self); }

PyTypeObject *create_QP_type(PyObject *module) { return py::add_type(module, &QP_spec); }

bool define_qp_methods(PyObject *)
{
    return py::add_methods(types::QP, kQPMethods) && add_qp_state_methods(types::QP) &&
           add_qp_post_methods(types::QP) && py::add_methods(types::PD, kPDMethods);
}

}  // namespace vantor
