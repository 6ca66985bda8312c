// QPCap and WQAttr: read-only snapshots of what the provider reported.
#include "qp.hpp"

#include "module_types.hpp"
#include "py/types.hpp"
#include "record_fields.hpp"

#include <cstring>

namespace vantor {
namespace {

// The records are built by queries; calling the class gives an empty one.
PyObject *record_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        const char *dot = std::strrchr(type->tp_name, '.');
        PyErr_Format(PyExc_TypeError, "%s() takes no arguments",
                     dot == nullptr ? type->tp_name : dot + 1);
        return nullptr;
    }
    return type->tp_alloc(type, 0);
}

PyObject *QPCap_repr(PyObject *self)
{
    auto *cap = reinterpret_cast<QPCapObject *>(self);
    return PyUnicode_FromFormat(
        "QPCap(max_send_wr=%u, max_recv_wr=%u, max_send_sge=%u, max_recv_sge=%u, "
        "max_inline_data=%u)",
        cap->max_send_wr, cap->max_recv_wr, cap->max_send_sge, cap->max_recv_sge,
        cap->max_inline_data);
}

PyObject *WQAttr_repr(PyObject *self)
{
    auto *wq = reinterpret_cast<WQAttrObject *>(self);
    char text[160];
    PyOS_snprintf(text, sizeof text,
                  "WQAttr(buffer_addr=0x%llx, entry_size=%u, num_entries=%u, max_batch=%u)",
                  static_cast<unsigned long long>(wq->buffer_addr), wq->entry_size, wq->num_entries,
                  wq->max_batch);
    return PyUnicode_FromString(text);
}

auto QPCap_members = record_fields::readonly_members(record_fields::QPCap::fields);
auto WQAttr_members = record_fields::readonly_members(record_fields::WQAttr::fields);

PyType_Slot QPCap_slots[] = {
    {Py_tp_doc, const_cast<char *>("Queue-pair capacity limits.")},
    {Py_tp_new, reinterpret_cast<void *>(record_new)},
    {Py_tp_repr, reinterpret_cast<void *>(QPCap_repr)},
    {Py_tp_members, QPCap_members.data()},
    {0, nullptr},
};

PyType_Slot WQAttr_slots[] = {
    {Py_tp_doc, const_cast<char *>("A work queue's layout, as reported by "
                                   ":meth:`QP.query_wqs` (``efadv_query_qp_wqs``).")},
    {Py_tp_new, reinterpret_cast<void *>(record_new)},
    {Py_tp_repr, reinterpret_cast<void *>(WQAttr_repr)},
    {Py_tp_members, WQAttr_members.data()},
    {0, nullptr},
};

PyType_Spec QPCap_spec = {"vantor._vantor.QPCap", sizeof(QPCapObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, QPCap_slots};
PyType_Spec WQAttr_spec = {"vantor._vantor.WQAttr", sizeof(WQAttrObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, WQAttr_slots};

}  // namespace

PyObject *qp_cap_from(const ibv_qp_cap &cap)
{
    auto *record = py::alloc_bare<QPCapObject>(types::QPCap);
    if (record != nullptr) {
        record->max_send_wr = cap.max_send_wr;
        record->max_recv_wr = cap.max_recv_wr;
        record->max_send_sge = cap.max_send_sge;
        record->max_recv_sge = cap.max_recv_sge;
        record->max_inline_data = cap.max_inline_data;
    }
    return reinterpret_cast<PyObject *>(record);
}

PyObject *wq_attr_from(const efadv_wq_attr &attr)
{
    auto *record = py::alloc_bare<WQAttrObject>(types::WQAttr);
    if (record != nullptr) {
        record->buffer_addr = reinterpret_cast<uintptr_t>(attr.buffer);
        record->entry_size = attr.entry_size;
        record->num_entries = attr.num_entries;
        record->doorbell_addr = reinterpret_cast<uintptr_t>(attr.doorbell);
        record->max_batch = attr.max_batch;
    }
    return reinterpret_cast<PyObject *>(record);
}

PyTypeObject *create_QPCap_type(PyObject *module) { return py::add_type(module, &QPCap_spec); }

PyTypeObject *create_WQAttr_type(PyObject *module) { return py::add_type(module, &WQAttr_spec); }

}  // namespace vantor
