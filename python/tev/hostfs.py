"""The little the command does below a destination folder itself.

The extension module writes every extracted tree: it creates directories and files strictly below
the destination and never follows a symbolic link it meets. The command only prepares the folder
a named subtree is written into (DEST/parent/of/it, as tar keeps full paths) and, for
`--expand`, swaps a package's Scripts member for a folder. Both walk from DEST one component at a
time with O_NOFOLLOW, so a symbolic link on the way is an error and never a way out."""

from __future__ import annotations

import errno
import os

_DIR_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | getattr(os, "O_CLOEXEC", 0)


class UnsafePath(Exception):
    """An entry's path would leave the destination or pass through a symbolic link."""


def components(path: str) -> list[str]:
    """The plain components of a stored path; refuses ".." and NUL."""
    parts = [p for p in path.split("/") if p not in ("", ".")]
    for p in parts:
        if p == ".." or "\0" in p:
            raise UnsafePath(f"path traversal detected: {path}")
    return parts


def _open_dirs(dest: str, parts: list[str], create: bool) -> int:
    os.makedirs(dest, exist_ok=True)
    fd = os.open(dest, _DIR_FLAGS)
    try:
        for p in parts:
            if create:
                try:
                    os.mkdir(p, 0o755, dir_fd=fd)
                except FileExistsError:
                    pass
            try:
                nxt = os.open(p, _DIR_FLAGS, dir_fd=fd)
            except OSError as e:
                if e.errno in (errno.ELOOP, errno.ENOTDIR):
                    raise UnsafePath(f"not a directory, or a symbolic link on the way: {'/'.join(parts)}") from e
                raise
            os.close(fd)
            fd = nxt
        return fd
    except BaseException:
        os.close(fd)
        raise


def make_dirs(dest: str, path: str) -> str:
    """Creates DEST/path and returns it; nothing on the way may be a link."""
    parts = components(path)
    os.close(_open_dirs(dest, parts, create=True))
    return os.path.join(dest, *parts)


def remove_file(dest: str, path: str) -> None:
    """Removes a file written before below DEST; a missing one is no error."""
    parts = components(path)
    parent = _open_dirs(dest, parts[:-1], create=False)
    try:
        os.unlink(parts[-1], dir_fd=parent)
    except FileNotFoundError:
        pass
    finally:
        os.close(parent)
