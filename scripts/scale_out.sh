#!/usr/bin/env bash
# Several recursor instances behind dnsdist (Debian's package), checked and measured in the lab.
#
# Each instance runs in a network namespace of its own, joined to the lab by a veth pair
# (10.53.20N.2 inside, 10.53.20N.1 on the lab's side), and resolves from the lab's root servers with
# the lab's trust anchor. dnsdist runs in the lab on 127.0.0.1:5300 with dist/dnsdist/dnsdist.conf.
#
# Usage (as root):
#   scripts/scale_out.sh check [BINARY]   two instances behind dnsdist answer; with one of them
#                                         stopped, every question is still answered
#   scripts/scale_out.sh bench [BINARY]   cache hits per second: one instance asked directly, then
#                                         two behind dnsdist (dnsperf, 10 s each)
# BINARY defaults to build/release/recursor. Both run in a lab of their own (scripts/lab.sh with-lab)
# and exit 77 (a skip) without root.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
instances=2
front=127.0.0.1
front_port=5300

fail() { echo "scale-out: $*" >&2; exit 1; }
note() { echo "scale-out: $*"; }

address_of() { echo "10.53.20$1.2"; }

start_instance() { # number binary work
  local n=$1 binary=$2 work=$3 ns=so$$-$1
  ip netns add "$ns"
  ip link add "so$n" type veth peer name eth0 netns "$ns"
  ip addr add "10.53.20$n.1/30" dev "so$n"
  ip link set "so$n" up
  ip netns exec "$ns" ip link set lo up
  ip netns exec "$ns" ip addr add "$(address_of "$n")/30" dev eth0
  ip netns exec "$ns" ip link set eth0 up
  ip netns exec "$ns" ip route add default via "10.53.20$n.1"
  ip netns exec "$ns" "$binary" --listen "$(address_of "$n"):53" --allow 10.53.0.0/16 \
    --trust-anchor "$RECURSOR_LAB_DIR/root.key" >"$work/recursor$n.log" 2>&1 &
  echo $! >"$work/recursor$n.pid"
  disown
  for _ in $(seq 100); do
    grep -q "recursor listening on" "$work/recursor$n.log" && return 0
    sleep 0.1
  done
  fail "instance $n did not start: $(cat "$work/recursor$n.log")"
}

stop_instance() { # number work
  local pid
  pid=$(cat "$2/recursor$1.pid")
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  fail "instance $1 did not stop within 10 s of SIGTERM"
}

start_dnsdist() { # work
  local work=$1 backends="" n
  for n in $(seq "$instances"); do
    backends+="newServer({address=\"$(address_of "$n"):53\", name=\"recursor-$n\", checkInterval=1, maxCheckFailures=2, rise=2})"$'\n'
  done
  BACKENDS=$backends LISTEN="$front:$front_port" /usr/bin/python3 - "$repo/dist/dnsdist/dnsdist.conf" \
    >"$work/dnsdist.conf" <<'PY'
import os, sys
text = open(sys.argv[1]).read()
print(text.replace("@LISTEN@", os.environ["LISTEN"]).replace("@BACKENDS@", os.environ["BACKENDS"].rstrip("\n")))
PY
  dnsdist --check-config -C "$work/dnsdist.conf" >"$work/check.log" 2>&1 || fail "dnsdist rejects $work/dnsdist.conf: $(cat "$work/check.log" "$work/dnsdist.conf")"
  dnsdist --supervised --disable-syslog -C "$work/dnsdist.conf" >"$work/dnsdist.log" 2>&1 &
  echo $! >"$work/dnsdist.pid"
  disown
  for _ in $(seq 100); do
    dig +short +tries=1 +time=1 @"$front" -p "$front_port" www.glue.test A >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  fail "dnsdist did not answer: $(cat "$work/dnsdist.log")"
}

cleanup() { # work
  local work=$1 n
  [ -f "$work/dnsdist.pid" ] && kill "$(cat "$work/dnsdist.pid")" 2>/dev/null || true
  for n in $(seq "$instances"); do
    [ -f "$work/recursor$n.pid" ] && kill -9 "$(cat "$work/recursor$n.pid")" 2>/dev/null || true
    ip netns del "so$$-$n" 2>/dev/null || true
    ip link del "so$n" 2>/dev/null || true
  done
}

# Every one of `count` distinct names under wild.test. (which answers any name) answered with its A.
ask_all() { # label count
  local label=$1 count=$2 i answered=0
  for i in $(seq "$count"); do
    if dig +short +tries=3 +time=1 @"$front" -p "$front_port" "$label-$i.wild.test" A | grep -q '^192\.0\.2\.80$'; then
      answered=$((answered + 1))
    fi
  done
  echo "$answered"
}

inside_check() { # binary work
  local binary=$1 work=$2 n got
  for n in $(seq "$instances"); do start_instance "$n" "$binary" "$work"; done
  start_dnsdist "$work"
  got=$(dig +tries=3 +time=2 +dnssec @"$front" -p "$front_port" www.alg13.sec A)
  grep -q "flags:.* ad" <<<"$got" || fail "no AD through dnsdist: $got"
  got=$(ask_all both 40)
  [ "$got" -eq 40 ] || fail "$got of 40 answered with both instances up"
  for n in $(seq "$instances"); do
    grep -q "recursor listening" "$work/recursor$n.log" || fail "instance $n is gone"
  done
  note "both instances up: 40 of 40 answered, AD on a signed name"
  stop_instance 1 "$work"
  sleep 3 # two missed health checks a second apart take it out
  got=$(ask_all one 40)
  [ "$got" -eq 40 ] || fail "$got of 40 answered with instance 1 stopped"
  note "instance 1 stopped: 40 of 40 answered by instance 2"
}

dnsperf_qps() { # server port data seconds
  dnsperf -s "$1" -p "$2" -d "$3" -l "$4" -c 16 -T 2 -q 500 2>&1 | awk '/Queries per second:/ { printf "%d", $4 }'
}

inside_bench() { # binary work
  local binary=$1 work=$2 n one two
  for n in $(seq "$instances"); do start_instance "$n" "$binary" "$work"; done
  start_dnsdist "$work"
  for n in $(seq 100); do echo "hot-$n.wild.test A"; done >"$work/hot.txt"
  # Warm every instance directly, so that both sides measure cache hits.
  for n in $(seq "$instances"); do dnsperf -s "$(address_of "$n")" -d "$work/hot.txt" -n 1 -q 10 >/dev/null 2>&1; done
  one=$(dnsperf_qps "$(address_of 1)" 53 "$work/hot.txt" 10)
  two=$(dnsperf_qps "$front" "$front_port" "$work/hot.txt" 10)
  note "cache hits/s: one instance asked directly $one; two instances behind dnsdist $two (2 CPUs shared by dnsperf, dnsdist and the instances)"
}

case ${1:-} in
  check | bench)
    binary=$(realpath "${2:-$repo/build/release/recursor}")
    [ -x "$binary" ] || fail "no executable at $binary"
    command -v dnsdist >/dev/null || fail "dnsdist is not installed (apt-get install dnsdist)"
    exec "$repo/scripts/lab.sh" with-lab -- "$repo/scripts/scale_out.sh" inside "$1" "$binary"
    ;;
  inside)
    work=$(mktemp -d /tmp/scale-out.XXXXXX)
    trap 'cleanup "$work"; rm -rf "$work"' EXIT
    "inside_$2" "$3" "$work"
    ;;
  *) fail "usage: scripts/scale_out.sh check|bench [BINARY]" ;;
esac
