#!/usr/bin/env python3
"""Writes the fuzz targets' seeds from the fixture images, one folder per target under OUT:

container/  the object blocks of the small images, each as a record of its unit number, its
            length and its bytes without their trailing zeros;
image/      one empty patch list per base image of the image target;
der/, keybag/
            the decrypted keybags of the encrypted image and the key blobs in them;
name/       pairs of stored names of the populated images;
enc_dfvfs_fast.img
            the encrypted image with its password-wrapped key rewrapped for one PBKDF2
            iteration, so that a fuzzed unlock costs microseconds instead of 100000 rounds.
"""
import hashlib
import os
import shutil
import struct
import sys

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.keywrap import aes_key_unwrap, aes_key_wrap

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from apfs_object import fletcher64  # noqa: E402

CONTAINER_IMAGES = ["dfvfs_apfs.raw", "apfs_forensic_container_chain.img", "apfs_forensic_fstree.img",
                    "enc_dfvfs.img"]
# Base images of the image target, which picks one by an input's first byte.
IMAGE_BASES = 4
UNIT = 4096
# Only the units the checkpoint area and the trees use: the images are carved heads whose
# objects all lie in their first few hundred units.
MAX_UNIT = 512
PASSWORD = b"volarix-TEST-pw"
FAST_ITERATIONS = 1
NAME_PAIRS = 48


def container_seed(path):
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


