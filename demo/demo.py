"""What `make demo` shows: tev writing and reading a DMG around a real HFS+ image."""

import hashlib
import lzma
import pathlib
import tempfile

import tev

HERE = pathlib.Path(__file__).resolve().parent


def main() -> None:
    print(tev.__doc__)
    print()
    volume = lzma.decompress((HERE / "sample-hfsplus.iso.xz").read_bytes())
    print(f"sample: an HFS+ image made by xorriso, {len(volume)} bytes")

    with tempfile.TemporaryDirectory() as tmp:
        for compression in ("zlib", "lzfse"):
            path = f"{tmp}/sample-{compression}.dmg"
            builder = tev.DmgBuilder()
            builder.compression = compression
            builder.chunk_size = 64 * 1024
            builder.add_partition("disk image (Apple_HFS : 1)", volume)
            builder.build(path)
            print(f"\n{builder!r} -> {pathlib.Path(path).name}, {pathlib.Path(path).stat().st_size} bytes")

            with tev.DmgArchive.open(path) as dmg:
                for part in dmg.partitions:
                    print("  ", part)
                print("  ", dmg.stats, f"space savings {dmg.stats.space_savings:.1f}%")
                print("  ", dmg.compression_info)
                data = dmg.extract_main_partition()
                same = data[: len(volume)] == volume
                print(f"   main partition: {len(data)} bytes, sha256 {hashlib.sha256(data).hexdigest()[:16]}…,"
                      f" {'identical to' if same else 'DIFFERENT from'} the sample")

    print("\nexceptions:", ", ".join(n for n in tev.__all__ if n.endswith("Error")))
    print("classes:   ", ", ".join(n for n in tev.__all__ if not n.endswith("Error") and isinstance(getattr(tev, n), type)))


if __name__ == "__main__":
    main()
