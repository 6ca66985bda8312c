// Conversions from Python objects to the fixed-width native integers of the
// typed parameters. Each returns false with the standard OverflowError or
// TypeError set when the value does not fit or is not an integer.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace vantor::py {

bool to_int(PyObject *obj, int &out);
bool to_uint(PyObject *obj, unsigned int &out);
bool to_u8(PyObject *obj, uint8_t &out);
bool to_u16(PyObject *obj, uint16_t &out);
bool to_u32(PyObject *obj, uint32_t &out);
bool to_u64(PyObject *obj, uint64_t &out);
bool to_size(PyObject *obj, size_t &out);
// Signed 64-bit, with the interpreter's own overflow message.
bool to_i64(PyObject *obj, long long &out);
// Truth value, as for a declared bool parameter.
bool to_bool(PyObject *obj, bool &out);

// Python's int(obj) for the untyped numeric parameters.
PyObject *to_pyint(PyObject *obj);

}  // namespace vantor::py
