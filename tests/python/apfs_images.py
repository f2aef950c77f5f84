"""APFS containers for tests: the shared fixtures unpacked sparsely, and small
synthetic containers for the cases no tool here can make (several versions of
one object in an object map, newer checkpoints, damaged trees)."""

import shutil
import struct
import subprocess

BS = 4096
OMAP_TYPE, BTREE_TYPE, NXSB_TYPE, APSB_TYPE = 0x0B, 0x02, 0x01, 0x0D
ROOT, LEAF, FIXED = 1, 2, 4


def unpack_sparse(src, dst, pad_to=None):
    """An .img.xz unpacked with its holes kept, or a carved image padded with zeros."""
    if str(src).endswith(".xz"):
        with open(dst, "wb") as out:
            xz = subprocess.Popen(["xz", "-dc", str(src)], stdout=subprocess.PIPE)
            subprocess.run(["cp", "--sparse=always", "/dev/stdin", str(dst)], stdin=xz.stdout, check=True)
            assert xz.wait() == 0
    else:
        shutil.copyfile(src, dst)
    if pad_to:
        with open(dst, "r+b") as f:
            f.truncate(pad_to)
    return dst


def fletcher64(block: bytes) -> int:
    mod = 0xFFFFFFFF
    s1 = s2 = 0
    for (word,) in struct.iter_unpack("<I", block[8:]):
        s1 = (s1 + word) % mod
        s2 = (s2 + s1) % mod
    low = mod - ((s1 + s2) % mod)
    high = mod - ((s1 + low) % mod)
    return (high << 32) | low


def seal(block: bytearray) -> bytearray:
    struct.pack_into("<Q", block, 0, fletcher64(bytes(block)))
    return block


def obj(oid, xid, kind, body: bytes, size=BS) -> bytearray:
    block = bytearray(size)
    struct.pack_into("<QQII", block, 8, oid, xid, kind, 0)
    block[32:32 + len(body)] = body
    return seal(block)


def node(entries, *, leaf=True, root=True, fixed=False, level=0):
    """A B-tree node block from (key, value) pairs; values of index nodes are 8-byte child ids."""
    flags = (ROOT if root else 0) | (LEAF if leaf else 0) | (FIXED if fixed else 0)
    block = bytearray(BS)
    toc_size = (4 if fixed else 8) * max(len(entries), 1)
    value_end = BS - (40 if root else 0)
    keys, kpos, vpos = bytearray(), [], []
    values_used = 0
    for key, value in entries:
        kpos.append((len(keys), len(key)))
        keys += key
        values_used += len(value)
        vpos.append((values_used, len(value)))
        block[value_end - values_used:value_end - values_used + len(value)] = value
    struct.pack_into("<HHIHHHH", block, 32, flags, level, len(entries), 0, toc_size, 0, 0)
    for i, ((ko, kl), (vo, vl)) in enumerate(zip(kpos, vpos)):
        if fixed:
            struct.pack_into("<HH", block, 56 + 4 * i, ko, vo)
        else:
            struct.pack_into("<HHHH", block, 56 + 8 * i, ko, kl, vo, vl)
    block[56 + toc_size:56 + toc_size + len(keys)] = keys
    if root:
        struct.pack_into("<IIIIIIQQ", block, BS - 40, 0, BS, 16 if fixed else 0, 16 if fixed else 0, 0, 0,
                         len(entries), 1)
    return bytes(block[32:])


def omap_entries(mappings):
    return [(struct.pack("<QQ", oid, xid), struct.pack("<IIQ", 0, BS, paddr)) for oid, xid, paddr in sorted(mappings)]


def fs_key(oid, kind, rest=b""):
    return struct.pack("<Q", oid | (kind << 60)) + rest


def inode(parent, private, mode, size, nlink=1):
    value = struct.pack("<QQqqqqQIIIIIIHHQ", parent, private, 10, 20, 30, 40, 0, nlink, 0, 0, 0, 501, 20, mode, 0, 0)
    # One extended field: the data stream, whose first word is the size.
    value += struct.pack("<HHBBH", 1, 48, 8, 0, 40) + struct.pack("<QQQQQ", size, size, 0, 0, 0)
    return value


