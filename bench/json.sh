#!/usr/bin/env bash
# The JSON benchmark: builds build/release, runs bench_json and prints MB/s,
# the ratios ours/peer per document, and the heap our reader uses per node.
#
#   bench/json.sh [bench_json options]     e.g. --benchmark_filter=Read/tickers
#   BENCH_REPETITIONS=9 bench/json.sh      more repetitions (default 5, median kept)
#
# Repetitions run interleaved in random order, so that a busy neighbour on the
# machine slows every library alike instead of whichever ran at the time.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build/release}
BUILD_DIR=$build scripts/build --target bench_json >/dev/null

out=$build/bench_json.json
"$build/bin/bench_json" \
  --benchmark_repetitions="${BENCH_REPETITIONS:-5}" \
  --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true \
  --benchmark_out="$out" --benchmark_out_format=json \
  "$@" >&2

echo "## JSON throughput"
echo
python3 bench/json_table.py "$out"
echo
echo "## Memory after reading (bench_json --memory)"
echo
"$build/bin/bench_json" --memory
