"""One interface over every input the command reads: a file system (raw image or inside a DMG), an
installer package, a XAR archive, a PBZX or CPIO payload.

A source lists, stats, reads and extracts entries addressed by relative paths ("" is the top; "/a",
"./a" and "a" name the same entry). The work is done by the extension module; a source only
translates its classes into `Entry` records and picks the call."""

from __future__ import annotations

import dataclasses
import gzip
import os
import stat as statmod
import tempfile
from typing import Callable, Iterator, Protocol

import _tev

from . import detect, hostfs

# HFS+ counts seconds from 1904-01-01 (local time on old volumes, UTC since); APFS nanoseconds from 1970.
_HFS_EPOCH = 2082844800
_KINDS = {"file": "file", "directory": "directory", "dir": "directory", "symlink": "symlink"}


class SourceError(Exception):
    """A failure the command reports as "tev: {subject}: {message}"."""

    def __init__(self, subject: str, message: str):
        super().__init__(f"{subject}: {message}")
        self.subject = subject
        self.message = message


class UsageError(SourceError):
    """A request that cannot make sense for this input (exit status 2)."""


@dataclasses.dataclass
class Entry:
    path: str  # relative, "" for the top
    kind: str  # "file", "directory", "symlink" or "other"
    size: int = 0
    mode: int | None = None
    mtime: int | None = None
    uid: int | None = None
    gid: int | None = None
    target: str | None = None
    extra: dict = dataclasses.field(default_factory=dict)

    @property
    def name(self) -> str:
        return self.path.rsplit("/", 1)[-1] if self.path else "/"

    def to_json(self) -> dict:
        out = {"path": self.path, "name": self.name, "kind": self.kind, "size": self.size, "mode": self.mode,
               "mtime": self.mtime, "uid": self.uid, "gid": self.gid, "target": self.target}
        out.update(self.extra)
        return out


@dataclasses.dataclass
class ExtractOptions:
    modes: bool = False
    times: bool = False
    symlinks: bool = False


@dataclasses.dataclass
class Summary:
    files: int = 0
    dirs: int = 0
    symlinks: int = 0
    skipped: int = 0
    bytes: int = 0

    def add_stats(self, s) -> None:
        self.files += s.files
        self.dirs += s.dirs
        self.symlinks += s.symlinks_created
        self.skipped += s.symlinks_skipped
        self.bytes += s.bytes


Progress = Callable[[int, int], None]


class ProgressBar(Protocol):
    def __call__(self, done: int, total: int) -> None: ...

    def close(self) -> None: ...


# Makes the progress display of a named step; it is called with (done, total) and closed at the end.
ProgressFactory = Callable[[str], ProgressBar]


def user_path(subject: str, path: str) -> str:
    """A path typed by the user, as a relative path; ".." is refused so that nothing lands outside DEST."""
    try:
        return "/".join(hostfs.components(path))
    except hostfs.UnsafePath:
        raise UsageError(subject, f"{path}: '..' is not allowed in a path") from None


def stored_path(path: str) -> str:
    """A name as an archive stores it ("./a/b", "/a/b", "a//b"), as a relative path, kept as is otherwise."""
    return "/".join(p for p in path.split("/") if p not in ("", "."))


def under(path: str, top: str) -> bool:
    return not top or path == top or path.startswith(top + "/")


def _parent(path: str) -> str:
    return path.rsplit("/", 1)[0] if "/" in path else ""


def _not_found(subject: str, path: str) -> SourceError:
    return SourceError(subject, f"{path or '/'}: no such file or directory")


class Source:
    kind = ""

    def __init__(self, subject: str):
        self.subject = subject

    def close(self) -> None:
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def info(self) -> dict:
        raise NotImplementedError

    def listing(self, path: str, recursive: bool, long: bool) -> Iterator[Entry]:
        raise NotImplementedError

    def stat(self, path: str) -> Entry:
        raise NotImplementedError

    def read(self, path: str) -> bytes:
        raise NotImplementedError

    def extract(self, paths: list[str], dest: str, opts: ExtractOptions, progress: Progress | None) -> Summary:
        raise NotImplementedError

    def packages(self) -> list[str]:
        """Paths of the installer packages inside (file systems only)."""
        raise UsageError(self.subject, f"a {self.kind} holds no file system to search for packages")

    def _need_file(self, path: str) -> Entry:
        e = self.stat(path)
        if e.kind == "directory":
            raise SourceError(self.subject, f"{path}: is a directory")
        return e


# --- file systems ---------------------------------------------------------------------------------


