# shellcheck shell=bash
# Figures 14 and 15 of bench/resolver_bench.sh (sourced): p99 latency of cold answers when one of a
# zone's two servers is silent, resp. answers REFUSED.

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
