#!/usr/bin/env python3
"""Writes the volume images that the probe tests need beside the APFS fixtures in FIXTURES:
an empty file, a FAT file system, a partition holding another file system, a container whose
only volume has a role other than none or data, and containers with several volumes."""
import json
import os
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "apfs"))
from apfs_object import fletcher64  # noqa: E402


def put_checksummed(image, block_size, paddr, block):
    block[0:8] = fletcher64(bytes(block))
    image[paddr * block_size:(paddr + 1) * block_size] = block


def write(path, data):
    with open(path + ".part", "wb") as f:
        f.write(data)
    os.replace(path + ".part", path)


# Object and container superblock fields (nx_superblock_t).
O_OID = 8
O_XID = 16
NX_OMAP_OID = 160
NX_MAX_FILE_SYSTEMS = 180
NX_FS_OID = 184
# omap_phys_t
OM_TREE_OID = 48
# btree_node_phys_t and the btree_info_t closing a root node
BTN_FLAGS = 32
BTN_ROOT_LEAF_FIXED = 7
BTN_NKEYS = 36
BTN_TABLE_SPACE = 40
BTN_FREE_SPACE = 44
BTN_KEY_FREE_LIST = 48
BTN_VAL_FREE_LIST = 52
BTN_DATA = 56
BTREE_INFO_SIZE = 40
BTREE_INFO_KEY_COUNT = 24
BTOFF_INVALID = 0xFFFF
OMAP_ENTRY_SIZE = 16
OV_ENCRYPTED = 4
# apfs_superblock_t
APSB_MAGIC = 32
APSB_FS_INDEX = 36
APSB_OMAP_OID = 128
APSB_ROOT_TREE_OID = 136
APSB_VOL_UUID = 240
APSB_ROLE = 964

ROLE_SYSTEM = 0x01
ROLE_RECOVERY = 0x04
ROLE_VM = 0x08
ROLE_PREBOOT = 0x10
ROLE_DATA = 0x40
ROLE_UPDATE = 0xC0

# Virtual ids of the volume superblocks, falling with the index so that the object map's key
# order is not the volume table's.
VOLUME_OID_TOP = 1100
# A root tree id that no volume's object map holds: such a volume fails to mount.
ABSENT_TREE_OID = 0x7FFFFFFF

# (image, [(role, mounts)]): in each, only the volume that the data-volume choice must find
# mounts, so a probe of any other volume answers no.
SEVERAL_VOLUMES = [
    ("probe_system_data.img", [(ROLE_SYSTEM, False), (ROLE_DATA, True)]),
    ("probe_update_data.img", [(ROLE_UPDATE, False), (ROLE_DATA, True)]),
    ("probe_no_data.img", [(ROLE_PREBOOT, True), (ROLE_RECOVERY, False), (ROLE_UPDATE, False)]),
    ("probe_five.img", [(ROLE_SYSTEM, False), (ROLE_PREBOOT, False), (ROLE_RECOVERY, False),
                        (ROLE_VM, False), (ROLE_DATA, True)]),
    ("probe_system_broken_data.img", [(ROLE_SYSTEM, True), (ROLE_DATA, False)]),
]


def u64(block, at):
    return struct.unpack_from("<Q", block, at)[0]


