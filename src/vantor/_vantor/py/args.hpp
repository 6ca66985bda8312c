// Argument parsing for METH_FASTCALL | METH_KEYWORDS calls: positional
// arguments and keywords matched against a fixed list of names, with the
// standard messages. No allocation on any path.
#pragma once

#include <Python.h>

namespace vantor::py {

struct ArgSpec {
    const char *func_name;     // the name shown in messages, e.g. "query_port"
    const char *const *names;  // parameter names, null-terminated
    int required;              // how many leading parameters must be given
    bool keywords = true;      // false: keywords are rejected altogether

    // Fills values[0..count) with borrowed references, null for an omitted
    // optional parameter. Returns false with TypeError set on a bad call.
    bool parse(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **values) const
    {
        // Inline for the hot-path shape (post_send(wrs), poll(n)): exactly
        // the required parameters, positionally, and no optional ones.
        if (kwnames == nullptr && nargs == required && names[required] == nullptr) {
            for (Py_ssize_t i = 0; i < nargs; ++i) {
                values[i] = args[i];
            }
            return true;
        }
        return parse_general(args, nargs, kwnames, values);
    }
    int count() const;

private:
    bool parse_general(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                       PyObject **values) const;
};

// Refuses any argument at all: "name() takes no arguments (N given)".
bool no_args(const char *func_name, Py_ssize_t nargs, PyObject *kwnames);
// Refuses keyword arguments: "name() takes no keyword arguments".
bool no_keywords(const char *func_name, PyObject *kwnames);

// "Argument 'name' has incorrect type (expected T, got U)" unless obj is an
// instance of type (or None where allowed). exact: subclasses refused too.
bool check_type(PyObject *obj, PyTypeObject *type, const char *arg_name, bool none_allowed = false,
                bool exact = false);
void raise_bad_type(PyObject *obj, const char *expected, const char *arg_name);

}  // namespace vantor::py
