// Call counters: one block per thread, added up when read. A thread that
// exits folds its counts into the totals and leaves its block for the next
// thread, so no count is lost and blocks do not pile up.
#include "instrument.hpp"

#include <pthread.h>

#include <mutex>

namespace vsim {

[[gnu::tls_model("initial-exec")]] constinit thread_local CountBlock *t_counts = nullptr;
[[gnu::tls_model("initial-exec")]] constinit thread_local bool t_internal = false;

namespace {

void retire_thread(void *block);

struct Registry {
    std::mutex mtx;
    CountBlock *live = nullptr;       // blocks of running threads
    CountBlock *spare = nullptr;      // blocks left by exited threads, zeroed
    uint64_t retired[kFnCount] = {};  // counts of exited threads
    uint64_t base[kFnCount] = {};     // totals at the last reset
    pthread_key_t exit_key{};

    uint64_t total_locked(std::size_t i) const
    {
        uint64_t n = retired[i];
        for (const CountBlock *b = live; b; b = b->next) {
            n += b->n[i].load(std::memory_order_relaxed);
        }
        return n;
    }
};

Registry &registry()
{
    // Never destroyed: threads may still exit, and fold their counts in,
    // while the process runs its static destructors.
    static Registry *r = [] {
        auto *reg = new Registry;
        pthread_key_create(&reg->exit_key, retire_thread);
        // A fork while another thread holds the lock must not leave the
        // child with a lock nobody will release.
        pthread_atfork([] { registry().mtx.lock(); }, [] { registry().mtx.unlock(); },
                       [] { registry().mtx.unlock(); });
        return reg;
    }();
    return *r;
}

void retire_thread(void *p)
{
    auto *block = static_cast<CountBlock *>(p);
    Registry &r = registry();
    {
        std::lock_guard lock(r.mtx);
        for (CountBlock **link = &r.live; *link; link = &(*link)->next) {
            if (*link == block) {
                *link = block->next;
                break;
            }
        }
        for (std::size_t i = 0; i < kFnCount; ++i) {
            r.retired[i] += block->n[i].load(std::memory_order_relaxed);
            block->n[i].store(0, std::memory_order_relaxed);
        }
        block->next = r.spare;
        r.spare = block;
    }
    // A call made by a later thread-exit handler registers afresh.
    t_counts = nullptr;
}

}  // namespace

CountBlock *register_thread_counts()
{
    Registry &r = registry();
    CountBlock *block;
    {
        std::lock_guard lock(r.mtx);
        block = r.spare;
        if (block) {
            r.spare = block->next;
        } else {
            block = new CountBlock{};
        }
        block->next = r.live;
        r.live = block;
    }
    pthread_setspecific(r.exit_key, block);
    t_counts = block;
    return block;
}

uint64_t call_count(Fn fn)
{
    Registry &r = registry();
    const auto i = static_cast<std::size_t>(fn);
    std::lock_guard lock(r.mtx);
    return r.total_locked(i) - r.base[i];
}

void reset_counts()
{
    // Counts only grow, so a reset remembers where they stood; the threads
    // counting meanwhile never see their blocks rewritten under them.
    Registry &r = registry();
    std::lock_guard lock(r.mtx);
    for (std::size_t i = 0; i < kFnCount; ++i) {
        r.base[i] = r.total_locked(i);
    }
}

}  // namespace vsim
