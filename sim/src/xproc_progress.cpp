// Who moves the traffic between processes. A thread that polls a CQ serves
// the rings itself (a few loads when nothing came), so two processes that
// both spin make progress at the speed of shared memory whatever the
// scheduler does. A thread that sleeps in ibv_get_cq_event asks its peers
// for a wake-up byte and serves what woke it. The progress thread serves
// only when the application does neither for a while: requests for a
// process that never polls (one-sided operations), and the end of a peer.
// Once woken it stays on the rings for a little while before sleeping
// again, so that a stream of one-sided requests is served as it comes.
#include "xproc_link.hpp"

#include <poll.h>
#include <sched.h>
#include <sys/epoll.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace vsim {

namespace {

constexpr uint64_t kHandOverNs = 1000000;  // see Transport::run
// An application whose last two polls were further apart than this does
// not count as serving the rings: a request would wait longer for its next
// poll than for this thread's wake-up (a target that looks at its queue
// every half millisecond made each RDMA read take 0.6 ms).
constexpr uint64_t kDenseGapNs = 50000;
// How long the progress thread stays on the rings after the last frame it
// served before it asks for a wake-up and sleeps: a peer that issues one
// small operation after another (an RDMA read, waiting for each) then finds
// it awake, instead of paying a wake-up byte and the sleeper's wake-up (5
// to 20 us on a virtual machine) on every request.
constexpr uint64_t kLingerNs = 50000;
// A turn of lingering that took this long means the thread lost its CPU to
// another: on a busy machine a thread that stays runnable waits a whole
// time slice (milliseconds) to run again, while a sleeper that is woken runs
// at once. It then sleeps between requests for kNoLingerNs.
constexpr uint64_t kPreemptedNs = 200000;
constexpr uint64_t kNoLingerNs = 100000000;

uint64_t now_ns()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// When a thread of the application last served from a CQ poll, the time
// between that poll and the one before, and how many threads are blocked
// serving (wait()).
std::atomic<uint64_t> g_last_app_service{0};
std::atomic<uint64_t> g_app_gap{~uint64_t{0}};
std::atomic<int> g_app_waiters{0};

// How much longer the application serves the rings itself, as far as can
// be told at `now`: 0 once it stopped, or polls too seldom to count.
uint64_t app_serves_for(uint64_t now)
{
    if (g_app_waiters.load() > 0) {
        return kHandOverNs;
    }
    const uint64_t last = g_last_app_service.load(std::memory_order_relaxed);
    const uint64_t since = now > last ? now - last : 0;  // another thread may be ahead
    if (since >= kHandOverNs || g_app_gap.load(std::memory_order_relaxed) >= kDenseGapNs) {
        return 0;
    }
    return kHandOverNs - since;
}

}  // namespace

void refresh_snapshot(Transport &tp)
{
    const uint64_t gen = tp.conns_gen.load();
    if (gen == tp.snap_gen_) {
        return;
    }
    std::lock_guard lock(tp.state_mtx);
    tp.snap_.clear();
    for (auto &e : tp.conns) {
        tp.snap_.push_back(e.second);
    }
    tp.snap_gen_ = tp.conns_gen.load();
}

void Transport::handle_events(int timeout_ms)
{
    epoll_event ev[64];
    const int n = ::epoll_wait(ep, ev, 64, timeout_ms);
    for (int k = 0; k < n; ++k) {
        if (ev[k].data.u64 == 0) {
            accept_all();
            continue;
        }
        ConnPtr c = find(ev[k].data.u64);
        if (!c) {
            continue;  // torn down by an earlier event of this batch
        }
        bool got = false;
        const bool open = read_socket(c);
        if (open) {
            flush(*c);
        }
        // What the peer wrote before it left still counts.
        if (!read_ring(c, got) || !open) {
            teardown(c);
        }
    }
}

bool Transport::serve_locked(bool poll_sockets)
{
    refresh_snapshot(*this);
    bool got = false;
    for (const ConnPtr &c : snap_) {
        if (c->closed || !c->greeted || c->seg.in().available() == 0) {
            continue;
        }
        if (!read_ring(c, got)) {
            teardown(c);
        }
    }
    if (poll_sockets) {
        handle_events(0);
    }
    return got;
}

