// The module's extension types, created once per import in namespace order.
// Each type's source defines its create_*_type function and its method
// table; module.cpp creates the types in order, stores them here, then binds
// every table.
#pragma once

#include "py/function.hpp"

#include <Python.h>

#define VANTOR_TYPES(X)                                                                            \
    X(Gid)                                                                                         \
    X(DeviceAttr)                                                                                  \
    X(EfaDeviceAttr)                                                                               \
    X(PortAttr)                                                                                    \
    X(WC)                                                                                          \
    X(CQAttr)                                                                                      \
    X(SGE)                                                                                         \
    X(SendWR)                                                                                      \
    X(RecvWR)                                                                                      \
    X(QPCap)                                                                                       \
    X(AHAttr)                                                                                      \
    X(Device)                                                                                      \
    X(Context)                                                                                     \
    X(AsyncEvent)                                                                                  \
    X(PD)                                                                                          \
    X(MRAttr)                                                                                      \
    X(MR)                                                                                          \
    X(CompChannel)                                                                                 \
    X(_CQBase)                                                                                     \
    X(CQ)                                                                                          \
    X(CQEx)                                                                                        \
    X(WQAttr)                                                                                      \
    X(QP)                                                                                          \
    X(AH)

// The types that have methods, in the order module.cpp binds them.
#define VANTOR_METHOD_TABLES(X)                                                                    \
    X(Gid)                                                                                         \
    X(WC)                                                                                          \
    X(SGE)                                                                                         \
    X(Device)                                                                                      \
    X(Context)                                                                                     \
    X(PD)                                                                                          \
    X(MR)                                                                                          \
    X(CompChannel)                                                                                 \
    X(_CQBase)                                                                                     \
    X(CQ)                                                                                          \
    X(CQEx)                                                                                        \
    X(QP)                                                                                          \
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

// One per type with methods, defined in that type's source next to its type.
#define VANTOR_DECLARE_METHODS(name) extern const py::MethodTable name##_methods;
VANTOR_METHOD_TABLES(VANTOR_DECLARE_METHODS)
#undef VANTOR_DECLARE_METHODS

}  // namespace vantor
