// Types whose behaviour is not written yet: plain subclassable shells so the
// namespace already has its final shape.
#include "module_types.hpp"
#include "py/types.hpp"

namespace vantor {
namespace {

struct Shell {
    PyObject_HEAD
};

PyType_Slot shell_slots[] = {{0, nullptr}};

PyTypeObject *add_shell(PyObject *module, const char *name, PyTypeObject *base = nullptr)
{
    PyType_Spec spec = {name, sizeof(Shell), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                        shell_slots};
    return py::add_type(module, &spec, base);
}

}  // namespace

#define VANTOR_SHELL(name) \
    PyTypeObject *create_##name##_type(PyObject *module) { return add_shell(module, "vantor._vantor." #name); }
#define VANTOR_SHELL_CQ(name)                                                       \
    PyTypeObject *create_##name##_type(PyObject *module)                            \
    {                                                                               \
        return add_shell(module, "vantor._vantor." #name, types::_CQBase); \
    }

VANTOR_SHELL(Gid)
VANTOR_SHELL(DeviceAttr)
VANTOR_SHELL(EfaDeviceAttr)
VANTOR_SHELL(PortAttr)
VANTOR_SHELL(WC)
VANTOR_SHELL(CQAttr)
VANTOR_SHELL(SGE)
VANTOR_SHELL(SendWR)
VANTOR_SHELL(RecvWR)
VANTOR_SHELL(QPCap)
VANTOR_SHELL(AHAttr)
VANTOR_SHELL(Device)
VANTOR_SHELL(Context)
VANTOR_SHELL(AsyncEvent)
VANTOR_SHELL(PD)
VANTOR_SHELL(MRAttr)
VANTOR_SHELL(MR)
VANTOR_SHELL(CompChannel)
VANTOR_SHELL(_CQBase)
VANTOR_SHELL_CQ(CQ)
VANTOR_SHELL_CQ(CQEx)
VANTOR_SHELL(WQAttr)
VANTOR_SHELL(QP)
VANTOR_SHELL(AH)

}  // namespace vantor
