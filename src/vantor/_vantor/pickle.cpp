#include "pickle.hpp"

#include "pickle_table.hpp"

#include "module_types.hpp"
#include "objects.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/function.hpp"
#include "py/ref.hpp"

#include <string>
#include <utility>

namespace vantor::pickling {
namespace {

using py::Ref;

template <typename T>
T &at(PyObject *self, size_t offset)
{
    return *reinterpret_cast<T *>(reinterpret_cast<char *>(self) + offset);
}

PyObject *read_field(PyObject *self, const Field &field)
{
    switch (field.kind) {
    case Kind::Int32:
        return PyLong_FromLong(at<int32_t>(self, field.offset));
    case Kind::UInt8:
        return PyLong_FromUnsignedLong(at<uint8_t>(self, field.offset));
    case Kind::UInt16:
        return PyLong_FromUnsignedLong(at<uint16_t>(self, field.offset));
    case Kind::UInt32:
        return PyLong_FromUnsignedLong(at<uint32_t>(self, field.offset));
    case Kind::UInt64:
        return PyLong_FromUnsignedLongLong(at<uint64_t>(self, field.offset));
    default: {
        PyObject *value = at<PyObject *>(self, field.offset);
        if (value == nullptr) {
            value = Py_None;
        }
        Py_INCREF(value);
        return value;
    }
    }
}

bool is_object_kind(Kind kind) { return kind >= Kind::Bytes; }

bool check_object(PyObject *value, const Field &field)
{
    auto expect = [&](bool ok, const char *expected) {
        if (!ok) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected,
                         Py_TYPE(value)->tp_name);
        }
        return ok;
    };
    auto convert_to = [&](PyTypeObject *type) {
        bool ok = value == Py_None || PyObject_TypeCheck(value, type);
        if (!ok) {
            PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s",
                         Py_TYPE(value)->tp_name, type->tp_name);
        }
        return ok;
    };
    switch (field.kind) {
    case Kind::Bytes:
        return expect(value == Py_None || PyBytes_CheckExact(value), "bytes");
    case Kind::Str:
        return expect(value == Py_None || PyUnicode_CheckExact(value), "str");
    case Kind::List:
        return expect(value == Py_None || PyList_CheckExact(value), "list");
    case Kind::Context:
        return convert_to(types::Context);
    case Kind::CompChannel:
        return convert_to(types::CompChannel);
    default:
        return true;
    }
}

// Assigns one state item with the field's own conversion.
bool write_field(PyObject *self, const Field &field, PyObject *value)
{
    switch (field.kind) {
    case Kind::Int32:
        return py::to_int(value, at<int32_t>(self, field.offset));
    case Kind::UInt8:
        return py::to_u8(value, at<uint8_t>(self, field.offset));
    case Kind::UInt16:
        return py::to_u16(value, at<uint16_t>(self, field.offset));
    case Kind::UInt32:
        return py::to_u32(value, at<uint32_t>(self, field.offset));
    case Kind::UInt64:
        return py::to_u64(value, at<uint64_t>(self, field.offset));
    default:
        if (!check_object(value, field)) {
            return false;
        }
        py::set_field(at<PyObject *>(self, field.offset), value);
        return true;
    }
}

bool check_state_type(PyObject *state)
{
    if (!PyTuple_Check(state)) {
        PyErr_Format(PyExc_TypeError, "Expected tuple, got %.200s", Py_TYPE(state)->tp_name);
        return false;
    }
    return true;
}

bool apply_state(const Record &record, PyObject *self, PyObject *state)
{
    Py_ssize_t items = PyTuple_GET_SIZE(state);
    for (size_t i = 0; i < record.field_count; ++i) {
        if (static_cast<Py_ssize_t>(i) >= items) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return false;
        }
        if (!write_field(self, record.fields[i], PyTuple_GET_ITEM(state, i))) {
            return false;
        }
    }
    if (items > static_cast<Py_ssize_t>(record.field_count)) {
        PyObject *extra = PyTuple_GET_ITEM(state, record.field_count);
        int truth = PyObject_IsTrue(extra);
        if (truth < 0) {
            return false;
        }
        if (truth) {
            Ref dict = Ref::steal(PyObject_GetAttrString(self, "__dict__"));
            if (!dict) {
                return false;
            }
            Ref done = Ref::steal(PyObject_CallMethod(dict.get(), "update", "O", extra));
            if (!done) {
                return false;
            }
        }
    }
    return true;
}

