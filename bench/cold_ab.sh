#!/usr/bin/env bash
# Cold resolutions per second of two resolver binaries, taken in turns (A/B/A/B...) in one lab, for a
# change whose cost must be told apart from the noise of a shared machine. Each round starts a fresh
# process of each binary (--disable-dnssec), warms the wild.test. delegation with one name, then dnsperf
# asks COUNT fresh distinct names under the wildcard once each (-n 1 -c 8 -q 50, as figure 2 of
# bench/resolver_bench.sh) and the queries per second are kept. With --spray, a stranger in the lab
# sprays 60-byte junk at every port of the ephemeral range of 127.0.0.1 (and first at the ports open
# there) during each measurement. Prints every round's figures (queries per second, and the resolver's
# CPU time per answer, which the other load of a shared machine disturbs less), then each binary's
# medians and the change of B's against A's.
#
# Needs root, dnsperf, dig, socat. Every dnsperf run is bounded in count and time; on exit, even on
# Ctrl-C, it stops what it started and takes its lab down.
#
# Usage: bench/cold_ab.sh --a PATH --b PATH [--rounds N] [--names COUNT] [--spray]
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/isolation.sh"
lab=coldab-$$
a="" b="" rounds=4 count=20000 spray=no

usage() { sed -n '/^# Usage:/p' "$0" | sed 's/^# //' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --a) a=${2:?}; shift ;;
    --b) b=${2:?}; shift ;;
    --rounds) rounds=${2:?}; shift ;;
    --names) count=${2:?}; shift ;;
    --spray) spray=yes ;;
    *) usage ;;
  esac
  shift
done
[ -x "$a" ] && [ -x "$b" ] || usage
[[ $rounds =~ ^[0-9]+$ ]] && [ "$rounds" -ge 1 ] && [ "$rounds" -le 20 ] || { echo "cold_ab: 1 to 20 rounds" >&2; exit 2; }
[[ $count =~ ^[0-9]+$ ]] && [ "$count" -ge 100 ] && [ "$count" -le 200000 ] || { echo "cold_ab: 100 to 200000 names" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "cold_ab: needs root (network namespace)" >&2; exit 1; }

note() { printf '[cold_ab %4ds] %s\n' "$SECONDS" "$*" >&2; }
in_lab() { ip netns exec "$lab" "$@"; }

work=$(mktemp -d /tmp/cold-ab.XXXXXX)
started_pids=()
lab_up=no
cleanup() {
  local status=$? pid
  trap - EXIT INT TERM
  for pid in "${started_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${started_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [ $lab_up = yes ] && "$repo/scripts/lab.sh" down "$lab" >/dev/null 2>&1
  rm -rf "$work"
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

write_root_hints() { # file: the lab's 13 root server addresses
  local letters=(a b c d e f g h i j k l m) i=0 address
  for address in $(awk '$1 == "root" { print $3 }' "$repo/tests/lab/hosts" | tr ',' ' '); do
    printf '.  3600000  NS  %s.ROOT-SERVERS.NET.\n%s.ROOT-SERVERS.NET.  3600000  A  %s\n' \
      "${letters[i]^^}" "${letters[i]^^}" "$address"
    i=$((i + 1))
  done >"$1"
}

# Junk at every ephemeral port of 127.0.0.1 from 127.0.0.2, the open ones first in each sweep, until
# killed or 5 million datagrams.
spray_source='
import socket, sys
low, high = map(int, open("/proc/sys/net/ipv4/ip_local_port_range").read().split())
spare = {int(p) for p in sys.argv[1:]}
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.bind(("127.0.0.2", 0))
sock.setblocking(False)
spare.add(sock.getsockname()[1])
junk = bytes(range(60))
ports = [p for p in range(low, high + 1) if p not in spare]
sent = 0
while sent < 5_000_000:
    for start in range(0, len(ports), 500):
        found = set()
        for table in ("/proc/net/udp", "/proc/net/udp6"):
            for line in list(open(table))[1:]:
                found.add(int(line.split()[1].rsplit(":", 1)[1], 16))
        for port in [p for p in found if low <= p <= high and p not in spare] + ports[start : start + 500]:
            try:
                sock.sendto(junk, ("127.0.0.1", port))
                sent += 1
            except OSError:
                pass
'

declare -A figures cpu

# PID itself when it runs BINARY, else its child that does (ip netns exec may fork first).
process_of() { # pid binary
  local child
  [ "$(readlink "/proc/$1/exe")" = "$(readlink -f "$2")" ] && { echo "$1"; return; }
  for child in $(cat "/proc/$1/task/"*/children 2>/dev/null); do
    [ "$(readlink "/proc/$child/exe")" = "$(readlink -f "$2")" ] && { echo "$child"; return; }
  done
  echo "$1"
}
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; } # user and system time of PID, in clock ticks

