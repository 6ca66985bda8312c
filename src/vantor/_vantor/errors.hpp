// EfaError, the one exception for native failures, and the two raising
// functions every native call site uses.
#pragma once

#include <Python.h>

namespace vantor {

// Defines the EfaError class in the module namespace.
bool define_efa_error(PyObject *module);
// The class object created at import (for isinstance checks and subclasses).
PyObject *efa_error_class();

// Raise EfaError(operation, err[, detail]) as found in the module namespace
// at this moment (then in the builtins). Always returns null.
PyObject *raise_efa_error(const char *operation, int err, PyObject *detail = nullptr);
// errno-based: the calling thread's errno, or EIO when it is 0.
PyObject *_fail(const char *operation);
// Result-code based: a positive code as it is; otherwise errno when set,
// else EIO for -1 and the negated code for anything else.
PyObject *_fail_rc(const char *operation, long rc);
// Pure errno derivation of _fail_rc, for callers that raise directly.
int errno_from_rc(long rc, int thread_errno);

// The live module's namespace (set while the module executes).
PyObject *module_dict();
void set_module_dict(PyObject *dict);

}  // namespace vantor
