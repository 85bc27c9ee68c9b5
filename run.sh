#!/usr/bin/env bash
# Builds Veritor and runs veritor-cli. With no device named (VERITOR_COM1 not
# set) it starts the simulated device on a pty for COM1 first, and stops it
# afterwards. Arguments go to veritor-cli; with none it reads the device's
# information and status.
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
cd "$top"

scripts/setup.sh
scripts/build.sh build -DVERITOR_TESTS=OFF -DVERITOR_BENCH=OFF >/dev/null

[ $# -gt 0 ] || set -- --details v "?"

if [ -z "${VERITOR_COM1:-}" ]; then
  link=$(mktemp -u /tmp/veritor-com1.XXXXXX)
  build/bin/veritor-sim --link "$link" >/dev/null &
  sim=$!
  trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true' EXIT
  for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done
  [ -e "$link" ] || { echo "run.sh: the simulated device did not start" >&2; exit 1; }
  echo "run.sh: simulated device on $link (COM1)" >&2
  export VERITOR_COM1=$link
fi
set +e
build/bin/veritor-cli "$@"
status=$?
set -e
exit $status