def drec(parent, name, file_id, kind):
    raw = name.encode() + b"\0"
    return fs_key(parent, 9, struct.pack("<I", len(raw)) + raw), struct.pack("<QQH", file_id, 0, kind)


def extent(private, logical, length, block):
    return fs_key(private, 8, struct.pack("<Q", logical)), struct.pack("<QQQ", length, block, 0)


def fs_tree(files, root_id=2):
    """A one-leaf file-system tree: files maps a name to (inode id, size, [(logical, length, block)])."""
    records = [(fs_key(root_id, 3), inode(1, root_id, 0o40755, 0, nlink=len(files)))]
    records += [drec(root_id, name, ino, 8) for name, (ino, _, _) in files.items()]
    for name, (ino, size, extents) in files.items():
        records.append((fs_key(ino, 3), inode(root_id, ino, 0o100644, size)))
        records += [extent(ino, *e) for e in extents]
    records.sort(key=lambda r: (struct.unpack_from("<Q", r[0])[0] & ((1 << 60) - 1), r[0][7] >> 4, r[0][8:]))
    return node(records)


def container(*, volume_oids=(1026,), block_size=BS, checkpoint=None, descriptor_blocks=2, fs_trees=None,
              volume_mappings=None, volume_xid=7, data=None, name="Synth"):
    """A container of 64 blocks. fs_trees maps a block number to a file-system tree node body;
    volume_mappings are the volume object map's (oid, xid, paddr) entries."""
    blocks = {}

    def nxsb(xid, omap_block):
        body = struct.pack("<IIQ", 0x4253584E, block_size, 64) + bytes(40)
        body += struct.pack("<QQIIQQ", 2048, xid + 1, descriptor_blocks, 0, 1, 0) + bytes(24)
        body += struct.pack("<QQQ", 0, omap_block, 0) + struct.pack("<II", 0, len(volume_oids))
        body += b"".join(struct.pack("<Q", v) for v in volume_oids)
        return obj(1, xid, NXSB_TYPE, body)

    blocks[0] = nxsb(1, 10)
    if checkpoint is not None:  # (xid, name of the volume it leads to)
        xid, newer_name = checkpoint
        blocks[1] = nxsb(xid, 12)
        blocks[12] = obj(12, xid, OMAP_TYPE, bytes(16) + struct.pack("<Q", 13))
        blocks[13] = obj(13, xid, BTREE_TYPE, node(omap_entries([(1026, xid, 21)]), fixed=True))
        blocks[21] = apsb(newer_name, volume_xid)
    blocks[10] = obj(10, 1, OMAP_TYPE, bytes(16) + struct.pack("<Q", 11))
    blocks[11] = obj(11, 1, BTREE_TYPE, node(omap_entries([(1026, 1, 20)]), fixed=True))
    blocks[20] = apsb(name, volume_xid)
    blocks[30] = obj(30, volume_xid, OMAP_TYPE, bytes(16) + struct.pack("<Q", 31))
    mappings = volume_mappings if volume_mappings is not None else [(1028, volume_xid, 40)]
    blocks[31] = obj(31, volume_xid, BTREE_TYPE, node(omap_entries(mappings), fixed=True))
    for number, body in (fs_trees or {40: fs_tree({})}).items():
        blocks[number] = obj(1028, volume_xid, BTREE_TYPE, body)
    for number, payload in (data or {}).items():
        blocks[number] = bytearray(payload.ljust(BS, b"\0"))
    image = bytearray(64 * BS)
    for number, block in blocks.items():
        image[number * BS:number * BS + len(block)] = block
    return image


def apsb(name, xid):
    body = bytearray(BS - 32)
    struct.pack_into("<I", body, 0, 0x42535041)
    struct.pack_into("<QQ", body, 128 - 32, 30, 1028)
    struct.pack_into("<QQQ", body, 184 - 32, 3, 1, 0)
    raw = name.encode()
    body[704 - 32:704 - 32 + len(raw)] = raw
    return obj(1026, xid, APSB_TYPE, bytes(body))
