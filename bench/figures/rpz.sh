#!/bin/bash
# Response policy zones at scale: the start-up load time and the resident memory of an [rpz:] file with
# N question-name rules (default 1,000,000), and cache hits per second with and without those rules.
#
# Runs by itself in a namespace with only loopback (scripts/lab.sh bare): a small authority on loopback
# serves hot.test. as a [stub:] zone, its 100 names are asked once to warm the cache, then dnsperf asks
# them again and again (every answer a cache hit, no name matching a rule, so each pays a miss in the
# rule tables). Two resolvers run side by side, one without policy and one with the rules; their runs
# alternate, and the best of the rounds is kept for each, since the machine is shared. Every dnsperf
# run is bounded in time; on exit the script stops what it started. bench/resolver_bench.sh runs it
# as figure 17.
#
# Usage: bench/figures/rpz.sh [--binary PATH] [--rules N] [--seconds S] [--rounds R]
#   --binary PATH   the resolver (default build/release/recursor)
#   --rules N       question-name rules in the policy file (default 1000000)
#   --seconds S     length of one dnsperf run (default 10)
#   --rounds R      runs per resolver, alternating (default 3)
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
binary=$repo/build/release/recursor rules=1000000 seconds=10 rounds=3 inside=no
usage() { sed -n '/^# Usage:/,/^#   --rounds/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --binary) binary=$(realpath "${2:?}"); shift ;;
    --rules) rules=${2:?}; shift ;;
    --seconds) seconds=${2:?}; shift ;;
    --rounds) rounds=${2:?}; shift ;;
    --inside) inside=yes ;;
    *) usage ;;
  esac
  shift
done
[[ $rules =~ ^[0-9]+$ && $seconds =~ ^[0-9]+$ && $rounds =~ ^[0-9]+$ ]] || usage
[ -x "$binary" ] || { echo "rpz bench: no executable at $binary (cmake --preset release && cmake --build build/release --target recursor)" >&2; exit 1; }
command -v dnsperf >/dev/null || { echo "rpz bench: needs dnsperf (apt-get install dnsperf)" >&2; exit 1; }

if [ $inside = no ]; then
  exec "$repo/scripts/lab.sh" bare -- "$0" --inside --binary "$binary" --rules "$rules" --seconds "$seconds" --rounds "$rounds"
fi

note() { printf '[rpz bench %4ds] %s\n' "$SECONDS" "$*" >&2; }
work=$(mktemp -d /tmp/rpz-bench.XXXXXX)
started_pids=()
cleanup() {
  local pid
  for pid in "${started_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${started_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# The authority of hot.test.: every A question under it answered at once, AA set, an hour's TTL.
cat >"$work/authority.py" <<'EOF'
import socket, sys
import dns.flags, dns.message, dns.rrset
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.bind(("127.0.0.1", int(sys.argv[1])))
while True:
    wire, peer = sock.recvfrom(4096)
    query = dns.message.from_wire(wire)
    reply = dns.message.make_response(query)
    reply.flags |= dns.flags.AA
    question = query.question[0]
    if question.rdtype == 1:
        reply.answer.append(dns.rrset.from_text(question.name, 3600, "IN", "A", "192.0.2.1"))
    sock.sendto(reply.to_wire(), peer)
EOF
/usr/bin/python3 "$work/authority.py" 5399 &
started_pids+=("$!")

note "writing $rules question-name rules"
awk -v n="$rules" 'BEGIN {
  print "$TTL 60\n@ SOA ns.block.rpz. admin.block.rpz. 1 3600 600 86400 60\n@ NS ns.block.rpz."
  for (i = 0; i < n; i++) printf "ad%d.tracker-%d.example CNAME .\n", i, i % 977
}' >"$work/block.rpz"
awk 'BEGIN { for (i = 0; i < 100; i++) printf "h%d.hot.test A\n", i }' >"$work/hot.txt"

declare -A pid_of best start_seconds
start() { # who port with_rules: starts a resolver and waits until it answers (start_seconds[who])
  local who=$1 port=$2
  {
    printf '[server]\nlisten = 127.0.0.1:%s\n\n[stub:hot.test.]\nserver = 127.0.0.1:5399\n' "$port"
    [ "$3" = no ] || printf '\n[rpz:block.rpz.]\nfile = %s\n' "$work/block.rpz"
  } >"$work/$who.conf"
  local begun=$EPOCHREALTIME
  "$binary" --config "$work/$who.conf" --disable-dnssec --control-socket "$work/$who.sock" \
    </dev/null >"$work/$who.log" 2>&1 &
  started_pids+=("$!")
  pid_of[$who]=$!
  for _ in $(seq 600); do
    dig @127.0.0.1 -p "$port" +tries=1 +time=1 h0.hot.test A 2>/dev/null | grep -q 'status: NOERROR' && break
    kill -0 "${pid_of[$who]}" 2>/dev/null || { cat "$work/$who.log" >&2; exit 1; }
    sleep 0.05
  done
  start_seconds[$who]=$(awk -v a="$begun" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }')
}

rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

note "starting the resolver without policy, then the one with $rules rules"
start plain 5300 no
start rules 5301 yes
load_line=$(grep -o 'policy zone block.rpz. loaded.*' "$work/rules.log" || echo "no load line")
for port in 5300 5301; do # warm: every hot name resolved once, so that what follows are cache hits
  dnsperf -s 127.0.0.1 -p "$port" -d "$work/hot.txt" -n 1 -q 10 -t 5 >/dev/null 2>&1
done
plain_rss=$(rss_kib "${pid_of[plain]}") rules_rss=$(rss_kib "${pid_of[rules]}")

for round in $(seq "$rounds"); do
  for who in plain rules; do
    port=5300
    [ $who = plain ] || port=5301
    out=$(dnsperf -s 127.0.0.1 -p "$port" -d "$work/hot.txt" -c 16 -T 2 -q 500 -l "$seconds" 2>&1)
    qps=$(awk '/Queries per second:/ { printf "%d", $4 }' <<<"$out")
    lost=$(awk '/Queries lost:/ { print $3 }' <<<"$out")
    noerror=$(awk '/Response codes:/ { print $4 }' <<<"$out")
    note "round $round $who: $qps q/s, lost $lost, NOERROR $noerror"
    [ "${best[$who]:-0}" -ge "$qps" ] || best[$who]=$qps
  done
done

cost=$(awk -v a="${best[plain]}" -v b="${best[rules]}" 'BEGIN { if (a > 0) printf "%.1f", 100 * (a - b) / a; else print "?" }')
printf '\nResponse policy zones, %s question-name rules (%s rounds of %s s, best kept)\n' "$rules" "$rounds" "$seconds"
printf '  load: %s\n' "$load_line"
printf '  start-up until the first answer: %s s with the rules, %s s without\n' "${start_seconds[rules]}" "${start_seconds[plain]}"
printf '  resident memory after warming: %s KiB with the rules, %s KiB without (+%s MiB)\n' \
  "$rules_rss" "$plain_rss" "$(((rules_rss - plain_rss) / 1024))"
printf '  cache hits: %s q/s with the rules, %s q/s without: %s %% slower (target: at most 10 %%)\n' \
  "${best[rules]}" "${best[plain]}" "$cost"
