#!/usr/bin/env bash
# Installs what building and testing Veritor needs on Debian 12, when missing.
set -euo pipefail

packages=(cmake g++ make libgtest-dev qt6-base-dev iproute2 xvfb xauth xdotool fonts-dejavu-core
          clang libclang-rt-14-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
