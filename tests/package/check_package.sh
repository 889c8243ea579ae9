#!/usr/bin/env bash
# The Debian package passes the validators, and the app, unpacked into a scratch root and
# started from its desktop entry in a session of its own, brings the console up.
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
trap 'kill -KILL $(pids_of "$root") 2>/dev/null; rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
out="$(desktop-file-validate "$root/usr/share/applications/dev.zvui.ZVui.desktop" 2>&1)" &&
  ! grep -q error <<<"$out" || fail "desktop entry: $out"
out="$(appstreamcli validate --no-net "$root/usr/share/metainfo/dev.zvui.ZVui.metainfo.xml" 2>&1)" ||
  fail "metainfo: $out"

# A session as long as the app; the entry is found through XDG_DATA_DIRS, its Exec line through
# PATH, and a Wayland display named relative to the runtime directory through a link to it.
mkdir -m 700 "$root/run" && mkdir -p "$root/home/.config" && export -f pids_of
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

# The console is up once its page has opened a terminal: the backend then runs a shell.
app=""; backend=""; shell=""
for _ in $(seq 1 300); do
  app="$(pids_of "$root/usr/bin" | head -1)"
  [ -n "$app" ] && backend="$(pgrep -P "$app" MacTamrikBacken | head -1)"
  [ -n "$backend" ] && shell="$(pgrep -P "$backend" | head -1)"
  [ -n "$shell" ] && break
  sleep 0.2
done
[ -n "$shell" ] || { fail "no console came up in 60 s (app '$app', backend '$backend')"; cat "$root/launch.log"; }
[ "$failures" -eq 0 ] || { echo "package check: $failures failure(s)"; exit 1; }
echo "package check: all passed"
