#!/usr/bin/env bash
# Builds the Debian package from a built tree and checks what it installs and
# what it depends on.
# Usage: check_package.sh CPACK BUILD_DIR OUTPUT_DIR
set -euo pipefail
cpack=$1 build=$2 out=$3

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$out"
mkdir -p "$out"
if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log"
    echo "FAIL: cpack could not build the package"
    exit 1
fi
debs=("$out"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: expected one .deb in $out"; exit 1; }
deb=${debs[0]}
echo "Package: $deb"

# Only the program and its desktop integration: no demo, no tests, no libraries.
expected_files="./usr/bin/QuendelWriteCard
./usr/lib/udev/rules.d/70-quendel-writecard.rules
./usr/share/applications/quendel-writecard.desktop
./usr/share/icons/hicolor/48x48/apps/quendel-writecard.png"
listing=$(dpkg-deb -c "$deb")
files=$(awk '$1 ~ /^-/ { print $6 }' <<<"$listing" | sort)
[ "$files" = "$expected_files" ] || fail "the package holds"$'\n'"$files"$'\n'"instead of"$'\n'"$expected_files"
grep -q '^-rwxr-xr-x .* ./usr/bin/QuendelWriteCard$' <<<"$listing" \
    || fail "the program is not installed executable"

root="$out/root"
dpkg-deb -x "$deb" "$root"

desktop="$root/usr/share/applications/quendel-writecard.desktop"
desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the desktop entry"
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[ -x "$root/usr/bin/$exec_name" ] || fail "Exec=$exec_name is not the installed program"
icon_name=$(sed -n 's/^Icon=//p' "$desktop")
icon="$root/usr/share/icons/hicolor/48x48/apps/$icon_name.png"
if [ -f "$icon" ]; then
    # PNG signature, then the IHDR width and height as big-endian 32-bit numbers.
    header=$(od -An -tx1 -N24 "$icon" | tr -d ' \n')
    [ "${header:0:16}" = 89504e470d0a1a0a ] || fail "the icon is not a PNG"
    [ "${header:32:16}" = 0000003000000030 ] || fail "the icon is not 48 x 48"
else
    fail "Icon=$icon_name has no icon in hicolor/48x48/apps"
fi

rule_file=$(cd "$root/usr/lib/udev/rules.d" && ls)
# udev applies uaccess in 73-seat-late.rules: a tag set later is never seen.
[[ "$rule_file" < 73-seat-late.rules ]] || fail "$rule_file does not sort before 73-seat-late.rules"
rule="$root/usr/lib/udev/rules.d/$rule_file"
grep -qxF 'SUBSYSTEM=="hidraw", ATTRS{idVendor}=="1234", ATTRS{idProduct}=="abcd", TAG+="uaccess"' "$rule" \
    || fail "the udev rule does not give the seat user the reader's hidraw node"
! grep -q '^[^#]*MODE' "$rule" || fail "the udev rule sets a MODE"

depends=$(dpkg-deb -f "$deb" Depends)
recommends=$(dpkg-deb -f "$deb" Recommends)
echo "Depends: $depends"
echo "Recommends: $recommends"
for package in libqt6widgets6 libqt6gui6 libhidapi-hidraw0; do
    [[ ", $depends," == *", $package "* || ", $depends," == *", $package,"* ]] \
        || fail "Depends lacks $package"
done
# The libusb backend cannot reach hidraw nodes, which the udev rule opens up.
[[ "$depends" != *libhidapi-libusb* ]] || fail "Depends names the libusb hidapi"
[[ "$recommends" == *fonts-noto-cjk* ]] || fail "Recommends lacks a CJK font"

echo "Package checks: $failures failures"
exit $((failures > 0))
