"""How the command prints: listings, JSON lines, sizes, the summary line and the progress display."""

from __future__ import annotations

import json
import stat as statmod
import sys
import time

_KIND_CHAR = {"directory": "d", "symlink": "l", "file": "-", "other": "?"}
# Control characters would move the cursor or end lines; they are shown escaped (HFS+ has a folder
# named ".HFS+ Private Directory Data\r").
_CONTROL = {i: f"\\x{i:02x}" for i in range(32)} | {0x7F: "\\x7f", ord("\\"): "\\\\"}
_CONTROL.update({ord("\n"): "\\n", ord("\r"): "\\r", ord("\t"): "\\t", 0: "\\0"})


def shown(text: str) -> str:
    return text.translate(_CONTROL)


def json_line(obj) -> str:
    """One JSON object on one line; ASCII only, so that any name (even one that is not UTF-8, which
    appears with the \\udcXX escapes os.fsdecode gives) survives every pipe."""
    return json.dumps(obj, ensure_ascii=True, separators=(", ", ": "))


def size(n: int | None) -> str:
    if n is None:
        return "-"
    if n < 1024:
        return f"{n} B"
    value = float(n)
    for unit in ("KiB", "MiB", "GiB", "TiB"):
        value /= 1024
        if value < 1024 or unit == "TiB":
            break
    return f"{value:.1f} {unit}"


def mode_string(kind: str, mode: int | None) -> str:
    if mode is None:
        return _KIND_CHAR.get(kind, "?") + "?????????"
    s = statmod.filemode(mode)
    # filemode guesses the type from the bits; the entry's kind is what the archive says it is.
    return _KIND_CHAR.get(kind, s[0]) + s[1:]


def timestamp(t: int | None) -> str:
    if t is None:
        return " " * 16
    try:
        return time.strftime("%Y-%m-%d %H:%M", time.gmtime(t))
    except (OverflowError, OSError, ValueError):
        return "????-??-?? ??:??"


def long_line(entry, path: str) -> str:
    tail = f" -> {shown(entry.target)}" if entry.kind == "symlink" and entry.target is not None else ""
    if entry.kind == "directory":
        path += "/"
    return f"{mode_string(entry.kind, entry.mode)} {entry.size:>12} {timestamp(entry.mtime)} {shown(path)}{tail}"


def _count(n: int, word: str, plural: str | None = None) -> str:
    return f"{n} {word if n == 1 else plural or word + 's'}"


def summary_line(s) -> str:
    parts = [_count(s.files, "file"), _count(s.dirs, "directory", "directories")]
    if s.symlinks:
        parts.append(_count(s.symlinks, "symbolic link"))
    parts += [_count(s.bytes, "byte"), f"{s.skipped} skipped"]
    return "extracted " + ", ".join(parts)


class _Bar:
    def __init__(self, label: str):
        from tqdm import tqdm

        self._bar = tqdm(desc=label, unit="B", unit_scale=True, unit_divisor=1024, file=sys.stderr, leave=False,
                         dynamic_ncols=True)

    def __call__(self, done: int, total: int) -> None:
        if total and self._bar.total != total:
            self._bar.total = total
        self._bar.update(done - self._bar.n)  # tqdm redraws at most ten times a second

    def close(self) -> None:
        self._bar.close()


def progress_factory(enabled: bool):
    """Progress bars on stderr, only when it is a terminal (never in a pipe, a log or a test)."""
    if not enabled or not sys.stderr.isatty():
        return None
    try:
        import tqdm  # noqa: F401
    except ImportError:
        return None
    return _Bar
