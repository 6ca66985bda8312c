// What each open context owns. The kernel releases everything a process
// left open on a device when the device file is closed, so closing a
// context with objects still open succeeds and destroys them; this registry
// is how the simulator finds them.
#pragma once

#include "world.hpp"

namespace vsim {

// Records `obj` (a Pd, Mr, Cq, Qp, Ah or Channel) as owned by `c`; `disown`
// forgets it again when the application destroys it.
void adopt(Context *c, Kind kind, void *obj);
void disown(Context *c, Kind kind, void *obj);

// Destroys what `c` still owns, queue pairs and address handles first, then
// memory regions, CQs, channels and protection domains, as the kernel does.
// Returns the number of objects that could not be destroyed (0 normally).
int release_children(Context *c);

}  // namespace vsim
