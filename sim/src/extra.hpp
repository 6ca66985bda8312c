// Binds an entry point to the version node the real libibverbs gives it
// (.symver), so that the version script needs no entry for it; the nodes
// the main script lacks come from extra_exports.map and the generated
// provider_exports.map. The implementation's own name stays local.
#pragma once

#define VSIM_EXTRA(ret, name, version, params)                                                     \
    extern "C" __attribute__((visibility("default"))) ret sim_extra_##name params;                 \
    __asm__(".symver sim_extra_" #name ", " #name "@@" version);                                   \
    extern "C" ret sim_extra_##name params
