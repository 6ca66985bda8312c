// The data path. Sends go through the extended work-request interface: one
// ibv_wr_start, per request its checks interleaved with building, then one
// ibv_wr_complete (or ibv_wr_abort), so a batch is all or nothing. Receives
// are one chain handed to ibv_post_recv. Only the submitting call runs
// without the GIL; nothing in the build loops runs Python code, so the
// request lists cannot change under them.
#include "qp.hpp"

#include "errors.hpp"
#include "lifecycle.hpp"
#include "module_types.hpp"
#include "objects.hpp"
#include "py/args.hpp"
#include "py/function.hpp"
#include "py/gil.hpp"
#include "py/ref.hpp"
#include "work_request.hpp"

#include <endian.h>

#include <climits>
#include <cstddef>
#include <cstdint>

namespace vantor {
namespace {

using py::Ref;

constexpr Py_ssize_t kMaxSendSge = 64;
// Receive batches up to these sizes need no allocation.
constexpr Py_ssize_t kLocalRecvWrs = 64;
constexpr Py_ssize_t kLocalRecvSges = 64;

// The requests of one call: a lone record, an exact list as given, or a
// list built from any other iterable (kept alive by `holder`).
struct Batch {
    PyObject *single = nullptr;
    PyObject *const *items = nullptr;
    Py_ssize_t size = 0;
    Ref holder;
};

bool normalise(PyObject *wrs, PyTypeObject *record_type, Batch &batch)
{
    // An exact list, the usual argument, cannot also be a record.
    if (PyList_CheckExact(wrs)) {
        batch.items = reinterpret_cast<PyListObject *>(wrs)->ob_item;
        batch.size = PyList_GET_SIZE(wrs);
        return true;
    }
    if (PyObject_TypeCheck(wrs, record_type)) {
        batch.single = wrs;
        batch.items = &batch.single;
        batch.size = 1;
        return true;
    }
    if (!PyList_Check(wrs)) {
        batch.holder = Ref::steal(PySequence_List(wrs));
        if (!batch.holder) {
            return false;
        }
        wrs = batch.holder.get();
    } else if (!PyList_CheckExact(wrs)) {
        raise_expected("list", wrs);
        return false;
    }
    batch.items = reinterpret_cast<PyListObject *>(wrs)->ob_item;
    batch.size = PyList_GET_SIZE(wrs);
    return true;
}

// The entries of a request: an exact list (the setters allow nothing else
// but None). Returns the count, or -1 with TypeError set.
Py_ssize_t sg_list_size(PyObject *sg_list)
{
    if (sg_list == nullptr || sg_list == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return -1;
    }
    if (!PyList_CheckExact(sg_list)) {
        raise_expected("list", sg_list);
        return -1;
    }
    return PyList_GET_SIZE(sg_list);
}

SGEObject *as_sge_checked(PyObject *obj)
{
    if (!PyObject_TypeCheck(obj, types::SGE)) {
        raise_expected("SGE", obj);
        return nullptr;
    }
    return reinterpret_cast<SGEObject *>(obj);
}

// The send_ops_flags bit an opcode needs; 0 for an opcode EFA cannot post.
constexpr uint64_t op_required_bit(int32_t opcode)
{
    switch (opcode) {
    case IBV_WR_RDMA_WRITE:
        return IBV_QP_EX_WITH_RDMA_WRITE;
    case IBV_WR_RDMA_WRITE_WITH_IMM:
        return IBV_QP_EX_WITH_RDMA_WRITE_WITH_IMM;
    case IBV_WR_SEND:
        return IBV_QP_EX_WITH_SEND;
    case IBV_WR_SEND_WITH_IMM:
        return IBV_QP_EX_WITH_SEND_WITH_IMM;
    case IBV_WR_RDMA_READ:
        return IBV_QP_EX_WITH_RDMA_READ;
    default:
        return 0;
    }
}

// Why a request was refused while its batch was open. The exception is
// raised only after the batch is aborted: making it allocates, which may
// run a collection and with it finalizers, and those may let another
// thread run, which could then wait for ever on the send queue's lock
// that the provider holds from wr_start to wr_complete or wr_abort.
struct Refusal {
    enum class Kind {
        none,
        not_a,  // `object` is not a `expected`
        no_destination,
        ah_closed,  // `object` is the address handle
        no_sg_list,
        too_many_sges,
        bad_opcode,
        opcode_not_enabled,
    };
    Kind kind = Kind::none;
    const char *expected = nullptr;
    PyObject *object = nullptr;  // borrowed: the caller's list keeps it alive
    int32_t opcode = 0;