one_round() { # label binary round
  local label=$1 binary=$2 round=$3 port=5310 http=9310 pid spray_pid="" qps
  require_isolation cold_ab "$lab"
  in_lab "$binary" --listen "127.0.0.1:$port" --http-listen "127.0.0.1:$http" --control-socket "$work/r.sock" \
    --root-hints "$work/lab.hints" --disable-dnssec </dev/null >>"$work/$label.log" 2>&1 &
  pid=$!
  started_pids+=("$pid")
  for _ in $(seq 150); do
    in_lab dig @127.0.0.1 -p $port +tries=1 +time=1 "warm-$round-$label.wild.test" A 2>/dev/null | grep -q 'status: NOERROR' && break
    sleep 0.1
  done
  awk -v p="c$round$label" -v n="$count" -v r="$$" 'BEGIN { for (i = 0; i < n; i++) printf "%s-%s-%d.wild.test A\n", p, r, i }' >"$work/names"
  if [ $spray = yes ]; then
    in_lab /usr/bin/python3 -c "$spray_source" $port $http &
    spray_pid=$!
    started_pids+=("$spray_pid")
    sleep 3 # the spray finds the open ports and fills whatever queues take it
  fi
  local cpu_before cpu_after answered resolver_pid
  resolver_pid=$(process_of "$pid" "$binary")
  cpu_before=$(cpu_ticks "$resolver_pid")
  timeout --kill-after=5 135 ip netns exec "$lab" dnsperf -s 127.0.0.1 -p $port -d "$work/names" -l 120 \
    -n 1 -c 8 -q 50 >"$work/dnsperf.out" 2>&1 || true
  [ -z "$spray_pid" ] || kill "$spray_pid" 2>/dev/null || true
  qps=$(awk '/Queries per second:/ { print int($4 + 0.5) }' "$work/dnsperf.out")
  local lost servfail
  lost=$(awk '/Queries lost:/ { print $3 }' "$work/dnsperf.out")
  servfail=$(awk '/Response codes:/ { for (i = 1; i < NF; i++) if ($i == "SERVFAIL") print $(i + 1) }' "$work/dnsperf.out")
  cpu_after=$(cpu_ticks "$resolver_pid")
  answered=$(awk '/Queries completed:/ { print $3 }' "$work/dnsperf.out")
  local cpu_us
  cpu_us=$(awk -v a="$cpu_before" -v b="$cpu_after" -v n="${answered:-0}" -v hz="$(getconf CLK_TCK)" \
    'BEGIN { if (n > 0) printf "%.0f", (b - a) / hz * 1e6 / n; else print 0 }')
  figures[$label]="${figures[$label]:-} ${qps:-0}"
  cpu[$label]="${cpu[$label]:-} $cpu_us"
  note "round $round $label: ${qps:-?} q/s, resolver CPU ${cpu_us} us per answer, lost ${lost:-?}, SERVFAIL ${servfail:-0}"
  printf 'SHUTDOWN\n' | socat -t 3 - "UNIX-CONNECT:$work/r.sock" >/dev/null 2>&1 || kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.0f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

write_root_hints "$work/lab.hints"
lab_up=yes
"$repo/scripts/lab.sh" up "$lab" >&2
note "A = $a, B = $b; $rounds rounds of $count cold names each, spray $spray"
for round in $(seq "$rounds"); do
  # The order alternates too, so neither binary always runs second on a warmer machine.
  if [ $((round % 2)) -eq 1 ]; then one_round A "$a" "$round"; one_round B "$b" "$round"; else one_round B "$b" "$round"; one_round A "$a" "$round"; fi
done
# shellcheck disable=SC2086 # the figures are words
median_a=$(median ${figures[A]}) median_b=$(median ${figures[B]})
printf 'cold q/s   A:%s   (median %s)\n' "${figures[A]}" "$median_a"
printf 'cold q/s   B:%s   (median %s)\n' "${figures[B]}" "$median_b"
# shellcheck disable=SC2086
cpu_a=$(median ${cpu[A]}) cpu_b=$(median ${cpu[B]})
printf 'CPU us per answer   A:%s   (median %s)\n' "${cpu[A]}" "$cpu_a"
printf 'CPU us per answer   B:%s   (median %s)\n' "${cpu[B]}" "$cpu_b"
awk -v a="$median_a" -v b="$median_b" -v ca="$cpu_a" -v cb="$cpu_b" 'BEGIN {
  if (a > 0 && ca > 0) printf "B against A: %+.1f %% q/s, %+.1f %% CPU per answer\n", 100 * (b - a) / a, 100 * (cb - ca) / ca }'
