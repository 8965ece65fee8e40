#!/usr/bin/env python3
"""Writes the volume images that the probe tests need beside the APFS fixtures in FIXTURES:
an empty file, a FAT file system, a partition holding another file system, and a container whose
only volume has a role other than none or data."""
import json
import os
import shutil
import struct
import subprocess
import sys


def fletcher64(block):
    c1 = c2 = 0
    for (w,) in struct.iter_unpack("<I", block[8:]):
        c1 = (c1 + w) % 0xFFFFFFFF
        c2 = (c2 + c1) % 0xFFFFFFFF
    check1 = 0xFFFFFFFF - (c1 + c2) % 0xFFFFFFFF
    check2 = 0xFFFFFFFF - (c1 + check1) % 0xFFFFFFFF
    return struct.pack("<II", check1, check2)


def write(path, data):
    with open(path + ".part", "wb") as f:
        f.write(data)
    os.replace(path + ".part", path)


def main(fixtures, data):
    write(os.path.join(fixtures, "probe_empty.img"), b"")

    fat = os.path.join(fixtures, "probe_fat.img")
    if os.path.exists(fat):
        os.remove(fat)
    # dosfstools installs into sbin, which a user's PATH may lack.
    mkfs = shutil.which("mkfs.vfat") or shutil.which("mkfs.vfat", path="/usr/sbin:/sbin")
    subprocess.run([mkfs, "-C", "-n", "PROBE", fat, "4096"], check=True, stdout=subprocess.DEVNULL)

    # An NTFS boot sector and nothing else: the container superblock check refuses it.
    ntfs = bytearray(1 << 20)
    ntfs[0:11] = b"\xebR\x90NTFS    "
    ntfs[510:512] = b"\x55\xaa"
    write(os.path.join(fixtures, "probe_ntfs.img"), bytes(ntfs))

    # dfvfs_apfs with its one volume given the preboot role (0x10), its checksum made good again.
    with open(os.path.join(data, "dfvfs_apfs.header.json")) as f:
        header = json.load(f)
    block_size = header["container"]["block_size"]
    paddr = header["volumes"][0]["apsb_paddr"]
    with open(os.path.join(fixtures, "dfvfs_apfs.raw"), "rb") as f:
        image = bytearray(f.read())
    at = paddr * block_size
    block = bytearray(image[at:at + block_size])
    assert block[32:36] == b"APSB"
    struct.pack_into("<H", block, 964, 0x10)
    block[0:8] = fletcher64(bytes(block))
    image[at:at + block_size] = block
    write(os.path.join(fixtures, "probe_preboot.img"), bytes(image))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
