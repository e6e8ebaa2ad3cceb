#!/usr/bin/env python3
# SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
# SPDX-License-Identifier: Apache-2.0
"""Peer: what a user might write instead, a short Python decoder of the same
records (sub-commands 0 to 3), printing the same summary lines."""

import base64
import struct
import sys
import time

subcmd, text = int(sys.argv[1]) & 0xFF, sys.argv[2]
data = base64.b64decode(text)
ok = False
if subcmd == 0 and 6 <= len(data) <= 70 and len(data) == 6 + 8 * data[5]:
    version, word, cpus = struct.unpack_from("<BIB", data)
    modes = struct.unpack_from("<%dQ" % cpus, data, 6)
    print(
        "MemoryConfig: formatVersion %d, QORV_UEFI_SYS_CONFIG.Data %d, cpuCount %d, eccMode %s"
        % (version, word, cpus, ",".join(map(str, modes)))
    )
    ok = True
elif subcmd == 1 and len(data) >= 4:
    ok = len(data) == 4 + 16 * struct.unpack_from("<I", data)[0]
elif subcmd == 2 and len(data) >= 8:
    header, count = struct.unpack_from("<II", data)
    if len(data) == 8 * (count + 1):
        log = [
            struct.pack(
                "<4xq20xBIII",
                int(time.time()),
                1,
                header,
                *struct.unpack_from("<II", data, 8 + 8 * i)
            )
            for i in range(count)
        ]
        print("MemoryRecoveryLog: size %d" % len(log))
        ok = True
elif subcmd == 3 and len(data) == 64:
    print(
        "MemoryErrorLog: timestamp %d, %s"
        % (time.time(), ", ".join(map(str, struct.unpack("<8Q", data))))
    )
    ok = True
if not ok:
    print(
        "rawData size check failed,subcmd: %d, size: %d" % (subcmd, len(data))
    )
