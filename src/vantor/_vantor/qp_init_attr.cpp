// QPInitAttr: a plain Python class holding PD.create_qp's parameters. It
// validates nothing; create_qp reads the attributes by name, so any object
// carrying them will do.
#include "qp.hpp"

#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/function.hpp"
#include "py/ref.hpp"
#include "py/types.hpp"

namespace vantor {
namespace {

using py::Ref;

constexpr const char *kQPInitAttrDoc =
    "Parameters for :meth:`PD.create_qp`.\n"
    "\n"
    "    Args:\n"
    "        send_cq: Completion queue for send work requests (:class:`CQ` or\n"
    "            :class:`CQEx`).\n"
    "        recv_cq: Completion queue for receive work requests.\n"
    "        qp_type: ``vantor.enums.QPType.SRD`` (default) or ``QPType.UD``.\n"
    "        max_send_wr: Requested maximum outstanding send work requests.\n"
    "        max_recv_wr: Requested maximum outstanding receive work requests.\n"
    "        max_send_sge: Requested maximum scatter/gather entries per send.\n"
    "        max_recv_sge: Requested maximum scatter/gather entries per receive.\n"
    "        max_inline_data: Requested maximum inline payload, in bytes.\n"
    "        sq_sig_all: Make every send produce a completion even without the\n"
    "            ``SIGNALED`` send flag. EFA requires one of these two signalling\n"
    "            mechanisms for every send.\n"
    "        send_ops_flags: ORed ``vantor.enums.QPExSendOpsFlags``. Defaults to\n"
    "            every operation the QP type supports; pass an explicit mask on\n"
    "            devices without RDMA read/write support.\n"
    "        sl: EFA service level, used when creating an SRD queue pair.\n"
    "        unsolicited_write_recv: Accept RDMA write with immediate without a\n"
    "            posted receive. Requires the matching EFA device capability and\n"
    "            an extended CQ created with ``unsolicited=True``.\n"
    "    ";

const char *const kInitNames[] = {
    "send_cq",     "recv_cq",        "qp_type",      "max_send_wr",
    "max_recv_wr", "max_send_sge",   "max_recv_sge", "max_inline_data",
    "sq_sig_all",  "send_ops_flags", "sl",           "unsolicited_write_recv",
    nullptr};
const py::ArgSpec kInitArgs{"__init__", kInitNames, 2};

enum Param {
    send_cq,
    recv_cq,
    qp_type,
    max_send_wr,
    max_recv_wr,
    max_send_sge,
    max_recv_sge,
    max_inline_data,
    sq_sig_all,
    send_ops_flags,
    sl,
    unsolicited_write_recv,
    param_count,
};

PyObject *truth(PyObject *value)
{
    int result = PyObject_IsTrue(value);
    if (result < 0) {
        return nullptr;
    }
    return PyBool_FromLong(result);
}

PyObject *QPInitAttr_init(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames)
{
    PyObject *values[param_count];
    if (!kInitArgs.parse(args, nargs, kwnames, values)) {
        return nullptr;
    }
    Ref stored[param_count];
    stored[send_cq] = Ref::borrow(values[send_cq]);
    stored[recv_cq] = Ref::borrow(values[recv_cq]);
    stored[qp_type] = values[qp_type] == nullptr || values[qp_type] == Py_None
                          ? Ref::steal(PyLong_FromLong(255))
                          : Ref::steal(py::to_pyint(values[qp_type]));
    if (!stored[qp_type]) {
        return nullptr;
    }
    const long limit_defaults[] = {128, 128, 1, 1, 0};
    for (int i = max_send_wr; i <= max_inline_data; ++i) {
        stored[i] = values[i] == nullptr
                        ? Ref::steal(PyLong_FromLong(limit_defaults[i - max_send_wr]))
                        : Ref::borrow(values[i]);
        if (!stored[i]) {
            return nullptr;
        }
    }
    stored[sq_sig_all] = values[sq_sig_all] == nullptr ? Ref::borrow(Py_False)
                                                       : Ref::steal(truth(values[sq_sig_all]));
    if (!stored[sq_sig_all]) {
        return nullptr;
    }
    stored[send_ops_flags] = values[send_ops_flags] == nullptr || values[send_ops_flags] == Py_None
                                 ? Ref::borrow(Py_None)
                                 : Ref::steal(py::to_pyint(values[send_ops_flags]));
    if (!stored[send_ops_flags]) {
        return nullptr;
    }
    stored[sl] = values[sl] == nullptr ? Ref::steal(PyLong_FromLong(0))
                                       : Ref::steal(py::to_pyint(values[sl]));
    if (!stored[sl]) {
        return nullptr;
    }
    stored[unsolicited_write_recv] = values[unsolicited_write_recv] == nullptr
                                         ? Ref::borrow(Py_False)
                                         : Ref::steal(truth(values[unsolicited_write_recv]));
    if (!stored[unsolicited_write_recv]) {
        return nullptr;
    }
    for (int i = 0; i < param_count; ++i) {
        if (PyObject_SetAttrString(self, kInitNames[i], stored[i].get()) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

const py::FunctionDef kQPInitAttrMethods[] = {
    {"__init__", QPInitAttr_init,
     "QPInitAttr.__init__(self, send_cq, recv_cq, qp_type=None, max_send_wr=128, "
     "max_recv_wr=128, max_send_sge=1, max_recv_sge=1, max_inline_data=0, sq_sig_all=False, "
     "send_ops_flags=None, sl=0, unsolicited_write_recv=False)"},
};

}  // namespace

bool define_qp_init_attr(PyObject *module)
{
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    if (!bases) {
        return false;
    }
    Ref cls = Ref::steal(py::new_python_class("QPInitAttr", bases.get(), kQPInitAttrDoc));
    if (!cls || !py::add_methods(reinterpret_cast<PyTypeObject *>(cls.get()), kQPInitAttrMethods)) {
        return false;
    }
    return PyModule_AddObject(module, "QPInitAttr", cls.release()) == 0;
}

}  // namespace vantor
