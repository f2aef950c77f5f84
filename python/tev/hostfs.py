"""Writing below a destination folder without ever leaving it.

The extension module writes the trees of DMGs, XAR archives and payloads itself. This module covers
what it does not: the trees of raw HFS+ and APFS images, and the finishing pass (modes, times,
symbolic links) over a tree an archive extractor wrote. Every path is walked one component at a
time from the destination with O_NOFOLLOW, so a symbolic link met on the way, planted or created
by an earlier entry, is an error and never a way out."""

from __future__ import annotations

import errno
import os
import stat

_DIR_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | getattr(os, "O_CLOEXEC", 0)
# Permission bits kept by --keep-modes: set-user-ID and set-group-ID are dropped, as bsdtar does
# for a user who does not ask for them.
MODE_BITS = 0o1777


class UnsafePath(Exception):
    """An entry's path would leave the destination or pass through a symbolic link."""


def components(path: str) -> list[str]:
    """The plain components of a stored path; refuses ".." and NUL."""
    parts = [p for p in path.split("/") if p not in ("", ".")]
    for p in parts:
        if p == ".." or "\0" in p:
            raise UnsafePath(f"path traversal detected: {path}")
    return parts


class Tree:
    """A destination folder, created if missing, and the only place writes go."""

    def __init__(self, dest: str):
        os.makedirs(dest, exist_ok=True)
        self.fd = os.open(dest, _DIR_FLAGS)

    def close(self) -> None:
        os.close(self.fd)

    def __enter__(self) -> "Tree":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def _open_dir(self, parts: list[str], create: bool) -> int:
        fd = os.dup(self.fd)
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

    def make_dirs(self, path: str) -> None:
        os.close(self._open_dir(components(path), create=True))

    def _parent(self, path: str) -> tuple[int, str]:
        parts = components(path)
        if not parts:
            raise UnsafePath(f"empty path: {path!r}")
        return self._open_dir(parts[:-1], create=True), parts[-1]

    def write_file(self, path: str, chunks) -> int:
        """Writes an iterable of byte strings; returns the byte count."""
        parent, name = self._parent(path)
        try:
            fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o644, dir_fd=parent)
        except OSError as e:
            os.close(parent)
            if e.errno == errno.ELOOP:
                raise UnsafePath(f"symbolic link in the way: {path}") from e
            raise
        written = 0
        try:
            with os.fdopen(fd, "wb") as f:
                for chunk in chunks:
                    f.write(chunk)
                    written += len(chunk)
        finally:
            os.close(parent)
        return written

    def remove(self, path: str) -> None:
        """Removes a file written before (a package's Scripts member, replaced by its folder)."""
        parts = components(path)
        parent = self._open_dir(parts[:-1], create=False)
        try:
            os.unlink(parts[-1], dir_fd=parent)
        except FileNotFoundError:
            pass
        finally:
            os.close(parent)

    def symlink(self, path: str, target: str) -> None:
        parent, name = self._parent(path)
        try:
            try:
                st = os.lstat(name, dir_fd=parent)
            except FileNotFoundError:
                st = None
            if st is not None:
                if stat.S_ISDIR(st.st_mode):
                    raise UnsafePath(f"a directory is in the way of a symbolic link: {path}")
                os.unlink(name, dir_fd=parent)
            os.symlink(target, name, dir_fd=parent)
        finally:
            os.close(parent)

    def finish(self, path: str, mode: int | None, mtime: int | None) -> None:
        """Applies permission bits and a modification time to an entry written before, not following links."""
        parts = components(path)
        if not parts:
            parent, name = os.dup(self.fd), "."
        else:
            parent, name = self._open_dir(parts[:-1], create=False), parts[-1]
        try:
            st = os.lstat(name, dir_fd=parent)
            if stat.S_ISLNK(st.st_mode):
                if mtime is not None and os.utime in os.supports_follow_symlinks:
                    os.utime(name, (mtime, mtime), dir_fd=parent, follow_symlinks=False)
                return
            if mode is not None:
                os.chmod(name, mode & MODE_BITS, dir_fd=parent)
            if mtime is not None:
                os.utime(name, (mtime, mtime), dir_fd=parent)
        finally:
            os.close(parent)
