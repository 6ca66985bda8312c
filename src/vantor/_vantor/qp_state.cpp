// The queue-pair state machine (RESET -> INIT -> RTR -> RTS, connectionless:
// no remote information) and the queries. The object caches no state: the
// provider is asked every time.
#include "qp.hpp"

#include "errors.hpp"
#include "lifecycle.hpp"
#include "loader.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/function.hpp"
#include "py/ref.hpp"

#include <cstddef>
#include <cstring>
#include <iterator>

namespace vantor {
namespace {

using py::Ref;

// int(value), then the width's conversion: the untyped numeric parameters.
template <typename T>
bool convert_int(PyObject *value, bool (*convert)(PyObject *, T &), T &out)
{
    Ref number = Ref::steal(py::to_pyint(value));
    return number && convert(number.get(), out);
}

// The start of a method that takes no arguments: the call checked, then the
// queue pair held in use and checked open.
bool begin_no_args(const char *name, PyObject *self, Py_ssize_t nargs, PyObject *kwnames,
                   InUse<QPObject> &in_use)
{
    if (!py::no_args(name, nargs, kwnames)) {
        return false;
    }
    in_use.hold(as_qp(self));
    return qp_ensure(as_qp(self));
}

bool modify(QPObject *qp, ibv_qp_attr &attr, int mask, const char *operation)
{
    int rc = _v_modify_qp(qp->_qp, &attr, mask);
    if (rc != 0) {
        raise_rc(operation, rc);
        return false;
    }
    return true;
}

const char *const kToInitNames[] = {"qkey", "port", "pkey_index", nullptr};
const py::ArgSpec kToInitArgs{"to_init", kToInitNames, 1};

}  // namespace

PyObject *QP_to_init(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *values[3];
    if (!kToInitArgs.parse(args, nargs, kwnames, values)) {
        return nullptr;
    }
    int port = 1;
    int pkey_index = 0;
    if ((values[1] != nullptr && !py::to_int(values[1], port)) ||
        (values[2] != nullptr && !py::to_int(values[2], pkey_index))) {
        return nullptr;
    }
    QPObject *qp = as_qp(self);
    InUse in_use(qp);
    if (!qp_ensure(qp)) {
        return nullptr;
    }
    uint32_t qkey;
    if (!convert_int(values[0], py::to_u32, qkey)) {
        return nullptr;
    }
    ibv_qp_attr attr;
    std::memset(&attr, 0, sizeof attr);
    attr.qp_state = IBV_QPS_INIT;
    attr.pkey_index = static_cast<uint16_t>(pkey_index);
    attr.port_num = static_cast<uint8_t>(port);
    attr.qkey = qkey;
    if (!modify(qp, attr, IBV_QP_STATE | IBV_QP_PKEY_INDEX | IBV_QP_PORT | IBV_QP_QKEY,
                "ibv_modify_qp(->INIT)")) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *QP_to_rtr(PyObject *self, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames)
{
    InUse<QPObject> in_use;
    if (!begin_no_args("to_rtr", self, nargs, kwnames, in_use)) {
        return nullptr;
    }
    QPObject *qp = as_qp(self);
    ibv_qp_attr attr;
    std::memset(&attr, 0, sizeof attr);
    attr.qp_state = IBV_QPS_RTR;
    if (!modify(qp, attr, IBV_QP_STATE, "ibv_modify_qp(->RTR)")) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

namespace {

const char *const kToRtsNames[] = {"psn", "rnr_retry", nullptr};
const py::ArgSpec kToRtsArgs{"to_rts", kToRtsNames, 0};

}  // namespace

PyObject *QP_to_rts(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *values[2];
    if (!kToRtsArgs.parse(args, nargs, kwnames, values)) {
        return nullptr;
    }
    QPObject *qp = as_qp(self);
    InUse in_use(qp);
    if (!qp_ensure(qp)) {
        return nullptr;
    }
    ibv_qp_attr attr;
    std::memset(&attr, 0, sizeof attr);
    attr.qp_state = IBV_QPS_RTS;
    if (values[0] != nullptr && !convert_int(values[0], py::to_u32, attr.sq_psn)) {
        return nullptr;
    }
    int mask = IBV_QP_STATE | IBV_QP_SQ_PSN;
    if (values[1] != nullptr && values[1] != Py_None) {
        if (!convert_int(values[1], py::to_u8, attr.rnr_retry)) {
            return nullptr;
        }
        mask |= IBV_QP_RNR_RETRY;
    }
    if (!modify(qp, attr, mask, "ibv_modify_qp(->RTS)")) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

namespace {

const char *const kPrepareNames[] = {"qkey", "port", "psn", "rnr_retry", nullptr};
const py::ArgSpec kPrepareArgs{"prepare", kPrepareNames, 1};

// Calls self.<name>(*args, **kw) through attribute lookup, so subclass
// overrides of the transitions take part.
bool call_step(PyObject *self, const char *name, PyObject *const *args, size_t nargs,
               PyObject *kwnames)
{
    Ref method = Ref::steal(PyObject_GetAttrString(self, name));
    if (!method) {
        return false;
    }
    Ref result = Ref::steal(PyObject_Vectorcall(method.get(), args, nargs, kwnames));
    return static_cast<bool>(result);
}

}  // namespace

PyObject *QP_prepare(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *values[4];
    if (!kPrepareArgs.parse(args, nargs, kwnames, values)) {
        return nullptr;
    }
    int port_value = 1;
    if (values[1] != nullptr && !py::to_int(values[1], port_value)) {
        return nullptr;
    }
    Ref port = Ref::steal(PyLong_FromLong(port_value));
    Ref psn = values[2] == nullptr ? Ref::steal(PyLong_FromLong(0)) : Ref::borrow(values[2]);
    Ref rnr_retry = Ref::borrow(values[3] == nullptr ? Py_None : values[3]);
    Ref init_kw = Ref::steal(Py_BuildValue("(s)", "port"));
    Ref rts_kw = Ref::steal(Py_BuildValue("(ss)", "psn", "rnr_retry"));
    if (!port || !psn || !init_kw || !rts_kw) {
        return nullptr;
    }
    PyObject *init_args[] = {values[0], port.get()};
    PyObject *rts_args[] = {psn.get(), rnr_retry.get()};
    if (!call_step(self, "to_init", init_args, 1, init_kw.get()) ||
        !call_step(self, "to_rtr", nullptr, 0, nullptr) ||
        !call_step(self, "to_rts", rts_args, 0, rts_kw.get())) {
        return nullptr;
    }
    Py_INCREF(self);
    return self;
}

namespace {

// modify(): the keywords it knows, in the order they are converted.
enum class Width { i32, u32, u16, u8 };

struct ModifyField {
    const char *name;
    Width width;
    size_t offset;
};

const ModifyField kModifyFields[] = {
    {"qp_state", Width::i32, offsetof(ibv_qp_attr, qp_state)},
    {"cur_qp_state", Width::i32, offsetof(ibv_qp_attr, cur_qp_state)},
    {"qkey", Width::u32, offsetof(ibv_qp_attr, qkey)},
    {"rq_psn", Width::u32, offsetof(ibv_qp_attr, rq_psn)},
    {"sq_psn", Width::u32, offsetof(ibv_qp_attr, sq_psn)},
    {"pkey_index", Width::u16, offsetof(ibv_qp_attr, pkey_index)},
    {"port_num", Width::u8, offsetof(ibv_qp_attr, port_num)},
    {"rnr_retry", Width::u8, offsetof(ibv_qp_attr, rnr_retry)},
};
constexpr size_t kModifyFieldCount = std::size(kModifyFields);

static_assert(sizeof(ibv_qp_state) == sizeof(int32_t));

// Converts with the field's own width and writes it into the record.
template <typename T>
bool store_as(char *base, PyObject *value, bool (*convert)(PyObject *, T &))
{
    T converted;
    if (!convert(value, converted)) {
        return false;
    }
    std::memcpy(base, &converted, sizeof converted);
    return true;
}

bool store_modify_field(ibv_qp_attr &attr, const ModifyField &field, PyObject *value)
{
    char *base = reinterpret_cast<char *>(&attr) + field.offset;
    switch (field.width) {
    case Width::i32:
        return store_as<int>(base, value, py::to_int);
    case Width::u32:
        return store_as<uint32_t>(base, value, py::to_u32);
    case Width::u16:
        return store_as<uint16_t>(base, value, py::to_u16);
    case Width::u8:
        return store_as<uint8_t>(base, value, py::to_u8);
    }
    return false;
}

int field_index(PyObject *name)
{
    for (size_t i = 0; i < kModifyFieldCount; ++i) {
        if (PyUnicode_CompareWithASCIIString(name, kModifyFields[i].name) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// TypeError "unknown QP attribute(s): a, b" naming the unknown keywords,
// sorted.
void raise_unknown(PyObject *unknown)
{
    if (PyList_Sort(unknown) < 0) {
        return;
    }
    Ref separator = Ref::steal(PyUnicode_FromString(", "));
    if (!separator) {
        return;
    }
    Ref joined = Ref::steal(PyUnicode_Join(separator.get(), unknown));
    if (joined) {
        PyErr_Format(PyExc_TypeError, "unknown QP attribute(s): %U", joined.get());
    }
}

}  // namespace

PyObject *QP_modify(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    // attr_mask is the one named parameter; every other keyword is a field.
    PyObject *mask_arg = nargs >= 1 ? args[0] : nullptr;
    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    PyObject *fields[kModifyFieldCount] = {};
    Ref unknown;
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                     "modify", "exactly", static_cast<Py_ssize_t>(1), "", nargs);
        return nullptr;
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        PyObject *value = args[nargs + k];
        if (PyUnicode_CompareWithASCIIString(key, "attr_mask") == 0) {
            if (mask_arg != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             "modify", key);
                return nullptr;
            }
            mask_arg = value;
            continue;
        }
        int index = field_index(key);
        if (index >= 0) {
            fields[index] = value;
            continue;
        }
        if (!unknown) {
            unknown = Ref::steal(PyList_New(0));
            if (!unknown) {
                return nullptr;
            }
        }
        if (PyList_Append(unknown.get(), key) < 0) {
            return nullptr;
        }
    }
    if (mask_arg == nullptr) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                     "modify", "exactly", static_cast<Py_ssize_t>(1), "",
                     static_cast<Py_ssize_t>(0));
        return nullptr;
    }
    int attr_mask;
    if (!py::to_int(mask_arg, attr_mask)) {
        return nullptr;
    }
    QPObject *qp = as_qp(self);
    InUse in_use(qp);
    if (!qp_ensure(qp)) {
        return nullptr;
    }
    if (unknown) {
        raise_unknown(unknown.get());
        return nullptr;
    }
    ibv_qp_attr attr;
    std::memset(&attr, 0, sizeof attr);
    for (size_t i = 0; i < kModifyFieldCount; ++i) {
        if (fields[i] != nullptr && !store_modify_field(attr, kModifyFields[i], fields[i])) {
            return nullptr;
        }
    }
    if (!modify(qp, attr, attr_mask, "ibv_modify_qp")) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

namespace {

constexpr int kQueryMask = IBV_QP_STATE | IBV_QP_PKEY_INDEX | IBV_QP_PORT | IBV_QP_QKEY |
                           IBV_QP_RNR_RETRY | IBV_QP_SQ_PSN | IBV_QP_CAP;
static_assert(kQueryMask == 0x90871);

bool query(QPObject *qp, int mask, ibv_qp_attr &attr, ibv_qp_init_attr &init_attr)
{
    std::memset(&attr, 0, sizeof attr);
    std::memset(&init_attr, 0, sizeof init_attr);
    int rc = _v_query_qp(qp->_qp, &attr, mask, &init_attr);
    if (rc != 0) {
        raise_rc("ibv_query_qp", rc);
        return false;
    }
    return true;
}

bool set_int(PyObject *dict, const char *key, unsigned long value)
{
    Ref number = Ref::steal(PyLong_FromUnsignedLong(value));
    return number && PyDict_SetItemString(dict, key, number.get()) == 0;
}

}  // namespace

PyObject *QP_query(PyObject *self, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames)
{
    InUse<QPObject> in_use;
    if (!begin_no_args("query", self, nargs, kwnames, in_use)) {
        return nullptr;
    }
    QPObject *qp = as_qp(self);
    ibv_qp_attr attr;
    ibv_qp_init_attr init_attr;
    if (!query(qp, kQueryMask, attr, init_attr)) {
        return nullptr;
    }
    Ref cap = Ref::steal(qp_cap_from(init_attr.cap));
    Ref attrs = Ref::steal(PyDict_New());
    if (!cap || !attrs || !set_int(attrs.get(), "qp_state", attr.qp_state) ||
        !set_int(attrs.get(), "qkey", attr.qkey) || !set_int(attrs.get(), "sq_psn", attr.sq_psn) ||
        !set_int(attrs.get(), "port_num", attr.port_num) ||
        !set_int(attrs.get(), "pkey_index", attr.pkey_index) ||
        !set_int(attrs.get(), "rnr_retry", attr.rnr_retry)) {
        return nullptr;
    }
    return PyTuple_Pack(2, attrs.get(), cap.get());
}

PyObject *QP_query_wqs(PyObject *self, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames)
{
    InUse<QPObject> in_use;
    if (!begin_no_args("query_wqs", self, nargs, kwnames, in_use)) {
        return nullptr;
    }
    QPObject *qp = as_qp(self);
    if (_e_query_qp_wqs == nullptr) {
        PyErr_SetString(PyExc_RuntimeError,
                        "efadv_query_qp_wqs is unavailable: this libefa predates EFA 1.4");
        return nullptr;
    }
    efadv_wq_attr sq;
    efadv_wq_attr rq;
    std::memset(&sq, 0, sizeof sq);
    std::memset(&rq, 0, sizeof rq);
    int rc = _e_query_qp_wqs(qp->_qp, &sq, &rq, sizeof sq);
    if (rc != 0) {
        return raise_rc("efadv_query_qp_wqs", rc);
    }
    Ref sq_attr = Ref::steal(wq_attr_from(sq));
    Ref rq_attr = Ref::steal(wq_attr_from(rq));
    if (!sq_attr || !rq_attr) {
        return nullptr;
    }
    return PyTuple_Pack(2, sq_attr.get(), rq_attr.get());
}

PyObject *QP_get_state(PyObject *self, void *)
{
    QPObject *qp = as_qp(self);
    InUse in_use(qp);
    if (!qp_ensure(qp)) {
        return nullptr;
    }
    ibv_qp_attr attr;
    ibv_qp_init_attr init_attr;
    if (!query(qp, IBV_QP_STATE, attr, init_attr)) {
        return nullptr;
    }
    return PyLong_FromLong(attr.qp_state);
}

}  // namespace vantor
