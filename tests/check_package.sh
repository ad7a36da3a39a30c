#!/usr/bin/env bash
# Builds the Debian package from a built tree and checks what it installs and
# what it depends on, then runs Debian's own checkers over it: lintian,
# appstreamcli, desktop-file-validate and man.
# Usage: check_package.sh CPACK BUILD_DIR OUTPUT_DIR
# Exits 1 when a check fails. A checker that is not installed is reported and
# its check left out while every other check still runs; the script then
# exits 77 (skipped) instead of 0, so that a missing tool never passes for a
# clean package. A failure wins over a skip.
set -euo pipefail
cpack=$1 build=$2 out=$3

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
missing=()
# needs TOOL PACKAGE: true when TOOL is installed, else noted as missing.
needs() {
    command -v "$1" >/dev/null && return 0
    echo "SKIP: $1 is not installed (package $2); its check is left out"
    missing+=("$1")
    return 1
}

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

# Only the programs and the window's desktop integration: no demo, no tests, no libraries.
expected_files="./usr/bin/QuendelBatch
./usr/bin/QuendelWriteCard
./usr/bin/quendel-card
./usr/lib/udev/rules.d/70-quendel-writecard.rules
./usr/share/applications/quendel-batch.desktop
./usr/share/applications/quendel-writecard.desktop
./usr/share/doc/quendel-writecard/batch-window.png
./usr/share/doc/quendel-writecard/changelog.gz
./usr/share/doc/quendel-writecard/copyright
./usr/share/doc/quendel-writecard/operator-guide.zh-CN.html
./usr/share/doc/quendel-writecard/operator-guide.zh-CN.md.gz
./usr/share/icons/hicolor/48x48/apps/quendel-writecard.png
./usr/share/man/man1/QuendelBatch.1.gz
./usr/share/man/man1/QuendelWriteCard.1.gz
./usr/share/man/man1/quendel-card.1.gz
./usr/share/metainfo/invalid.quendel_writecard.writecard.metainfo.xml"
listing=$(dpkg-deb -c "$deb")
files=$(awk '$1 ~ /^-/ { print $6 }' <<<"$listing" | LC_ALL=C sort)
[ "$files" = "$expected_files" ] || fail "the package holds"$'\n'"$files"$'\n'"instead of"$'\n'"$expected_files"
for program in QuendelWriteCard QuendelBatch quendel-card; do
    grep -q "^-rwxr-xr-x .* ./usr/bin/$program\$" <<<"$listing" || fail "$program is not installed executable"
done

root="$out/root"
dpkg-deb -x "$deb" "$root"

for desktop in "$root"/usr/share/applications/*.desktop; do
    if needs desktop-file-validate desktop-file-utils; then
        desktop-file-validate "$desktop" || fail "desktop-file-validate rejects ${desktop##*/}"
    fi
    exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
    [ -x "$root/usr/bin/$exec_name" ] || fail "${desktop##*/}: Exec=$exec_name is not an installed program"
    icon_name=$(sed -n 's/^Icon=//p' "$desktop")
    icon="$root/usr/share/icons/hicolor/48x48/apps/$icon_name.png"
    if [ -f "$icon" ]; then
        # PNG signature, then the IHDR width and height as big-endian 32-bit numbers.
        header=$(od -An -tx1 -N24 "$icon" | tr -d ' \n')
        [ "${header:0:16}" = 89504e470d0a1a0a ] || fail "the icon is not a PNG"
        [ "${header:32:16}" = 0000003000000030 ] || fail "the icon is not 48 x 48"
    else
        fail "${desktop##*/}: Icon=$icon_name has no icon in hicolor/48x48/apps"
    fi
done

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

# Software centres offer the program for the reader that the udev rule opens.
grep -qF '<modalias>usb:v1234pABCD*</modalias>' "$root"/usr/share/metainfo/*.metainfo.xml \
    || fail "the AppStream metadata does not name the reader's modalias"

# The maintainer scripts reload udev only where it runs: a chroot or a
# container without udev must install and remove the package all the same.
# A stand-in udevadm records its calls; UDEV_PING says whether udev answers.
control="$out/control"
dpkg-deb -e "$deb" "$control"
fake_bin="$out/fake-bin"
mkdir -p "$fake_bin"
cat >"$fake_bin/udevadm" <<'FAKE'
#!/bin/sh
echo "$*" >>"$UDEV_CALLS"
[ "$*" != "control --ping" ] || [ "$UDEV_PING" = answers ]
FAKE
chmod +x "$fake_bin/udevadm"
reload='control --ping|control --reload-rules|trigger --subsystem-match=hidraw --action=change'
# script argument udev expected-calls
while read -r script argument udev expected; do
    calls="$out/udevadm-calls"
    : >"$calls"
    path=$fake_bin
    [ "$udev" != absent ] || path=/nonexistent
    if ! env -i PATH="$path" UDEV_CALLS="$calls" UDEV_PING="$udev" /bin/sh "$control/$script" "$argument"; then
        fail "$script $argument fails when udev is $udev"
    fi
    [ "$(paste -sd'|' "$calls")" = "${expected#-}" ] \
        || fail "$script $argument with udev $udev calls udevadm: $(paste -sd'|' "$calls"), not ${expected#-}"
done <<EOF_CASES
postinst configure answers $reload
postinst configure silent control --ping
postinst configure absent -
postrm remove answers $reload
postrm remove silent control --ping
postrm remove absent -
postrm purge answers -
EOF_CASES

if needs lintian lintian; then
    # Only info tags may remain; lintian exits non-zero on the others.
    lintian --fail-on error,warning --display-level '>=warning' "$deb" >"$out/lintian.log" 2>&1 \
        || fail "lintian finds errors or warnings"
    grep -E '^[EW]: ' "$out/lintian.log" || true
fi
if needs appstreamcli appstream; then
    # Without the network: the screenshot's address is not fetched.
    appstreamcli validate-tree --pedantic --no-net --no-color "$root" \
        || fail "appstreamcli rejects the AppStream metadata"
fi
if needs man man-db; then
    for program in "$root"/usr/bin/*; do
        page="$root/usr/share/man/man1/${program##*/}.1.gz"
        if [ ! -f "$page" ]; then
            fail "${program##*/} has no manual page"
            continue
        fi
        # How lintian renders a page: every groff warning counts.
        warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
            man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "man warns about ${page##*/}:"$'\n'"$warnings"
    done
fi

echo "Package checks: $failures failures, ${#missing[@]} checkers missing${missing[*]:+ (${missing[*]})}"
[ "$failures" -eq 0 ] || exit 1
[ ${#missing[@]} -eq 0 ] || exit 77
exit 0
