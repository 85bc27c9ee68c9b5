#!/usr/bin/env bash
# smoke.sh: builds the fuzz targets and runs each for 3 seconds from its seed
# corpus in tests/fuzz/corpus/<target>/, which also holds every input that
# once found a fault. A crash, hang or leak fails the run; the input is left
# in build-fuzz/findings/.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
"$top/tests/fuzz/build.sh" >/dev/null
findings=$top/build-fuzz/findings
mkdir -p "$findings"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
passed=0
for seeds in "$top"/tests/fuzz/corpus/*/; do
  target=$(basename "$seeds")
  mkdir -p "$scratch/$target"
  # New inputs go to the first corpus folder, never into the seeds.
  if ! "$top/build-fuzz/bin/$target" -seed=1 -max_total_time=3 -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$findings/$target-" "$scratch/$target" "$seeds" >"$scratch/$target.log" 2>&1; then
    tail -n 40 "$scratch/$target.log"
    echo "$target: FAILED; the input is in $findings/"
    exit 1
  fi
  echo "$target: $(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/$target.log") inputs, no fault"
  passed=$((passed + 1))
done
echo "fuzz: $passed passed, 0 failed"
