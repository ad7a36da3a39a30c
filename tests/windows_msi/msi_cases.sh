#!/usr/bin/env bash
# The installer under Wine, in a Wine prefix of its own made afresh: a
# silent install, what it puts where, quendel-card by name from a new cmd,
# the window from the Start-menu folder, an upgrade from a lower version
# built from the same files, a refused downgrade and a silent uninstall that
# keeps the journal. What Wine does not show is listed in the README.
#
#   tests/windows_msi/msi_cases.sh STAGED_ZIP_FOLDER INSTALLER.msi
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
staged=$(realpath "$1")
msi=$(realpath "$2")
source "$repo/scripts/windows-env"
work=$(mktemp -d)
export WINEPREFIX=$windows_cache/wine-msi WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Only the installed DLLs, as on a PC; an empty WINEPATH would put an empty
# folder first on PATH, where Wine's cmd ends its search.
unset WINEPATH
xvfb_pid=""
finish() {
    wineserver -k 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap finish EXIT
source "$repo/tests/verdicts.sh"

version=$(msiinfo export "$msi" Property | tr -d '\r' | sed -n 's/^ProductVersion\t//p')
# A lower version with a file of its own, which the upgrade must take away.
lower_msi=$work/QuendelWriteCard-0.9-x86_64.msi
cp -al "$staged" "$work/lower"
echo "0.9 only" >"$work/lower/old-version-only.txt"
"$repo/scripts/make-msi" "$work/lower" 0.9 "$lower_msi" 2>/dev/null

# The window's display, before Wine's desktop starts.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do grep -q . "$work/display" && break; sleep 0.1; done
export DISPLAY=":$(head -n 1 "$work/display")"
rm -rf "$WINEPREFIX"
wineboot --init >/dev/null 2>&1
wineserver -w
c=$WINEPREFIX/drive_c
installed=$c/Program\ Files/QuendelWriteCard
environment='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
machine_path() { wine reg query "$environment" /v Path | tr -d '\r' | sed -n 's/^ *Path *REG_[A-Z_]* *//p'; }
path_before=$(machine_path)
# Wine, removing a part of PATH, leaves its ";" (README, Windows).
without_empty() { sed 's/;;*/;/g; s/;$//' <<<"$1"; }
# msiexec's exit status, and its log for the case that reads it.
msiexec() {
    wine msiexec "$@" /qn /l*v "$(winepath -w "$work/msiexec.log")" </dev/null >/dev/null 2>&1
    local status=$?
    tr -d '\r' <"$work/msiexec.log" >"$work/log"
    return $status
}
# The entries of Apps & features that are ours: "DisplayName DisplayVersion".
our_entries() {
    wine reg query "$uninstall" /s | tr -d '\r' | awk '
        /^HKEY/ { if (name != "") print name, version; name = ""; version = "" }
        $1 == "DisplayName" && $3 == "QuendelWriteCard" { name = $3 }
        $1 == "DisplayVersion" { version = $3 }
        END { if (name != "") print name, version }'
}

tables() {
    local table
    for table in Environment Shortcut Upgrade LaunchCondition Icon Registry; do
        msiinfo tables "$msi" | grep -qx "$table" || { echo "no $table table"; return 1; }
    done
    msiinfo export "$msi" Environment | grep -P "^CommandOnPath\t=-\*Path\t\[~\];\[INSTALLDIR\]\tCommandOnPath" &&
        msiinfo export "$msi" InstallExecuteSequence | grep -P '^WriteEnvironmentStrings\t' &&
        msiinfo export "$msi" InstallExecuteSequence | grep -P '^RemoveEnvironmentStrings\t' &&
        msiinfo export "$msi" InstallExecuteSequence | grep -P '^RemoveExistingProducts\t' &&
        msiinfo export "$msi" Upgrade | grep -P '\t513\t\tWIX_UPGRADE_DETECTED\r?$' &&
        msiinfo export "$msi" Property | grep -P '^UpgradeCode\t\{EBDC77FE-90FB-42DD-ACF7-C5A0422FA7A4\}' &&
        msiinfo export "$msi" Property | grep -P '^ARPPRODUCTICON\tQuendelWriteCard.ico' &&
        msiinfo export "$msi" Property | grep -P '^ARPHELPLINK\thttps://' &&
        msiinfo export "$msi" Shortcut | grep -P '^WindowShortcut\t.*\t\[INSTALLDIR\]QuendelWriteCard.exe\t101' &&
        msiinfo export "$msi" Shortcut | grep -P '^BatchShortcut\t.*\t\[INSTALLDIR\]QuendelWriteCard.exe\t104' &&
        msiinfo suminfo "$msi" | grep -i 'template: x64;'
}
verdict "msiinfo: the tables it relies on" tables

verdict "install $version: exits 0" msiexec /i "$(winepath -w "$msi")"

same_files() {
    diff <(cd "$staged" && find . -type f | LC_ALL=C sort) <(cd "$installed" && find . -type f | LC_ALL=C sort) &&
        (cd "$staged" && find . -type f -exec cmp {} "$installed/{}" \;)
}
verdict "every staged file, and no other, is in Program Files" same_files

menu=$(sed -n 's/^Property(S): ProgramMenuFolder = //p' "$work/log" | head -n 1)
menu_dir=$(winepath -u "$menu")/QuendelWriteCard
# holds LINK TEXT...: the shortcut LINK holds every TEXT, in the locale's
# code page or in UTF-16 (after a length); its target is there as the names
# of the folders on its way, its working folder and arguments as whole paths.
holds() {
    local link=$menu_dir/$1 text
    shift
    [ -f "$link" ] || { echo "no $link"; ls "$menu_dir"; return 1; }
    for text in "$@"; do
        { strings -n 3 "$link"; strings -n 3 -el "$link"; } | grep -F "$text" >/dev/null ||
            { echo "${link##*/} does not hold $text"; strings -n 3 -el "$link"; return 1; }
    done
}
entries() {
    local folder='C:\Program Files\QuendelWriteCard\'
    holds QuendelWriteCard.lnk "Program Files" QuendelWriteCard QuendelWriteCard.exe "$folder" &&
        holds "QuendelWriteCard demo.lnk" "Program Files" QuendelWriteCard QuendelWriteCard-demo.exe "$folder" &&
        holds QuendelBatch.lnk "Program Files" QuendelWriteCard QuendelBatch.exe "$folder" &&
        holds "QuendelWriteCard operator guide.lnk" "Program Files" QuendelWriteCard operator-guide.zh-CN.html &&
        test "$(ls "$menu_dir" | wc -l)" -eq 4
}
verdict "four Start-menu entries point at the installed files" entries

on_path() {
    local path
    path=$(machine_path)
    echo "PATH: $path"
    [ "$path" = "$path_before;C:\\Program Files\\QuendelWriteCard\\" ]
}
verdict "the folder is at the end of the machine's PATH, the rest kept" on_path
by_name() {
    wine cmd /c "quendel-card --version" </dev/null | tr -d '\r' | tee /dev/stderr | grep -x "quendel-card $version" >/dev/null
}
verdict "quendel-card --version by name in a new cmd" by_name

window_starts() {
    wine "C:\\Program Files\\QuendelWriteCard\\QuendelWriteCard.exe" \
        >"$work/window.log" 2>&1 &
    local _
    for _ in $(seq 60); do
        xdotool search --name "Quendel Arvesto" && return 0
        sleep 0.5
    done
    cat "$work/window.log"
    return 1
}
verdict "the installed window starts and shows itself" window_starts
wine taskkill /f /im QuendelWriteCard.exe >/dev/null 2>&1
wineserver -w

# msiexec's 1603, of which Wine passes on the low byte; the message, which
# Wine's log leaves out, is the launch condition's.
downgrade_refused() {
    msiexec /i "$(winepath -w "$lower_msi")"
    [ $? -eq $((1603 % 256)) ] && grep '^Property(S): WIX_DOWNGRADE_DETECTED = {' "$work/log" &&
        msiinfo export "$lower_msi" LaunchCondition |
            grep -P '^NOT WIX_DOWNGRADE_DETECTED	A newer version of QuendelWriteCard is already installed' &&
        test "$(our_entries)" = "QuendelWriteCard $version" && same_files
}
verdict "0.9 over $version is refused and changes nothing" downgrade_refused

journal_dir=$c/users/$(id -un)/AppData/Local/quendel-writecard
mkdir -p "$journal_dir"
printf 'time,reader,uid,outcome,codes\r\n' >"$journal_dir/journal.csv"
verdict "uninstall: exits 0" msiexec /x "$(winepath -w "$msi")"
gone() {
    [ ! -e "$installed" ] || { find "$installed"; return 1; }
    [ ! -e "$menu_dir" ] || { find "$menu_dir"; return 1; }
    ! find "$c" -iname '*QuendelWriteCard*.lnk' | grep . &&
        [ "$(without_empty "$(machine_path)")" = "$(without_empty "$path_before")" ] &&
        ! wine reg query 'HKLM\Software\QuendelWriteCard' &&
        test -z "$(our_entries)"
}
verdict "no file, shortcut, PATH part or registry value of ours left" gone
verdict "the journal is kept" test -f "$journal_dir/journal.csv"

verdict "install 0.9: exits 0" msiexec /i "$(winepath -w "$lower_msi")"
verdict "upgrade to $version: exits 0" msiexec /i "$(winepath -w "$msi")"
verdict "one entry, $version, after the upgrade" test "$(our_entries)" = "QuendelWriteCard $version"
verdict "the upgrade's files are $version's" same_files
"$repo/scripts/make-msi" "$staged" "$version" "$work/rebuilt.msi" 2>/dev/null
verdict "a rebuild of $version replaces it: exits 0" msiexec /i "$(winepath -w "$work/rebuilt.msi")"
verdict "one entry after the rebuild" test "$(our_entries)" = "QuendelWriteCard $version"
verdict "the folder is once on PATH after the upgrade and the rebuild" test "$(without_empty "$(machine_path)")" = \
    "$(without_empty "$path_before;C:\\Program Files\\QuendelWriteCard\\")"


report
