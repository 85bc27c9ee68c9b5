#!/usr/bin/env bash
# fuzz_long.sh [MINUTES] [TARGET...]: runs every fuzz target (or those named)
# for MINUTES minutes (default 10), at most FUZZ_JOBS (default 2) at a time,
# under nice. Each corpus grows in build-fuzz/corpus/<target>/ from the seeds
# in tests/fuzz/corpus/<target>/; inputs that crash, hang or leak go to
# build-fuzz/findings/<target>/. Prints per target the executions, coverage
# and features at the end, and the findings.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
minutes=${1:-10}
shift || true
jobs=${FUZZ_JOBS:-2}
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for seeds in "$top"/tests/fuzz/corpus/*/; do targets+=("$(basename "$seeds")"); done
fi

"$top/tests/fuzz/build.sh" >/dev/null
build=$top/build-fuzz
mkdir -p "$build/logs"

run_target() {
  local target=$1
  mkdir -p "$build/corpus/$target" "$build/findings/$target"
  nice -n 10 "$build/bin/$target" -max_total_time=$((minutes * 60)) -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$build/findings/$target/" "$build/corpus/$target" "$top/tests/fuzz/corpus/$target" \
    >"$build/logs/$target.log" 2>&1 || true
}

for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
  echo "$(date +%T) $target: ${minutes} min"
  run_target "$target" &
done
wait

printf '%-18s %12s %7s %8s %8s  %s\n' target executions cov ft corpus findings
for target in "${targets[@]}"; do
  log=$build/logs/$target.log
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -n 1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corpus=$(find "$build/corpus/$target" -type f | wc -l)
  found=$(find "$build/findings/$target" -type f | wc -l)
  printf '%-18s %12s %7s %8s %8s  %s\n' "$target" "${executions:-?}" "${cov:-?}" "${ft:-?}" "$corpus" "$found"
  if [ "$found" -gt 0 ]; then
    grep -m1 -E 'ERROR: |broken: ' "$log" | sed 's/^/    /' || true
    find "$build/findings/$target" -type f | sed 's/^/    /'
  fi
done
