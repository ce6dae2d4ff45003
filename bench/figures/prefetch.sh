#!/bin/bash
# Prefetch: the cache-hit ratio and the p99 latency of a replay of popular names with short TTLs, with
# prefetch = true and prefetch = false.
#
# Runs by itself inside the lab (scripts/lab.sh with-lab). Two resolvers side by side, neither
# validating, both with cache_max_ttl = 10 so that every answer of the lab (TTL 300) lives 10 s, the
# shortest TTL prefetch still refreshes. A replay client (Python, one UDP socket per resolver) asks
# NAMES popular names in a fixed round-robin at RATE questions per second to each resolver, the same
# question to both in turn, for SECONDS seconds after one warming pass; it times every answer itself
# (a lost one counts as its 2 s timeout). The hit ratio is the resolver's own count (/stats) over the
# measured part. Without prefetch each name misses once per TTL; with it, an answer asked for in the last
# second of its TTL is refreshed in the background and the clients keep hitting. So that a miss costs
# what it costs on the internet, every packet to or from port 53 waits DELAY on a delay line (iptables
# NFQUEUE and bench/nfq_delay.c, as figure 3 of bench/resolver_bench.sh): an upstream round trip is
# twice that. The two resolvers are asked in alternating order. On exit the script stops what it started.
#
# Usage: bench/figures/prefetch.sh [--binary PATH] [--names N] [--rate Q] [--seconds S] [--delay-us D]
#   --binary PATH   the resolver (default build/release/recursor)
#   --names N       popular names, under wild.test. (default 40)
#   --rate Q        questions per second to each resolver (default 100)
#   --seconds S     length of the measured replay (default 60)
#   --delay-us D    the delay line's wait per packet, in microseconds (default 10000; 0: none)
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
binary=$repo/build/release/recursor names=40 rate=100 seconds=60 delay_us=10000 inside=no
usage() { sed -n '/^# Usage:/,/^#   --delay-us/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --binary) binary=$(realpath "${2:?}"); shift ;;
    --names) names=${2:?}; shift ;;
    --rate) rate=${2:?}; shift ;;
    --seconds) seconds=${2:?}; shift ;;
    --delay-us) delay_us=${2:?}; shift ;;
    --inside) inside=yes ;;
    *) usage ;;
  esac
  shift
done
[[ $names =~ ^[0-9]+$ && $rate =~ ^[0-9]+$ && $seconds =~ ^[0-9]+$ && $delay_us =~ ^[0-9]+$ ]] || usage
[ -x "$binary" ] || { echo "prefetch bench: no executable at $binary" >&2; exit 1; }

if [ $inside = no ]; then
  exec "$repo/scripts/lab.sh" with-lab -- "$0" --inside --binary "$binary" --names "$names" --rate "$rate" \
    --seconds "$seconds" --delay-us "$delay_us"
fi

work=$(mktemp -d /tmp/prefetch-bench.XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

if [ "$delay_us" -gt 0 ]; then # the namespace, and its rules, go when the lab goes down
  gcc -O2 -Wall -Wextra -o "$work/nfq_delay" "$repo/bench/nfq_delay.c" -lnetfilter_queue -lnfnetlink
  "$work/nfq_delay" 7 "$delay_us" </dev/null >"$work/nfq_delay.log" 2>&1 &
  pids+=($!)
  sleep 0.3
  for protocol in udp tcp; do
    for direction in --dport --sport; do
      iptables -w -t mangle -A OUTPUT -p "$protocol" "$direction" 53 -j NFQUEUE --queue-num 7 --queue-bypass
    done
  done
fi

start() { # name prefetch dns_port http_port
  printf '[server]\ncache_max_ttl = 10\nprefetch = %s\n' "$2" >"$work/$1.conf"
  "$binary" --config "$work/$1.conf" --disable-dnssec --listen "127.0.0.1:$3" --http-listen "127.0.0.1:$4" \
    --control-socket "$work/$1.sock" 2>"$work/$1.log" &
  pids+=($!)
}
start with true 5301 9301
start without false 5302 9302
for _ in $(seq 50); do
  dig +short +time=1 +tries=1 -p 5301 @127.0.0.1 www.glue.test >/dev/null 2>&1 &&
    dig +short +time=1 +tries=1 -p 5302 @127.0.0.1 www.glue.test >/dev/null 2>&1 && break
  sleep 0.2
done

/usr/bin/python3 - "$names" "$rate" "$seconds" "$delay_us" <<'EOF'
import json, socket, sys, time, urllib.request
import dns.message

names, rate, seconds = (int(a) for a in sys.argv[1:4])
order = ["prefetch = true", "prefetch = false"]
resolvers = {"prefetch = true": (5301, 9301), "prefetch = false": (5302, 9302)}
questions = [dns.message.make_query(f"popular{i}.wild.test.", "A") for i in range(names)]

def stats(http_port):
    with urllib.request.urlopen(f"http://127.0.0.1:{http_port}/stats", timeout=5) as reply:
        return json.load(reply)

def ask(sock, port, query):
    started = time.monotonic()
    sock.sendto(query.to_wire(), ("127.0.0.1", port))
    try:
        while True:
            data = sock.recv(4096)
            if data[:2] == query.to_wire()[:2]:
                return time.monotonic() - started
    except socket.timeout:
        return 2.0

sockets = {}
for who, (port, _) in resolvers.items():
    sockets[who] = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sockets[who].settimeout(2.0)
    for query in questions:  # warming pass: every name cached
        ask(sockets[who], port, query)
before = {who: stats(http) for who, (_, http) in resolvers.items()}
latencies = {who: [] for who in resolvers}
interval, start, sent = 1.0 / rate, time.monotonic(), 0
while time.monotonic() - start < seconds:
    query = questions[sent % names]
    query.id = sent & 0xFFFF
    for who in order if sent % 2 == 0 else reversed(order):  # neither always first
        latencies[who].append(ask(sockets[who], resolvers[who][0], query))
    sent += 1
    delay = start + sent * interval - time.monotonic()
    if delay > 0:
        time.sleep(delay)

print(f"prefetch figure: {names} names, TTL 10 s, {sent} questions to each resolver over {seconds} s, "
      f"upstream delay {sys.argv[4]} us per packet")
print(f"{'':18} {'hit ratio':>10} {'p50 ms':>8} {'p99 ms':>8} {'prefetches':>10}")
for who, (_, http) in resolvers.items():
    after = stats(http)
    hits = after["cache_hits"] - before[who]["cache_hits"]
    misses = after["cache_misses"] - before[who]["cache_misses"]
    ordered = sorted(latencies[who])
    p = lambda q: ordered[min(len(ordered) - 1, len(ordered) * q // 100)] * 1000
    with urllib.request.urlopen(f"http://127.0.0.1:{http}/metrics", timeout=5) as reply:
        metrics = reply.read().decode()
    prefetches = next(l.split()[1] for l in metrics.splitlines() if l.startswith("dns_prefetches_total "))
    print(f"{who:18} {hits / max(1, hits + misses):>10.4f} {p(50):>8.3f} {p(99):>8.3f} {prefetches:>10}")
EOF
