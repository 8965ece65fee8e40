#!/usr/bin/env python3
"""Writes crafted images beside the fixtures in FIXTURES: dfvfs_apfs grown to a sparse 1 GiB
whose file-system tree sends one walk over the root inode's attributes again and again,
dfvfs_apfs with its newest checkpoint torn and a checkpoint area of another size, and dfvfs_apfs
on a disk of 4096-byte sectors.

hostile_tree_d2.img  a root index node whose entries after the first all point at one leaf of
                     attribute records of the root inode
hostile_tree_d3.img  the same one level deeper (hostile_tree_dN.img: N levels, up to 9)
hostile_tree_links.img  as d3 with a leaf of the root inode's sibling links: no attributes gathered
hostile_tree_wide.img  the root index's entries point at distinct leaves, each full of attributes
hostile_tree_many_KIND.img  4096 distinct leaves under a three-level tree, full of the root inode's
                     records that an inode load steps over (KIND links, streams, crypto,
                     extents), or holding one attribute each (KIND attrs)
hostile_area_huge.img  a checkpoint area of 0xFFFFFFFE blocks in a container of 0xFFFFFFFF, on
                     the original 4 MiB
hostile_area_sparse.img  an area of all but one block of a container that fills a sparse 64 GiB
hostile_area_real.img  the 280-block area that large containers get
hostile_area_flagged.img  an area of 8 blocks flagged as not contiguous (0x80000008), in a
                     container that fills a sparse 8 TiB: read as a length, the area lies on it
gpt4k_dfvfs_apfs.img  a GPT disk of 4096-byte sectors whose one APFS partition is dfvfs_apfs

Usage: make-hostile-trees.py FIXTURES [NAME...]; by default all of them."""
import os
import struct
import sys
import uuid
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from apfs_object import fletcher64  # noqa: E402

BS = 4096
IMAGE_SIZE = 1 << 30
XID = 4  # the container's transaction in dfvfs_apfs
NX_SUPERBLOCKS = (0, 8)  # block 0 and the newest checkpoint's superblock
FS_ROOT, OMAP_ROOT = 101, 103  # the file-system tree's root node and the volume object map's root
ROOT_OID = 1028
FIRST_FREE = 2048  # new nodes go beyond the original image

OBJ_PHYSICAL = 0x40000000
BTREE, BTREE_NODE = 2, 3
SUBTYPE_FSTREE, SUBTYPE_OMAP = 14, 11
FLAG_ROOT, FLAG_LEAF, FLAG_FIXED = 1, 2, 4
INFO_SIZE = 40
TYPE_INODE, TYPE_XATTR, TYPE_SIBLING_LINK, TYPE_DSTREAM_ID, TYPE_CRYPTO_STATE, TYPE_FILE_EXTENT = range(3, 9)
XATTR_EMBEDDED = 2
MANY_LEAVES = 4096  # four times the leaves one probe may read


def sealed(block):
    block[0:8] = fletcher64(bytes(block))
    return bytes(block)


def records_of(node):
    """(key, value) of every entry of a variable-size leaf."""
    nkeys, table_len = struct.unpack_from("<I", node, 36)[0], struct.unpack_from("<H", node, 42)[0]
    keys, value_end = 56 + table_len, BS - (INFO_SIZE if struct.unpack_from("<H", node, 32)[0] & FLAG_ROOT else 0)
    out = []
    for i in range(nkeys):
        k_off, k_len, v_off, v_len = struct.unpack_from("<4H", node, 56 + 8 * i)
        out.append((node[keys + k_off:keys + k_off + k_len], node[value_end - v_off:value_end - v_off + v_len]))
    return out


