"""DmgArchive against DMGs made by macOS and by other tools, and hostile ones."""

import hashlib
import json
import random
import zlib

import pytest

import tev
from conftest import FIXTURES, not_out_of_memory, run_with_memory_cap
from udif_images import SECTOR, image, mish, run

ZLIB, RAW, ADC, LZFSE, ZERO, TERM = 0x80000005, 1, 0x80000004, 0x80000007, 0, 0xFFFFFFFF

DMGS = sorted(
    list((FIXTURES / "real" / "hfs_dmg").glob("*/*.dmg"))
    + list((FIXTURES / "generated" / "hfs_dmg" / "dmg").glob("*.dmg"))
)


@pytest.mark.skipif(not DMGS, reason="no shared fixtures")
@pytest.mark.parametrize("path", DMGS, ids=lambda p: p.name)
def test_fixture_partitions_extract_to_their_recorded_bytes(path):
    truth = json.loads(path.with_suffix(".json").read_text())
    if "aes" in path.name:  # encrypted images carry no koly trailer in the clear
        with pytest.raises(tev.UnsupportedError, match="^DMG error: unsupported: encrypted disk image"):
            tev.DmgArchive.open(str(path))
        return
    with tev.DmgArchive.open(str(path)) as archive:
        parts = archive.partitions
        assert [p.name for p in parts] == [e["Name"] for e in truth["partitions"]]
        assert [p.sectors for p in parts] == [e["sector_count"] for e in truth["partitions"]]
        ids = [p.id for p in parts]
        for part, expected in zip(parts, truth["partitions"]):
            if ids.count(part.id) > 1:
                continue  # only the first partition of a shared id is reachable by id
            data = archive.extract_partition(part.id)
            assert hashlib.sha256(data).hexdigest() == expected["raw_sha256"], part.name
        stats = archive.stats
        assert stats.partition_count == len(parts)
        assert stats.version == truth["koly"]["version"]
        assert stats.sector_count == truth["koly"]["sector_count"]
        assert stats.data_fork_length == truth["koly"]["data_fork_length"]


def write(tmp_path, data, name="x.dmg"):
    p = tmp_path / name
    p.write_bytes(data)
    return str(p)


def one_partition(tmp_path, fork, sectors, runs, **kw):
    return write(tmp_path, image(fork, [("disk image (Apple_HFS : 1)", "1", mish(sectors, runs))], **kw))


