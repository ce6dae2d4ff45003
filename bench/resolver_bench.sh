#!/usr/bin/env bash
# Compares the resolver with unbound, used as a yardstick. Both run side by side in a lab of their own
# (a network namespace with NSD hosts, scripts/lab.sh), get the same queries from dnsperf in the same
# run, and one table shows each figure with its ratio to unbound:
#   1. cache hits/s         100 names asked once to warm both caches, then dnsperf saturates each
#   2. cold resolutions/s   distinct fresh names under wild.test. (a wildcard), each asked once
#   3. cold with 20 ms RTT  the same, 500 queries outstanding, while every packet to or from port 53
#                           waits 10 ms (iptables NFQUEUE and bench/nfq_delay.c: this kernel has no netem)
#   4. resident memory      VmRSS after N distinct cold names, paced, sampled every N/10 names
# For these four, ours runs with --disable-dnssec and unbound with module-config "iterator": neither
# validates. The next three validate, both from the lab root's trust anchor (root.key of the lab's state
# directory; unbound with module-config "validator iterator"), which each checks first: AD on a name of
# the signed wildcard *.wild.sec., SERVFAIL on www.badds.sec.:
#   5. validated cold/s     figure 2 with distinct names under wild.sec., both with aggressive NSEC
#                           off (aggressive_nsec = no, aggressive-nsec: no) so that every name is asked
#   6. validated, 20 ms RTT figure 3 with distinct names under wild.sec., aggressive NSEC off alike
#   7. upstream queries     UDP queries and TCP connections to port 53 per validated cold answer, each
#                           resolver alone from its start (the DS and DNSKEY fetches included), counted
#                           by an iptables rule of the namespace's OUTPUT chain over N distinct names;
#                           unbound also once more with aggressive-nsec: no, since by default it
#                           answers names of a signed wildcard from the cached NSEC (RFC 8198): then
#                           figures 5 and 6 are not cold for it (its NSD CPU is near 0%)
# Then names that do not exist, validated the same way: distinct random labels under alg13.sec. (signed
# with NSEC) and n3.sec. (NSEC3, no salt, 0 iterations), each checked first (the zone's server denies a
# name with NSEC, resp. NSEC3 records, and both resolvers answer NXDOMAIN with AD); ours with
# aggressive_nsec = yes or no in its [server] section, unbound with aggressive-nsec: yes or no:
#   8. NXDOMAIN/s, NSEC     aggressive on both sides: after the first names the cached NSEC ranges
#                           prove every later name; dnsperf as in figure 1 over 400000 distinct
#                           names (quick: 100000)
#   9. NXDOMAIN/s, NSEC     aggressive off both sides: every name asked upstream, dnsperf and count as
#                           in figure 5
#  10. NXDOMAIN/s, NSEC3    figure 8 under n3.sec.
#  11. NXDOMAIN/s, NSEC3    figure 9 under n3.sec.
#  12. upstream, NSEC       figure 7's count per validated NXDOMAIN answer under alg13.sec., aggressive
#                           on both sides; both with aggressive off too, for reference
#  13. upstream, NSEC3      the same under n3.sec.
# Then, neither validating again (as in figures 2 and 3), zones whose two servers each have their own
# address and glue, one of them bad; the script checks first, asking them directly, that one server
# answers and the other is silent, resp. answers REFUSED:
#  14. p99, 1 silent        p99 latency of cold answers under halfsilent.test. (a wildcard; its other
#                           server never answers): 4000 distinct random names, paced at 200 q/s by dnsperf
#                           (-n 1 -c 8 -q 100 -t 5 -Q 200 -v: one line per answer with its latency),
#                           ours and unbound asked at the same time by one dnsperf each, both fresh (only
#                           their ready probe resolved, so they learn the bad server during the round);
#                           nearest rank over every query, a lost one counted at dnsperf's 5 s timeout
#  15. p99, 1 REFUSED       the same under halfrefused.test. (its other server does not serve the zone)
#  16. threads under load   the most threads (Threads of /proc/PID/status, sampled every 50 ms while
#                           dnsperf runs) of each resolver over the rounds of figures 2 and 3; the
#                           target is absolute: at most the machine's cores + 4
# Each figure starts fresh processes; in the full profile each throughput figure is the best of 3 rounds,
# taken in turns, since the machine is shared, and figures 14 and 15 keep the round of median p99 of 3
# (each from fresh processes; --quick: 1 round, the same 4000 names at 200 q/s, 20 s). With profiling
# on, an extra pass per throughput figure runs `perf record` on ours (never during a measured round) and
# prints its hottest symbols.
#
# Needs root. Installs what it lacks with apt-get (unbound without starting its service, iptables,
# libnetfilter-queue-dev, linux-perf). Every dnsperf run is bounded in count and time; on exit, even on
# Ctrl-C, it stops what it started and takes its lab down.
#
# Usage: bench/resolver_bench.sh [--quick] [--memory-names N] [--memory-rate QPS] [--no-profile]
#                                [--binary PATH] [--keep-logs]
#   --quick           smaller counts and durations, no profiles (about two minutes)
#   --memory-names N  names for figure 4 (default 1000000, quick 60000), a multiple of 10
#   --memory-rate Q   pace of figure 4 in queries/s per resolver (default 12000)
#   --no-profile      skip the perf passes (--profile turns them on in --quick)
#   --binary PATH     the resolver to measure (default build/release/recursor, built when missing)
#   --keep-logs       keep the work directory (logs, configs, perf data) and print its path
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/isolation.sh" # require_isolation: the resolvers start only in the lab
lab=rbench-$$

quick=no
memory_names=""
memory_rate=12000
profile=""
binary=$repo/build/release/recursor
keep_logs=no

usage() { sed -n '/^# Usage:/,/^#   --keep-logs/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=yes ;;
    --memory-names) memory_names=${2:?}; shift ;;
    --memory-rate) memory_rate=${2:?}; shift ;;
    --profile) profile=yes ;;
    --no-profile) profile=no ;;
    --binary) binary=${2:?}; shift ;;
    --keep-logs) keep_logs=yes ;;
    *) usage ;;
  esac
  shift
done

if [ "$quick" = yes ]; then
  profile_name=quick rounds=1 hit_seconds=4 cold_names=20000 delay_names=10000 upstream_names=1000
  latency_rounds=1
  nx_names=100000 # figures 8 and 10; 9 and 11 take cold_names, 12 and 13 upstream_names
  memory_names=${memory_names:-60000}
  profile=${profile:-no}
else
  profile_name=full rounds=3 hit_seconds=10 cold_names=100000 delay_names=50000 upstream_names=10000
  latency_rounds=3
  nx_names=400000
  memory_names=${memory_names:-1000000}
  profile=${profile:-yes}
fi
[[ $memory_names =~ ^[0-9]+$ ]] && [ "$memory_names" -ge 10 ] && [ $((memory_names % 10)) -eq 0 ] ||
  { echo "bench: --memory-names must be a multiple of 10, at least 10" >&2; exit 2; }
[[ $memory_rate =~ ^[0-9]+$ ]] && [ "$memory_rate" -ge 100 ] ||
  { echo "bench: --memory-rate must be at least 100" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "bench: needs root (network namespace, iptables, apt-get)" >&2; exit 1; }

ours_port=5300 ours_http=9300
small_port=5302 small_http=9302 # figure 4 only: ours with unbound's default cache budget
unbound_port=5401
small_cache_bytes=$((8 * 1024 * 1024)) # unbound's msg-cache-size + rrset-cache-size defaults, 4 MiB each
latency_names=4000 latency_rate=200 # figures 14 and 15, in both profiles: 20 s per round
delay_queue=7
delay_us=10000
nproc_count=$(nproc)
run_id=$(od -An -N4 -tx4 /dev/urandom | tr -d ' ') # fresh labels for every run of the script

note() { printf '[bench %4ds] %s\n' "$SECONDS" "$*" >&2; }
fail() { echo "bench: $*" >&2; exit 1; }
in_lab() { ip netns exec "$lab" "$@"; }

# --- dependencies ----------------------------------------------------------------------------------

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