class VolumeSource(Source):
    """An HfsVolume, ApfsVolume or FilesystemHandle: the three answer the same calls."""

    def __init__(self, subject: str, volume, kind: str):
        super().__init__(subject)
        self.volume = volume
        self.kind = kind

    def close(self) -> None:
        self.volume.__exit__(None, None, None)

    def info(self) -> dict:
        return {"kind": self.kind, "volume": volume_json(self.volume)}

    def _entry(self, path: str, kind: str, size: int, long: bool) -> Entry:
        e = Entry(path, _KINDS.get(kind, "other"), size)
        if long:
            self._fill(e)
        return e

    def _fill(self, e: Entry) -> None:
        st = self.volume.stat("/" + e.path)
        e.mode, e.uid, e.gid = st.mode, st.uid, st.gid
        e.mtime = _fs_time(st.fs_type, st.modify_time)
        # A link's stat may name the target's kind; its mode bits tell the truth.
        if statmod.S_ISLNK(st.mode):
            e.kind = "symlink"
        if e.kind == "symlink":
            e.size = st.size
            e.target = os.fsdecode(self.volume.read_file("/" + e.path))
        e.extra = {"id": st.id, "nlink": st.nlink, "create_time": _fs_time(st.fs_type, st.create_time),
                   "resource_fork_size": st.resource_fork_size}

    def stat(self, path: str) -> Entry:
        if not self.volume.exists("/" + path):
            raise _not_found(self.subject, path)
        st = self.volume.stat("/" + path)
        e = Entry(path, _KINDS.get(st.kind, "other"), st.size)
        self._fill(e)
        return e

    def listing(self, path: str, recursive: bool, long: bool) -> Iterator[Entry]:
        top = self.stat(path)
        if top.kind != "directory":
            yield top
            return
        if not recursive:
            for d in self.volume.list_directory("/" + path):
                yield self._entry(f"{path}/{d.name}" if path else d.name, d.kind, d.size, long)
            return
        for w in self.volume.walk():
            p = w.path.lstrip("/")
            if p and p != path and under(p, path):
                yield self._entry(p, w.kind, w.size, long)

    def read(self, path: str) -> bytes:
        self._need_file(path)
        return self.volume.read_file("/" + path)

    def packages(self) -> list[str]:
        return [w.path for w in self.volume.walk() if w.kind == "file" and w.path.lower().endswith((".pkg", ".mpkg"))]

    def extract(self, paths: list[str], dest: str, opts: ExtractOptions, progress: Progress | None) -> Summary:
        summary = Summary()
        for path in paths or [""]:
            summary.add_stats(extract_subtree(self.volume, path, self.stat(path).kind, dest, opts, progress))
        return summary


def _fs_time(fs_type: str, value: int) -> int | None:
    if not value:
        return None
    return value - _HFS_EPOCH if fs_type == "hfsplus" else value // 1_000_000_000


def volume_json(volume) -> dict:
    v = volume.volume_info if hasattr(volume, "volume_info") else None
    if v is None:  # HfsVolume has no volume_info: the kind is all there is to say
        return {"fs_type": "hfsplus"}
    return {"fs_type": v.fs_type, "name": v.name, "block_size": v.block_size, "files": v.file_count,
            "directories": v.directory_count, "symlinks": v.symlink_count, "total_blocks": v.total_blocks,
            "free_blocks": v.free_blocks, "version": v.version, "hfsx": v.is_hfsx}


def extract_subtree(handle, path: str, kind: str, dest: str, opts: ExtractOptions, progress: Progress | None):
    """The entry at path and what lies below it, written below DEST under its full path (as tar keeps
    it): the library extracts the base into DEST/parent-of-path, which is made here first."""
    kw: dict = {"modes": opts.modes, "times": opts.times, "symlinks": "create" if opts.symlinks else "skip"}
    if progress is not None:
        kw["progress"] = progress
    if not path:
        return handle.extract_all(dest, **kw)
    target = hostfs.make_dirs(dest, path if kind == "directory" else _parent(path))
    return handle.extract_path(path, target, **kw)


