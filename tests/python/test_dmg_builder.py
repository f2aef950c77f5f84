"""DmgBuilder: options, the layout it writes, and peers reading its images."""

import os
import plistlib
import random
import shutil
import struct
import subprocess
import threading
import zlib

import pytest

import tev

SEVEN_ZIP = shutil.which("7zz") or shutil.which("7z")
COMPRESSIONS = ["raw", "zlib", "bzip2", "lzfse"]


def sample(n, seed=1):
    """Half text, half random: compressible, but not trivially."""
    rng = random.Random(seed)
    words = [b"volume ", b"catalog ", b"extent ", b"node ", b"file\n"]
    out = bytearray()
    while len(out) < n:
        out += rng.choice(words) if rng.random() < 0.7 else rng.randbytes(8)
    return bytes(out[:n])


def padded(data):
    return data + bytes(-len(data) % 512)


def build(tmp_path, parts, name="out.dmg", **options):
    b = tev.DmgBuilder()
    for key, value in options.items():
        setattr(b, key, value)
    for pname, data in parts:
        b.add_partition(pname, data)
    path = str(tmp_path / name)
    b.build(path)
    return path


def trailer(path):
    raw = open(path, "rb").read()
    t = raw[-512:]
    fields = dict(
        magic=t[:4], version=struct.unpack(">I", t[4:8])[0], flags=struct.unpack(">I", t[12:16])[0],
        data_fork_length=struct.unpack(">Q", t[32:40])[0], data_type=struct.unpack(">I", t[80:84])[0],
        data_crc=struct.unpack(">I", t[88:92])[0], xml_offset=struct.unpack(">Q", t[216:224])[0],
        xml_length=struct.unpack(">Q", t[224:232])[0], master_type=struct.unpack(">I", t[352:356])[0],
        master_crc=struct.unpack(">I", t[360:364])[0], variant=struct.unpack(">I", t[488:492])[0],
        sector_count=struct.unpack(">Q", t[492:500])[0],
    )
    xml = raw[fields["xml_offset"]:fields["xml_offset"] + fields["xml_length"]]
    return raw, fields, xml


def runs_of(table):
    count = struct.unpack(">I", table[200:204])[0]
    return [struct.unpack(">IIQQQQ", table[204 + 40 * i:244 + 40 * i]) for i in range(count)]


class TestOptions:
    def test_defaults_and_repr(self):
        b = tev.DmgBuilder()
        assert (b.compression, b.compression_level, b.chunk_size, b.skip_checksums) == ("zlib", 6, None, False)
        assert repr(b) == 'DmgBuilder(compression="zlib", partitions=0)'
        b.add_partition("a", b"x")
        b.add_partition("", b"")
        assert repr(b) == 'DmgBuilder(compression="zlib", partitions=2)'
        assert tev.DmgBuilder.__doc__.startswith("DMG file builder.")

    def test_setters_check_their_values(self):
        b = tev.DmgBuilder()
        with pytest.raises(ValueError) as e:
            b.compression = "LZFSE"
        assert str(e.value) == "invalid compression \"LZFSE\": expected 'raw', 'zlib', 'bzip2', or 'lzfse'"
        assert b.compression == "zlib"
        b.compression = "lzfse"
        assert b.compression == "lzfse"
        for attr, bad, error in [("compression_level", -1, OverflowError), ("compression_level", 2**32, OverflowError),
                                 ("chunk_size", None, TypeError), ("chunk_size", 2**64, OverflowError),
                                 ("chunk_size", 1.5, TypeError), ("skip_checksums", 1, TypeError),
                                 ("compression", b"zlib", TypeError)]:
            with pytest.raises(error):
                setattr(b, attr, bad)
        b.compression_level = 12
        b.chunk_size = 100
        assert (b.compression_level, b.chunk_size) == (12, 100)
        with pytest.raises(TypeError):
            b.add_partition("x", bytearray(b"1"))
        with pytest.raises(TypeError):
            b.add_partition(b"x", b"1")


