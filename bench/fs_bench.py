"""Walking and reading a 50,050-entry file system against sleuthkit, 7-Zip and libyal, in one run.

Unpacks the shared perf image (sparsely), then times, best of three:
  - tev: walk() against `fls -r -p`, `7zz l` and the libyal info tool's `-H` listing;
  - tev: read_file of every file against `7zz t` (which reads every byte and writes nothing);
  - walk time per entry on the whole volume and on a small one (for HFS+ a copy of one part of
    the tree made into a volume by xorriso, for APFS the shared 3,000-file container), to show
    that the walk is linear in entries.

  python bench/fs_bench.py hfsplus|apfs
"""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import tev

HERE = pathlib.Path(__file__).resolve().parent
PERF = HERE.parent.parent / "shared" / "fixtures" / "perf"

def xorriso_volume(tree, out):
    sys.path.insert(0, str(HERE.parent / "tests" / "python"))
    from hfs_images import hfsplus_partition
    iso = out.with_suffix(".iso")
    subprocess.run(["xorriso", "-as", "mkisofs", "-hfsplus", "-quiet", "-o", str(iso), str(tree)], check=True)
    out.write_bytes(hfsplus_partition(iso.read_bytes()))
    return out


def small_apfs_volume(vol, entries, tmp):
    """No Debian tool fills an APFS volume, so the small one is the shared 3,000-file container."""
    src = PERF.parent / "apfs" / "apfs_ci_linux.img.xz"
    out = tmp / "small.img"
    unpack(src, out)
    return out, None


KINDS = {
    "hfsplus": dict(volume=lambda p: tev.HfsVolume.open(p), fls=["-f", "hfs"], info="fshfsinfo",
                    subtree=lambda vol, entries, tmp: subtree_volume(vol, entries, tmp, xorriso_volume)),
    # The volume superblock's block, which fls needs to find the volume.
    "apfs": dict(volume=lambda p: tev.ApfsVolume.open(p), fls=["-f", "apfs", "-B", "229386"], info="fsapfsinfo",
                 subtree=small_apfs_volume),
}


def best(n, f):
    times = []
    for _ in range(n):
        start = time.monotonic()
        f()
        times.append(time.monotonic() - start)
    return min(times)


def peer(argv):
    if shutil.which(argv[0]) is None:
        return None
    # Only the time counts: 7zz t reports a few files of this image as damaged and exits with 2.
    return best(3, lambda: subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))


def unpack(src, dst):
    with open(dst, "wb") as out:
        xz = subprocess.Popen(["xz", "-dc", str(src)], stdout=subprocess.PIPE)
        subprocess.run(["cp", "--sparse=always", "/dev/stdin", str(dst)], stdin=xz.stdout, check=True)
        xz.wait()


def read_all(vol, entries):
    total = 0
    for e in entries:
        if e.kind == "file":
            total += len(vol.read_file(e.path))
    return total


def subtree_volume(vol, entries, tmp, make_volume):
    """One part of the tree (the entries under the first few top-level folders) as a volume of its own."""
    tops = sorted({e.path.split("/")[1] for e in entries
                   if e.kind == "directory" and e.path.count("/") == 1 and not e.name.startswith(("\0", "."))})
    chosen = {f"/{t}" for t in tops[: max(1, len(tops) // 8)]}
    tree = tmp / "subtree"
    count = 0
    for e in entries:
        if "/" + e.path.split("/")[1] not in chosen:
            continue
        target = tree / e.path[1:]
        count += 1
        if e.kind == "directory":
            target.mkdir(parents=True, exist_ok=True)
        elif e.kind == "file":
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(vol.read_file(e.path))
    return make_volume(tree, tmp / "subtree.img"), count


def main():
    kind = sys.argv[1] if len(sys.argv) > 1 else "hfsplus"
    tools = KINDS[kind]
    src = PERF / f"{kind}_50k.img.xz"
    if not src.exists():
        sys.exit(f"{src} is missing")
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/var/tmp")) as tmp:
        tmp = pathlib.Path(tmp)
        image = tmp / f"{kind}.img"
        unpack(src, image)
        with tools["volume"](str(image)) as vol:
            entries = vol.walk()
            t_walk = best(3, vol.walk)
            total = read_all(vol, entries)
            t_read = best(3, lambda: read_all(vol, entries))
            sub_image, sub_count = tools["subtree"](vol, entries, tmp) if "subtree" in tools else (None, 0)
        print(f"{kind}: {len(entries)} entries, {total} file bytes")
        peers = {
            "fls -r -p": peer(["fls", "-r", "-p", *tools["fls"], str(image)]),
            "7zz l": peer(["7zz", "l", str(image)]),
            f"{tools['info']} -H": peer([tools["info"], "-H", str(image)]),
        }
        print(f"  walk      {t_walk:7.3f} s")
        for name, t in peers.items():
            if t is not None:
                print(f"  {name:<16} {t:7.3f} s   tev walk is {t / t_walk:5.2f}x faster")
        t_test = peer(["7zz", "t", str(image)])
        print(f"  read all  {t_read:7.3f} s ({total / t_read / 1e6:.0f} MB/s)")
        if t_test is not None:
            print(f"  7zz t            {t_test:7.3f} s   tev read-all is {t_test / t_read:5.2f}x faster")
        if sub_image is not None:
            with tools["volume"](str(sub_image)) as sub:
                n = len(sub.walk())
                t_sub = best(3, sub.walk)
            print(f"  walk per entry: whole {t_walk / len(entries) * 1e6:.2f} us ({len(entries)} entries),"
                  f" small {t_sub / n * 1e6:.2f} us ({n} entries)")


if __name__ == "__main__":
    main()
