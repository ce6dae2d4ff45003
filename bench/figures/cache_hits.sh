# shellcheck shell=bash
# Figure 1 of bench/resolver_bench.sh (sourced): cache hits per second.

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
