# shellcheck shell=bash
# The table and the details bench/resolver_bench.sh prints at the end (sourced), figure 16 among them.

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
  # Left out by --figures: the label alone.
  [ -n "${result[$key.ours.qps]:-}" ] || { printf '  %s: not run\n' "$2"; return 0; }
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
