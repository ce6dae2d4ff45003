#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-16 and runs each for a bounded time from its seed corpus
# (fuzz/corpus/<target>; the response classifier reads the message corpus) and its dictionary of
# keywords (fuzz/dict/<target>.dict) where it has one.
# An input that takes more than 10 s fails as a crash would: a stranger must not be able to stall a parser.
# New inputs go to a scratch directory; the committed corpus stays as it is. An input that fails is kept
# in build/fuzz/crashes/<target>/ (add it to the corpus as regression_<what> once mended).
#   scripts/fuzz.sh [SECONDS] [TARGET...]
# SECONDS (default 64) is the whole budget, shared between the targets named (default all): the packet
# parsers take a quarter each, the eight text, stream and file parsers
# share the other half.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-64}"
shift || true
all=(message response stream_framing http_request control_command config trust_anchor root_hints zone_file
  cookie doh_request cache_file)
targets=("$@")
[ $# -gt 0 ] || targets=("${all[@]}")
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

# The packet parsers are deep and slow per input; the others are shallow and fast, so they get less.
weight() {
  case "$1" in
    message | response) echo 6 ;;
    *) echo 2 ;;
  esac
}
total_weight=0
for target in "${targets[@]}"; do
  total_weight=$(( total_weight + $(weight "$target") ))
done

status=0
for target in "${targets[@]}"; do
  corpus="fuzz/corpus/$target"
  max_len=8192
  if [ "$target" = message ] || [ "$target" = response ]; then
    corpus=fuzz/corpus/message
    max_len=4096
  fi
  dict=()
  [ -f "fuzz/dict/$target.dict" ] && dict=(-dict="fuzz/dict/$target.dict")
  budget=$(( (seconds * $(weight "$target") + total_weight - 1) / total_weight ))
  mkdir -p "$scratch/$target" "build/fuzz/crashes/$target"
  echo "fuzz_$target (${budget}s):"
  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1 \
    build/fuzz/fuzz_$target -max_total_time="$budget" -max_len="$max_len" -timeout=10 -print_final_stats=1 "${dict[@]}" \
    -artifact_prefix="build/fuzz/crashes/$target/" "$scratch/$target" "$corpus" >"$scratch/$target.log" 2>&1 \
    || { status=1; tail -n 40 "$scratch/$target.log"; echo "FAILED: see build/fuzz/crashes/$target/"; continue; }
  grep -a -E '^(Done|stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb))' \
    "$scratch/$target.log"
done
exit "$status"
