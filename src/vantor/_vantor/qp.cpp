// QP: an SRD or UD queue pair, always created with the extended
// work-request interface (every send, RDMA included, is posted through it),
// its creation behind PD.create_qp, and its method table (the state machine
// and the data path live in qp_state.cpp and post.cpp).
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
                raise_rc("ibv_destroy_qp", rc);
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

// A queue pair's queue: only a _CQBase (CQ, CQEx or a subclass) will do; its native
// ibv_cq as the queue itself reports it, the queue marked in use by `use`.
ibv_cq *checked_cq_ptr(PyObject *obj, InUse<CQBaseObject> &use)
{
    if (!PyObject_TypeCheck(obj, types::_CQBase)) {
        Ref got = Ref::steal(py::qualified_type_name(obj));
        Ref expected = Ref::steal(py::qualified_name(types::_CQBase));
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
ibv_qp *verbs_create_qp_ex(ibv_context *context, ibv_qp_init_attr_ex *attr)
{
    verbs_context *vctx = verbs_get_ctx_op(context, create_qp_ex);
    if (vctx == nullptr) {
        errno = EOPNOTSUPP;
        return nullptr;
    }
    return vctx->create_qp_ex(context, attr);
}

// A new QP object owning `native` from here on, on failure paths too.
PyObject *qp_wrap(ibv_qp *native, PyObject *pd, PyObject *send_cq, PyObject *recv_cq,
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
        return raise_errno("ibv_qp_to_qp_ex", err);
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

// What create_qp reads from its init_attr, apart from the queues.
struct QPRequest {
    int qp_type = 0;
    bool sq_sig_all = false;
    ibv_qp_cap cap{};
    uint64_t send_ops_flags = 0;
    uint8_t sl = 0;                       // SRD only
    bool unsolicited_write_recv = false;  // SRD only
};

// The two queues of a new queue pair, each held in use from its check until
// the queue pair exists (reading the other attributes may run Python code).
struct QPQueues {
    Ref send;
    Ref recv;
    InUse<CQBaseObject> send_use;
    InUse<CQBaseObject> recv_use;
    ibv_cq *native_send = nullptr;
    ibv_cq *native_recv = nullptr;
};

bool take_queues(PDObject *pd, PyObject *init_attr, QPQueues &queues)
{
    queues.send = Ref::steal(PyObject_GetAttrString(init_attr, "send_cq"));
    if (!queues.send) {
        return false;
    }
    queues.recv = Ref::steal(PyObject_GetAttrString(init_attr, "recv_cq"));
    if (!queues.recv) {
        return false;
    }
    queues.native_send = checked_cq_ptr(queues.send.get(), queues.send_use);
    if (queues.native_send == nullptr) {
        return false;
    }
    queues.native_recv = checked_cq_ptr(queues.recv.get(), queues.recv_use);
    if (queues.native_recv == nullptr) {
        return false;
    }
    if (reinterpret_cast<CQBaseObject *>(queues.send.get())->context != pd->context ||
        reinterpret_cast<CQBaseObject *>(queues.recv.get())->context != pd->context) {
        PyErr_SetString(PyExc_ValueError, "queue-pair CQs must belong to the PD's context");
        return false;
    }
    return true;
}

// The scalar attributes, each read once; send_ops_flags None means every
// operation the type supports.
bool read_request(PyObject *init_attr, QPRequest &request)
{
    if (!read_attr(init_attr, "qp_type", py::to_int, request.qp_type) ||
        !read_attr(init_attr, "sq_sig_all", py::to_bool, request.sq_sig_all) ||
        !read_attr(init_attr, "max_send_wr", py::to_u32, request.cap.max_send_wr) ||
        !read_attr(init_attr, "max_recv_wr", py::to_u32, request.cap.max_recv_wr) ||
        !read_attr(init_attr, "max_send_sge", py::to_u32, request.cap.max_send_sge) ||
        !read_attr(init_attr, "max_recv_sge", py::to_u32, request.cap.max_recv_sge) ||
        !read_attr(init_attr, "max_inline_data", py::to_u32, request.cap.max_inline_data)) {
        return false;
    }
    Ref flags = Ref::steal(PyObject_GetAttrString(init_attr, "send_ops_flags"));
    if (!flags) {
        return false;
    }
    if (flags.get() == Py_None) {
        request.send_ops_flags = request.qp_type == kQPTypeSRD ? kAllSendOps : kUDSendOps;
    } else if (!py::to_u64(flags.get(), request.send_ops_flags)) {
        return false;
    }
    if (request.qp_type == kQPTypeSRD) {
        return read_attr(init_attr, "sl", py::to_u8, request.sl) &&
               read_attr(init_attr, "unsolicited_write_recv", py::to_bool,
                         request.unsolicited_write_recv);
    }
    return true;
}

bool validate_request(const QPRequest &request)
{
    if (request.qp_type != kQPTypeSRD && request.qp_type != kQPTypeUD) {
        PyErr_SetString(PyExc_ValueError, "EFA supports qp_type SRD or UD");
        return false;
    }
    return true;
}

// The native queue pair: SRD through libefa, UD through the verbs table.
ibv_qp *create_native(PDObject *pd, const QPQueues &queues, const QPRequest &request)
{
    ibv_qp_init_attr_ex attr;
    std::memset(&attr, 0, sizeof attr);
    attr.send_cq = queues.native_send;
    attr.recv_cq = queues.native_recv;
    attr.cap = request.cap;
    attr.sq_sig_all = request.sq_sig_all ? 1 : 0;
    attr.comp_mask = IBV_QP_INIT_ATTR_PD | IBV_QP_INIT_ATTR_SEND_OPS_FLAGS;
    attr.pd = pd->_pd;
    attr.send_ops_flags = request.send_ops_flags;
    ibv_context *context = reinterpret_cast<ContextObject *>(pd->context)->_ctx;
    if (request.qp_type == kQPTypeUD) {
        attr.qp_type = IBV_QPT_UD;
        ibv_qp *native = verbs_create_qp_ex(context, &attr);
        if (native == nullptr) {
            raise_errno("ibv_create_qp_ex");
        }
        return native;
    }
    attr.qp_type = IBV_QPT_DRIVER;
    efadv_qp_init_attr efa_attr;
    std::memset(&efa_attr, 0, sizeof efa_attr);
    efa_attr.driver_qp_type = EFADV_QP_DRIVER_TYPE_SRD;
    efa_attr.sl = request.sl;
    if (request.unsolicited_write_recv) {
        efa_attr.flags = EFADV_QP_FLAGS_UNSOLICITED_WRITE_RECV;
    }
    ibv_qp *native = _e_create_qp_ex(context, &attr, &efa_attr, sizeof efa_attr);
    if (native == nullptr) {
        raise_errno("efadv_create_qp_ex");
    }
    return native;
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
    {"to_init", QP_to_init,
     "QP.to_init(self, qkey, int port=1, int pkey_index=0)\n"
     "\n"
     "Transition RESET -> INIT.\n"
     "\n"
     "``qkey`` authorizes incoming datagrams; ``port`` selects the local physical\n"
     "port and ``pkey_index`` its partition-key entry."},
    {"to_rtr", QP_to_rtr,
     "QP.to_rtr(self)\n\nTransition INIT -> RTR (connectionless: no remote info needed)."},
    {"to_rts", QP_to_rts,
     "QP.to_rts(self, psn=0, rnr_retry=None)\n"
     "\n"
     "Transition RTR -> RTS.\n"
     "\n"
     "``psn`` sets the starting send packet sequence number. ``rnr_retry`` (0-7,\n"
     "7 = infinite) is EFA's receiver-not-ready retry count and needs\n"
     "``vantor.enums.EfaDeviceCaps.RNR_RETRY``."},
    {"prepare", QP_prepare,
     "QP.prepare(self, qkey, int port=1, psn=0, rnr_retry=None)\n"
     "\n"
     "Drive RESET -> INIT -> RTR -> RTS in one call and return the queue pair.\n"
     "\n"
     "SRD and UD are connectionless, so the queue pair is fully usable afterwards\n"
     "without remote information: destinations are named per send. ``qkey``,\n"
     "``port``, ``psn`` and ``rnr_retry`` are forwarded to :meth:`to_init`,\n"
     ":meth:`to_rtr` and :meth:`to_rts`."},
    {"modify", QP_modify,
     "QP.modify(self, int attr_mask, **fields)\n"
     "\n"
     "Low-level ``ibv_modify_qp``.\n"
     "\n"
     "``attr_mask`` is an ORed ``vantor.enums.QPAttrMask``; scalar attributes are\n"
     "passed as keywords (e.g. ``qp_state=``, ``qkey=``)."},
    {"query", QP_query,
     "QP.query(self)\n\nReturn ``(attrs, cap)`` for the queue pair as plain dict + "
     ":class:`QPCap`."},
    {"query_wqs", QP_query_wqs,
     "QP.query_wqs(self)\n\nReturn ``(sq, rq)`` :class:`WQAttr` (``efadv_query_qp_wqs``, "
     "EFA >= 1.4)."},
    {"post_send", QP_post_send,
     "QP.post_send(self, wrs)\n"
     "\n"
     "Post one or more :class:`SendWR` as a single batch.\n"
     "\n"
     "All work requests are queued between ``wr_start``/``wr_complete``, so either\n"
     "the whole batch is submitted or none of it is. EFA requires every send work\n"
     "request to carry ``vantor.enums.SendFlags.SIGNALED`` (or the queue pair must\n"
     "be created with ``sq_sig_all=True``); an unsignaled request fails the batch\n"
     "with EINVAL."},
    {"post_recv", QP_post_recv,
     "QP.post_recv(self, wrs)\n\nPost one or more :class:`RecvWR` to the receive queue."},
};

}  // namespace

bool qp_ensure(QPObject *self) { return Life::ensure(self); }

PyObject *qp_create(PDObject *pd, PyObject *init_attr)
{
    QPQueues queues;
    QPRequest request;
    if (!take_queues(pd, init_attr, queues) || !read_request(init_attr, request) ||
        !validate_request(request)) {
        return nullptr;
    }
    ibv_qp *native = create_native(pd, queues, request);
    if (native == nullptr) {
        return nullptr;
    }
    return qp_wrap(native, reinterpret_cast<PyObject *>(pd), queues.send.get(), queues.recv.get(),
                   request.qp_type, request.send_ops_flags);
}

PyTypeObject *create_QP_type(PyObject *module) { return py::add_type(module, &QP_spec); }

const py::MethodTable QP_methods = py::method_table(types::QP, kQPMethods);

}  // namespace vantor
