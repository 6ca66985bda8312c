#include "init_args.hpp"

#include "ref.hpp"

#include <vector>

namespace vantor::py {

bool parse_init(const ArgSpec &spec, PyObject *args, PyObject *kwds, PyObject **values)
{
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwds == nullptr ? 0 : PyDict_GET_SIZE(kwds);
    if (nkw == 0) {
        return spec.parse(nargs == 0 ? nullptr : &PyTuple_GET_ITEM(args, 0), nargs, nullptr,
                          values);
    }
    // Lay the call out as vectorcall does: positionals, then keyword values
    // in the order of their names.
    std::vector<PyObject *> stack(static_cast<size_t>(nargs + nkw));
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        stack[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
    }
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) {
        return false;
    }
    Py_ssize_t pos = 0;
    Py_ssize_t k = 0;
    PyObject *key;
    PyObject *value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
        Py_INCREF(key);
        PyTuple_SET_ITEM(kwnames.get(), k, key);
        stack[static_cast<size_t>(nargs + k)] = value;
        ++k;
    }
    return spec.parse(stack.data(), nargs, kwnames.get(), values);
}

}  // namespace vantor::py