    explicit operator bool() const { return kind != Kind::none; }

    void raise() const
    {
        switch (kind) {
        case Kind::not_a:
            raise_expected(expected, object);
            break;
        case Kind::no_destination:
            PyErr_SetString(PyExc_ValueError,
                            "EFA sends are connectionless: each SendWR needs a destination "
                            "(dest=Peer or ah/remote_qpn/remote_qkey)");
            break;
        case Kind::ah_closed:
            ah_ensure(reinterpret_cast<AHObject *>(object));
            break;
        case Kind::no_sg_list:
            PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
            break;
        case Kind::too_many_sges:
            PyErr_SetString(PyExc_ValueError, "at most 64 SGEs per work request");
            break;
        case Kind::bad_opcode:
            PyErr_Format(PyExc_ValueError,
                         "EFA supports SEND, SEND_WITH_IMM, RDMA_READ, RDMA_WRITE and "
                         "RDMA_WRITE_WITH_IMM (got opcode %d)",
                         opcode);
            break;
        case Kind::opcode_not_enabled:
            PyErr_Format(PyExc_ValueError, "opcode %d is not enabled in this QP's send_ops_flags",
                         opcode);
            break;
        case Kind::none:
            break;
        }
    }
};

Refusal not_a(const char *expected, PyObject *object)
{
    return {Refusal::Kind::not_a, expected, object, 0};
}

// A subclass instance: out of the loops' line, so that the usual exact
// instance costs them no spilled registers around a call.
[[gnu::noinline, gnu::cold]] bool is_subclass_instance(PyObject *obj, PyTypeObject *type)
{
    return PyType_IsSubtype(Py_TYPE(obj), type) != 0;
}

inline bool is_a(PyObject *obj, PyTypeObject *type)
{
    return Py_IS_TYPE(obj, type) || is_subclass_instance(obj, type);
}

// Checks one request and adds it to the open batch, calling nothing of
// Python's.
Refusal build_send(ibv_qp_ex *qpx, PyObject *obj, uint64_t allowed_ops, ibv_sge *sges,
                   ibv_data_buf *bufs)
{
    using Kind = Refusal::Kind;
    if (!is_a(obj, types::SendWR)) [[unlikely]] {
        return not_a("SendWR", obj);
    }
    auto *wr = reinterpret_cast<SendWRObject *>(obj);
    PyObject *ah_obj = wr->ah;
    if (ah_obj == nullptr || ah_obj == Py_None) {
        return {Kind::no_destination};
    }
    if (!is_a(ah_obj, types::AH)) [[unlikely]] {
        return not_a("AH", ah_obj);
    }
    auto *ah = reinterpret_cast<AHObject *>(ah_obj);
    if (ah->_ah == nullptr) {
        return {Kind::ah_closed, nullptr, ah_obj};
    }
    PyObject *sg_list = wr->sg_list;
    if (sg_list == nullptr || sg_list == Py_None) {
        return {Kind::no_sg_list};
    }
    if (!PyList_CheckExact(sg_list)) {
        return not_a("list", sg_list);
    }
    const Py_ssize_t count = PyList_GET_SIZE(sg_list);
    if (count > kMaxSendSge) {
        return {Kind::too_many_sges};
    }
    uint64_t bit = op_required_bit(wr->opcode);
    if (bit == 0) {
        return {Kind::bad_opcode, nullptr, nullptr, wr->opcode};
    }
    if ((allowed_ops & bit) == 0) {
        return {Kind::opcode_not_enabled, nullptr, nullptr, wr->opcode};
    }
    qpx->wr_id = wr->wr_id;
    qpx->wr_flags = wr->send_flags;
    switch (wr->opcode) {
    case IBV_WR_RDMA_WRITE:
        ibv_wr_rdma_write(qpx, wr->rkey, wr->remote_addr);
        break;
    case IBV_WR_RDMA_WRITE_WITH_IMM:
        ibv_wr_rdma_write_imm(qpx, wr->rkey, wr->remote_addr, htobe32(wr->imm_data));
        break;
    case IBV_WR_SEND:
        ibv_wr_send(qpx);
        break;
    case IBV_WR_SEND_WITH_IMM:
        ibv_wr_send_imm(qpx, htobe32(wr->imm_data));
        break;
    default:
        ibv_wr_rdma_read(qpx, wr->rkey, wr->remote_addr);
        break;
    }
    ibv_wr_set_ud_addr(qpx, ah->_ah, wr->remote_qpn, wr->remote_qkey);
    PyObject *const *entries = reinterpret_cast<PyListObject *>(sg_list)->ob_item;
    if (wr->send_flags & IBV_SEND_INLINE) [[unlikely]] {
        for (Py_ssize_t j = 0; j < count; ++j) {
            if (!is_a(entries[j], types::SGE)) {
                return not_a("SGE", entries[j]);
            }
        }
        for (Py_ssize_t j = 0; j < count; ++j) {
            const auto *sge = reinterpret_cast<const SGEObject *>(entries[j]);
            bufs[j].addr = reinterpret_cast<void *>(static_cast<uintptr_t>(sge->addr));
            bufs[j].length = sge->length;
        }
        ibv_wr_set_inline_data_list(qpx, static_cast<size_t>(count), bufs);
        return {};
    }
    PyTypeObject *const sge_type = types::SGE;
    for (Py_ssize_t j = 0; j < count; ++j) {
        PyObject *entry = entries[j];
        if (!is_a(entry, sge_type)) [[unlikely]] {
            return not_a("SGE", entry);
        }
        const auto *sge = reinterpret_cast<const SGEObject *>(entry);
        sges[j] = ibv_sge{sge->addr, sge->length, sge->lkey};
    }
    ibv_wr_set_sge_list(qpx, static_cast<size_t>(count), sges);
    return {};
}

// The whole batch between one wr_start and one wr_complete (or wr_abort).
bool post_send_batch(QPObject *qp, const Batch &batch)
{
    if (batch.size == 0) {
        return true;
    }
    ibv_qp_ex *qpx = qp->_qpx;
    const uint64_t allowed_ops = qp->send_ops_flags;
    // Reused by every request: each list is handed over by its set call
    // before the next request is built.
    ibv_sge sges[kMaxSendSge];
    ibv_data_buf bufs[kMaxSendSge];
    ibv_wr_start(qpx);
    for (Py_ssize_t i = 0; i < batch.size; ++i) {
        if (const Refusal refusal = build_send(qpx, batch.items[i], allowed_ops, sges, bufs)) {
            ibv_wr_abort(qpx);
            refusal.raise();
            return false;
        }
    }
    int rc = py::without_gil([qpx] { return ibv_wr_complete(qpx); });
    if (rc != 0) {
        raise_efa_error("ibv_wr_complete", rc);
        return false;
    }
    return true;
}

// The checks of one receive request that come before any of its entries
// are looked at: its type and its entry list. Returns the entry count, or
// -1 with the exception set.
[[gnu::always_inline]] inline Py_ssize_t recv_wr_entries(PyObject *obj)
{
    if (!PyObject_TypeCheck(obj, types::RecvWR)) {
        raise_expected("RecvWR", obj);
        return -1;
    }
    Py_ssize_t count = sg_list_size(reinterpret_cast<RecvWRObject *>(obj)->sg_list);
    if (count > INT_MAX) {
        PyErr_SetString(PyExc_ValueError, "too many SGEs in a receive work request");
        return -1;
    }
    return count;
}

// Links request i of the chain to its entries and to the next request.
[[gnu::always_inline]] inline void link_recv_wr(ibv_recv_wr *wrs, Py_ssize_t i, Py_ssize_t n,
                                                RecvWRObject *wr, Py_ssize_t count,
                                                ibv_sge *entries)
{
    wrs[i].wr_id = wr->wr_id;
    wrs[i].num_sge = static_cast<int>(count);
    wrs[i].sg_list = count > 0 ? entries : nullptr;
    wrs[i].next = i + 1 < n ? &wrs[i + 1] : nullptr;
}

enum class Built { done, too_big, failed };

// The usual case in one pass: the chain built straight into the local
// arrays. Every request's own checks still come before any entry's (an
// entry that is not an SGE is only reported once all requests passed
// theirs), as in the two-pass build. too_big: the batch does not fit,
// nothing raised.
Built build_recv_local(const Batch &batch, ibv_recv_wr *wrs, ibv_sge *sges)
{
    const Py_ssize_t n = batch.size;
    if (n > kLocalRecvWrs) {
        return Built::too_big;
    }
    PyTypeObject *const recv_type = types::RecvWR;
    PyTypeObject *const sge_type = types::SGE;
    ibv_sge *out = sges;
    ibv_sge *const out_end = sges + kLocalRecvSges;
    PyObject *not_sge = nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *obj = batch.items[i];
        // The field is read only once the type says it is there.
        PyObject *sg_list =
            Py_IS_TYPE(obj, recv_type) ? reinterpret_cast<RecvWRObject *>(obj)->sg_list : nullptr;
        if (sg_list == nullptr || !PyList_CheckExact(sg_list)) [[unlikely]] {
            // The full checks, with their messages (a subclass instance
            // passes them).
            if (recv_wr_entries(obj) < 0) {
                return Built::failed;
            }
            sg_list = reinterpret_cast<RecvWRObject *>(obj)->sg_list;
        }
        // A count past INT_MAX is also past the room left: the heap path
        // reports it.
        const Py_ssize_t count = PyList_GET_SIZE(sg_list);
        if (count > out_end - out) {
            return Built::too_big;
        }
        auto *wr = reinterpret_cast<RecvWRObject *>(obj);
        wrs[i].wr_id = wr->wr_id;
        wrs[i].sg_list = count > 0 ? out : nullptr;
        wrs[i].num_sge = static_cast<int>(count);
        wrs[i].next = &wrs[i + 1];
        PyObject *const *entry = reinterpret_cast<PyListObject *>(sg_list)->ob_item;
        PyObject *const *const end = entry + count;
        for (; entry != end; ++entry, ++out) {
            if (!is_a(*entry, sge_type)) [[unlikely]] {
                if (not_sge == nullptr) {
                    not_sge = *entry;
                }
                continue;
            }
            const auto *sge = reinterpret_cast<const SGEObject *>(*entry);
            *out = ibv_sge{sge->addr, sge->length, sge->lkey};
        }
    }
    wrs[n - 1].next = nullptr;
    if (not_sge != nullptr) {
        raise_expected("SGE", not_sge);
        return Built::failed;
    }
    return Built::done;
}

// The arrays of a batch too large for the stack, zeroed, freed on every
// way out.
struct HeapChain {
    ibv_recv_wr *wrs = nullptr;
    ibv_sge *sges = nullptr;
    HeapChain() = default;
    HeapChain(const HeapChain &) = delete;
    HeapChain &operator=(const HeapChain &) = delete;
    ~HeapChain()
    {
        PyMem_Free(wrs);
        PyMem_Free(sges);
    }
};

// A larger batch: counted first, then built into heap arrays.
bool build_recv_heap(const Batch &batch, HeapChain &heap)
{
    const Py_ssize_t n = batch.size;
    Py_ssize_t total = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t count = recv_wr_entries(batch.items[i]);
        if (count < 0) {
            return false;
        }
        total += count;
    }
    heap.wrs =
        static_cast<ibv_recv_wr *>(PyMem_Calloc(static_cast<size_t>(n), sizeof(ibv_recv_wr)));
    heap.sges = static_cast<ibv_sge *>(
        PyMem_Calloc(static_cast<size_t>(total > 0 ? total : 1), sizeof(ibv_sge)));
    if (heap.wrs == nullptr || heap.sges == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    Py_ssize_t offset = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto *wr = reinterpret_cast<RecvWRObject *>(batch.items[i]);
        Py_ssize_t count = PyList_GET_SIZE(wr->sg_list);
        // Nothing ran between the passes, so the counts are the first pass's;
        // the bound is kept anyway, the array must hold what is written.
        if (count > total - offset) {
            PyErr_SetString(PyExc_RuntimeError, "receive work requests changed while posting");
            return false;
        }
        PyObject *const *entries = reinterpret_cast<PyListObject *>(wr->sg_list)->ob_item;
        for (Py_ssize_t j = 0; j < count; ++j) {
            SGEObject *sge = as_sge_checked(entries[j]);
            if (sge == nullptr) {
                return false;
            }
            heap.sges[offset + j].addr = sge->addr;
            heap.sges[offset + j].length = sge->length;
            heap.sges[offset + j].lkey = sge->lkey;
        }
        link_recv_wr(heap.wrs, i, n, wr, count, &heap.sges[offset]);
        offset += count;
    }
    return true;
}

