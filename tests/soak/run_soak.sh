#!/usr/bin/env bash
# The long fault soak: REQUESTS requests on each link (serial over a pty,
# SDNP, TCP and UDP on loopback) against veritor-sim with every kind of
# fault in about 5% of the exchanges, and a Z report of Z_LINES lines read
# over the serial link with faults. The UDP run has a network namespace of
# its own, since the UDP link holds port 9101 and another console on the
# machine would keep it from connecting. The five runs go side by side, niced;
# each prints its counts, and the console's log lines for every failed or
# damaged request go to the log folder named at the end.
# Usage: tests/soak/run_soak.sh [REQUESTS [SEED]]   (VERITOR_BIN: the programs)
set -uo pipefail
bin=${VERITOR_BIN:-$(cd "$(dirname "$0")/../.." && pwd)/build/bin}
requests=${1:-10000}
seed=${2:-2024}
lines=${Z_LINES:-10000}
logs=$(mktemp -d /tmp/veritor-soak-logs-XXXXXX)
export VERITOR_BIN=$bin

declare -A runs=(
  [serial]="--link serial --requests $requests"
  [sdnp]="--link sdnp --address 127.0.0.81 --requests $requests"
  [tcp]="--link tcp --address 127.0.0.82 --requests $requests"
  [udp]="--link udp --address 127.0.0.83 --requests $requests"
  [z-report]="--link serial --z-lines $lines"
)
declare -A pids
for name in "${!runs[@]}"; do
  wrap=()
  [[ $name == udp ]] && wrap=(unshare -rn sh -c 'ip link set lo up && exec "$0" "$@"')
  # shellcheck disable=SC2086
  nice -n 10 "${wrap[@]}" "$bin/soak" ${runs[$name]} --seed "$seed" --log "$logs/$name.log" >"$logs/$name.out" 2>&1 &
  pids[$name]=$!
done
status=0
for name in serial sdnp tcp udp z-report; do
  wait "${pids[$name]}" || status=1
  cat "$logs/$name.out"
done
echo "logs: $logs"
exit $status
