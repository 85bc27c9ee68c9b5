#!/usr/bin/env bash
# build.sh DIR [cmake options...] [-- targets...]: configures DIR and builds
# the targets (everything when none are named), showing the build's progress.
# VERITOR_BUILD_QUIET=1 keeps the output unless the build fails.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
options=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do options+=("$1"); shift; done
[ $# -gt 0 ] && shift
targets=()
for target in "$@"; do targets+=(--target "$target"); done
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
build() {
  cmake -S "$top" -B "$top/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "${options[@]}" >/dev/null
  cmake --build "$top/$dir" -j"$(nproc)" "${targets[@]}"
}
if [ -n "${VERITOR_BUILD_QUIET:-}" ]; then
  log=$(mktemp)
  trap 'rm -f "$log"' EXIT
  build >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
else
  build
fi
