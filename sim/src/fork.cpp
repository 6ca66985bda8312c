#include "fork.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>

namespace vsim {

namespace {

std::mutex g_mtx;
bool g_enabled = false;   // ibv_fork_init succeeded
bool g_too_late = false;  // memory was registered before it
// Registrations covering each protected page: overlapping regions share
// pages, and a page goes back to normal only when the last one goes.
std::map<uintptr_t, unsigned> g_pages;

uintptr_t page_size()
{
    static const uintptr_t size = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

// Applies `advice` to the pages of [base, base + size) whose count crosses
// zero (`delta` +1: from 0, -1: to 0), in contiguous runs.
int advise(void *base, std::size_t size, int delta, int advice)
{
    if (size == 0) {
        return 0;
    }
    const uintptr_t page = page_size();
    const uintptr_t first = reinterpret_cast<uintptr_t>(base) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(base) + size + page - 1) & ~(page - 1);
    uintptr_t run = 0;
    int err = 0;
    auto flush = [&](uintptr_t upto) {
        if (run && ::madvise(reinterpret_cast<void *>(run), upto - run, advice) != 0 && !err) {
            err = errno;
        }
        run = 0;
    };
    for (uintptr_t p = first; p < end; p += page) {
        bool crosses;
        if (delta > 0) {
            crosses = g_pages[p]++ == 0;
        } else {
            auto it = g_pages.find(p);
            crosses = it != g_pages.end() && --it->second == 0;
            if (crosses) {
                g_pages.erase(it);
            }
        }
        if (crosses && !run) {
            run = p;
        } else if (!crosses) {
            flush(p);
        }
    }
    flush(end);
    return err;
}

}  // namespace

int dontfork_range(void *base, std::size_t size)
{
    std::lock_guard lock(g_mtx);
    if (!g_enabled) {
        g_too_late = true;
        return 0;
    }
    const int err = advise(base, size, +1, MADV_DONTFORK);
    if (err) {
        advise(base, size, -1, MADV_DOFORK);
    }
    return err;
}

int dofork_range(void *base, std::size_t size)
{
    std::lock_guard lock(g_mtx);
    if (!g_enabled) {
        return 0;
    }
    return advise(base, size, -1, MADV_DOFORK);
}

int fork_init()
{
    std::lock_guard lock(g_mtx);
    if (g_enabled) {
        return 0;
    }
    if (g_too_late) {
        return EINVAL;
    }
    g_enabled = true;
    return 0;
}

bool fork_enabled()
{
    std::lock_guard lock(g_mtx);
    return g_enabled;
}

}  // namespace vsim
