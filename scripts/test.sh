#!/usr/bin/env bash
# Sets up, builds and runs every test: unit and end-to-end tests under ASan+UBSan,
# the concurrent parts under ThreadSanitizer, a bounded fuzz run and a bounded load test of the release build.
# Whatever runs the resolver binary does so inside a network namespace (scripts/lab.sh), so it needs root:
# the end-to-end suites in ctest (e2e in a loopback-only namespace, e2e_lab in the lab) and the load test.
# As root, everything after setup (which needs the network for apt-get) runs in a network namespace of its
# own with only loopback up, so no test, in-process server or benchmark can reach the host's network; the
# labs the suites create are namespaces made from inside it. ctest's "isolation" test checks it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/isolation.sh

case ${RECURSOR_TEST_NETNS:-} in
  "")
    scripts/setup.sh
    if [ "$(id -u)" -eq 0 ]; then
      # A private mount namespace too: the labs' /run/netns entries, state and /etc/netns files stay in it.
      RECURSOR_TEST_NETNS=entering exec unshare --net --mount --propagation private -- "$PWD/scripts/test.sh" "$@"
    fi
    echo "test: NOT ISOLATED: without root the suite runs in the host's network namespace (what needs root is skipped)" >&2
    ;;
  entering)
    for dir in /run/netns /run/recursor-lab /etc/netns; do
      mkdir -p "$dir"
      mount -t tmpfs -o mode=0755 recursor-test "$dir"
    done
    ip link set lo up
    export RECURSOR_TEST_NETNS=inside
    require_isolation test "" "run the suite"
    echo "test: running in a network namespace of its own with only loopback up"
    ;;
  *) require_isolation test "" "run the suite" ;; # already inside (scripts/test.sh run from within it)
esac

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

step "fuzzing the message, response, stream, HTTP, control, configuration, trust anchor, root hints and zone file parsers for ${FUZZ_SECONDS:-60} s"
scripts/fuzz.sh "${FUZZ_SECONDS:-60}"

# The whole release preset (tests and benchmarks too, at -O3), so that what `scripts/run.sh` and the
# README's benchmark commands build stays warning-free under -Werror.
step "release build (every target) and bounded dnsperf load test (2 x ${LOAD_SECONDS:-10} s)"
cmake --preset release >/dev/null
cmake --build --preset release
bench/load_dnsperf.sh build/release/recursor

step "all tests passed"
