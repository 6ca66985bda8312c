// Joining the host: the name in effect, the slot, the listening socket and
// the progress thread.
#include "host.hpp"
#include "world.hpp"
#include "xproc_link.hpp"
#include "xproc_naming.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

namespace vsim {

std::mutex g_cfg_mtx;  // joining, the host override, fork
std::atomic<Transport *> g_tp{nullptr};
bool g_join_failed = false;  // stays local; retried after a fork

Transport *transport() { return g_tp.load(std::memory_order_acquire); }

Transport *Transport::start(const std::string &host)
{
    if (!valid_host(host.c_str())) {
        std::fprintf(stderr,
                     "vantor simulator: host name '%s' is not usable (1-64 of A-Z a-z 0-9 . _ -); "
                     "this process reaches no other process\n",
                     host.c_str());
        return nullptr;
    }
    auto *tp = new Transport;
    tp->host = host;
    int err = 0;
    tp->slot = bind_free_slot(host, tp->listen_fd, err);
    if (tp->slot < 0) {
        if (err == EADDRINUSE) {
            std::fprintf(stderr,
                         "vantor simulator: all %d process slots of host '%s' are taken; "
                         "this process reaches no other process\n",
                         kXprocSlots, host.c_str());
        } else {
            std::fprintf(stderr,
                         "vantor simulator: cannot join host '%s' (%s); this process reaches no "
                         "other process\n",
                         host.c_str(), std::strerror(err));
        }
        delete tp;
        return nullptr;
    }
    tp->ep = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = 0;
    if (tp->ep < 0 || ::epoll_ctl(tp->ep, EPOLL_CTL_ADD, tp->listen_fd, &ev) < 0) {
        std::fprintf(stderr, "vantor simulator: epoll: %s\n", std::strerror(errno));
        ::close(tp->listen_fd);
        if (tp->ep >= 0) {
            ::close(tp->ep);
        }
        delete tp;
        return nullptr;
    }
    // The thread takes no signals: they stay with the application's threads.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    bool started = true;
    try {
        std::thread([tp] { tp->run(); }).detach();
    } catch (const std::system_error &) {
        started = false;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (!started) {
        std::fprintf(stderr, "vantor simulator: cannot start the progress thread\n");
        ::close(tp->listen_fd);
        ::close(tp->ep);
        delete tp;
        return nullptr;
    }
    install_fork_hooks();
    return tp;
}

int xproc_slot()
{
    if (Transport *tp = transport()) {
        return tp->slot;
    }
    std::lock_guard lock(g_cfg_mtx);
    if (Transport *tp = g_tp.load()) {
        return tp->slot;
    }
    if (g_join_failed) {
        return 0;
    }
    Transport *tp = Transport::start(host_in_effect());
    if (!tp) {
        g_join_failed = true;
        // Alone, the process is a machine of its own: its devices take
        // other GIDs, so that a request meant for a process of the host it
        // failed to join cannot land in one of its own QPs.
        const std::string alone = "alone-" + std::to_string(::getpid());
        host_override(alone.c_str());
        rename_devices_for_host();
        return 0;
    }
    g_tp.store(tp, std::memory_order_release);
    set_remote(tp);
    return tp->slot;
}

int xproc_joined_slot()
{
    Transport *tp = transport();
    return tp ? tp->slot : -1;
}

int xproc_set_host(const char *name)
{
    if (name && !valid_host(name)) {
        return -EINVAL;
    }
    std::lock_guard lock(g_cfg_mtx);
    if (Transport *tp = g_tp.load()) {
        // Joined: only a request for the name in use can be granted.
        const std::string want = name ? std::string(name) : host_from_environment();
        return want == tp->host ? 0 : -EBUSY;
    }
    const std::string before = host_in_effect();
    host_override(name);
    if (host_in_effect() != before) {
        rename_devices_for_host();  // another machine: other GIDs
    }
    g_join_failed = false;
    return 0;
}

std::string xproc_host()
{
    std::lock_guard lock(g_cfg_mtx);
    if (Transport *tp = g_tp.load()) {
        return tp->host;
    }
    return host_in_effect();
}

int xproc_connections()
{
    Transport *tp = transport();
    if (!tp) {
        return 0;
    }
    std::lock_guard lock(tp->state_mtx);
    return static_cast<int>(tp->conns.size());
}

}  // namespace vsim
