"""The ``tev`` command: one command over DMG images, HFS+/HFSX and APFS images, XAR archives and
installer packages, PBZX and CPIO payloads. The input kind is told by content, never by name."""

from __future__ import annotations

import argparse
import os
import sys
import threading

import _tev

from . import detect, output, sources
from .sources import ExtractOptions, SourceError, UsageError

EXIT_OK, EXIT_ERROR, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130

_EPILOG = f"""\
inputs:
  FILE is a DMG (UDIF) image, a raw HFS+/HFSX or APFS partition image, a XAR archive or .pkg
  installer package, a PBZX stream or a CPIO archive (odc, newc, crc, old binary; plain or gzip),
  recognised by content. Inside a DMG, paths address the file system it holds (the HFS+ or APFS
  partition; choose another with --partition ID). A file inside a file system is addressed with
  "{detect.INNER_SEPARATOR}": image.dmg{detect.INNER_SEPARATOR}Packages/Foo.pkg is the package Foo.pkg inside image.dmg.
  Paths inside an input may be written with or without a leading "/" or "./".

exit status:
  0 success, 1 an error (one line "tev: FILE: message" on stderr), 2 a usage error,
  130 interrupted (Ctrl-C).

--json prints one JSON object a line (the fields are listed in the README)."""


def _add_input(p: argparse.ArgumentParser, partition: bool = True, payload: bool = False) -> None:
    if partition:
        p.add_argument("--partition", metavar="ID", type=int,
                       help="in a DMG, use the file system of partition ID (see `tev info`)")
    if payload:
        p.add_argument("--payload", metavar="COMPONENT", nargs="?", const="", default=None,
                       help="in a package, address the payload of COMPONENT (its folder name or identifier; "
                       "may be left out when the package has one component)")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tev",
        description="Inspect and extract the formats macOS software ships in: DMG disk images, "
        "HFS+ and APFS volumes, XAR archives and .pkg installers, PBZX and CPIO payloads.",
        epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"tev {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="command")

    p = sub.add_parser("info", help="what a file is: trailer, partitions, volume, package, payload")
    p.add_argument("files", nargs="+", metavar="FILE")
    p.add_argument("--json", action="store_true", help="one JSON object per FILE")

    p = sub.add_parser("ls", help="list a folder (-R: the whole tree below it)")
    p.add_argument("file", metavar="FILE")
    p.add_argument("path", nargs="?", default="", metavar="PATH")
    p.add_argument("-l", dest="long", action="store_true", help="long form: kind and mode, size, mtime (UTC)")
    p.add_argument("-R", dest="recursive", action="store_true", help="everything below PATH, as full paths")
    p.add_argument("--json", action="store_true", help="one JSON object per entry (implies -l)")
    _add_input(p, payload=True)

    p = sub.add_parser("cat", help="write a file's bytes to stdout")
    p.add_argument("file", metavar="FILE")
    p.add_argument("path", metavar="PATH")
    _add_input(p, payload=True)

    p = sub.add_parser("stat", help="an entry's metadata")
    p.add_argument("file", metavar="FILE")
    p.add_argument("path", metavar="PATH")
    p.add_argument("--json", action="store_true")
    _add_input(p, payload=True)

    p = sub.add_parser("extract", help="write all, or the named subtrees, below DEST",
                       description="Writes the entries of FILE (or the subtrees PATH...) below DEST, keeping "
                       "their paths. Nothing is written outside DEST: '..' is refused and a symbolic link is "
                       "never followed. Symbolic links, devices and FIFOs are skipped unless --symlinks.")
    p.add_argument("file", metavar="FILE")
    p.add_argument("paths", nargs="*", metavar="PATH")
    p.add_argument("-C", dest="dest", metavar="DEST", default=".", help="destination folder (default: .)")
    p.add_argument("--keep-modes", action="store_true", help="apply permission bits (not set-user/group-ID)")
    p.add_argument("--keep-times", action="store_true", help="apply modification times")
    p.add_argument("--symlinks", action="store_true", help="create symbolic links (their targets as stored)")
    p.add_argument("--expand", action="store_true",
                   help="for a package: its members as `pkgutil --expand` writes them (Scripts as a folder)")
    p.add_argument("-q", "--quiet", action="store_true", help="no summary line")
    p.add_argument("--json", action="store_true", help="the summary as one JSON object")
    _add_input(p, payload=True)

    p = sub.add_parser("pkgs", help="installer packages inside an image")
    p.add_argument("file", metavar="IMAGE")
    p.add_argument("--json", action="store_true")
    _add_input(p)

    p = sub.add_parser("pkg", help="a package's components, fields, payload and scripts")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--json", action="store_true")

    p = sub.add_parser("dmg", help="write DMG images")
    dsub = p.add_subparsers(dest="dmg_command", metavar="command", required=True)
    c = dsub.add_parser("create", help="a UDIF image holding one partition image")
    c.add_argument("out", metavar="OUT")
    c.add_argument("--from", dest="source", metavar="PARTITION_IMAGE", required=True)
    c.add_argument("--compression", choices=("zlib", "bzip2", "lzfse", "raw"), default="zlib")
    c.add_argument("--level", type=int, metavar="N", help="compression level 0-9 (zlib, bzip2)")
    c.add_argument("--name", help="partition name (default: from the file system found, such as "
                   "\"disk image (Apple_HFS : 0)\")")

    p = sub.add_parser("cpio", help="write CPIO archives")
    csub = p.add_subparsers(dest="cpio_command", metavar="command", required=True)
    c = csub.add_parser("create", help="a newc CPIO archive of a folder (names \"./...\", as payloads have)")
    c.add_argument("out", metavar="OUT")
    c.add_argument("dir", metavar="DIR")

    p = sub.add_parser("pbzx", help="compress a CPIO archive (or any file) into a PBZX stream")
    p.add_argument("out", metavar="OUT")
    p.add_argument("input", metavar="IN")
    p.add_argument("--level", type=int, metavar="N", help="xz preset 0-9")
    p.add_argument("--chunk-size", type=int, metavar="BYTES", help="uncompressed bytes per chunk")
    return parser


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("tev")
    except Exception:
        from . import __version__

        return __version__


