#!/usr/bin/env bash
# Clicks real buttons of the real window under Xvfb: "Connect" on COM1 (the simulated device on a pty), types a
# request and Space into the window, runs a long batch that Esc stops with the link still open, then "Exit";
# checks the log and that the window saved its picture. Usage: xvfb_click_test.sh BIN_DIR [SCREENSHOT_PATH]
set -euo pipefail
if [ -z "${VERITOR_UNDER_XVFB:-}" ]; then
  VERITOR_UNDER_XVFB=1 exec xvfb-run -a -s "-screen 0 800x600x24 -nolisten tcp" "$0" "$@"
fi
bin=$1
work=$(mktemp -d)
shot=${2:-$work/window.png}
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

"$bin/veritor-sim" --link "$work/com1" >/dev/null &
for _ in $(seq 100); do [ -e "$work/com1" ] && break; sleep 0.05; done
export VERITOR_COM1="$work/com1" XDG_RUNTIME_DIR="$work" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=xcb

"$bin/veritor" --echo-log --screenshot "$shot" >"$work/log" 2>"$work/err" &
console=$!
window=$(timeout 20 xdotool search --sync --name "^Veritor v2.24n$" | head -n 1)

# Dialog units to pixels: x * 1.5, y * 1.625; the centre of a button, below the menu bar (the window's height
# beyond the dialog's 419 pixels).
top=$(( $(xdotool getwindowgeometry "$window" | sed -n 's/.*Geometry: [0-9]*x\([0-9]*\).*/\1/p') - 419 ))
click() { xdotool mousemove --window "$window" "$1" $(( $2 + top )) click 1; }
wait_for_log() {
  for _ in $(seq 200); do grep -qF "$1" "$work/log" && return 0; sleep 0.05; done
  echo "never logged: $1"; cat "$work/log" "$work/err"; return 1
}
wait_for_log "Veritor started"
click 358 405   # "Connect" at 218,242 size 41x14
wait_for_log "Device info: [VERITOR-SIM/2.24/SN 000001]"
# The keys now go to the command field, not to a button: "?" and Enter send a request, Space presses nothing.
xdotool type --window "$window" "?"
xdotool key --window "$window" Return space
wait_for_log "Request frame [?]"
sleep 0.3
kill -0 "$console" 2>/dev/null || { echo "a key closed the window"; exit 1; }
# The real event loop takes Esc during a batch: it stops after the line in flight, and the link stays open.
for _ in $(seq 20000); do echo "?"; done >"$work/batch.txt"
click 217 376   # the batch file field at 4,225 size 282x13
xdotool key --window "$window" ctrl+a && xdotool type --window "$window" "$work/batch.txt"
click 491 377   # "Run batch" at 307,225 size 41x14
wait_for_log "L00050> ?"
xdotool key --window "$window" Escape
wait_for_log "Batch stopped in line"
grep -qF "L20000> " "$work/log" && { echo "Esc did not stop the batch"; exit 1; }
click 358 405   # "Connect", now "Disconnect"
wait_for_log "Closed port COM1"
click 511 405   # "Exit" at 307,242 size 67x14
timeout 10 tail --pid="$console" -s 0.05 -f /dev/null || { echo "the window did not close on Exit"; exit 1; }
wait "$console"
[ -s "$shot" ] || { echo "no screenshot"; exit 1; }

# A picture that cannot be written when the window closes (its path is a folder): the path on stderr, status 1.
mkdir "$work/folder.png"
"$bin/veritor" --echo-log --screenshot "$work/folder.png" >"$work/log" 2>"$work/err" &
console=$!
window=$(timeout 20 xdotool search --sync --name "^Veritor v2.24n$" | head -n 1)
wait_for_log "Veritor started"
click 511 405
status=0
wait "$console" || status=$?
[ "$status" -eq 1 ] || { echo "an unwritten screenshot ended with status $status"; cat "$work/err"; exit 1; }
grep -qF "the screenshot could not be written to '$work/folder.png'" "$work/err" ||
  { echo "the unwritten screenshot was not named:"; cat "$work/err"; exit 1; }
