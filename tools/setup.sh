#!/usr/bin/env bash
# Installs the Debian packages the build needs, only when one is missing.
#   bash tools/setup.sh          everything: the server, the tests and the benchmarks
#   bash tools/setup.sh runtime  only what building and running the server needs
#   bash tools/setup.sh fuzz     everything, and clang with its sanitizer runtimes for fuzz/
set -euo pipefail
pkgs=(g++ cmake ninja-build pkg-config libsystemd-dev libpugixml-dev libexpat1-dev liblua5.4-dev libsqlite3-dev)
if [ "${1:-all}" != "runtime" ]; then
  pkgs+=(libgtest-dev libgmock-dev libbenchmark-dev dbus python3-dbus python3-pip)
  # tools/package_test.sh: building the Debian packages (debian/) and checking them.
  pkgs+=(dpkg-dev debhelper dh-python lintian)
fi
if [ "${1:-all}" = "fuzz" ]; then
  pkgs+=(clang libclang-rt-14-dev)
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
