#!/usr/bin/env bash
# Cross-process round trip of the software EFA device (a 64-byte SRD SEND
# ping-pong between two processes) next to a plain Unix-socket ping-pong in
# C (blocking reads), the limit of the transport underneath. The device side
# runs twice: polling a while and then sleeping on the completion channel
# ("wait"), and busy-polling only ("spin"). All three alternate, several
# runs each, so that they see the same load; ratios compare medians.
# Usage: bench/xproc_latency.sh [round trips per run] [runs]
source "$(dirname "$0")/sim_build.sh"
cc -O2 bench/xproc_pingpong.c -o "$build/xproc_pingpong"
c++ -O2 -std=c++20 -Iinclude -Isim/include bench/xproc_latency.cpp \
    -o "$build/xproc_latency" -L"$lib" -l:libefa.so.1 -l:libibverbs.so.1 \
    -Wl,-rpath,"$PWD/$lib"
n=${1:-20000}
runs=${2:-7}
out=$(for _ in $(seq "$runs"); do
    "$build/xproc_pingpong" "$n"
    "$build/xproc_latency" "$n" wait
    "$build/xproc_latency" "$n" spin
done)
echo "$out"
python3 - <<PY
import re, statistics
lines = """$out""".splitlines()
def us(prefix):
    return sorted(float(re.search(r"([\d.]+) us", l).group(1)) for l in lines if l.startswith(prefix))
base = us("unix socket")
mb = statistics.median(base)
print(f"unix socket ping-pong:        median {mb:6.2f} us, best {base[0]:6.2f} us")
for mode in ("wait", "spin"):
    sim = us(f"simulated SRD ping-pong ({mode})")
    ms = statistics.median(sim)
    print(f"simulated SRD ({mode}):         median {ms:6.2f} us, best {sim[0]:6.2f} us"
          f"  -> {ms / mb:.2f}x the socket round trip")
PY
