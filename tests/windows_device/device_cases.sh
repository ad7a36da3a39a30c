#!/usr/bin/env bash
# The zip's programs, unmodified, on the reader that quendel-reader-node
# emulates, through Wine's HID bus and hidapi's Windows backend
# (scripts/wine-device-run): what the operator sees, and the journal, as on
# Linux. Wine's HID bus names the maker "hidraw" and the release 0000 where
# Windows shows the reader's own strings: those two are not compared.
#
#   tests/windows_device/device_cases.sh STAGED_ZIP_FOLDER
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
staged=$(realpath "$1")
source "$repo/scripts/windows-env"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
traces=$repo/tests/e2e/traces
journal=$windows_cache/wine-device/drive_c/users/$(id -un)/AppData/Local/quendel-writecard/journal.csv
source "$repo/tests/verdicts.sh"
shown=$work/seen

# matches PATTERN: what was seen, $work/seen, matches the multi-line PATTERN
# (grep -P).
matches() {
    grep -Pzq -- "$1" "$work/seen"
}

# expect NAME STATUS PATTERN [NODE_OPTION...] -- [PROGRAM_ARG...]: quendel-card
# exits with STATUS, and its stdout, then its stderr, match PATTERN.
expect() {
    local name=$1 status=$2 pattern=$3 node=()
    shift 3
    while [ "$1" != -- ]; do node+=("$1"); shift; done
    shift
    "$repo/scripts/wine-device-run" "${node[@]}" "$staged/quendel-card.exe" "$@" >"$work/out" 2>"$work/err"
    echo "exit $?" >>"$work/err"
    cat "$work/out" "$work/err" | tr -d '\r' >"$work/seen"
    verdict "$name" matches "$pattern[\s\S]*exit $status\n$"
}

reader='\\\\\?\\hid#vid_1234&pid_abcd&mi_00#[^\n]*'
expect "list" 0 "^path: $reader\nproduct: Quendel Arvesto Card Reader\nmanufacturer: [^\n]*\nserial: QCR-0001\nrelease: [0-9]{4}\n" \
    --blank -- list
expect "read, blank card" 0 "uid: 1A2B3C4D\natqa: 0004\nsak: 08\nkey: transport\nnumber: not written\n" --blank -- read
expect "read, prepared card" 0 "key: site\nnumber: 1A2B3C4D\n" --prepared -- read
expect "read, no card" 4 "quendel-card: no card on the reader\n" --no-card -- read
expect "read, neither key" 5 "card 1A2B3C4D is invalid: sector 14 opens with neither key\n" \
    --replay "$traces/read-card-with-unknown-keys.trace" -- read

# Written, read back, and journalled in the default journal under the
# Windows reader path.
rm -f "$journal"
expect "write" 0 "^1A2B3C4D prepared\n" --blank -- write
tr -d '\r' <"$journal" >"$work/seen" 2>/dev/null
verdict "the write's rows" matches "^time,reader,uid,outcome,codes\n[^,]+,$reader,1A2B3C4D,writing,\n[^,]+,$reader,1A2B3C4D,prepared,\n$"

# The recorded batch: a lost key-change answer, a quick swap, a failed card
# laid again and prepared, a prepared card laid again, then the reader
# unplugged.
expect "batch, swap and unplug" 3 "1 1A2B3C4D prepared \(codes 5\)\n2 55667788 failed \(codes 4 4 4\)\n3 55667788 prepared\n4 1A2B3C4D already-prepared\nprepared: 2, already prepared: 1, failed: 1, invalid: 0\n" \
    --replay "$traces/batch-lost-answer-swap-unplug.trace" -- batch --no-journal

# A reader that does not answer the connect command.
printf '0 > 01 d1 01 00 51 d2\n0 < timeout\n' >"$work/silent.trace"
expect "silent reader" 3 "does not answer; unplug it, plug it in again and retry\n" \
    --replay "$work/silent.trace" -- read
# The pre-request's answer comes after its time-out, ahead of the card
# request's own: set aside across Windows' overlapped reads.
sed -n '/> 01 d1 01 00/,/< 01 d1 16 00 11 38/p' "$traces/window-prepares-a-blank-card.trace" >"$work/late.trace"
expect "late answer" 0 "key: transport\nnumber: not written\n" --replay "$work/late.trace" -- read

# Side by side: while a batch holds the reader, list names its holder and a
# second quendel-card is refused and names it; then Ctrl-C (SIGINT, which Wine hands to the
# console's handler) stops the batch, with its summary.
cat >"$work/side-by-side.sh" <<'SCRIPT'
programs=$1 work=$2
wine "$programs/quendel-card.exe" batch --journal "Z:$work/held.csv" >"$work/batch" 2>&1 &
batch=$!
until grep -q prepared "$work/held.csv" 2>/dev/null; do sleep 0.2; done
wine "$programs/quendel-card.exe" list >"$work/second" 2>&1
wine "$programs/quendel-card.exe" read >>"$work/second" 2>&1
echo "exit $?" >>"$work/second"
kill -INT "$batch"
wait "$batch"
echo "exit $?" >>"$work/batch"
SCRIPT
"$repo/scripts/wine-device-run" --blank "$work/side-by-side.sh" "$staged" "$work" >/dev/null 2>&1
cat "$work/second" "$work/batch" | tr -d '\r' >"$work/seen"
verdict "a second quendel-card beside a batch, then Ctrl-C" matches "in use by: quendel-card \(pid [0-9]+\)\n[^\n]*is in use by quendel-card \(pid [0-9]+\)\nexit 8\n[\s\S]*\n1 1A2B3C4D prepared\n[\s\S]*stopping after this card\nprepared: 1, already prepared: 0, failed: 0, invalid: 0\nexit 0\n"