class Container:
    """A single-volume fixture container and the blocks that lead to its one volume."""

    def __init__(self, fixtures, data, name):
        with open(os.path.join(data, name.rsplit(".", 1)[0] + ".header.json")) as f:
            header = json.load(f)["container"]
        with open(os.path.join(fixtures, name), "rb") as f:
            self.image = bytes(f.read())
        self.block_size = header["block_size"]
        self.block_count = header["block_count"]
        self.superblocks = [0, header["live_superblock_paddr"]]
        live = self.block(self.superblocks[1])
        self.omap_leaf = u64(self.block(u64(live, NX_OMAP_OID)), OM_TREE_OID)
        (self.apsb_oid, _, self.apsb), = self.omap_entries(self.omap_leaf)
        assert u64(live, NX_FS_OID) == self.apsb_oid
        assert self.block(self.apsb)[APSB_MAGIC:APSB_MAGIC + 4] == b"APSB"

    def block(self, paddr):
        return bytearray(self.image[paddr * self.block_size:(paddr + 1) * self.block_size])

    def omap_entries(self, paddr):
        """(oid, xid, paddr) of each record of a one-node object map."""
        leaf = self.block(paddr)
        table = BTN_DATA + struct.unpack_from("<H", leaf, BTN_TABLE_SPACE + 2)[0]
        end = self.block_size - BTREE_INFO_SIZE
        assert struct.unpack_from("<H", leaf, BTN_FLAGS)[0] == BTN_ROOT_LEAF_FIXED
        entries = []
        for i in range(struct.unpack_from("<I", leaf, BTN_NKEYS)[0]):
            k, v = struct.unpack_from("<HH", leaf, BTN_DATA + 4 * i)
            entries.append((u64(leaf, table + k), u64(leaf, table + k + 8), u64(leaf, end - v + 8)))
        return entries

    def free_blocks(self, count):
        """The last count blocks of the container that hold only zeros."""
        found = [b for b in range(self.block_count - 1, 0, -1) if not any(self.block(b))][:count]
        assert len(found) == count
        return found


def omap_leaf(c, paddr, records, size=None):
    """The one-node object map at paddr with its records replaced by records (oid, xid, flags,
    paddr), each of size bytes (one block by default)."""
    leaf = c.block(paddr)
    table_len = struct.unpack_from("<H", leaf, BTN_TABLE_SPACE + 2)[0]
    end = c.block_size - BTREE_INFO_SIZE
    keys = BTN_DATA + table_len
    assert 4 * len(records) <= table_len
    leaf[BTN_DATA:end] = bytes(end - BTN_DATA)
    for i, (oid, xid, flags, target) in enumerate(sorted(records)):
        key, value = OMAP_ENTRY_SIZE * i, OMAP_ENTRY_SIZE * (i + 1)
        struct.pack_into("<HH", leaf, BTN_DATA + 4 * i, key, value)
        struct.pack_into("<QQ", leaf, keys + key, oid, xid)
        struct.pack_into("<IIQ", leaf, end - value, flags, size or c.block_size, target)
    used = OMAP_ENTRY_SIZE * len(records)
    struct.pack_into("<HH", leaf, BTN_FREE_SPACE, used, end - keys - 2 * used)
    struct.pack_into("<HH", leaf, BTN_KEY_FREE_LIST, BTOFF_INVALID, 0)
    struct.pack_into("<HH", leaf, BTN_VAL_FREE_LIST, BTOFF_INVALID, 0)
    struct.pack_into("<I", leaf, BTN_NKEYS, len(records))
    struct.pack_into("<Q", leaf, end + BTREE_INFO_KEY_COUNT, len(records))
    return leaf


def write_volume_table(image, c, volumes, xid):
    """Gives the container the volumes [(oid, superblock paddr)], index by index."""
    records = [(oid, xid, 0, paddr) for oid, paddr in volumes]
    put_checksummed(image, c.block_size, c.omap_leaf, omap_leaf(c, c.omap_leaf, records))
    for paddr in c.superblocks:
        sb = c.block(paddr)
        for index, (oid, _) in enumerate(volumes):
            struct.pack_into("<Q", sb, NX_FS_OID + 8 * index, oid)
        most = struct.unpack_from("<I", sb, NX_MAX_FILE_SYSTEMS)[0]
        struct.pack_into("<I", sb, NX_MAX_FILE_SYSTEMS, max(most, len(volumes)))
        put_checksummed(image, c.block_size, paddr, sb)


def volume_superblock(source, oid, index, role):
    """A copy of a volume superblock as another volume: its own id, index, role and UUID (whose
    last byte is the index)."""
    sb = bytearray(source)
    struct.pack_into("<Q", sb, O_OID, oid)
    struct.pack_into("<I", sb, APSB_FS_INDEX, index)
    struct.pack_into("<H", sb, APSB_ROLE, role)
    sb[APSB_VOL_UUID + 15] = index
    return sb


