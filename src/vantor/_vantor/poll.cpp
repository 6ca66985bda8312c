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
#include "module_types.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/gil.hpp"
#include "py/ref.hpp"
#include "py/types.hpp"

#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>

namespace vantor {
namespace {

using py::Ref;

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
// num_entries completions read into `records`. Standard: the reader's
// straight-through read (every optional field, no EFA extras).
template <bool Standard, typename Sink>
BatchOutcome read_batch_as(ibv_cq_ex *cqx, const ExtendedReader &reader, int num_entries,
                           Sink &records)
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
        reader.read<Standard>(records.append());
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

BatchOutcome read_batch(ibv_cq_ex *cqx, const ExtendedReader &reader, int num_entries,
                        Records &records)
{
    return reader.standard ? read_batch_as<true>(cqx, reader, num_entries, records)
                           : read_batch_as<false>(cqx, reader, num_entries, records);
}

// The classic records of one poll: on the stack for the usual small
// batches, else a zeroed heap array of exactly num_entries records.
class ClassicRecords {
public:
    ClassicRecords() = default;
    ClassicRecords(const ClassicRecords &) = delete;
    ClassicRecords &operator=(const ClassicRecords &) = delete;

    // Room for num_entries records; false with MemoryError set.
    bool reserve(int num_entries)
    {
        if (num_entries <= kLocalEntries) {
            return true;
        }
        array_.reset(
            static_cast<ibv_wc *>(std::calloc(static_cast<size_t>(num_entries), sizeof(ibv_wc))));
        if (!array_) {
            PyErr_NoMemory();
            return false;
        }
        data_ = array_.get();
        return true;
    }
    ibv_wc *data() { return data_; }
    const ibv_wc &operator[](int i) const { return data_[i]; }

private:
    ibv_wc local_[kLocalEntries];
    std::unique_ptr<ibv_wc, FreeArray> array_;
    ibv_wc *data_ = local_;
};

// A classic queue's native poll: the count, or -1 with the exception set.
int poll_classic(CQObject *cq, int num_entries, ClassicRecords &records)
{
    if (!records.reserve(num_entries)) {
        return -1;
    }
    ibv_wc *wcs = records.data();
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
        raise_count("ibv_poll_cq", n, err);
        return -1;
    }
    return n;
}

// An extended queue's batch read into `records` (left empty when the queue
// had nothing); false with the exception set.
bool poll_extended(CQExObject *cq, const ExtendedReader &reader, int num_entries, Records &records)
{
    ibv_cq_ex *cqx = cq->_cqx;
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
        return true;
    }
    if (outcome.start_rc != 0) {
        raise_rc("ibv_start_poll", outcome.start_rc, outcome.err);
        return false;
    }
    if (outcome.next_rc != 0) {
        raise_rc("ibv_next_poll", outcome.next_rc, outcome.err);
        return false;
    }
    return true;
}

[[gnu::cold]] void raise_not_wc(int index, PyObject *item)
{
    Ref name = Ref::steal(py::qualified_type_name(item));
    if (name) {
        PyErr_Format(PyExc_TypeError, "Expected WC at wcs[%d], got %U", index, name.get());
    }
}

// The WC objects a poll_into fills, in order: those its list holds when the
// call begins. They are borrowed from the list itself when nothing can
// change it before they are filled: no other thread can take the GIL while
// it is released for the poll, and no sgid a fill replaces can run code
// when it is released (None or bytes). Otherwise each is held until the
// call ends, and the sgids they give up are released last, once no WC is
// half-filled.
class Targets {
public:
    Targets() = default;
    Targets(const Targets &) = delete;
    Targets &operator=(const Targets &) = delete;
    ~Targets()
    {
        for (size_t i = 0; i < released_.size(); ++i) {
            Py_DECREF(released_[i]);
        }
        for (size_t i = 0; i < held_.size(); ++i) {
            Py_DECREF(held_[i]);
        }
    }