# The window: "连接", "读卡", then "写卡" once the read's tip has gone, clicked
# where Wine draws the buttons in a 560x220 desktop with the CJK font that
# scripts/build-windows installs. The lamp is green, the journal has the
# write's two rows, and quendel-card reads the card back prepared. The
# screenshot is docs/window-windows-device.png.
cat >"$work/window.sh" <<'SCRIPT'
programs=$1 work=$2
wine explorer /desktop=Device,560x220 "$programs/QuendelWriteCard.exe" >"$work/window.log" 2>&1 &
for _ in $(seq 40); do xdotool search --name "Quendel Arvesto" >/dev/null 2>&1 && break; sleep 0.5; done
sleep 3  # its first scan lists the reader
xdotool mousemove 354 55 click 1 sleep 1 mousemove 354 104 click 1 sleep 2.5 mousemove 438 104 click 1 sleep 0.7
import -window root -crop 506x176+0+0 "$work/window.png"
wineserver -k
wine "$programs/quendel-card.exe" read >"$work/read" 2>&1
SCRIPT
rm -f "$journal"
xvfb-run -a -s '-screen 0 800x400x24' "$repo/scripts/wine-device-run" --blank "$work/window.sh" "$staged" "$work" >/dev/null 2>&1
cp "$work/window.png" "$repo/build-windows/window-device.png" 2>/dev/null
lamp=$(convert "$work/window.png" -format '%[pixel:p{294,55}]' info: 2>/dev/null)
{ echo "lamp $lamp"; tr -d '\r' <"$journal"; tr -d '\r' <"$work/read"; } >"$work/seen" 2>/dev/null
cat "$work/window.log" >>"$work/seen"
verdict "the window connects, reads and writes" matches "^lamp srgb\(0,255,0\)\ntime,reader,uid,outcome,codes\n[^,]+,$reader,1A2B3C4D,writing,\n[^,]+,$reader,1A2B3C4D,prepared,\n[\s\S]*key: site\nnumber: 1A2B3C4D\n"

# The batch window: Space starts it, and the recorded batch is served back:
# two cards prepared, one failed, one prepared already, each in its table
# and in the default journal, then the reader unplugged, which it tells. The
# screenshot is docs/batch-window-windows.png.
cat >"$work/batch-window.sh" <<'SCRIPT'
programs=$1 work=$2
wine explorer /desktop=Batch,760x600 "$programs/QuendelBatch.exe" >"$work/batch-window.log" 2>&1 &
for _ in $(seq 40); do xdotool search --name Batch >/dev/null 2>&1 && break; sleep 0.5; done
sleep 4  # its first scan lists the reader
xdotool mousemove 380 300 key space
for _ in $(seq 40); do grep -q already-prepared "$3" 2>/dev/null && break; sleep 0.5; done
sleep 2  # the unplug, told
import -window root -crop 727x547+0+0 "$work/batch-window.png"
wineserver -k
SCRIPT
rm -f "$journal"
xvfb-run -a -s '-screen 0 800x640x24' "$repo/scripts/wine-device-run" \
    --replay "$traces/batch-lost-answer-swap-unplug.trace" "$work/batch-window.sh" "$staged" "$work" "$journal" \
    >/dev/null 2>&1
cp "$work/batch-window.png" "$repo/build-windows/batch-window-device.png" 2>/dev/null
tr -d '\r' <"$journal" >"$work/seen" 2>/dev/null
verdict "the batch window prepares a box of cards" matches "^time,reader,uid,outcome,codes\n[^,]+,$reader,1A2B3C4D,writing,\n[^,]+,$reader,1A2B3C4D,prepared,5\n[^,]+,$reader,55667788,writing,\n[^,]+,$reader,55667788,failed,4 4 4\n[^,]+,$reader,55667788,writing,\n[^,]+,$reader,55667788,prepared,\n[^,]+,$reader,1A2B3C4D,already-prepared,\n$"

# A trace that quendel-card.exe records holds no key, and served back on
# Linux it gives the same outcome.
expect "write, traced" 0 "1A2B3C4D prepared\n" --blank -- --trace "Z:$work/write.trace" write --no-journal
{ grep -Eq 'd4 7e 0b 91 c6 f3|3c 5a 17 e2 9b 40' "$work/write.trace" && echo "a key"
  "$repo/build/virtual_reader/hidraw_node/quendel-reader-node" --replay "$work/write.trace" -- \
      "$repo/build/cli/quendel-card" write --no-journal; } >"$work/seen" 2>&1
verdict "the trace, served back on Linux" matches "^1A2B3C4D prepared\n$"

report
