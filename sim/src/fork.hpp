// Fork protection of registered memory, as libibverbs offers it: after
// ibv_fork_init, registered pages are kept out of child processes
// (MADV_DONTFORK), so that a fork cannot move them under the device.
#pragma once

#include <cstddef>

namespace vsim {

// Called for every registration and deregistration of process memory: 0 or
// an errno value. Before ibv_fork_init they only note that memory was
// registered, after which ibv_fork_init refuses (EINVAL).
int dontfork_range(void *base, std::size_t size);
int dofork_range(void *base, std::size_t size);

// ibv_fork_init: 0, or EINVAL once memory has been registered without it.
// The software device's "kernel" has no copy-on-fork support, so
// protection is needed, as with kernels before 5.13.
int fork_init();
bool fork_enabled();

}  // namespace vsim