def xts_decrypt(key, data, block):
    units = len(data) // 512
    out = b""
    for u in range(units):
        tweak = (block * (len(data) // 512) + u).to_bytes(16, "little")
        d = Cipher(algorithms.AES(key), modes.XTS(tweak)).decryptor()
        out += d.update(data[u * 512:(u + 1) * 512]) + d.finalize()
    return out


def xts_encrypt(key, data, block):
    """Written with AES-ECB: OpenSSL refuses XTS encryption under equal key halves, which keybags use."""
    half = len(key) // 2
    k1 = Cipher(algorithms.AES(key[:half]), modes.ECB()).encryptor()
    k2 = Cipher(algorithms.AES(key[half:]), modes.ECB()).encryptor()
    units = len(data) // 512
    out = b""
    for u in range(units):
        t = int.from_bytes(k2.update((block * units + u).to_bytes(16, "little")), "little")
        tweaks = b""
        for _ in range(32):
            tweaks += t.to_bytes(16, "little")
            t = ((t << 1) ^ (0x87 if t >> 127 else 0)) & ((1 << 128) - 1)
        plain = bytes(a ^ b for a, b in zip(data[u * 512:(u + 1) * 512], tweaks))
        out += bytes(a ^ b for a, b in zip(k1.update(plain), tweaks))
    return out


def entries(keybag):
    count = struct.unpack_from("<H", keybag, 34)[0]
    off = 48
    for _ in range(count):
        tag, length = struct.unpack_from("<HH", keybag, off + 16)
        yield off, bytes(keybag[off:off + 16]), tag, length
        off += (24 + length + 15) // 16 * 16


def tlv_offsets(blob):
    """Offset and length of the contents of each element of a key blob; the key body's elements
    replace the header's of the same tag."""
    found = {}
    pos = 2 + (blob[1] & 0x7F if blob[1] & 0x80 else 0)
    while pos + 2 <= len(blob):
        tag, length = blob[pos], blob[pos + 1]
        if tag == 0xA3:
            pos += 2
            continue
        found[tag] = (pos + 2, length)
        pos += 2 + length
    return found


def key_blobs(keybag, tag):
    """Where each key blob of the entries with tag starts in keybag, and its element offsets."""
    for off, _, entry_tag, length in entries(keybag):
        if entry_tag == tag:
            blob = off + 24
            yield blob, tlv_offsets(bytes(keybag[blob:blob + length]))


def keybags(image):
    """The container keybag and the volume keybag of the encrypted image, decrypted."""
    sb = image[:UNIT]
    uuid = sb[72:88]
    start = struct.unpack_from("<Q", sb, 1296)[0]
    container = xts_decrypt(uuid + uuid, image[start * UNIT:(start + 1) * UNIT], start)
    for off, vol_uuid, tag, length in entries(container):
        if tag == 3:
            vstart = struct.unpack_from("<Q", container, off + 24)[0]
            volume = xts_decrypt(vol_uuid + vol_uuid, image[vstart * UNIT:(vstart + 1) * UNIT], vstart)
            return start, bytearray(container), vstart, bytearray(volume), vol_uuid
    raise SystemExit("no volume keybag in the encrypted image")


def fast_image(image, vstart, volume, vol_uuid):
    """The image with the unlock record's iteration count set to FAST_ITERATIONS (its integer keeps
    its width) and the KEK rewrapped to match, and the KEK."""
    for blob, fields in key_blobs(volume, 3):
        it_off, it_len = fields[0x84]
        salt_off, _ = fields[0x85]
        wrap_off, _ = fields[0x83]
        iterations = int.from_bytes(volume[blob + it_off:blob + it_off + it_len], "big")
        salt = bytes(volume[blob + salt_off:blob + salt_off + 16])
        slow = hashlib.pbkdf2_hmac("sha256", PASSWORD, salt, iterations, 32)
        kek = aes_key_unwrap(slow, bytes(volume[blob + wrap_off:blob + wrap_off + 40]))
        fast = hashlib.pbkdf2_hmac("sha256", PASSWORD, salt, FAST_ITERATIONS, 32)
        volume[blob + wrap_off:blob + wrap_off + 40] = aes_key_wrap(fast, kek)
        volume[blob + it_off:blob + it_off + it_len] = FAST_ITERATIONS.to_bytes(it_len, "big")
    volume[0:8] = fletcher64(volume)
    image[vstart * UNIT:(vstart + 1) * UNIT] = xts_encrypt(vol_uuid + vol_uuid, bytes(volume), vstart)
    return image, kek


def short_vek(container, kek):
    """The container keybag with its VEK rewrapped as a 16-byte key, whose tweak half the unlock
    derives."""
    keybag = bytearray(container)
    for blob, fields in key_blobs(keybag, 2):
        flags_off, _ = fields[0x82]
        wrap_off, _ = fields[0x83]
        vek = aes_key_unwrap(kek, bytes(keybag[blob + wrap_off:blob + wrap_off + 40]))
        keybag[blob + flags_off:blob + flags_off + 4] = struct.pack("<I", 2)
        keybag[blob + wrap_off:blob + wrap_off + 40] = aes_key_wrap(kek[:16], vek[:16]).ljust(40, b"\0")
    return keybag


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def name_pairs(tsv):
    names = []
    with open(tsv, encoding="utf-8") as f:
        for line in f:
            if line.startswith("#"):
                continue
            cols = line.rstrip("\n").split("\t")
            if len(cols) >= 3:
                names.append((cols[0], bytes.fromhex(cols[2])))
    step = max(1, len(names) // NAME_PAIRS)
    picked = names[::step][:NAME_PAIRS]
    # Flags byte: bit 0 case-sensitive; then the first name's length and both names.
    for i, (rule, name) in enumerate(picked):
        other = picked[(i + 1) % len(picked)][1]
        yield bytes([1 if rule != "ci" else 0, len(name) & 0xFF]) + name + (name.upper() if i % 2 else other)


def main():
    fixtures, names_tsv, out = sys.argv[1], sys.argv[2], sys.argv[3]
    for sub in ("container", "image", "der", "keybag", "name"):
        shutil.rmtree(os.path.join(out, sub), ignore_errors=True)
        os.makedirs(os.path.join(out, sub))
    for name in CONTAINER_IMAGES:
        write(os.path.join(out, "container", name + ".seed"), container_seed(os.path.join(fixtures, name)))
    for base in range(IMAGE_BASES):
        write(os.path.join(out, "image", "base%d.seed" % base), bytes([base]))

    with open(os.path.join(fixtures, "enc_dfvfs.img"), "rb") as f:
        image = bytearray(f.read())
    _, container, vstart, volume, vol_uuid = keybags(image)
    image, kek = fast_image(image, vstart, volume, vol_uuid)
    write(os.path.join(out, "enc_dfvfs_fast.img"), bytes(image))
    # The keybag target reads a 16-bit length, the container keybag and then the volume keybag.
    used = lambda kb: bytes(kb[:max(off + 24 + length for off, _, _, length in entries(kb))])
    for label, kb in (("enc_dfvfs", container), ("short_vek", short_vek(container, kek))):
        write(os.path.join(out, "keybag", label + ".seed"), struct.pack("<H", len(used(kb))) + used(kb) + used(volume))
    for kb, label in ((container, "vek"), (volume, "kek")):
        for off, _, tag, length in entries(kb):
            if length > 16:
                write(os.path.join(out, "der", "%s%d.seed" % (label, tag)), bytes(kb[off + 24:off + 24 + length]))

    for i, pair in enumerate(name_pairs(names_tsv)):
        write(os.path.join(out, "name", "%02d.seed" % i), pair)


main()
