#!/usr/bin/env bash
# Screenshots of the desktop application as a user sees it: starts Xvfb and a
# dummy JACK server (audio input and a MIDI port), runs the real `pulsora`
# program, opens the main window, its File menu, the settings dialog, the
# channel list, the silence dialog and the About dialog, plays music and uses
# the performer's controls, and saves one PNG of each; then, with no MIDI
# port left, the MIDI error dialog.
#
# Usage: scripts/screenshots.sh [OUTDIR]
#   OUTDIR defaults to BUILD/screenshots; BUILD is $KADENZO_BUILD_DIR or build.
#   The program is built there first if needed. Screenshots are not committed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KADENZO_BUILD_DIR:-build}
out=${1:-$build/screenshots}
mkdir -p "$out"
out=$(cd "$out" && pwd)

bash scripts/setup.sh
if ! command -v xdotool >/dev/null; then  # drives the mouse and keyboard
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -q \
        --no-install-recommends xdotool
fi
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"${KADENZO_JOBS:-2}" --target pulsora
app=$(pwd)/$build/pulsora/pulsora

work=$(mktemp -d)
pids=()
cleanup() {
    # The application goes first: PortAudio hangs if JACK vanishes under it.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# An X server whose screen is readable as an XWD file in $work.
display=":$((100 + RANDOM % 400))"
Xvfb "$display" -screen 0 640x480x24 -fbdir "$work" -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done

# A JACK server of our own with the dummy backend, and a MIDI sink on it.
export JACK_DEFAULT_SERVER="kadenzo-shots-$$" JACK_NO_START_SERVER=1
jackd -n "$JACK_DEFAULT_SERVER" -r -d dummy -r 44100 -p 128 >"$work/jackd.log" 2>&1 &
pids+=($!)
jack_wait -w -t 10 >/dev/null
jack_midi_dump >/dev/null 2>&1 &
midi_pid=$!
pids+=($midi_pid)
sleep 0.5

export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=xcb
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# shot NAME WINDOW_ID: saves the window's area of the screen as NAME.png.
shot() {
    xdotool mousemove 0 479  # the pointer out of the picture
    sleep 0.6                # let it paint
    local geometry
    geometry=$(xdotool getwindowgeometry --shell "$2")
    local X Y WIDTH HEIGHT
    eval "$(grep -E '^(X|Y|WIDTH|HEIGHT)=' <<<"$geometry")"
    shot_area "$1" "$X" "$Y" "$WIDTH" "$HEIGHT"
}
shot_area() {  # NAME X Y WIDTH HEIGHT
    /usr/bin/python3 - "$work/Xvfb_screen0" "$out/$1.png" "$2" "$3" "$4" "$5" <<'PY'
import struct, sys
from PIL import Image
src, dst, x, y, w, h = sys.argv[1], sys.argv[2], *map(int, sys.argv[3:])
data = open(src, "rb").read()
f = struct.unpack(">25I", data[:100])
header, width, height, order, bpp, stride, ncolors = f[0], f[4], f[5], f[7], f[11], f[12], f[19]
assert bpp == 32, "expects a 24-bit screen"
pixels = data[header + ncolors * 12:][: stride * height]
img = Image.frombuffer("RGB", (width, height), pixels, "raw", "BGRX" if order == 0 else "XRGB", stride, 1)
img.crop((x, y, min(width, x + w), min(height, y + h))).save(dst)
print(dst)
PY
}
# wait_window TITLE: the id of the newest visible window with that title.
wait_window() {
    local id=""
    for _ in $(seq 100); do
        id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | tail -1) && [ -n "$id" ] && break
        sleep 0.1
    done
    [ -n "$id" ] || { echo "no window \"$1\"" >&2; return 1; }
    echo "$id"
}
# click WINDOW X Y: a left click at a point of the window.
click() {
    xdotool mousemove --window "$1" "$2" "$3" click 1
}

"$app" >"$work/pulsora.log" 2>&1 &
app_pid=$!
pids+=($app_pid)
main=$(wait_window Kadenzo)
shot main_window "$main"

# Points inside the main window: the menu bar (23 pixels high with Debian's
# default font), then the form's frame at (3, 2) holding the controls.
frame_y=$((23 + 2))

click "$main" 16 10  # the first "File" menu
xdotool mousemove 0 479
sleep 0.6
eval "$(xdotool getwindowgeometry --shell "$main" | grep -E '^(X|Y)=')"
shot_area file_menu "$X" "$Y" 200 120
xdotool key Escape

click "$main" $((3 + 6 + 134 + 16)) $((frame_y + 150 + 23 + 9))  # silence settings "..."
silence=$(wait_window Dialog)
shot silence_dialog "$silence"
xdotool key Escape
sleep 0.3

click "$main" 16 10
sleep 0.4
xdotool key Down; sleep 0.2; xdotool key Return  # "Settings"
settings=$(wait_window "Pulsora I/O Settings")
shot settings_dialog "$settings"
click "$settings" $((6 + 236 + 50)) $((6 + 29 + 15))  # "Channels"
channels=$(wait_window Dialog)
shot channel_list "$channels"
xdotool key Escape
sleep 0.3
xdotool key Escape
sleep 0.3

click "$main" 52 10  # the second "File" menu
sleep 0.4
xdotool key Down; sleep 0.2; xdotool key Return  # "About"
about=$(wait_window "About Kadenzo")
shot about_dialog "$about"
xdotool key Escape
sleep 0.3

# Music into the program's first input, the MIDI clock switched on: status
# text "online" and the level bar moving.
click "$main" 30 $((frame_y + 150 + 11))  # "MIDI clock"
sndfile-jackplay --autoconnect=PortAudio:in_0 data/demo.flac >/dev/null 2>&1 &
play_pid=$!
pids+=($play_pid)
sleep 4
shot main_window_playing "$main"
# The performer's controls: four taps with the space bar, then the tempo
# doubled with "*": the corrections in force show under the buttons.
xdotool mousemove --window "$main" 90 60
for _ in 1 2 3 4; do xdotool key space; sleep 0.45; done
xdotool key asterisk
sleep 1.5
shot main_window_controls "$main"
kill "$play_pid"
wait "$play_pid" 2>/dev/null || true

# "Quit" from the first menu: the window saves its settings.
click "$main" 16 10
sleep 0.4
xdotool key Up; sleep 0.2; xdotool key Return
for _ in $(seq 50); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
kill "$app_pid" 2>/dev/null || true
wait "$app_pid" 2>/dev/null || true
echo "== saved settings"
cat "$XDG_CONFIG_HOME/Orvane/Pulsora.conf" || true

# Without any MIDI port the program shows the MIDI error dialog instead.
kill "$midi_pid"
wait "$midi_pid" 2>/dev/null || true
sleep 0.5
"$app" >"$work/pulsora-nomidi.log" 2>&1 &
pids+=($!)
error=$(wait_window Kadenzo)
shot midi_error_dialog "$error"
xdotool key Return
echo "screenshots in $out"
