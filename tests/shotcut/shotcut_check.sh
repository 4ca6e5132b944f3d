#!/usr/bin/env bash
# Loads QNR's filter folder into Shotcut as Debian packages it, on a virtual
# display: adds "Reduce Noise: QNR" to a clip through the filter list, checks
# the panel's defaults in the project Shotcut saves (and that it sets no
# `threads` on the filter), turns Show noise on and checks that the player
# shows the noise view, and saves a screenshot of the panel.
#
#   tests/shotcut/shotcut_check.sh BUILD_DIR [SCREENSHOT]
#
# Nothing outside a temporary folder is written: the build is installed into
# a temporary prefix, and Debian's shotcut binary is copied into a tree of its
# own whose share/shotcut/qml links to Debian's folders plus ours (Shotcut
# reads its QML from beside its executable and has no other filter folder).
# Exit 77 when Shotcut, Xvfb, xdotool or ImageMagick is missing.
set -euo pipefail

build=$(cd "${1:?usage: shotcut_check.sh BUILD_DIR [SCREENSHOT]}" && pwd)
screenshot=${2:-$build/shotcut-screenshot.png}

for tool in shotcut Xvfb xdotool import convert; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
[ -x "$build/qnr" ] || { echo "skipped: $build has no qnr to make a clip with"; exit 77; }

