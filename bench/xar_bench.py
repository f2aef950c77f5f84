"""XarArchive against bsdtar and Python's zlib, in one run.

Makes, with bsdtar (gzip members, sha1 checksums, its defaults):
  - a XAR of 100,000 small files in 1,000 directories;
  - a XAR holding one 256 MiB file of this machine's binaries and text.
Then, for ROUNDS rounds, times side by side:
  - tev: XarArchive.open + the `files` listing   vs  `bsdtar -tf`;
  - tev: XarArchive.extract_all                   vs  `bsdtar -xf` (fresh destinations);
  - tev: XarArchive.read_file of the 256 MiB member (checksums verified) vs
    Python's zlib.decompress of the same stored stream.
tev runs inside one interpreter (its start-up is not counted); the peers run
as commands. Prints each side's min-max and the ratio of the per-round times.

  python bench/xar_bench.py BUILD_DIR [ROUNDS]
"""

import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

HERE = pathlib.Path(__file__).resolve().parent
FILES = 100_000
BIG = 256 << 20


def timed(argv, **kw):
    start = time.monotonic()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, **kw)
    return time.monotonic() - start


def stored_stream(path):
    """The heap bytes of the archive's one member, found through its TOC."""
    data = path.read_bytes()
    header_size, _, toc_len = struct.unpack(">HHQ", data[4:16])
    toc = zlib.decompress(data[header_size:header_size + toc_len]).decode()
    block = re.search(r"<data>(.*?)</data>", toc, re.S).group(1)
    offset = int(re.search(r"<offset>(\d+)</offset>", block).group(1))
    length = int(re.search(r"<length>(\d+)</length>", block).group(1))
    heap = header_size + toc_len
    return data[heap + offset:heap + offset + length]


def report(name, peer_name, peer, ours):
    ratios = [p / t for p, t in zip(peer, ours)]
    print(f"{name:9} {peer_name:18} {min(peer):7.3f}-{max(peer):7.3f} s   tev {min(ours):7.3f}-{max(ours):7.3f} s"
          f"   ratio {min(ratios):5.2f}-{max(ratios):5.2f}x")


def main():
    sys.path[:0] = [str(HERE.parent / "python"), str(pathlib.Path(sys.argv[1]).resolve() / "python")]
    import tev
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/var/tmp")) as tmp:
        tmp = pathlib.Path(tmp)
        tree = tmp / "tree"
        for i in range(FILES):
            d = tree / f"d{i % 1000:03}"
            if i < 1000:
                d.mkdir(parents=True)
            (d / f"f{i}.txt").write_bytes(b"small file %d\n" % i * (1 + i % 7))
        many = tmp / "many.xar"
        subprocess.run(["bsdtar", "-c", "--format", "xar", "-f", str(many), "-C", str(tree), "."], check=True)
        corpus = subprocess.run([str(HERE / "corpus.sh"), "300"], capture_output=True, text=True, check=True).stdout.split()
        big_dir = tmp / "big"
        big_dir.mkdir()
        with open(big_dir / "big.bin", "wb") as out:
            left = BIG
            while left > 0:
                for f in corpus:
                    piece = pathlib.Path(f).read_bytes()[:left]
                    out.write(piece)
                    left -= len(piece)
                    if left <= 0:
                        break
        big = tmp / "big.xar"
        subprocess.run(["bsdtar", "-c", "--format", "xar", "-f", str(big), "-C", str(big_dir), "big.bin"], check=True)
        stream = stored_stream(big)
        print(f"{FILES} files: {many.stat().st_size >> 20} MiB archive; big member: {BIG >> 20} MiB in "
              f"{len(stream) >> 20} MiB stored")

        peer_list, ours_list, peer_x, ours_x, peer_read, ours_read = [], [], [], [], [], []
        for r in range(rounds):
            peer_list.append(timed(["bsdtar", "-tf", str(many)]))
            t = time.monotonic()
            with tev.XarArchive.open(str(many)) as xar:
                files = xar.files
            ours_list.append(time.monotonic() - t)
            assert len(files) >= FILES

            for d in ("x1", "x2"):
                shutil.rmtree(tmp / d, ignore_errors=True)
            os.sync()
            (tmp / "x1").mkdir()
            peer_x.append(timed(["bsdtar", "-xf", str(many)], cwd=tmp / "x1"))
            os.sync()
            with tev.XarArchive.open(str(many)) as xar:
                t = time.monotonic()
                xar.extract_all(str(tmp / "x2"))
                ours_x.append(time.monotonic() - t)

            t = time.monotonic()
            expected = zlib.decompress(stream, 15 + 32)
            peer_read.append(time.monotonic() - t)
            with tev.XarArchive.open(str(big)) as xar:
                index = [f.path for f in xar.files].index("big.bin")
                t = time.monotonic()
                data = xar.read_file(index)
                ours_read.append(time.monotonic() - t)
            assert data == expected
            del data, expected

        report("list", "bsdtar -tf", peer_list, ours_list)
        report("extract", "bsdtar -xf", peer_x, ours_x)
        report("read", "zlib.decompress", peer_read, ours_read)


if __name__ == "__main__":
    main()
