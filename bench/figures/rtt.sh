# shellcheck shell=bash
# Figures 3 and 6 of bench/resolver_bench.sh (sourced): cold resolutions while every packet to or
# from port 53 waits 10 ms on a delay line (iptables NFQUEUE and bench/nfq_delay.c).

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