class DmgSource(Source):
    """A UDIF image: facts from its trailer and partition table; paths address the file system the
    pipeline opens (or the partition chosen with --partition)."""

    kind = "dmg"

    def __init__(self, subject: str, path: str, partition: int | None = None,
                 progress: ProgressFactory | None = None):
        super().__init__(subject)
        self.path = path
        self.partition = partition
        self._progress = progress
        self._fs: VolumeSource | None = None
        self.owned_file: str | None = None

    def close(self) -> None:
        if self._fs is not None:
            self._fs.close()
        if self.owned_file is not None:
            os.unlink(self.owned_file)
            _OWNED_FILES.discard(self.owned_file)
            self.owned_file = None

    def info(self) -> dict:
        with _tev.DmgArchive.open(self.path) as dmg:
            stats, comp, parts = dmg.stats, dmg.compression_info, dmg.partitions
        with _tev.open(self.path) as pipeline:
            detected = {p.id: p.filesystem for p in pipeline.partitions}
        return {
            "kind": "dmg", "version": stats.version, "sectors": stats.sector_count,
            "size": stats.total_uncompressed, "stored_size": stats.total_compressed,
            "data_fork_length": stats.data_fork_length, "space_savings": round(stats.space_savings, 2),
            "partitions": [{"id": p.id, "name": p.name, "sectors": p.sectors, "size": p.size,
                            "stored_size": p.compressed_size, "type": p.partition_type,
                            "filesystem": detected.get(p.id)} for p in parts],
            "compression": {"zlib": comp.zlib_blocks, "bzip2": comp.bzip2_blocks, "lzfse": comp.lzfse_blocks,
                            "xz": comp.xz_blocks, "adc": comp.adc_blocks, "raw": comp.raw_blocks,
                            "zero_fill": comp.zero_fill_blocks},
        }

    @property
    def fs(self) -> VolumeSource:
        if self._fs is None:
            kw: dict = {}
            if self.partition is not None:
                kw["partition"] = self.partition
            bar = self._progress("decompressing") if self._progress else None
            if bar is not None:
                kw["progress"] = bar
            try:
                with _tev.open(self.path) as pipeline:
                    handle = pipeline.filesystem(**kw)
            finally:
                if bar is not None:
                    bar.close()
            self._fs = VolumeSource(self.subject, handle, handle.fs_type)
        return self._fs

    def listing(self, path, recursive, long):
        return self.fs.listing(path, recursive, long)

    def stat(self, path):
        return self.fs.stat(path)

    def read(self, path):
        return self.fs.read(path)

    def packages(self):
        return _tev.find_packages(self.path) if self.partition is None else self.fs.packages()

    def extract(self, paths, dest, opts, progress):
        return self.fs.extract(paths, dest, opts, progress)


# --- archives -------------------------------------------------------------------------------------


class TreeSource(Source):
    """An archive's flat entry list seen as a tree; folders only implied by deeper names are added."""

    def __init__(self, subject: str):
        super().__init__(subject)
        self._index: dict[str, Entry] | None = None

    def _entries(self) -> list[Entry]:
        raise NotImplementedError

    @property
    def index(self) -> dict[str, Entry]:
        if self._index is None:
            index: dict[str, Entry] = {"": Entry("", "directory")}
            for e in self._entries():
                if e.path in index and index[e.path].kind == "directory" and e.kind != "directory":
                    continue  # a stray entry does not hide a folder
                index[e.path] = e
                p = _parent(e.path)
                while p and p not in index:
                    index[p] = Entry(p, "directory")
                    p = _parent(p)
            self._index = index
        return self._index

    def stat(self, path: str) -> Entry:
        try:
            return self.index[path]
        except KeyError:
            raise _not_found(self.subject, path) from None

    def listing(self, path: str, recursive: bool, long: bool) -> Iterator[Entry]:
        top = self.stat(path)
        if top.kind != "directory":
            yield top
            return
        for p in sorted(self.index):
            if p and p != path and under(p, path) and (recursive or _parent(p) == path):
                yield self.index[p]

    def extract(self, paths, dest, opts, progress):
        summary = Summary()
        for path in paths or [""]:
            top = self.stat(path)
            if top.kind == "other":
                summary.skipped += 1
                continue
            summary.add_stats(extract_subtree(self._extractor(), self._stored_name(path), top.kind, dest, opts,
                                              progress))
            # The extractor leaves devices and FIFOs out without counting them.
            summary.skipped += sum(1 for p, e in self.index.items() if p and under(p, path) and e.kind == "other")
        return summary

    def _extractor(self):
        raise NotImplementedError

    def _stored_name(self, path: str) -> str:
        return path


