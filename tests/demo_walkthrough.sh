#!/usr/bin/env bash
# Drives the demo by mouse as a person would on a real X server: connect,
# read the blank card laid at start, write it, read it again. The program's
# log tells the outcome of each step. Takes a picture of both windows right
# after the write; docs/demo.png is made by running this with that path.
# Usage: demo_walkthrough.sh DEMO SCREENSHOT
# Needs Xvfb, x11-utils, xdotool, imagemagick and a CJK font; skips (77)
# without one of the programs.
set -euo pipefail
demo=$1 screenshot=$2
source "$(dirname "$0")/x_session.sh"
require_tools Xvfb xwininfo xdotool import convert

log=$work_dir/demo.log
# The first card the demo lays, and how the program logs it before and after.
uid_log='[RD]UID: 5EC7A101, ATQA: 0004, SAK: 08, Key:'
transport_key='d4 7e 0b 91 c6 f3'
site_key='3c 5a 17 e2 9b 40'
uid_bytes='5e c7 a1 01'

# The form is fixed at 500 x 150; these are the centres of its buttons.
connect_button=(352 38)
read_button=(352 93)
write_button=(437 93)

start_xvfb
start_program "$log" "$demo"

main_window="" reader_window=""
windows_mapped() {
    program_running || fail_with_log "$log" "the demo ended"
    main_window=$(xdotool search --name '^Quendel Arvesto' | head -n 1)
    reader_window=$(xdotool search --name '^Virtual reader$' | head -n 1)
    [ -n "$main_window" ] && [ -n "$reader_window" ] \
        && window_viewable "$main_window" && window_viewable "$reader_window"
}
wait_until 30 windows_mapped || fail_with_log "$log" "the two windows were not mapped"

logged() { grep -qF -- "$1" "$log"; }
click() { xdotool mousemove --window "$main_window" "$1" "$2" click 1; }
step() {
    local what=$1 expected=$2; shift 2
    click "$@"
    wait_until 10 logged "$expected" || fail_with_log "$log" "$what: no \"$expected\" in the log"
    echo "$what: ok"
}

# The port list is filled, and its map logged, on the first scan for readers.
wait_until 10 logged 'CardWriter0' || fail_with_log "$log" "the virtual reader was not listed"
click "${connect_button[@]}"
step "read the blank card" "$uid_log $transport_key" "${read_button[@]}"
step "write it" "[WR]S14B0: $uid_bytes" "${write_button[@]}"
sleep 0.5  # the virtual reader's window refreshes once the slot has returned
! logged 'write card err' || fail_with_log "$log" "the write failed"

read -r main_width main_height < <(window_size "$main_window")
read -r reader_width reader_height < <(window_size "$reader_window")
import -window "$main_window" "$work_dir/main.png"
import -window "$reader_window" "$work_dir/reader.png"
margin=16
convert -size $((3 * margin + main_width + reader_width))x$((2 * margin + (main_height > reader_height ? main_height : reader_height))) \
    xc:'#c8ced6' \
    "$work_dir/main.png" -geometry +$margin+$margin -composite \
    "$work_dir/reader.png" -geometry +$((2 * margin + main_width))+$margin -composite \
    "$screenshot"
echo "Screenshot: $screenshot"

step "read it again" "$uid_log $site_key" "${read_button[@]}"
logged "[RD]S14B0: $uid_bytes" || fail_with_log "$log" "block 56 does not carry the UID after the write"
program_running || fail_with_log "$log" "the demo ended"
echo "The blank card was read, written and read again as prepared."