install_packages() {
  local wanted=(dnsperf nsd bind9-dnsutils socat iptables libnetfilter-queue-dev gcc unbound cmake ninja-build g++)
  [ "$profile" = yes ] && wanted+=(linux-perf)
  local missing=() package
  for package in "${wanted[@]}"; do installed "$package" || missing+=("$package"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  note "installing ${missing[*]}"
  # unbound must only ever run inside the lab: keep its package from starting the system service.
  local guard=no
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod +x /usr/sbin/policy-rc.d
    guard=yes
  fi
  local status=0
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || status=$?
  [ $guard = yes ] && rm -f /usr/sbin/policy-rc.d
  [ $status -eq 0 ] || fail "apt-get install ${missing[*]} failed"
  if installed unbound && command -v systemctl >/dev/null && systemctl is-system-running >/dev/null 2>&1; then
    systemctl disable --now unbound >/dev/null 2>&1 || true
  fi
}

build_binary() {
  [ -x "$binary" ] && return 0
  [ "$binary" = "$repo/build/release/recursor" ] || fail "no executable at $binary"
  note "building $binary"
  (cd "$repo" && cmake --preset release >/dev/null && cmake --build --preset release --target recursor -j2) >&2 ||
    fail "release build failed"
}

# --- clean-up ----------------------------------------------------------------------------------------

work=""
delay_pid="" # the delay line of figures 3 and 6 while it runs
started_pids=() # every process the script started in the background, stopped by pid on exit
lab_up=no
upstream_pids=() # the lab's NSD processes, whose CPU each run reports

cleanup() {
  local status=$? pid
  trap - EXIT INT TERM
  for pid in "${started_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${started_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  # lab.sh stops whatever still runs in the namespace; the iptables rules go with the namespace.
  [ $lab_up = yes ] && "$repo/scripts/lab.sh" down "$lab" >/dev/null 2>&1
  if [ -n "$work" ]; then
    if [ $keep_logs = yes ] || { [ $status -ne 0 ] && [ $status -ne 130 ]; }; then echo "bench: logs kept in $work" >&2; else rm -rf "$work"; fi
  fi
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

forget_pid() { # pid
  local kept=() pid
  for pid in "${started_pids[@]}"; do [ "$pid" = "$1" ] || kept+=("$pid"); done
  started_pids=("${kept[@]}")
}

wait_exit() { # pid seconds: true when it ended in time (then it is reaped)
  local deadline=$((SECONDS + $2))
  while kill -0 "$1" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
    # A zombie child still answers kill -0; wait reaps it once it is gone.
    [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" = Z ] && break
    sleep 0.1
  done
  if [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null || echo Z)" = Z ]; then
    wait "$1" 2>/dev/null || true
    return 0
  fi
  return 1
}

# --- the lab -----------------------------------------------------------------------------------------

write_root_hints() { # file: the lab's 13 root server addresses (tests/lab/hosts, host "root")
  local letters=(a b c d e f g h i j k l m) addresses i=0 address
  addresses=$(awk '$1 == "root" { print $3 }' "$repo/tests/lab/hosts" | tr ',' ' ')
  {
    for _ in $addresses; do printf '.  3600000  NS  %s.ROOT-SERVERS.NET.\n' "${letters[i]^^}"; i=$((i + 1)); done
    i=0
    for address in $addresses; do printf '%s.ROOT-SERVERS.NET.  3600000  A  %s\n' "${letters[i]^^}" "$address"; i=$((i + 1)); done
  } >"$1"
  [ "$i" -eq 13 ] || fail "expected 13 root addresses in tests/lab/hosts, found $i"
}


# --- the resolvers -----------------------------------------------------------------------------------

declare -A pid_of port_of

# Whether the resolvers started next validate, and the wildcard their cold names are drawn from.
validating=no wild_zone=wild.test
# Figures 8 to 13: the signed zone whose names do not exist (empty: the wildcard's names), and whether
# the resolvers started next use cached NSEC and NSEC3 ranges (yes, no; empty: their defaults).
nx_zone="" aggressive=""
lab_dir="" # the lab's state directory, where its root's trust anchor is
ready_probe="glue.test SOA" # the question a fresh resolver must answer before it is measured
ready_status=NOERROR        # and the status of its answer

use_validation() { # yes|no
  validating=$1
  if [ "$1" = yes ]; then wild_zone=wild.sec; else wild_zone=wild.test; fi
}

wait_answering() { # port: until it resolves the ready probe, at most 15 s
  for _ in $(seq 150); do
    # shellcheck disable=SC2086 # the probe is a name and a type
    in_lab dig @127.0.0.1 -p "$1" +tries=1 +time=1 $ready_probe 2>/dev/null | grep -q "status: $ready_status" && return 0
    sleep 0.1
  done
  return 1
}

start_ours() { # who port http_port [cache_max_bytes]
  local who=$1 port=$2 http=$3 config_args=() dnssec_args=(--disable-dnssec)
  [ "$validating" = yes ] && dnssec_args=(--trust-anchor "$lab_dir/root.key")
  if [ -n "${4:-}" ] || [ -n "$aggressive" ]; then
    {
      printf '[server]\nlisten = 127.0.0.1:%s\n' "$port"
      [ -z "${4:-}" ] || printf 'cache_max_bytes = %s\n' "$4"
      [ -z "$aggressive" ] || printf 'aggressive_nsec = %s\n' "$aggressive"
    } >"$work/$who.conf"
    config_args=(-c "$work/$who.conf")
  fi
  require_isolation bench "$lab"
  ip netns exec "$lab" "$binary" "${config_args[@]}" --listen "127.0.0.1:$port" --http-listen "127.0.0.1:$http" \
    --control-socket "$work/$who.sock" --root-hints "$work/lab.hints" "${dnssec_args[@]}" \
    </dev/null >>"$work/$who.log" 2>&1 &
  pid_of[$who]=$!
  port_of[$who]=$port
  started_pids+=("$!")
  wait_answering "$port" || fail "$who does not answer on port $port (log: $work/$who.log)"
}

write_unbound_conf() { # file module-config [extra server lines...]
  local file=$1 modules=$2
  shift 2
  cat >"$file" <<EOF
# unbound as the benchmark's yardstick, inside the lab only.
server:
  interface: 127.0.0.1
  port: $unbound_port
  access-control: 127.0.0.0/8 allow
  num-threads: 2
  do-ip6: no
  module-config: "$modules"
  prefetch: no
  chroot: ""
  username: ""
  directory: "$work"
  pidfile: "$work/unbound.pid"
  root-hints: "$work/lab.hints"
  use-syslog: no
  logfile: ""
  verbosity: 1
  # The lab's zones live under test., which unbound otherwise answers itself with NXDOMAIN.
  local-zone: "test." nodefault
  # The same client socket buffer as ours asks for; bursts of 500 queries overflow the default.
  so-rcvbuf: 4m
$([ $# -eq 0 ] || printf '  %s\n' "$@")
remote-control:
  control-enable: no
EOF
  unbound-checkconf "$file" >/dev/null || fail "unbound-checkconf rejects $file"
}

start_unbound() { # [who config]: unbound, or a variant of its validating configuration (figure 7)
  local who=${1:-unbound} config=${2:-$work/unbound.conf}
  if [ -z "${2:-}" ] && [ "$validating" = yes ]; then
    case $aggressive in
      yes) config=$work/unbound-aggressive-nsec.conf ;;
      no) config=$work/unbound-no-aggressive-nsec.conf ;;
      *) config=$work/unbound-validating.conf ;;
    esac
  fi
  require_isolation bench "$lab"
  ip netns exec "$lab" unbound -d -c "$config" </dev/null >>"$work/$who.log" 2>&1 &
  pid_of[$who]=$!
  port_of[$who]=$unbound_port
  started_pids+=("$!")
  wait_answering "$unbound_port" || fail "$who does not answer (log: $work/$who.log)"
}

stop_resolver() { # who
  local who=$1 pid=${pid_of[$1]}
  if [[ $who != unbound* ]]; then
    printf 'SHUTDOWN\n' | socat -t 3 - "UNIX-CONNECT:$work/$who.sock" >/dev/null 2>&1 || true
  else
    kill "$pid" 2>/dev/null || true
  fi
  if ! wait_exit "$pid" 10; then
    note "$who did not stop in 10 s; killing it"
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  forget_pid "$pid"
  unset "pid_of[$who]"
}

start_pair() {
  start_ours ours "$ours_port" "$ours_http"
  start_unbound
  [ "$validating" = no ] || { check_validates ours; check_validates unbound; }
  [ -z "$nx_zone" ] || { check_nxdomain ours; check_nxdomain unbound; }
}
stop_pair() { stop_resolver ours; stop_resolver unbound; }

warm_delegation() { # who...: one name under the wildcard (or the NX zone) puts its delegation and keys in the cache
  local who name=warm.$wild_zone
  [ -z "$nx_zone" ] || name=warm-$run_id.$nx_zone
  for who in "$@"; do in_lab dig @127.0.0.1 -p "${port_of[$who]}" +tries=2 +time=2 "$name" A >/dev/null; done
}

# Fails unless WHO validates: AD on a fresh name of the signed wildcard, SERVFAIL on a bogus name.
check_validates() { # who
  local who=$1 answer
  answer=$(in_lab dig @127.0.0.1 -p "${port_of[$who]}" +tries=2 +time=5 +adflag "check-$run_id.wild.sec" A || true)
  grep -q 'status: NOERROR' <<<"$answer" && grep -Eq '^;; flags:[^;]* ad[ ;]' <<<"$answer" &&
    grep -q '198\.51\.100\.20' <<<"$answer" || fail "$who does not validate check-$run_id.wild.sec A (no AD): $answer"
  answer=$(in_lab dig @127.0.0.1 -p "${port_of[$who]}" +tries=1 +time=10 www.badds.sec A || true)
  grep -q 'status: SERVFAIL' <<<"$answer" || fail "$who does not reject the bogus www.badds.sec A: $answer"
  note "$who validates: AD on check-$run_id.wild.sec A, SERVFAIL on www.badds.sec A"
}

# Fails unless WHO answers a fresh name of the NX zone with NXDOMAIN and AD.
check_nxdomain() { # who
  local who=$1 name=check-$run_id-$aggressive.$nx_zone answer
  answer=$(in_lab dig @127.0.0.1 -p "${port_of[$who]}" +tries=2 +time=5 +adflag "$name" A || true)
  grep -q 'status: NXDOMAIN' <<<"$answer" && grep -Eq '^;; flags:[^;]* ad[ ;]' <<<"$answer" ||
    fail "$who does not answer $name A with a validated NXDOMAIN: $answer"
  note "$who answers $name A with NXDOMAIN and AD"
}

# Fails unless the server of ZONE denies a name with records of KIND only (NSEC or NSEC3); for NSEC3,
# also no salt and 0 iterations. Keeps what it saw for the report.
check_denial_kind() { # zone NSEC|NSEC3
  local zone=$1 kind=$2 other=NSEC3 server answer counts param=""
  [ "$kind" = NSEC ] || other=NSEC
  server=$(awk '$1 == "signed" { split($3, a, ","); print a[1] }' "$repo/tests/lab/hosts")
  answer=$(in_lab dig @"$server" +norec +dnssec +tries=2 +time=2 "kind-$run_id.$zone" A || true)
  counts=$(awk -v k="$kind" -v o="$other" '/^;; AUTHORITY SECTION/ { a = 1; next } /^;; / && a { a = 0 }
    a && $4 == k { nk++ } a && $4 == o { no++ } END { printf "%d %d", nk, no }' <<<"$answer")
  grep -q 'status: NXDOMAIN' <<<"$answer" && [ "${counts% *}" -gt 0 ] && [ "${counts#* }" -eq 0 ] ||
    fail "$server does not deny kind-$run_id.$zone with $kind only ($counts $kind/$other records): $answer"
  if [ "$kind" = NSEC3 ]; then
    param=$(in_lab dig @"$server" +norec +short +tries=2 +time=2 "$zone" NSEC3PARAM || true)
    [ "$param" = "1 0 0 -" ] || fail "$zone NSEC3PARAM is '$param', not 1 0 0 - (SHA-1, no salt, 0 iterations)"
    param=", NSEC3PARAM $param"
  fi
  result[kind.$zone]="$zone at $server: NXDOMAIN with ${counts% *} $kind and 0 $other records$param"
  note "denial check: ${result[kind.$zone]}"
}

# --- measuring ---------------------------------------------------------------------------------------

names() { # prefix first count: "PREFIX-I.<wildcard zone> A" lines, distinct per prefix and index
  [ -z "$nx_zone" ] || { nx_names "$@"; return; }
  awk -v p="$1" -v first="$2" -v n="$3" -v z="$wild_zone" \
    'BEGIN { for (i = first; i < first + n; i++) printf "%s-%d.%s A\n", p, i, z }'
}

# With an NX zone: "<8 random letters or digits>-PREFIX-I.<nx zone> A", spread over the zone's NSEC
# (or NSEC3) ranges by the random start, distinct by PREFIX and I; under ZONE when it is given.
nx_names() { # prefix first count [zone]
  awk -v p="$1" -v first="$2" -v n="$3" -v z="${4:-$nx_zone}" -v seed="$(od -An -N4 -tu4 /dev/urandom)" 'BEGIN {
    srand(seed); c = "abcdefghijklmnopqrstuvwxyz0123456789"
    for (i = first; i < first + n; i++) {
      l = ""; for (j = 0; j < 8; j++) l = l substr(c, int(rand() * 36) + 1, 1)
      printf "%s-%s-%d.%s A\n", l, p, i, z
    } }'
}

thread_cpu_ns() { # pid: "tid nanoseconds" per thread, the CPU time the scheduler counted (exact, unlike ticks)
  awk '{ split(FILENAME, parts, "/"); print parts[5], $1 }' /proc/"$1"/task/*/schedstat 2>/dev/null || true
}

# The CPU of the lab's side of every run, in nanoseconds: the NSD processes and the delay line.
upstream_cpu_ns() {
  local pid total=0 ns
  for pid in "${upstream_pids[@]}" ${delay_pid:+"$delay_pid"}; do
    read -r ns _ <"/proc/$pid/schedstat" 2>/dev/null || ns=0
    total=$((total + ns))
  done
  echo "$total"
}

# shellcheck disable=SC2016 # the awk program is for awk
udp_datagrams() { in_lab awk '$1 == "Udp:" && $2 ~ /^[0-9]+$/ { print $5 }' /proc/net/snmp; }  # OutDatagrams

rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
hwm_kib() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }
threads_of() { awk '/^Threads:/ { print $2 }' "/proc/$1/status"; }

# Writes to FILE the most threads PID had, sampled every 50 ms (builtins only, no process per sample)
# until killed or PID ends.
sample_threads() { # pid file
  local pid=$1 file=$2 max=0 field value
  while [ -r "/proc/$pid/status" ]; do
    while read -r field value _; do
      [ "$field" = Threads: ] || continue
      if [ "$value" -gt "$max" ]; then max=$value; echo "$max" >"$file"; fi
      break
    done <"/proc/$pid/status" 2>/dev/null || true
    sleep 0.05
  done
}

stop_thread_sampler() { # sampler_pid
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
  forget_pid "$1"
}

# The most threads a sampler saw (the count now, should its file have been cut short by the kill).
most_threads() { # pid file
  local most
  most=$(cat "$2" 2>/dev/null || true)
  echo "${most:-$(threads_of "$1")}"
}

declare -A result # "<key>.<who>.<field>" -> value

# One dnsperf run against one resolver, with the CPU it, the resolver and its busiest thread used.
# Fields stored under KEY.WHO: qps completed sent lost noerror nxdomain wall cpu (resolver, % of one core)
# busiest (% of one core) perfcpu (dnsperf) upcpu (NSD and delay line) threads, and datagrams: UDP
# datagrams sent in the lab per answered query (2 for a hit: question and answer).
measure() { # key who data_file time_limit dnsperf_args...
  local key=$1 who=$2 data=$3 limit=$4
  shift 4
  local pid=${pid_of[$who]} out=$work/$key.$who.dnsperf
  local before=$work/$key.$who.cpu0 after=$work/$key.$who.cpu1
  thread_cpu_ns "$pid" >"$before"
  local start end times_user times_sys status=0 up_before up_after udp_before udp_after
  up_before=$(upstream_cpu_ns)
  udp_before=$(udp_datagrams)
  local sampler
  sample_threads "$pid" "$work/$key.$who.threads_max" </dev/null >/dev/null 2>&1 &
  sampler=$!
  started_pids+=("$sampler")
  start=$(date +%s.%N)
  TIMEFORMAT='%R %U %S'
  { time timeout --kill-after=5 $((limit + 15)) ip netns exec "$lab" dnsperf -s 127.0.0.1 -p "${port_of[$who]}" \
    -d "$data" -l "$limit" "$@" >"$out" 2>&1; } 2>"$out.time" || status=$?
  end=$(date +%s.%N)
  stop_thread_sampler "$sampler"
  result[$key.$who.maxthreads]=$(most_threads "$pid" "$work/$key.$who.threads_max")
  thread_cpu_ns "$pid" >"$after"
  up_after=$(upstream_cpu_ns)
  udp_after=$(udp_datagrams)
  [ $status -eq 0 ] || note "dnsperf against $who ended with status $status (output: $out)"
  read -r _ times_user times_sys <"$out.time" || true
  local wall
  wall=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
  local field value
  for field in qps completed sent lost noerror nxdomain; do
    case $field in
      qps) value=$(awk '/Queries per second:/ { print int($4 + 0.5) }' "$out") ;;
      completed) value=$(awk '/Queries completed:/ { print $3 }' "$out") ;;
      sent) value=$(awk '/Queries sent:/ { print $3 }' "$out") ;;
      lost) value=$(awk '/Queries lost:/ { print $3 }' "$out") ;;
      noerror | nxdomain) value=$(awk -v code="${field^^}" '/Response codes:/ { for (i = 1; i < NF; i++) if ($i == code) print $(i + 1) }' "$out") ;;
    esac
    result[$key.$who.$field]=${value:-0}
  done
  result[$key.$who.wall]=$wall
  read -r cpu busiest < <(awk -v wall="$wall" '
    NR == FNR { base[$1] = $2; next }
    { d = $2 - base[$1]; total += d; if (d > top) top = d }
    END { printf "%.0f %.0f\n", total / 1e7 / wall, top / 1e7 / wall }' "$before" "$after")
  result[$key.$who.cpu]=$cpu
  result[$key.$who.busiest]=$busiest
  result[$key.$who.perfcpu]=$(awk -v u="${times_user:-0}" -v s="${times_sys:-0}" -v wall="$wall" \
    'BEGIN { printf "%.0f", 100 * (u + s) / wall }')
  result[$key.$who.upcpu]=$(awk -v a="$up_before" -v b="$up_after" -v wall="$wall" 'BEGIN { printf "%.0f", (b - a) / 1e7 / wall }')
  result[$key.$who.datagrams]=$(awk -v a="$udp_before" -v b="$udp_after" -v q="${result[$key.$who.completed]}" \
    'BEGIN { if (q > 0) printf "%.1f", (b - a) / q; else print "?" }')
  result[$key.$who.threads]=$(threads_of "$pid")
  note "  $key $who: ${result[$key.$who.qps]} q/s, completed ${result[$key.$who.completed]}/${result[$key.$who.sent]}, lost ${result[$key.$who.lost]}, CPU: resolver $cpu% (busiest thread $busiest%), dnsperf ${result[$key.$who.perfcpu]}%, NSD and delay line ${result[$key.$who.upcpu]}%; ${result[$key.$who.datagrams]} datagrams per answer; threads at most ${result[$key.$who.maxthreads]}"
}

# Keeps, per resolver, the round with the most queries per second as the figure KEY.
keep_best() { # key rounds...
  local key=$1 who round best field
  shift
  for who in ours unbound; do
    best=""
    for round in "$@"; do
      if [ -z "$best" ] || [ "${result[$round.$who.qps]}" -gt "${result[$best.$who.qps]}" ]; then best=$round; fi
    done
    for field in qps completed sent lost noerror nxdomain wall cpu busiest perfcpu upcpu datagrams threads; do
      result[$key.$who.$field]=${result[$best.$who.$field]}
    done
    result[$key.$who.rounds]=$(for round in "$@"; do printf '%s ' "${result[$round.$who.qps]}"; done)
    result[$key.$who.maxthreads]=$(for round in "$@"; do echo "${result[$round.$who.maxthreads]}"; done | sort -n | tail -1)
  done
}

profiles=() # "title|file" of each perf profile, printed at the end

# Runs COMMAND... while perf samples ours, then keeps the profile for the report.
profile_ours() { # key title command...
  local key=$1 title=$2
  shift 2
  [ "$profile" = yes ] || return 0
  local data=$work/$key.perf.data pid=${pid_of[ours]} perf_pid
  # DWARF unwinding: the release build keeps no frame pointers.
  perf record -F 499 --call-graph dwarf,16384 -p "$pid" -o "$data" >"$work/$key.perf.log" 2>&1 &
  perf_pid=$!
  started_pids+=("$perf_pid")
  local syscalls_pid
  perf stat -e raw_syscalls:sys_enter -p "$pid" -o "$work/$key.syscalls" >/dev/null 2>&1 &
  syscalls_pid=$!
  started_pids+=("$syscalls_pid")
  sleep 0.5
  "$@"
  kill -INT "$perf_pid" "$syscalls_pid" 2>/dev/null || true
  wait_exit "$perf_pid" 30 || { kill -KILL "$perf_pid" 2>/dev/null || true; wait "$perf_pid" 2>/dev/null || true; }
  wait_exit "$syscalls_pid" 10 || { kill -KILL "$syscalls_pid" 2>/dev/null || true; wait "$syscalls_pid" 2>/dev/null || true; }
  forget_pid "$perf_pid"
  forget_pid "$syscalls_pid"
  profiles+=("$key|$title")
}

# --- the figures -------------------------------------------------------------------------------------

hot_names() { # 100 names: 90 under wild.test., 10 of the common types under glue.test.
  names "h$run_id" 0 90
  printf '%s\n' "www.glue.test A" "www.glue.test AAAA" "mail.glue.test A" "txt.glue.test TXT" "glue.test MX" \
    "_sip._udp.glue.test SRV" "alias.glue.test A" "sip.glue.test A" "alias-out.glue.test A" "glue.test NS"
}

hit_load=(-c 16 -T 2 -q 500)

figure_cache_hits() {
  note "figure 1: cache hits, $rounds round(s) of $hit_seconds s per resolver"
  start_pair
  hot_names >"$work/hot.txt"
  local who round rounds_done=()
  for who in ours unbound; do
    # Twice: the second pass finds everything the first one resolved.
    for _ in 1 2; do in_lab dnsperf -s 127.0.0.1 -p "${port_of[$who]}" -d "$work/hot.txt" -n 1 -q 10 -t 5 >/dev/null 2>&1; done
  done
  for round in $(seq "$rounds"); do
    for who in ours unbound; do measure "hits$round" "$who" "$work/hot.txt" "$hit_seconds" "${hit_load[@]}"; done
    rounds_done+=("hits$round")
  done
  keep_best hits "${rounds_done[@]}"
  profile_ours hits "cache hits (dnsperf ${hit_load[*]}, 5 s)" \
    measure hits_profiled ours "$work/hot.txt" 5 "${hit_load[@]}"
  stop_pair
}

cold_load=(-n 1 -c 8 -q 50)

# Validating, the answers of a round must have come out secure: its last name, now cached, has AD
# (and, under an NX zone, is NXDOMAIN).
check_round_secure() { # who data_file
  local last answer
  last=$(tail -1 "$2" | awk '{ print $1 }')
  answer=$(in_lab dig @127.0.0.1 -p "${port_of[$1]}" +tries=1 +time=5 +adflag "$last" A || true)
  grep -Eq '^;; flags:[^;]* ad[ ;]' <<<"$answer" || fail "$1 answered $last without AD: $answer"
  [ -z "$nx_zone" ] || grep -q 'status: NXDOMAIN' <<<"$answer" || fail "$1 answered $last without NXDOMAIN: $answer"
}

# Rounds of fresh distinct names under the wildcard, ours and unbound in turn; keeps the best of each.
cold_rounds() { # figure name-prefix count dnsperf-arguments...
  local figure=$1 prefix=$2 count=$3 who round rounds_done=()
  shift 3
  for round in $(seq "$rounds"); do
    names "$prefix$run_id$round" 0 "$count" >"$work/$figure$round.txt"
    for who in ours unbound; do
      measure "$figure$round" "$who" "$work/$figure$round.txt" 120 "$@"
      [ "$validating" = no ] || check_round_secure "$who" "$work/$figure$round.txt"
    done
    rounds_done+=("$figure$round")
  done
  keep_best "$figure" "${rounds_done[@]}"
}

validated_word() { [ "$validating" = no ] || printf 'validated '; }

figure_cold() { # number key name-prefix: figure 2 (key cold), or 5 (vcold) when validating
  local number=$1 key=$2 prefix=$3
  note "figure $number: $(validated_word)cold resolutions, $rounds round(s) of $cold_names names per resolver"
  start_pair
  warm_delegation ours unbound
  cold_rounds "$key" "$prefix" "$cold_names" "${cold_load[@]}"
  names "$prefix${run_id}p" 0 $((cold_names / 4)) >"$work/${key}_profiled.txt"
  profile_ours "$key" "$(validated_word)cold resolutions (dnsperf ${cold_load[*]})" \
    measure "${key}_profiled" ours "$work/${key}_profiled.txt" 120 "${cold_load[@]}"
  stop_pair
}

delay_rules() { # -A or -D: queue every packet to or from port 53 (UDP and TCP), never the client ports
  local action=$1 protocol direction
  for protocol in udp tcp; do
    for direction in --dport --sport; do
      in_lab iptables -t mangle "$action" OUTPUT -p "$protocol" "$direction" 53 \
        -j NFQUEUE --queue-num "$delay_queue" --queue-bypass
    done
  done
}

query_ms() { # dig arguments: the query time dig reports, in ms
  in_lab dig +tries=1 +time=2 "$@" 2>/dev/null | awk '/Query time:/ { print $4 }'
}

start_delay() { # key: where its checks are kept
  local key=$1
  gcc -O2 -Wall -Wextra -o "$work/nfq_delay" "$repo/bench/nfq_delay.c" -lnetfilter_queue -lnfnetlink ||
    fail "could not build bench/nfq_delay.c"
  ip netns exec "$lab" "$work/nfq_delay" "$delay_queue" "$delay_us" </dev/null >"$work/nfq_delay.log" 2>&1 &
  delay_pid=$!
  started_pids+=("$delay_pid")
  sleep 0.3
  kill -0 "$delay_pid" 2>/dev/null || fail "nfq_delay did not start: $(cat "$work/nfq_delay.log")"
  delay_rules -A
  # The check: an authoritative server is 20 ms away, a resolver answering from its cache is not.
  result[$key.rtt_upstream]=$(query_ms +norec @10.53.2.1 "probe.wild.test" A)
  result[$key.rtt_upstream_tcp]=$(query_ms +tcp +norec @10.53.2.1 "probe.wild.test" A)
  in_lab dig @127.0.0.1 -p "$ours_port" +tries=2 +time=2 glue.test SOA >/dev/null
  result[$key.rtt_client]=$(query_ms @127.0.0.1 -p "$ours_port" glue.test SOA)
  note "delay check: authoritative UDP ${result[$key.rtt_upstream]} ms, TCP ${result[$key.rtt_upstream_tcp]} ms (handshake included), client to resolver (cache hit) ${result[$key.rtt_client]} ms"
  [ "${result[$key.rtt_upstream]:-0}" -ge 15 ] || fail "the delay line does not delay (${result[$key.rtt_upstream]} ms)"
  [ "${result[$key.rtt_client]:-99}" -le 5 ] || fail "client queries are delayed too (${result[$key.rtt_client]} ms)"
}

stop_delay() { # key
  local key=$1
  delay_rules -D
  kill "$delay_pid" 2>/dev/null || true
  wait_exit "$delay_pid" 5 || { kill -KILL "$delay_pid" 2>/dev/null || true; wait "$delay_pid" 2>/dev/null || true; }
  forget_pid "$delay_pid"
  delay_pid=""
  result[$key.counters]=$(grep 'packets delayed' "$work/nfq_delay.log" | sed 's/^nfq_delay: //')
  note "delay line: ${result[$key.counters]}"
}

delay_load=(-n 1 -c 8 -q 500)

figure_cold_delayed() { # number key name-prefix: figure 3 (key delay), or 6 (vdelay) when validating
  local number=$1 key=$2 prefix=$3
  note "figure $number: $(validated_word)cold resolutions with 20 ms RTT, $rounds round(s) of $delay_names names per resolver"
  start_pair
  start_delay "$key"
  warm_delegation ours unbound
  cold_rounds "$key" "$prefix" "$delay_names" "${delay_load[@]}"
  names "$prefix${run_id}p" 0 $((delay_names / 2)) >"$work/${key}_profiled.txt"
  profile_ours "$key" "$(validated_word)cold resolutions with 20 ms RTT (dnsperf ${delay_load[*]})" \
    measure "${key}_profiled" ours "$work/${key}_profiled.txt" 120 "${delay_load[@]}"
  stop_delay "$key"
  stop_pair
}

# Counts what the resolvers send to port 53 in the lab: UDP queries, and TCP connections (SYNs).
upstream_rules() { # -A or -D
  in_lab iptables "$1" OUTPUT -p udp --dport 53 -m comment --comment bench-upstream-udp
  in_lab iptables "$1" OUTPUT -p tcp --dport 53 --syn -m comment --comment bench-upstream-tcp
}

upstream_count() { # udp|tcp: packets the rule counted since the last zeroing
  in_lab iptables -L OUTPUT -v -x -n | awk -v c="bench-upstream-$1" '$0 ~ c { print $1 }'
}

# unbound_nsec is unbound without RFC 8198 (aggressive-nsec: no): it must ask for every wildcard name.
figure_upstream() { # per resolver, alone: N names from its start, the first of them its ready probe
  note "figure 7: upstream queries per validated cold answer, $upstream_names names per resolver, each alone"
  upstream_rules -A
  names "u$run_id" 0 "$upstream_names" >"$work/upstream.txt"
  ready_probe=$(head -1 "$work/upstream.txt")
  local who
  for who in ours unbound unbound_nsec; do
    in_lab iptables -Z OUTPUT
    case $who in
      ours) start_ours ours "$ours_port" "$ours_http" ;;
      unbound) start_unbound ;;
      unbound_nsec) start_unbound unbound_nsec "$work/unbound-no-aggressive-nsec.conf" ;;
    esac
    count_upstream upstream "$who" "$work/upstream.txt" %.3f
    stop_resolver "$who"
  done
  ready_probe="glue.test SOA"
  upstream_rules -D
}

# WHO, started with the counters zeroed and its ready probe the first name of DATA, answers the rest
# of DATA; stores under KEY.WHO what it sent to port 53 and that per answer (in FORMAT), then checks it.
count_upstream() { # key who data format
  local key=$1 who=$2 data=$3 udp tcp
  sed 1d "$data" >"$data.rest"
  measure "$key" "$who" "$data.rest" 120 -n 1 -c 4 -q 20
  udp=$(upstream_count udp) tcp=$(upstream_count tcp)
  result[$key.$who.udp]=$udp
  result[$key.$who.tcp]=$tcp
  # The answers: the ready probe and every name that dnsperf got an answer for.
  result[$key.$who.answers]=$((${result[$key.$who.completed]} + 1))
  result[$key.$who.per_answer]=$(awk -v q=$((udp + tcp)) -v a="${result[$key.$who.answers]}" -v f="$4" \
    'BEGIN { printf f, q / a }')
  check_round_secure "$who" "$data"
  if [[ $who == ours* ]]; then
    result[$key.$who.outcomes]=$(in_lab curl -s --max-time 5 "http://127.0.0.1:$ours_http/metrics" |
      awk '/^dns_dnssec_(secure|insecure|bogus)_total/ { sub(/^dns_dnssec_/, "", $1); printf "%s %s ", $1, $2 }')
  fi
  check_validates "$who"
  note "  $key $who: $udp UDP queries, $tcp TCP connections for ${result[$key.$who.answers]} answers: ${result[$key.$who.per_answer]} per answer"
}

nx_load=(-n 1 -c 16 -T 2 -q 500) # aggressive on: answers proven from the cache, the load of figure 1

# Rounds of fresh random names under ZONE, none of which exists, with aggressive NSEC on or off on both
# sides; off, the load of figures 2 and 5.
figure_nxdomain() { # number key name-prefix zone yes|no: figures 8 to 11
  local number=$1 key=$2 prefix=$3 load count
  nx_zone=$4 aggressive=$5
  if [ "$aggressive" = yes ]; then load=("${nx_load[@]}") count=$nx_names; else load=("${cold_load[@]}") count=$cold_names; fi
  note "figure $number: validated NXDOMAIN under $nx_zone., aggressive NSEC $aggressive, $rounds round(s) of $count names per resolver"
  start_pair
  warm_delegation ours unbound
  cold_rounds "$key" "$prefix" "$count" "${load[@]}"
  names "$prefix${run_id}p" 0 $((count / 4)) >"$work/${key}_profiled.txt"
  profile_ours "$key" "validated NXDOMAIN under $nx_zone., aggressive NSEC $aggressive (dnsperf ${load[*]})" \
    measure "${key}_profiled" ours "$work/${key}_profiled.txt" 120 "${load[@]}"
  stop_pair
  nx_zone="" aggressive=""
}

# Figure 7's count for names under ZONE that do not exist: each resolver alone from its start,
# aggressive NSEC on; then each once more with it off.
figure_nx_upstream() { # number key zone: figures 12 and 13
  local number=$1 key=$2 who
  nx_zone=$3
  note "figure $number: upstream queries per validated NXDOMAIN under $nx_zone., $upstream_names names per resolver, each alone"
  upstream_rules -A
  names "u$run_id" 0 "$upstream_names" >"$work/$key.txt"
  ready_probe=$(head -1 "$work/$key.txt") ready_status=NXDOMAIN
  for who in ours unbound ours_off unbound_off; do
    in_lab iptables -Z OUTPUT
    if [[ $who == *_off ]]; then aggressive=no; else aggressive=yes; fi
    case $who in
      ours*) start_ours "$who" "$ours_port" "$ours_http" ;;
      unbound*) start_unbound "$who" ;;
    esac
    count_upstream "$key" "$who" "$work/$key.txt" %.4f
    stop_resolver "$who"
  done
  ready_probe="glue.test SOA" ready_status=NOERROR
  upstream_rules -D
  nx_zone="" aggressive=""
}

# Figures 14 and 15: a zone with two servers, each with its glue, one of them bad (tests/lab/hosts).
# Fails unless, asked directly, one of ZONE's servers answers it with AA and the other behaves as KIND
# says (silent: no reply within 1 s; refused: REFUSED); keeps what it saw for the report.
check_half_zone() { # zone silent|refused
  local zone=$1 kind=$2 parent referral addresses address answer seen="" good=0 bad=0
  parent=$(awk '$1 == "nic-test" { split($3, a, ","); print a[1] }' "$repo/tests/lab/hosts")
  referral=$(in_lab dig +norec +tries=2 +time=2 "@$parent" "probe-$run_id.$zone" A || true)
  addresses=$(awk '/^;; ADDITIONAL SECTION/ { a = 1; next } /^;; / && a { a = 0 } a && $4 == "A" { print $5 }' <<<"$referral")
  for address in $addresses; do
    answer=$(in_lab dig +norec +tries=1 +time=1 "@$address" "probe-$run_id.$zone" A 2>&1 || true)
    if grep -Eq '^;; flags: qr aa[ ;]' <<<"$answer" && grep -q 'status: NOERROR' <<<"$answer"; then
      good=$((good + 1)) seen+=" $address answers,"
    elif [ "$kind" = refused ] && grep -q 'status: REFUSED' <<<"$answer"; then
      bad=$((bad + 1)) seen+=" $address REFUSED,"
    elif [ "$kind" = silent ] && ! grep -q 'status:' <<<"$answer"; then
      bad=$((bad + 1)) seen+=" $address silent,"
    else
      seen+=" $address unexpected,"
    fi
  done
  [ "$good" -eq 1 ] && [ "$bad" -eq 1 ] || fail "$zone. is not one answering and one $kind server:${seen:- no glue in $referral}"
  result[half.$zone]="$zone.:${seen%,}"
  note "server check: ${result[half.$zone]}"
}

# The latencies of one verbose dnsperf run, in ms: "p50 p99 p99.9 max slow", nearest rank, each lost
# query counted at dnsperf's timeout (5 s); slow: the answers that took over 100 ms.
latency_stats() { # dnsperf_output lost
  awk '/^> / && $2 != "T" && $NF ~ /^[0-9.]+$/ { printf "%.3f\n", $NF * 1000 }' "$1" | sort -g |
    awk -v lost="$2" '
      { v[++n] = $1; if ($1 > 100) slow++ }
      END {
        for (i = 0; i < lost; i++) v[++n] = 5000
        if (n == 0) { print "- - - - -"; exit }
        split("0.5 0.99 0.999", q, " ")
        for (k = 1; k <= 3; k++) { r = int(q[k] * n); if (r < q[k] * n) r++; if (r < 1) r = 1; printf "%.2f ", v[r] }
        printf "%.2f %d\n", v[n], slow + lost
      }'
}

# Both resolvers at once, each by its own dnsperf paced at latency_rate q/s: the same moments of a
# shared machine for both. Stores p50 p99 p999 max slow sent completed lost noerror maxthreads.
measure_latency() { # key data_file
  local key=$1 data=$2 limit=$((2 * latency_names / latency_rate + 30)) who out status
  declare -A perf_pid sampler_pid
  for who in ours unbound; do
    sample_threads "${pid_of[$who]}" "$work/$key.$who.threads_max" </dev/null >/dev/null 2>&1 &
    sampler_pid[$who]=$!
    started_pids+=("$!")
    timeout --kill-after=5 $((limit + 15)) ip netns exec "$lab" dnsperf -s 127.0.0.1 -p "${port_of[$who]}" \
      -d "$data" -l "$limit" "${latency_load[@]}" -Q "$latency_rate" -v >"$work/$key.$who.dnsperf" 2>&1 &
    perf_pid[$who]=$!
    started_pids+=("$!")
  done
  for who in ours unbound; do
    status=0
    wait "${perf_pid[$who]}" || status=$?
    forget_pid "${perf_pid[$who]}"
    [ $status -eq 0 ] || note "dnsperf against $who ended with status $status (output: $work/$key.$who.dnsperf)"
  done
  for who in ours unbound; do
    stop_thread_sampler "${sampler_pid[$who]}"
    out=$work/$key.$who.dnsperf
    result[$key.$who.maxthreads]=$(most_threads "${pid_of[$who]}" "$work/$key.$who.threads_max")
    result[$key.$who.sent]=$(awk '/Queries sent:/ { print $3 }' "$out")
    result[$key.$who.completed]=$(awk '/Queries completed:/ { print $3 }' "$out")
    result[$key.$who.lost]=$(awk '/Queries lost:/ { print $3 }' "$out")
    result[$key.$who.noerror]=$(awk '/Response codes:/ { for (i = 1; i < NF; i++) if ($i == "NOERROR") print $(i + 1) }' "$out")
    read -r "result[$key.$who.p50]" "result[$key.$who.p99]" "result[$key.$who.p999]" "result[$key.$who.max]" \
      "result[$key.$who.slow]" < <(latency_stats "$out" "${result[$key.$who.lost]:-0}")
    note "  $key $who: p50 ${result[$key.$who.p50]} ms, p99 ${result[$key.$who.p99]} ms, p99.9 ${result[$key.$who.p999]} ms, max ${result[$key.$who.max]} ms; ${result[$key.$who.slow]} over 100 ms; NOERROR ${result[$key.$who.noerror]:-0} of ${result[$key.$who.sent]:-0}, lost ${result[$key.$who.lost]:-?}; threads at most ${result[$key.$who.maxthreads]}"
  done
}

latency_load=(-n 1 -c 8 -q 100 -t 5)

# Rounds of latency_names distinct random names under ZONE at latency_rate q/s, each round from a fresh
# pair that has resolved only its ready probe (the root and test. delegations): whatever it learns of
# ZONE's servers it learns during the round. Keeps, per resolver, the round with the median p99.
figure_latency() { # number key zone silent|refused
  local number=$1 key=$2 zone=$3 kind=$4 round rounds_done=() who field
  note "figure $number: p99 latency of cold answers under $zone. (one server $kind), $latency_rounds round(s) of $latency_names names at $latency_rate q/s, both resolvers at once"
  check_half_zone "$zone" "$kind"
  for round in $(seq "$latency_rounds"); do
    start_pair
    nx_names "l$run_id$round" 0 "$latency_names" "$zone" >"$work/$key$round.txt"
    measure_latency "$key$round" "$work/$key$round.txt"
    stop_pair
    rounds_done+=("$key$round")
  done
  for who in ours unbound; do
    round=$(for field in "${rounds_done[@]}"; do echo "${result[$field.$who.p99]} $field"; done | sort -g |
      awk '{ r[NR] = $2 } END { print r[int((NR + 1) / 2)] }')
    for field in p50 p99 p999 max slow sent completed lost noerror maxthreads; do
      result[$key.$who.$field]=${result[$round.$who.$field]}
    done
    result[$key.$who.rounds]=$(for field in "${rounds_done[@]}"; do printf '%s ' "${result[$field.$who.p99]}"; done)
  done
}

memory_samples=() # "names ours unbound small" lines, RSS in KiB

figure_memory() {
  local chunk=$((memory_names / 10)) chunk_seconds=$((memory_names / 10 / memory_rate + 1))
  note "figure 4: resident memory over $memory_names names at $memory_rate q/s per resolver (about $((3 * memory_names / memory_rate)) s)"
  start_pair
  start_ours small "$small_port" "$small_http" "$small_cache_bytes"
  warm_delegation ours unbound small
  memory_samples+=("0 $(rss_kib "${pid_of[ours]}") $(rss_kib "${pid_of[unbound]}") $(rss_kib "${pid_of[small]}")")
  local step who sent=0 lost=0
  for step in $(seq 10); do
    names "m$run_id" $(((step - 1) * chunk)) "$chunk" >"$work/memory.txt"
    for who in ours unbound small; do
      measure "memory$step" "$who" "$work/memory.txt" $((3 * chunk_seconds + 30)) -n 1 -c 8 -q 200 -Q "$memory_rate"
      result[memory.$who.lost]=$((${result[memory.$who.lost]:-0} + ${result[memory$step.$who.lost]}))
      result[memory.$who.completed]=$((${result[memory.$who.completed]:-0} + ${result[memory$step.$who.completed]}))
    done
    memory_samples+=("$((step * chunk)) $(rss_kib "${pid_of[ours]}") $(rss_kib "${pid_of[unbound]}") $(rss_kib "${pid_of[small]}")")
    note "  after $((step * chunk)) names: VmRSS ours $(rss_kib "${pid_of[ours]}") KiB, unbound $(rss_kib "${pid_of[unbound]}") KiB, ours with 8 MiB cache $(rss_kib "${pid_of[small]}") KiB"
  done
  for who in ours unbound small; do
    result[memory.$who.rss]=$(rss_kib "${pid_of[$who]}")
    result[memory.$who.hwm]=$(hwm_kib "${pid_of[$who]}")
    result[memory.$who.threads]=$(threads_of "${pid_of[$who]}")
  done
  if [ -n "${pid_of[ours]:-}" ]; then
    result[memory.ours.stats]=$(in_lab curl -s --max-time 5 "http://127.0.0.1:$ours_http/stats" || true)
  fi
  stop_resolver small
  stop_pair
}

# --- the report --------------------------------------------------------------------------------------

max_of() { printf '%s\n' "$@" | sort -n | tail -1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2fx", a / b; else print "-" }'; }
verdict() { # ratio_value target_op target
  awk -v r="${1%x}" -v op="$2" -v t="$3" 'BEGIN {
    if (r == "-") { print "?"; exit }
    ok = (op == ">=") ? (r >= t) : (r <= t); print ok ? "met" : "NOT met" }'
}

row() { # label ours unbound op target unit
  local r
  r=$(ratio "$2" "$3")
  printf '%-44s %12s %12s %8s %10s  %s\n' "$1" "$2" "$3" "$r" "$4 $5x" "$(verdict "$r" "$4" "$5")"
}

load_row() { # key label [noerror|nxdomain]: the answers counted as expected
  local key=$1 who rcode=${3:-noerror}
  printf '  %s\n' "$2"
  for who in ours unbound; do
    local cpu=${result[$key.$who.cpu]} busiest=${result[$key.$who.busiest]} dnsperf=${result[$key.$who.perfcpu]}
    local upstream=${result[$key.$who.upcpu]} machine limit
    machine=$((cpu + dnsperf + upstream))
    # What the figure most likely ran into: the whole machine, one thread of the resolver, or neither.
    if [ "$machine" -ge $((nproc_count * 85)) ]; then limit="the machine's CPU"
    elif [ "$busiest" -ge 85 ]; then limit="one thread of the resolver"
    else limit="neither CPU nor one thread (waiting: latency, concurrency or locks)"; fi
    printf '    %-8s %7s q/s (rounds: %s) lost %s, %s %s of %s; %s threads; %s UDP datagrams sent per answer\n' \
      "$who" "${result[$key.$who.qps]}" "${result[$key.$who.rounds]% }" "${result[$key.$who.lost]}" "${rcode^^}" \
      "${result[$key.$who.$rcode]}" "${result[$key.$who.sent]}" "${result[$key.$who.threads]}" "${result[$key.$who.datagrams]}"
    printf '             CPU: resolver %s%% (busiest thread %s%%), dnsperf %s%%, NSD and delay line %s%%: %s%% of %s%%; limit: %s\n' \
      "$cpu" "$busiest" "$dnsperf" "$upstream" "$machine" $((nproc_count * 100)) "$limit"
  done
}

print_profile() { # key title
  local key=$1 title=$2 data=$work/$1.perf.data
  [ -s "$data" ] || { printf '\n-- profile of ours during %s: no data (%s)\n' "$title" "$(tail -1 "$work/$key.perf.log")"; return; }
  local queries syscalls
  queries=${result[${key}_profiled.ours.completed]:-0}
  syscalls=$(awk '/raw_syscalls:sys_enter/ { gsub(",", "", $1); print $1 }' "$work/$key.syscalls" 2>/dev/null || true)
  printf '\n-- profile of ours during %s: %s q/s, CPU %s%% (busiest thread %s%%), %s system calls per answered query\n' \
    "$title" "${result[${key}_profiled.ours.qps]}" "${result[${key}_profiled.ours.cpu]}" \
    "${result[${key}_profiled.ours.busiest]}" \
    "$(awk -v s="${syscalls:-0}" -v q="$queries" 'BEGIN { if (q > 0 && s > 0) printf "%.1f", s / q; else print "?" }')"
  printf '   user space %s, kernel %s of the samples; hottest symbols (self time):\n' \
    "$(perf report -i "$data" --no-children --sort dso --stdio -g none 2>/dev/null |
      awk '/%/ && $2 !~ /kernel/ { s += $1 } END { printf "%.0f%%", s }')" \
    "$(perf report -i "$data" --no-children --sort dso --stdio -g none 2>/dev/null |
      awk '/%/ && $2 ~ /kernel/ { s += $1 } END { printf "%.0f%%", s }')"
  perf report -i "$data" --no-children --sort sym --stdio -g none 2>/dev/null |
    awk '/^ +[0-9.]+%/ && ++n <= 16 { sub(/^ +/, ""); print "     " substr($0, 1, 150) }'
  # With DWARF call chains each sample names the function of ours it was in: for a sample in the
  # kernel, the innermost function of ours, the C library function it called and the system call.
  printf '   samples by where they were spent (ours > C library > system call, or user space: ours > leaf):\n'
  perf report -i "$data" --no-children --sort sym --stdio -g folded,0,caller,count 2>/dev/null |
    awk '
      /^ +[0-9.]+%/ { kind = ($2 == "[k]") ? "kernel" : "user"; next }
      $1 !~ /^[0-9]+$/ { next }
      {
        count = $1; n = split(substr($0, index($0, " ") + 1), frame, ";")
        ours = ""; libc = ""; call = ""
        for (i = 1; i <= n; i++) {
          f = frame[i]
          sub(/ \(inlined\)$/, "", f)
          if (f == "entry_SYSCALL_64_after_hwframe") {
            call = "?"
            for (j = i + 1; j <= n; j++) if (frame[j] ~ /^(__x64_sys_|__sys_|__do_sys_|ksys_)/) { call = frame[j]; break }
            if (call == "?" && frame[i + 2] == "exit_to_user_mode_loop") call = "(scheduled out on return)"
            break
          }
          if (f ~ /^recursor::/) { ours = f; libc = "" }
          else if (libc == "" && f !~ /^std::/) libc = f
        }
        sub(/<.*$/, "", ours)
        if (ours == "") ours = "?"
        if (call != "") key = ours " > " libc " > " call
        else if (kind == "kernel") key = "kernel, outside system calls"
        else key = "user space: " ours ((frame[n] ~ /^recursor::/) ? "" : " > " frame[n])
        sum[key] += count; total += count
      }
      END { for (k in sum) printf "%8.1f%%  %s\n", 100 * sum[k] / total, substr(k, 1, 160) }' |
    sort -rn | awk 'NR <= 14'
}

report() {
  local ours_version unbound_version who
  ours_version=$("$binary" --version 2>/dev/null | sed -n 1p || true)
  unbound_version=$(unbound -V 2>/dev/null | awk '/^Version/ { print $2 }' || true)
  printf '\nResolver benchmark, profile %s: %s vs unbound %s, %s CPUs (%s), lab %s\n' "$profile_name" \
    "$ours_version" "$unbound_version" "$(nproc)" "$(uptime | sed 's/.*load average/load average/')" "$lab"
  printf 'On loopback inside one network namespace; unbound with 2 threads. In 1 to 4 neither validates; in 5 to 13\n'
  printf 'both validate from the lab root'"'"'s trust anchor (AD on a wild.sec. name, SERVFAIL on www.badds.sec checked).\n'
  printf '8 to 13 ask distinct random names that do not exist (NXDOMAIN with AD checked) under alg13.sec. (NSEC)\n'
  printf 'and n3.sec. (NSEC3), aggressive NSEC (aggressive_nsec, aggressive-nsec) set alike on both sides.\n'
  printf '14 to 16 do not validate; 14 and 15 ask both resolvers at once, %s distinct names at %s q/s each.\n\n' \
    "$latency_names" "$latency_rate"
  printf '%-44s %12s %12s %8s %10s  %s\n' figure ours unbound ratio target ""
  row "1. cache hits/s (100 names, ${hit_seconds} s)" "${result[hits.ours.qps]}" "${result[hits.unbound.qps]}" ">=" 1.5
  row "2. cold resolutions/s ($cold_names names, -q 50)" "${result[cold.ours.qps]}" "${result[cold.unbound.qps]}" ">=" 1.3
  row "3. cold, 20 ms RTT ($delay_names names, -q 500)" "${result[delay.ours.qps]}" "${result[delay.unbound.qps]}" ">=" 1.3
  row "5. validated cold/s, aggr. off ($cold_names names)" "${result[vcold.ours.qps]}" "${result[vcold.unbound.qps]}" ">=" 1.3
  row "6. validated, 20 ms RTT, aggr. off ($delay_names)" "${result[vdelay.ours.qps]}" "${result[vdelay.unbound.qps]}" ">=" 1.3
  row "7. upstream queries/validated cold answer" "${result[upstream.ours.per_answer]}" "${result[upstream.unbound.per_answer]}" "<=" 1.0
  printf '%-44s %12s %12s %8s\n' "   unbound with aggressive-nsec: no" "${result[upstream.ours.per_answer]}" \
    "${result[upstream.unbound_nsec.per_answer]}" "$(ratio "${result[upstream.ours.per_answer]}" "${result[upstream.unbound_nsec.per_answer]}")"
  row "8. NXDOMAIN/s NSEC, aggr. on ($nx_names)" "${result[nsec_on.ours.qps]}" "${result[nsec_on.unbound.qps]}" ">=" 1.0
  row "9. NXDOMAIN/s NSEC, aggr. off ($cold_names)" "${result[nsec_off.ours.qps]}" "${result[nsec_off.unbound.qps]}" ">=" 1.0
  row "10. NXDOMAIN/s NSEC3, aggr. on ($nx_names)" "${result[nsec3_on.ours.qps]}" "${result[nsec3_on.unbound.qps]}" ">=" 1.0
  row "11. NXDOMAIN/s NSEC3, aggr. off ($cold_names)" "${result[nsec3_off.ours.qps]}" "${result[nsec3_off.unbound.qps]}" ">=" 1.0
  local number key what
  for what in "12 nsec_upstream NSEC" "13 nsec3_upstream NSEC3"; do
    read -r number key what <<<"$what"
    row "$number. upstream/NXDOMAIN $what, aggr. on" "${result[$key.ours.per_answer]}" "${result[$key.unbound.per_answer]}" "<=" 1.0
    printf '%-44s %12s %12s %8s\n' "    both with aggr. off" "${result[$key.ours_off.per_answer]}" \
      "${result[$key.unbound_off.per_answer]}" "$(ratio "${result[$key.ours_off.per_answer]}" "${result[$key.unbound_off.per_answer]}")"
  done
  row "14. p99 ms cold, 1 of 2 servers silent" "${result[halfsilent.ours.p99]}" "${result[halfsilent.unbound.p99]}" "<=" 1.0
  row "15. p99 ms cold, 1 of 2 servers REFUSED" "${result[halfrefused.ours.p99]}" "${result[halfrefused.unbound.p99]}" "<=" 1.0
  local ours_threads unbound_threads thread_limit=$((nproc_count + 4))
  ours_threads=$(max_of "${result[cold.ours.maxthreads]}" "${result[delay.ours.maxthreads]}")
  unbound_threads=$(max_of "${result[cold.unbound.maxthreads]}" "${result[delay.unbound.maxthreads]}")
  printf '%-44s %12s %12s %8s %10s  %s\n' "16. threads under load (cold, figures 2, 3)" "$ours_threads" "$unbound_threads" \
    "$(ratio "$ours_threads" "$unbound_threads")" "<= $thread_limit" \
    "$([ "$ours_threads" -le "$thread_limit" ] && echo met || echo "NOT met") (cores + 4, ours)"
  row "4. VmRSS KiB after $memory_names names" "${result[memory.ours.rss]}" "${result[memory.unbound.rss]}" "<=" 1.0
  printf '%-44s %12s %12s %8s\n' "   ours with cache_max_bytes = 8 MiB" "${result[memory.small.rss]}" "${result[memory.unbound.rss]}" \
    "$(ratio "${result[memory.small.rss]}" "${result[memory.unbound.rss]}")"

  printf '\nWhat each figure used, in its best round (CPU in %% of one core; the machine has %s):\n' "$nproc_count"
  load_row hits "1. cache hits"
  load_row cold "2. cold"
  load_row delay "3. cold, 20 ms RTT"
  printf '    measured RTT to an authoritative server %s ms (UDP), client to resolver %s ms; delay line: %s\n' \
    "${result[delay.rtt_upstream]}" "${result[delay.rtt_client]}" "${result[delay.counters]}"
  load_row vcold "5. validated cold"
  load_row vdelay "6. validated cold, 20 ms RTT"
  printf '    measured RTT to an authoritative server %s ms (UDP), client to resolver %s ms; delay line: %s\n' \
    "${result[vdelay.rtt_upstream]}" "${result[vdelay.rtt_client]}" "${result[vdelay.counters]}"
  printf '  7. upstream queries, each resolver alone from its start over %s distinct names under wild.sec.\n' "$upstream_names"
  for who in ours unbound unbound_nsec; do
    printf '    %-12s %s UDP queries + %s TCP connections to port 53 for %s answers (lost %s, NOERROR %s of %s)\n' "$who" \
      "${result[upstream.$who.udp]}" "${result[upstream.$who.tcp]}" "${result[upstream.$who.answers]}" \
      "${result[upstream.$who.lost]}" "${result[upstream.$who.noerror]}" "${result[upstream.$who.sent]}"
  done
  printf '    ours /metrics DNSSEC outcomes then: %s\n' "${result[upstream.ours.outcomes]:-?}"
  printf '  8 to 13: %s; %s\n' "${result[kind.alg13.sec]}" "${result[kind.n3.sec]}"
  load_row nsec_on "8. NXDOMAIN, NSEC, aggressive on both sides" nxdomain
  load_row nsec_off "9. NXDOMAIN, NSEC, aggressive off on both sides" nxdomain
  load_row nsec3_on "10. NXDOMAIN, NSEC3, aggressive on both sides" nxdomain
  load_row nsec3_off "11. NXDOMAIN, NSEC3, aggressive off on both sides" nxdomain
  for what in "12 nsec_upstream alg13.sec." "13 nsec3_upstream n3.sec."; do
    read -r number key what <<<"$what"
    printf '  %s. upstream queries, each resolver alone from its start over %s distinct names under %s\n' "$number" "$upstream_names" "$what"
    for who in ours unbound ours_off unbound_off; do
      printf '    %-12s %s UDP queries + %s TCP connections to port 53 for %s answers (lost %s, NXDOMAIN %s of %s)\n' "$who" \
        "${result[$key.$who.udp]}" "${result[$key.$who.tcp]}" "${result[$key.$who.answers]}" \
        "${result[$key.$who.lost]}" "${result[$key.$who.nxdomain]}" "${result[$key.$who.sent]}"
    done
    printf '    ours /metrics DNSSEC outcomes then: aggressive %s; not aggressive %s\n' \
      "${result[$key.ours.outcomes]:-?}" "${result[$key.ours_off.outcomes]:-?}"
  done
  local zone
  for what in "14 halfsilent halfsilent.test" "15 halfrefused halfrefused.test"; do
    read -r number key zone <<<"$what"
    printf '  %s. cold answers under %s, %s; %s round(s), the median by p99 kept\n' "$number" "$zone." "${result[half.$zone]}" "$latency_rounds"
    for who in ours unbound; do
      printf '    %-8s p50 %s ms, p99 %s ms (rounds: %s), p99.9 %s ms, max %s ms; %s answers over 100 ms; NOERROR %s of %s, lost %s; threads at most %s\n' \
        "$who" "${result[$key.$who.p50]}" "${result[$key.$who.p99]}" "${result[$key.$who.rounds]% }" "${result[$key.$who.p999]}" \
        "${result[$key.$who.max]}" "${result[$key.$who.slow]}" "${result[$key.$who.noerror]:-0}" "${result[$key.$who.sent]:-0}" \
        "${result[$key.$who.lost]:-?}" "${result[$key.$who.maxthreads]}"
    done
  done
  printf '  16. most threads (/proc/PID/status, every 50 ms) during the rounds of figure 2: ours %s, unbound %s; figure 3: ours %s, unbound %s; figure 14: ours %s, unbound %s\n' \
    "${result[cold.ours.maxthreads]}" "${result[cold.unbound.maxthreads]}" "${result[delay.ours.maxthreads]}" \
    "${result[delay.unbound.maxthreads]}" "${result[halfsilent.ours.maxthreads]}" "${result[halfsilent.unbound.maxthreads]}"
  printf '  4. memory\n    lost (of %s): ours %s, unbound %s, ours 8 MiB %s; threads at the end: ours %s, unbound %s; VmHWM KiB: ours %s, unbound %s, ours 8 MiB %s\n' \
    "$memory_names" "${result[memory.ours.lost]}" "${result[memory.unbound.lost]}" "${result[memory.small.lost]}" \
    "${result[memory.ours.threads]}" "${result[memory.unbound.threads]}" \
    "${result[memory.ours.hwm]}" "${result[memory.unbound.hwm]}" "${result[memory.small.hwm]}"
  printf '    ours /stats at the end: %s\n' "${result[memory.ours.stats]:-?}"

  printf '\nVmRSS (KiB) while the distinct names of figure 4 arrive (%s q/s per resolver):\n' "$memory_rate"
  printf '  %12s %12s %12s %16s\n' names ours unbound "ours 8 MiB cache"
  local sample
  for sample in "${memory_samples[@]}"; do
    # shellcheck disable=SC2086
    printf '  %12s %12s %12s %16s\n' $sample
  done

  local entry
  for entry in "${profiles[@]}"; do print_profile "${entry%%|*}" "${entry#*|}"; done
}

# --- main --------------------------------------------------------------------------------------------

install_packages
build_binary
work=$(mktemp -d /tmp/resolver-bench.XXXXXX)
write_root_hints "$work/lab.hints"
write_unbound_conf "$work/unbound.conf" iterator
note "profile $profile_name; lab $lab; work directory $work"
lab_up=yes
"$repo/scripts/lab.sh" up "$lab" >&2
for pid_in_lab in $(ip netns pids "$lab"); do
  case $(cat "/proc/$pid_in_lab/comm" 2>/dev/null) in nsd*) upstream_pids+=("$pid_in_lab") ;; esac
done

lab_dir=$("$repo/scripts/lab.sh" exec "$lab" -- printenv RECURSOR_LAB_DIR)
[ -s "$lab_dir/root.key" ] || fail "the lab has no trust anchor at $lab_dir/root.key"
write_unbound_conf "$work/unbound-validating.conf" "validator iterator" "trust-anchor-file: \"$lab_dir/root.key\""
write_unbound_conf "$work/unbound-aggressive-nsec.conf" "validator iterator" "trust-anchor-file: \"$lab_dir/root.key\"" \
  "aggressive-nsec: yes"
write_unbound_conf "$work/unbound-no-aggressive-nsec.conf" "validator iterator" "trust-anchor-file: \"$lab_dir/root.key\"" \
  "aggressive-nsec: no"

figure_cache_hits
figure_cold 2 cold c
figure_cold_delayed 3 delay d
use_validation yes
# Cold means asked upstream: with RFC 8198 on, both would answer the wildcard's names from the first
# name's NSEC proof (figure 7 shows that), so both run without it here.
aggressive=no
figure_cold 5 vcold v
figure_cold_delayed 6 vdelay w
aggressive=""
figure_upstream
check_denial_kind alg13.sec NSEC
check_denial_kind n3.sec NSEC3
figure_nxdomain 8 nsec_on n alg13.sec yes
figure_nxdomain 9 nsec_off o alg13.sec no
figure_nxdomain 10 nsec3_on e n3.sec yes
figure_nxdomain 11 nsec3_off f n3.sec no
figure_nx_upstream 12 nsec_upstream alg13.sec
figure_nx_upstream 13 nsec3_upstream n3.sec
use_validation no
figure_latency 14 halfsilent halfsilent.test silent
figure_latency 15 halfrefused halfrefused.test refused
figure_memory
report
