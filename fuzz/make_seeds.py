#!/usr/bin/env python3
# SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
# SPDX-License-Identifier: Apache-2.0
"""Writes the seed corpus: the sample records and every size boundary of each
record kind for the handler, base64 quirks, and conversion edge cases."""

import base64
import glob
import hashlib
import os
import struct

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def put(target, data):
    folder = os.path.join(top, "fuzz", "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(
        os.path.join(folder, hashlib.sha1(data).hexdigest()[:16]), "wb"
    ) as f:
        f.write(data)


def record(subcmd, data):
    put("handler", bytes([subcmd]) + base64.b64encode(data))


for sample in sorted(glob.glob(os.path.join(top, "examples", "*.sample"))):
    subcmd, text = open(sample).read().splitlines()[1].split()
    put("handler", bytes([int(subcmd)]) + text.encode())

for size, cpus in [
    (5, 0),
    (6, 0),
    (13, 0),
    (14, 2),
    (22, 2),
    (70, 8),
    (70, 9),
    (71, 8),
]:
    record(0, (struct.pack("<BIB", 1, 0x04030201, cpus) + bytes(80))[:size])
for count, size in [(0, 4), (1, 20), (2, 20), (1, 36), (1 << 28, 4), (0, 3)]:
    record(1, (struct.pack("<I", count) + bytes(size))[:size])
for count, size in [(0, 8), (2, 24), (1, 24), (0, 12), (1 << 29, 8), (0, 7)]:
    record(2, (struct.pack("<II", 7, count) + bytes(size))[:size])
for size in (63, 64, 65):
    record(3, b"\xff" * size)
record(7, b"xyz")
put("handler", b"\x00QUJ")
put("handler", b"\xffQQ==QUJD")

for text in [
    b"",
    b"QQ==",
    b"QUI=",
    b"QUJD",
    b"QQ==QUJD",
    b"=AAA",
    b"A===",
    b"AA==",
    b"QUJ",
    b"QU-D",
    b"+/+/",
]:
    put("base64", text)

for text in [
    b"0",
    b"3abc",
    b" 2",
    b"\t\n+3",
    b"-1",
    b"256",
    b"4294967295",
    b"4294967296",
    b"-4294967296",
    b"-4294967295",
    b"-h",
    b"",
    b"99999999999999999999999",
]:
    put("convert", text)
