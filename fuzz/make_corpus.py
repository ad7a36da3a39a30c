#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus: well-formed reader answers to each command.

Input layout, per step: two answer recipes, the command (0 connect, 1 heartbeat,
2 pre-request, 3 card request, 4 authenticate, 5 read, 6 write, 7 change
keys), its argument byte and six key bytes. An answer recipe is 0x00 (the
reader's own answer), 0x01 (time-out), 0x81 (read error), 0xFE with a length
and that many raw bytes (a full 64-byte read), or 0x03 with echo, status,
length and data, which the fuzzer frames itself.
"""
import pathlib

OWN = b"\x00"
TRANSPORT = bytes.fromhex("D47E0B91C6F3")
SITE = bytes.fromhex("3C5A17E29B40")
UID = bytes.fromhex("1A2B3C4D")


def crc8(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = ((crc << 1) ^ 0x07) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return crc


def raw_answer(echo, data=b"", status=0):
    frame = bytes([0xD1, echo, status, len(data)]) + data
    report = bytes([0x01]) + frame + bytes([crc8(frame), 0xD2])
    return b"\xFE" + bytes([len(report)]) + report


def answer(echo, data=b"", status=0):
    return bytes([0x03, echo, status, len(data)]) + data


def step(op, arg=0, key=b"\0" * 6, first=OWN, second=OWN):
    return first + second + bytes([op, arg]) + key


trailer = bytes([59]) + b"\0" * 6 + bytes.fromhex("FF078069") + TRANSPORT
seeds = {
    "link": step(0, first=raw_answer(0x01)) + step(1, first=raw_answer(0x02, status=1)) + step(2, first=answer(0x10)),
    "raw_read": step(5, 56, first=raw_answer(0x16, bytes([56]) + bytes(range(16)))),
    "request": step(3, first=answer(0x14, bytes.fromhex("0400") + UID + b"\x08")),
    "authenticate": step(4, 56, TRANSPORT, first=answer(0x15)),
    "read": step(5, 56, first=answer(0x16, bytes([56]) + bytes(range(16)))),
    "write": step(6, 56, first=answer(0x17, bytes([56]))),
    "change_keys": step(7, 14, SITE, first=answer(0x16, trailer), second=answer(0x17, bytes([59]))),
    "timeouts": step(1, first=b"\x01") + step(5, 56, first=b"\x81"),
    "own_answers": step(2) + step(3) + step(4, 56, TRANSPORT) + step(5, 56) + step(6, 56) + step(7, 14, SITE),
}

out = pathlib.Path(__file__).resolve().parent / "corpus"
out.mkdir(exist_ok=True)
for name, data in seeds.items():
    (out / name).write_bytes(data)
