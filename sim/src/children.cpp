#include "children.hpp"

#include "instrument.hpp"

#include <infiniband/verbs.h>

#include <array>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vsim {

namespace {

constexpr int kKinds = static_cast<int>(Kind::count_);
using Owned = std::array<std::unordered_set<void *>, kKinds>;

std::mutex g_mtx;

std::unordered_map<const Context *, Owned> &registry()
{
    static auto *const r = new std::unordered_map<const Context *, Owned>;  // outlives exit
    return *r;
}

// The simulator's own calls of its entry points, invisible to the call
// log, the counters and fault injection.
class InternalCalls {
public:
    InternalCalls() : saved_(t_internal) { t_internal = true; }
    ~InternalCalls() { t_internal = saved_; }
    InternalCalls(const InternalCalls &) = delete;
    InternalCalls &operator=(const InternalCalls &) = delete;

private:
    bool saved_;
};

// Nobody is left to acknowledge the object's events: the destroy call must
// not wait for them.
void settle(EventTally &t)
{
    std::lock_guard lock(t.mtx);
    t.comp_acked = t.comp_reported;
    t.async_acked = t.async_reported;
    t.cv.notify_all();
}

int destroy(Kind kind, void *obj)
{
    switch (kind) {
    case Kind::Qp:
        settle(static_cast<Qp *>(obj)->tally);
        return ibv_destroy_qp(&static_cast<Qp *>(obj)->qpx.qp_base);
    case Kind::Ah:
        return ibv_destroy_ah(&static_cast<Ah *>(obj)->ah);
    case Kind::Mr:
        return ibv_dereg_mr(&static_cast<Mr *>(obj)->mr);
    case Kind::Cq:
        settle(static_cast<Cq *>(obj)->tally);
        return ibv_destroy_cq(reinterpret_cast<ibv_cq *>(&static_cast<Cq *>(obj)->cqx));
    case Kind::Channel:
        return ibv_destroy_comp_channel(&static_cast<Channel *>(obj)->ch);
    case Kind::Pd:
        return ibv_dealloc_pd(&static_cast<Pd *>(obj)->pd);
    default:
        return EINVAL;
    }
}

}  // namespace

void adopt(Context *c, Kind kind, void *obj)
{
    std::lock_guard lock(g_mtx);
    registry()[c][static_cast<int>(kind)].insert(obj);
}

void disown(Context *c, Kind kind, void *obj)
{
    std::lock_guard lock(g_mtx);
    auto it = registry().find(c);
    if (it != registry().end()) {
        it->second[static_cast<int>(kind)].erase(obj);
    }
}

int release_children(Context *c)
{
    Owned owned;
    {
        std::lock_guard lock(g_mtx);
        auto it = registry().find(c);
        if (it == registry().end()) {
            return 0;
        }
        owned = it->second;
    }
    InternalCalls internal;
    int left = 0;
    for (const Kind kind : {Kind::Qp, Kind::Ah, Kind::Mr, Kind::Cq, Kind::Channel, Kind::Pd}) {
        for (void *obj : owned[static_cast<int>(kind)]) {
            left += destroy(kind, obj) != 0;  // a success disowns the object
        }
    }
    if (left == 0) {
        std::lock_guard lock(g_mtx);
        registry().erase(c);
    }
    return left;
}

}  // namespace vsim
