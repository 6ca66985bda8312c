#!/usr/bin/env bash
# Message rate of the software EFA device (in-process SEND of 64 B with the
# receive reposted and both completions polled). Usage: bench/sim_msgrate.sh [iterations]
source "$(dirname "$0")/sim_build.sh"
c++ -O2 -std=c++20 -Iinclude -Isim/include bench/sim_msgrate.cpp -o "$build/sim_msgrate" \
    -L"$lib" -l:libefa.so.1 -l:libibverbs.so.1 -Wl,-rpath,"$PWD/$lib"
"$build/sim_msgrate" "$@"
