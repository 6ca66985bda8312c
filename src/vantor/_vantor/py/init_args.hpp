// Argument parsing for tp_init-style calls (an args tuple and a kwargs
// dict), through the same ArgSpec and messages as the vectorcall methods.
#pragma once

#include "args.hpp"

#include <Python.h>

namespace vantor::py {

// Fills values[0..spec.count()) with borrowed references (null for an
// omitted optional parameter), valid while args and kwds are alive.
bool parse_init(const ArgSpec &spec, PyObject *args, PyObject *kwds, PyObject **values);

}  // namespace vantor::py
