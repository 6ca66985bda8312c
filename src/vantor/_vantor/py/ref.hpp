// Owning reference to a Python object: every path releases exactly once.
#pragma once

#include <Python.h>

#include <utility>

namespace vantor::py {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (may be null when the producing call failed).
    static Ref steal(PyObject *obj) noexcept { return Ref(obj); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject *obj) noexcept
    {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref &operator=(Ref &&other) noexcept
    {
        if (this != &other) {
            PyObject *old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject *get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to the caller.
    PyObject *release() noexcept { return std::exchange(obj_, nullptr); }
    // A new reference for the caller; this one keeps its own.
    PyObject *new_ref() const noexcept
    {
        Py_XINCREF(obj_);
        return obj_;
    }
    void reset(PyObject *obj = nullptr) noexcept
    {
        PyObject *old = std::exchange(obj_, obj);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject *obj) noexcept : obj_(obj) {}
    PyObject *obj_ = nullptr;
};

// Replaces an owned object field (a struct member holding a strong reference)
// so that the old value is released only after the field holds the new one.
inline void set_field(PyObject *&field, PyObject *value) noexcept
{
    PyObject *old = field;
    Py_XINCREF(value);
    field = value;
    Py_XDECREF(old);
}

// Pending-exception guard: saves the current exception and restores it when
// leaving scope, so cleanup code cannot clobber what the caller is raising.
class SavedError {
public:
    SavedError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    SavedError(const SavedError &) = delete;
    SavedError &operator=(const SavedError &) = delete;
    ~SavedError() { PyErr_Restore(type_, value_, tb_); }

private:
    PyObject *type_ = nullptr;
    PyObject *value_ = nullptr;
    PyObject *tb_ = nullptr;
};

}  // namespace vantor::py
