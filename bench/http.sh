#!/usr/bin/env bash
# HTTP client benchmarks against curl, each as a ratio ours / peer measured
# in the same run, against one nginx on loopback (a 1 KiB file, HTTP and
# HTTPS with a certificate made here, TLS 1.2 on both sides):
#   1. in process: sequential requests with a new connection each, through
#      the REST base (one HTTP client component per request), against
#      libcurl with one easy handle per request (bench_http);
#   2. whole process: bin/fetch against the curl command, one process per
#      request.
#
#   bench/http.sh                     both (about three minutes)
#   bench/http.sh inprocess|fetch
#   ROUNDS=7 RUN_SECONDS=5 bench/http.sh inprocess
#   REQUESTS=100 bench/http.sh fetch  processes per side and round
#
# Ours and the peer alternate (A/B/A/B...) so that load from other programs
# hits both alike; each line gives the median of the per-round ratios and
# their range. Ratios above 1 mean ours is faster. Every process is bounded
# by `timeout`.
set -euo pipefail
cd "$(dirname "$0")/.."

what=${1:-all}
rounds=${ROUNDS:-5}
secs=${RUN_SECONDS:-3}
requests=${REQUESTS:-50}
build=${BUILD_DIR:-build/rel}

if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCH=ON >/dev/null
fi
cmake --build "$build" -j2 --target bench_http fetch >/dev/null
bin=$(cd "$build/bin" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/http_benchXXXXXX")
nginx_pid=
cleanup() {
  if [[ -n $nginx_pid ]]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$work/key.pem" \
  -out "$work/cert.pem" -subj /CN=localhost -addext "subjectAltName=IP:127.0.0.1,DNS:localhost" -days 2 2>/dev/null
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
port=$(free_port)
tls_port=$(free_port)
mkdir -p "$work/root" "$work/tmp"
python3 -c 'import json; print(json.dumps({"data": [{"id": i, "name": "hopper %d" % i} for i in range(30)]})[:1023])' \
  >"$work/root/data.json"
cat >"$work/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/tmp; proxy_temp_path $work/tmp; fastcgi_temp_path $work/tmp;
  uwsgi_temp_path $work/tmp; scgi_temp_path $work/tmp;
  default_type application/json;
  server { listen 127.0.0.1:$port; root $work/root; }
  server {
    listen 127.0.0.1:$tls_port ssl; root $work/root;
    ssl_certificate $work/cert.pem; ssl_certificate_key $work/key.pem;
    ssl_protocols TLSv1.2; ssl_session_cache off; ssl_session_tickets off;
  }
}
EOF
timeout 1200 nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" &
nginx_pid=$!
for _ in $(seq 100); do
  python3 -c "import socket; socket.create_connection(('127.0.0.1', $tls_port), 1)" 2>/dev/null && break
  sleep 0.1
done

http_url=http://127.0.0.1:$port/data.json
https_url=https://127.0.0.1:$tls_port/data.json

inprocess() {
  echo "| in process, new connection per request | ours | libcurl | ratio (range) |"
  echo "|---|---:|---:|---:|"
  timeout 600 "$bin/bench_http" "$http_url" "" "$rounds" "$secs"
  timeout 600 "$bin/bench_http" "$https_url" "$work/cert.pem" "$rounds" "$secs"
  timeout 600 "$bin/bench_http" "$https_url" - "$rounds" "$secs"
}

fetch() {
  echo "| one process per request | bin/fetch | curl | ratio (range) |"
  echo "|---|---:|---:|---:|"
  timeout 900 python3 - "$bin/fetch" "$work/cert.pem" "$http_url" "$https_url" "$rounds" "$requests" <<'PY'
import statistics, subprocess, sys, time
fetch, ca, http_url, https_url, rounds, n = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]), int(sys.argv[6])
curl = ["curl", "-sS", "--fail", "--tlsv1.2", "--tls-max", "1.2"]
cases = (("HTTP", [fetch, http_url], curl + [http_url]),
         ("HTTPS, certificate checked", [fetch, "--cacert", ca, https_url], curl + ["--cacert", ca, https_url]),
         ("HTTPS, no certificate check", [fetch, "--insecure", https_url], curl + ["--insecure", https_url]))
for name, ours_cmd, peer_cmd in cases:
    url = ours_cmd[-1]
    a = subprocess.run(ours_cmd, capture_output=True, timeout=30)
    b = subprocess.run(peer_cmd, capture_output=True, timeout=30)
    if a.returncode or b.returncode or a.stdout != b.stdout:
        sys.exit("fetch and curl disagree on %s: %r %r" % (url, a.stderr, b.stderr))
    rates, lat = {"ours": [], "peer": []}, {"ours": [], "peer": []}
    for _ in range(rounds):
        for side, cmd in (("ours", ours_cmd), ("peer", peer_cmd)):
            start = time.perf_counter()
            for _ in range(n):
                t0 = time.perf_counter()
                subprocess.run(cmd, stdout=subprocess.DEVNULL, check=True, timeout=30)
                lat[side].append(time.perf_counter() - t0)
            rates[side].append(n / (time.perf_counter() - start))
    ratios = [o / p for o, p in zip(rates["ours"], rates["peer"])]
    print("| %s processes/s | %.1f | %.1f | %.2fx (%.2f-%.2f) |" % (
        name, statistics.median(rates["ours"]), statistics.median(rates["peer"]),
        statistics.median(ratios), min(ratios), max(ratios)))
    lo, lp = statistics.median(lat["ours"]), statistics.median(lat["peer"])
    print("| %s median latency, ms | %.2f | %.2f | %.2fx |" % (name, lo * 1e3, lp * 1e3, lp / lo))
PY
}

case $what in
  inprocess) inprocess ;;
  fetch) fetch ;;
  all) inprocess; echo; fetch ;;
  *) echo "usage: bench/http.sh [inprocess|fetch|all]" >&2; exit 2 ;;
esac
