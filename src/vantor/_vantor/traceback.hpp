// Adds a frame with the given function name to the traceback of the pending
// exception, so failures inside native helpers show where they happened.
#pragma once

#include "py/frames.hpp"

namespace vantor {

inline void add_traceback(const char *function_name, const char *source_file, int line = 0)
{
    py::add_traceback_frame(function_name, source_file, line);
}

}  // namespace vantor
