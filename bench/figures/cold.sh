# shellcheck shell=bash
# Figures 2 and 5 of bench/resolver_bench.sh (sourced): cold resolutions per second, validated in 5.

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