def node(oid, subtype, level, records, root=False, fixed=False, info=b"", physical=False):
    """A B-tree node holding records in order; fixed nodes take 16-byte keys and values."""
    block = bytearray(BS)
    kind = (BTREE if root else BTREE_NODE) | (OBJ_PHYSICAL if physical else 0)
    struct.pack_into("<QQII", block, 8, oid, XID, kind, subtype)
    flags = (FLAG_ROOT if root else 0) | (FLAG_LEAF if level == 0 else 0) | (FLAG_FIXED if fixed else 0)
    toc_size = 4 if fixed else 8
    table_len = len(records) * toc_size
    keys, value_end = 56 + table_len, BS - (INFO_SIZE if root else 0)
    k_at = v_at = 0
    for i, (key, value) in enumerate(records):
        v_at += len(value)
        if fixed:
            struct.pack_into("<HH", block, 56 + 4 * i, k_at, v_at)
        else:
            struct.pack_into("<4H", block, 56 + 8 * i, k_at, len(key), v_at, len(value))
        block[keys + k_at:keys + k_at + len(key)] = key
        block[value_end - v_at:value_end - v_at + len(value)] = value
        k_at += len(key)
    assert keys + k_at <= value_end - v_at, "records overflow the node"
    free = value_end - v_at - keys - k_at
    struct.pack_into("<HHI8H", block, 32, flags, level, len(records), 0, table_len, k_at, free, 0xFFFF, 0,
                     0xFFFF, 0)
    if root:
        block[value_end:] = info
    return sealed(block)


def jkey(oid, kind):
    return struct.pack("<Q", oid | kind << 60)


def record(kind, i):
    """The root inode's i-th record of a kind: an inline attribute, or one that an inode load steps
    over (sibling link, data-stream id, crypto state, extent without a block)."""
    if kind == "attrs":
        name = b"user.hostile.%04d\0" % i
        key = jkey(2, TYPE_XATTR) + struct.pack("<H", len(name)) + name
        return key, struct.pack("<HH", XATTR_EMBEDDED, 16) + bytes(16)
    if kind == "links":
        return jkey(2, TYPE_SIBLING_LINK) + struct.pack("<Q", 1000 + i), struct.pack("<QH", 1, 2) + b"a\0"
    if kind == "streams":
        return jkey(2, TYPE_DSTREAM_ID), struct.pack("<I", 1)
    if kind == "crypto":
        return jkey(2, TYPE_CRYPTO_STATE), struct.pack("<IHHIIIHH", 1, 5, 0, 0, 1, 0, 0, 0)
    return jkey(2, TYPE_FILE_EXTENT) + struct.pack("<Q", i * BS), struct.pack("<QQQ", BS, 0, 0)


def root_leaf(kind, most=None):
    """A leaf full of the root inode's records of a kind, or holding the first most of them."""
    records = []
    used = 56
    while most is None or len(records) < most:
        key, value = record(kind, len(records))
        if used + 8 + len(key) + len(value) > BS:
            break
        used += 8 + len(key) + len(value)
        records.append((key, value))
    return records


def fill_index(head, repeat, root):
    """An index node's entries: head, then repeat until the node is full."""
    room = BS - 56 - (INFO_SIZE if root else 0)
    used = sum(8 + len(k) + len(v) for k, v in head)
    entries = list(head)
    while used + 8 + len(repeat[0]) + len(repeat[1]) <= room:
        entries.append(repeat)
        used += 8 + len(repeat[0]) + len(repeat[1])
    return entries


