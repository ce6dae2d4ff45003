#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-16 and runs it for a bounded time from the seed corpus.
# New inputs go to a scratch directory; the committed corpus stays as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
# The time is shared between the targets: the message parser and writer, then the response classifier.
for target in message response; do
  mkdir -p "$scratch/$target"
  echo "fuzz_$target:"
  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1 \
    build/fuzz/fuzz_$target -max_total_time="$(( (seconds + 1) / 2 ))" -max_len=4096 -print_final_stats=1 \
    "$scratch/$target" fuzz/corpus 2>&1 | tail -n 12
done
