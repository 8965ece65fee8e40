#!/usr/bin/env python3
"""Writes an update-information file as an update server delivers it: the magic "$AUD", then the
record in blocks of at most 65535 bytes, each preceded by the MD5 digest of its bytes. The record
is the format version "100", four numbers, four counted UTF-16 strings with two 16-byte fields
among them, and two tables of 1024 number pairs. The service stores a record it verified in the
same layout, so its updates.dat equals this file byte for byte.

Usage: pud_file.py OUT"""
import hashlib
import struct
import sys

MAGIC = b"$AUD"
VERSION = b"100"
BLOCK_SIZE = 65535
TABLE_ENTRIES = 1024


def text(value):
    units = value.encode("utf-16-le")
    return struct.pack("<I", len(units) // 2) + units


def record():
    """A fixed record, so that every run serves the same bytes."""
    table1 = b"".join(struct.pack("<II", i, i * 3) for i in range(TABLE_ENTRIES))
    table2 = b"".join(struct.pack("<II", TABLE_ENTRIES - i, i) for i in range(TABLE_ENTRIES))
    return b"".join([
        VERSION,
        struct.pack("<4I", 1, 0, 3, 0),
        text("Volarix 1.0.3.0"),
        text("Driver and service update for volumes made by newer systems"),
        hashlib.md5(b"volarix-1.0.3.0-driver").digest(),
        text("https://127.0.0.1/volarix-1.0.3.0.msi"),
        hashlib.md5(b"volarix-1.0.3.0-service").digest(),
        text("Released for the loopback run"),
        table1,
        table2,
    ])


def blocks(payload):
    out = []
    for at in range(0, len(payload), BLOCK_SIZE):
        block = payload[at:at + BLOCK_SIZE]
        out.append(hashlib.md5(block).digest() + block)
    return b"".join(out)


def pud_bytes():
    return MAGIC + blocks(record())


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__.splitlines()[-1] + "\n")
        return 2
    with open(argv[1], "wb") as out:
        out.write(pud_bytes())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
