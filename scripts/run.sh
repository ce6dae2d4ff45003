#!/usr/bin/env bash
# Sets up, builds (release) and runs the resolver; arguments are passed to it.
# Progress goes to standard error; a failing step shows its own output and stops here.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { printf 'run: %s\n' "$*" >&2; }

# Shows a step's output only when it fails, so a working build stays quiet and a broken one explains itself.
quietly() {
  local log
  log=$(mktemp)
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    say "failed: $*"
    exit 1
  fi
  rm -f "$log"
}

say "checking dependencies (scripts/setup.sh)"
scripts/setup.sh
if [ ! -f build/release/build.ninja ]; then
  say "configuring the release build (cmake --preset release)"
fi
quietly cmake --preset release
if [ -x build/release/recursor ]; then
  say "building build/release/recursor"
else
  say "building build/release/recursor (a first build takes several minutes)"
fi
quietly cmake --build --preset release --target recursor
exec build/release/recursor "$@"
