#!/usr/bin/env bash
# The rule: tests, benchmarks and demos touch only loopback and the network namespaces they create.
# A network namespace keeps to it when none of its routes (every table, IPv4 and IPv6) goes through a
# device other than lo and no device but lo is up: then nothing sent in it can leave the machine.
#
# Sourced (scripts/test.sh, scripts/lab.sh try, bench/*.sh), it defines:
#   isolation_problems [NETNS]      prints the routes and devices of network namespace NETNS (default:
#                                   this process's) that break the rule; true when there are none
#   require_isolation WHO [NETNS [WHAT]]  exits with status 1 and a message naming them unless NETNS
#                                   keeps to it ("WHO: refusing to WHAT", default: start the resolver)
# Run, it is ctest's "isolation" test: it fails when the namespace the suite runs in has such a route or
# device, and is skipped (status 77) without root, which cannot make a namespace of its own.

isolation_problems() { # [netns]
  local run=() output status=0
  [ -n "${1:-}" ] && run=(ip netns exec "$1")
  command -v ip >/dev/null || { echo "ip (iproute2) is not installed: cannot tell"; return 1; }
  output=$(
    {
      "${run[@]}" ip -o -4 route show table all || echo "cannot list the IPv4 routes"
      "${run[@]}" ip -o -6 route show table all || echo "cannot list the IPv6 routes"
    } 2>&1 | awk '/^cannot / { print; next } { for (i = 1; i < NF; i++) if ($i == "dev" && $(i + 1) != "lo") { print "route: " $0; next } }'
    "${run[@]}" ip -o link show up 2>&1 |
      awk -F': ' '!/^[0-9]+: / { print; next } $2 !~ /^lo(@|$)/ { sub(/\\.*/, ""); print "device up: " $0 }'
  ) || status=$?
  [ -z "$output" ] && [ $status -eq 0 ] && return 0
  printf '%s\n' "${output:-cannot list the routes}"
  return 1
}

require_isolation() { # who [netns [what]]
  local problems
  problems=$(isolation_problems "${2:-}") && return 0
  {
    echo "$1: refusing to ${3:-start the resolver}: network namespace ${2:-of this process} reaches beyond loopback:"
    printf '%s\n' "$problems" | sed 's/^/  /'
    echo "$1: the resolver and the tests run only where no device but lo is up and every route is on lo (a lab of scripts/lab.sh, scripts/lab.sh bare, scripts/test.sh)."
  } >&2
  exit 1
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  if problems=$(isolation_problems); then
    echo "isolation: only loopback here: $(ip -o -4 route show table all | wc -l) IPv4 and $(ip -o -6 route show table all | wc -l) IPv6 routes, all on lo"
    exit 0
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIPPED: NOT ISOLATED: without root the suite runs in the host's network namespace, which reaches the network:"
    printf '%s\n' "$problems" | sed 's/^/  /'
    exit 77
  fi
  echo "isolation: FAILED: this run of the suite can reach the network; what its namespace has beyond loopback:"
  printf '%s\n' "$problems" | sed 's/^/  /'
  echo "isolation: tests may touch only loopback and the namespaces they create. Run the suite with scripts/test.sh,"
  echo "isolation: which runs it in a network namespace of its own, or inside one, e.g."
  echo "isolation:   unshare --net --mount sh -c 'ip link set lo up && ctest --preset debug'"
  exit 1
fi
