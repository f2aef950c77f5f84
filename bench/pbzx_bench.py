"""PBZX decoding and CPIO extraction against xz and bsdtar, in one run.

Builds a CPIO archive of this machine's binaries and text (at least 256 MiB),
frames it as PBZX with xz-compressed 16 MiB chunks, then times:
  - tev: Archive.open (all chunks decoded on the worker pool) against
    `xz -d -T1` of the same chunks concatenated (one xz stream after another);
  - tev: Archive.extract_all against `bsdtar -x` of the same CPIO archive.

  python bench/pbzx_bench.py BUILD_DIR [MiB]
"""

import os
import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
CHUNK = 16 << 20


def timed(argv, env=None, **kw):
    start = time.monotonic()
    subprocess.run(argv, env=env, check=True, stdout=subprocess.DEVNULL, **kw)
    return time.monotonic() - start


def best(n, f):
    return min(f() for _ in range(n))


def main():
    build = pathlib.Path(sys.argv[1]).resolve()
    mib = int(sys.argv[2]) if len(sys.argv) > 2 else 256
    env = dict(os.environ, PYTHONPATH=f"{HERE.parent / 'python'}:{build / 'python'}")
    files = subprocess.run([str(HERE / "corpus.sh"), str(int(mib * 1.1))], capture_output=True, text=True,
                           check=True).stdout.split()
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/var/tmp")) as tmp:
        tmp = pathlib.Path(tmp)
        tree = tmp / "tree"
        total = 0
        for i, f in enumerate(files):
            dst = tree / f"d{i % 97}" / f"{i}-{pathlib.Path(f).name}"
            dst.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(f, dst)
            total += dst.stat().st_size
            if total >= mib << 20:
                break
        cpio = subprocess.run(["bsdtar", "-c", "--format", "odc", "-f", "-", "."], cwd=tree, capture_output=True,
                              check=True).stdout
        (tmp / "payload.cpio").write_bytes(cpio)
        stream, concatenated = bytearray(b"pbzx" + struct.pack(">Q", 1 << 56)), bytearray()
        for at in range(0, len(cpio), CHUNK):
            piece = cpio[at:at + CHUNK]
            xz = subprocess.run(["xz", "-6", "-T2", "-c", "--check=crc64"], input=piece, capture_output=True, check=True).stdout
            stream += struct.pack(">QQ", len(piece), len(xz)) + xz
            concatenated += xz
        (tmp / "Payload").write_bytes(stream)
        (tmp / "chunks.xz").write_bytes(concatenated)
        print(f"payload: {len(cpio) >> 20} MiB of CPIO in {len(range(0, len(cpio), CHUNK))} chunks, "
              f"{len(stream) >> 20} MiB compressed")

        # Interleaved, best of three each: the machine's speed drifts.
        pairs = [(timed(["xz", "-d", "-T1", "-c", str(tmp / "chunks.xz")]),
                  timed([sys.executable, "-c", f"import tev; tev.Archive.open({str(tmp / 'Payload')!r})"], env))
                 for _ in range(3)]
        xz_time, tev_time = min(p[0] for p in pairs), min(p[1] for p in pairs)
        print(f"decode   xz -d -T1 {xz_time:6.2f} s   tev {tev_time:6.2f} s   {xz_time / tev_time:.2f}x")

        # Each run starts with no dirty pages of an earlier one to write back,
        # or the second tool would pay for the first one's writes.
        def bsdtar():
            shutil.rmtree(tmp / "x1", ignore_errors=True)
            (tmp / "x1").mkdir()
            os.sync()
            return timed(["bsdtar", "-x", "-f", str(tmp / "payload.cpio")], cwd=tmp / "x1")

        def tev_extract():
            shutil.rmtree(tmp / "x2", ignore_errors=True)
            os.sync()
            code = (f"import tev, time; a = tev.Archive.from_cpio(open({str(tmp / 'payload.cpio')!r}, 'rb').read());"
                    f"t = time.monotonic(); a.extract_all({str(tmp / 'x2')!r}); print(time.monotonic() - t)")
            out = subprocess.run([sys.executable, "-c", code], env=env, check=True, capture_output=True, text=True)
            return float(out.stdout)

        runs = [(bsdtar(), tev_extract()) for _ in range(3)]
        b, t = min(r[0] for r in runs), min(r[1] for r in runs)
        print(f"extract  bsdtar -x {b:6.2f} s   tev {t:6.2f} s   {b / t:.2f}x")


if __name__ == "__main__":
    main()
