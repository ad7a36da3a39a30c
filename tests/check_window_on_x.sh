#!/usr/bin/env bash
# Starts the program on a real X server (Xvfb, xcb platform, not offscreen)
# and checks that its window maps at 500 x 150 with its title and with the
# window class its desktop entry names; takes a screenshot of it. A second
# start hands over to this window, which takes the focus, and leaves it the
# only one.
# Usage: check_window_on_x.sh PROGRAM DESKTOP_FILE SCREENSHOT
set -euo pipefail
program=$1 desktop=$2 screenshot=$3
source "$(dirname "$0")/x_session.sh"
require_tools Xvfb xwininfo xprop xdotool import

title='Quendel Arvesto 智能识别装置写卡器 V1.0'
# Desktops match the window to its desktop entry, and so to its icon, by class.
wm_class=$(sed -n 's/^StartupWMClass=//p' "$desktop")
log=$screenshot.log

start_xvfb
start_program "$log" "$program"

window=""
window_mapped() {
    program_running || fail_with_log "$log" "the program ended"
    window=$(window_of_class "$wm_class")
    [ -n "$window" ] && window_viewable "$window"
}
wait_until 20 window_mapped || fail_with_log "$log" "no window of class $wm_class was mapped"

failures=0
size=$(window_size "$window")
[ "$size" = "500 150" ] || { echo "FAIL: the window is $size, not 500 150"; failures=$((failures + 1)); }
shown_title=$(LC_ALL=C.UTF-8 xprop -id "$window" _NET_WM_NAME)
[ "$shown_title" = "_NET_WM_NAME(UTF8_STRING) = \"$title\"" ] \
    || { echo "FAIL: the title is $shown_title"; failures=$((failures + 1)); }

import -window "$window" "$screenshot"
echo "Screenshot: $screenshot"
program_running || fail_with_log "$log" "the program ended"

# Nothing has the focus yet (PointerRoot): the window takes it only when the
# second start asks it to come to the front.
focused_window() { [ "$(xdotool getwindowfocus 2>/dev/null)" = "$((window))" ]; }
! focused_window || fail_with_log "$log" "the window had the focus before the second start"
second_start() {
    XDG_RUNTIME_DIR=$work_dir/runtime QT_QPA_PLATFORM=xcb timeout 10 "$program" >>"$log" 2>&1
}
second_start || fail_with_log "$log" "the second start did not end by itself with success"
program_running || fail_with_log "$log" "the first window ended"
windows=$(xwininfo -root -children | grep -c "(\"$wm_class\" \"$wm_class\")" || true)
[ "$windows" -eq 1 ] || { echo "FAIL: $windows windows after a second start"; failures=$((failures + 1)); }
wait_until 5 focused_window || { echo "FAIL: the first window did not take the focus"; failures=$((failures + 1)); }
[ "$failures" -eq 0 ] || fail_with_log "$log" "$failures checks failed"
