#!/usr/bin/env bash
# The lab: a simulated internet inside a network namespace, for running the resolver offline.
#
# The namespace has only its loopback device. The 13 IPv4 root server addresses and the lab's own
# server addresses (10.53.0.0/16) are put on it, so nothing sent in there can leave the machine.
# Every simulated host of tests/lab/hosts gets its own server instance on its own addresses: NSD with
# only that host's zones from tests/lab/zones, or tests/lab/fake_server.py. Needs root.
# The root, sec. and the zones below sec. are signed at every start by tests/lab/sign.py, in the lab's
# state directory; the root's trust anchor is written there as root.key (DNSKEY) and root.ds (DS).
#
# Usage:
#   scripts/lab.sh up [NAME]              create lab NAME (default rlab) and wait until every server answers
#   scripts/lab.sh down [NAME]            stop everything in it, delete the namespace and its state
#   scripts/lab.sh exec [NAME] -- CMD...  run CMD inside the lab, RECURSOR_LAB_DIR set to its state
#   scripts/lab.sh status [NAME]          show the labs, or the hosts and trust anchor files of one
#   scripts/lab.sh try                    build the release binary, bring lab rlab up and run the
#                                         resolver in it on 127.0.0.1:5353 (HTTP 127.0.0.1:9153)
#   scripts/lab.sh with-lab -- CMD...     run CMD in a lab of its own (RECURSOR_LAB_DIR set as for
#                                         exec), then take the lab down
#   scripts/lab.sh bare -- CMD...         run CMD in a namespace of its own with only loopback up:
#                                         there every packet to a root server fails at once
# with-lab and bare exit with status 77 (a skip for ctest) when not run as root.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
lab=$repo/tests/lab
state_base=/run/recursor-lab
skip_status=77

fail() { echo "lab: $*" >&2; exit 1; }
is_root() { [ "$(id -u)" -eq 0 ]; }
need_root() { is_root || fail "needs root to create network namespaces"; }
check_name() { [[ $1 =~ ^[A-Za-z0-9_-]{1,32}$ ]] || fail "bad lab name '$1'"; }
in_ns() { local name=$1; shift; ip netns exec "$name" "$@"; }
ns_exists() { [ -e "/run/netns/$1" ]; }

# Prints "host server addresses zones" for each host, commas turned into spaces inside the fields.
hosts() { grep -vE '^[[:space:]]*(#|$)' "$lab/hosts"; }
zone_file() { if [ "$1" = . ]; then echo root.zone; else echo "${1%.}.zone"; fi; }

write_nsd_conf() { # dir host addresses zones
  local dir=$1 host=$2 addresses=$3 zones=$4 address zone
  {
    echo "# NSD for lab host $host: only its own addresses and zones."
    echo "server:"
    for address in ${addresses//,/ }; do echo "  ip-address: $address"; done
    cat <<EOF
  do-ip6: no
  server-count: 1
  database: ""
  username: ""
  chroot: ""
  zonesdir: "$dir"
  zonelistfile: "$dir/zone.list"
  xfrdfile: "$dir/xfrd.state"
  xfrdir: "$dir"
  pidfile: "$dir/pid"
  logfile: "$dir/log"
  identity: "$host"
  verbosity: 1
  # No response rate limiting: the benchmarks ask thousands of names of one wildcard a second.
  rrl-ratelimit: 0
  rrl-whitelist-ratelimit: 0
remote-control:
  control-enable: no
EOF
    for zone in ${zones//,/ }; do
      printf 'zone:\n  name: "%s"\n  zonefile: "%s"\n' "$zone" "$(zone_file "$zone")"
    done
  } >"$dir/nsd.conf"
}

start_host() { # name state host server addresses zones
  local name=$1 state=$2 dir=$2/$3 host=$3 server=$4 addresses=$5 zones=$6 address zone
  mkdir -p "$dir"
  for address in ${addresses//,/ }; do in_ns "$name" ip addr add "$address/32" dev lo; done
  case $server in
    nsd)
      for zone in ${zones//,/ }; do cp "$state/zones/$(zone_file "$zone")" "$dir/"; done
      write_nsd_conf "$dir" "$host" "$addresses" "$zones"
      in_ns "$name" nsd -c "$dir/nsd.conf" </dev/null >>"$dir/log" 2>&1 || fail "nsd of host $host did not start: $(tail -3 "$dir/log")"
      ;;
    fake | silent | attacker)
      in_ns "$name" setsid /usr/bin/python3 "$lab/fake_server.py" --address "$addresses" --mode "$server" \
        --pidfile "$dir/pid" </dev/null >"$dir/log" 2>&1 &
      ;;
    none) ;;
    *) fail "unknown server kind '$server' for host $host" ;;
  esac
}

