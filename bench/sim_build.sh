# Sourced by the standalone benchmark scripts: builds the software EFA device
# in release mode and sets $build (the build folder) and $lib (its libraries).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=build/sim-bench
cmake -S sim -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 >/dev/null
lib="$build/_sim"
