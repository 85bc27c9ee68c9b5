#!/usr/bin/env bash
# Builds Veritor and runs every test: once in build/, once more in build-asan/
# with AddressSanitizer and UndefinedBehaviorSanitizer, then each fuzz target
# for a few seconds in build-fuzz/. Exits non-zero on any failure.
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
cd "$top"

scripts/setup.sh test
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}

echo "== build/"
scripts/build.sh build -DVERITOR_TESTS=ON -DVERITOR_BENCH=ON -DVERITOR_CONSOLE=ON -DVERITOR_WERROR=ON
(cd build && ctest --output-on-failure -j2 --timeout 300)

echo "== build-asan/ (AddressSanitizer, UndefinedBehaviorSanitizer)"
scripts/build.sh build-asan -DVERITOR_SANITIZE=ON -DVERITOR_TESTS=ON -DVERITOR_BENCH=OFF -DVERITOR_CONSOLE=ON \
  -DVERITOR_WERROR=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  LSAN_OPTIONS=suppressions="$top/tests/lsan.supp" \
  ctest --output-on-failure -j2 --timeout 300)

echo "== build-fuzz/ (libFuzzer targets with clang, 3 s each from their seeds)"
tests/fuzz/smoke.sh
