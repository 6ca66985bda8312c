// The simulated host a process belongs to: the name given by vsim_set_host,
// else the environment variable VANTOR_SIM_HOST, else the machine's default
// host. Each host is a machine of its own: devices take their GIDs from its
// name, and processes reach only the processes of their host.
#pragma once

#include <string>

namespace vsim {

constexpr const char *kDefaultHost = "default";

// 1 to 64 of A-Z a-z 0-9 . _ -
bool valid_host(const char *name);

// The name in effect, and the one without the program's: VANTOR_SIM_HOST
// or the default.
std::string host_in_effect();
std::string host_from_environment();
// Sets (or, with null, clears) the name given by the program; the caller
// checked it.
void host_override(const char *name);

}  // namespace vsim
