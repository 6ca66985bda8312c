// Adds a frame with the given function name to the traceback of the pending
// exception, so failures inside native helpers show where they happened.
#pragma once

#include <Python.h>

namespace vantor {

inline void add_traceback(const char *function_name, const char *source_file, int line = 0)
{
    if (PyErr_Occurred()) {
        _PyTraceback_Add(function_name, source_file, line);
    }
}

}  // namespace vantor
