// What the PD family offers the families that create children of a PD.
#pragma once

#include "objects.hpp"

#include <Python.h>

namespace vantor {

// PD._wrap: a new PD owning `pd`, counted in `context` (a Context).
PyObject *pd_wrap(ibv_pd *pd, PyObject *context);

}  // namespace vantor
