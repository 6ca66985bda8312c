// Pickling of the value records: a state tuple of the fields in name order,
// a checksum of the field list, and a module-level reconstructor per class.
// Resource classes refuse. The whole protocol is driven by per-class tables
// (pickle_table.hpp, from the field tables of record_fields.hpp); nothing is
// written per class.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace vantor::pickling {

enum class Kind {
    Int32,
    UInt8,
    UInt16,
    UInt32,
    UInt64,
    Bytes,        // bytes or None
    Str,          // str or None
    List,         // list or None
    Any,          // any object
    Context,      // a Context or None
    CompChannel,  // a CompChannel or None
};

struct Field {
    const char *name;
    Kind kind;
    size_t offset;
    const char *doc = nullptr;  // the attribute's docstring, where it has one
};

struct Record {
    const char *name;  // the class name, e.g. "QPCap"
    PyTypeObject *const *type;
    uint32_t checksums[3];  // the first is the one written
    const Field *fields;    // in state order
    size_t field_count;
};

struct Refusal {
    PyTypeObject *const *type;
    const char *message;
};

// Installs __reduce__/__setstate__ on every type and binds the
// _unpickle_<Class> reconstructors in the module.
bool define_pickling(PyObject *module);

}  // namespace vantor::pickling
