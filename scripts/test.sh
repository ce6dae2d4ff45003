#!/usr/bin/env bash
# Sets up, builds and runs every test: unit and end-to-end tests under ASan+UBSan,
# the concurrent parts under ThreadSanitizer, and a bounded fuzz run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

step() { printf '\n== %s\n' "$*"; }

step "debug build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake --preset debug >/dev/null
cmake --build --preset debug
step "unit and end-to-end tests"
ctest --preset debug

step "ThreadSanitizer build of the concurrent parts"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan

step "fuzzing the message parser for ${FUZZ_SECONDS:-30} s"
scripts/fuzz.sh "${FUZZ_SECONDS:-30}"

step "all tests passed"
