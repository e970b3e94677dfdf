#!/usr/bin/env bash
# The webhook receiver (bench_webhook: the service client's receiver with an
# OnWebhook that counts) against nginx answering the same POSTs over HTTPS,
# with wrk sending the service's "messages" calls (a JSON body and the
# X-HUB-SIGNATURE header). Both on loopback in the same run, the servers
# pinned to core 0 and wrk to core 1, alternating rounds (A/B/A/B...).
#
#   bench/webhook.sh                 both cases (about a minute)
#   bench/webhook.sh close           only this case
#   ROUNDS=5 RUN_SECONDS=5 bench/webhook.sh
#
# Cases: close (a TLS handshake per call, as the service's calls arrive; the
# receiver as shipped) and keepalive (10 connections kept open; the receiver
# with its server's KeepAlive switched on for the comparison). Each line
# gives the median events/s of each side and the median per-round ratio
# ours/nginx (above 1: ours is faster), and checks that every call wrk saw
# answered reached OnWebhook once.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${ROUNDS:-3}
secs=${RUN_SECONDS:-4}
build=${BUILD_DIR:-build/rel}
server_cpu=${SERVER_CPU:-0}
client_cpu=${CLIENT_CPU:-1}
all_cases=(close keepalive)
cases=("$@")
[[ ${#cases[@]} -gt 0 ]] || cases=("${all_cases[@]}")

for tool in wrk nginx openssl python3 taskset; do
  command -v "$tool" >/dev/null || { echo "webhook.sh: $tool is missing (scripts/setup installs it)" >&2; exit 1; }
done

if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCH=ON >/dev/null
fi
cmake --build "$build" -j2 --target bench_webhook >/dev/null
receiver=$(cd "$build/bin" && pwd)/bench_webhook

work=$(mktemp -d "${TMPDIR:-/tmp}/webhook_benchXXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$work/key.pem" \
  -out "$work/cert.pem" -subj /CN=127.0.0.1 -addext "subjectAltName=IP:127.0.0.1" -days 2 2>/dev/null
# The receiver takes certificate and key from one file, as the window gives it.
cat "$work/cert.pem" "$work/key.pem" >"$work/vyn.pem"
read -r nport < <(python3 -c '
import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/tmp"
cat >"$work/post.lua" <<'EOF'
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
wrk.headers["X-HUB-SIGNATURE"] = "c2lnbmF0dXJlIG9mIHRoZSBjYWxs"
wrk.body = '{"type":"messages","data":{"hopper_id":"12","order_id":"4711","pair":"BTC/USDT","type":"order_placed"}}'
EOF
cat >"$work/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_requests 1000000;
  client_body_temp_path $work/tmp; proxy_temp_path $work/tmp; fastcgi_temp_path $work/tmp;
  uwsgi_temp_path $work/tmp; scgi_temp_path $work/tmp;
  server {
    listen 127.0.0.1:$nport ssl;
    ssl_certificate $work/cert.pem; ssl_certificate_key $work/key.pem;
    ssl_protocols TLSv1.2;
    location / { default_type text/html; return 200 ''; }
  }
}
EOF
bound=$((rounds * ${#cases[@]} * 2 * (secs + 25) + 120))
timeout "$bound" taskset -c "$server_cpu" nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" &
pids+=($!)
for _ in $(seq 100); do
  python3 -c "import socket; socket.create_connection(('127.0.0.1', $nport), 1)" 2>/dev/null && break
  sleep 0.1
done

# Requests/s, the count of answered calls and of failures of one wrk run.
parse_wrk() {
  python3 -c '
import re, sys
t = sys.stdin.read()
rps = float(re.search(r"Requests/sec:\s*([\d.]+)", t).group(1))
done = int(re.search(r"(\d+) requests in", t).group(1))
bad = 0
m = re.search(r"Non-2xx or 3xx responses:\s*(\d+)", t)
if m: bad += int(m.group(1))
m = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", t)
if m: bad += sum(map(int, m.groups()))
print(rps, done, bad)'
}

# Args: case, side. Prints "rps answered failures events" (events: what
# OnWebhook counted, -1 for nginx).
run_case() {
  local c=$1 side=$2 port conns=10 extra=() events=-1 rpid=
  [[ $c == close ]] && extra=(-H "Connection: close")
  if [[ $side == ours ]]; then
    read -r port < <(python3 -c '
import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    local ka=()
    [[ $c == keepalive ]] && ka=(--keep-alive)
    timeout $((secs + 25)) taskset -c "$server_cpu" "$receiver" --port "$port" --cert "$work/vyn.pem" "${ka[@]}" \
      >"$work/ours.out" 2>"$work/ours.err" &
    rpid=$!
    for _ in $(seq 200); do grep -q READY "$work/ours.out" 2>/dev/null && break; sleep 0.05; done
    grep -q READY "$work/ours.out" || { cat "$work/ours.err" >&2; echo "0 0 1 0"; return; }
  else
    port=$nport
  fi
  timeout $((secs + 20)) taskset -c "$client_cpu" wrk -t1 -c"$conns" -d"${secs}s" --timeout 5s \
    -s "$work/post.lua" "${extra[@]}" "https://127.0.0.1:$port/" >"$work/wrk.out" 2>&1 || true
  if [[ -n $rpid ]]; then
    local server
    server=$(pgrep -P "$rpid" -x bench_webhook || echo "$rpid")
    kill -TERM "$server" 2>/dev/null || true
    wait "$rpid" 2>/dev/null || true
    events=$(awk '/^events/{print $2}' "$work/ours.out")
  fi
  echo "$(parse_wrk <"$work/wrk.out") ${events:-0}"
}

echo "webhook receiver against nginx: $rounds rounds of ${secs}s per side and case, servers on cpu $server_cpu, wrk on cpu $client_cpu"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-10s %12s %12s %8s %8s %s\n' case ours_ev/s nginx_rps ratio errors events
for c in "${cases[@]}"; do
  ours_r=() nginx_r=() ratios=() errors=0 lost=0
  for ((i = 0; i < rounds; i++)); do
    read -r a_rps a_done a_bad a_events < <(run_case "$c" ours)
    read -r b_rps b_done b_bad _ < <(run_case "$c" nginx)
    ours_r+=("$a_rps") nginx_r+=("$b_rps")
    ratios+=("$(python3 -c "print($a_rps / $b_rps if $b_rps else 0)")")
    errors=$((errors + a_bad + b_bad))
    # wrk counts the calls it saw answered; a call cut off at the end of the
    # run may still have reached OnWebhook, never the other way round.
    ((a_events < a_done)) && lost=$((lost + a_done - a_events))
  done
  python3 - "$c" "$errors" "$lost" "${ours_r[*]}" "${nginx_r[*]}" "${ratios[*]}" <<'EOF'
import statistics as st, sys
c, errors, lost = sys.argv[1], sys.argv[2], int(sys.argv[3])
ours, ngx, rat = ([float(x) for x in a.split()] for a in sys.argv[4:7])
print("%-10s %12.0f %12.0f %8s %8s %s" % (c, st.median(ours), st.median(ngx), "%.2fx" % st.median(rat), errors,
      "all answered calls counted" if lost == 0 else "%d answered calls not counted" % lost))
print("%-10s ratios per round: %s" % ("", " ".join("%.2f" % r for r in rat)))
EOF
done
