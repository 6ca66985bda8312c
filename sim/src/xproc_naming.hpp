// Where the processes of a host can be found.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <string>

namespace vsim {

// The abstract socket address of `slot` on `host`, for this user.
socklen_t slot_address(const std::string &host, int slot, sockaddr_un &a);

// Binds and listens on the first free slot of `host`; the slot, or -1 with
// `err` set (EADDRINUSE: all taken).
int bind_free_slot(const std::string &host, int &fd, int &err);

}  // namespace vsim
