# Shared by the tests that show a window on a real X server: a private Xvfb,
# the program under test on the xcb platform, polling, and clean-up on exit.
# Source it, then name the tools the test needs with require_tools.

# Skips the test (exit 77, which CTest counts as skipped) when one of the
# named programs is not installed.
require_tools() {
    local tool missing=""
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
    done
    [ -z "$missing" ] || { echo "SKIP: not installed:$missing"; exit 77; }
}

program_pid=""
xvfb_pid=""
work_dir=$(mktemp -d)

# Ends PID: SIGTERM, then SIGKILL if it is still there after 5 s.
end_process() {
    kill "$1" 2>/dev/null || return 0
    wait_until 5 process_ended "$1" || kill -KILL "$1" 2>/dev/null
    wait "$1" 2>/dev/null || true
}

# A child that has ended stays a zombie until it is waited for.
process_ended() {
    local state
    read -r _ _ state _ 2>/dev/null <"/proc/$1/stat" || return 0
    [ "$state" = Z ]
}

stop_session() {
    [ -z "$program_pid" ] || end_process "$program_pid"
    [ -z "$xvfb_pid" ] || end_process "$xvfb_pid"
    rm -rf "$work_dir"
}
trap stop_session EXIT

# The server picks a free display itself (-displayfd), so that two tests
# started at once never race for the same number.
start_xvfb() {
    local ready=$work_dir/display
    : >"$ready"
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$ready" >"$work_dir/xvfb.log" 2>&1 &
    xvfb_pid=$!
    wait_until 20 grep -q . "$ready" || { cat "$work_dir/xvfb.log"; echo "FAIL: Xvfb did not start"; exit 1; }
    export DISPLAY=":$(head -n 1 "$ready")"
}

# Starts PROGRAM ARGS... on the X server with its log in LOG.
start_program() {
    local log=$1; shift
    mkdir -m 700 "$work_dir/runtime"
    XDG_RUNTIME_DIR=$work_dir/runtime QT_QPA_PLATFORM=xcb "$@" >"$log" 2>&1 &
    program_pid=$!
}

# Ends the test as failed, with the program's log.
fail_with_log() {
    local log=$1; shift
    echo "FAIL: $*"
    echo "--- program log ---"
    cat "$log"
    exit 1
}

# Runs COMMAND every 0.1 s until it succeeds or SECONDS have passed.
wait_until() {
    local seconds=$1; shift
    local tries=$((seconds * 10))
    until "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}

program_running() { kill -0 "$program_pid" 2>/dev/null; }

# The top-level window whose WM_CLASS is CLASS, CLASS; empty if none.
window_of_class() {
    xwininfo -root -children | awk -v class="(\"$1\" \"$1\")" 'index($0, class) { print $1; exit }'
}

window_viewable() { xwininfo -id "$1" | grep -q 'Map State: IsViewable'; }

# Width and height of window ID, as "W H".
window_size() {
    xwininfo -id "$1" | awk '/^ *Width:/ { w = $2 } /^ *Height:/ { h = $2 } END { print w, h }'
}
