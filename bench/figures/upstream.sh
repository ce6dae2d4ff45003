# shellcheck shell=bash
# Figures 7, 12 and 13 of bench/resolver_bench.sh (sourced): upstream queries per validated answer,
# counted by iptables rules of the namespace's OUTPUT chain, for wildcard names and for names that do
# not exist.

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
