#!/usr/bin/env bash
# build.sh DIR [cmake options...] [-- targets...]: configures DIR and builds
# the targets (everything when none are named).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
options=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do options+=("$1"); shift; done
[ $# -gt 0 ] && shift
targets=()
for target in "$@"; do targets+=(--target "$target"); done
cmake -S "$top" -B "$top/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
cmake --build "$top/$dir" -j"$(nproc)" "${targets[@]}"