# --- commands -------------------------------------------------------------------------------------


class Context:
    def __init__(self, args):
        self.args = args
        self.progress = output.progress_factory(not getattr(args, "quiet", False))

    def open(self, address: str) -> sources.Source:
        source = sources.open_source(address, getattr(self.args, "partition", None), self.progress)
        component = getattr(self.args, "payload", None)
        if component is None:
            return source
        if not isinstance(source, sources.PkgSource):
            source.close()
            raise UsageError(address, "--payload applies to installer packages only")
        with source:
            return source.payload(component or None)

    def path(self, path: str) -> str:
        return sources.user_path(self.args.file, path)


def out(line: str = "") -> None:
    sys.stdout.write(line + "\n")


def cmd_info(ctx: Context) -> int:
    status = EXIT_OK
    for f in ctx.args.files:
        try:
            with ctx.open(f) as source:
                facts = {"file": f, **source.info()}
        except (SourceError, _tev.TevError, OSError, detect.NotRecognised) as e:
            report(f, e)
            status = EXIT_ERROR
            continue
        out(output.json_line(facts) if ctx.args.json else _info_text(facts))
    return status


def _info_text(d: dict) -> str:
    kind = d["kind"]
    lines = []
    if kind == "dmg":
        lines.append(f"{d['file']}: UDIF disk image, version {d['version']}, {d['sectors']} sectors "
                     f"({output.size(d['size'])}), stored in {output.size(d['stored_size'])} "
                     f"(space savings {d['space_savings']:.1f}%)")
        lines.append("  partitions:")
        for p in d["partitions"]:
            fs = p["filesystem"] or ("" if p["type"] == "Other" else p["type"].lower())
            lines.append(f"    {p['id']:>3}  {output.size(p['size']):>10}  {fs:<8} {output.shown(p['name'])}")
        runs = ", ".join(f"{k.replace('_', ' ')} {v}" for k, v in d["compression"].items() if v)
        lines.append(f"  runs: {runs or 'none'}")
    elif kind in ("hfsplus", "hfsx", "apfs"):
        v = d["volume"]
        name = f" \"{output.shown(v['name'])}\"" if v.get("name") else ""
        lines.append(f"{d['file']}: {kind.upper() if kind != 'hfsplus' else 'HFS+'} volume{name}")
        for k in ("block_size", "files", "directories", "symlinks", "total_blocks", "free_blocks", "version"):
            if v.get(k) is not None:
                lines.append(f"  {k.replace('_', ' ')}: {v[k]}")
    elif kind == "pkg":
        what = "product package" if d["product"] else "component package"
        title = f" \"{output.shown(d['title'])}\"" if d["title"] else ""
        signed = f"signed ({', '.join(d['signature'])})" if d["signed"] else "unsigned"
        lines.append(f"{d['file']}: {what}{title}, {signed}")
        for c in d["components"]:
            lines.append(f"  {c['name'] or '(top level)'}: {c['identifier'] or '?'} {c['version'] or '?'}")
    elif kind == "xar":
        signed = "signed" if d["signed"] else "unsigned"
        lines.append(f"{d['file']}: XAR archive, {d['members']} members, {signed}")
    else:
        fmt = {"pbzx": "PBZX stream", "cpio": "CPIO archive", "cpio+gzip": "gzip-compressed CPIO archive"}
        lines.append(f"{d['file']}: {fmt.get(kind, kind)}, {d['entries']} entries ({d['files']} files), "
                     f"{output.size(d['size'])} of CPIO")
    return "\n".join(lines)


