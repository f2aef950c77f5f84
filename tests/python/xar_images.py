"""XAR archives for tests: hand-made ones around a TOC text of the test's own
(for damaged and hostile cases), and real ones made by bsdtar from a tree."""

import hashlib
import shutil
import struct
import subprocess
import zlib

BSDTAR = shutil.which("bsdtar")


def make_xar(toc_xml, heap=b"", header_size=28, toc_checksum=None):
    """A XAR with the given TOC text and heap. toc_checksum="sha1" (or md5,
    sha256, sha512) puts the TOC's digest at heap offset 0, as xar tools do;
    the TOC must then declare <checksum style=...> with offset 0 and the
    digest's size."""
    if isinstance(toc_xml, str):
        toc_xml = toc_xml.encode()
    compressed = zlib.compress(toc_xml)
    if toc_checksum:
        heap = hashlib.new(toc_checksum, compressed).digest() + heap
    header = b"xar!" + struct.pack(">HHQQI", header_size, 1, len(compressed), len(toc_xml), 1)
    header += b"\0" * (header_size - len(header))
    return header + compressed + heap


def file_xml(name, kind="file", data=None, extra="", children=""):
    """One <file> element; data is (offset, length, size, encoding) or None."""
    block = ""
    if data is not None:
        offset, length, size, encoding = data
        block = (f"<data><offset>{offset}</offset><length>{length}</length><size>{size}</size>"
                 f"<encoding style=\"{encoding}\"/></data>")
    return f"<file id=\"{abs(hash(name)) % 100000}\"><name>{name}</name><type>{kind}</type>{block}{extra}{children}</file>"


def toc(*files, before=""):
    return f"<?xml version=\"1.0\"?><xar><toc>{before}{''.join(files)}</toc></xar>"


def stored(name, payload, offset=0, kind="file"):
    """A file stored as it is: its <file> element and its heap bytes."""
    return file_xml(name, kind, (offset, len(payload), len(payload), "application/octet-stream")), payload


def bsdtar_xar(root, dest, options=None, names=(".",)):
    """bsdtar's XAR of the tree at root; options such as "compression=bzip2"."""
    args = ["bsdtar", "-c", "--format", "xar", "-f", str(dest)]
    for opt in options or ():
        args += ["--options", f"xar:{opt}"]
    subprocess.run(args + ["-C", str(root), *names], check=True, capture_output=True)
    return dest