# The zones are copied into the state directory, and the DNSSEC ones signed there: the signatures are
# fresh at every start, and the trust anchor of this lab's root (new keys each time) is written beside.
sign_zones() { # state
  mkdir -p "$1/zones"
  cp "$lab"/zones/*.zone "$1/zones/"
  /usr/bin/python3 "$lab/sign.py" "$1" || fail "signing the zones failed"
}

# /etc/netns/NAME/{hosts,resolv.conf} replace /etc/hosts and /etc/resolv.conf for whatever runs inside:
# name look-ups stay in the lab, and the server names are known, so "dig +trace @198.41.0.4 NAME" works.
write_netns_etc() { # name
  mkdir -p "/etc/netns/$1"
  echo "nameserver 127.0.0.1" >"/etc/netns/$1/resolv.conf"
  {
    echo "127.0.0.1 localhost"
    /usr/bin/python3 - "$lab/zones" <<'PY'
import pathlib, sys
import dns.rdatatype, dns.zone
servers, addresses = set(), {}
for path in sorted(pathlib.Path(sys.argv[1]).glob("*.zone")):
    origin = "." if path.stem == "root" else path.stem + "."
    zone = dns.zone.from_file(str(path), origin, relativize=False, check_origin=False)
    for name, rdataset in zone.iterate_rdatasets():
        if rdataset.rdtype == dns.rdatatype.NS:
            servers.update(rdata.target for rdata in rdataset)
        elif rdataset.rdtype == dns.rdatatype.A:
            addresses.setdefault(name, []).extend(rdata.address for rdata in rdataset)
for name in sorted(servers):
    for address in addresses.get(name, []):
        print(address, name.to_text(omit_final_dot=True).lower())
PY
  } >"/etc/netns/$1/hosts"
}

# Every server answers an SOA question for each of its zones on each of its addresses, with AA.
wait_ready() { # name state
  local name=$1 state=$2 deadline=$((SECONDS + 15)) host server addresses zones address zone pending
  while :; do
    pending=""
    while read -r host server addresses zones; do
      [ "$server" = none ] && continue
      if [ ! -s "$state/$host/pid" ]; then pending+=" $host"; continue; fi
      [ "$server" = silent ] && continue # answers nothing by design; its pid file appears once bound
      [ "$server" = attacker ] && zones=test.
      for address in ${addresses//,/ }; do
        for zone in ${zones//,/ }; do
          in_ns "$name" dig +norec +tries=1 +time=1 "@$address" "$zone" SOA 2>/dev/null |
            grep -qE '^;; flags: qr aa[ ;]' || pending+=" $host/$address/$zone"
        done
      done
    done < <(hosts)
    [ -z "$pending" ] && return 0
    [ $SECONDS -lt $deadline ] || fail "not answering after 15 s:$pending (logs in $state)"
    sleep 0.1
  done
}

lab_healthy() { # name state
  local pidfile
  ns_exists "$1" && [ -f "$2/ready" ] || return 1
  for pidfile in "$2"/*/pid; do
    [ -s "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null || return 1
  done
}

cmd_up() {
  local name=${1:-rlab} state
  check_name "$name"
  need_root
  state=$state_base/$name
  if lab_healthy "$name" "$state"; then
    echo "lab $name: already up"
    return 0
  fi
  cmd_down "$name" >/dev/null
  command -v nsd >/dev/null || fail "nsd is not installed (scripts/setup.sh installs it)"
  command -v dnssec-signzone >/dev/null || fail "dnssec-signzone is not installed (scripts/setup.sh installs it)"
  mkdir -p "$state"
  sign_zones "$state"
  write_netns_etc "$name"
  ip netns add "$name"
  in_ns "$name" ip link set lo up
  local started=$SECONDS host server addresses zones
  while read -r host server addresses zones; do
    start_host "$name" "$state" "$host" "$server" "$addresses" "$zones"
  done < <(hosts)
  wait_ready "$name" "$state"
  touch "$state/ready"
  echo "lab $name: up in $((SECONDS - started)) s ($(hosts | wc -l) hosts, state in $state)"
}

# Stops every process inside the namespace (the servers, and whatever was run there), by pid.
stop_processes() { # name
  local pids pid
  pids=$(ip netns pids "$1" 2>/dev/null || true)
  [ -z "$pids" ] && return 0
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  for _ in $(seq 30); do
    pids=$(ip netns pids "$1" 2>/dev/null || true)
    [ -z "$pids" ] && return 0
    sleep 0.1
  done
  for pid in $pids; do kill -KILL "$pid" 2>/dev/null || true; done
}

cmd_down() {
  local name=${1:-rlab}
  check_name "$name"
  need_root
  if ns_exists "$name" && [ ! -d "$state_base/$name" ]; then
    fail "namespace $name was not made by this script; left alone"
  fi
  if ns_exists "$name"; then
    stop_processes "$name"
    ip netns del "$name"
  fi
  rm -rf "${state_base:?}/$name" "/etc/netns/$name"
  echo "lab $name: down"
}

cmd_status() {
  local name=${1:-} state host server addresses zones pid
  if [ -z "$name" ]; then
    for state in "$state_base"/*/; do
      [ -d "$state" ] || continue
      name=$(basename "$state")
      echo "$name: $(lab_healthy "$name" "$state" && echo up || echo broken)"
    done
    return 0
  fi
  check_name "$name"
  state=$state_base/$name
  ns_exists "$name" || { echo "lab $name: down"; return 1; }
  echo "lab $name: $(lab_healthy "$name" "$state" && echo up || echo broken)"
  while read -r host server addresses zones; do
    pid=$(cat "$state/$host/pid" 2>/dev/null || true)
    if [ "$server" = none ]; then pid="-"
    elif [ -z "$pid" ] || ! kill -0 "$pid" 2>/dev/null; then pid="NOT RUNNING"
    fi
    printf '  %-12s %-9s %-12s %s  %s\n' "$host" "$server" "$pid" "${addresses//,/ }" "${zones//,/ }"
  done < <(hosts)
  echo "  trust anchor of the root: $state/root.ds (DS), $state/root.key (DNSKEY)"
}

cmd_exec() { # [NAME] -- CMD...
  local name=rlab
  if [ $# -gt 0 ] && [ "$1" != -- ]; then name=$1; shift; fi
  [ "${1:-}" = -- ] || fail "exec: usage: scripts/lab.sh exec [NAME] -- CMD..."
  shift
  [ $# -gt 0 ] || fail "exec: no command"
  check_name "$name"
  ns_exists "$name" || fail "lab $name is not up (scripts/lab.sh up $name)"
  export RECURSOR_LAB_DIR=$state_base/$name
  exec ip netns exec "$name" "$@"
}

cmd_with_lab() {
  [ "${1:-}" = -- ] && shift
  [ $# -gt 0 ] || fail "with-lab: no command"
  is_root || { echo "SKIPPED: needs root to create the lab's network namespace" >&2; exit $skip_status; }
  local name=rlab-t$$
  # shellcheck disable=SC2064 # the name is expanded now on purpose: it is a local
  trap "cmd_down $name >/dev/null" EXIT
  trap 'exit 130' INT TERM
  cmd_up "$name"
  local status=0
  RECURSOR_LAB_DIR=$state_base/$name ip netns exec "$name" "$@" || status=$?
  return $status
}

cmd_bare() {
  [ "${1:-}" = -- ] && shift
  [ $# -gt 0 ] || fail "bare: no command"
  is_root || { echo "SKIPPED: needs root to create an isolated network namespace" >&2; exit $skip_status; }
  local name=rbare-$$
  # shellcheck disable=SC2064 # the name is expanded now on purpose: it is a local
  trap "stop_processes $name; ip netns del $name 2>/dev/null || true" EXIT
  trap 'exit 130' INT TERM
  ip netns add "$name"
  ip netns exec "$name" ip link set lo up
  local status=0
  ip netns exec "$name" "$@" || status=$?
  return $status
}

cmd_try() {
  need_root
  local binary=$repo/build/release/recursor name=rlab
  cd "$repo"
  scripts/setup.sh
  [ -f build/release/build.ninja ] || cmake --preset release >/dev/null
  cmake --build --preset release --target recursor
  if ! lab_healthy "$name" "$state_base/$name"; then
    cmd_up "$name"
    # shellcheck disable=SC2064 # the name is expanded now on purpose: it is a local
    trap "cmd_down $name" EXIT
    trap 'exit 130' INT TERM
  fi
  cat <<EOF

The resolver runs inside lab $name on 127.0.0.1:5353 (HTTP on 127.0.0.1:9153); stop it with Ctrl-C.
From another terminal:
  scripts/lab.sh exec -- dig @127.0.0.1 -p 5353 www.glue.test
  scripts/lab.sh exec -- dig @127.0.0.1 -p 5353 www.alg13.sec     # validated: the ad flag
  scripts/lab.sh exec -- curl -s http://127.0.0.1:9153/stats

EOF
  . "$repo/scripts/isolation.sh"
  require_isolation lab "$name"
  ip netns exec "$name" "$binary" --listen 127.0.0.1:5353 --http-listen 127.0.0.1:9153 \
    --trust-anchor "$state_base/$name/root.key"
}

command=${1:-}
[ $# -gt 0 ] && shift
case $command in
  up) cmd_up "$@" ;;
  down) cmd_down "$@" ;;
  status) cmd_status "$@" ;;
  exec) cmd_exec "$@" ;;
  try) cmd_try ;;
  with-lab) cmd_with_lab "$@" ;;
  bare) cmd_bare "$@" ;;
  *) sed -n '/^# Usage:/,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0" >&2; exit 2 ;;
esac
