#include "args.hpp"

#include <cstring>

namespace vantor::py {
namespace {

void raise_count(const ArgSpec &spec, Py_ssize_t found)
{
    Py_ssize_t min = spec.required;
    Py_ssize_t max = spec.count();
    Py_ssize_t expected;
    const char *qualifier;
    if (found < min) {
        expected = min;
        qualifier = "at least";
    } else {
        expected = max;
        qualifier = "at most";
    }
    if (min == max) {
        qualifier = "exactly";
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.func_name, qualifier, expected, expected == 1 ? "" : "s", found);
}

// Index of the keyword among the names, or -1. The first character rules
// out most names before the full comparison (records like SendWR have
// eleven parameters and are often built by keyword).
int find_name(const ArgSpec &spec, PyObject *key)
{
    Py_ssize_t key_len = 0;
    const char *key_text = PyUnicode_AsUTF8AndSize(key, &key_len);
    if (key_text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    const auto len = static_cast<size_t>(key_len);
    for (int i = 0; spec.names[i] != nullptr; ++i) {
        const char *name = spec.names[i];
        if (name[0] == key_text[0] && strnlen(name, len + 1) == len &&
            std::memcmp(name, key_text, len) == 0) {
            return i;
        }
    }
    return -1;
}

}  // namespace

int ArgSpec::count() const
{
    int n = 0;
    while (names[n] != nullptr) {
        ++n;
    }
    return n;
}

bool ArgSpec::parse_general(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                            PyObject **values) const
{
    const int total = count();
    if (nargs > total) {
        raise_count(*this, nargs);
        return false;
    }
    // Positional only, every required parameter given.
    if (kwnames == nullptr && nargs >= required) {
        for (int i = 0; i < total; ++i) {
            values[i] = i < nargs ? args[i] : nullptr;
        }
        return true;
    }
    for (int i = 0; i < total; ++i) {
        values[i] = i < nargs ? args[i] : nullptr;
    }
    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nkw > 0 && !keywords) {
        return no_keywords(func_name, kwnames);
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func_name);
            return false;
        }
        int index = find_name(*this, key);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func_name,
                         key);
            return false;
        }
        if (values[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         func_name, key);
            return false;
        }
        values[index] = args[nargs + k];
    }
    for (int i = 0; i < required; ++i) {
        if (values[i] == nullptr) {
            raise_count(*this, i);
            return false;
        }
    }
    return true;
}

bool no_args(const char *func_name, Py_ssize_t nargs, PyObject *kwnames)
{
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", func_name, nargs);
        return false;
    }
    return no_keywords(func_name, kwnames);
}

bool no_keywords(const char *func_name, PyObject *kwnames)
{
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", func_name);
        return false;
    }
    return true;
}

void raise_bad_type(PyObject *obj, const char *expected, const char *arg_name)
{
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %s, got %s)",
                 arg_name, expected, Py_TYPE(obj)->tp_name);
}

bool check_type(PyObject *obj, PyTypeObject *type, const char *arg_name, bool none_allowed,
                bool exact)
{
    if (none_allowed && obj == Py_None) {
        return true;
    }
    if (exact ? Py_IS_TYPE(obj, type) : PyObject_TypeCheck(obj, type)) {
        return true;
    }
    raise_bad_type(obj, type->tp_name, arg_name);
    return false;
}

}  // namespace vantor::py
