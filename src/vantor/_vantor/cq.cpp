// Completion queues: the shared base _CQBase (parents, event counting,
// notification), the classic CQ and the extended EFA CQEx, their creation
// (behind Context.create_cq and create_cq_ex), and the CQAttr layout record.
#include "completions.hpp"
#include "errors.hpp"
#include "lifecycle.hpp"
#include "loader.hpp"
#include "module_types.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/function.hpp"
#include "py/ref.hpp"
#include "py/types.hpp"
#include "record_fields.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <structmember.h>

namespace vantor {
namespace {

using py::Ref;

CQBaseObject *as_base(PyObject *self) { return reinterpret_cast<CQBaseObject *>(self); }
CQObject *as_cq(CQBaseObject *self) { return reinterpret_cast<CQObject *>(self); }
CQExObject *as_cq_ex(CQBaseObject *self) { return reinterpret_cast<CQExObject *>(self); }

ContextObject *owning_context(CQBaseObject *self)
{
    return self->context == nullptr ? nullptr : as_context(self->context);
}

// Acknowledges what the queue still counts, then destroys it. libibverbs'
// destroy waits for every delivered event to be acknowledged, so without
// this a destroy could block for ever.
bool destroy_queue(CQBaseObject *self, ibv_cq *handle, bool report)
{
    // A thread waiting on the queue's channel may already hold one of its
    // events: destroying now would wait for an acknowledgement that thread
    // cannot give while we hold the GIL, and it would come back with the
    // address of a freed object. close() refuses; a dropped queue is
    // destroyed by the channel once its waiters are gone (and stays
    // counted in its context until then).
    if (CompChannelObject *chan = comp_channel_waited(handle->channel)) {
        if (report) {
            raise_efa_error("ibv_destroy_cq", EBUSY);
        } else if (comp_channel_defer_destroy(chan, handle, self->_unacked)) {
            self->_unacked = 0;
        }
        return false;
    }
    if (self->_unacked > 0) {
        _v_ack_cq_events(handle, static_cast<unsigned int>(self->_unacked));
        self->_unacked = 0;
    }
    int rc = _v_destroy_cq(handle);
    if (rc != 0) {
        if (report) {
            raise_rc("ibv_destroy_cq", rc);
        }
        return false;
    }
    return true;
}

struct CQBaseTraits {
    using Object = CQBaseObject;
    static constexpr const char *closed_message = "completion queue is closed";
    static constexpr const char *destroy_call = "ibv_destroy_cq";
    static constexpr const char *dealloc_context = "vantor._vantor._CQBase.__dealloc__";
    static constexpr bool gc = true;
    static constexpr bool counted = true;
    static constexpr PyObject *Object::*refs[] = {&CQBaseObject::context, &CQBaseObject::channel};

    static ContextObject *counted_in(Object *self) { return owning_context(self); }
    static bool is_open(const Object *self)
    {
        return cq_ptr(reinterpret_cast<PyObject *>(const_cast<Object *>(self))) != nullptr;
    }
    // Only CQ and CQEx own a handle; their own traits free it.
    static bool destroy(Object *, bool) { return true; }
    static void after_destroy(Object *) {}
};

struct CQTraits : CQBaseTraits {
    static constexpr const char *dealloc_context = "vantor._vantor.CQ.__dealloc__";
    static bool is_open(const Object *self)
    {
        return reinterpret_cast<const CQObject *>(self)->_cq != nullptr;
    }
    static bool destroy(Object *self, bool report)
    {
        return destroy_queue(self, as_cq(self)->_cq, report);
    }
    static void after_destroy(Object *self) { as_cq(self)->_cq = nullptr; }
};

struct CQExTraits : CQBaseTraits {
    static constexpr const char *dealloc_context = "vantor._vantor.CQEx.__dealloc__";
    static bool is_open(const Object *self)
    {
        return reinterpret_cast<const CQExObject *>(self)->_cqx != nullptr;
    }
    static bool destroy(Object *self, bool report)
    {
        return destroy_queue(self, cq_handle(as_cq_ex(self)), report);
    }
    static void after_destroy(Object *self)
    {
        as_cq_ex(self)->_cqx = nullptr;
        as_cq_ex(self)->_ecq = nullptr;
    }
};

using BaseLife = Lifecycle<CQBaseTraits>;
using CQLife = Lifecycle<CQTraits>;
using CQExLife = Lifecycle<CQExTraits>;

// ---- CQAttr -------------------------------------------------------------

// CQAttr() takes no arguments, unless a subclass brings its own __init__.
PyObject *CQAttr_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    if (type->tp_init == PyBaseObject_Type.tp_init &&
        (PyTuple_GET_SIZE(args) != 0 || (kwds != nullptr && PyDict_GET_SIZE(kwds) != 0))) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments", type->tp_name);
        return nullptr;
    }
    return type->tp_alloc(type, 0);
}