def several_volumes(c, volumes):
    """The container with its one volume replaced by the volumes given, all sharing its trees."""
    image = bytearray(c.image)
    source = c.block(c.apsb)
    table = []
    for index, ((role, mounts), paddr) in enumerate(zip(volumes, c.free_blocks(len(volumes)))):
        oid = VOLUME_OID_TOP - index
        sb = volume_superblock(source, oid, index, role)
        if not mounts:
            struct.pack_into("<Q", sb, APSB_ROOT_TREE_OID, ABSENT_TREE_OID)
        put_checksummed(image, c.block_size, paddr, sb)
        table.append((oid, paddr))
    write_volume_table(image, c, table, u64(source, O_XID))
    return bytes(image)


def system_beside_encrypted_data(plain, enc):
    """The encrypted container with a system volume at index 0 before its data volume: the plain
    container's volume superblock, object map and one-node file-system tree (the encrypted image
    was made from the plain one), copied to free blocks of the encrypted one."""
    image = bytearray(enc.image)
    apsb, omap, leaf, root = enc.free_blocks(4)
    source = plain.block(plain.apsb)
    om = plain.block(u64(source, APSB_OMAP_OID))
    (tree_oid, tree_xid, tree_paddr), = plain.omap_entries(u64(om, OM_TREE_OID))
    assert tree_oid == u64(source, APSB_ROOT_TREE_OID)
    image[root * enc.block_size:(root + 1) * enc.block_size] = plain.block(tree_paddr)
    # Physical objects are named by their address.
    node = omap_leaf(plain, u64(om, OM_TREE_OID), [(tree_oid, tree_xid, 0, root)])
    struct.pack_into("<Q", node, O_OID, leaf)
    put_checksummed(image, enc.block_size, leaf, node)
    struct.pack_into("<Q", om, O_OID, omap)
    struct.pack_into("<Q", om, OM_TREE_OID, leaf)
    put_checksummed(image, enc.block_size, omap, om)
    sb = volume_superblock(source, VOLUME_OID_TOP, 0, ROLE_SYSTEM)
    struct.pack_into("<Q", sb, APSB_OMAP_OID, omap)
    put_checksummed(image, enc.block_size, apsb, sb)
    volumes = [(VOLUME_OID_TOP, apsb), (enc.apsb_oid, enc.apsb)]
    write_volume_table(image, enc, volumes, u64(source, O_XID))
    return bytes(image)


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
    plain = Container(fixtures, data, "dfvfs_apfs.raw")
    image = bytearray(plain.image)
    block = plain.block(plain.apsb)
    struct.pack_into("<H", block, APSB_ROLE, ROLE_PREBOOT)
    put_checksummed(image, plain.block_size, plain.apsb, block)
    write(os.path.join(fixtures, "probe_preboot.img"), bytes(image))

    for name, volumes in SEVERAL_VOLUMES:
        write(os.path.join(fixtures, name), several_volumes(plain, volumes))
    enc = Container(fixtures, data, "enc_dfvfs.img")
    write(os.path.join(fixtures, "probe_system_encrypted_data.img"),
          system_beside_encrypted_data(plain, enc))

    # enc_dfvfs whose volume object map gives its root tree two blocks: damaged past any password.
    image = bytearray(enc.image)
    paddr = u64(enc.block(u64(enc.block(enc.apsb), APSB_OMAP_OID)), OM_TREE_OID)
    (oid, xid, tree), = enc.omap_entries(paddr)
    leaf = omap_leaf(enc, paddr, [(oid, xid, OV_ENCRYPTED, tree)], 2 * enc.block_size)
    put_checksummed(image, enc.block_size, paddr, leaf)
    write(os.path.join(fixtures, "probe_encrypted_two_block_tree.img"), bytes(image))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
