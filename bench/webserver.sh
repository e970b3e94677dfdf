#!/usr/bin/env bash
# bin/webserver against nginx (one worker, no access log) with wrk, both on
# loopback in the same run, serving the same 1 KiB file from the same
# folder. Each server is pinned to core 0 and wrk to core 1.
#
#   bench/webserver.sh                    every case (about four minutes)
#   bench/webserver.sh ka100 post         only these cases
#   ROUNDS=5 RUN_SECONDS=5 bench/webserver.sh
#   PERF=1 bench/webserver.sh ka100       also a perf profile of ours
#   SCHEDULER=threads bench/webserver.sh  ours with a thread per connection
#                                         (default: its event scheduler)
#
# Cases: keep-alive at 1, 10 and 100 connections (ka1 ka10 ka100), a new
# connection per request (close), HTTPS keep-alive (tls) and a TLS handshake
# per request (tlsclose), and POST of a 1 KiB JSON body (post).
#
# Ours and nginx alternate (A/B/A/B...) so that load from other programs hits
# both alike; each line gives the median requests/s and p99 of each side and
# the median of the per-round ratios ours/nginx (requests/s above 1 and p99
# below 1 mean ours is better), and the highest RSS and thread count of each
# server during its runs of the case, sampled from /proc. Every process is
# bounded by `timeout`.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${ROUNDS:-3}
secs=${RUN_SECONDS:-4}
build=${BUILD_DIR:-build/rel}
server_cpu=${SERVER_CPU:-0}
client_cpu=${CLIENT_CPU:-1}
all_cases=(ka1 ka10 ka100 close tls tlsclose post)
cases=("$@")
[[ ${#cases[@]} -gt 0 ]] || cases=("${all_cases[@]}")

for tool in wrk nginx openssl python3 taskset; do
  command -v "$tool" >/dev/null || { echo "webserver.sh: $tool is missing (scripts/setup installs it)" >&2; exit 1; }
done

if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCH=ON >/dev/null
fi
cmake --build "$build" -j2 --target webserver >/dev/null
webserver=$(cd "$build/bin" && pwd)/webserver

work=$(mktemp -d "${TMPDIR:-/tmp}/webserver_benchXXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$work/key.pem" \
  -out "$work/cert.pem" -subj /CN=localhost -addext "subjectAltName=IP:127.0.0.1,DNS:localhost" -days 2 2>/dev/null
# Four distinct free ports: the sockets stay open until all four are chosen.
read -r port tls_port nport ntls_port < <(python3 -c '
import socket
ss = [socket.socket() for _ in range(4)]
for s in ss: s.bind(("127.0.0.1", 0))
print(*[s.getsockname()[1] for s in ss])')
mkdir -p "$work/root" "$work/tmp"
python3 -c 'import json; print(json.dumps({"data": [{"id": i, "name": "hopper %d" % i} for i in range(30)]})[:1023])' \
  >"$work/root/data.json"
# The webhook's load: a 1 KiB JSON body.
body=$(python3 -c 'import json; d={"event":"order.filled","orders":[{"id":i,"pair":"BTC/USDT","amount":"0.0%d"%i} for i in range(40)]}; print(json.dumps(d)[:1024].ljust(1024))')
cat >"$work/post.lua" <<EOF
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
wrk.body = [[$body]]
EOF

# nginx answers the POST without a file behind it, as ours does; it reads
# and drops the body.
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
  default_type application/json;
  server {
    listen 127.0.0.1:$nport;
    listen 127.0.0.1:$ntls_port ssl;
    ssl_certificate $work/cert.pem; ssl_certificate_key $work/key.pem;
    root $work/root;
    location = /hook { default_type application/json; return 200 '{"status":"ok"}'; }
  }
}
EOF

bound=$((rounds * ${#cases[@]} * 2 * (secs + 10) + 120))
timeout "$bound" taskset -c "$server_cpu" nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" &
pids+=($!)
timeout "$bound" taskset -c "$server_cpu" "$webserver" --root "$work/root" --port "$port" \
  --tls-port "$tls_port" --cert "$work/cert.pem" --key "$work/key.pem" --keep-alive \
  --scheduler "${SCHEDULER:-events}" >"$work/ours.log" 2>&1 &
ours_pid=$!
pids+=("$ours_pid")
for p in "$port" "$tls_port" "$nport" "$ntls_port"; do
  for _ in $(seq 100); do
    python3 -c "import socket; socket.create_connection(('127.0.0.1', $p), 1)" 2>/dev/null && break
    sleep 0.1
  done
done
# The webserver process is `timeout`'s child.
ours_server=$(pgrep -P "$ours_pid" -x webserver || echo "$ours_pid")

# Requests/s, p99 in microseconds, and the count of failed requests of one
# wrk run (reads wrk --latency output on stdin).
parse_wrk() {
  python3 -c '
import re, sys
t = sys.stdin.read()
rps = float(re.search(r"Requests/sec:\s*([\d.]+)", t).group(1))
m = re.search(r"^\s*99%\s+([\d.]+)(us|ms|s)\s*$", t, re.M)
p99 = float(m.group(1)) * {"us": 1, "ms": 1e3, "s": 1e6}[m.group(2)]
bad = 0
m = re.search(r"Non-2xx or 3xx responses:\s*(\d+)", t)
if m: bad += int(m.group(1))
m = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", t)
if m: bad += sum(map(int, m.groups()))
print(rps, p99, bad)'
}

# Args: case, side (ours|nginx). Prints "rps p99us errors".
run_case() {
  local c=$1 side=$2 hp tp
  if [[ $side == ours ]]; then hp=$port tp=$tls_port; else hp=$nport tp=$ntls_port; fi
  local url=http://127.0.0.1:$hp/data.json conns=10 extra=()
  case $c in
    ka1) conns=1 ;;
    ka10) ;;
    ka100) conns=100 ;;
    close) extra=(-H "Connection: close") ;;
    tls) url=https://127.0.0.1:$tp/data.json ;;
    tlsclose) url=https://127.0.0.1:$tp/data.json; extra=(-H "Connection: close") ;;
    post) url=http://127.0.0.1:$hp/hook; extra=(-s "$work/post.lua") ;;
  esac
  timeout $((secs + 20)) taskset -c "$client_cpu" wrk -t1 -c"$conns" -d"${secs}s" --latency --timeout 5s \
    "${extra[@]}" "$url" >"$work/wrk.out" 2>&1 || { cat "$work/wrk.out" >&2; echo "0 0 1"; return; }
  parse_wrk <"$work/wrk.out"
}

