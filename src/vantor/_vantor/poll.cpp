// Polling, the hot path of the completion side: one native batch per call
// for a classic queue, an in-place walk of the provider's ring for an
// extended one. The GIL is released (when another thread could take it)
// only around the call that may reach the device; WC objects are made with
// it held, without per-completion lookups.
#include "completions.hpp"
#include "errors.hpp"
#include "loader.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/gil.hpp"
#include "py/ref.hpp"

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace vantor {
namespace {

using py::Ref;

// Batches up to this size poll into a local array and start with a list of
// this size; most applications poll 1 to 64 at a time.
constexpr int kLocalEntries = 64;

const char *const kPollNames[] = {"num_entries", nullptr};
const py::ArgSpec kPollArgs{"poll", kPollNames, 1};

// Shared prologue: argument, closed check, positivity.
bool poll_prologue(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                   int &num_entries)
{
    PyObject *value;
    if (!kPollArgs.parse(args, nargs, kwnames, &value) || !py::to_int(value, num_entries) ||
        !cq_ensure(self)) {
        return false;
    }
    if (num_entries < 1) {
        PyErr_SetString(PyExc_ValueError, "num_entries must be positive");
        return false;
    }
    return true;
}

// A list of `size` empty slots, hidden from the collector until it is
// filled: the WC allocations that fill it may run a collection, and with it
// finalizers that could otherwise find the list through gc.get_objects()
// and read its empty slots. The caller tracks it once it is complete.
PyObject *new_hidden_list(Py_ssize_t size)
{
    PyObject *list = PyList_New(size);
    if (list != nullptr) {
        PyObject_GC_UnTrack(list);
    }
    return list;
}

struct FreeArray {
    void operator()(ibv_wc *p) const { std::free(p); }
};

// Marks the queue as used without the GIL, so close() from another thread
// refuses instead of freeing it under the poll.
class BusyQueue {
public:
    explicit BusyQueue(CQBaseObject *cq) : cq_(cq) { ++cq_->_busy; }
    ~BusyQueue() { --cq_->_busy; }
    BusyQueue(const BusyQueue &) = delete;
    BusyQueue &operator=(const BusyQueue &) = delete;

private:
    CQBaseObject *cq_;
};

}  // namespace

PyObject *cq_poll(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    int num_entries;
    if (!poll_prologue(self, args, nargs, kwnames, num_entries)) {
        return nullptr;
    }
    CQObject *cq = reinterpret_cast<CQObject *>(self);
    // The usual small batches need no allocation; larger ones get a zeroed
    // heap array of exactly num_entries records.
    ibv_wc local[kLocalEntries];
    std::unique_ptr<ibv_wc, FreeArray> array;
    ibv_wc *wcs = local;
    if (num_entries > kLocalEntries) {
        array.reset(
            static_cast<ibv_wc *>(std::calloc(static_cast<size_t>(num_entries), sizeof(ibv_wc))));
        if (!array) {
            return PyErr_NoMemory();
        }
        wcs = array.get();
    }
    int n;
    int err;
    {
        BusyQueue busy(&cq->base);
        ibv_cq *handle = cq->_cq;
        n = py::without_gil([&] {
            int polled = ibv_poll_cq(handle, num_entries, wcs);
            err = errno;
            return polled;
        });
    }
    if (n < 0) {
        int code = n == -1 ? (err != 0 ? err : EIO) : -n;
        return raise_efa_error("ibv_poll_cq", code);
    }
    PyObject *list = new_hidden_list(n);
    if (list == nullptr) {
        return nullptr;
    }
    for (int i = 0; i < n; ++i) {
        PyObject *wc = wc_from_ibv_wc(wcs[i]);
        if (wc == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i, wc);
    }
    PyObject_GC_Track(list);
    return list;
}

PyObject *cq_ex_poll(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    int num_entries;
    if (!poll_prologue(self, args, nargs, kwnames, num_entries)) {
        return nullptr;
    }
    CQExObject *cq = reinterpret_cast<CQExObject *>(self);
    ibv_cq_ex *cqx = cq->_cqx;
    ibv_poll_cq_attr attr{};
    attr.comp_mask = 0;
    int rc;
    int err;
    // Busy until the batch is ended: the WC allocations below may run a
    // collection, and its finalizers may let another thread close the queue.
    BusyQueue busy(&cq->base);
    rc = py::without_gil([&] {
        int started = ibv_start_poll(cqx, &attr);
        err = errno;
        return started;
    });
    if (rc == ENOENT) {
        return PyList_New(0);
    }
    if (rc != 0) {
        errno = err;
        return _fail_rc("ibv_start_poll", rc);
    }
    // A batch is open: every way out below ends it exactly once. The list
    // starts with room for the first completions (their slots still empty)
    // and is cut down to what was read, or grows past that room by append.
    const Py_ssize_t room = num_entries < kLocalEntries ? num_entries : kLocalEntries;
    Ref list = Ref::steal(new_hidden_list(room));
    if (!list) {
        ibv_end_poll(cqx);
        return nullptr;
    }
    const ExtendedReader reader(cq);
    Py_ssize_t count = 0;
    for (;;) {
        PyObject *wc = reader.read();
        if (wc == nullptr) {
            ibv_end_poll(cqx);
            return nullptr;
        }
        if (count < room) {
            PyList_SET_ITEM(list.get(), count, wc);
        } else {
            int appended = PyList_Append(list.get(), wc);
            Py_DECREF(wc);
            if (appended < 0) {
                ibv_end_poll(cqx);
                return nullptr;
            }
        }
        ++count;
        // Stop before advancing: a completion consumed by ibv_next_poll would
        // be lost if it were not returned.
        if (count >= num_entries) {
            break;
        }
        rc = ibv_next_poll(cqx);
        if (rc == ENOENT) {
            break;
        }
        if (rc != 0) {
            err = errno;
            ibv_end_poll(cqx);
            errno = err;
            return _fail_rc("ibv_next_poll", rc);
        }
    }
    ibv_end_poll(cqx);
    if (count < room) {
        Py_SET_SIZE(reinterpret_cast<PyVarObject *>(list.get()), count);
    }
    PyObject_GC_Track(list.get());
    return list.release();
}

}  // namespace vantor