def cmd_ls(ctx: Context) -> int:
    a = ctx.args
    with ctx.open(a.file) as source:
        top = ctx.path(a.path)
        for e in source.listing(top, a.recursive, a.long or a.json):
            if a.json:
                out(output.json_line(e.to_json()))
                continue
            shown = e.path if a.recursive else e.name if e.path != top else e.path
            out(output.long_line(e, shown) if a.long else output.shown(shown))
    return EXIT_OK


def cmd_cat(ctx: Context) -> int:
    with ctx.open(ctx.args.file) as source:
        data = source.read(ctx.path(ctx.args.path))
    sys.stdout.flush()
    sys.stdout.buffer.write(data)
    sys.stdout.buffer.flush()
    return EXIT_OK


def cmd_stat(ctx: Context) -> int:
    with ctx.open(ctx.args.file) as source:
        e = source.stat(ctx.path(ctx.args.path))
    if ctx.args.json:
        out(output.json_line(e.to_json()))
        return EXIT_OK
    fields = [("path", output.shown(e.path or "/")), ("kind", e.kind), ("size", e.size)]
    if e.mode is not None:
        fields.append(("mode", f"{e.mode & 0o7777:04o} ({output.mode_string(e.kind, e.mode)})"))
    if e.uid is not None:
        fields.append(("owner", f"{e.uid}:{e.gid}"))
    if e.mtime is not None:
        fields.append(("mtime", f"{output.timestamp(e.mtime)} UTC ({e.mtime})"))
    if e.target is not None:
        fields.append(("target", output.shown(e.target)))
    fields += [(k, v) for k, v in e.extra.items() if v is not None]
    width = max(len(k) for k, _ in fields)
    for k, v in fields:
        out(f"{k.replace('_', ' '):>{width}}: {v}")
    return EXIT_OK


def cmd_extract(ctx: Context) -> int:
    a = ctx.args
    if a.expand and a.payload is not None:
        raise UsageError(a.file, "--expand and --payload exclude each other")
    if os.path.exists(a.dest) and not os.path.isdir(a.dest):
        raise SourceError(a.dest, "not a directory")
    opts = ExtractOptions(a.keep_modes, a.keep_times, a.symlinks)
    with ctx.open(a.file) as source:
        paths = [ctx.path(p) for p in a.paths]
        if a.expand:
            if not isinstance(source, sources.PkgSource):
                raise UsageError(a.file, "--expand applies to installer packages only")
            if paths:
                raise UsageError(a.file, "--expand writes the whole package; leave out PATH")
            summary = source.expand(a.dest)
        else:
            for p in paths:
                source.stat(p)  # every name is checked before anything is written
            bar = ctx.progress("extracting") if ctx.progress else None
            try:
                summary = source.extract(paths, a.dest, opts, bar)
            finally:
                if bar is not None:
                    bar.close()
    if a.json:
        out(output.json_line({"dest": a.dest, "files": summary.files, "dirs": summary.dirs,
                              "symlinks": summary.symlinks, "skipped": summary.skipped, "bytes": summary.bytes}))
    elif not a.quiet:
        out(output.summary_line(summary))
    return EXIT_OK