@pytest.mark.parametrize("compression", COMPRESSIONS)
def test_images_reopen_and_extract_padded(tmp_path, compression):
    parts = [("disk image (Apple_HFS : 1)", sample(3 * 2**20 + 1000)), ("second", sample(5000, 2)), ("empty", b"")]
    path = build(tmp_path, parts, compression=compression)
    with tev.DmgArchive.open(path) as a:
        infos = a.partitions
        assert [(p.name, p.id) for p in infos] == [(n, i) for i, (n, _) in enumerate(parts)]
        for info, (_, data) in zip(infos, parts):
            assert a.extract_partition(info.id) == padded(data)
        kind = {"raw": "raw_blocks", "zlib": "zlib_blocks", "bzip2": "bzip2_blocks", "lzfse": "lzfse_blocks"}
        assert getattr(a.compression_info, kind[compression]) == 5  # 4 chunks + 1


@pytest.mark.skipif(SEVEN_ZIP is None, reason="7-Zip not installed")
@pytest.mark.parametrize("compression", COMPRESSIONS)
def test_seven_zip_tests_and_extracts_our_images(tmp_path, compression):
    # An incompressible tail: the last chunk's end does not compress.
    data = sample(2 * 2**20 + 777) + random.Random(5).randbytes(5000)
    path = build(tmp_path, [("disk image (Apple_HFS : 1)", data)], compression=compression)
    test = subprocess.run([SEVEN_ZIP, "t", "-tdmg", path], capture_output=True, text=True)
    assert test.returncode == 0, test.stdout + test.stderr
    assert "Everything is Ok" in test.stdout
    out = tmp_path / "x"
    subprocess.run([SEVEN_ZIP, "x", "-tdmg", "-y", f"-o{out}", path], check=True, capture_output=True)
    files = [p for p in out.rglob("*") if p.is_file()]
    assert len(files) == 1
    assert files[0].read_bytes() == padded(data)


@pytest.mark.skipif(shutil.which("dmg2img") is None, reason="dmg2img not installed")
def test_dmg2img_converts_our_zlib_image(tmp_path):
    data = sample(300000)
    path = build(tmp_path, [("disk image (Apple_HFS : 1)", data)])
    out = tmp_path / "disk.img"
    subprocess.run(["dmg2img", "-i", path, "-o", str(out)], check=True, capture_output=True)
    assert out.read_bytes() == padded(data)


@pytest.mark.skipif(SEVEN_ZIP is None, reason="7-Zip not installed")
def test_incompressible_lzfse_chunks_are_stored_raw(tmp_path):
    noise = random.Random(9).randbytes(3 * 65536)
    data = sample(65536) + noise + sample(1000)
    path = build(tmp_path, [("disk image (Apple_HFS : 1)", data)], compression="lzfse", chunk_size=65536)
    with tev.DmgArchive.open(path) as a:
        info = a.compression_info
        assert (info.lzfse_blocks, info.raw_blocks) == (2, 3)
        assert a.extract_partition(0) == padded(data)
    test = subprocess.run([SEVEN_ZIP, "t", "-tdmg", path], capture_output=True, text=True)
    assert "Everything is Ok" in test.stdout, test.stdout


def test_layout_of_an_empty_builder(tmp_path):
    raw, t, xml = trailer(build(tmp_path, []))
    assert t["magic"] == b"koly" and (t["version"], t["flags"]) == (4, 1)
    assert (t["data_fork_length"], t["xml_offset"], t["sector_count"]) == (0, 0, 0)
    assert (t["data_type"], t["data_crc"], t["master_type"]) == (2, 0, 2)
    assert plistlib.loads(xml) == {"resource-fork": {"blkx": []}}
    assert len(raw) == len(xml) + 512
    with tev.DmgArchive.open(str(tmp_path / "out.dmg")) as a:
        assert a.partitions == []


