#!/usr/bin/env bash
# The Debian package as a user gets it: its control fields and files, lintian, and the app
# unpacked into a scratch root and started from its desktop entry the way a launcher does,
# in a desktop session of its own. The console of the packaged backend must come up, and
# quitting must leave nothing of the package running.
# Usage: check_package.sh VERSION        (the package path is in $ZVUI_PACKAGE)
set -uo pipefail
version="$1"
skip=77
if [ -z "${ZVUI_PACKAGE:-}" ]; then
  echo "no package to check: build one with tools/make-package and set ZVUI_PACKAGE"
  exit $skip
fi
deb="$ZVUI_PACKAGE"
if [ ! -f "$deb" ]; then
  echo "FAIL: ZVUI_PACKAGE names no file: $deb"
  exit 1
fi
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = zvui ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture $(field Architecture)"
[ "$(basename "$deb")" = "zvui_${version}_$(dpkg --print-architecture).deb" ] || fail "named $deb"
depends="$(field Depends)"
for needed in libc6 libgtkmm-4.0-0 libwebkitgtk-6.0-4 libsoup-3.0-0 libgtop-2.0-11 procps \
  bubblewrap xdg-dbus-proxy; do
  grep -Eq "(^|, )${needed}( |,|$)" <<<"$depends" || fail "Depends lacks $needed: $depends"
done

expected="./usr/bin/zvui
./usr/lib/zvui/BrandIcon.png
./usr/lib/zvui/BrandWordmark.png
./usr/lib/zvui/MacTamrikBackend
./usr/lib/zvui/zvui-backend-guard
./usr/share/applications/dev.zvui.ZVui.desktop
./usr/share/doc/zvui/changelog.gz
./usr/share/doc/zvui/copyright
./usr/share/icons/hicolor/256x256/apps/dev.zvui.ZVui.png
./usr/share/icons/hicolor/scalable/apps/dev.zvui.ZVui.svg
./usr/share/man/man1/zvui.1.gz
./usr/share/metainfo/dev.zvui.ZVui.metainfo.xml"
files="$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)"
[ "$files" = "$expected" ] || fail "files differ:
$(diff <(echo "$expected") <(echo "$files"))"

lintian_out="$(lintian --fail-on error "$deb" 2>&1)" || fail "lintian: $lintian_out"
lintian_out="$(grep -v 'running with root privileges' <<<"$lintian_out")"
echo "lintian: ${lintian_out:-clean}"

root="$(mktemp -d "${TMPDIR:-/tmp}/zvui-package-XXXXXX")"
cleanup() {
  for pid in $(pids_of "$root"); do kill -KILL "$pid" 2>/dev/null; done
  rm -rf "$root"
}
# Processes running a program from the unpacked tree.
pids_of() {
  for exe in /proc/[0-9]*/exe; do
    target="$(readlink "$exe" 2>/dev/null)" || continue
    case "$target" in "$1"/*) p="${exe#/proc/}"; echo "${p%/exe}" ;; esac
  done
}
trap cleanup EXIT
dpkg-deb -x "$deb" "$root"
# The desktop entry, metadata and images, as a desktop and a software centre read them.
share="$root/usr/share"
entry="$share/applications/dev.zvui.ZVui.desktop"
metainfo="$share/metainfo/dev.zvui.ZVui.metainfo.xml"
out="$(desktop-file-validate "$entry" 2>&1)" && ! grep -q error <<<"$out" || fail "desktop entry: $out"
for key in Exec=zvui Icon=dev.zvui.ZVui Name=ZVui Type=Application; do
  grep -qx "$key" "$entry" || fail "the desktop entry lacks $key"
done
out="$(appstreamcli validate --no-net "$metainfo" 2>&1)" || fail "metainfo: $out"
# The validator cannot see that the launchable names the entry we install.
grep -q ">dev.zvui.ZVui.desktop</launchable>" "$metainfo" || fail "the metainfo's launchable"
grep -q "release version=\"$version\"" "$metainfo" || fail "the metainfo does not list release $version"
for image in usr/lib/zvui/BrandIcon.png:256x256 usr/lib/zvui/BrandWordmark.png:640x224 \
  usr/share/icons/hicolor/256x256/apps/dev.zvui.ZVui.png:256x256; do
  size="$(identify -format '%wx%h' "$root/${image%:*}" 2>&1)"
  [ "$size" = "${image#*:}" ] || fail "${image%:*} is $size, not ${image#*:}"
done
rsvg-convert --width 64 --output "$root/check.png" "$share/icons/hicolor/scalable/apps/dev.zvui.ZVui.svg" ||
  fail "the scalable icon does not render"

# A session of its own: runtime directory, session bus, configuration; the launcher finds the
# entry through XDG_DATA_DIRS and its Exec line through PATH, as with an installed package.
# The bus lasts as long as the app.
mkdir -m 700 "$root/run"
# A Wayland display is named relative to the runtime directory: bring its socket along.
if [ -n "${WAYLAND_DISPLAY:-}" ] && [ "${WAYLAND_DISPLAY#/}" = "$WAYLAND_DISPLAY" ] &&
   [ -n "${XDG_RUNTIME_DIR:-}" ]; then
  ln -s "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" "$root/run/$WAYLAND_DISPLAY"
fi
mkdir -p "$root/home/.config"
launch_log="$root/launch.log"
export -f pids_of
XDG_RUNTIME_DIR="$root/run" HOME="$root/home" XDG_CONFIG_HOME="$root/home/.config" \
  XDG_DATA_DIRS="$root/usr/share:/usr/share" PATH="$root/usr/bin:$PATH" ZVUI_ROOT="$root" \
  dbus-run-session -- bash -c '
    gtk4-launch dev.zvui.ZVui || exit 1
    for _ in $(seq 1 100); do [ -n "$(pids_of "$ZVUI_ROOT/usr/bin")" ] && break; sleep 0.1; done
    while [ -n "$(pids_of "$ZVUI_ROOT/usr/bin")" ]; do sleep 0.2; done' \
  >"$launch_log" 2>&1 &
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
  fail "no console came up in 60 s (app '${app}', backend '${backend}')"
  cat "$launch_log"
else
  echo "console up: app $app, backend $backend, shell $shell"
  kill -TERM "$app"
  for _ in $(seq 1 50); do
    [ -z "$(pids_of "$root")" ] && ! kill -0 "$shell" 2>/dev/null && break
    sleep 0.1
  done
  left="$(pids_of "$root")"
  kill -0 "$shell" 2>/dev/null && left="$left $shell (the console's shell)"
  [ -z "${left// /}" ] || fail "still running 5 s after quitting: $left"
fi
wait "$session" 2>/dev/null

if [ "$failures" -ne 0 ]; then
  echo "package check: $failures failure(s)"
  exit 1
fi
echo "package check: all passed"
