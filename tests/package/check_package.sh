#!/usr/bin/env bash
# The Debian package as a user gets it: lintian, its desktop entry and metadata, and the app
# unpacked into a scratch root and started from its desktop entry as a launcher does, in a
# session of its own. The console must come up, and quitting must leave nothing running.
# Usage: check_package.sh VERSION        (the package path is in $ZVUI_PACKAGE)
set -uo pipefail
[ -n "${ZVUI_PACKAGE:-}" ] || { echo "no package to check: build one with tools/make-package and set ZVUI_PACKAGE"; exit 77; }
deb="$ZVUI_PACKAGE"
[ -f "$deb" ] || { echo "FAIL: ZVUI_PACKAGE names no file: $deb"; exit 1; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

[ "$(dpkg-deb -f "$deb" Version)" = "$1" ] || fail "Version is '$(dpkg-deb -f "$deb" Version)', not $1"
out="$(lintian --fail-on error "$deb" 2>&1)" || fail "lintian: $out"

root="$(mktemp -d "${TMPDIR:-/tmp}/zvui-package-XXXXXX")"
# Processes running a program from the unpacked tree.
pids_of() {
  for exe in /proc/[0-9]*/exe; do
    target="$(readlink "$exe" 2>/dev/null)" || continue
    case "$target" in "$1"/*) p="${exe#/proc/}"; echo "${p%/exe}" ;; esac
  done
}
cleanup() {
  for pid in $(pids_of "$root"); do kill -KILL "$pid" 2>/dev/null; done
  rm -rf "$root"
}
trap cleanup EXIT
dpkg-deb -x "$deb" "$root"
out="$(desktop-file-validate "$root/usr/share/applications/dev.zvui.ZVui.desktop" 2>&1)" &&
  ! grep -q error <<<"$out" || fail "desktop entry: $out"
out="$(appstreamcli validate --no-net "$root/usr/share/metainfo/dev.zvui.ZVui.metainfo.xml" 2>&1)" ||
  fail "metainfo: $out"

# A session of its own (runtime directory, session bus, configuration), which lasts as long as
# the app; the launcher finds the entry through XDG_DATA_DIRS and its Exec line through PATH.
mkdir -m 700 "$root/run" && mkdir -p "$root/home/.config" && export -f pids_of
# A Wayland display is named relative to the runtime directory: bring its socket along.
if [ -n "${WAYLAND_DISPLAY:-}" ] && [ "${WAYLAND_DISPLAY#/}" = "$WAYLAND_DISPLAY" ] &&
   [ -n "${XDG_RUNTIME_DIR:-}" ]; then
  ln -s "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" "$root/run/$WAYLAND_DISPLAY"
fi
XDG_RUNTIME_DIR="$root/run" HOME="$root/home" XDG_CONFIG_HOME="$root/home/.config" \
  XDG_DATA_DIRS="$root/usr/share:/usr/share" PATH="$root/usr/bin:$PATH" ZVUI_ROOT="$root" \
  dbus-run-session -- bash -c '
    gtk4-launch dev.zvui.ZVui || exit 1
    for _ in $(seq 1 100); do [ -n "$(pids_of "$ZVUI_ROOT/usr/bin")" ] && break; sleep 0.1; done
    while [ -n "$(pids_of "$ZVUI_ROOT/usr/bin")" ]; do sleep 0.2; done' >"$root/launch.log" 2>&1 &
session=$!

# The console is up once its page has opened a terminal: the backend then runs a shell.
app=""; backend=""; shell=""
for _ in $(seq 1 300); do
  app="$(pids_of "$root/usr/bin" | head -1)"
  [ -n "$app" ] && backend="$(pgrep -P "$app" MacTamrikBacken | head -1)"
  [ -n "$backend" ] && shell="$(pgrep -P "$backend" | head -1)"
  [ -n "$shell" ] && break
  sleep 0.2
done
if [ -z "$shell" ]; then
  fail "no console came up in 60 s (app '$app', backend '$backend')"; cat "$root/launch.log"
else
  kill -TERM "$app"
  for _ in $(seq 1 50); do
    left="$(pids_of "$root") $(kill -0 "$shell" 2>/dev/null && echo "$shell (the console's shell)")"
    [ -z "${left// /}" ] && break
    sleep 0.1
  done
  [ -z "${left// /}" ] || fail "still running 5 s after quitting: $left"
fi
wait "$session" 2>/dev/null
[ "$failures" -eq 0 ] || { echo "package check: $failures failure(s)"; exit 1; }
echo "package check: all passed"
