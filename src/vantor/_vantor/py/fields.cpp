#include "fields.hpp"

#include "convert.hpp"

#include <cstring>

namespace vantor::py {

Range classify(PyObject *value, uint64_t max, uint64_t &out)
{
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
        if (small == -1 && PyErr_Occurred()) {
            return Range::error;
        }
        if (small < 0) {
            return Range::below;
        }
        out = static_cast<uint64_t>(small);
        return out > max ? Range::above : Range::inside;
    }
    if (overflow < 0) {
        return Range::below;
    }
    unsigned long long wide = PyLong_AsUnsignedLongLong(value);
    if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            return Range::error;
        }
        PyErr_Clear();
        return Range::above;
    }
    out = wide;
    return out > max ? Range::above : Range::inside;
}

PyObject *get_scalar(PyObject *self, void *closure)
{
    const auto *field = static_cast<const Field *>(closure);
    const char *base = reinterpret_cast<const char *>(self) + field->offset;
    switch (field->width) {
    case Width::u64:
        return PyLong_FromUnsignedLongLong(*reinterpret_cast<const uint64_t *>(base));
    case Width::u32:
    case Width::uint:
        return PyLong_FromUnsignedLong(*reinterpret_cast<const uint32_t *>(base));
    case Width::i32:
        return PyLong_FromLong(*reinterpret_cast<const int32_t *>(base));
    }
    return nullptr;
}

namespace {

// Converts `value` with the field's own converter and stores it at `base`.
template <typename T>
bool store_as(PyObject *value, char *base, bool (*convert)(PyObject *, T &))
{
    T v;
    if (!convert(value, v)) {
        return false;
    }
    std::memcpy(base, &v, sizeof v);
    return true;
}

}  // namespace

bool store_scalar(PyObject *self, const Field &field, PyObject *value)
{
    char *base = reinterpret_cast<char *>(self) + field.offset;
    switch (field.width) {
    case Width::u64:
        return store_as(value, base, to_u64);
    case Width::u32:
        return store_as(value, base, to_u32);
    case Width::uint:
        return store_as(value, base, to_uint);
    case Width::i32:
        return store_as(value, base, to_int);
    }
    return false;
}

int set_scalar(PyObject *self, PyObject *value, void *closure)
{
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    return store_scalar(self, *static_cast<const Field *>(closure), value) ? 0 : -1;
}

PyObject *get_object(PyObject *self, void *closure)
{
    PyObject *value = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) +
                                                     reinterpret_cast<Py_ssize_t>(closure));
    if (value == nullptr) {
        value = Py_None;
    }
    Py_INCREF(value);
    return value;
}

int set_any(PyObject *self, PyObject *value, void *closure)
{
    set_field(*reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) +
                                             reinterpret_cast<Py_ssize_t>(closure)),
              value == nullptr ? Py_None : value);
    return 0;
}

}  // namespace vantor::py
