"""The object checksum the reader checks before it trusts a block, shared by the scripts that
build test images and fuzz seeds from the fixtures."""
import struct


def fletcher64(block):
    """The 8-byte checksum that belongs in the first 8 bytes of an object block."""
    lo = hi = 0
    for (word,) in struct.iter_unpack("<I", block[8:]):
        lo = (lo + word) % 0xFFFFFFFF
        hi = (hi + lo) % 0xFFFFFFFF
    c0 = 0xFFFFFFFF - (lo + hi) % 0xFFFFFFFF
    c1 = 0xFFFFFFFF - (lo + c0) % 0xFFFFFFFF
    return struct.pack("<II", c0, c1)
