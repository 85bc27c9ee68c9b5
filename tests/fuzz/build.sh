#!/usr/bin/env bash
# build.sh: configures build-fuzz/ with clang and builds every fuzz target
# into build-fuzz/bin/.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
CC=clang CXX=clang++ cmake -S "$top" -B "$top/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVERITOR_FUZZ=ON \
  -DVERITOR_CONSOLE=OFF -DVERITOR_BENCH=OFF -DVERITOR_TESTS=OFF -DVERITOR_WERROR=ON >/dev/null
cmake --build "$top/build-fuzz" -j"$(nproc)" --target veritor_fuzz
