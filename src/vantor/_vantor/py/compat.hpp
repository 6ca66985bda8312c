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

// The module refuses, in its create step and with its own message, every
// interpreter but the first that loads it. From 3.12 an interpreter with its
// own GIL refuses a module that does not declare support for that before the
// create step runs, with a generic message; the declaration lets the
// module's own check decide in every kind of interpreter. Nothing is shared
// between interpreters, since only one of them ever holds the module. Placed
// before the terminator of the module's slot list; on versions without the
// slot it ends the list itself.
#ifdef Py_mod_multiple_interpreters
inline const PyModuleDef_Slot kInterpreterSlot = {Py_mod_multiple_interpreters,
                                                  Py_MOD_PER_INTERPRETER_GIL_SUPPORTED};
#else
inline const PyModuleDef_Slot kInterpreterSlot = {0, nullptr};
#endif

}  // namespace vantor::py::compat
