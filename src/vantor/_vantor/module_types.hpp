// The module's extension types, created once per import in namespace order.
// Each family's source defines its create_*_type function; module.cpp calls
// them in order and stores the results here.
#pragma once

#include <Python.h>

#define VANTOR_TYPES(X) \
    X(Gid)              \
    X(DeviceAttr)       \
    X(EfaDeviceAttr)    \
    X(PortAttr)         \
    X(WC)               \
    X(CQAttr)           \
    X(SGE)              \
    X(SendWR)           \
    X(RecvWR)           \
    X(QPCap)            \
    X(AHAttr)           \
    X(Device)           \
    X(Context)          \
    X(AsyncEvent)       \
    X(PD)               \
    X(MRAttr)           \
    X(MR)               \
    X(CompChannel)      \
    X(_CQBase)          \
    X(CQ)               \
    X(CQEx)             \
    X(WQAttr)           \
    X(QP)               \
    X(AH)

namespace vantor::types {

#define VANTOR_DECLARE_TYPE(name) extern PyTypeObject *name;
VANTOR_TYPES(VANTOR_DECLARE_TYPE)
#undef VANTOR_DECLARE_TYPE

}  // namespace vantor::types

namespace vantor {

// One per type: builds the type and binds it in the module; borrowed result.
#define VANTOR_DECLARE_CREATOR(name) PyTypeObject *create_##name##_type(PyObject *module);
VANTOR_TYPES(VANTOR_DECLARE_CREATOR)
#undef VANTOR_DECLARE_CREATOR

}  // namespace vantor
