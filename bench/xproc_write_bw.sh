#!/usr/bin/env bash
# Cross-process RDMA write bandwidth of the software EFA device next to
# memcpy in the same run (see bench/xproc_write_bw.cpp), with an idle and a
# busy-polling target. Usage: bench/xproc_write_bw.sh [writes] [bytes] [runs]
source "$(dirname "$0")/sim_build.sh"
c++ -O2 -std=c++20 -Iinclude -Isim/include bench/xproc_write_bw.cpp \
    -o "$build/xproc_write_bw" -L"$lib" -l:libefa.so.1 -l:libibverbs.so.1 \
    -Wl,-rpath,"$PWD/$lib"
for _ in $(seq "${3:-3}"); do
    "$build/xproc_write_bw" "${1:-2000}" "${2:-1048576}" idle
    "$build/xproc_write_bw" "${1:-2000}" "${2:-1048576}" spin
done
