#!/usr/bin/env bash
# One window command end to end (a click on "Get Hoppers" with the token
# held, until its answer is in the log) against the sandbox service in the
# same process, next to the curl command making the same request (one
# process per request, the same certificate and token): the median of the
# per-round ratios curl/window, above 1 meaning the window is faster.
#
#   bench/window.sh                 5 rounds of 30 requests per side
#   ROUNDS=7 REQUESTS=50 bench/window.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/rel}
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCH=ON >/dev/null
fi
cmake -S . -B "$build" -DBUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target bench_window_sandbox >/dev/null
timeout 900 "$build/bin/bench_window_sandbox" "${ROUNDS:-5}" "${REQUESTS:-30}"
