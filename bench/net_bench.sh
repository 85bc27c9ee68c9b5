#!/usr/bin/env bash
# Runs bench_net inside a private network namespace (no root needed), where
# the detection's broadcasts loop back on lo and reach nothing else.
set -euo pipefail
bin=${VERITOR_BIN:-$(cd "$(dirname "$0")/.." && pwd)/build/bin}
exec unshare -rn sh -c 'ip link set lo up && ip route add default dev lo src 127.0.0.1 && exec "$0" "$@"' \
  "$bin/bench_net" "$@"
