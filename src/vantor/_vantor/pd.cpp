// PD: the protection domain, a counted child of its Context.
#include "pd.hpp"

#include "errors.hpp"
#include "lifecycle.hpp"
#include "loader.hpp"
#include "module_types.hpp"
#include "py/args.hpp"
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
                _fail_rc("ibv_dealloc_pd", rc);
            }
            return false;
        }
        return true;
    }
    static void after_destroy(Object *self) { self->_pd = nullptr; }
};

using PDLife = Lifecycle<PDTraits>;

PyObject *Context_alloc_pd(PyObject *self, PyObject *const *, Py_ssize_t nargs,
                           PyObject *kwnames)
{
    if (!py::no_args("alloc_pd", nargs, kwnames)) {
        return nullptr;
    }
    auto *context = reinterpret_cast<ContextObject *>(self);
    InUse in_use(context);
    if (!context_ensure(context)) {
        return nullptr;
    }
    ibv_pd *pd = _v_alloc_pd(context->_ctx);
    if (pd == nullptr) {
        return _fail("ibv_alloc_pd");
    }
    PyObject *wrapped = pd_wrap(pd, self);
    if (wrapped == nullptr) {
        _v_dealloc_pd(pd);
    }
    return wrapped;
}

const py::FunctionDef kContextPDMethods[] = {
    {"alloc_pd", Context_alloc_pd,
     "Context.alloc_pd(self) -> 'PD'\n\nAllocate a protection domain owned by this context."},
};

const py::FunctionDef kPDMethods[] = {
    {"close", PDLife::close_method,
     "PD.close(self)\n\nDeallocate the protection domain when it has no open children."},
    {"__enter__", PDLife::enter_method, "PD.__enter__(self)"},
    {"__exit__", PDLife::exit_method, "PD.__exit__(self, *exc)"},
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

PyTypeObject *create_PD_type(PyObject *module)
{
    PyType_Spec spec = {"vantor._vantor.PD", sizeof(PDObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, PD_slots};
    return py::add_type(module, &spec);
}

bool define_pd_methods(PyObject *)
{
    return py::add_methods(types::Context, kContextPDMethods) &&
           py::add_methods(types::PD, kPDMethods);
}

}  // namespace vantor
