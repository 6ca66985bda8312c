#include "lifecycle.hpp"

#include <new>
#include <unordered_map>
#include <utility>

namespace vantor {
namespace {

struct Entry {
    PyObject **refs;
    size_t count;
    ContextObject *context;
};

// Keyed by the cleared object. Almost always empty: only objects the
// collector cleared while open are here, until their destruction.
std::unordered_map<PyObject *, Entry> &parked_table()
{
    static auto *table = new std::unordered_map<PyObject *, Entry>();
    return *table;
}

}  // namespace

ParkedParents::ParkedParents(ParkedParents &&other) noexcept
    : refs_(std::exchange(other.refs_, nullptr)), count_(std::exchange(other.count_, 0)),
      context_(std::exchange(other.context_, nullptr))
{}

ParkedParents &ParkedParents::operator=(ParkedParents &&other) noexcept
{
    if (this != &other) {
        drop();
        refs_ = std::exchange(other.refs_, nullptr);
        count_ = std::exchange(other.count_, 0);
        context_ = std::exchange(other.context_, nullptr);
    }
    return *this;
}

ParkedParents ParkedParents::take(PyObject *child)
{
    ParkedParents parked;
    auto &table = parked_table();
    if (table.empty()) {
        return parked;
    }
    auto found = table.find(child);
    if (found == table.end()) {
        return parked;
    }
    parked.refs_ = found->second.refs;
    parked.count_ = found->second.count;
    parked.context_ = found->second.context;
    table.erase(found);
    return parked;
}

bool ParkedParents::park(PyObject *child, PyObject *const *parents, size_t count,
                         ContextObject *context)
{
    auto &table = parked_table();
    if (table.find(child) != table.end()) {
        return true;
    }
    auto **refs = new (std::nothrow) PyObject *[count];
    if (refs == nullptr) {
        return false;
    }
    try {
        table.emplace(child, Entry{refs, count, context});
    } catch (const std::bad_alloc &) {
        delete[] refs;
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        Py_INCREF(parents[i]);
        refs[i] = parents[i];
    }
    return true;
}

void ParkedParents::drop()
{
    PyObject **refs = std::exchange(refs_, nullptr);
    size_t count = std::exchange(count_, 0);
    context_ = nullptr;
    for (size_t i = 0; i < count; ++i) {
        Py_DECREF(refs[i]);
    }
    delete[] refs;
}

}  // namespace vantor