class PayloadSource(TreeSource):
    """A CPIO archive in an `Archive`: a PBZX stream, a plain or gzip-compressed CPIO file, or a
    package's Payload or Scripts."""

    def __init__(self, subject: str, archive, fmt: str):
        super().__init__(subject)
        self.archive = archive
        self.kind = fmt
        self._stored: dict[str, str] = {}

    @classmethod
    def open(cls, subject: str, path: str, kind: str) -> "PayloadSource":
        if kind == detect.PBZX:
            return cls(subject, _tev.Archive.open(path), "pbzx")
        with open(path, "rb") as f:
            data = f.read()
        if kind == detect.CPIO_GZIP:
            try:
                data = gzip.decompress(data)
            except (OSError, EOFError) as e:
                raise SourceError(subject, f"damaged gzip stream: {e}") from None
            return cls(subject, _tev.Archive.from_cpio(data), "cpio+gzip")
        return cls(subject, _tev.Archive.from_cpio(data), "cpio")

    def close(self) -> None:
        self.archive.__exit__(None, None, None)

    def _entries(self) -> list[Entry]:
        out = []
        for f in self.archive.list():
            p = stored_path(f.path)
            if not p:
                continue
            self._stored.setdefault(p, f.path)
            t = statmod.S_IFMT(f.mode)
            kind = ("directory" if f.is_dir else "symlink" if f.is_symlink else
                    "file" if t in (statmod.S_IFREG, 0) else "other")
            out.append(Entry(p, kind, f.size, f.mode, f.mtime, f.uid, f.gid, f.link_target))
        return out

    def info(self) -> dict:
        files = sum(1 for e in self.index.values() if e.kind == "file")
        return {"kind": self.kind, "format": self.kind, "entries": len(self.archive.list()), "files": files,
                "size": self.archive.decompressed_size}

    def read(self, path: str) -> bytes:
        self._need_file(path)
        return self.archive.extract_file(self._stored[path])

    def _extractor(self):
        return self.archive


class XarSource(TreeSource):
    """A XAR archive's members; a package's members too (`PkgSource`)."""

    kind = "xar"

    def __init__(self, subject: str, path: str):
        super().__init__(subject)
        self.xar = _tev.XarArchive.open(path)
        self._number: dict[str, int] = {}

    def close(self) -> None:
        self.xar.__exit__(None, None, None)

    def _entries(self) -> list[Entry]:
        out = []
        for i, f in enumerate(self.xar.files):
            p = stored_path(f.path)
            self._number.setdefault(p, i)
            out.append(Entry(p, _KINDS.get(f.file_type, "other"), f.size or 0, f.mode, f.mtime, f.uid, f.gid,
                             f.link, {"stored_size": f.compressed_size}))
        return out

    def info(self) -> dict:
        sig = self.xar.signature
        return {"kind": self.kind, "members": len(self.xar.files), "signed": sig.signed, "signature": sig.styles}

    def read(self, path: str) -> bytes:
        self._need_file(path)
        return self.xar.read_file(self._number[path])

    def _extractor(self):
        return self.xar


class PkgSource(XarSource):
    """An installer package: its members as a XAR archive, plus components, payloads and scripts."""

    kind = "pkg"

    def __init__(self, subject: str, path: str):
        super().__init__(subject, path)
        self.pkg = _tev.PkgReader.open(path)

    def close(self) -> None:
        self.pkg.__exit__(None, None, None)
        super().close()

    def component(self, name: str | None) -> str:
        """A component by its folder name or its identifier; None picks the only one."""
        comps = self.pkg.components
        if name is None:
            if len(comps) == 1:
                return comps[0]
            raise UsageError(self.subject, "the package has several components; name one with --payload: "
                             + ", ".join(comps))
        for c in comps:
            info = self.pkg.component_info(c)
            if name in (c, c.removesuffix(".pkg")) or (info is not None and name == info.identifier):
                return c
        raise SourceError(self.subject, f"no component {name!r} (components: {', '.join(comps) or 'none'})")

    def payload(self, name: str | None) -> PayloadSource:
        c = self.component(name)
        return PayloadSource(f"{self.subject} ({c or 'payload'})", self.pkg.payload(c), "payload")

    def scripts(self, component: str) -> PayloadSource | None:
        try:
            return PayloadSource(self.subject, self.pkg.scripts(component), "scripts")
        except _tev.FileNotFoundError:
            return None

    def components_json(self) -> list[dict]:
        out = []
        for c in self.pkg.components:
            i = self.pkg.component_info(c)
            out.append({"name": c, "identifier": i and i.identifier, "version": i and i.version,
                        "install_location": i and i.install_location, "auth": i and i.auth,
                        "payload_files": i and i.payload_file_count, "install_kbytes": i and i.install_kbytes,
                        "scripts": dict(i.scripts) if i else {}})
        return out

    def info(self) -> dict:
        d = self.pkg.distribution_info()
        sig = self.pkg.signature
        return {"kind": "pkg", "product": self.pkg.is_product_package, "title": d.title if d else None,
                "signed": sig.signed, "signature": sig.styles, "certificates": sig.common_names,
                "components": self.components_json()}

    def describe(self) -> dict:
        """What `tev pkg` shows: the info, the Distribution's references, payload and scripts listings."""
        out = self.info()
        d = self.pkg.distribution_info()
        out["pkg_refs"] = [{"id": r.id, "version": r.version, "install_kbytes": r.install_kbytes,
                            "component": r.component} for r in (d.pkg_refs if d else [])]
        for comp in out["components"]:
            for key, member in (("payload", self._payload), ("scripts_files", self.scripts)):
                archive = member(comp["name"])
                comp[key] = [] if archive is None else [e.path for e in archive.listing("", True, False)]
                if archive is not None:
                    archive.close()
        return out

    def _payload(self, component: str) -> PayloadSource | None:
        try:
            return PayloadSource(self.subject, self.pkg.payload(component), "payload")
        except _tev.FileNotFoundError:  # a scripts-only package
            return None

    def expand(self, dest: str) -> Summary:
        """The members as `pkgutil --expand` writes them: as stored, each Scripts archive as a folder."""
        summary = Summary()
        summary.add_stats(self.xar.extract_all(dest))
        for c in self.pkg.components:
            s = self.scripts(c)
            if s is None:
                continue
            with s:
                where = f"{c}/Scripts" if c else "Scripts"
                hostfs.remove_file(dest, where)
                summary.files -= 1
                summary.bytes -= self.stat(where).size
                summary.dirs += 1
                summary.add_stats(s.archive.extract_all(hostfs.make_dirs(dest, where)))
        return summary


