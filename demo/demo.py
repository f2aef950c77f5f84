"""What `make demo` shows: tev wrapping a real HFS+ volume in DMGs and reading its tree back out."""

import hashlib
import lzma
import pathlib
import tempfile

import tev

HERE = pathlib.Path(__file__).resolve().parent


def show_tree(vol: tev.HfsVolume) -> None:
    for entry in vol.walk():
        depth = entry.path.count("/") - 1
        if entry.kind == "directory":
            tail = "/"
        elif entry.kind == "symlink":
            tail = " -> " + vol.read_file(entry.path).decode()
        else:
            tail = f"  ({entry.size} bytes)"
        print(f"     {'  ' * depth}{entry.name}{tail}")


def main() -> None:
    print(tev.__doc__)
    print()
    volume = lzma.decompress((HERE / "sample-hfsplus.img.xz").read_bytes())
    print(f"sample: an HFS+ volume made by xorriso, {len(volume)} bytes")

    with tempfile.TemporaryDirectory() as tmp:
        for compression in ("zlib", "lzfse"):
            path = f"{tmp}/sample-{compression}.dmg"
            builder = tev.DmgBuilder()
            builder.compression = compression
            builder.chunk_size = 64 * 1024
            builder.add_partition("disk image (Apple_HFS : 1)", volume)
            builder.build(path)
            print(f"\n{builder!r} -> {pathlib.Path(path).name}, {pathlib.Path(path).stat().st_size} bytes")

            partition = f"{tmp}/partition-{compression}.img"
            with tev.DmgArchive.open(path) as dmg:
                for part in dmg.partitions:
                    print("  ", part)
                print("  ", dmg.stats, f"space savings {dmg.stats.space_savings:.1f}%")
                print("  ", dmg.compression_info)
                dmg.extract_main_partition_to(partition)
            data = pathlib.Path(partition).read_bytes()
            same = data[: len(volume)] == volume
            print(f"   main partition: {len(data)} bytes, sha256 {hashlib.sha256(data).hexdigest()[:16]}…,"
                  f" {'identical to' if same else 'DIFFERENT from'} the sample")

        with tev.HfsVolume.open(partition) as vol:
            print(f"\n{vol!r}, the partition of the last DMG:")
            show_tree(vol)
            print("   ", vol.stat("/hello.txt"))
            print("    /hello.txt says:", vol.read_file("/hello.txt").decode().strip())

    print("\nexceptions:", ", ".join(n for n in tev.__all__ if n.endswith("Error")))
    print("classes:   ", ", ".join(n for n in tev.__all__ if not n.endswith("Error") and isinstance(getattr(tev, n), type)))


if __name__ == "__main__":
    main()
