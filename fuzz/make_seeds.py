#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/.

The seeds are small, made-up inputs that reach each target's main paths;
the fuzzer grows its own corpus from them. Run from anywhere."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

FIELDS = [  # (width in bytes, text) in card order; made-up values only
    (30, "测试样卡"), (2, "1"), (4, "01"), (16, "19900307"),
    (70, "虚拟省示例市模拟区测试路1号"), (36, "990000199003070013"),
    (30, "示例市公安局模拟分局"), (16, "20200101"), (16, "20400101"),
]


def text_block(fields=FIELDS):
    block = b""
    for width, text in fields:
        raw = text.encode("utf-16-le")[:width]
        block += raw + b" \x00" * ((width - len(raw)) // 2)
    return block + b" \x00" * ((256 - len(block)) // 2)


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def card_text():
    write("card_text", "sample_card", text_block())
    write("card_text", "all_spaces", b" \x00" * 128)
    write("card_text", "long_name_and_nation_56", text_block(
        [(30, "一二三四五六七八九十百千万亿兆"), (2, "2"), (4, "56")] + FIELDS[3:]))
    write("card_text", "latin1_and_surrogates", text_block(
        [(30, "阿依·买买提é"), (2, "9"), (4, "99")] + FIELDS[3:])[:200]
        + "\ud800".encode("utf-16-le", "surrogatepass") * 28)


def regressions():
    # A digit field whose units are not ASCII: U+00E9 in the birth date.
    folder = os.path.join(HERE, "regressions", "card_text")
    os.makedirs(folder, exist_ok=True)
    block = text_block(FIELDS[:3] + [(16, "1990\u00e90307")] + FIELDS[4:])
    with open(os.path.join(folder, "digit_field_not_ascii.bin"), "wb") as f:
        f.write(block)


def read():
    # byte 0: bit 0 card on the reader, bit 1 found again after a read,
    # bit 2 a second fault; byte 1: transfers before the unplug; then the
    # fault choices, then one operation per IN stage.
    write("read", "card_no_faults", bytes([0x01, 60, 0, 0, 0, 0]))
    write("read", "no_card", bytes([0x00, 20, 0, 0, 0, 0]))
    write("read", "card_partial_body", bytes([0x01, 90, 0, 0, 3, 2, 40]))
    write("read", "card_short_read_answer", bytes([0x01, 90, 0, 0, 0, 5, 0x02, 0x00]))
    write("read", "card_bus_errors", bytes([0x05, 100, 0, 0, 0, 7, 0, 1, 0, 0, 0, 4, 0]))
    # Keep the first answers, then rewrite the read answer's text block.
    ops = [0] * 7 + [5, 0x00, 0x07, 32] + list("Z\x00".encode() * 16)
    write("read", "card_text_overwritten", bytes([0x01, 100, 0, 0, 0, 0] + ops))
    # Invent a find answer with 0x97 at offset 14 while no card is there.
    write("read", "invented_find", bytes([0x00, 40, 0, 0, 0, 0, 0, 0, 0, 1, 3, 0x97]))


def mcu():
    def frame(total, command, kind, single, count):
        f = bytearray(total)
        f[0], f[1], f[2], f[3], f[4] = 0xAA, (total - 3) >> 8, (total - 3) & 0xFF, command, kind
        if command == 0x03:
            f[6], f[7] = single, count
        return bytes(f)

    def script(f, setup=0):
        head, body = f[:7], f[7:]
        return bytes([setup, len(head)]) + head + struct.pack(">H", len(body)) + body

    write("mcu", "class5_status", script(frame(26, 0x01, 0x00, 0, 0)[:2] + b"\x17" + frame(26, 0x01, 0, 0, 0)[3:]))
    write("mcu", "class1_event", script(frame(12, 0x03, 0x01, 7, 3)))
    write("mcu", "class4_event", script(frame(41, 0x03, 0x02, 1, 32)))
    write("mcu", "class3_event", script(frame(39, 0x03, 0x03, 2, 30)))
    write("mcu", "class2_event", script(frame(25, 0x03, 0x04, 3, 16)))
    write("mcu", "event_count_255", script(frame(263, 0x03, 0x04, 3, 255)))
    write("mcu", "header_fails", script(frame(25, 0x03, 0x04, 3, 16), setup=0x03))
    write("mcu", "nothing", bytes([0, 0, 0, 0]))


def helpers():
    write("helpers", "key_guid_dashes", b"\x00" + b"6B29FC40-CA47-1067-B31D-00DD010662DA")
    write("helpers", "key_odd_braces", b"\x00" + b"{6B29FC40-ca47-1067-b31d-00dd010662da}x")
    write("helpers", "key_long", b"\x00" + b"ab" * 200)
    write("helpers", "split_comma", b"\x01\x01," + b"a,,b,c,")
    write("helpers", "split_overlapping", b"\x01\x02aa" + b"aaaaa")
    write("helpers", "replace_dash", b"\x02\x01-\x00" + b"6B29FC40-CA47-1067")
    write("helpers", "replace_grows", b"\x02\x01a\x02aa" + b"banana")
    write("helpers", "trim", b"\x03" + b"text \t  ")


if __name__ == "__main__":
    card_text()
    regressions()
    read()
    mcu()
    helpers()
