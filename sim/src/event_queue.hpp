// A queue of events behind an eventfd: the descriptor is readable exactly
// while the queue holds something, so select/poll/epoll work on it, and a
// blocking take waits on it like the real library's read() of the device.
#pragma once

#include <cerrno>
#include <cstddef>
#include <deque>
#include <mutex>

namespace vsim {

class EventFd {
public:
    EventFd();
    ~EventFd();
    EventFd(const EventFd &) = delete;
    EventFd &operator=(const EventFd &) = delete;

    int fd() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    void raise();  // make readable
    void clear();  // make unreadable (takes every write at once)
    bool nonblocking() const;
    bool wait();  // block until readable; false on poll failure (errno set)

private:
    int fd_;
};

template <class T>
class EventQueue {
public:
    int fd() const { return efd_.fd(); }
    bool ok() const { return efd_.ok(); }

    // Every event is a new write, as the kernel wakes the channel's readers
    // for every event: an edge-triggered epoll sees each one, not only the
    // first of a batch.
    void push(const T &v)
    {
        std::lock_guard lock(mtx_);
        efd_.raise();
        q_.push_back(v);
    }

    // Blocks until an event arrives (or fails with EAGAIN on a descriptor
    // the application made non-blocking). Returns false with errno set.
    bool take(T &out)
    {
        return take(out, [](const T &) {});
    }

    // As take(), running `on_take` on the event while the queue is locked, so
    // that removal by remove_if() and the taking cannot interleave.
    template <class F>
    bool take(T &out, F on_take)
    {
        return take(out, on_take, [this] { return efd_.wait(); });
    }

    // As above, blocking in `wait()` (which returns once the descriptor may
    // be readable, or false with errno set).
    template <class F, class W>
    bool take(T &out, F on_take, W wait)
    {
        for (;;) {
            {
                std::lock_guard lock(mtx_);
                if (!q_.empty()) {
                    out = q_.front();
                    q_.pop_front();
                    on_take(out);
                    if (q_.empty()) {
                        efd_.clear();
                    }
                    return true;
                }
            }
            if (efd_.nonblocking()) {
                errno = EAGAIN;
                return false;
            }
            if (!wait()) {
                return false;
            }
        }
    }

    // Drops the queued events that `pred` selects; returns how many.
    template <class Pred>
    std::size_t remove_if(Pred pred)
    {
        std::lock_guard lock(mtx_);
        std::size_t n = 0;
        for (auto it = q_.begin(); it != q_.end();) {
            if (pred(*it)) {
                it = q_.erase(it);
                ++n;
            } else {
                ++it;
            }
        }
        if (n && q_.empty()) {
            efd_.clear();
        }
        return n;
    }

    std::size_t size()
    {
        std::lock_guard lock(mtx_);
        return q_.size();
    }

private:
    std::mutex mtx_;
    std::deque<T> q_;
    EventFd efd_;
};

}  // namespace vsim
