#!/usr/bin/env bash
# Builds the libFuzzer target with clang-16 and runs it for a bounded time from the seed corpus.
# New inputs go to a scratch directory; the committed corpus stays as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1 \
  build/fuzz/fuzz_message -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
  "$scratch" fuzz/corpus 2>&1 | tail -n 12
