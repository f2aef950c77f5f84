"""Hand-made UDIF images for tests, written with the standard library's
plistlib so that they do not depend on tev's own writer."""

import plistlib
import struct
import zlib

SECTOR = 512


def run(kind, sector, count, offset=0, length=0):
    return struct.pack(">IIQQQQ", kind, 0, sector, count, offset, length)


def mish(sectors, runs, first_sector=0, data_offset=0, run_count=None):
    head = b"mish" + struct.pack(">IQQQII", 1, first_sector, sectors, data_offset, 0, len(runs))
    head += bytes(24) + struct.pack(">II", 2, 32) + bytes(128)
    return head + struct.pack(">I", len(runs) if run_count is None else run_count) + b"".join(runs)


def koly(fork_length, xml_offset, xml_length, data_crc=None, sectors=0):
    t = b"koly" + struct.pack(">III", 4, 512, 1) + struct.pack(">QQQQQ", 0, 0, fork_length, 0, 0)
    t += struct.pack(">II", 1, 1) + bytes(16)
    t += struct.pack(">II", 2 if data_crc is not None else 0, 32) + struct.pack(">I", data_crc or 0) + bytes(124)
    t += struct.pack(">QQ", xml_offset, xml_length) + bytes(120)
    t += struct.pack(">II", 0, 32) + bytes(128) + struct.pack(">IQ", 1, sectors)
    return t + bytes(512 - len(t))


def image(fork, partitions, binary_plist=False, checksum=True):
    """partitions: list of (name, id_text, mish_bytes)."""
    blkx = [{"Name": name, "ID": ident, "Attributes": "0x0050", "Data": table} for name, ident, table in partitions]
    fmt = plistlib.FMT_BINARY if binary_plist else plistlib.FMT_XML
    xml = plistlib.dumps({"resource-fork": {"blkx": blkx}}, fmt=fmt)
    crc = zlib.crc32(fork) if checksum else None
    return fork + xml + koly(len(fork), len(fork), len(xml), crc)