class TestArchive:
    def test_handle_protocol(self, tmp_path):
        path = one_partition(tmp_path, b"", 1, [run(ZERO, 0, 1), run(TERM, 1, 0)])
        archive = tev.DmgArchive.open(path)
        assert repr(archive) == "DmgArchive(open)"
        with archive as a:
            assert a is archive
            assert a.extract_main_partition() == bytes(512)
        assert repr(archive) == "DmgArchive(closed)"
        with pytest.raises(RuntimeError, match="^DmgArchive is closed$"):
            archive.stats
        with pytest.raises(RuntimeError, match="^DmgArchive is closed$"):
            archive.extract_partition(1)
        assert archive.__exit__(None, None, None) is False
        with pytest.raises(TypeError):
            tev.DmgArchive()

    def test_values_and_reprs(self, tmp_path):
        data = bytes(range(256)) * 8
        packed = zlib.compress(data)
        path = write(tmp_path, image(packed, [
            ("Apple_Free", "-1", mish(2, [run(ZERO, 0, 2)])),
            ('disk "image" (Apple_HFSX : 2)', "2", mish(4, [run(ZLIB, 0, 4, 0, len(packed)), run(TERM, 4, 0)])),
            ("adc", "3", mish(0, [run(ADC, 0, 0)])),
        ]))
        with tev.DmgArchive.open(path) as a:
            free, hfsx, _ = a.partitions
            assert repr(free) == 'PartitionInfo(name="Apple_Free", id=-1, size=1024, type="Other")'
            assert repr(hfsx) == 'PartitionInfo(name="disk \\"image\\" (Apple_HFSX : 2)", id=2, size=2048, type="Hfsx")'
            assert (hfsx.sectors, hfsx.compressed_size, hfsx.partition_type) == (4, len(packed), "Hfsx")
            info = a.compression_info
            assert (info.zlib_blocks, info.zero_fill_blocks, info.adc_blocks) == (1, 1, 1)
            assert repr(info) == "CompressionInfo(zlib=1, bzip2=0, lzfse=0, xz=0, raw=0, zero=1)"
            s = a.stats
            assert (s.partition_count, s.total_uncompressed, s.total_compressed) == (3, 3072, len(packed))
            assert s.compression_ratio == len(packed) / 3072
            assert s.space_savings == pytest.approx((1 - len(packed) / 3072) * 100)
            assert repr(s) == f"DmgStats(partitions=3, uncompressed=3072, compressed={len(packed)}, ratio={len(packed) / 3072:.2f})"
            assert a.extract_partition(-1) == bytes(1024)
            assert a.extract_partition_by_name('disk "image" (Apple_HFSX : 2)') == data
            assert a.extract_main_partition() == data
            out = tmp_path / "p.bin"
            a.extract_partition_to(2, str(out))
            assert out.read_bytes() == data
            a.extract_main_partition_to(str(out))
            assert out.read_bytes() == data

    def test_errors_map_to_the_module_exceptions(self, tmp_path):
        good = bytes(range(256)) * 2
        packed = zlib.compress(good)
        corrupt = b"\x00" + packed[1:]
        fork = packed + corrupt
        path = write(tmp_path, image(fork, [
            ("short (Apple_HFS : 1)", "1", mish(2, [run(ZLIB, 0, 2, 0, len(packed))])),
            ("corrupt", "2", mish(1, [run(ZLIB, 0, 1, len(packed), len(corrupt))])),
            ("adc", "3", mish(1, [run(ADC, 0, 1, 0, 4)])),
        ]))
        with tev.DmgArchive.open(path) as a:
            with pytest.raises(tev.FileNotFoundError) as e:
                a.extract_partition(7)
            assert str(e.value) == "DMG error: file not found: partition 7"
            with pytest.raises(tev.FileNotFoundError, match="^DMG error: file not found: nope$"):
                a.extract_partition_by_name("nope")
            with pytest.raises(tev.DecompressionError) as e:
                a.extract_partition(1)
            assert str(e.value) == "DMG error: decompression error: zlib decoded 512 bytes, expected 1024"
            with pytest.raises(tev.DecompressionError, match="^DMG error: decompression error: corrupt deflate stream"):
                a.extract_partition(2)
            with pytest.raises(tev.DecompressionError, match="^DMG error: decompression error: ADC: "):
                a.extract_partition(3)  # a zlib stream read as ADC
            assert repr(a) == "DmgArchive(open)"  # failures leave it usable
            with pytest.raises(OverflowError):
                a.extract_partition(2**31)
            with pytest.raises(TypeError):
                a.extract_partition_to(1, tmp_path / "f")

    def test_writing_to_a_missing_directory_is_an_io_error(self, tmp_path):
        path = one_partition(tmp_path, b"", 1, [run(ZERO, 0, 1)])
        with tev.DmgArchive.open(path) as a:
            with pytest.raises(tev.IoError, match="^DMG error: I/O error: No such file or directory$"):
                a.extract_partition_to(1, str(tmp_path / "missing" / "dir" / "f"))
            assert a.extract_partition(1) == bytes(512)

    def test_binary_property_lists_parse_too(self, tmp_path):
        path = one_partition(tmp_path, b"x" * 512, 1, [run(RAW, 0, 1, 0, 512)], binary_plist=True)
        with tev.DmgArchive.open(path) as a:
            assert a.extract_partition(1) == b"x" * 512

    def test_no_partitions_and_empty_stats(self, tmp_path):
        with tev.DmgArchive.open(write(tmp_path, image(b"", []))) as a:
            assert a.partitions == []
            assert a.stats.compression_ratio == 1.0
            with pytest.raises(tev.FileNotFoundError, match="no partitions found"):
                a.extract_main_partition()

    def test_block_table_data_offset_is_honoured(self, tmp_path):
        other, wanted = b"o" * 512, b"w" * 512
        path = write(tmp_path, image(other + wanted, [
            ("p (Apple_HFS : 1)", "1", mish(1, [run(RAW, 0, 1, 0, 512)], data_offset=512)),
        ]))
        with tev.DmgArchive.open(path) as a:
            assert a.extract_partition(1) == wanted


