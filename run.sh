#!/usr/bin/env bash
# Builds Veritor and starts the console window. With no device named
# (VERITOR_COM1 not set) it first starts the simulated device: on a pty for
# COM1, and for SDNP, TCP and UDP on 127.0.0.2; the simulator stops when the
# window closes. "./run.sh cli ARGS..." runs veritor-cli instead of the window.
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
cd "$top"

scripts/setup.sh
scripts/build.sh build -- veritor veritor-cli veritor-sim >/dev/null

program=(build/bin/veritor)
if [ "${1:-}" = cli ]; then
  shift
  [ $# -gt 0 ] || set -- --details v "?"
  program=(build/bin/veritor-cli "$@")
elif [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run.sh: no display to show the window on." >&2
  echo "  Run it on a desktop, or under a virtual one: xvfb-run -a ./run.sh" >&2
  echo "  Or use the command-line console: ./run.sh cli --details v \"?\"" >&2
  exit 1
fi

if [ -z "${VERITOR_COM1:-}" ]; then
  work=$(mktemp -d /tmp/veritor-run.XXXXXX)
  build/bin/veritor-sim --link "$work/com1" --sdnp 127.0.0.2 --tcp 127.0.0.2 --udp 127.0.0.2 >"$work/sim.log" &
  sim=$!
  trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true; rm -rf "$work"' EXIT
  for _ in $(seq 100); do [ -e "$work/com1" ] && break; sleep 0.05; done
  [ -e "$work/com1" ] || { echo "run.sh: the simulated device did not start" >&2; exit 1; }
  echo "run.sh: simulated device on COM1 ($work/com1) and on 127.0.0.2 for Network, TCP and UDP" >&2
  export VERITOR_COM1=$work/com1
fi
set +e
"${program[@]}"
status=$?
set -e
exit $status
