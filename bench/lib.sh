# shellcheck shell=bash
# Shared by bench/resolver_bench.sh and its figures (sourced, never run): logging, dependencies,
# clean-up, the lab, starting and stopping both resolvers, and measuring one dnsperf run.
# Reads the settings the driver sets (repo, lab, binary, work, profile, ports, counts).

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
  if [ -n "${4:-}" ] || [ -n "$aggressive" ] || [ -n "${qname_minimisation:-}" ]; then
    {
      printf '[server]\nlisten = 127.0.0.1:%s\n' "$port"
      [ -z "${4:-}" ] || printf 'cache_max_bytes = %s\n' "$4"
      [ -z "$aggressive" ] || printf 'aggressive_nsec = %s\n' "$aggressive"
      [ -z "${qname_minimisation:-}" ] || printf 'qname_minimisation = %s\n' "$qname_minimisation"
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
