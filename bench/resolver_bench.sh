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
#  18. upstream, QNAME min. figure 7's count with minimisation on and off (qname_minimisation = yes|no,
#                           qname-minimisation: yes|no), aggressive NSEC off, for NAME.wild.sec. and
#                           x.NAME.wild.sec.; printed as a table of its own (bench/figures/qname_minimisation.sh)
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
# The driver: settings and the order of the figures. bench/lib.sh holds what the figures share (the
# lab, both resolvers, one measured dnsperf run), bench/figures/*.sh one file per figure or pair of
# figures, bench/report.sh the table printed at the end.
#
# Needs root. Installs what it lacks with apt-get (unbound without starting its service, iptables,
# libnetfilter-queue-dev, linux-perf). Every dnsperf run is bounded in count and time; on exit, even on
# Ctrl-C, it stops what it started and takes its lab down.
#
# Usage: bench/resolver_bench.sh [--quick] [--memory-names N] [--memory-rate QPS] [--no-profile]
#                                [--binary PATH] [--figures LIST] [--keep-logs]
#   --quick           smaller counts and durations, no profiles (about two minutes)
#   --memory-names N  names for figure 4 (default 1000000, quick 60000), a multiple of 10
#   --memory-rate Q   pace of figure 4 in queries/s per resolver (default 12000)
#   --no-profile      skip the perf passes (--profile turns them on in --quick)
#   --binary PATH     the resolver to measure (default build/release/recursor, built when missing)
#   --figures LIST    only these figures, numbers separated by commas (default: all; 16 comes from 2 and
#                     3); the others' rows stay empty
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
figures="" # empty: every figure

usage() { sed -n '/^# Usage:/,/^#   --keep-logs/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=yes ;;
    --memory-names) memory_names=${2:?}; shift ;;
    --memory-rate) memory_rate=${2:?}; shift ;;
    --profile) profile=yes ;;
    --no-profile) profile=no ;;
    --binary) binary=${2:?}; shift ;;
    --figures) figures=${2:?}; shift ;;
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
[[ -z $figures || $figures =~ ^[0-9]+(,[0-9]+)*$ ]] ||
  { echo "bench: --figures takes figure numbers separated by commas" >&2; exit 2; }
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

# shellcheck source=bench/lib.sh
. "$repo/bench/lib.sh"
# shellcheck source=bench/figures/cache_hits.sh
. "$repo/bench/figures/cache_hits.sh"
# shellcheck source=bench/figures/cold.sh
. "$repo/bench/figures/cold.sh"
# shellcheck source=bench/figures/rtt.sh
. "$repo/bench/figures/rtt.sh"
# shellcheck source=bench/figures/memory.sh
. "$repo/bench/figures/memory.sh"
# shellcheck source=bench/figures/upstream.sh
. "$repo/bench/figures/upstream.sh"
# shellcheck source=bench/figures/nxdomain.sh
. "$repo/bench/figures/nxdomain.sh"
# shellcheck source=bench/figures/latency.sh
. "$repo/bench/figures/latency.sh"
# shellcheck source=bench/figures/qname_minimisation.sh
. "$repo/bench/figures/qname_minimisation.sh"
# shellcheck source=bench/report.sh
. "$repo/bench/report.sh"

wanted() { # number...: whether --figures asks for any of them
  local number
  [ -z "$figures" ] && return 0
  for number in "$@"; do [[ ,$figures, == *,$number,* ]] && return 0; done
  return 1
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

wanted 1 && figure_cache_hits
wanted 2 && figure_cold 2 cold c
wanted 3 && figure_cold_delayed 3 delay d
use_validation yes
# Cold means asked upstream: with RFC 8198 on, both would answer the wildcard's names from the first
# name's NSEC proof (figure 7 shows that), so both run without it here.
aggressive=no
wanted 5 && figure_cold 5 vcold v
wanted 6 && figure_cold_delayed 6 vdelay w
aggressive=""
wanted 7 && figure_upstream
if wanted 8 9 10 11 12 13; then
  check_denial_kind alg13.sec NSEC
  check_denial_kind n3.sec NSEC3
fi
wanted 8 && figure_nxdomain 8 nsec_on n alg13.sec yes
wanted 9 && figure_nxdomain 9 nsec_off o alg13.sec no
wanted 10 && figure_nxdomain 10 nsec3_on e n3.sec yes
wanted 11 && figure_nxdomain 11 nsec3_off f n3.sec no
wanted 18 && figure_qname_minimisation 18
wanted 12 && figure_nx_upstream 12 nsec_upstream alg13.sec
wanted 13 && figure_nx_upstream 13 nsec3_upstream n3.sec
use_validation no
wanted 14 && figure_latency 14 halfsilent halfsilent.test silent
wanted 15 && figure_latency 15 halfrefused halfrefused.test refused
wanted 4 && figure_memory
# Response policy zones at a million rules: load time, memory, cache hits with and without (it prints
# its own figures, in a loopback-only namespace of its own).
wanted 17 && "$repo/bench/figures/rpz.sh" --binary "$binary" --seconds "$hit_seconds" --rounds "$rounds"
# The rows of figures left out read their results unset.
[ -z "$figures" ] || set +u
report
