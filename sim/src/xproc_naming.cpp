#include "xproc_naming.hpp"

#include "transport.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace vsim {

socklen_t slot_address(const std::string &host, int slot, sockaddr_un &a)
{
    std::memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    // Abstract namespace: the leading NUL; the name is not NUL-terminated.
    const int n = std::snprintf(a.sun_path + 1, sizeof a.sun_path - 1, "vantor-sim/%u/%s/%d",
                                static_cast<unsigned>(::geteuid()), host.c_str(), slot);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}

int bind_free_slot(const std::string &host, int &fd, int &err)
{
    err = 0;
    for (int s = 0; s < kXprocSlots; ++s) {
        const int f = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (f < 0) {
            err = errno;
            return -1;
        }
        sockaddr_un a;
        const socklen_t len = slot_address(host, s, a);
        if (::bind(f, reinterpret_cast<sockaddr *>(&a), len) == 0 && ::listen(f, SOMAXCONN) == 0) {
            fd = f;
            return s;
        }
        err = errno;
        ::close(f);
        if (err != EADDRINUSE) {
            return -1;
        }
    }
    return -1;
}

}  // namespace vsim
