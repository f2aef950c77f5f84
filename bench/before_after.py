"""The same calls timed on two checkouts of tev, side by side in one run.

For a change that must not make anything slower: each round runs every case
once in each checkout (in alternating order), each run in a fresh interpreter
that repeats the call and keeps its best time, so that start-up and first-touch
costs are not counted. Prints each checkout's min-max over the rounds and the
per-round ratio before/after (above 1: the change is faster).

  python bench/before_after.py OLD_CHECKOUT NEW_CHECKOUT [ROUNDS]

Both checkouts must be built (`build/`, with bench/dmg_stream). Inputs are made
once in $TMPDIR/tev-before-after: a 512 MiB DMG (zlib, lzfse) of this machine's
binaries and text, a PBZX payload of the same bytes, and the shared 50,050-entry
HFS+ and APFS volumes.
"""

import lzma
import os
import pathlib
import struct
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
PERF = HERE.parent.parent / "shared" / "fixtures" / "perf"

REPEAT = """
import sys, time, tev
def best(f, n=5):
    b = 1e9
    for _ in range(n):
        t = time.monotonic(); f(); b = min(b, time.monotonic() - t)
    print(b)
"""
CASES = {
    "DmgArchive.extract_partition (zlib)": "a = tev.DmgArchive.open('{w}/disk-zlib.dmg'); best(lambda: a.extract_partition(0))",
    "DmgArchive.extract_partition (lzfse)": "a = tev.DmgArchive.open('{w}/disk-lzfse.dmg'); best(lambda: a.extract_partition(0))",
    "DmgArchive.extract_partition_to (zlib)": "a = tev.DmgArchive.open('{w}/disk-zlib.dmg'); best(lambda: a.extract_partition_to(0, '{w}/out.img'))",
    "Archive.open (PBZX, 16 MiB chunks)": "best(lambda: tev.Archive.open('{w}/Payload'), 3)",
    "HfsVolume walk": "v = tev.HfsVolume.open('{w}/hfsplus_50k.img'); best(v.walk)",
    "HfsVolume read every file": "v = tev.HfsVolume.open('{w}/hfsplus_50k.img'); es = [e.path for e in v.walk() if e.kind == 'file']; best(lambda: [v.read_file(p) for p in es])",
    "ApfsVolume walk": "v = tev.ApfsVolume.open('{w}/apfs_50k.img'); best(v.walk)",
    "ApfsVolume read every file": "v = tev.ApfsVolume.open('{w}/apfs_50k.img'); es = [e.path for e in v.walk() if e.kind == 'file']; best(lambda: [v.read_file(p) for p in es])",
}


def env_of(tree):
    return dict(os.environ, PYTHONPATH=f"{tree / 'python'}:{tree / 'build' / 'python'}")


def prepare(work, tree):
    if (work / "Payload").exists():
        return
    work.mkdir(parents=True, exist_ok=True)
    files = subprocess.run([str(HERE / "corpus.sh"), "560"], capture_output=True, text=True, check=True).stdout.split()
    data = bytearray()
    for f in files:
        data += pathlib.Path(f).read_bytes()
        if len(data) >= 512 << 20:
            break
    (work / "corpus.bin").write_bytes(bytes(data[: 512 << 20]))
    for c in ("zlib", "lzfse"):
        subprocess.run([sys.executable, "-c",
                        f"import tev; b = tev.DmgBuilder(); b.compression = {c!r}; "
                        f"b.add_partition('disk image (Apple_HFS : 1)', open('{work}/corpus.bin', 'rb').read()); "
                        f"b.build('{work}/disk-{c}.dmg')"], env=env_of(tree), check=True)
    cpio = subprocess.run(["bsdtar", "-c", "--format", "odc", "-f", "-", "corpus.bin"], cwd=work,
                          capture_output=True, check=True).stdout
    stream = bytearray(b"pbzx" + struct.pack(">Q", 1 << 56))
    for at in range(0, len(cpio), 16 << 20):
        piece = cpio[at:at + (16 << 20)]
        xz = lzma.compress(piece, preset=6, check=lzma.CHECK_CRC64)
        stream += struct.pack(">QQ", len(piece), len(xz)) + xz
    (work / "corpus.bin").unlink()
    for name in ("hfsplus_50k", "apfs_50k"):
        subprocess.run(f"xz -dc {PERF / name}.img.xz > {work / name}.img", shell=True, check=True)
    (work / "Payload").write_bytes(stream)


def run(tree, code):
    out = subprocess.run([sys.executable, "-c", REPEAT + code], env=env_of(tree), capture_output=True, text=True,
                         check=True).stdout
    return float(out.split()[-1])


def main():
    old, new = pathlib.Path(sys.argv[1]).resolve(), pathlib.Path(sys.argv[2]).resolve()
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    work = pathlib.Path(os.environ.get("TMPDIR", "/var/tmp")) / "tev-before-after"
    prepare(work, new)
    times = {name: {"before": [], "after": []} for name in CASES}
    for r in range(rounds):
        for name, code in CASES.items():
            for which in (("before", "after") if r % 2 == 0 else ("after", "before")):
                times[name][which].append(run(old if which == "before" else new, code.format(w=work)))
    print(f"{rounds} rounds; best of repeated calls in each run")
    for name, t in times.items():
        b, a = t["before"], t["after"]
        ratio = [x / y for x, y in zip(b, a)]
        print(f"  {name:<40} before {min(b):.3f}-{max(b):.3f} s  after {min(a):.3f}-{max(a):.3f} s  "
              f"before/after {min(ratio):.2f}-{max(ratio):.2f}")


if __name__ == "__main__":
    main()