def build(original, name):
    image = {}
    fs_root = original[FS_ROOT * BS:(FS_ROOT + 1) * BS]
    info = bytes(fs_root[BS - INFO_SIZE:])
    first = [r for r in records_of(fs_root) if struct.unpack_from("<Q", r[0])[0] <= 2 | TYPE_INODE << 60]
    wide, many = name == "hostile_tree_wide.img", name.startswith("hostile_tree_many_")
    kind = name[len("hostile_tree_many_"):-len(".img")] if many else "attrs"
    if name == "hostile_tree_links.img":
        kind = "links"
    leaf = root_leaf(kind, 1 if many and kind == "attrs" else None)
    a_oid, b_oid = ROOT_OID + 2, ROOT_OID + 3
    ptr = lambda oid: struct.pack("<Q", oid)
    a_key, b_key = first[0][0], leaf[0][0]
    nodes = {a_oid: node(a_oid, SUBTYPE_FSTREE, 0, first), b_oid: node(b_oid, SUBTYPE_FSTREE, 0, leaf)}
    if wide:
        # As many distinct copies of the leaf as the root index node can name.
        entries = [(a_key, ptr(a_oid))]
        for i in range(80):
            oid = ROOT_OID + 4 + i
            nodes[oid] = node(oid, SUBTYPE_FSTREE, 0, leaf)
            entries.append((b_key, ptr(oid)))
        root = node(ROOT_OID, SUBTYPE_FSTREE, 1, entries, True, info=info)
    elif many:
        # Copies of the leaf (node headers' oids are not checked) named by as few index nodes as
        # hold them, the first of which also names the inode's leaf.
        children = [(a_key, a_oid)] + [(b_key, b_oid + i) for i in range(MANY_LEAVES)]
        per = (BS - 56) // (16 + max(len(a_key), len(b_key)))
        top = []
        for j in range(0, len(children), per):
            oid = b_oid + MANY_LEAVES + j
            nodes.update((o, nodes[b_oid]) for _, o in children[j:j + per] if o != a_oid)
            nodes[oid] = node(oid, SUBTYPE_FSTREE, 1, [(k, ptr(o)) for k, o in children[j:j + per]])
            top.append((children[j][0], ptr(oid)))
        root = node(ROOT_OID, SUBTYPE_FSTREE, 2, top, True, info=info)
    else:
        # Per level, a node whose first entry leads to the inode's leaf and whose others lead to
        # the attribute leaf, and a node whose entries all lead to the attribute leaf.
        depth = 3 if name == "hostile_tree_links.img" else int(name[len("hostile_tree_d")])
        first_oid, repeat_oid = a_oid, b_oid
        for level in range(1, depth - 1):
            f_oid, r_oid = ROOT_OID + 2 + 2 * level, ROOT_OID + 3 + 2 * level
            nodes[f_oid] = node(f_oid, SUBTYPE_FSTREE, level,
                                fill_index([(a_key, ptr(first_oid))], (b_key, ptr(repeat_oid)), False))
            nodes[r_oid] = node(r_oid, SUBTYPE_FSTREE, level, fill_index([], (b_key, ptr(repeat_oid)), False))
            first_oid, repeat_oid = f_oid, r_oid
        root = node(ROOT_OID, SUBTYPE_FSTREE, depth - 1,
                    fill_index([(a_key, ptr(first_oid))], (b_key, ptr(repeat_oid)), True), True, info=info)
    image[FS_ROOT] = root

    omap_root = original[OMAP_ROOT * BS:(OMAP_ROOT + 1) * BS]
    mappings = [(ROOT_OID, FS_ROOT)]
    for i, (oid, data) in enumerate(sorted(nodes.items())):
        image[FIRST_FREE + i] = data
        mappings.append((oid, FIRST_FREE + i))
    omap = [(struct.pack("<QQ", oid, XID - 1), struct.pack("<IIQ", 0, BS, paddr)) for oid, paddr in mappings]
    omap_info = bytearray(omap_root[BS - INFO_SIZE:])
    struct.pack_into("<Q", omap_info, 24, len(omap))
    if 56 + INFO_SIZE + 36 * len(omap) <= BS:
        image[OMAP_ROOT] = node(OMAP_ROOT, SUBTYPE_OMAP, 0, omap, True, True, bytes(omap_info), True)
    else:
        # Physical leaves after the tree's nodes under an index root.
        per, index = (BS - 56) // 36, []
        for j in range(0, len(omap), per):
            paddr = FIRST_FREE + len(nodes) + len(index)
            image[paddr] = node(paddr, SUBTYPE_OMAP, 0, omap[j:j + per], fixed=True, physical=True)
            index.append((omap[j][0], ptr(paddr)))
        image[OMAP_ROOT] = node(OMAP_ROOT, SUBTYPE_OMAP, 1, index, True, True, bytes(omap_info), True)

    for block in NX_SUPERBLOCKS:
        sb = bytearray(original[block * BS:(block + 1) * BS])
        struct.pack_into("<Q", sb, 40, IMAGE_SIZE // BS)
        image[block] = sealed(sb)
    return image


# Area images: (area blocks, container blocks, image bytes); None keeps the original's.
AREAS = {"hostile_area_huge.img": (0xFFFFFFFE, 0xFFFFFFFF, None),
         "hostile_area_sparse.img": ((1 << 24) - 1, 1 << 24, 1 << 36),
         "hostile_area_real.img": (280, None, None),
         "hostile_area_flagged.img": (0x80000008, (1 << 31) + 16, ((1 << 31) + 16) * BS)}
CHECKPOINT_SUPERBLOCKS = (0, 2, 4, 6, 8)  # block 0 and the area's superblocks, xids 1 to 4
TORN_BYTE = 200  # inside the newest superblock, which then fails its checksum


def build_area(original, name):
    """Every superblock names the area; the newest is then torn."""
    blocks, count, _ = AREAS[name]
    image = {}
    for block in CHECKPOINT_SUPERBLOCKS:
        sb = bytearray(original[block * BS:(block + 1) * BS])
        struct.pack_into("<I", sb, 104, blocks)
        if count:
            struct.pack_into("<Q", sb, 40, count)
        image[block] = bytearray(sealed(sb))
    image[NX_SUPERBLOCKS[1]][TORN_BYTE] ^= 0x5A
    return image


GPT_4K = "gpt4k_dfvfs_apfs.img"
SECTOR_4K = 4096
GPT_ENTRIES, GPT_ENTRY_SIZE = 128, 128
APFS_PARTITION_TYPE = uuid.UUID("7C3457EF-0000-11AA-AA11-00306543ECAC")
# Fixed, as make-gpt.sh's, so that the disk is the same on every run.
DISK_GUID = uuid.UUID("5A5A5A5A-0000-4000-8000-000000000001")
PART_GUID = uuid.UUID("5A5A5A5A-0000-4000-8000-000000000002")


def gpt_disk(container, sector):
    """A disk of sector-byte sectors: protective MBR, GPT header and entries, the container as its
    one APFS partition, then the backup entries and header."""
    table = GPT_ENTRIES * GPT_ENTRY_SIZE // sector
    first = 2 + table
    last = first + len(container) // sector - 1
    backup = last + 1 + table
    disk = bytearray((backup + 1) * sector)
    struct.pack_into("<4xB3xII", disk, 446, 0xEE, 1, min(backup, 0xFFFFFFFF))
    disk[510:512] = b"\x55\xaa"
    entries = bytearray(GPT_ENTRIES * GPT_ENTRY_SIZE)
    struct.pack_into("<16s16sQQQ72s", entries, 0, APFS_PARTITION_TYPE.bytes_le, PART_GUID.bytes_le,
                     first, last, 0, "APFS".encode("utf-16-le"))
    for lba, other, entries_lba in ((1, backup, 2), (backup, 1, last + 1)):
        header = bytearray(struct.pack("<8sIIIIQQQQ16sQIII", b"EFI PART", 0x10000, 92, 0, 0, lba, other,
                                       first, last, DISK_GUID.bytes_le, entries_lba, GPT_ENTRIES,
                                       GPT_ENTRY_SIZE, zlib.crc32(entries)))
        struct.pack_into("<I", header, 16, zlib.crc32(header))
        disk[lba * sector:lba * sector + len(header)] = header
        disk[entries_lba * sector:entries_lba * sector + len(entries)] = entries
    disk[first * sector:(last + 1) * sector] = container
    return bytes(disk)


def main():
    fixtures = sys.argv[1]
    many = ["hostile_tree_many_%s.img" % kind for kind in ("links", "streams", "crypto", "extents", "attrs")]
    names = sys.argv[2:] or ["hostile_tree_d2.img", "hostile_tree_d3.img", "hostile_tree_links.img",
                             "hostile_tree_wide.img"] + many + list(AREAS) + [GPT_4K]
    with open(os.path.join(fixtures, "dfvfs_apfs.raw"), "rb") as f:
        original = f.read()
    for name in names:
        path = os.path.join(fixtures, name)
        with open(path + ".part", "wb") as f:
            if name == GPT_4K:
                f.write(gpt_disk(original, SECTOR_4K))
            else:
                f.write(original)
                area = AREAS.get(name)
                f.truncate((area[2] or len(original)) if area else IMAGE_SIZE)
                for block, data in sorted((build_area if area else build)(original, name).items()):
                    f.seek(block * BS)
                    f.write(data)
        os.replace(path + ".part", path)


main()