// _post_recv_qp: the whole batch as one chain over one entry array.
bool post_recv_batch(QPObject *qp, const Batch &batch)
{
    const Py_ssize_t n = batch.size;
    if (n == 0) {
        return true;
    }
    ibv_recv_wr local_wrs[kLocalRecvWrs];
    ibv_sge local_sges[kLocalRecvSges];
    HeapChain heap;
    ibv_recv_wr *wrs = local_wrs;
    switch (build_recv_local(batch, local_wrs, local_sges)) {
    case Built::done:
        break;
    case Built::failed:
        return false;
    case Built::too_big:
        if (!build_recv_heap(batch, heap)) {
            return false;
        }
        wrs = heap.wrs;
        break;
    }
    ibv_recv_wr *bad_wr = nullptr;
    int rc;
    ibv_qp *handle = qp->_qp;
    rc = py::without_gil([&] { return ibv_post_recv(handle, wrs, &bad_wr); });
    if (rc != 0) {
        raise_efa_error("ibv_post_recv", rc);
        return false;
    }
    return true;
}

const char *const kWrsNames[] = {"wrs", nullptr};
const py::ArgSpec kPostSendArgs{"post_send", kWrsNames, 1};
const py::ArgSpec kPostRecvArgs{"post_recv", kWrsNames, 1};

}  // namespace

PyObject *QP_post_send(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *wrs;
    if (!kPostSendArgs.parse(args, nargs, kwnames, &wrs)) {
        return nullptr;
    }
    QPObject *qp = as_qp(self);
    Batch batch;
    // Iterating the requests runs Python code.
    InUse in_use(qp);
    if (!qp_ensure(qp) || !normalise(wrs, types::SendWR, batch) || !post_send_batch(qp, batch)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *QP_post_recv(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *wrs;
    if (!kPostRecvArgs.parse(args, nargs, kwnames, &wrs)) {
        return nullptr;
    }
    QPObject *qp = as_qp(self);
    Batch batch;
    // Iterating the requests runs Python code.
    InUse in_use(qp);
    if (!qp_ensure(qp) || !normalise(wrs, types::RecvWR, batch) || !post_recv_batch(qp, batch)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace vantor