def test_layout_of_partitions(tmp_path):
    data = b"q" * 1000
    path = build(tmp_path, [("a <b> & c", data), ("zeros", bytes(2 * 2**20)), ("nothing", b"")], compression="raw")
    raw, t, xml = trailer(path)
    text = xml.decode()
    assert "<string>a &lt;b&gt; &amp; c</string>" in text
    assert "\t\t\t\t<key>Attributes</key>\n\t\t\t\t<string>0x0050</string>\n" in text
    blkx = plistlib.loads(xml)["resource-fork"]["blkx"]
    assert [(p["Name"], p["CFName"], p["ID"]) for p in blkx] == [
        ("a <b> & c", "a <b> & c", "0"), ("zeros", "zeros", "1"), ("nothing", "nothing", "2")]
    first, zeros, nothing = (p["Data"] for p in blkx)
    assert runs_of(first) == [(1, 0, 0, 2, 0, 1024), (0xFFFFFFFF, 0, 2, 0, 0, 0)]
    assert raw[:1024] == data + bytes(24)
    assert runs_of(zeros) == [(0, 0, 0, 2048, 0, 0), (0, 0, 2048, 2048, 0, 0), (0xFFFFFFFF, 0, 4096, 0, 0, 0)]
    assert runs_of(nothing) == [(0xFFFFFFFF, 0, 0, 0, 0, 0)]
    assert struct.unpack(">QQ", zeros[8:24]) == (2, 4096)  # starts after the first partition
    assert t["data_fork_length"] == 1024 and t["sector_count"] == 2 + 4096
    assert t["data_crc"] == zlib.crc32(raw[:1024])
    part_crc = struct.unpack(">I", first[72:76])[0]
    assert part_crc == zlib.crc32(data + bytes(24))
    words = b"".join(p["Data"][72:76] for p in blkx)
    assert t["master_crc"] == zlib.crc32(words)
    with tev.DmgArchive.open(path) as a:
        assert a.partitions[0].name == "a <b> & c"


def test_skip_checksums(tmp_path):
    path = build(tmp_path, [("p", b"data" * 300)], skip_checksums=True)
    _, t, xml = trailer(path)
    assert (t["data_type"], t["data_crc"], t["master_type"], t["master_crc"]) == (0, 0, 0, 0)
    table = plistlib.loads(xml)["resource-fork"]["blkx"][0]["Data"]
    assert struct.unpack(">III", table[64:76]) == (2, 32, 0)
    with tev.DmgArchive.open(path) as a:
        assert a.extract_partition(0) == padded(b"data" * 300)


@pytest.mark.parametrize("chunk_size,expected_sectors", [(100, 8), (4096, 8), (5000, 9), (8192, 16)])
def test_chunk_sizes_become_whole_sectors_of_at_least_4096(tmp_path, chunk_size, expected_sectors):
    data = sample(50000)
    path = build(tmp_path, [("p", data)], chunk_size=chunk_size, compression_level=12)
    _, _, xml = trailer(path)
    runs = runs_of(plistlib.loads(xml)["resource-fork"]["blkx"][0]["Data"])
    assert {r[3] for r in runs[:-2]} == {expected_sectors}
    with tev.DmgArchive.open(path) as a:
        assert a.extract_partition(0) == padded(data)


def test_build_errors(tmp_path):
    b = tev.DmgBuilder()
    b.compression = "bzip2"
    b.compression_level = 0
    b.add_partition("p", b"x" * 1000)
    with pytest.raises(tev.DecompressionError, match="^DMG error: compression error: bzip2"):
        b.build(str(tmp_path / "b.dmg"))
    with pytest.raises(tev.IoError, match="^DMG error: I/O error: "):
        tev.DmgBuilder().build(str(tmp_path / "no" / "such" / "dir.dmg"))
    with pytest.raises(TypeError):
        tev.DmgBuilder().build(tmp_path / "x.dmg")


def test_build_holds_shared_access(tmp_path):
    b = tev.DmgBuilder()
    b.compression = "bzip2"
    b.compression_level = 9
    b.add_partition("big", sample(24 * 2**20))
    errors = []
    t = threading.Thread(target=lambda: b.build(str(tmp_path / "big.dmg")))
    t.start()
    try:
        for _ in range(2000):
            try:
                b.add_partition("late", b"x")
            except RuntimeError as e:
                errors.append(str(e))
                assert repr(b).startswith('DmgBuilder(compression="bzip2"')  # reads still work
                break
    finally:
        t.join()
    assert errors in ([], ["Already borrowed"])  # fails at once, never waits
