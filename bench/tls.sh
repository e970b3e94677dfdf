#!/usr/bin/env bash
# TLS and hash benchmarks against OpenSSL, each as a ratio ours / OpenSSL
# measured in the same run:
#   1. full handshakes per second, TLS 1.3 and 1.2: our client (bench_tls)
#      and `openssl s_time -new` in turns against one `openssl s_server`;
#   2. bulk TLS throughput: our handlers against SSL_write / SSL_read on the
#      same sessions (bench_tls bulk);
#   3. hashes, HMAC and Base64 against EVP (bench_hash).
#
#   bench/tls.sh                      everything (about four minutes)
#   bench/tls.sh handshakes|bulk|hashes
#   ROUNDS=7 RUN_SECONDS=5 bench/tls.sh handshakes
#   KEY_TYPE=rsa bench/tls.sh handshakes   RSA-2048 instead of ECDSA P-256
#   BENCH_DEFAULT_SOCKET=1 bench/tls.sh handshakes
#       our client with the handler's default socket options, not s_time's
#
# Ours and the peer alternate (A/B/A/B...) so that load from other programs
# hits both alike; each line gives the median of the per-round ratios and
# their range. Every process is bounded by `timeout`.
set -euo pipefail
cd "$(dirname "$0")/.."

what=${1:-all}
rounds=${ROUNDS:-5}
secs=${RUN_SECONDS:-3}
build=${BUILD_DIR:-build/rel}

if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCH=ON >/dev/null
fi
cmake --build "$build" -j2 --target bench_tls bench_hash >/dev/null
bin=$build/bin

work=$(mktemp -d "${TMPDIR:-/tmp}/tls_benchXXXXXX")
server_pid=
cleanup() {
  if [[ -n $server_pid ]]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

if [[ ${KEY_TYPE:-ec} == rsa ]]; then
  keyargs=(-newkey rsa:2048)
else
  keyargs=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1)
fi
openssl req -x509 "${keyargs[@]}" -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -subj /CN=localhost -days 2 2>/dev/null

handshakes() {
  local port
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  # One server for both clients; its cipher lists pin what either can get.
  timeout 600 openssl s_server -accept "127.0.0.1:$port" -cert "$work/cert.pem" -key "$work/key.pem" -www \
    -ciphersuites TLS_AES_128_GCM_SHA256 -cipher ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256 \
    </dev/null >"$work/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do grep -q ACCEPT "$work/server.log" && break; sleep 0.1; done
  grep -q ACCEPT "$work/server.log" || { cat "$work/server.log"; exit 1; }

  echo "## Full handshakes per second (key: ${KEY_TYPE:-ec}; $rounds rounds of $secs s per client)"
  echo
  echo "| client | ours /s | s_time /s | ratio (min-max) | ratio per CPU s |"
  echo "|---|---:|---:|---:|---:|"
  local TIMEFORMAT='%3R %3U %3S'
  for version in 1.3 1.2; do
    local results=""
    for _ in $(seq "$rounds"); do
      local out n variant
      # Per client: its connection count, then the wall, user and system
      # seconds of the whole process (start-up included on all sides). Ours
      # runs twice per round: a context per Open, then one shared context.
      for variant in per-open one-context; do
        { time out=$(timeout $((secs + 60)) "$bin/bench_tls" handshakes "$port" "$version" "$secs" "$variant"); } \
          2>"$work/time"
        n=$(sed -n 's/^\([0-9]*\) connections in.*/\1/p' <<<"$out" | head -1)
        results+="$n $(cat "$work/time") "
      done
      { time out=$(timeout $((secs + 60)) openssl s_time -connect "127.0.0.1:$port" -new -time "$secs" \
          "-tls${version/./_}"); } 2>"$work/time"
      n=$(sed -n 's/^\([0-9]*\) connections in.*/\1/p' <<<"$out" | head -1)
      results+="$n $(cat "$work/time")"$'\n'
    done
    python3 - "$version" <<EOF
import statistics, sys
rows = [list(map(float, l.split())) for l in """$results""".strip().splitlines()]
def row(name, at):
    ours = [r[at] / r[at + 1] for r in rows]
    peer = [r[8] / r[9] for r in rows]
    ratios = [a / b for a, b in zip(ours, peer)]
    cpu = [(r[at] / (r[at + 2] + r[at + 3])) / (r[8] / (r[10] + r[11])) for r in rows]
    print("| TLS %s, %s | %.0f | %.0f | %.2fx (%.2f-%.2f) | %.2fx |" % (sys.argv[1], name, statistics.median(ours),
          statistics.median(peer), statistics.median(ratios), min(ratios), max(ratios), statistics.median(cpu)))
row("context per Open", 0)
row("one context", 4)
EOF
  done
  kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; server_pid=
  echo
}

bulk() {
  echo "## Bulk TLS throughput"
  echo
  timeout 300 "$bin/bench_tls" bulk "$work/cert.pem" "$work/key.pem" "$rounds" 1.0
  echo
}

hashes() {
  echo "## Hashes, HMAC and Base64"
  echo
  timeout 600 "$bin/bench_hash" --rounds "$rounds" --seconds 0.3
  echo
}

echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), load average $(cut -d' ' -f1-3 /proc/loadavg), $(openssl version)"
echo
case $what in
  handshakes) handshakes ;;
  bulk) bulk ;;
  hashes) hashes ;;
  all) handshakes; bulk; hashes ;;
  *) echo "unknown: $what" >&2; exit 2 ;;
esac