def test_open_errors(tmp_path):
    with pytest.raises(tev.IoError):
        tev.DmgArchive.open(str(tmp_path / "missing.dmg"))
    with pytest.raises(tev.IoError):
        tev.DmgArchive.open(write(tmp_path, b"x" * 100))
    with pytest.raises(tev.InvalidFormatError, match="^DMG error: invalid DMG magic: expected 'koly' trailer$"):
        tev.DmgArchive.open(write(tmp_path, bytes(4096)))
    fork = b"data" * 1000
    bad_crc = bytearray(image(fork, []))
    bad_crc[0] ^= 1
    with pytest.raises(tev.InvalidFormatError, match="^DMG error: checksum mismatch: expected 0x"):
        tev.DmgArchive.open(write(tmp_path, bytes(bad_crc)))
    with pytest.raises(TypeError):
        tev.DmgArchive.open(b"x.dmg")


def test_hostile_images_fail_cleanly(tmp_path):
    """Truncations and flipped bytes anywhere: a TevError or a clean open, never a crash, and
    nothing allocated beyond what the image declares."""
    data = bytes(random.Random(1).randbytes(3000))
    packed = zlib.compress(data + bytes(72))
    good = image(packed, [("p (Apple_HFS : 1)", "1", mish(6, [run(ZLIB, 0, 6, 0, len(packed)), run(TERM, 6, 0)]))],
                 checksum=False)
    with tev.DmgArchive.open(write(tmp_path, good, "good.dmg")) as a:
        assert a.extract_partition(1) == data + bytes(72)
    run_with_memory_cap(lambda: open_damaged_images(tmp_path, good))


def open_damaged_images(tmp_path, good):
    cap = 1 << 30
    rng = random.Random(2)
    variants = [good[:n] for n in (0, 10, 511, 512, len(good) - 1)]
    for _ in range(300):
        b = bytearray(good)
        for _ in range(rng.randint(1, 6)):
            b[rng.randrange(len(b))] = rng.randrange(256)
        variants.append(bytes(b))
    for i, v in enumerate(variants):
        path = write(tmp_path, v, f"h{i}.dmg")
        try:
            with tev.DmgArchive.open(path) as a:
                for p in a.partitions:
                    try:
                        a.extract_partition(p.id)
                    except tev.TevError as e:
                        not_out_of_memory(e)
                    except MemoryError:
                        assert p.size > cap  # only a partition that declares that much may ask for it
        except tev.TevError as e:
            not_out_of_memory(e)


@pytest.mark.parametrize("runs,sectors", [
    ([run(ZLIB, 0, 2**50, 0, 10)], 2**50),          # a huge run
    ([run(ZERO, 0, 1)], 2**55),                     # a huge partition
    ([run(RAW, 0, 1, 0, 2**40)], 1),                # stored bytes beyond the file
    ([run(RAW, 0, 1, 2**64 - 100, 200)], 1),        # an offset that overflows
], ids=["run", "partition", "stored", "offset"])
def test_absurd_sizes_fail_without_allocating_them(tmp_path, runs, sectors):
    path = one_partition(tmp_path, b"z" * 64, sectors, runs)
    with tev.DmgArchive.open(path) as a:
        with pytest.raises(tev.TevError):
            a.extract_partition(1)


def test_absurd_run_count_is_damage_not_a_short_read(tmp_path):
    path2 = write(tmp_path, image(b"", [("p", "1", mish(1, [run(ZERO, 0, 1)], run_count=2**32 - 1))]), "c.dmg")
    with pytest.raises(tev.InvalidFormatError, match="block table declares 4294967295 runs but holds only 1$"):
        tev.DmgArchive.open(path2)


def _extract_digest(path):
    with tev.DmgArchive.open(path) as archive:
        return hashlib.sha256(archive.extract_main_partition()).hexdigest()


def test_a_child_forked_after_use_decodes_in_parallel(tmp_path):
    import multiprocessing

    # Many chunks, so that extraction runs on the worker pool.
    volume = random.Random(7).randbytes(64 * 4096) + bytes(1 << 20)
    builder = tev.DmgBuilder()
    builder.chunk_size = 4096
    builder.add_partition("disk image (Apple_HFS : 1)", volume)
    path = str(tmp_path / "many.dmg")
    builder.build(path)
    expected = hashlib.sha256(volume).hexdigest()
    assert _extract_digest(path) == expected  # the parent's pool is running now
    with multiprocessing.get_context("fork").Pool(2) as pool:
        results = [pool.apply_async(_extract_digest, (path,)) for _ in range(2)]
        assert [r.get(timeout=60) for r in results] == [expected, expected]
