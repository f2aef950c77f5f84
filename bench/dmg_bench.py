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


def main():
    build = pathlib.Path(sys.argv[1]).resolve()
    mib = int(sys.argv[2]) if len(sys.argv) > 2 else 512
    seven = shutil.which("7zz") or shutil.which("7z")
    env = dict(os.environ, PYTHONPATH=f"{HERE.parent / 'python'}:{build / 'python'}")
    data = corpus(mib)
    print(f"partition: {len(data) >> 20} MiB of binaries and text")
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/var/tmp")) as tmp:
        raw = pathlib.Path(tmp, "disk.img")
        raw.write_bytes(data)
        del data
        for compression in ("zlib", "lzfse"):
            dmg = pathlib.Path(tmp, f"disk-{compression}.dmg")
            build_code = (f"import tev; b = tev.DmgBuilder(); b.compression = {compression!r}; "
                          f"b.add_partition('disk image (Apple_HFS : 1)', open({str(raw)!r}, 'rb').read()); "
                          f"b.build({str(dmg)!r})")
            t, _ = measure([sys.executable, "-c", build_code], env)
            print(f"\n{compression}: image {dmg.stat().st_size >> 20} MiB, built in {t:.1f} s")
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
                best = min((measure(argv, env) for _ in range(2)), key=lambda r: r[0])
                results[name] = best
                shutil.rmtree(f"{tmp}/7z", ignore_errors=True)
            base = results["7-Zip x"][0]
            for name, (t, rss) in results.items():
                print(f"  {name:<24} {t:6.2f} s  peak {rss:7.0f} MiB  {base / t:5.2f}x 7-Zip")


if __name__ == "__main__":
    main()
