// Delivery between processes of one host. A process given a host name
// (vsim_set_host, or the environment variable VANTOR_SIM_HOST) joins that
// host at its first QP or AH: it takes one of 64 process slots by binding
// an abstract Unix socket named after the user, the host name and the slot
// (the kernel frees the name when the process ends, however it ends, so a
// killed process leaves nothing behind). QP and AH numbers carry the slot,
// which makes them unique across the host and tells a sender which process
// serves a QP number. Requests travel over Unix stream sockets; each
// process serves its side with a progress thread (and with the threads
// that poll its CQs), so one-sided operations need nothing from the
// target application.
//
// A process without a host name keeps to itself and starts no thread:
// once a process has a second thread, glibc makes every lock an atomic
// operation, which alone slows the in-process data path by a quarter.
#pragma once

#include "fabric.hpp"

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace vsim {

constexpr int kXprocSlots = 64;
constexpr int kQpnLocalBits = 18;  // QP number = slot << 18 | local number
constexpr int kAhnLocalBits = 10;  // AH number = slot << 10 | local number
constexpr uint32_t kQpnLocalMask = (1u << kQpnLocalBits) - 1;
constexpr uint32_t kAhnLocalCount = 1u << kAhnLocalBits;

// This process's slot, joining the host first. 0 when the process has no
// host name, or joining failed (one line on stderr says why); the process
// then reaches no other process.
int xproc_slot();
// The slot, or -1 before the process joined its host.
int xproc_joined_slot();

// Host name: set before joining (0, -EINVAL for a bad name, -EBUSY once
// joined under another name); the name in effect.
int xproc_set_host(const char *name);
std::string xproc_host();
int xproc_connections();

// Sender side, world lock held shared: carries a request whose QP number
// belongs to another process; false when it does not (the caller answers
// as for an unknown QP).
bool xproc_submit(const Transfer &t);

// Receiver side: the outcome of a request of another process, back to its
// sender (nothing for a datagram).
void xproc_respond(const RemoteReq &r, uint8_t status, uint8_t vendor,
                   const std::vector<unsigned char> &read_data);

// Takes the requests of `qp` still waiting for an outcome from another
// process (their receivers are told to forget them). World lock exclusive.
void xproc_take_from(Qp *qp, std::deque<Transfer> &out);

// Serves what other processes sent, without waiting; for threads that
// poll a CQ. Does nothing while another thread is at it.
void xproc_service();

// Blocks until `fd` is readable, serving what other processes send in the
// meantime (so a thread that sleeps in ibv_get_cq_event is woken once per
// message, not twice). False with errno set when poll() fails.
bool xproc_wait(int fd);

extern std::atomic<bool> g_xproc_peers;  // some connection is open
inline bool xproc_peers() { return g_xproc_peers.load(std::memory_order_relaxed); }

}  // namespace vsim
