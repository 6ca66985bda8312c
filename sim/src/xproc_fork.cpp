// fork(): the child gets copies of the sockets and the shared segments but
// not the progress thread, so it leaves the parent's slot to the parent and
// joins afresh when it needs to. The locks are taken around the fork so
// that no copy is taken while another thread is halfway through an update.
#include "xproc_link.hpp"

#include "world.hpp"

#include <pthread.h>
#include <unistd.h>

#include <new>

namespace vsim {

namespace {

void before_fork()
{
    g_cfg_mtx.lock();
    Transport *tp = g_tp.load();
    if (tp) {
        tp->io_mtx.lock();
    }
    world().mtx.lock();
    if (tp) {
        tp->state_mtx.lock();
    }
}

void after_fork_parent()
{
    Transport *tp = g_tp.load();
    if (tp) {
        tp->state_mtx.unlock();
    }
    world().mtx.unlock();
    if (tp) {
        tp->io_mtx.unlock();
    }
    g_cfg_mtx.unlock();
}

void after_fork_child()
{
    Transport *tp = g_tp.load();
    if (tp) {
        tp->state_mtx.unlock();
        for (auto &e : tp->conns) {
            ::close(e.second->fd);
        }
        ::close(tp->listen_fd);
        ::close(tp->ep);
    }
    // The parent's QPs are the parent's: requests for them must reach it,
    // not these copies.
    world().qps.clear();
    // A read-write lock write-locked before the fork cannot be unlocked in
    // the child (it remembers the parent thread's id): start it afresh.
    new (&world().mtx) std::shared_mutex;
    if (tp) {
        tp->io_mtx.unlock();
    }
    // The old transport stays allocated (requests of inherited QPs may
    // still name its connections, which now lead nowhere), but nothing
    // reaches it any more.
    set_remote(nullptr);
    g_tp.store(nullptr);
    g_remote_active.store(false);
    g_join_failed = false;
    g_cfg_mtx.unlock();
}

}  // namespace

void install_fork_hooks()
{
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(before_fork, after_fork_parent, after_fork_child); });
}

}  // namespace vsim
