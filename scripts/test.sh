#!/usr/bin/env bash
# Sets up, builds and runs every test: unit and end-to-end tests under ASan+UBSan,
# the concurrent parts under ThreadSanitizer, a bounded fuzz run and a bounded load test of the release build.
# Whatever runs the resolver binary does so inside a network namespace (scripts/lab.sh), so it needs root:
# the end-to-end suites in ctest (e2e in a loopback-only namespace, e2e_lab in the lab) and the load test.
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

step "fuzzing the message parser and the response classifier for ${FUZZ_SECONDS:-30} s"
scripts/fuzz.sh "${FUZZ_SECONDS:-30}"

step "release build and bounded dnsperf load test (2 x ${LOAD_SECONDS:-10} s)"
cmake --preset release >/dev/null
cmake --build --preset release --target recursor
bench/load_dnsperf.sh build/release/recursor

step "all tests passed"