def cmd_pkgs(ctx: Context) -> int:
    with ctx.open(ctx.args.file) as source:
        found = source.packages()
    for p in found:
        out(output.json_line({"file": ctx.args.file, "path": p}) if ctx.args.json else output.shown(p))
    return EXIT_OK


def cmd_pkg(ctx: Context) -> int:
    a = ctx.args
    with ctx.open(a.file) as source:
        if not isinstance(source, sources.PkgSource):
            raise SourceError(a.file, f"not an installer package (a {source.kind})")
        d = {"file": a.file, **source.describe()}
    if a.json:
        out(output.json_line(d))
        return EXIT_OK
    out(_info_text(d))
    for r in d["pkg_refs"]:
        out(f"  pkg-ref {r['id']} {r['version'] or '?'} -> {r['component'] or '?'}")
    for c in d["components"]:
        out(f"component {c['name'] or '(top level)'}")
        for k in ("identifier", "version", "install_location", "auth", "install_kbytes", "payload_files"):
            if c[k] is not None:
                out(f"  {k.replace('_', ' ')}: {c[k]}")
        for phase, script in c["scripts"].items():
            out(f"  {phase} script: {output.shown(script)}")
        out(f"  payload ({len(c['payload'])} entries):")
        for p in c["payload"]:
            out(f"    {output.shown(p)}")
        if c["scripts_files"]:
            out(f"  scripts ({len(c['scripts_files'])} entries):")
            for p in c["scripts_files"]:
                out(f"    {output.shown(p)}")
    return EXIT_OK


_PARTITION_NAMES = {detect.HFSPLUS: "disk image (Apple_HFS : 0)", detect.HFSX: "disk image (Apple_HFSX : 0)",
                    detect.APFS: "disk image (Apple_APFS : 0)"}


def cmd_dmg(ctx: Context) -> int:
    a = ctx.args
    try:
        kind = detect.detect(a.source)
    except detect.NotRecognised:
        kind = None
    name = a.name or _PARTITION_NAMES.get(kind or "", "disk image")
    builder = _tev.DmgBuilder()
    builder.compression = a.compression
    if a.level is not None:
        if not 0 <= a.level <= 9:
            raise UsageError(a.source, "--level must be 0 to 9")
        builder.compression_level = a.level
    with open(a.source, "rb") as f:
        builder.add_partition(name, f.read())
    builder.build(a.out)
    return _wrote(a.out, f"one partition \"{output.shown(name)}\", {a.compression}")


def cmd_cpio(ctx: Context) -> int:
    a = ctx.args
    if not os.path.isdir(a.dir):
        raise SourceError(a.dir, "not a directory")
    builder = _tev.CpioBuilder()
    skip = os.path.realpath(a.out)
    builder.add_directory(".", _perm(os.lstat(a.dir).st_mode))
    for root, dirs, files in os.walk(a.dir):
        dirs.sort()
        rel_root = os.path.relpath(root, a.dir)
        for name in sorted(dirs) + sorted(files):
            full = os.path.join(root, name)
            rel = "./" + os.path.normpath(os.path.join(rel_root, name))
            st = os.lstat(full)
            if os.path.realpath(full) == skip:
                continue
            if os.path.islink(full):
                builder.add_symlink(rel, os.readlink(full), _perm(st.st_mode))
            elif os.path.isdir(full):
                builder.add_directory(rel, _perm(st.st_mode))
            elif os.path.isfile(full):
                with open(full, "rb") as f:
                    builder.add_file(rel, f.read(), _perm(st.st_mode))
    data = builder.finish()
    with open(a.out, "wb") as f:
        f.write(data)
    return _wrote(a.out, "newc")


