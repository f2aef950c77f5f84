"""HFS+ volumes for tests: made by xorriso from a real tree, and the shared fixtures unpacked."""

import lzma
import pathlib
import shutil
import struct
import subprocess

import pytest

HAVE_XORRISO = shutil.which("xorriso") is not None


def hfsplus_partition(iso: bytes) -> bytes:
    """The HFS+ volume of an xorriso hybrid image, cut out of its Apple partition map.

    The volume's extents point past the partition's own end into the shared
    ISO data, so everything from the partition's start on is kept.
    """
    block = struct.unpack(">H", iso[2:4])[0]
    for i in range(1, 64):
        entry = iso[i * block : i * block + 512]
        if entry[:2] != b"PM":
            break
        start = struct.unpack(">I", entry[8:12])[0]
        if entry[48:80].rstrip(b"\0") == b"Apple_HFS":
            return iso[start * block :]
    raise AssertionError("no Apple_HFS partition in the image")


def xorriso_volume(tree: pathlib.Path, out: pathlib.Path) -> pathlib.Path:
    if not HAVE_XORRISO:
        pytest.skip("xorriso is not installed")
    iso = out.with_suffix(".iso")
    subprocess.run(["xorriso", "-as", "mkisofs", "-hfsplus", "-quiet", "-o", str(iso), str(tree)],
                   check=True, capture_output=True)
    out.write_bytes(hfsplus_partition(iso.read_bytes()))
    iso.unlink()
    return out


def unpack_xz(src: pathlib.Path, out: pathlib.Path) -> pathlib.Path:
    out.write_bytes(lzma.decompress(src.read_bytes()))
    return out
