#!/usr/bin/env bash
# Message rate of the software EFA device (in-process SEND of 64 B with the
# receive reposted and both completions polled). Usage: bench/sim_msgrate.sh [iterations]
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/sim-bench
cmake -S sim -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 >/dev/null
lib="$build/_sim"
c++ -O2 -std=c++20 -Iinclude bench/sim_msgrate.cpp -o "$build/sim_msgrate" \
    -L"$lib" -l:libefa.so.1 -l:libibverbs.so.1 -Wl,-rpath,"$PWD/$lib"
"$build/sim_msgrate" "$@"
