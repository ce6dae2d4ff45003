#!/usr/bin/env bash
# Bounded load test of the recursor over loopback with dnsperf.
#
# Two runs, each against a fresh process on 127.0.0.1 with ephemeral ports:
#   unpaced    no rate limit, 20 queries outstanding
#   high-rate  150000 queries/s requested, 100 queries outstanding
# Each run lasts LOAD_SECONDS (default 10, at most 15) and is killed if dnsperf overruns by 5 s.
# Prints dnsperf's figures, the server's counters and its descriptors, threads and resident size before
# and after, and fails when a query was lost, when the server counted a different number of queries
# than dnsperf sent, when it holds more descriptors than before beyond its upstream port pool (4096
# sockets, opened on first use) or more threads, or when the process does not stop cleanly on SHUTDOWN.
#
# The recursor and dnsperf run in a network namespace of their own with only loopback up (scripts/lab.sh
# bare): whatever the resolver sends towards a root server fails at once and never leaves the machine,
# so every question is answered with SERVFAIL. That needs root; without it the run is skipped.
#
# Usage: bench/load_dnsperf.sh [path/to/recursor]   (default build/release/recursor)
set -euo pipefail
cd "$(dirname "$0")/.."

open_exchanges=4096 # upstream sockets still open when the figures are read: one per exchange in flight

. scripts/isolation.sh
if ! isolation_problems >/dev/null; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "load: SKIPPED: needs root to run in a network namespace of its own" >&2
    exit 0
  fi
  [ -n "${LOAD_IN_BARE:-}" ] && require_isolation load # never started where a route leads off the machine
  LOAD_IN_BARE=1 exec scripts/lab.sh bare -- bench/load_dnsperf.sh "$@"
fi

binary=${1:-build/release/recursor}
seconds=${LOAD_SECONDS:-10}
[ -x "$binary" ] || { echo "load: no executable at $binary" >&2; exit 2; }
if [ "$seconds" -lt 1 ] || [ "$seconds" -gt 15 ]; then
  echo "load: LOAD_SECONDS must be 1..15" >&2
  exit 2
fi

work=$(mktemp -d)
pid=""
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# ~1000 distinct questions of mixed types; no name repeats, so every query is a cache miss.
types=(A AAAA MX TXT NS SOA SRV CAA DNSKEY DS PTR ANY)
for i in $(seq 0 999); do
  printf 'n%d.zone%d.load.example %s\n' "$i" $((i % 37)) "${types[$((i % ${#types[@]}))]}"
done >"$work/queries.txt"

proc_figures() { # fds threads rss_kib
  local fds threads rss
  fds=$(find "/proc/$1/fd" -mindepth 1 -maxdepth 1 | wc -l)
  threads=$(find "/proc/$1/task" -mindepth 1 -maxdepth 1 | wc -l)
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$1/status")
  echo "$fds $threads $rss"
}

wait_for_log() { # pattern -> first match, waiting up to 10 s
  local match
  for _ in $(seq 100); do
    match=$(grep -m1 -oE "$1" "$work/stderr" || true)
    [ -n "$match" ] && { echo "$match"; return 0; }
    sleep 0.1
  done
  echo "load: recursor did not log '$1'; stderr:" >&2
  cat "$work/stderr" >&2
  return 1
}

stat_value() { grep -oE "\"$1\":[0-9]+" <<<"$2" | cut -d: -f2; }
dnsperf_value() { awk -v key="$1" 'index($0, key) == 3 { sub(/^[^:]*: */, ""); print $1; exit }' <<<"$2"; }

failures=0
run_variant() { # name rate(or none) outstanding
  local name=$1 rate=$2 outstanding=$3
  local socket="$work/control-$name.sock"
  "$binary" --listen 127.0.0.1:0 --http-listen 127.0.0.1:0 --control-socket "$socket" 2>"$work/stderr" &
  pid=$!
  local dns_port http_port
  dns_port=$(wait_for_log 'recursor listening on 127\.0\.0\.1:[0-9]+' | awk -F: '{print $NF}')
  http_port=$(wait_for_log 'HTTP metrics server listening on 127\.0\.0\.1:[0-9]+' | awk -F: '{print $NF}')

  local before after
  before=$(proc_figures "$pid")
  local rate_args=()
  [ "$rate" != none ] && rate_args=(-Q "$rate")
  local output
  output=$(timeout $((seconds + 5)) dnsperf -s 127.0.0.1 -p "$dns_port" -l "$seconds" -c 4 -t 2 \
    -q "$outstanding" "${rate_args[@]}" -d "$work/queries.txt" 2>&1) || {
    echo "load: dnsperf failed or overran:" >&2
    echo "$output" >&2
    failures=$((failures + 1))
  }
  # Resolver threads end after two idle seconds: give them up to five to return to the resting level.
  after=$(proc_figures "$pid")
  for _ in $(seq 50); do
    [ "$(echo "$after" | awk '{print $2}')" = "$(echo "$before" | awk '{print $2}')" ] && break
    sleep 0.1
    after=$(proc_figures "$pid")
  done

  local stats
  stats=$(curl -s --max-time 5 "http://127.0.0.1:$http_port/stats")
  local sent completed lost qps total servfail
  sent=$(dnsperf_value "Queries sent" "$output")
  completed=$(dnsperf_value "Queries completed" "$output")
  lost=$(dnsperf_value "Queries lost" "$output")
  qps=$(dnsperf_value "Queries per second" "$output")
  total=$(stat_value queries_total "$stats")
  servfail=$(stat_value queries_servfail "$stats")

  local shutdown status
  shutdown=$(printf 'SHUTDOWN\n' | socat -t 3 - "UNIX-CONNECT:$socket" || true)
  status=0
  wait "$pid" || status=$?
  pid=""

  local counts_match=no
  [ -n "$sent" ] && [ "$total" = "$sent" ] && [ "$servfail" = "$total" ] && [ "$completed" = "$sent" ] && counts_match=yes
  read -r fds_before threads_before rss_before <<<"$before"
  read -r fds_after threads_after rss_after <<<"$after"

  printf '\n== %s: %s s, rate %s, %s outstanding, 4 clients\n' "$name" "$seconds" "$rate" "$outstanding"
  printf '  dnsperf   sent %s  completed %s  lost %s  queries/s %s\n' "$sent" "$completed" "$lost" "$qps"
  printf '  server    queries_total %s  queries_servfail %s  total == sent: %s\n' "$total" "$servfail" "$counts_match"
  printf '  process   fds %s -> %s  threads %s -> %s  VmRSS %s KiB -> %s KiB\n' \
    "$fds_before" "$fds_after" "$threads_before" "$threads_after" "$rss_before" "$rss_after"
  printf '  stop      SHUTDOWN answered %q, exit status %s, socket file %s\n' "$shutdown" "$status" \
    "$([ -e "$socket" ] && echo left behind || echo removed)"

  if [ "${lost:-x}" != 0 ] || [ "$counts_match" != yes ] || [ "$shutdown" != OK ] || [ "$status" != 0 ] ||
    [ -e "$socket" ] || [ "$fds_after" -gt $((fds_before + open_exchanges)) ] ||
    [ "$threads_after" != "$threads_before" ]; then
    echo "  FAILED" >&2
    sed 's/^/  recursor: /' "$work/stderr" | tail -20 >&2
    failures=$((failures + 1))
  fi
}

run_variant unpaced none 20
run_variant high-rate 150000 100

if [ "$failures" -ne 0 ]; then
  echo "load: $failures run(s) failed" >&2
  exit 1
fi
echo
echo "load: every query answered and counted"
