// Polling, the hot path of the completion side: one native batch per call
// for a classic queue, an in-place walk of the provider's ring for an
// extended one. The GIL is released (when another thread could take it)
// only around the native work: ibv_poll_cq, or an extended batch from its
// start to its end, which holds the provider's queue lock throughout. WC
// objects are made afterwards, with the GIL, without per-completion lookups.
#include "completions.hpp"
#include "errors.hpp"
#include "lifecycle.hpp"
#include "loader.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/gil.hpp"

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <memory>

namespace vantor {
namespace {

// Batches up to this size poll into local arrays; most applications poll 1
// to 64 at a time.
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

// A growing array whose first kLocalEntries elements live on the stack:
// the storage of one poll's results. It grows with malloc, so it may be
// filled without the GIL.
template <typename T>
class SmallArray {
public:
    SmallArray() = default;
    SmallArray(const SmallArray &) = delete;
    SmallArray &operator=(const SmallArray &) = delete;
    ~SmallArray()
    {
        if (items_ != local_) {
            std::free(items_);
        }
    }

    size_t size() const { return count_; }
    T &operator[](size_t i) { return items_[i]; }
    const T &operator[](size_t i) const { return items_[i]; }

    // Room for one more element; false when memory runs out.
    bool reserve_one()
    {
        if (count_ < capacity_) {
            return true;
        }
        const size_t capacity = capacity_ * 2;
        auto *items = static_cast<T *>(std::malloc(sizeof(T) * capacity));
        if (items == nullptr) {
            return false;
        }
        std::copy(items_, items_ + count_, items);
        if (items_ != local_) {
            std::free(items_);
        }
        items_ = items;
        capacity_ = capacity;
        return true;
    }
    // The next element; room for it was made by reserve_one (the first
    // kLocalEntries need none).
    T &append() { return items_[count_++]; }
    void clear() { count_ = 0; }

private:
    T local_[kLocalEntries];
    T *items_ = local_;
    size_t capacity_ = kLocalEntries;
    size_t count_ = 0;
};

// The WC objects of one poll, gathered before their list exists: the list
// is made and filled with no allocation in between, so a collection (which
// any of the WC allocations may run, finalizers and all) never finds a
// list with empty slots, and the list needs no hiding from the collector.
class Results {
public:
    Results() = default;
    Results(const Results &) = delete;
    Results &operator=(const Results &) = delete;
    ~Results()
    {
        for (size_t i = 0; i < items_.size(); ++i) {
            Py_DECREF(items_[i]);
        }
    }

    // Takes over `wc` (a new reference); false with MemoryError set when
    // there is no room, in which case `wc` is released.
    bool add(PyObject *wc)
    {
        if (!items_.reserve_one()) {
            Py_DECREF(wc);
            PyErr_NoMemory();
            return false;
        }
        items_.append() = wc;
        return true;
    }

    // The list of everything added, which takes the references over.
    PyObject *to_list()
    {
        const auto size = static_cast<Py_ssize_t>(items_.size());
        PyObject *list = PyList_New(size);
        if (list == nullptr) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyList_SET_ITEM(list, i, items_[static_cast<size_t>(i)]);
        }
        items_.clear();
        return list;
    }

private:
    SmallArray<PyObject *> items_;
};

struct FreeArray {
    void operator()(ibv_wc *p) const { std::free(p); }
};

// The native records of one extended batch.
using Records = SmallArray<ExtendedRecord>;

struct BatchOutcome {
    int start_rc = 0;
    int next_rc = 0;
    int err = 0;  // errno of the failing call
};

// One extended batch, start to end, making no Python call: up to
// num_entries completions read into `records`.
BatchOutcome read_batch(ibv_cq_ex *cqx, const ExtendedReader &reader, int num_entries,
                        Records &records)
{
    BatchOutcome outcome;
    ibv_poll_cq_attr attr{};
    attr.comp_mask = 0;
    outcome.start_rc = ibv_start_poll(cqx, &attr);
    if (outcome.start_rc != 0) {
        outcome.err = errno;
        return outcome;  // no batch open
    }
    for (;;) {
        reader.read(records.append());
        // Stop before advancing: a completion ibv_next_poll moves onto is
        // consumed, and would be lost if it were not read. For the same
        // reason the room for it is made first; without memory the batch
        // ends here and the rest waits for the next poll.
        if (records.size() >= static_cast<size_t>(num_entries) || !records.reserve_one()) {
            break;
        }
        int rc = ibv_next_poll(cqx);
        if (rc == ENOENT) {
            break;
        }
        if (rc != 0) {
            outcome.next_rc = rc;
            outcome.err = errno;
            break;
        }
    }
    ibv_end_poll(cqx);
    return outcome;
}

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
        InUse in_use(&cq->base);
        ibv_cq *handle = cq->_cq;
        n = py::without_gil(
            [&] {
                int polled = ibv_poll_cq(handle, num_entries, wcs);
                err = errno;
                return polled;
            },
            [](int polled) { return polled == 0 ? py::Outcome::idle : py::Outcome::work; });
    }
    if (n < 0) {
        return raise_count("ibv_poll_cq", n, err);
    }
    Results results;
    for (int i = 0; i < n; ++i) {
        PyObject *wc = wc_from_ibv_wc(wcs[i]);
        if (wc == nullptr || !results.add(wc)) {
            return nullptr;
        }
    }
    return results.to_list();
}

PyObject *cq_ex_poll(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    int num_entries;
    if (!poll_prologue(self, args, nargs, kwnames, num_entries)) {
        return nullptr;
    }
    CQExObject *cq = reinterpret_cast<CQExObject *>(self);
    ibv_cq_ex *cqx = cq->_cqx;
    const ExtendedReader reader(cq);
    Records records;
    BatchOutcome outcome;
    {
        InUse in_use(&cq->base);
        outcome =
            py::without_gil([&] { return read_batch(cqx, reader, num_entries, records); },
                            [](const BatchOutcome &o) {
                                return o.start_rc == ENOENT ? py::Outcome::idle : py::Outcome::work;
                            });
    }
    if (outcome.start_rc == ENOENT) {
        return PyList_New(0);
    }
    if (outcome.start_rc != 0) {
        return raise_rc("ibv_start_poll", outcome.start_rc, outcome.err);
    }
    if (outcome.next_rc != 0) {
        return raise_rc("ibv_next_poll", outcome.next_rc, outcome.err);
    }
    Results results;
    for (size_t i = 0; i < records.size(); ++i) {
        PyObject *wc = wc_from_record(records[i]);
        if (wc == nullptr || !results.add(wc)) {
            return nullptr;
        }
    }
    return results.to_list();
}

}  // namespace vantor
