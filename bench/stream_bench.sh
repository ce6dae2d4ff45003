#!/usr/bin/env bash
# Cache hits per second over TCP and over TLS, ours against unbound, in a lab of its own (scripts/lab.sh).
# Both resolve from the lab's root, with validation off, one process each with 2 threads; 100 names
# under wild.test. are asked once to warm both caches, then dnsperf asks them over and over for 10 s
# per transport and resolver (-m tcp, then -m dot; 8 connections, 100 questions outstanding).
# Ours runs without its per-connection question limit (1000 by default), as unbound has none: dnsperf
# does not carry questions it pipelined past a server's close over to a new connection, and counts
# each as lost after its 5 s timeout, which stalls its window.
# Needs root (the lab), unbound and dnsperf; prints one line per figure and the ratios.
#
# Usage: bench/stream_bench.sh [BINARY]     (default build/release/recursor)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
seconds=10
load=(-c 8 -q 100)

case ${1:-} in
  inside) ;;
  *)
    binary=$(realpath "${1:-$repo/build/release/recursor}")
    [ -x "$binary" ] || { echo "stream-bench: no executable at $binary" >&2; exit 1; }
    exec "$repo/scripts/lab.sh" with-lab -- "$repo/bench/stream_bench.sh" inside "$binary"
    ;;
esac

binary=$2
work=$(mktemp -d /tmp/stream-bench.XXXXXX)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; rm -rf "$work"' EXIT

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=bench.test \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null

cat >"$work/ours.conf" <<CONF
[server]
listen = 127.0.0.1:5300
tls_listen = 127.0.0.1:8530
tls_cert_file = $work/cert.pem
tls_key_file = $work/key.pem
threads = 2
dnssec_validation = no
tcp_max_queries_per_connection = 1000000
CONF
"$binary" -c "$work/ours.conf" >"$work/ours.log" 2>&1 &
pids+=($!)

cat >"$work/unbound.conf" <<CONF
server:
  interface: 127.0.0.1@5400
  interface: 127.0.0.1@8540
  tls-port: 8540
  tls-service-key: "$work/key.pem"
  tls-service-pem: "$work/cert.pem"
  incoming-num-tcp: 100
  access-control: 127.0.0.0/8 allow
  num-threads: 2
  do-ip6: no
  module-config: "iterator"
  chroot: ""
  username: ""
  directory: "$work"
  pidfile: "$work/unbound.pid"
  use-syslog: no
  logfile: ""
  local-zone: "test." nodefault
remote-control:
  control-enable: no
CONF
unbound -d -c "$work/unbound.conf" >"$work/unbound.log" 2>&1 &
pids+=($!)

for n in $(seq 100); do echo "hot-$n.wild.test A"; done >"$work/hot.txt"
for port in 5300 5400; do
  for _ in $(seq 50); do dig +short +tries=1 +time=1 @127.0.0.1 -p $port hot-1.wild.test A >/dev/null 2>&1 && break; sleep 0.2; done
  dnsperf -s 127.0.0.1 -p $port -d "$work/hot.txt" -n 1 -q 10 >/dev/null 2>&1
done

qps() { # mode port
  dnsperf -m "$1" -s 127.0.0.1 -p "$2" -d "$work/hot.txt" -l "$seconds" "${load[@]}" 2>&1 \
    | awk '/Queries per second:/ { q = int($4) } /Queries lost:/ { lost = $3 } END { printf "%d %s\n", q, lost }'
}

printf '%-6s %12s %12s %7s   (queries lost: ours, unbound)\n' mode ours unbound ratio
for mode in tcp dot; do
  if [ $mode = tcp ]; then ours_port=5300 unbound_port=5400; else ours_port=8530 unbound_port=8540; fi
  read -r ours ours_lost < <(qps $mode $ours_port)
  read -r theirs theirs_lost < <(qps $mode $unbound_port)
  ratio=$(awk -v a="$ours" -v b="$theirs" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
  printf '%-6s %12s %12s %6sx   (%s, %s)   target >= 1.0x\n' $mode "$ours" "$theirs" "$ratio" "$ours_lost" "$theirs_lost"
done
