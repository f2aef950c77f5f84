import os
import stat as _stat
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
SHARED = ROOT.parent / "shared"
FIXTURES = SHARED / "fixtures"

# The test-only extension module lives in the build tree, never in the venv.
_selftest_dir = os.environ.get("TEV_SELFTEST_DIR", str(ROOT / "build" / "tests" / "python"))
if _selftest_dir not in sys.path:
    sys.path.insert(0, _selftest_dir)


def run_with_memory_cap(body, headroom=1 << 30):
    """Runs body() in a forked child whose address space may grow by at most
    `headroom` bytes, and fails with the child's traceback if it raised.

    Hostile-input loops run this way: an allocation sized from what a damaged
    file declares, instead of what it holds, ends the loop with MemoryError
    (or tev's out-of-memory IoError) instead of passing unnoticed on a host
    with memory to spare."""
    import resource
    import traceback

    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        status = 0
        try:
            with open("/proc/self/statm") as f:
                in_use = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
            resource.setrlimit(resource.RLIMIT_AS, (in_use + headroom, in_use + headroom))
            body()
        except BaseException:
            os.write(write_end, traceback.format_exc().encode())
            status = 1
        os._exit(status)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as f:
        report = f.read().decode(errors="replace")
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, report or f"child ended with status {status}"


def not_out_of_memory(error):
    """A damaged input may fail, but not by asking for more memory than the cap."""
    assert "Cannot allocate memory" not in str(error), error


def dress_tree(root):
    """Gives a tree's entries distinct permission bits and times (a setuid
    file among them), so that an extraction that carries them over shows it."""
    entries = sorted(root.rglob("*"), key=lambda p: len(p.parts), reverse=True)
    for i, p in enumerate(entries):
        if p.is_symlink() or not (p.is_file() or p.is_dir()):
            continue
        mode = (0o750 if p.is_dir() else 0o640) if i % 2 else (0o755 if p.is_dir() else 0o4755)
        os.chmod(p, mode)
        os.utime(p, (1_000_000_000 + i * 1000, 1_000_000_000 + i * 1000))
    os.utime(root, (1_500_000_000, 1_500_000_000))


def assert_carried_over(src, dest, names=None):
    """Modes (less setuid, setgid and sticky), modification times and links of
    what was extracted into dest, against the source tree."""
    checked = 0
    for p in dest.rglob("*"):
        rel = p.relative_to(dest)
        if names is not None and str(rel) not in names:
            continue
        s, d = os.lstat(src / rel), os.lstat(p)
        if _stat.S_ISLNK(s.st_mode):
            assert _stat.S_ISLNK(d.st_mode) and os.readlink(p) == os.readlink(src / rel), rel
        else:
            assert _stat.S_IMODE(d.st_mode) == _stat.S_IMODE(s.st_mode) & 0o777, rel
            assert int(d.st_mtime) == int(s.st_mtime), rel
        checked += 1
    assert checked
