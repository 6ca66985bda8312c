#include "convert.hpp"

#include "ref.hpp"

#include <climits>
#include <limits>

namespace vantor::py {
namespace {

// An int for the conversion: the object itself when it is one, else the
// result of its __int__, else of its __index__ (as int() does); anything
// else is not an integer.
Ref as_integer(PyObject *obj)
{
    if (PyLong_Check(obj)) {
        return Ref::borrow(obj);
    }
    PyNumberMethods *number = Py_TYPE(obj)->tp_as_number;
    if (number != nullptr && number->nb_int == nullptr && number->nb_index != nullptr) {
        return Ref::steal(PyNumber_Index(obj));
    }
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return Ref();
    }
    Ref result = Ref::steal(number->nb_int(obj));
    if (result && !PyLong_CheckExact(result.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                     Py_TYPE(result.get())->tp_name);
        return Ref();
    }
    return result;
}

void raise_negative(const char *type_name)
{
    PyErr_Format(PyExc_OverflowError, "can't convert negative value to %s", type_name);
}

void raise_too_large(const char *type_name)
{
    PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", type_name);
}

// Unsigned conversion: negative values are refused by name first; values
// beyond 64 bits get the interpreter's own message; values beyond the width
// of T get the named one.
template <typename T>
bool to_unsigned(PyObject *obj, T &out, const char *type_name)
{
    // An int is used as it is; anything else through its __int__.
    Ref converted;
    PyObject *integer = obj;
    if (!PyLong_Check(obj)) {
        converted = as_integer(obj);
        if (!converted) {
            return false;
        }
        integer = converted.get();
    }
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(integer, &overflow);
    if (small == -1 && overflow == 0 && PyErr_Occurred()) {
        return false;
    }
    unsigned long long wide;
    if (overflow < 0 || (overflow == 0 && small < 0)) {
        raise_negative(type_name);
        return false;
    }
    if (overflow > 0) {
        wide = PyLong_AsUnsignedLong(integer);
        if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            return false;
        }
    } else {
        wide = static_cast<unsigned long long>(small);
    }
    if (wide > std::numeric_limits<T>::max()) {
        raise_too_large(type_name);
        return false;
    }
    out = static_cast<T>(wide);
    return true;
}

}  // namespace

bool to_int(PyObject *obj, int &out)
{
    // An int needs no intermediate object (the common num_entries case).
    Ref value;
    PyObject *number = obj;
    if (!PyLong_Check(obj)) {
        value = as_integer(obj);
        if (!value) {
            return false;
        }
        number = value.get();
    }
    long wide = PyLong_AsLong(number);
    if (wide == -1 && PyErr_Occurred()) {
        return false;
    }
    if (wide < INT_MIN || wide > INT_MAX) {
        raise_too_large("int");
        return false;
    }
    out = static_cast<int>(wide);
    return true;
}

bool to_uint(PyObject *obj, unsigned int &out) { return to_unsigned(obj, out, "unsigned int"); }
bool to_u8(PyObject *obj, uint8_t &out) { return to_unsigned(obj, out, "uint8_t"); }
bool to_u16(PyObject *obj, uint16_t &out) { return to_unsigned(obj, out, "uint16_t"); }
bool to_u32(PyObject *obj, uint32_t &out) { return to_unsigned(obj, out, "uint32_t"); }
bool to_u64(PyObject *obj, uint64_t &out) { return to_unsigned(obj, out, "uint64_t"); }
bool to_size(PyObject *obj, size_t &out) { return to_unsigned(obj, out, "size_t"); }

bool to_i64(PyObject *obj, long long &out)
{
    Ref value = as_integer(obj);
    if (!value) {
        return false;
    }
    out = PyLong_AsLongLong(value.get());
    return !(out == -1 && PyErr_Occurred());
}

bool to_bool(PyObject *obj, bool &out)
{
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) {
        return false;
    }
    out = truth != 0;
    return true;
}

PyObject *to_pyint(PyObject *obj)
{
    if (PyLong_CheckExact(obj)) {
        Py_INCREF(obj);
        return obj;
    }
    return PyNumber_Long(obj);
}

}  // namespace vantor::py