# --- opening an address ---------------------------------------------------------------------------


def open_source(address: str, partition: int | None = None,
                progress: ProgressFactory | None = None) -> Source:
    """Opens "FILE" or "FILE//INNER" (a file inside a file system, such as a package in an image)."""
    host, inner = detect.split_address(address)
    if inner is None:
        return _open_host(address, host, partition, progress)
    with _open_host(host, host, partition, progress) as outer:
        e = outer.stat(user_path(address, inner))
        if e.kind != "file":
            raise SourceError(address, f"{inner}: not a regular file")
        data = outer.read(e.path)
    # The inner file is copied to a temporary file so that every reader can open it by path. Readers
    # hold their file open, so it is removed at once; a DMG is reopened by path and removes it on close.
    fd, tmp = tempfile.mkstemp(prefix="tev-", suffix="-" + os.path.basename(e.path))
    _OWNED_FILES.add(tmp)
    source = None
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        del data
        source = _open_host(address, tmp, None, progress)
        if isinstance(source, DmgSource):
            source.owned_file = tmp
        return source
    finally:
        if not isinstance(source, DmgSource):
            os.unlink(tmp)
            _OWNED_FILES.discard(tmp)


# Temporary copies still on disk, removed even when the command is interrupted.
_OWNED_FILES: set[str] = set()


def remove_owned_files() -> None:
    for path in list(_OWNED_FILES):
        try:
            os.unlink(path)
        except OSError:
            pass
        _OWNED_FILES.discard(path)


def _open_host(subject: str, path: str, partition: int | None, progress) -> Source:
    kind = detect.detect(path)
    if partition is not None and kind != detect.DMG:
        raise UsageError(subject, "--partition applies to DMG images only")
    if kind == detect.ENCRYPTED_DMG:
        raise SourceError(subject, "encrypted disk image: tev does not read encrypted DMGs")
    if kind == detect.DMG:
        return DmgSource(subject, path, partition, progress)
    if kind in (detect.HFSPLUS, detect.HFSX):
        return VolumeSource(subject, _tev.HfsVolume.open(path), kind)
    if kind == detect.APFS:
        return VolumeSource(subject, _tev.ApfsVolume.open(path), kind)
    if kind == detect.XAR:
        return _open_xar(subject, path)
    return PayloadSource.open(subject, path, kind)


def _open_xar(subject: str, path: str) -> Source:
    # A package is a XAR archive with a Distribution (product) or a PackageInfo (component) at the top.
    with _tev.XarArchive.open(path) as xar:
        names = {f.path for f in xar.files}
    if "Distribution" in names or "PackageInfo" in names or any(n.endswith("/PackageInfo") for n in names):
        return PkgSource(subject, path)
    return XarSource(subject, path)
