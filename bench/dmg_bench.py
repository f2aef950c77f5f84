"""DMG extraction against 7-Zip on the same image, in one run.

Builds a DMG (zlib and lzfse) around a raw image of this machine's binaries
and text (at least 512 MiB), then times, each in its own process so that peak
memory is its own:
  - tev memory mode: DmgArchive.extract_partition (to bytes) and
    extract_partition_to (to a file);
  - tev streaming mode (run by run into a file, bench/dmg_stream);
  - 7-Zip: 7zz x -tdmg.
Prints seconds, peak RSS and the ratio against 7-Zip.

  python bench/dmg_bench.py BUILD_DIR [MiB]
"""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent


def corpus(mib):
    files = subprocess.run([str(HERE / "corpus.sh"), str(int(mib * 1.05))], capture_output=True, text=True,
                           check=True).stdout.split("\n")
    out = bytearray()
    for f in files:
        if f:
            out += pathlib.Path(f).read_bytes()
        if len(out) >= mib << 20:
            break
    return bytes(out[: mib << 20])


def measure(argv, env=None):
    start = time.monotonic()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.monotonic() - start
    if status != 0:
        raise SystemExit(f"failed: {argv}")
    return elapsed, usage.ru_maxrss / 1024


def prepare(tmp, mib):
    """Runs in a process of its own, so that the corpus is not counted in the
    peak memory of the measured processes (a child starts as a copy)."""
    data = corpus(mib)
    print(f"partition: {len(data) >> 20} MiB of binaries and text")
    import tev

    for compression in ("zlib", "lzfse"):
        start = time.monotonic()
        b = tev.DmgBuilder()
        b.compression = compression
        b.add_partition("disk image (Apple_HFS : 1)", data)
        b.build(f"{tmp}/disk-{compression}.dmg")
        size = pathlib.Path(tmp, f"disk-{compression}.dmg").stat().st_size
        print(f"{compression}: image {size >> 20} MiB, built in {time.monotonic() - start:.1f} s")


def main():
    if sys.argv[1] == "--prepare":
        prepare(sys.argv[2], int(sys.argv[3]))
        return
    build = pathlib.Path(sys.argv[1]).resolve()
    mib = int(sys.argv[2]) if len(sys.argv) > 2 else 512
    seven = shutil.which("7zz") or shutil.which("7z")
    env = dict(os.environ, PYTHONPATH=f"{HERE.parent / 'python'}:{build / 'python'}")
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/var/tmp")) as tmp:
        subprocess.run([sys.executable, __file__, "--prepare", tmp, str(mib)], env=env, check=True)
        for compression in ("zlib", "lzfse"):
            dmg = pathlib.Path(tmp, f"disk-{compression}.dmg")
            out = pathlib.Path(tmp, "out")
            runs = {
                "7-Zip x": [seven, "x", "-tdmg", "-y", f"-o{tmp}/7z", str(dmg)],
                "tev memory (bytes)": [sys.executable, "-c",
                                       f"import tev; a = tev.DmgArchive.open({str(dmg)!r}); d = a.extract_partition(0)"],
                "tev memory (to file)": [sys.executable, "-c",
                                         f"import tev; tev.DmgArchive.open({str(dmg)!r}).extract_partition_to(0, {str(out)!r})"],
                "tev streaming (to file)": [str(build / "bench" / "dmg_stream"), str(dmg), str(out)],
            }
            results = {}
            for name, argv in runs.items():
                timings = []
                for _ in range(3):
                    # Every tool writes a new file, as 7-Zip does.
                    shutil.rmtree(f"{tmp}/7z", ignore_errors=True)
                    out.unlink(missing_ok=True)
                    timings.append(measure(argv, env))
                results[name] = min(timings, key=lambda r: r[0])
            base = results["7-Zip x"][0]
            print(f"\n{compression}:")
            for name, (t, rss) in results.items():
                print(f"  {name:<24} {t:6.2f} s  peak {rss:7.0f} MiB  {base / t:5.2f}x 7-Zip")


if __name__ == "__main__":
    main()
