// The lock of the objects on the data path (queues, CQs): one compare-and-
// swap to take and one exchange to release when nobody waits, inlined,
// where a pthread mutex costs two library calls and a type dispatch each.
// Contended, it spins briefly and then sleeps on a futex. Not recursive.
// Also the identity of the calling thread, as the owner fields hold it.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace vsim {

class Lock {
public:
    Lock() = default;
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

    void lock()
    {
        uint32_t free = kFree;
        if (!state_.compare_exchange_strong(free, kHeld, std::memory_order_acquire,
                                            std::memory_order_relaxed)) [[unlikely]] {
            lock_contended();
        }
    }
    bool try_lock()
    {
        uint32_t free = kFree;
        return state_.compare_exchange_strong(free, kHeld, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void unlock()
    {
        if (state_.exchange(kFree, std::memory_order_release) == kWaited) [[unlikely]] {
            wake_one();
        }
    }

private:
    static constexpr uint32_t kFree = 0, kHeld = 1,
                              kWaited = 2;  // kWaited: held, may have sleepers
    void lock_contended();
    void wake_one();
    std::atomic<uint32_t> state_{kFree};
};

// The calling thread, as a number that no other live thread has: its
// thread pointer, read inline (a pthread_self() without the call).
inline uintptr_t self_id()
{
#if defined(__has_builtin) && __has_builtin(__builtin_thread_pointer)
    return reinterpret_cast<uintptr_t>(__builtin_thread_pointer());
#else
    return static_cast<uintptr_t>(pthread_self());
#endif
}

}  // namespace vsim
