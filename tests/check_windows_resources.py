#!/usr/bin/env python3
"""Compiles the Windows resource script with MinGW's windres and checks the
compiled resources: the window icon, the version block and the manifest.

Usage: check_windows_resources.py RC_FILE OUTPUT_DIR VERSION
VERSION is the project's version as four numbers, e.g. 1.0.0.0.
Exits 77 (skipped) when windres is not installed.
"""
import os
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

WINDRES = "x86_64-w64-mingw32-windres"
SKIPPED = 77

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
LANG_EN_US = 0x0409
CODEPAGE_UNICODE = 0x04B0
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD
VFT_APP = 1

EXPECTED_STRINGS = {
    "ProductName": "QuendelWriteCard",
    "OriginalFilename": "QuendelWriteCard.exe",
}
EMPTY_STRINGS = ("Comments", "CompanyName", "FileDescription", "InternalName",
                 "LegalCopyright", "LegalTrademarks", "PrivateBuild", "SpecialBuild")

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def align4(offset):
    return (offset + 3) & ~3


def read_wstring(data, offset):
    end = offset
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[offset:end].decode("utf-16-le"), end + 2


def read_name_or_id(data, offset):
    """A resource type or name: 0xFFFF and an ordinal, or a string."""
    (first,) = struct.unpack_from("<H", data, offset)
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, offset + 2)[0], offset + 4
    return read_wstring(data, offset)


def read_res(data):
    """The resources of a .res file as (type, name, language) -> bytes."""
    resources = {}
    offset = 0
    while offset + 8 <= len(data):
        data_size, header_size = struct.unpack_from("<II", data, offset)
        rtype, cursor = read_name_or_id(data, offset + 8)
        name, cursor = read_name_or_id(data, cursor)
        language = struct.unpack_from("<IHH", data, align4(cursor))[2]
        body = data[offset + header_size:offset + header_size + data_size]
        if data_size:  # the file starts with an empty entry
            resources[(rtype, name, language)] = body
        offset = align4(offset + header_size + data_size)
    return resources


def find(resources, rtype, name):
    return {lang: body for (t, n, lang), body in resources.items() if t == rtype and n == name}


def check_icon(resources):
    groups = find(resources, RT_GROUP_ICON, "IDI_ICON1")
    if not check(list(groups) == [LANG_EN_US],
                 f"one icon group IDI_ICON1 in US English expected, found languages {list(groups)}"):
        return
    group = groups[LANG_EN_US]
    reserved, kind, count = struct.unpack_from("<HHH", group, 0)
    if not check((reserved, kind, count) == (0, 1, 1), f"IDI_ICON1 holds {count} images, not one"):
        return
    width, height, _, _, planes, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", group, 6)
    check((width, height) == (0, 0), f"IDI_ICON1 lists a {width} x {height} image, not 256 x 256")
    check(bits == 32, f"IDI_ICON1 lists {bits} bits per pixel, not 32")
    images = [body for (t, n, _), body in resources.items() if t == RT_ICON and n == icon_id]
    if not check(len(images) == 1 and len(images[0]) == size,
                 f"the icon image {icon_id} is missing or not {size} bytes"):
        return
    image = images[0]
    if image.startswith(b"\x89PNG\r\n\x1a\n"):
        png_width, png_height, depth, colour_type = struct.unpack_from(">IIBB", image, 16)
        check((png_width, png_height) == (256, 256), f"the icon PNG is {png_width} x {png_height}")
        check((depth, colour_type) == (8, 6), "the icon PNG is not 8-bit RGBA")
    else:
        header_size, bmp_width, bmp_height, planes, bits = struct.unpack_from("<IiiHH", image, 0)
        check(header_size == 40, "the icon image is neither a PNG nor a bitmap")
        # A bitmap icon's height counts the colour image and the mask.
        check((bmp_width, bmp_height) == (256, 512),
              f"the icon bitmap is {bmp_width} x {bmp_height // 2}, not 256 x 256")
        check(bits == 32, f"the icon bitmap has {bits} bits per pixel, not 32")


def parse_version_node(data, offset):
    """One VS_VERSIONINFO-style node: (key, value bytes, is_text, children), end."""
    length, value_length, value_type = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    key, cursor = read_wstring(data, offset + 6)
    cursor = align4(cursor)
    value_size = value_length * 2 if value_type == 1 else value_length
    value = data[cursor:min(cursor + value_size, end)]
    cursor = align4(cursor + value_size)
    children = []
    while cursor < end:
        child, child_end = parse_version_node(data, cursor)
        children.append(child)
        cursor = align4(child_end)
    return (key, value, value_type == 1, children), end