void CQAttr_dealloc(PyObject *obj)
{
    PyTypeObject *type = Py_TYPE(obj);
    type->tp_free(obj);
    Py_DECREF(type);
}

PyObject *CQAttr_repr(PyObject *self)
{
    const CQAttrObject *attr = reinterpret_cast<const CQAttrObject *>(self);
    // PyUnicode_FromFormat has no 64-bit hexadecimal conversion.
    char text[128];
    int n = std::snprintf(
        text, sizeof(text),
        "CQAttr(buffer_addr=0x%llx, entry_size=%u, num_entries=%u, doorbell_addr=0x%llx)",
        static_cast<unsigned long long>(attr->buffer_addr), attr->entry_size, attr->num_entries,
        static_cast<unsigned long long>(attr->doorbell_addr));
    return PyUnicode_FromStringAndSize(text, n);
}

auto cq_attr_members = record_fields::readonly_members(record_fields::CQAttr::fields);

PyType_Slot cq_attr_slots[] = {
    {Py_tp_doc,
     const_cast<char *>("An EFA completion queue's direct layout, from ``efadv_query_cq``.")},
    {Py_tp_new, reinterpret_cast<void *>(CQAttr_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(CQAttr_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(CQAttr_repr)},
    {Py_tp_members, cq_attr_members.data()},
    {0, nullptr},
};

PyType_Spec cq_attr_spec = {"vantor._vantor.CQAttr", sizeof(CQAttrObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, cq_attr_slots};

// ---- creation -------------------------------------------------------------

// The checks both creation calls share, after argument conversion and the
// context's own check: cqe, comp_vector and the channel. Yields the native
// channel, marked in use by `channel_use` until the queue is created.
bool check_creation(ContextObject *context, int cqe, int comp_vector, PyObject *channel,
                    InUse<CompChannelObject> &channel_use, ibv_comp_channel *&native_channel)
{
    if (cqe < 1) {
        PyErr_SetString(PyExc_ValueError, "cqe must be positive");
        return false;
    }
    if (comp_vector < 0 || comp_vector >= context->_ctx->num_comp_vectors) {
        PyErr_SetString(PyExc_ValueError, "comp_vector is outside the context's range");
        return false;
    }
    native_channel = nullptr;
    if (channel == Py_None) {
        return true;
    }
    if (!py::check_type(channel, types::CompChannel, "channel")) {
        return false;
    }
    CompChannelObject *chan = reinterpret_cast<CompChannelObject *>(channel);
    channel_use.hold(chan);
    if (!comp_channel_ensure(chan)) {
        return false;
    }
    if (chan->context != reinterpret_cast<PyObject *>(context)) {
        PyErr_SetString(PyExc_ValueError, "completion channel must belong to this context");
        return false;
    }
    native_channel = chan->_chan;
    return true;
}

// A bare queue object holding its parents, before the native call.
template <typename T>
T *new_queue(PyTypeObject *type, PyObject *context, PyObject *channel)
{
    T *queue = py::alloc_bare<T>(type);
    if (queue != nullptr) {
        Py_INCREF(context);
        queue->base.context = context;
        Py_INCREF(channel);
        queue->base.channel = channel;
    }
    return queue;
}

}  // namespace

PyObject *cq_create(ContextObject *context, int cqe, PyObject *channel, int comp_vector)
{
    PyObject *self = reinterpret_cast<PyObject *>(context);
    InUse<CompChannelObject> channel_use;
    ibv_comp_channel *native_channel;
    if (!check_creation(context, cqe, comp_vector, channel, channel_use, native_channel)) {
        return nullptr;
    }
    CQObject *cq = new_queue<CQObject>(types::CQ, self, channel);
    if (cq == nullptr) {
        return nullptr;
    }
    cq->_cq = _v_create_cq(context->_ctx, cqe, cq, native_channel, comp_vector);
    if (cq->_cq == nullptr) {
        raise_errno("ibv_create_cq");
        Py_DECREF(cq);
        return nullptr;
    }
    context_add_child(context);
    return reinterpret_cast<PyObject *>(cq);
}

PyObject *cq_ex_create(ContextObject *context, const CQExRequest &request)
{
    PyObject *self = reinterpret_cast<PyObject *>(context);
    const int cqe = request.cqe;
    const int comp_vector = request.comp_vector;
    const bool sgid = request.sgid;
    const bool unsolicited = request.unsolicited;
    PyObject *channel = request.channel;
    InUse<CompChannelObject> channel_use;
    ibv_comp_channel *native_channel;
    if (!check_creation(context, cqe, comp_vector, channel, channel_use, native_channel)) {
        return nullptr;
    }
    uint64_t wc_flags = IBV_WC_STANDARD_FLAGS;
    if (request.wc_flags != nullptr && request.wc_flags != Py_None) {
        Ref mask = Ref::steal(py::to_pyint(request.wc_flags));
        if (!mask || !py::to_u64(mask.get(), wc_flags)) {
            return nullptr;
        }
    }
    ibv_cq_init_attr_ex attr{};
    attr.cqe = static_cast<uint32_t>(cqe);
    attr.cq_context = nullptr;
    attr.channel = native_channel;
    attr.comp_vector = static_cast<uint32_t>(comp_vector);
    attr.wc_flags = wc_flags;
    efadv_cq_init_attr efa_attr{};
    efa_attr.wc_flags =
        (sgid ? EFADV_WC_EX_WITH_SGID : 0) | (unsolicited ? EFADV_WC_EX_WITH_IS_UNSOLICITED : 0);

    CQExObject *cq = new_queue<CQExObject>(types::CQEx, self, channel);
    if (cq == nullptr) {
        return nullptr;
    }
    cq->_cqx = _e_create_cq(context->_ctx, &attr, &efa_attr, sizeof(efa_attr));
    if (cq->_cqx == nullptr) {
        raise_errno("efadv_create_cq");
        Py_DECREF(cq);
        return nullptr;
    }
    // Before anything can arm or poll the queue: get_cq_event() maps the
    // event back to this object through it.
    cq->_cqx->cq_context = cq;
    if (efa_attr.wc_flags != 0) {
        cq->_ecq = _e_cq_from_cq_ex(cq->_cqx);
        if (cq->_ecq == nullptr) {
            // Without the EFA view the requested metadata would silently
            // read as absent; refuse the queue instead.
            raise_errno("efadv_cq_from_ibv_cq_ex");
            py::SavedError saved;
            _v_destroy_cq(ibv_cq_ex_to_cq(cq->_cqx));
            cq->_cqx = nullptr;
            Py_DECREF(cq);
            return nullptr;
        }
    }
    cq->_sgid = sgid ? 1 : 0;
    cq->_unsolicited = unsolicited ? 1 : 0;
    cq->_wc_flags = wc_flags;
    context_add_child(context);
    return reinterpret_cast<PyObject *>(cq);
}

namespace {

// ---- _CQBase operations ---------------------------------------------------

PyObject *CQBase_close(PyObject *, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames)
{
    if (!py::no_args("close", nargs, kwnames)) {
        return nullptr;
    }
    PyErr_SetNone(PyExc_NotImplementedError);
    return nullptr;
}

const char *const kReqNotifyNames[] = {"solicited_only", nullptr};
const py::ArgSpec kReqNotifyArgs{"req_notify", kReqNotifyNames, 0};

PyObject *CQBase_req_notify(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames)
{
    PyObject *value;
    bool solicited_only = false;
    if (!kReqNotifyArgs.parse(args, nargs, kwnames, &value) ||
        (value != nullptr && !py::to_bool(value, solicited_only)) || !cq_ensure(self)) {
        return nullptr;
    }
    int rc = ibv_req_notify_cq(cq_ptr(self), solicited_only ? 1 : 0);
    if (rc != 0) {
        return raise_rc("ibv_req_notify_cq", rc);
    }
    Py_RETURN_NONE;
}

const char *const kAckNames[] = {"nevents", nullptr};
const py::ArgSpec kAckArgs{"ack_events", kAckNames, 0};

PyObject *CQBase_ack_events(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames)
{
    PyObject *value;
    unsigned int nevents = 1;
    if (!kAckArgs.parse(args, nargs, kwnames, &value) ||
        (value != nullptr && !py::to_uint(value, nevents)) || !cq_ensure(self)) {
        return nullptr;
    }
    CQBaseObject *base = as_base(self);
    if (nevents == 0) {
        PyErr_SetString(PyExc_ValueError, "nevents must be positive");
        return nullptr;
    }
    if (base->_unacked < 0 || nevents > static_cast<unsigned int>(base->_unacked)) {
        PyErr_SetString(PyExc_ValueError, "cannot acknowledge more CQ events than were received");
        return nullptr;
    }
    _v_ack_cq_events(cq_ptr(self), nevents);
    base->_unacked -= static_cast<int32_t>(nevents);
    Py_RETURN_NONE;
}

PyObject *CQBase_get_cqe(PyObject *self, void *)
{
    if (!cq_ensure(self)) {
        return nullptr;
    }
    return PyLong_FromLong(cq_ptr(self)->cqe);
}

PyObject *CQ_query_efa(PyObject *self, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames)
{
    if (!py::no_args("query_efa", nargs, kwnames) || !cq_ensure(self)) {
        return nullptr;
    }
    if (_e_query_cq == nullptr) {
        PyErr_SetString(PyExc_RuntimeError,
                        "efadv_query_cq is unavailable: this libefa predates EFA 1.4");
        return nullptr;
    }
    efadv_cq_attr attr{};
    int rc = _e_query_cq(cq_ptr(self), &attr, sizeof(attr));
    if (rc != 0) {
        return raise_rc("efadv_query_cq", rc);
    }
    CQAttrObject *result = py::alloc_bare<CQAttrObject>(types::CQAttr);
    if (result == nullptr) {
        return nullptr;
    }
    result->buffer_addr = reinterpret_cast<uintptr_t>(attr.buffer);
    result->entry_size = attr.entry_size;
    result->num_entries = attr.num_entries;
    result->doorbell_addr = reinterpret_cast<uintptr_t>(attr.doorbell);
    return reinterpret_cast<PyObject *>(result);
}

PyObject *CQEx_get_sgid_enabled(PyObject *self, void *)
{
    return PyBool_FromLong(as_cq_ex(as_base(self))->_sgid != 0);
}

PyObject *CQEx_get_unsolicited_enabled(PyObject *self, void *)
{
    return PyBool_FromLong(as_cq_ex(as_base(self))->_unsolicited != 0);
}

// ---- types ------------------------------------------------------------------

PyMemberDef base_members[] = {
    {"context", T_OBJECT, offsetof(CQBaseObject, context), READONLY,
     "_CQBase.context: Context\n\nThe context the queue was created from."},
    {"channel", T_OBJECT, offsetof(CQBaseObject, channel), READONLY,
     "_CQBase.channel: CompChannel | None\n\nThe completion channel given at creation."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef base_getset[] = {
    {"cqe", CQBase_get_cqe, nullptr,
     "_CQBase.cqe: int\n\nReturn the completion queue's actual entry capacity.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef cq_ex_getset[] = {
    {"sgid_enabled", CQEx_get_sgid_enabled, nullptr,
     "CQEx.sgid_enabled: bool\n\nWhether polled completions request sender GID metadata.", nullptr},
    {"unsolicited_enabled", CQEx_get_unsolicited_enabled, nullptr,
     "CQEx.unsolicited_enabled: bool\n\nWhether unsolicited-write completion metadata is "
     "enabled.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr unsigned long kQueueFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

PyType_Slot base_slots[] = {
    {Py_tp_doc, const_cast<char *>("Shared plumbing for CQ and CQEx.")},
    {Py_tp_new, reinterpret_cast<void *>(BaseLife::tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(BaseLife::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(BaseLife::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(BaseLife::clear)},
    {Py_tp_members, base_members},
    {Py_tp_getset, base_getset},
    {0, nullptr},
};
PyType_Spec base_spec = {"vantor._vantor._CQBase", sizeof(CQBaseObject), 0, kQueueFlags,
                         base_slots};

PyType_Slot cq_slots[] = {
    {Py_tp_doc, const_cast<char *>("A classic completion queue (``ibv_cq``).")},
    {Py_tp_dealloc, reinterpret_cast<void *>(CQLife::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(CQLife::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(CQLife::clear)},
    {0, nullptr},
};
PyType_Spec cq_spec = {"vantor._vantor.CQ", sizeof(CQObject), 0, kQueueFlags, cq_slots};

constexpr const char *kCQExDoc =
    "An extended EFA completion queue (``efadv_create_cq``).\n"
    "\n"
    "Functionally a CQ plus optional sender-GID reporting (``sgid=True``): SRD/UD\n"
    "receivers can identify peers they have not seen before straight from the\n"
    "completion (see ``WC.sgid``).";

PyType_Slot cq_ex_slots[] = {
    {Py_tp_doc, const_cast<char *>(kCQExDoc)},
    {Py_tp_dealloc, reinterpret_cast<void *>(CQExLife::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(CQExLife::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(CQExLife::clear)},
    {Py_tp_getset, cq_ex_getset},
    {0, nullptr},
};
PyType_Spec cq_ex_spec = {"vantor._vantor.CQEx", sizeof(CQExObject), 0, kQueueFlags, cq_ex_slots};

const py::FunctionDef kBaseMethods[] = {
    {"req_notify", CQBase_req_notify,
     "_CQBase.req_notify(self, bool solicited_only=False)\n\n"
     "Request a completion notification on the CQ's channel."},
    {"ack_events", CQBase_ack_events,
     "_CQBase.ack_events(self, unsigned int nevents=1)\n\n"
     "Acknowledge ``nevents`` events delivered via the channel."},
    {"close", CQBase_close, "_CQBase.close(self)\n\nDestroy this completion queue."},
    {"__enter__", BaseLife::enter_method, "_CQBase.__enter__(self)\n\nReturn the queue itself."},
    {"__exit__", BaseLife::exit_method,
     "_CQBase.__exit__(self, *exc)\n\nClose the queue; exceptions propagate."},
};

// One text for both queues' poll_into (a literal, as the method tables
// need).
#define POLL_INTO_DOC(cls)                                                                         \
    cls ".poll_into(self, list wcs, num_entries=None) -> int\n\n"                                  \
        "Poll up to ``num_entries`` completions (default: ``len(wcs)``) into the WC\n"             \
        "objects at the start of ``wcs``, overwriting them; return how many were\n"                \
        "filled. The list's objects are reused rather than new ones made, so a\n"                  \
        "polling loop can keep one list for all its polls; a WC of a previous\n"                   \
        "poll that is kept elsewhere changes with it. Every WC is checked before\n"                \
        "anything is polled; when the poll itself fails, the WCs may be partly\n"                  \
        "overwritten."

const py::FunctionDef kCQMethods[] = {
    {"poll", cq_poll,
     "CQ.poll(self, int num_entries) -> list\n\n"
     "Poll up to ``num_entries`` completions; return a list of WC."},
    {"poll_into", cq_poll_into, POLL_INTO_DOC("CQ")},
    {"query_efa", CQ_query_efa,
     "CQ.query_efa(self) -> CQAttr\n\nReturn the provider's direct CQ layout (EFA 1.4 or newer)."},
    {"close", CQLife::close_method, "CQ.close(self)\n\nDestroy this classic completion queue."},
};

const py::FunctionDef kCQExMethods[] = {
    {"poll", cq_ex_poll,
     "CQEx.poll(self, int num_entries) -> list\n\n"
     "Poll up to ``num_entries`` completions; return a list of WC."},
    {"poll_into", cq_ex_poll_into, POLL_INTO_DOC("CQEx")},
    {"query_efa", CQ_query_efa,
     "CQEx.query_efa(self) -> CQAttr\n\n"
     "Return the provider's direct CQ layout (EFA 1.4 or newer)."},
    {"close", CQExLife::close_method,
     "CQEx.close(self)\n\nDestroy this extended completion queue."},
};

}  // namespace

PyTypeObject *create_CQAttr_type(PyObject *module) { return py::add_type(module, &cq_attr_spec); }

PyTypeObject *create__CQBase_type(PyObject *module) { return py::add_type(module, &base_spec); }

PyTypeObject *create_CQ_type(PyObject *module)
{
    return py::add_type(module, &cq_spec, types::_CQBase);
}

PyTypeObject *create_CQEx_type(PyObject *module)
{
    return py::add_type(module, &cq_ex_spec, types::_CQBase);
}

ibv_cq *cq_ptr(PyObject *cq)
{
    // The exact extended type first: its poll is the hot caller, and a
    // subtype test against CQ would walk its MRO every time.
    if (Py_IS_TYPE(cq, types::CQEx)) {
        return cq_handle(reinterpret_cast<CQExObject *>(cq));
    }
    if (PyObject_TypeCheck(cq, types::CQ)) {
        return cq_handle(reinterpret_cast<CQObject *>(cq));
    }
    if (PyObject_TypeCheck(cq, types::CQEx)) {
        return cq_handle(reinterpret_cast<CQExObject *>(cq));
    }
    return nullptr;
}

bool cq_ensure(PyObject *cq) { return BaseLife::ensure(as_base(cq)); }

const py::MethodTable _CQBase_methods = py::method_table(types::_CQBase, kBaseMethods);
const py::MethodTable CQ_methods = py::method_table(types::CQ, kCQMethods);
const py::MethodTable CQEx_methods = py::method_table(types::CQEx, kCQExMethods);

}  // namespace vantor
