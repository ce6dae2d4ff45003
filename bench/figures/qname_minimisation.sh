# shellcheck shell=bash
# Figure 18 of bench/resolver_bench.sh (sourced): upstream queries per validated cold answer with and
# without QNAME minimisation (RFC 9156), ours (qname_minimisation = yes|no) and unbound
# (qname-minimisation: yes|no, relaxed), each alone from its start, aggressive NSEC off on both sides so
# that every name is asked. Two shapes of name under the signed wildcard *.wild.sec.: one label below
# the zone (nothing to hide: the cost is the walk from the root alone), and two labels below it (the
# minimised question for the middle label meets the wildcard's NODATA first: one more query per name).
# Counted by figure 7's iptables rules; prints its own table.

figure_qname_minimisation() { # number
  local number=$1 shape who key file
  note "figure $number: upstream queries per validated cold answer, minimisation on and off, $upstream_names names per resolver and shape"
  for shape in yes no; do
    write_unbound_conf "$work/unbound-qmin-$shape.conf" "validator iterator" \
      "trust-anchor-file: \"$lab_dir/root.key\"" "aggressive-nsec: no" "qname-minimisation: $shape"
  done
  upstream_rules -A
  aggressive=no
  for shape in one two; do
    file=$work/qmin-$shape.txt
    names "m$run_id$shape" 0 "$upstream_names" >"$file"
    [ $shape = one ] || sed -i 's/^/x./' "$file"
    ready_probe=$(head -1 "$file")
    for who in ours ours_noqmin unbound unbound_noqmin; do
      in_lab iptables -Z OUTPUT
      case $who in
        ours) qname_minimisation=yes start_ours "$who" "$ours_port" "$ours_http" ;;
        ours_noqmin) qname_minimisation=no start_ours "$who" "$ours_port" "$ours_http" ;;
        unbound) start_unbound "$who" "$work/unbound-qmin-yes.conf" ;;
        unbound_noqmin) start_unbound "$who" "$work/unbound-qmin-no.conf" ;;
      esac
      key=qmin_$shape
      count_upstream "$key" "$who" "$file" %.3f
      [[ $who != ours ]] || result[$key.ours.fallbacks]=$(in_lab curl -s --max-time 5 "http://127.0.0.1:$ours_http/metrics" |
        awk '/^dns_qname_minimisation_fallbacks_total/ { printf "%s ", $0 }')
      stop_resolver "$who"
    done
  done
  aggressive=""
  ready_probe="glue.test SOA"
  upstream_rules -D
  printf '\n%s. upstream queries per validated cold answer, %s names per shape, each resolver alone\n' "$number" "$upstream_names"
  printf '   %-34s %12s %12s %12s %12s\n' "names" "ours" "ours, off" "unbound" "unbound, off"
  for shape in one two; do
    key=qmin_$shape
    printf '   %-34s %12s %12s %12s %12s\n' "$([ $shape = one ] && echo 'NAME.wild.sec.' || echo 'x.NAME.wild.sec.')" \
      "${result[$key.ours.per_answer]}" "${result[$key.ours_noqmin.per_answer]}" \
      "${result[$key.unbound.per_answer]}" "${result[$key.unbound_noqmin.per_answer]}"
  done
  printf '   ours /metrics after x.NAME: %s\n\n' "${result[qmin_two.ours.fallbacks]:-?}"
}