tmp=$(mktemp -d)
xvfb_pid=
shotcut_pid=
# Ends what this script started, by process id. Shotcut does not always quit
# on SIGTERM (a project with changes waits for an answer), so it gets SIGKILL
# after a few seconds.
stop() {
  local pid=$1
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
cleanup() {
  local status=$?
  stop "$shotcut_pid"
  stop "$xvfb_pid"
  rm -rf "$tmp"
  exit "$status"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  if [ -f "$tmp/shotcut.log" ]; then
    echo "--- the end of Shotcut's log; the screen at the failure: $screenshot" >&2
    tail -n 30 "$tmp/shotcut.log" >&2
  fi
  exit 1
}
# The build, installed as a user would install it.
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
plugin_dir=$tmp/prefix/lib/frei0r-1
filter_dir=$tmp/prefix/share/shotcut/qml/filters/qnr
[ -f "$plugin_dir/qnr.so" ] || { echo "skipped: the build has no qnr.so (frei0r.h missing)"; exit 77; }
[ -f "$filter_dir/meta.qml" ] || fail "cmake --install put no Shotcut filter folder in $filter_dir"

# Debian's Shotcut, unchanged, in a tree that also holds our filter folder.
binary=$(readlink -f "$(command -v shotcut)")
system_share=$(dirname "$binary")/../share/shotcut
app=$tmp/app
mkdir -p "$app/bin" "$app/share/shotcut/qml/filters"
cp "$binary" "$app/bin/shotcut"
for entry in "$system_share"/*; do
  [ "$(basename "$entry")" = qml ] || ln -s "$(readlink -f "$entry")" "$app/share/shotcut/"
done
for entry in "$system_share"/qml/*; do
  [ "$(basename "$entry")" = filters ] || ln -s "$(readlink -f "$entry")" "$app/share/shotcut/qml/"
done
for entry in "$system_share"/qml/filters/*; do
  ln -s "$(readlink -f "$entry")" "$app/share/shotcut/qml/filters/"
done
ln -s "$filter_dir" "$app/share/shotcut/qml/filters/qnr"

# A grainy clip to filter: the demo's.
"$build/qnr" demo "$tmp/demo" --size 640x360 --frames 25 -q >/dev/null

# A virtual display of a fixed size: the positions clicked below are those of
# Shotcut 22.12's default layout in a 1600x1000 window.
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$tmp/display" ] && break; sleep 0.1; done
[ -s "$tmp/display" ] || fail "Xvfb did not start: $(cat "$tmp/xvfb.log")"
export DISPLAY=:$(cat "$tmp/display")

pause() { sleep "$(awk -v s="$1" -v p="$pace" 'BEGIN { print s * p }')"; }
click() { xdotool mousemove "$1" "$2" click 1; pause "${3:-2}"; }
saturation() {  # mean colour saturation of the player's picture
  import -window root "$tmp/screen.png"
  convert "$tmp/screen.png" -crop 640x360+622+174 +repage -colorspace HSL -channel G -separate \
    -format '%[fx:mean]' info:
}
problem=
pace=1

# One run of Shotcut with fresh settings; `pace` stretches every wait.
# Returns non-zero with the reason in `problem`.
attempt() {
  pace=$1
  rm -rf "$tmp/home" "$tmp/appdata" "$tmp/saved.mlt"
  mkdir -p "$tmp/home"
  HOME=$tmp/home SDL_AUDIODRIVER=dummy LIBGL_ALWAYS_SOFTWARE=1 \
    FREI0R_PATH=$plugin_dir:/usr/lib/frei0r-1 \
    "$app/bin/shotcut" --noupgrade --appdata "$tmp/appdata" "$tmp/demo/noisy.mp4" \
    >"$tmp/shotcut.log" 2>&1 &
  shotcut_pid=$!

  local window
  window=$(timeout 120 xdotool search --sync --onlyvisible --name ' - Shotcut$' | head -n 1) ||
    { problem="no Shotcut window within 2 minutes"; return 1; }
  if ! grep -q 'added filter "Reduce Noise: QNR"' "$tmp/shotcut.log"; then
    problem="Shotcut did not take the QNR filter folder (see 'reading filter metadata \"qnr\"')"
    return 1
  fi
  xdotool windowmove "$window" 0 0 windowsize "$window" 1600 1000
  pause 3
  click 102 709      # the Filters tab under the playlist
  click 21 288       # + : the filter list
  xdotool type --delay 50 qnr
  pause 2
  click 120 206 5    # the only match, "Reduce Noise: QNR"

  # The project as Shotcut stores it: the filter with the panel's defaults.
  xdotool key ctrl+s
  pause 3
  xdotool key ctrl+a
  xdotool type --delay 20 "$tmp/saved.mlt"
  xdotool key Return
  for _ in $(seq 100); do [ -s "$tmp/saved.mlt" ] && break; sleep 0.2; done
  [ -s "$tmp/saved.mlt" ] ||
    { problem="Shotcut saved no project (the filter was probably not added)"; return 1; }
  for property in 'mlt_service">frei0r.qnr' 'shotcut:filter">qnr' 'f1">0.7<' 'f2">0.7<' \
                  'sharp">0.333333<' 'interlace">0<' 'show noise">0<'; do
    grep -q "name=\"$property" "$tmp/saved.mlt" ||
      { problem="the saved project lacks $property: $(cat "$tmp/saved.mlt")"; return 1; }
  done
  if grep -q 'name="threads"' "$tmp/saved.mlt"; then
    problem="the filter sets MLT's threads property"
    return 1
  fi

  # Show noise on, back to the first frame: the player shows what the filter
  # removes, mostly grey.
  local before after
  before=$(saturation)
  click 77 464       # Show noise
  click 924 674 4    # to the start
  after=$(saturation)
  if ! awk -v b="$before" -v a="$after" 'BEGIN { exit !(b > 0.2 && a < 0.1) }'; then
    problem="the player's picture did not turn to the noise view (saturation $before, then $after)"
    return 1
  fi
  import -window root "$screenshot"
}

# A loaded machine can be slower than the waits: once more at a third of the pace.
for pace in 1 3; do
  if attempt "$pace"; then
    echo "Shotcut shows QNR's panel; screenshot: $screenshot"
    exit 0
  fi
  echo "attempt at pace $pace: $problem" >&2
  import -window root "$screenshot" 2>/dev/null || true
  stop "$shotcut_pid"
  shotcut_pid=
done
fail "$problem"