bool Transport::arm_locked()
{
    refresh_snapshot(*this);
    bool quiet = true;
    for (const ConnPtr &c : snap_) {
        if (!c->closed && c->greeted) {
            quiet &= c->seg.in().arm();
        }
    }
    return quiet;
}

bool Transport::serve_rearm_locked(bool poll_sockets)
{
    bool got = serve_locked(poll_sockets);
    while (sleepers.load() > 0 && !arm_locked()) {
        got |= serve_locked(false);
    }
    return got;
}

void Transport::progress()
{
    std::unique_lock io(io_mtx, std::try_to_lock);
    if (!io.owns_lock()) {
        return;
    }
    const uint64_t now = now_ns();
    const uint64_t prev = g_last_app_service.exchange(now, std::memory_order_relaxed);
    g_app_gap.store(now > prev ? now - prev : 0, std::memory_order_relaxed);
    flush_dirty();
    if (serve_locked(false)) {
        if (sleepers.load() > 0) {
            serve_rearm_locked(false);
        }
        return;
    }
    // Nothing in the rings: a new peer, a hang-up, or room to write.
    handle_events(0);
    if (sleepers.load() > 0) {
        serve_rearm_locked(false);
    }
    // What the poller waits for is another process's doing, and that
    // process may be waiting for this CPU.
    io.unlock();
    sched_yield();
}

void Transport::run()
{
    for (;;) {
        flush_dirty();
        // While the application polls (or waits in ibv_get_cq_event), it
        // serves the rings itself: waking this thread for every message as
        // well would only cost both of them. It takes over once that stops,
        // after at most kHandOverNs, and at once from one that polls seldom.
        if (const uint64_t wait = app_serves_for(now_ns())) {
            std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
            continue;
        }
        sleepers.fetch_add(1);
        {
            std::lock_guard io(io_mtx);
            if (serve_locked(true) || !arm_locked()) {
                sleepers.fetch_sub(1);
                continue;
            }
        }
        pollfd p{ep, POLLIN, 0};
        const int n = ::poll(&p, 1, -1);
        sleepers.fetch_sub(1);
        if (n < 0 && errno != EINTR) {
            return;
        }
        {
            std::lock_guard io(io_mtx);
            serve_rearm_locked(true);
        }
        linger();
    }
}

void Transport::linger()
{
    uint64_t last = now_ns();
    if (last < no_linger_until_) {
        return;
    }
    for (uint64_t turn = last;;) {
        sched_yield();
        const uint64_t now = now_ns();
        if (now - turn >= kPreemptedNs) {
            no_linger_until_ = now + kNoLingerNs;
            return;
        }
        turn = now;
        if (now - last >= kLingerNs || app_serves_for(now) > 0) {
            return;  // quiet for long enough, or the application serves
        }
        flush_dirty();
        std::unique_lock io(io_mtx, std::try_to_lock);
        if (io.owns_lock() && serve_locked(false)) {
            last = now_ns();
        }
    }
}

bool Transport::wait(int fd)
{
    g_app_waiters.fetch_add(1);
    flush_dirty();  // nobody else may write them while this thread sleeps
    sleepers.fetch_add(1);
    bool quiet;
    {
        std::lock_guard io(io_mtx);
        quiet = !serve_locked(true) && arm_locked();
    }
    int r = 1;
    int err = 0;
    if (quiet) {
        pollfd p[2] = {{fd, POLLIN, 0}, {ep, POLLIN, 0}};
        while ((r = ::poll(p, 2, -1)) < 0 && errno == EINTR) {
        }
        err = errno;
        sleepers.fetch_sub(1);
        if (r > 0 && p[1].revents) {
            std::lock_guard io(io_mtx);
            serve_rearm_locked(true);
        }
    } else {
        sleepers.fetch_sub(1);
    }
    g_app_waiters.fetch_sub(1);
    errno = err;
    return r >= 0;
}

}  // namespace vsim
