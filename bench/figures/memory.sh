# shellcheck shell=bash
# Figure 4 of bench/resolver_bench.sh (sourced): resident memory while distinct names arrive.

memory_samples=() # "names ours unbound small" lines, RSS in KiB

figure_memory() {
  local chunk=$((memory_names / 10)) chunk_seconds=$((memory_names / 10 / memory_rate + 1))
  note "figure 4: resident memory over $memory_names names at $memory_rate q/s per resolver (about $((3 * memory_names / memory_rate)) s)"
  start_pair
  start_ours small "$small_port" "$small_http" "$small_cache_bytes"
  warm_delegation ours unbound small
  memory_samples+=("0 $(rss_kib "${pid_of[ours]}") $(rss_kib "${pid_of[unbound]}") $(rss_kib "${pid_of[small]}")")
  local step who sent=0 lost=0
  for step in $(seq 10); do
    names "m$run_id" $(((step - 1) * chunk)) "$chunk" >"$work/memory.txt"
    for who in ours unbound small; do
      measure "memory$step" "$who" "$work/memory.txt" $((3 * chunk_seconds + 30)) -n 1 -c 8 -q 200 -Q "$memory_rate"
      result[memory.$who.lost]=$((${result[memory.$who.lost]:-0} + ${result[memory$step.$who.lost]}))
      result[memory.$who.completed]=$((${result[memory.$who.completed]:-0} + ${result[memory$step.$who.completed]}))
    done
    memory_samples+=("$((step * chunk)) $(rss_kib "${pid_of[ours]}") $(rss_kib "${pid_of[unbound]}") $(rss_kib "${pid_of[small]}")")
    note "  after $((step * chunk)) names: VmRSS ours $(rss_kib "${pid_of[ours]}") KiB, unbound $(rss_kib "${pid_of[unbound]}") KiB, ours with 8 MiB cache $(rss_kib "${pid_of[small]}") KiB"
  done
  for who in ours unbound small; do
    result[memory.$who.rss]=$(rss_kib "${pid_of[$who]}")
    result[memory.$who.hwm]=$(hwm_kib "${pid_of[$who]}")
    result[memory.$who.threads]=$(threads_of "${pid_of[$who]}")
  done
  if [ -n "${pid_of[ours]:-}" ]; then
    result[memory.ours.stats]=$(in_lab curl -s --max-time 5 "http://127.0.0.1:$ours_http/stats" || true)
  fi
  stop_resolver small
  stop_pair
}
