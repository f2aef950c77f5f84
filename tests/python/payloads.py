"""Real CPIO archives and PBZX streams for tests, made by GNU cpio, bsdtar and
xz from a tree built on the spot."""

import os
import shutil
import struct
import subprocess

TOOLS = all(shutil.which(t) for t in ("cpio", "bsdtar", "xz"))


def make_tree(root):
    """A tree with every padding case of names, an empty file, a symlink, a
    hard-linked pair and, where mknod works, a device node. Returns the
    relative paths of the regular files with their contents."""
    files = {}
    (root / "dir" / "sub").mkdir(parents=True)
    for n in range(1, 9):  # name lengths 1..8 hit every padding remainder
        name = "f" * n
        files[f"dir/{name}"] = (name * 37).encode()
    files["dir/sub/empty"] = b""
    files["dir/sub/binary.bin"] = bytes(range(256)) * 40 + b"\x00tail"
    files["top.txt"] = b"top level\n"
    for rel, data in files.items():
        (root / rel).write_bytes(data)
    os.symlink("top.txt", root / "link")
    os.link(root / "top.txt", root / "dir" / "hardlink.txt")
    files["dir/hardlink.txt"] = files["top.txt"]
    try:
        os.mknod(root / "dir" / "null", 0o20644, os.makedev(1, 3))
    except (PermissionError, OSError):
        pass
    return files


def gnu_cpio(root, fmt):
    names = subprocess.run(["find", "."], cwd=root, capture_output=True, check=True).stdout
    return subprocess.run(["cpio", "-o", "-H", fmt, "--quiet"], cwd=root, input=names, capture_output=True,
                          check=True).stdout


def bsdtar_cpio(root, fmt):
    return subprocess.run(["bsdtar", "-c", "--format", fmt, "-f", "-", "."], cwd=root, capture_output=True,
                          check=True).stdout


def xz(data, level=6):
    return subprocess.run(["xz", "--format=xz", "--check=crc64", f"-{level}", "-c"], input=data,
                          capture_output=True, check=True).stdout


def pbzx(data, chunk_size, raw_every=0):
    """Frames data as a PBZX stream of xz chunks; every raw_every-th chunk is
    stored raw (compressed size = uncompressed size)."""
    out = b"pbzx" + struct.pack(">Q", 1 << 56)
    for i, at in enumerate(range(0, len(data), chunk_size)):
        piece = data[at:at + chunk_size]
        stored = piece if raw_every and i % raw_every == raw_every - 1 else xz(piece)
        out += struct.pack(">QQ", len(piece), len(stored)) + stored
    return out
