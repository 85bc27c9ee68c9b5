#!/usr/bin/env bash
# package_test.sh BUILD_DIR VERSION: makes the Debian package of the build with
# `cpack -G DEB`, installs it into a scratch root with dpkg --root, checks its
# name, files and dependencies (each installed on this machine in a version
# that satisfies it), runs the three programs from the scratch root without a
# display, removes the package and checks that nothing of it is left.
# Exits 77 (skipped) with the reason where this machine has no dpkg tools.
set -euo pipefail
build=$1
version=$2
for tool in dpkg dpkg-deb dpkg-query dpkg-shlibdeps cpack; do
  command -v "$tool" >/dev/null || { echo "SKIP: no $tool here (dpkg and dpkg-dev make Debian packages)"; exit 77; }
done
# dpkg installs files owned by root: run as root, in a user namespace of our own when not root.
if [ "$(id -u)" -ne 0 ]; then
  unshare -r true 2>/dev/null || { echo "SKIP: not root and no user namespace for dpkg --root"; exit 77; }
  exec unshare -r "$0" "$@"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack -G DEB"; }
deb=$work/out/veritor_${version}-1_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { ls "$work/out"; fail "no $(basename "$deb")"; }

# Found from the programs by dpkg-shlibdeps, not listed by hand: Qt's widgets and the C++ library at least.
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libstdc++6 libqt6widgets6; do
  [[ ", $depends" == *", $library "* || ", $depends" == *", $library,"* || ", $depends" == *", $library" ]] ||
    fail "Depends lacks $library: $depends"
done
# Every dependency is met here (one alternative of each, in a version it accepts).
IFS=',' read -r -a clauses <<<"$depends"
for clause in "${clauses[@]}"; do
  met=
  IFS='|' read -r -a alternatives <<<"$clause"
  for alternative in "${alternatives[@]}"; do
    read -r package relation wanted <<<"$(echo "$alternative" | tr -d '()')"
    installed=$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null) || continue
    if [ -z "${relation:-}" ] || dpkg --compare-versions "$installed" "$relation" "$wanted"; then met=1; break; fi
  done
  [ -n "$met" ] || fail "dependency not met on this machine: $clause"
done

root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg=(dpkg --root="$root" --force-depends --force-script-chrootless --log=/dev/null)
"${dpkg[@]}" -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i"; }

expected="./usr/bin/veritor ./usr/bin/veritor-cli ./usr/bin/veritor-sim
./usr/share/applications/veritor.desktop ./usr/share/bash-completion/completions/veritor-cli
./usr/share/doc/veritor/LICENSE ./usr/share/doc/veritor/README.md ./usr/share/doc/veritor/changelog.Debian.gz
./usr/share/doc/veritor/copyright ./usr/share/icons/hicolor/scalable/apps/veritor.svg
./usr/share/man/man1/veritor-cli.1.gz ./usr/share/man/man1/veritor-sim.1.gz ./usr/share/man/man1/veritor.1.gz"
files=$(cd "$root" && find . -path ./var -prune -o -type f -print | sort | tr '\n' ' ')
[ "$files" = "$(echo $expected) " ] || fail "the package holds: $files"
grep -q "^License: Expat" "$root/usr/share/doc/veritor/copyright" || fail "the copyright file names no licence"
grep -q "MIT licence" "$root/usr/share/doc/veritor/copyright" || fail "the copyright file does not say MIT"

# The programs run from the scratch root, the window's --help without a display.
out=$("$root/usr/bin/veritor-cli" --version) || fail "veritor-cli --version"
[ "$out" = "veritor-cli $version" ] || fail "veritor-cli --version said: $out"
out=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$root/usr/bin/veritor" --help) || fail "veritor --help"
[[ $out == "usage: veritor "* ]] || fail "veritor --help said: $out"
out=$("$root/usr/bin/veritor-sim" --help) || fail "veritor-sim --help"
[[ $out == "usage: veritor-sim "* ]] || fail "veritor-sim --help said: $out"

"${dpkg[@]}" --purge veritor >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg --purge"; }
left=$(cd "$root" && find . -mindepth 1 -not -path './var/lib/dpkg*' -not -path ./var -not -path ./var/lib | sort)
[ -z "$left" ] || fail "left after removal: $left"
left=$(cd "$root/var/lib/dpkg/info" && ls | grep -v '^format$' || true)
[ -z "$left" ] || fail "dpkg still holds: $left"
echo "$(basename "$deb"): installed, ran and removed; Depends: $depends"