def text(value):
    return value.decode("utf-16-le").rstrip("\0")


def check_version(resources, version):
    blocks = find(resources, RT_VERSION, 1)
    if not check(list(blocks) == [LANG_EN_US],
                 f"one version block in US English expected, found languages {list(blocks)}"):
        return
    (key, fixed, _, children), _ = parse_version_node(blocks[LANG_EN_US], 0)
    check(key == "VS_VERSION_INFO", f"the version block is named {key!r}")
    fields = struct.unpack_from("<13I", fixed, 0)
    check(fields[0] == VS_FIXEDFILEINFO_SIGNATURE, "the fixed file info has a wrong signature")
    major, minor, patch, tweak = (int(part) for part in version.split("."))
    packed = ((major << 16) | minor, (patch << 16) | tweak)
    check(fields[2:6] == packed * 2, f"the fixed file and product versions are not {version}")
    check(fields[9] == VFT_APP, f"the file type is {fields[9]}, not an application")

    by_key = {child[0]: child for child in children}
    tables = by_key.get("StringFileInfo", (None, None, None, []))[3]
    wanted_table = f"{LANG_EN_US:04X}{CODEPAGE_UNICODE:04X}"
    if check([t[0].upper() for t in tables] == [wanted_table],
             f"one string table {wanted_table} expected, found {[t[0] for t in tables]}"):
        strings = {k: text(v) for k, v, _, _ in tables[0][3]}
        expected = {**EXPECTED_STRINGS, "FileVersion": version, "ProductVersion": version}
        for name, value in expected.items():
            check(strings.get(name) == value, f"{name} is {strings.get(name)!r}, not {value!r}")
        for name in EMPTY_STRINGS:
            check(strings.get(name) == "", f"{name} is {strings.get(name)!r}, not present and empty")
        for name, value in strings.items():
            if name not in expected and name not in EMPTY_STRINGS:
                check(value == "", f"{name} is {value!r}, not empty")
    variables = {k: v for k, v, _, _ in by_key.get("VarFileInfo", (None, None, None, []))[3]}
    translation = variables.get("Translation", b"")
    check(translation == struct.pack("<HH", LANG_EN_US, CODEPAGE_UNICODE),
          f"the translation entry is {translation.hex()}, not 0x0409, 0x04B0")


def check_manifest(resources):
    manifests = find(resources, RT_MANIFEST, 1)
    if not check(len(manifests) == 1, f"one application manifest expected, found {len(manifests)}"):
        return
    root = ElementTree.fromstring(next(iter(manifests.values())))

    def elements(name):
        return [e for e in root.iter() if e.tag.rsplit("}", 1)[-1] == name]

    levels = [(e.get("level"), e.get("uiAccess")) for e in elements("requestedExecutionLevel")]
    check(levels == [("asInvoker", "false")], f"the execution levels are {levels}")
    controls = [e.attrib for e in elements("assemblyIdentity")
                if e.get("name") == "Microsoft.Windows.Common-Controls"]
    expected = {"type": "win32", "version": "6.0.0.0", "processorArchitecture": "*",
                "language": "*", "publicKeyToken": "6595b64144ccf1df"}
    if check(len(controls) == 1, "no dependency on Common-Controls"):
        for name, value in expected.items():
            check(controls[0].get(name) == value,
                  f"Common-Controls {name} is {controls[0].get(name)!r}, not {value!r}")


def main():
    rc_file, output_dir, version = sys.argv[1:4]
    if shutil.which(WINDRES) is None:
        print(f"{WINDRES} not found (package binutils-mingw-w64-x86-64): skipped")
        return SKIPPED
    os.makedirs(output_dir, exist_ok=True)
    res_file = os.path.join(output_dir, "QuendelWriteCard.res")
    compiled = subprocess.run([WINDRES, "-I", os.path.dirname(os.path.abspath(rc_file)),
                               "-O", "res", "-i", rc_file, "-o", res_file])
    if compiled.returncode != 0:
        print(f"FAIL: {WINDRES} could not compile {rc_file}")
        return 1
    with open(res_file, "rb") as res:
        resources = read_res(res.read())
    check_icon(resources)
    check_version(resources, version)
    check_manifest(resources)
    for failure in failures:
        print("FAIL:", failure)
    print(f"{len(resources)} resources checked, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
