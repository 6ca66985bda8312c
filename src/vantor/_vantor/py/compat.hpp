// What differs between the CPython versions the module builds for (3.9 and
// newer). Everything else in the extension uses the C API as it stands in
// every one of them; a new difference is absorbed here, once.
#pragma once

#include <Python.h>

namespace vantor::py::compat {

// Heap types gained an immutability flag in 3.10. Before it, the flag's
// purpose (the interpreter caching method descriptors of the type) is served
// without it, so those versions get no flag.
#ifdef Py_TPFLAGS_IMMUTABLETYPE
inline constexpr unsigned long kImmutableType = Py_TPFLAGS_IMMUTABLETYPE;
#else
inline constexpr unsigned long kImmutableType = 0;
#endif

}  // namespace vantor::py::compat