template <size_t I>
PyObject *reduce(PyObject *self, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames)
{
    const Record &R = kRecords[I];
    if (!py::no_args("__reduce__", nargs, kwnames)) {
        return nullptr;
    }
    Ref dict = Ref::steal(PyObject_GetAttrString(self, "__dict__"));
    if (!dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return nullptr;
        }
        PyErr_Clear();
    }
    bool has_dict = dict && dict.get() != Py_None && PyObject_IsTrue(dict.get()) == 1;
    Ref state = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(R.field_count + has_dict)));
    if (!state) {
        return nullptr;
    }
    bool two_step = has_dict;
    for (size_t i = 0; i < R.field_count; ++i) {
        PyObject *value = read_field(self, R.fields[i]);
        if (value == nullptr) {
            return nullptr;
        }
        two_step = two_step || (is_object_kind(R.fields[i].kind) && value != Py_None);
        PyTuple_SET_ITEM(state.get(), static_cast<Py_ssize_t>(i), value);
    }
    if (has_dict) {
        PyTuple_SET_ITEM(state.get(), static_cast<Py_ssize_t>(R.field_count), dict.release());
    }
    Ref module = Ref::steal(PyImport_ImportModule("vantor._vantor"));
    if (!module) {
        return nullptr;
    }
    std::string name = std::string("_unpickle_") + R.name;
    Ref reconstructor = Ref::steal(PyObject_GetAttrString(module.get(), name.c_str()));
    if (!reconstructor) {
        return nullptr;
    }
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(self));
    if (two_step) {
        return Py_BuildValue("O(OkO)O", reconstructor.get(), type,
                             static_cast<unsigned long>(R.checksums[0]), Py_None, state.get());
    }
    return Py_BuildValue("O(OkO)", reconstructor.get(), type,
                         static_cast<unsigned long>(R.checksums[0]), state.get());
}

template <size_t I>
PyObject *setstate(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    const Record &R = kRecords[I];
    static const char *const names[] = {"state", nullptr};
    static const py::ArgSpec spec{"__setstate__", names, 1};
    PyObject *state;
    if (!spec.parse(args, nargs, kwnames, &state)) {
        return nullptr;
    }
    // An open queue's event count and parents are those of its native
    // queue: close() acknowledges that count and releases that context.
    if (R.type == &types::_CQBase && cq_ptr(self) != nullptr) {
        PyErr_SetString(PyExc_ValueError, "cannot set the state of an open completion queue");
        return nullptr;
    }
    if (!check_state_type(state) || !apply_state(R, self, state)) {
        return nullptr;
    }
    // A record that polling left untracked (it could not be in a cycle)
    // may now hold any object.
    if (PyType_IS_GC(Py_TYPE(self)) && !PyObject_GC_IsTracked(self)) {
        PyObject_GC_Track(self);
    }
    Py_RETURN_NONE;
}

PyObject *raise_checksum(const Record &record, long long checksum)
{
    std::string names;
    for (size_t i = 0; i < record.field_count; ++i) {
        names += (i ? ", " : "");
        names += record.fields[i].name;
    }
    Ref pickle = Ref::steal(PyImport_ImportModule("pickle"));
    Ref error = pickle ? Ref::steal(PyObject_GetAttrString(pickle.get(), "PickleError")) : Ref();
    if (!error) {
        return nullptr;
    }
    // Python's own %x, so a negative checksum reads as -0x....
    Ref format = Ref::steal(
        PyUnicode_FromString("Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))"));
    Ref args = Ref::steal(Py_BuildValue("(LkkkS)", checksum,
                                        static_cast<unsigned long>(record.checksums[0]),
                                        static_cast<unsigned long>(record.checksums[1]),
                                        static_cast<unsigned long>(record.checksums[2]),
                                        Ref::steal(PyUnicode_FromString(names.c_str())).get()));
    if (!format || !args) {
        return nullptr;
    }
    Ref message = Ref::steal(PyUnicode_Format(format.get(), args.get()));
    if (message) {
        PyErr_SetObject(error.get(), message.get());
    }
    return nullptr;
}

