"""What kind of input a file is, told by its content alone, and how a command-line address splits."""

from __future__ import annotations

import gzip
import os
import zlib

# Kinds the command reads.
DMG = "dmg"
ENCRYPTED_DMG = "encrypted-dmg"
HFSPLUS = "hfsplus"
HFSX = "hfsx"
APFS = "apfs"
XAR = "xar"  # a XAR archive or an installer package; `sources` tells them apart
PBZX = "pbzx"
CPIO = "cpio"
CPIO_GZIP = "cpio-gzip"

# Separator between a host file and a file inside it: "image.dmg//Packages/Foo.pkg".
INNER_SEPARATOR = "//"

_UDIF_TRAILER = 512
_HEAD = 1024 + 2  # enough for the HFS+ signature at 1024
_CPIO_MAGICS = (b"070701", b"070702", b"070707")
# Old binary CPIO: the 16-bit magic 0o070707 in either byte order.
_CPIO_BINARY = (b"\xc7\x71", b"\x71\xc7")


class NotRecognised(Exception):
    """The file is none of the kinds the command reads."""


def _cpio_head(head: bytes) -> bool:
    return head[:6] in _CPIO_MAGICS or head[:2] in _CPIO_BINARY


def _gzip_holds_cpio(path: str) -> bool:
    # Only the first bytes are inflated: a gzip of anything else is not an archive we read.
    try:
        with open(path, "rb") as f:
            d = zlib.decompressobj(16 + zlib.MAX_WBITS)
            head = d.decompress(f.read(64 * 1024), 16)
    except (OSError, zlib.error, EOFError, gzip.BadGzipFile):
        return False
    return _cpio_head(head)


def detect(path: str) -> str:
    """Returns the kind of the host file at path; raises NotRecognised or OSError."""
    with open(path, "rb") as f:
        head = f.read(_HEAD)
        size = os.fstat(f.fileno()).st_size
        tail = b""
        if size >= _UDIF_TRAILER:
            f.seek(size - _UDIF_TRAILER)
            tail = f.read(_UDIF_TRAILER)
    # The data fork of a UDIF image starts with whatever the disk starts with (a raw image of a bare
    # HFS+ volume shows "H+" at 1024), so the trailer is looked at before any signature at the front.
    if head[:8] == b"encrcdsa" or tail[-8:] == b"cdsaencr":
        return ENCRYPTED_DMG
    if tail[:4] == b"koly":
        return DMG
    if head[:4] == b"xar!":
        return XAR
    if head[:4] == b"pbzx":
        return PBZX
    if _cpio_head(head):
        return CPIO
    if head[:2] == b"\x1f\x8b" and _gzip_holds_cpio(path):
        return CPIO_GZIP
    if head[1024:1026] == b"H+":
        return HFSPLUS
    if head[1024:1026] == b"HX":
        return HFSX
    if head[32:36] == b"NXSB":
        return APFS
    raise NotRecognised("not a DMG, HFS+/HFSX or APFS image, XAR archive, package, PBZX or CPIO archive")


def split_address(address: str) -> tuple[str, str | None]:
    """Splits "host//inner" at the first separator whose left side is an existing file.

    A host path may itself hold "//" ("/tmp//x.dmg"), so only a split that lands on a file counts;
    without one the whole text is the host path."""
    start = 0
    while (i := address.find(INNER_SEPARATOR, start)) > 0:
        if os.path.isfile(address[:i]):
            return address[:i], address[i + len(INNER_SEPARATOR):]
        start = i + 1
    return address, None
