# shellcheck shell=bash
# Figures 8 to 11 of bench/resolver_bench.sh (sourced): validated NXDOMAIN answers per second under
# NSEC and NSEC3 zones, aggressive NSEC on or off on both sides.

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
