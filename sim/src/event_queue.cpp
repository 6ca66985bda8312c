#include "event_queue.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace vsim {

EventFd::EventFd() : fd_(::eventfd(0, EFD_CLOEXEC)) {}

EventFd::~EventFd()
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void EventFd::raise()
{
    const uint64_t one = 1;
    while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void EventFd::clear()
{
    // Only called while the counter is known to be non-zero, so the read
    // never blocks even on a blocking descriptor.
    uint64_t v;
    while (::read(fd_, &v, sizeof v) < 0 && errno == EINTR) {
    }
}

bool EventFd::nonblocking() const
{
    const int fl = ::fcntl(fd_, F_GETFL);
    return fl >= 0 && (fl & O_NONBLOCK);
}

bool EventFd::wait()
{
    pollfd p{fd_, POLLIN, 0};
    for (;;) {
        const int r = ::poll(&p, 1, -1);
        if (r > 0) {
            return true;
        }
        if (r < 0 && errno != EINTR) {
            return false;
        }
    }
}

}  // namespace vsim
