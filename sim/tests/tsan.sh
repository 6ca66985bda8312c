#!/usr/bin/env bash
# ThreadSanitizer build of the simulator and its C++ cases; runs the
# multi-threaded ones. Not part of the default build. Usage: sim/tests/tsan.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
build=build/sim-tsan
cmake -S sim -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTOR_SIM_TESTS=ON \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build "$build" -j2 >/dev/null
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
for c in threads counters channel rnr_wait reorder async xproc; do
    echo "== $c"
    "$build/tests/vsim_cases" "$c"
done
