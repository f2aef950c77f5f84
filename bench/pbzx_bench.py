"""PBZX decoding and CPIO extraction against xz and bsdtar, in one run.

Builds a CPIO archive of this machine's binaries and text (at least 256 MiB),
frames it as PBZX with xz-compressed 16 MiB chunks, then times:
  - tev: Archive.open (all chunks decoded on the worker pool) against
    `xz -d -T1` of the same chunks concatenated (one xz stream after another);
  - tev: Archive.extract_all against `bsdtar -x` of the same CPIO archive.
Chunks decode in parallel but each one on a single thread, so the payload is
large (512 MiB by default, 33 chunks): with few chunks the last one decides.

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
    mib = int(sys.argv[2]) if len(sys.argv) > 2 else 512
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

        # xz runs as a command; tev runs its repetitions in one interpreter, so
        # that neither its start-up nor memory the machine has never handed out
        # before is counted (this VM pays heavily for memory on its first touch,
        # which a long-running service does not). The first tev run, cold, is
        # shown too.
        xz_time = min(timed(["xz", "-d", "-T1", "-c", str(tmp / "chunks.xz")]) for _ in range(3))
        code = ("import tev, time\n"
                "for _ in range(4):\n"
                "    t = time.monotonic(); a = tev.Archive.open(%r); print(time.monotonic() - t); del a\n"
                % str(tmp / "Payload"))
        runs = in_process(code, env)
        tev_time = min(runs[1:])
        print(f"decode   xz -d -T1 {xz_time:6.2f} s   tev {tev_time:6.2f} s   {xz_time / tev_time:.2f}x"
              f"   (tev's first, cold run {runs[0]:.2f} s)")

        # Steady state for both: each run starts from an empty destination
        # with nothing left to write back, after one run that is not counted.
        def bsdtar():
            shutil.rmtree(tmp / "x1", ignore_errors=True)
            (tmp / "x1").mkdir()
            os.sync()
            return timed(["bsdtar", "-x", "-f", str(tmp / "payload.cpio")], cwd=tmp / "x1")

        b = min([bsdtar() for _ in range(4)][1:])
        code = ("import os, shutil, time, tev\n"
                "a = tev.Archive.from_cpio(open(%r, 'rb').read())\n"
                "for _ in range(4):\n"
                "    shutil.rmtree(%r, ignore_errors=True); os.sync()\n"
                "    t = time.monotonic(); a.extract_all(%r); print(time.monotonic() - t)\n"
                % (str(tmp / "payload.cpio"), str(tmp / "x2"), str(tmp / "x2")))
        t = min(in_process(code, env)[1:])
        print(f"extract  bsdtar -x {b:6.2f} s   tev {t:6.2f} s   {b / t:.2f}x")


def in_process(code, env):
    out = subprocess.run([sys.executable, "-c", code], env=env, check=True, capture_output=True, text=True)
    return [float(line) for line in out.stdout.split()]

if __name__ == "__main__":
    main()
