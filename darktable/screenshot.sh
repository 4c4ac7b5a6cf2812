#!/usr/bin/env bash
# Starts darktable's GUI under Xvfb with the Kadro script enabled, as a user
# enables it (a link in the configuration's lua/ folder and `require "kadro"`
# in luarc), with "Export with Kadro" chosen in the export module, and saves
# a screenshot of the right panel. Needs darktable, xvfb, x11-utils and
# ImageMagick's import; not part of the tests.
#
#   bash darktable/screenshot.sh [OUT.png]     (default docs/darktable-export.png)
#
# KADRO=path/to/kadro picks the program (default: the build tree's).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${1:-$here/docs/darktable-export.png}
kadro=${KADRO:-$here/build/stage/bin/kadro}
[ -x "$kadro" ] || { echo "screenshot: no kadro program at $kadro (build first)" >&2; exit 1; }

work=$(mktemp -d)
xvfb_pid=
dt_pid=
cleanup() {
  [ -n "$dt_pid" ] && kill "$dt_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  [ -n "${KEEP_WORK:-}" ] && echo "screenshot: work folder $work" || rm -rf "$work"
}
trap cleanup EXIT

# A user of our own: home with the usual folders, darktable's configuration
# with the script enabled, Kadro's presets written afresh.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
config=$XDG_CONFIG_HOME/darktable
mkdir -p "$HOME/Desktop" "$HOME/Pictures/portraits" "$config/lua"
cp "$here/.cache/samples/astronaut.png" "$here/.cache/samples/camera.png" "$HOME/Pictures/portraits/"
ln -s "$here/darktable/kadro.lua" "$config/lua/kadro.lua"
echo 'require "kadro"' >"$config/luarc"
cat >"$config/darktablerc" <<EOF
lua/kadro/executable=$kadro
plugins/lighttable/export/storage_name=kadro_publish
plugins/lighttable/export/expanded=TRUE
plugins/lighttable/export/visible=TRUE
plugins/lighttable/export/format_name=png
ui_last/view=lighttable
ui_last/window_x=0
ui_last/window_y=0
ui_last/window_w=1600
ui_last/window_h=1000
lighttable/ui/timeline/visible=FALSE
EOF

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1600x1000x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=$display
for _ in $(seq 50); do xwininfo -root >/dev/null 2>&1 && break; sleep 0.2; done

darktable --configdir "$config" --library :memory: "$HOME/Pictures/portraits" >"$work/darktable.log" 2>&1 &
dt_pid=$!
# Wait for the main window to be drawn (the screen stops being black), then
# a little more for the thumbnails.
mkdir -p "$(dirname "$out")"
for _ in $(seq 120); do
  kill -0 "$dt_pid" 2>/dev/null || { echo "screenshot: darktable ended; see its output:" >&2; cat "$work/darktable.log" >&2; exit 1; }
  import -display "$display" -window root "$work/screen.png" 2>/dev/null || true
  [ -s "$work/screen.png" ] && [ "$(vips avg "$work/screen.png" | cut -d. -f1)" -gt 40 ] && break
  sleep 1
done
sleep 5
import -display "$display" -window root "$work/screen.png"
# The right panel, where the export module is.
vips crop "$work/screen.png" "$out" "${CROP_LEFT:-1262}" "${CROP_TOP:-290}" "${CROP_WIDTH:-338}" "${CROP_HEIGHT:-600}"
echo "screenshot: $out"