template <size_t I>
PyObject *unpickle(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    const Record &R = kRecords[I];
    static const char *const names[] = {"cls", "checksum", "state", nullptr};
    static const std::string func_name = std::string("_unpickle_") + R.name;
    const py::ArgSpec spec{func_name.c_str(), names, 3};
    PyObject *values[3];
    if (!spec.parse(args, nargs, kwnames, values)) {
        return nullptr;
    }
    long long checksum = 0;
    if (!py::to_i64(values[1], checksum)) {
        return nullptr;
    }
    PyObject *state = values[2];
    if (state != Py_None && !check_state_type(state)) {
        return nullptr;
    }
    if (checksum != R.checksums[0] && checksum != R.checksums[1] && checksum != R.checksums[2]) {
        return raise_checksum(R, checksum);
    }
    Ref instance = Ref::steal(
        PyObject_CallMethod(reinterpret_cast<PyObject *>(*R.type), "__new__", "O", values[0]));
    if (!instance || (state != Py_None && !apply_state(R, instance.get(), state))) {
        return nullptr;
    }
    return instance.release();
}

// The two refusing methods share one message per class.
template <size_t I>
PyObject *refuse(PyObject *, PyObject *const *, Py_ssize_t, PyObject *)
{
    const Refusal &R = kRefusals[I];
    PyErr_SetString(PyExc_TypeError, R.message);
    return nullptr;
}

bool defines_own_pickling(PyTypeObject *type)
{
    for (const char *name : {"__getstate__", "__reduce_ex__", "__reduce__"}) {
        if (PyDict_GetItemString(type->tp_dict, name) != nullptr) {
            return true;
        }
    }
    return false;
}

bool install(PyTypeObject *type, const py::FunctionDef (&methods)[2])
{
    if (defines_own_pickling(type)) {
        return true;
    }
    if (!py::add_methods(type, methods)) {
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %s", type->tp_name);
        return false;
    }
    return true;
}

constexpr const char *kReduceDoc = nullptr;

template <size_t I>
bool install_record(PyObject *module)
{
    const Record &R = kRecords[I];
    static const std::string reduce_doc = std::string(R.name) + ".__reduce__(self)";
    static const std::string setstate_doc = std::string(R.name) + ".__setstate__(self, state)";
    const py::FunctionDef methods[2] = {
        {"__reduce__", reduce<I>, reduce_doc.c_str()},
        {"__setstate__", setstate<I>, setstate_doc.c_str()},
    };
    if (!install(*R.type, methods)) {
        return false;
    }
    static const std::string name = std::string("_unpickle_") + R.name;
    static const std::string doc = name + "(cls, checksum, state)\n\nRebuild a pickled " + R.name +
                                   " (checksum-checked state tuple).";
    const py::FunctionDef reconstructor[1] = {{name.c_str(), unpickle<I>, doc.c_str()}};
    return py::add_functions(module, reconstructor);
}

template <size_t I>
bool install_refusal()
{
    const Refusal &R = kRefusals[I];
    const py::FunctionDef methods[2] = {
        {"__reduce__", refuse<I>, kReduceDoc},
        {"__setstate__", refuse<I>, kReduceDoc},
    };
    return install(*R.type, methods);
}

template <size_t... I>
bool install_records(PyObject *module, std::index_sequence<I...>)
{
    return (install_record<I>(module) && ...);
}

template <size_t... I>
bool install_refusals(std::index_sequence<I...>)
{
    return (install_refusal<I>() && ...);
}

}  // namespace

bool define_pickling(PyObject *module)
{
    return install_records(module, std::make_index_sequence<std::size(kRecords)>()) &&
           install_refusals(std::make_index_sequence<std::size(kRefusals)>());
}

}  // namespace vantor::pickling
