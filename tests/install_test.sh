#!/usr/bin/env bash
# `cmake --install BUILD --prefix SCRATCH`, then checks what landed where: the daemon in sbin (it runs
# and prints its version; nothing else is started), the manual page (groff finds nothing to warn
# about), the default configuration byte for byte, and the systemd unit rewritten to name the
# installed binary and configuration.
set -euo pipefail
build=${1:?usage: install_test.sh BUILD_DIR}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
prefix=$(mktemp -d /tmp/recursor-install.XXXXXX)
trap 'rm -rf "$prefix"' EXIT

fail() { echo "install_test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

sbin="$prefix/sbin/recursor"
[ -x "$sbin" ] || fail "no executable $sbin"
version=$("$sbin" --version)
[ "$version" = "dovu-recursor 0.1.11" ] || fail "$sbin --version printed '$version'"

man_page="$prefix/share/man/man8/recursor.8"
[ -f "$man_page" ] || fail "no manual page $man_page"
warnings=$(groff -man -Tutf8 -z -ww "$man_page" 2>&1)
[ -z "$warnings" ] || fail "groff warns about $man_page: $warnings"

conf="$prefix/etc/recursor/recursor.conf"
cmp -s "$conf" "$source_dir/dist/recursor.conf" || fail "$conf differs from dist/recursor.conf"

unit="$prefix/lib/systemd/system/recursor.service"
[ -f "$unit" ] || fail "no unit $unit"
grep -qx "ExecStart=$sbin --config $conf --control-socket /run/recursor/control.sock" "$unit" \
  || fail "the unit's ExecStart does not name the installed files: $(grep ExecStart= "$unit")"

echo "install_test: 4 passed, 0 failed"
