// Context: the open device context, its queries, its child counter and its
// factories (each child's own file makes the child).
#include "context.hpp"

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
#include "records.hpp"

#include <cerrno>
#include <cstring>
#include <structmember.h>

namespace vantor {
namespace {

using py::Ref;

struct ContextTraits {
    using Object = ContextObject;
    static constexpr const char *closed_message = "context is closed";
    static constexpr const char *destroy_call = "ibv_close_device";
    static constexpr bool gc = false;
    static constexpr PyObject *Object::*refs[] = {&ContextObject::name};
    static ContextObject *counted_in(Object *) { return nullptr; }
    static bool is_open(const Object *self) { return self->_ctx != nullptr; }
    // Never closes under counted children: they may still use the context.
    static bool destroy(Object *self, bool report)
    {
        if (self->_children != 0) {
            if (report) {
                Ref detail = Ref::steal(PyUnicode_FromFormat(
                    "cannot close context with %u open child resource(s)", self->_children));
                if (detail) {
                    raise_efa_error("ibv_close_device", EBUSY, detail.get());
                }
            }
            return false;
        }
        if (_v_close_device(self->_ctx) != 0) {
            if (report) {
                raise_errno("ibv_close_device");
            }
            return false;
        }
        return true;
    }
    static void after_destroy(Object *self) { self->_ctx = nullptr; }
};

using ContextLife = Lifecycle<ContextTraits>;

ContextObject *self_context(PyObject *self) { return reinterpret_cast<ContextObject *>(self); }

PyObject *Context_is_efa(PyObject *self, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames)
{
    if (!py::no_args("is_efa", nargs, kwnames) || !context_ensure(self_context(self))) {
        return nullptr;
    }
    efadv_device_attr attr;
    std::memset(&attr, 0, sizeof attr);
    int rc = _e_query_device(self_context(self)->_ctx, &attr, sizeof attr);
    return PyBool_FromLong(rc == 0);
}

PyObject *Context_query_device(PyObject *self, PyObject *const *, Py_ssize_t nargs,
                               PyObject *kwnames)
{
    if (!py::no_args("query_device", nargs, kwnames) || !context_ensure(self_context(self))) {
        return nullptr;
    }
    ibv_device_attr attr;
    std::memset(&attr, 0, sizeof attr);
    int rc = _v_query_device(self_context(self)->_ctx, &attr);
    if (rc != 0) {
        return raise_rc("ibv_query_device", rc);
    }
    Ref fw_ver = Ref::steal(PyUnicode_DecodeUTF8(
        attr.fw_ver, static_cast<Py_ssize_t>(strnlen(attr.fw_ver, sizeof attr.fw_ver)), "strict"));
    if (!fw_ver) {
        return nullptr;
    }
    auto *out = py::alloc_bare<DeviceAttrObject>(types::DeviceAttr);
    if (out == nullptr) {
        return nullptr;
    }
    out->fw_ver = fw_ver.release();
    out->node_guid = attr.node_guid;
    out->sys_image_guid = attr.sys_image_guid;
    out->max_mr_size = attr.max_mr_size;
    out->vendor_id = attr.vendor_id;
    out->vendor_part_id = attr.vendor_part_id;
    out->hw_ver = attr.hw_ver;
    out->max_qp = attr.max_qp;
    out->max_qp_wr = attr.max_qp_wr;
    out->max_sge = attr.max_sge;
    out->max_cq = attr.max_cq;
    out->max_cqe = attr.max_cqe;
    out->max_mr = attr.max_mr;
    out->max_pd = attr.max_pd;
    out->max_ah = attr.max_ah;
    out->max_pkeys = attr.max_pkeys;
    out->phys_port_cnt = attr.phys_port_cnt;
    return reinterpret_cast<PyObject *>(out);
}

PyObject *Context_query_efa_device(PyObject *self, PyObject *const *, Py_ssize_t nargs,
                                   PyObject *kwnames)
{
    if (!py::no_args("query_efa_device", nargs, kwnames) || !context_ensure(self_context(self))) {
        return nullptr;
    }
    efadv_device_attr attr;
    std::memset(&attr, 0, sizeof attr);
    int rc = _e_query_device(self_context(self)->_ctx, &attr, sizeof attr);
    if (rc != 0) {
        return raise_rc("efadv_query_device", rc);
    }
    auto *out = py::alloc_bare<EfaDeviceAttrObject>(types::EfaDeviceAttr);
    if (out == nullptr) {
        return nullptr;
    }
    out->max_sq_wr = attr.max_sq_wr;
    out->max_rq_wr = attr.max_rq_wr;
    out->max_sq_sge = attr.max_sq_sge;
    out->max_rq_sge = attr.max_rq_sge;
    out->inline_buf_size = attr.inline_buf_size;
    out->device_caps = attr.device_caps;
    out->max_rdma_size = attr.max_rdma_size;
    return reinterpret_cast<PyObject *>(out);
}

// The library takes port numbers as 8 bits: a wider value would silently
// name another port.
bool check_port_num(int port_num)
{
    if (port_num < 0 || port_num > 255) {
        PyErr_SetString(PyExc_ValueError, "port_num must be between 0 and 255");
        return false;
    }
    return true;
}

const char *const kQueryPortNames[] = {"port_num", nullptr};
const py::ArgSpec kQueryPortArgs{"query_port", kQueryPortNames, 0};

PyObject *Context_query_port(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                             PyObject *kwnames)
{
    PyObject *values[1];
    if (!kQueryPortArgs.parse(args, nargs, kwnames, values)) {
        return nullptr;
    }
    int port_num = 1;
    if (values[0] != nullptr && !py::to_int(values[0], port_num)) {
        return nullptr;
    }
    if (!context_ensure(self_context(self)) || !check_port_num(port_num)) {
        return nullptr;
    }
    ibv_port_attr attr;
    std::memset(&attr, 0, sizeof attr);
    // The exported function, which takes the port number as 8 bits.
    int rc = _v_query_port(self_context(self)->_ctx, static_cast<uint8_t>(port_num),
                           reinterpret_cast<_compat_ibv_port_attr *>(&attr));
    if (rc != 0) {
        return raise_rc("ibv_query_port", rc);
    }
    auto *out = py::alloc_bare<PortAttrObject>(types::PortAttr);
    if (out == nullptr) {
        return nullptr;
    }
    out->state = attr.state;
    out->max_mtu = attr.max_mtu;
    out->active_mtu = attr.active_mtu;
    out->gid_tbl_len = attr.gid_tbl_len;
    out->port_cap_flags = attr.port_cap_flags;
    out->max_msg_sz = attr.max_msg_sz;
    out->pkey_tbl_len = attr.pkey_tbl_len;
    out->lid = attr.lid;
    out->active_width = attr.active_width;
    out->active_speed = attr.active_speed;
    out->link_layer = attr.link_layer;
    return reinterpret_cast<PyObject *>(out);
}

const char *const kQueryGidNames[] = {"port_num", "index", nullptr};
const py::ArgSpec kQueryGidArgs{"query_gid", kQueryGidNames, 0};

PyObject *Context_query_gid(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames)
{
    PyObject *values[2];
    if (!kQueryGidArgs.parse(args, nargs, kwnames, values)) {
        return nullptr;
    }
    int port_num = 1;
    int index = 0;
    if ((values[0] != nullptr && !py::to_int(values[0], port_num)) ||
        (values[1] != nullptr && !py::to_int(values[1], index))) {
        return nullptr;
    }
    if (!context_ensure(self_context(self)) || !check_port_num(port_num)) {
        return nullptr;
    }
    ibv_gid gid;
    std::memset(&gid, 0, sizeof gid);
    if (_v_query_gid(self_context(self)->_ctx, static_cast<uint8_t>(port_num), index, &gid) != 0) {
        return raise_errno("ibv_query_gid");
    }
    Ref raw = Ref::steal(
        PyBytes_FromStringAndSize(reinterpret_cast<const char *>(gid.raw), sizeof gid.raw));
    if (!raw) {
        return nullptr;
    }
    return PyObject_CallOneArg(reinterpret_cast<PyObject *>(types::Gid), raw.get());
}

PyObject *Context_num_comp_vectors(PyObject *self, void *)
{
    ContextObject *context = self_context(self);
    if (!context_ensure(context)) {
        return nullptr;
    }
    return PyLong_FromLong(context->_ctx->num_comp_vectors);
}

PyObject *Context_async_fd(PyObject *self, void *)
{
    ContextObject *context = self_context(self);
    if (!context_ensure(context)) {
        return nullptr;
    }
    return PyLong_FromLong(context->_ctx->async_fd);
}

// ---- factories: arguments converted here, the child made by its own file --

// A factory without arguments: the context held in use and checked open
// while `make` creates the child.
PyObject *no_arg_factory(const char *name, PyObject *self, Py_ssize_t nargs, PyObject *kwnames,
                         PyObject *(*make)(ContextObject *))
{
    if (!py::no_args(name, nargs, kwnames)) {
        return nullptr;
    }
    ContextObject *context = self_context(self);
    InUse in_use(context);
    if (!context_ensure(context)) {
        return nullptr;
    }
    return make(context);
}

PyObject *Context_get_async_event(PyObject *self, PyObject *const *, Py_ssize_t nargs,
                                  PyObject *kwnames)
{
    return no_arg_factory("get_async_event", self, nargs, kwnames, async_event_get);
}

const char *const kAckNames[] = {"ev", nullptr};
const py::ArgSpec kAckArgs{"ack_async_event", kAckNames, 1};

PyObject *Context_ack_async_event(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                  PyObject *kwnames)
{
    PyObject *ev;
    if (!kAckArgs.parse(args, nargs, kwnames, &ev)) {
        return nullptr;
    }
    return async_event_ack(ev);
}

PyObject *Context_alloc_pd(PyObject *self, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames)
{
    return no_arg_factory("alloc_pd", self, nargs, kwnames, pd_create);
}

PyObject *Context_create_comp_channel(PyObject *self, PyObject *const *, Py_ssize_t nargs,
                                      PyObject *kwnames)
{
    return no_arg_factory("create_comp_channel", self, nargs, kwnames, comp_channel_create);
}

const char *const kCreateCQNames[] = {"cqe", "channel", "comp_vector", nullptr};
const py::ArgSpec kCreateCQArgs{"create_cq", kCreateCQNames, 1};

PyObject *Context_create_cq(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames)
{
    PyObject *values[3];
    int cqe = 0;
    int comp_vector = 0;
    if (!kCreateCQArgs.parse(args, nargs, kwnames, values) || !py::to_int(values[0], cqe) ||
        (values[2] != nullptr && !py::to_int(values[2], comp_vector))) {
        return nullptr;
    }
    PyObject *channel = values[1] == nullptr ? Py_None : values[1];
    ContextObject *context = self_context(self);
    InUse in_use(context);
    if (!context_ensure(context)) {
        return nullptr;
    }
    return cq_create(context, cqe, channel, comp_vector);
}

const char *const kCreateCQExNames[] = {"cqe",  "channel",     "comp_vector", "wc_flags",
                                        "sgid", "unsolicited", nullptr};
const py::ArgSpec kCreateCQExArgs{"create_cq_ex", kCreateCQExNames, 1};

PyObject *Context_create_cq_ex(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames)
{
    PyObject *values[6];
    CQExRequest request;
    if (!kCreateCQExArgs.parse(args, nargs, kwnames, values) ||
        !py::to_int(values[0], request.cqe) ||
        (values[2] != nullptr && !py::to_int(values[2], request.comp_vector)) ||
        (values[4] != nullptr && !py::to_bool(values[4], request.sgid)) ||
        (values[5] != nullptr && !py::to_bool(values[5], request.unsolicited))) {
        return nullptr;
    }
    if (values[1] != nullptr) {
        request.channel = values[1];
    }
    request.wc_flags = values[3];
    ContextObject *context = self_context(self);
    InUse in_use(context);
    if (!context_ensure(context)) {
        return nullptr;
    }
    return cq_ex_create(context, request);
}

PyObject *Context_repr(PyObject *self)
{
    PyObject *name = self_context(self)->name;
    return PyUnicode_FromFormat("Context(name=%R)", name == nullptr ? Py_None : name);
}

const py::FunctionDef kContextMethods[] = {
    {"is_efa", Context_is_efa,
     "Context.is_efa(self) -> bool\n\nReturn True if this device is driven by the EFA provider."},
    {"query_device", Context_query_device,
     "Context.query_device(self) -> DeviceAttr\n\nQuery generic verbs capabilities for this "
     "device."},
    {"query_efa_device", Context_query_efa_device,
     "Context.query_efa_device(self) -> EfaDeviceAttr\n\nEFA capabilities "
     "(``efadv_query_device``).\n\nRaises :class:`EfaError` if the device is not an EFA device."},
    {"query_port", Context_query_port,
     "Context.query_port(self, int port_num=1) -> PortAttr\n\nQuery attributes for "
     "``port_num``."},
    {"query_gid", Context_query_gid,
     "Context.query_gid(self, int port_num=1, int index=0) -> Gid\n\nThe device GID, which is "
     "the EFA device's network address."},
    {"close", ContextLife::close_method,
     "Context.close(self)\n\nClose the device context after all child resources are closed."},
    {"__enter__", ContextLife::enter_method, "Context.__enter__(self)"},
    {"__exit__", ContextLife::exit_method, "Context.__exit__(self, *exc)"},
    {"get_async_event", Context_get_async_event,
     "Context.get_async_event(self) -> 'AsyncEvent'\n\nBlock until an asynchronous device event "
     "is available."},
    {"ack_async_event", Context_ack_async_event,
     "Context.ack_async_event(self, AsyncEvent ev)\n\nAcknowledge an event returned by "
     ":meth:`get_async_event`."},
    {"alloc_pd", Context_alloc_pd,
     "Context.alloc_pd(self) -> 'PD'\n\nAllocate a protection domain owned by this context."},
    {"create_comp_channel", Context_create_comp_channel,
     "Context.create_comp_channel(self) -> 'CompChannel'\n\n"
     "Create a completion event channel owned by this context."},
    {"create_cq", Context_create_cq,
     "Context.create_cq(self, int cqe, channel=None, int comp_vector=0) -> 'CQ'\n\n"
     "Create a classic completion queue (``ibv_create_cq``).\n\n"
     "``cqe`` is the requested minimum capacity; ``channel`` (a CompChannel)\n"
     "optionally enables event notification; ``comp_vector`` selects its interrupt\n"
     "vector, from 0 through ``num_comp_vectors - 1``."},
    {"create_cq_ex", Context_create_cq_ex,
     "Context.create_cq_ex(self, int cqe, channel=None, int comp_vector=0, wc_flags=None, "
     "bool sgid=False, bool unsolicited=False) -> 'CQEx'\n\n"
     "Create an extended EFA completion queue (``efadv_create_cq``).\n\n"
     "``sgid=True`` requests sender-GID reporting on receive completions (needs the\n"
     "device capability ``vantor.enums.EfaDeviceCaps.CQ_WITH_SGID``): the GID shows\n"
     "up as ``WC.sgid`` for peers not matched by a local AH. ``unsolicited=True``\n"
     "requests an indicator for unsolicited write-with-immediate receive completions\n"
     "(needs ``vantor.enums.EfaDeviceCaps.UNSOLICITED_WRITE_RECV``). ``cqe``,\n"
     "``channel`` and ``comp_vector`` mean the same as in ``create_cq``. ``wc_flags``\n"
     "is an ORed ``vantor.enums.CreateCQWCFlags`` mask and defaults to ``STANDARD``;\n"
     "completion fields it does not request read as 0."},
};

PyMemberDef Context_members[] = {
    {"name", T_OBJECT, offsetof(ContextObject, name), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef Context_getset[] = {
    {"num_comp_vectors", Context_num_comp_vectors, nullptr,
     "Context.num_comp_vectors: int\n\nReturn the number of completion interrupt vectors.",
     nullptr},
    {"async_fd", Context_async_fd, nullptr,
     "Context.async_fd: int\n\nReturn the file descriptor used for asynchronous device events.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot Context_slots[] = {
    {Py_tp_doc, const_cast<char *>("An open device context (``ibv_context``).")},
    {Py_tp_new, reinterpret_cast<void *>(ContextLife::tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(ContextLife::dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(Context_repr)},
    {Py_tp_members, Context_members},
    {Py_tp_getset, Context_getset},
    {0, nullptr},
};

}  // namespace

ContextObject *as_context(PyObject *obj)
{
    if (obj == nullptr || !PyObject_TypeCheck(obj, types::Context)) {
        return nullptr;
    }
    return reinterpret_cast<ContextObject *>(obj);
}

bool context_ensure(ContextObject *self) { return ContextLife::ensure(self); }

PyObject *context_wrap(ibv_context *ctx, PyObject *name)
{
    auto *context = py::alloc_bare<ContextObject>(types::Context);
    if (context == nullptr) {
        return nullptr;
    }
    context->_ctx = ctx;
    context->_children = 0;
    context->_in_use = 0;
    Py_XINCREF(name);
    context->name = name;
    return reinterpret_cast<PyObject *>(context);
}

PyTypeObject *create_Context_type(PyObject *module)
{
    PyType_Spec spec = {"vantor._vantor.Context", sizeof(ContextObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, Context_slots};
    return py::add_type(module, &spec);
}

const py::MethodTable Context_methods = py::method_table(types::Context, kContextMethods);

}  // namespace vantor
