#!/usr/bin/env python3
"""Writes the fuzz target's seeds: the object blocks of the small fixture images, each as a
record of its unit number, its length and its bytes without their trailing zeros."""
import os
import struct
import sys

IMAGES = ["dfvfs_apfs.raw", "apfs_forensic_container_chain.img", "apfs_forensic_fstree.img", "enc_dfvfs.img"]
UNIT = 4096
# Only the units the checkpoint area and the trees use: the images are carved heads whose
# objects all lie in their first few hundred units.
MAX_UNIT = 512


def seed(path):
    out = bytearray()
    with open(path, "rb") as f:
        for unit in range(MAX_UNIT):
            data = f.read(UNIT)
            if not data:
                break
            data = data.rstrip(b"\0")
            if data or unit == 0:
                out += struct.pack("<IH", unit, len(data)) + data
    return bytes(out)


def main():
    fixtures, out_dir = sys.argv[1], sys.argv[2]
    os.makedirs(out_dir, exist_ok=True)
    for name in IMAGES:
        with open(os.path.join(out_dir, name + ".seed"), "wb") as f:
            f.write(seed(os.path.join(fixtures, name)))


main()
