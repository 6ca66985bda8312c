// Traceback entries for native code: a failure inside a native helper shows
// in Python tracebacks under the helper's name, as a Python function would.
#pragma once

#include <Python.h>

namespace vantor::py {

// Appends a frame named `function_name` (in `source_file`, at `line`) to the
// traceback of the pending exception; does nothing when none is pending.
// Built only from the public frame and traceback API, which every supported
// interpreter offers alike.
void add_traceback_frame(const char *function_name, const char *source_file, int line);

}  // namespace vantor::py
