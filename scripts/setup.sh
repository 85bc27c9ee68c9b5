#!/usr/bin/env bash
# setup.sh [run|test] [--yes]: checks that the Debian packages Veritor needs
# are installed and offers to install the missing ones.
#   run   what building and running the programs needs (the default)
#   test  that, and what the tests need (GoogleTest, clang for the fuzz
#         targets, Xvfb and xdotool for the window's tests, iproute2, dpkg-dev)
# It asks before installing (on a terminal), or goes ahead when told to by
# --yes, VERITOR_SETUP_YES=1 or CI=true; it installs with apt-get as root, or
# through sudo. Where it cannot, it says what is missing and how to install
# it, and exits with status 1.
set -euo pipefail

run_packages=(cmake g++ make pkg-config qt6-base-dev libre2-dev)
test_packages=(libgtest-dev iproute2 xvfb xauth xdotool fonts-dejavu-core clang libclang-rt-14-dev)
# dpkg-dev: dpkg-shlibdeps, which finds the Debian package's dependencies (cpack -G DEB).
test_packages+=(dpkg-dev)

purpose=run
consent=${VERITOR_SETUP_YES:-}
[ "${CI:-}" = true ] && consent=1
for argument in "$@"; do
  case $argument in
    run|test) purpose=$argument ;;
    -y|--yes) consent=1 ;;
    -h|--help) sed -n '2,10s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "setup.sh: unknown argument '$argument'" >&2; exit 64 ;;
  esac
done

packages=("${run_packages[@]}")
[ "$purpose" = test ] && packages+=("${test_packages[@]}")

if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
  echo "setup.sh: not a Debian-like system, so the packages are not checked here." >&2
  echo "  Veritor needs CMake 3.25, a C++20 compiler, pkg-config, Qt 6 Widgets and RE2 (README.md lists the packages)." >&2
  exit 0
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

command=(apt-get install -y --no-install-recommends "${missing[@]}")
explain() {
  echo "setup.sh: missing packages: ${missing[*]}" >&2
  echo "  Install them as root with:" >&2
  echo "    apt-get update && ${command[*]}" >&2
}

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    explain
    echo "  (this user is not root and there is no sudo)" >&2
    exit 1
  fi
  as_root=(sudo)
fi

if [ -z "$consent" ]; then
  if [ ! -t 0 ]; then
    explain
    echo "  Or run this again with --yes (VERITOR_SETUP_YES=1) to let it install them." >&2
    exit 1
  fi
  echo "setup.sh: Veritor needs these packages, which are not installed: ${missing[*]}"
  read -r -p "Install them now with ${as_root[*]:+${as_root[*]} }apt-get? [Y/n] " answer
  case $answer in
    ""|[yY]*) ;;
    *) explain; exit 1 ;;
  esac
elif [ ${#as_root[@]} -gt 0 ] && [ ! -t 0 ]; then
  as_root=(sudo -n)  # no terminal to ask for a password on
fi

echo "setup.sh: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
if ! "${as_root[@]}" apt-get update -q || ! "${as_root[@]}" "${command[@]}"; then
  explain
  exit 1
fi
