#!/usr/bin/env bash
# The tray icon on a real X server: Xvfb with trayer as the notification area (XEmbed). The
# program starts as an icon docked in trayer; a left click shows the main window and takes the
# icon away; "Hide" brings the icon back; a right click shows the window as well.
# Usage: tray_test.sh PROGRAM. Exits 77 (skipped) when Xvfb, trayer or xdotool are missing.
set -uo pipefail
program=$1
for tool in Xvfb trayer xdotool xwininfo; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done

work=$(mktemp -d)
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

# wait_for SECONDS COMMAND...: polls until the command succeeds or the time is up.
wait_for() {
  local tenths=$(($1 * 10)); shift
  for ((t = 0; t < tenths; t++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}
fail() { echo "FAILED: $*"; [[ -s "$work/program.log" ]] && sed 's/^/program: /' "$work/program.log"; exit 1; }
# Each step must leave the program running: hiding the icon from inside its own click once
# freed the widget that was still handling the click.
ok() { kill -0 "$program_pid" 2>/dev/null || fail "the program ended after: $*"; echo "ok: $*"; }

# Xvfb picks a free display itself and writes its number.
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for 10 test -s "$work/display" || { echo "skipped: Xvfb did not start"; cat "$work/xvfb.log"; exit 77; }
export DISPLAY=":$(head -n1 "$work/display")"
# No session bus: Qt then uses the XEmbed protocol that trayer speaks.
unset DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY
export QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/config"
mkdir -m 700 "$work/runtime"

trayer --edge top --align left --widthtype request --height 32 --SetDockType false \
  --transparent false >"$work/trayer.log" 2>&1 &
pids+=($!)
wait_for 10 xdotool search --classname trayer || fail "trayer did not show its panel"

# A copy of its own with settings beside it that point at no server and check nothing.
cp "$program" "$work/postlark"
printf '[Options]\nPop3HostName=127.0.0.1\nPop3PortNum=1\nCheckAuto=0\n' >"$work/postlark.ini"
"$work/postlark" >"$work/program.log" 2>&1 &
program_pid=$!
pids+=($program_pid)

main_window_shown() { xdotool search --onlyvisible --name '^Postlark 2\.0\.1$'; }
# The icon: the program's window whose parent is not the root window, i.e. embedded by trayer.
docked_icon() {
  local root id parent
  root=$(xwininfo -root | sed -n 's/^xwininfo: Window id: \(0x[0-9a-f]*\).*/\1/p')
  for id in $(xdotool search --pid "$program_pid" 2>/dev/null); do
    parent=$(xwininfo -children -id "$id" 2>/dev/null | sed -n 's/^ *Parent window id: \(0x[0-9a-f]*\).*/\1/p')
    [[ -n "$parent" && $((parent)) != $((root)) ]] || continue
    xwininfo -id "$id" | grep -q 'Map State: IsViewable' || continue
    echo "$id"
    return 0
  done
  return 1
}
icon_gone() { ! docked_icon; }
click_icon() { # button
  local id X Y WIDTH HEIGHT
  id=$(docked_icon) || fail "no docked icon to click"
  eval "$(xdotool getwindowgeometry --shell "$id")"
  xdotool mousemove --sync $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click "$1"
}

wait_for 15 docked_icon || fail "the icon did not dock in trayer"
main_window_shown && fail "the main window is shown at start; only the icon should be"
ok "the icon is docked in trayer, the window hidden"

click_icon 1
wait_for 10 main_window_shown || fail "a left click on the icon did not show the main window"
ok "a left click shows the main window"
wait_for 10 icon_gone || fail "the icon stayed in the tray with the window shown"
ok "the icon left the tray"

# "Hide" by a click at its place in the window's fixed layout (its Alt+H is shared with the
# "Schedule" page's, so the key only moves the focus).
window=$(main_window_shown | head -n1)
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove --sync $((X + 88 + 37)) $((Y + 258 + 8 + 12)) click 1
wait_for 10 docked_icon || fail "\"Hide\" did not bring the icon back"
main_window_shown && fail "the main window stayed visible after \"Hide\""
ok "\"Hide\" hides the window and docks the icon again"

click_icon 3
wait_for 10 main_window_shown || fail "a right click on the icon did not show the main window"
sleep 0.5
ok "a right click shows the main window"

kill "$program_pid"
wait_for 10 sh -c "! kill -0 $program_pid" || fail "the program did not end on SIGTERM"
wait "$program_pid"
status=$?
((status == 0)) || fail "the program ended with status $status"
