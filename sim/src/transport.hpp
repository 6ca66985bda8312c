// Delivery between processes of one host. Every process of a user joins a
// host at its first QP or AH: the one named by vsim_set_host or the
// environment variable VANTOR_SIM_HOST, or else the machine's default host,
// so that processes of one machine reach each other as on a real host (a
// test run that wants to be left alone names a host of its own). Joining
// takes one of 64 process slots by binding an abstract Unix socket named
// after the user, the host name and the slot (the kernel frees the name
// when the process ends, however it ends, so a killed process leaves
// nothing behind). QP and AH numbers carry the slot, which makes them
// unique across the host and tells a sender which process serves a QP
// number.
//
// Two processes that talk share a memory segment holding a byte ring each
// way (xproc_ring.hpp); requests and outcomes travel there, and the socket
// between them only carries the segment, wake-ups for a side that sleeps,
// and the end of the peer. The threads that poll (or wait on) a CQ move the
// traffic themselves; a progress thread takes over when no thread of the
// application does (one-sided operations need nothing from the target
// application).
#pragma once

#include <cstdint>
#include <string>

namespace vsim {

constexpr int kXprocSlots = 64;
constexpr int kQpnLocalBits = 18;  // QP number = slot << 18 | local number
constexpr int kAhnLocalBits = 10;  // AH number = slot << 10 | local number
constexpr uint32_t kQpnLocalMask = (1u << kQpnLocalBits) - 1;
constexpr uint32_t kAhnLocalCount = 1u << kAhnLocalBits;

// This process's slot, joining the host first. 0 when joining failed (one
// line on stderr says why); the process then reaches no other process.
int xproc_slot();
// The slot, or -1 before the process joined its host.
int xproc_joined_slot();

// Host name: set before joining (0, -EINVAL for a bad name, -EBUSY once
// joined under another name); the name in effect.
int xproc_set_host(const char *name);
std::string xproc_host();
int xproc_connections();

}  // namespace vsim
