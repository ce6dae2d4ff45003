#!/usr/bin/env bash
# Installs every build and test dependency on Debian 12 with apt-get.
# Idempotent: when everything is present it returns at once and prints nothing.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libssl-dev libgtest-dev libgmock-dev libbenchmark-dev libboost-context-dev libknot-dev libnghttp2-dev
  clang-16 libclang-rt-16-dev clang-format
  python3-dnspython
  bind9-dnsutils bind9-utils knot-dnsutils dnsperf
  prometheus socat netcat-openbsd curl
  iproute2 iptables procps
  nsd
  openssl systemd dnsdist
  groff-base
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}" >&2
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >/dev/null
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
