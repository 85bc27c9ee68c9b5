#!/usr/bin/env bash
# Builds Veritor and starts the console window. With no device named
# (VERITOR_COM1 not set) it first starts the simulated device: on a pty for
# COM1, and for SDNP, TCP and UDP on the first free address of 127.0.0.2,
# 127.0.0.3, ... (so a second ./run.sh beside a running one gets its own);
# the simulator stops when the window closes. "./run.sh cli ARGS..." runs
# veritor-cli instead of the window.
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
cd "$top"

scripts/setup.sh run
programs=(veritor veritor-cli veritor-sim)
fresh=0
for program in "${programs[@]}"; do [ -x "build/bin/$program" ] || fresh=1; done
if [ $fresh -eq 1 ]; then
  echo "run.sh: building Veritor in build/ (the first build takes a few minutes)" >&2
  scripts/build.sh build -- "${programs[@]}" >&2
else
  VERITOR_BUILD_QUIET=1 scripts/build.sh build -- "${programs[@]}"
fi

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

# Starts veritor-sim on 127.0.0.$1; true once it serves every link, false
# when it ended (its address taken by another simulator) or did not start.
start_simulator() {
  local address=127.0.0.$1
  : >"$work/sim.out"
  build/bin/veritor-sim --link "$work/com1" --sdnp "$address" --tcp "$address" --udp "$address" \
    >"$work/sim.out" 2>"$work/sim.err" &
  sim=$!
  for _ in $(seq 100); do
    [ "$(wc -l <"$work/sim.out")" -ge 4 ] && return 0
    kill -0 "$sim" 2>/dev/null || break
    sleep 0.05
  done
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  sim=
  return 1
}

if [ -z "${VERITOR_COM1:-}" ]; then
  work=$(mktemp -d /tmp/veritor-run.XXXXXX)
  sim=
  trap '[ -z "$sim" ] || { kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; }; rm -rf "$work"' EXIT
  for host in $(seq 2 40); do
    start_simulator "$host" && break
  done
  if [ -z "$sim" ]; then
    echo "run.sh: the simulated device did not start:" >&2
    cat "$work/sim.err" >&2
    exit 1
  fi
  echo "run.sh: simulated device on COM1 ($work/com1) and on 127.0.0.$host for Network, TCP and UDP" >&2
  export VERITOR_COM1=$work/com1
fi
set +e
"${program[@]}"
status=$?
set -e
exit $status
