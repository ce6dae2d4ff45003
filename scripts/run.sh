#!/usr/bin/env bash
# Sets up, builds (release) and runs the resolver; arguments are passed to it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
exec build/release/recursor "$@"
