// PD: the protection domain, a counted child of its Context, and its
// factories (each child's own file makes the child).
#include "errors.hpp"
#include "lifecycle.hpp"
#include "loader.hpp"
#include "module_types.hpp"
#include "objects.hpp"
#include "qp.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/function.hpp"
#include "py/types.hpp"

#include <cerrno>
#include <structmember.h>

namespace vantor {
namespace {

struct PDTraits {
    using Object = PDObject;
    static constexpr const char *closed_message = "pd is closed";
    static constexpr const char *destroy_call = "ibv_dealloc_pd";
    static constexpr const char *dealloc_context = "vantor._vantor.PD.__dealloc__";
    static constexpr bool gc = true;
    static constexpr bool counted = true;
    static constexpr PyObject *Object::*refs[] = {&PDObject::context};
    static ContextObject *counted_in(Object *self) { return as_context(self->context); }
    static bool is_open(const Object *self) { return self->_pd != nullptr; }
    static bool destroy(Object *self, bool report)
    {
        int rc = _v_dealloc_pd(self->_pd);
        if (rc != 0) {
            if (report) {
                raise_rc("ibv_dealloc_pd", rc);
            }
            return false;
        }
        return true;
    }
    static void after_destroy(Object *self) { self->_pd = nullptr; }
};

using PDLife = Lifecycle<PDTraits>;

// A new PD owning `pd`, counted in `context` (a Context); no native call.
PyObject *pd_wrap(ibv_pd *pd, PyObject *context)
{
    auto *self = py::alloc_bare<PDObject>(types::PD);
    if (self == nullptr) {
        return nullptr;
    }
    self->_pd = pd;
    self->_in_use = 0;
    Py_INCREF(context);
    self->context = context;
    PDLife::register_child(self);
    return reinterpret_cast<PyObject *>(self);
}

PDObject *self_pd(PyObject *self) { return reinterpret_cast<PDObject *>(self); }

// ---- factories: arguments converted here, the child made by its own file --

const char *const kCreateAHNames[] = {"addr", "sgid_index", "port_num", nullptr};
const py::ArgSpec kCreateAHArgs{"create_ah", kCreateAHNames, 1};

PyObject *PD_create_ah(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *values[3];
    if (!kCreateAHArgs.parse(args, nargs, kwnames, values)) {
        return nullptr;
    }
    int sgid_index = 0;
    int port_num = 1;
    if ((values[1] != nullptr && !py::to_int(values[1], sgid_index)) ||
        (values[2] != nullptr && !py::to_int(values[2], port_num))) {
        return nullptr;
    }
    PDObject *pd = self_pd(self);
    InUse in_use(pd);
    if (!PDLife::ensure(pd)) {
        return nullptr;
    }
    return ah_create(pd, values[0], sgid_index, port_num);
}

const char *const kRegMrNames[] = {"addr", "length", "access", nullptr};
const py::ArgSpec kRegMrArgs{"reg_mr", kRegMrNames, 3};

PyObject *PD_reg_mr(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *values[3];
    int access = 0;
    if (!kRegMrArgs.parse(args, nargs, kwnames, values) || !py::to_int(values[2], access)) {
        return nullptr;
    }
    PDObject *pd = self_pd(self);
    InUse in_use(pd);
    if (!PDLife::ensure(pd)) {
        return nullptr;
    }
    return mr_create(pd, values[0], values[1], access);
}

const char *const kRegDmabufNames[] = {"offset", "length", "iova", "fd", "access", nullptr};
const py::ArgSpec kRegDmabufArgs{"reg_dmabuf_mr", kRegDmabufNames, 5};

PyObject *PD_reg_dmabuf_mr(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames)
{
    PyObject *values[5];
    int fd = 0;
    int access = 0;
    if (!kRegDmabufArgs.parse(args, nargs, kwnames, values) || !py::to_int(values[3], fd) ||
        !py::to_int(values[4], access)) {
        return nullptr;
    }
    PDObject *pd = self_pd(self);
    InUse in_use(pd);
    if (!PDLife::ensure(pd)) {
        return nullptr;
    }
    return mr_create_dmabuf(pd, values, fd, access);
}

const char *const kCreateQPNames[] = {"init_attr", nullptr};
const py::ArgSpec kCreateQPArgs{"create_qp", kCreateQPNames, 1};

PyObject *PD_create_qp(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *init_attr;
    if (!kCreateQPArgs.parse(args, nargs, kwnames, &init_attr)) {
        return nullptr;
    }
    PDObject *pd = self_pd(self);
    InUse in_use(pd);
    if (!PDLife::ensure(pd)) {
        return nullptr;
    }
    return qp_create(pd, init_attr);
}

const py::FunctionDef kPDMethods[] = {
    {"close", PDLife::close_method,
     "PD.close(self)\n\nDeallocate the protection domain when it has no open children."},
    {"__enter__", PDLife::enter_method, "PD.__enter__(self)"},
    {"__exit__", PDLife::exit_method, "PD.__exit__(self, *exc)"},
    {"reg_mr", PD_reg_mr,
     "PD.reg_mr(self, addr, length, int access) -> 'MR'\n\nRegister a memory region over "
     "``[addr, addr+length)``.\n\n``addr`` is an integer virtual address; it may be a host "
     "pointer or a\nCUDA device pointer (GPUDirect via nvidia_peermem)."},
    {"reg_dmabuf_mr", PD_reg_dmabuf_mr,
     "PD.reg_dmabuf_mr(self, offset, length, iova, int fd, int access) -> 'MR'\n\nRegister a "
     "dma-buf backed region (modern GPUDirect path)."},
    {"create_qp", PD_create_qp,
     "PD.create_qp(self, init_attr) -> 'QP'\n"
     "\n"
     "Create an SRD (default) or UD queue pair from a :class:`QPInitAttr`.\n"
     "\n"
     "SRD queue pairs are created through ``efadv_create_qp_ex``, UD ones through\n"
     "``ibv_create_qp_ex``; both with the extended send-ops work-request interface\n"
     "enabled, on which :meth:`QP.post_send` is built."},
    {"create_ah", PD_create_ah,
     "PD.create_ah(self, addr, int sgid_index=0, int port_num=1) -> 'AH'\n\nCreate an address "
     "handle for a remote EFA device.\n\n``addr`` may be an :class:`AHAttr`, a :class:`Gid`, "
     "or 16 raw GID\nbytes."},
};

PyMemberDef PD_members[] = {
    {"context", T_OBJECT, offsetof(PDObject, context), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot PD_slots[] = {
    {Py_tp_doc, const_cast<char *>("A protection domain (``ibv_pd``).")},
    {Py_tp_new, reinterpret_cast<void *>(PDLife::tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(PDLife::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(PDLife::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(PDLife::clear)},
    {Py_tp_members, PD_members},
    {0, nullptr},
};

}  // namespace

bool pd_ensure(PDObject *self) { return PDLife::ensure(self); }

PyObject *pd_create(ContextObject *context)
{
    ibv_pd *pd = _v_alloc_pd(context->_ctx);
    if (pd == nullptr) {
        return raise_errno("ibv_alloc_pd");
    }
    PyObject *wrapped = pd_wrap(pd, reinterpret_cast<PyObject *>(context));
    if (wrapped == nullptr) {
        _v_dealloc_pd(pd);
    }
    return wrapped;
}

PyTypeObject *create_PD_type(PyObject *module)
{
    PyType_Spec spec = {"vantor._vantor.PD", sizeof(PDObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, PD_slots};
    return py::add_type(module, &spec);
}

const py::MethodTable PD_methods = py::method_table(types::PD, kPDMethods);

}  // namespace vantor
