// Lock's contended path: a short spin, then a sleep on a futex.
#include "lock.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vsim {

namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));

inline void cpu_relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

void futex(std::atomic<uint32_t> &word, int op, uint32_t val)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), op, val, nullptr, nullptr, 0);
}

}  // namespace

void Lock::lock_contended()
{
    // Most holds last a few hundred nanoseconds (a delivery, a repost), so
    // a short spin usually wins the lock without a system call; the long
    // ones (a batch being built, a poll batch open) end in a sleep.
    for (int k = 0; k < 100; ++k) {
        cpu_relax();
        uint32_t free = kFree;
        if (state_.load(std::memory_order_relaxed) == kFree &&
            state_.compare_exchange_weak(free, kHeld, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
            return;
        }
    }
    // Marked as waited on, so that the holder's unlock wakes a sleeper; the
    // lock is ours when the exchange finds it free.
    while (state_.exchange(kWaited, std::memory_order_acquire) != kFree) {
        futex(state_, FUTEX_WAIT_PRIVATE, kWaited);
    }
}

void Lock::wake_one() { futex(state_, FUTEX_WAKE_PRIVATE, 1); }

}  // namespace vsim