def _perm(mode: int) -> int:
    return mode & 0o7777


def cmd_pbzx(ctx: Context) -> int:
    a = ctx.args
    kw = {}
    if a.chunk_size is not None:
        kw["chunk_size"] = a.chunk_size
    if a.level is not None:
        if not 0 <= a.level <= 9:
            raise UsageError(a.input, "--level must be 0 to 9")
        kw["compression_level"] = a.level
    with open(a.input, "rb") as f:
        data = f.read()
    writer = _tev.PbzxWriter(a.out, **kw)
    writer.write_cpio(data)
    writer.finish()
    return _wrote(a.out, f"{len(data)} bytes of input")


def _wrote(path: str, what: str) -> int:
    out(f"wrote {path} ({what}; {os.path.getsize(path)} bytes)")
    return EXIT_OK


_COMMANDS = {"info": cmd_info, "ls": cmd_ls, "cat": cmd_cat, "stat": cmd_stat, "extract": cmd_extract,
             "pkgs": cmd_pkgs, "pkg": cmd_pkg, "dmg": cmd_dmg, "cpio": cmd_cpio, "pbzx": cmd_pbzx}


# --- running --------------------------------------------------------------------------------------


def report(subject: str, error: BaseException) -> None:
    if isinstance(error, SourceError):
        subject, message = error.subject, error.message
    elif isinstance(error, OSError):
        subject = error.filename or subject
        message = error.strerror or str(error)
    else:
        message = str(error) or type(error).__name__
    sys.stderr.write(f"tev: {subject}: {output.shown(message)}\n")
    sys.stderr.flush()


def _subject(args) -> str:
    for name in ("file", "source", "input", "dir"):
        if getattr(args, name, None):
            return getattr(args, name)
    return "tev"


def parse(argv: list[str]) -> argparse.Namespace:
    """Options may come after positional arguments (`tev ls pkg --payload C PATH`): a command without
    commands of its own is parsed intermixed, which argparse cannot do across subcommands."""
    parser = build_parser()
    if argv and not argv[0].startswith("-"):
        sub = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
        command = sub.choices.get(argv[0])
        if command is not None and not any(isinstance(a, argparse._SubParsersAction) for a in command._actions):
            args = command.parse_intermixed_args(argv[1:])
            args.command = argv[0]
            return args
    return parser.parse_args(argv)


def run(args) -> int:
    try:
        return _COMMANDS[args.command](Context(args))
    except BrokenPipeError:
        # The reader went away (`tev ls -R big.dmg | head`): stop quietly, as ls does.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_ERROR
    except UsageError as e:
        report(_subject(args), e)
        return EXIT_USAGE
    except (SourceError, _tev.TevError, OSError, ValueError, OverflowError, detect.NotRecognised,
            sources.hostfs.UnsafePath) as e:
        report(_subject(args), e)
        return EXIT_ERROR


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    args = parse(argv)
    if args.command is None:
        build_parser().print_help(sys.stdout)
        return EXIT_OK
    # The work runs on a second thread so that Ctrl-C stops the command at once, even while the
    # module decodes for minutes without returning to Python: the main thread only waits.
    result: list = []
    worker = threading.Thread(target=lambda: result.append(_guarded(run, args)), daemon=True)
    worker.start()
    try:
        while worker.is_alive():
            worker.join(0.2)
    except KeyboardInterrupt:
        sys.stderr.write("tev: interrupted\n")
        sys.stderr.flush()
        sources.remove_owned_files()
        os._exit(EXIT_INTERRUPTED)  # the worker cannot be stopped from outside; its temporary files are gone
    status, error = result[0]
    if error is not None:
        raise error
    return status


def _guarded(fn, *args):
    try:
        return fn(*args), None
    except BaseException as e:  # a bug's traceback is shown by the main thread
        return EXIT_ERROR, e


if __name__ == "__main__":
    sys.exit(main())