# Highest VmRSS (KiB) and thread count of process $2 while the file $1
# exists.
sample_process() {
  local flag=$1 pid=$2 rss=0 thr=0 r t
  while [[ -e $flag ]]; do
    r=$(awk '/^VmRSS:/{print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
    t=$(awk '/^Threads:/{print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
    ((r > rss)) && rss=$r
    ((t > thr)) && thr=$t
    sleep 0.2
  done
  echo "$rss $thr" >"$flag.result"
}

# Runs case $1 on side $2 while sampling process $3; prints
# "rps p99us errors rssKiB threads".
run_sampled() {
  local flag=$work/sampling.$2 sampler rss thr
  : >"$flag"
  sample_process "$flag" "$3" &
  sampler=$!
  read -r rps p99 bad < <(run_case "$1" "$2")
  rm -f "$flag"
  wait "$sampler"
  read -r rss thr <"$flag.result"
  echo "$rps $p99 $bad $rss $thr"
}

nginx_pid_file=$work/nginx.pid
for _ in $(seq 50); do [[ -s $nginx_pid_file ]] && break; sleep 0.1; done
nginx_server=$(cat "$nginx_pid_file")
idle_rss=$(awk '/^VmRSS:/{print $2}' "/proc/$ours_server/status")
idle_thr=$(awk '/^Threads:/{print $2}' "/proc/$ours_server/status")
nginx_idle_rss=$(awk '/^VmRSS:/{print $2}' "/proc/$nginx_server/status")

echo "webserver against nginx: $rounds rounds of ${secs}s per side and case, server on cpu $server_cpu, wrk on cpu $client_cpu"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "idle: ours RSS $((idle_rss / 1024)) MiB, $idle_thr threads; nginx RSS $((nginx_idle_rss / 1024)) MiB"
printf '%-9s %10s %10s %7s %9s %9s %7s %6s %13s %13s\n' case ours_rps nginx_rps ratio ours_p99 ngx_p99 p99_rat errors \
  "ours MiB/thr" "nginx MiB/thr"
for c in "${cases[@]}"; do
  ours_r=() nginx_r=() ratios=() ours_l=() nginx_l=() lratios=() errors=0
  ours_mem=0 ours_thr=0 nginx_mem=0 nginx_thr=0
  for ((i = 0; i < rounds; i++)); do
    read -r a_rps a_p99 a_bad a_rss a_thr < <(run_sampled "$c" ours "$ours_server")
    read -r b_rps b_p99 b_bad b_rss b_thr < <(run_sampled "$c" nginx "$nginx_server")
    ((a_rss > ours_mem)) && ours_mem=$a_rss
    ((a_thr > ours_thr)) && ours_thr=$a_thr
    ((b_rss > nginx_mem)) && nginx_mem=$b_rss
    ((b_thr > nginx_thr)) && nginx_thr=$b_thr
    ours_r+=("$a_rps") nginx_r+=("$b_rps") ours_l+=("$a_p99") nginx_l+=("$b_p99")
    ratios+=("$(python3 -c "print($a_rps / $b_rps if $b_rps else 0)")")
    lratios+=("$(python3 -c "print($a_p99 / $b_p99 if $b_p99 else 0)")")
    errors=$((errors + a_bad + b_bad))
  done
  python3 - "$c" "$errors" "${ours_r[*]}" "${nginx_r[*]}" "${ratios[*]}" "${ours_l[*]}" "${nginx_l[*]}" "${lratios[*]}" \
    "$ours_mem" "$ours_thr" "$nginx_mem" "$nginx_thr" <<'EOF'
import statistics as st, sys
c, errors = sys.argv[1], sys.argv[2]
ours, ngx, rat, ol, nl, lr = ([float(x) for x in a.split()] for a in sys.argv[3:9])
om, ot, nm, nt = (int(x) for x in sys.argv[9:13])
def ms(us): return "%.2fms" % (us / 1000)
print("%-9s %10.0f %10.0f %7s %9s %9s %7s %6s %13s %13s" % (c, st.median(ours), st.median(ngx),
      "%.2fx" % st.median(rat), ms(st.median(ol)), ms(st.median(nl)), "%.2fx" % st.median(lr), errors,
      "%d/%d" % (om // 1024, ot), "%d/%d" % (nm // 1024, nt)))
print("%-9s ratios per round: %s" % ("", " ".join("%.2f" % r for r in rat)))
EOF
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

# Where ours spends its time at 100 keep-alive connections.
if [[ ${PERF:-0} == 1 ]] && command -v perf >/dev/null; then
  timeout $((secs + 30)) taskset -c "$client_cpu" wrk -t1 -c100 -d"$((secs + 2))s" \
    "http://127.0.0.1:$port/data.json" >/dev/null 2>&1 &
  wrk_pid=$!
  sleep 1
  timeout $((secs + 20)) perf record -q -g -o "$work/perf.data" -p "$ours_server" -- sleep "$secs" >/dev/null 2>&1 || true
  wait "$wrk_pid" || true
  perf report -q -i "$work/perf.data" --no-children --sort dso,symbol --stdio 2>/dev/null |
    grep -E '^ +[0-9.]+%' | cut -c1-90 | head -25 || true
fi
