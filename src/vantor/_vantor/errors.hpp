// EfaError, the one exception for native failures, and the one vocabulary
// for raising: every failure of a native call goes through the raise_*
// functions here, which differ only in how the error code is found.
#pragma once

#include "py/args.hpp"

#include <Python.h>

namespace vantor {

// Defines the EfaError class in the module namespace.
bool define_efa_error(PyObject *module);
// The class object created at import (for isinstance checks and subclasses).
PyObject *efa_error_class();

// Each raises and returns null.
// EfaError(operation, err[, detail]) as found in the module namespace at this
// moment (then in the builtins).
PyObject *raise_efa_error(const char *operation, int err, PyObject *detail = nullptr);
// A call that reports through errno: `err` (the calling thread's errno unless
// given, e.g. one saved before the GIL came back), or EIO when it is 0.
PyObject *raise_errno(const char *operation);
PyObject *raise_errno(const char *operation, int err);
// A call that returns a result code: a positive code as it is; otherwise
// `err` (errno unless given) when set, else EIO for -1 and the negated code
// for anything else.
PyObject *raise_rc(const char *operation, long rc);
PyObject *raise_rc(const char *operation, long rc, int err);
// A call that returns a count, negative on failure (ibv_poll_cq): -1 means
// `err`, or EIO when it is 0; any other negative count is the negated code.
PyObject *raise_count(const char *operation, long count, int err);

// Type errors, in the two formats Python's own messages use:
// "Expected <expected>, got <type of obj>"
void raise_expected(const char *expected, PyObject *obj);
// "Argument '<arg_name>' has incorrect type (expected <expected>, got <type>)"
using py::raise_bad_type;

// The live module's namespace (set while the module executes).
PyObject *module_dict();
void set_module_dict(PyObject *dict);

}  // namespace vantor