    // Takes items[0..n), checked to be WCs; false with the exception set.
    bool take(PyObject *const *items, int n)
    {
        bool plain = true;
        for (int i = 0; i < n; ++i) {
            PyObject *item = items[i];
            if (!PyObject_TypeCheck(item, types::WC)) {
                raise_not_wc(i, item);
                return false;
            }
            PyObject *sgid = reinterpret_cast<WCObject *>(item)->sgid;
            if (sgid != Py_None) [[unlikely]] {
                bare_ = false;
                plain = plain && (sgid == nullptr || PyBytes_CheckExact(sgid));
            }
        }
        if (plain && !py::other_threads_exist()) {
            items_ = items;
            return true;
        }
        bare_ = false;
        for (int i = 0; i < n; ++i) {
            if (!held_.reserve_one()) {
                PyErr_NoMemory();
                return false;
            }
            Py_INCREF(items[i]);
            held_.append() = items[i];
        }
        items_ = &held_[0];
        return true;
    }

    WCObject *wc(size_t i) const { return reinterpret_cast<WCObject *>(items_[i]); }
    // Borrowed, and every sgid None: a poll may fill the WCs' numeric
    // fields as it reads the completions (it keeps the GIL throughout).
    bool bare() const { return bare_; }

    // Puts `sgid` (a new reference) into `wc`. The former value is released
    // at once when that runs no code, else at the end (at once if there is
    // no memory to keep it: then the WCs are held).
    void set_sgid(WCObject *wc, PyObject *sgid)
    {
        PyObject *old = wc->sgid;
        wc->sgid = sgid;
        if (old == nullptr) {
            return;
        }
        if (old == Py_None || PyBytes_CheckExact(old) || !released_.reserve_one()) {
            Py_DECREF(old);
            return;
        }
        released_.append() = old;
    }

private:
    PyObject *const *items_ = nullptr;
    bool bare_ = true;
    SmallArray<PyObject *> held_;
    SmallArray<PyObject *> released_;
};

// The completions of a bare poll_into, read straight into its WCs: there is
// a WC for each of the num_entries the batch may read.
class WCSink {
public:
    explicit WCSink(const Targets &targets) : targets_(targets) {}
    WCObject &append() { return *targets_.wc(count_++); }
    size_t size() const { return count_; }
    static bool reserve_one() { return true; }

private:
    const Targets &targets_;
    size_t count_ = 0;
};

// poll_into's extended batch read into a bare target list. The GIL is kept
// (no other thread exists to take it), and nothing but the numeric fields
// is written while the batch is open. The count, or -1 with the exception
// set.
Py_ssize_t poll_extended_bare(CQExObject *cq, const ExtendedReader &reader, int num_entries,
                              const Targets &targets)
{
    ibv_cq_ex *cqx = cq->_cqx;
    WCSink sink(targets);
    BatchOutcome outcome;
    {
        InUse in_use(&cq->base);
        outcome = read_batch_as<true>(cqx, reader, num_entries, sink);
    }
    if (outcome.start_rc == ENOENT) {
        return 0;
    }
    if (outcome.start_rc != 0) {
        raise_rc("ibv_start_poll", outcome.start_rc, outcome.err);
        return -1;
    }
    if (outcome.next_rc != 0) {
        raise_rc("ibv_next_poll", outcome.next_rc, outcome.err);
        return -1;
    }
    return static_cast<Py_ssize_t>(sink.size());
}

const char *const kPollIntoNames[] = {"wcs", "num_entries", nullptr};
const py::ArgSpec kPollIntoArgs{"poll_into", kPollIntoNames, 1};

// Shared prologue of poll_into: the arguments, the closed check, the count
// and every WC it covers, all checked before anything is polled (a
// completion taken off the queue cannot be put back).
bool poll_into_prologue(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                        Targets &targets, int &num_entries)
{
    // The parser's own inline path takes only calls that give exactly the
    // required arguments; widening it to optional ones cost every method
    // 10-15 instructions a call, so the usual shapes of this one are
    // taken here.
    PyObject *values[2] = {nullptr, nullptr};
    if (kwnames == nullptr && (nargs == 1 || nargs == 2)) {
        values[0] = args[0];
        values[1] = nargs == 2 ? args[1] : nullptr;
    } else if (!kPollIntoArgs.parse(args, nargs, kwnames, values)) {
        return false;
    }
    PyObject *wcs = values[0];
    if (!PyList_Check(wcs)) {
        raise_bad_type(wcs, "list", "wcs");
        return false;
    }
    const Py_ssize_t size = PyList_GET_SIZE(wcs);
    const bool counted = values[1] != nullptr && values[1] != Py_None;
    if (counted) {
        if (!py::to_int(values[1], num_entries)) {
            return false;
        }
    } else {
        num_entries = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    }
    if (!cq_ensure(self)) {
        return false;
    }
    if (!counted && size == 0) {
        PyErr_SetString(PyExc_ValueError, "wcs is empty: nothing to poll into");
        return false;
    }
    if (num_entries < 1) {
        PyErr_SetString(PyExc_ValueError, "num_entries must be positive");
        return false;
    }
    if (num_entries > size) {
        PyErr_Format(PyExc_ValueError, "num_entries (%d) exceeds len(wcs) (%zd)", num_entries,
                     size);
        return false;
    }
    return targets.take(reinterpret_cast<PyListObject *>(wcs)->ob_item, num_entries);
}

}  // namespace

PyObject *cq_poll(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    int num_entries;
    if (!poll_prologue(self, args, nargs, kwnames, num_entries)) {
        return nullptr;
    }
    ClassicRecords wcs;
    const int n = poll_classic(reinterpret_cast<CQObject *>(self), num_entries, wcs);
    if (n < 0) {
        return nullptr;
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
    auto *cq = reinterpret_cast<CQExObject *>(self);
    Records records;
    if (!poll_extended(cq, ExtendedReader(cq), num_entries, records)) {
        return nullptr;
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

PyObject *cq_poll_into(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    Targets targets;
    int num_entries;
    if (!poll_into_prologue(self, args, nargs, kwnames, targets, num_entries)) {
        return nullptr;
    }
    ClassicRecords wcs;
    const int n = poll_classic(reinterpret_cast<CQObject *>(self), num_entries, wcs);
    if (n < 0) {
        return nullptr;
    }
    for (int i = 0; i < n; ++i) {
        WCObject *wc = targets.wc(static_cast<size_t>(i));
        wc_set_fields(*wc, wcs[i]);
        if (wc->sgid != Py_None) {
            Py_INCREF(Py_None);
            targets.set_sgid(wc, Py_None);
        }
    }
    return PyLong_FromLong(n);
}

PyObject *cq_ex_poll_into(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames)
{
    Targets targets;
    int num_entries;
    if (!poll_into_prologue(self, args, nargs, kwnames, targets, num_entries)) {
        return nullptr;
    }
    auto *cq = reinterpret_cast<CQExObject *>(self);
    const ExtendedReader reader(cq);
    if (targets.bare() && reader.standard) {
        const Py_ssize_t n = poll_extended_bare(cq, reader, num_entries, targets);
        return n < 0 ? nullptr : PyLong_FromSsize_t(n);
    }
    Records records;
    if (!poll_extended(cq, reader, num_entries, records)) {
        return nullptr;
    }
    for (size_t i = 0; i < records.size(); ++i) {
        WCObject *wc = targets.wc(i);
        const ExtendedRecord &record = records[i];
        if (record.has_sgid || wc->sgid != Py_None) [[unlikely]] {
            PyObject *sgid = wc_record_sgid(record);
            if (sgid == nullptr) {
                return nullptr;
            }
            targets.set_sgid(wc, sgid);
        }
        wc_set_fields(*wc, record);
    }
    return PyLong_FromSize_t(records.size());
}

}  // namespace vantor
