"""CpioBuilder and PbzxWriter: exact layouts, and peers reading what they write."""

import shutil
import struct
import subprocess

import pytest

import tev

HAVE = {t: shutil.which(t) is not None for t in ("cpio", "bsdtar", "xz")}


class TestCpioBuilder:
    def test_empty_archive_is_one_trailer(self):
        data = tev.CpioBuilder().finish()
        assert len(data) == 124
        assert data[:110] == b"070701" + b"".join(
            b"%08X" % v for v in (1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 11, 0))
        assert data[110:] == b"TRAILER!!!" + bytes(4)

    def test_entry_layouts(self):
        b = tev.CpioBuilder()
        b.add_file("a", b"hi", 0o644)
        assert (b.len, repr(b)) == (116, "CpioBuilder(len=116)")
        b.add_directory("./usr/bin")
        b.add_symlink("lnk", "target")
        b.add_file("x", b"", 0o100755)
        b.add_file("y", b"", 0o40755)  # the type bits given are replaced
        data = b.finish()
        assert data[:116] == (b"070701" + b"".join(b"%08X" % v for v in (1, 0o100644, 0, 0, 1, 0, 2, 0, 0, 0, 0, 2, 0))
                              + b"a\0hi\0\0")
        fields = []
        at = 0
        while at < len(data):  # entries start 4-aligned, so padding is absolute
            head = data[at:at + 110]
            mode, size, namesize = int(head[14:22], 16), int(head[54:62], 16), int(head[94:102], 16)
            name = data[at + 110:at + 110 + namesize - 1].decode()
            at += 110 + namesize
            at += -at % 4
            fields.append((name, mode, size, data[at:at + size]))
            at += size + (-size % 4)
        assert fields == [("a", 0o100644, 2, b"hi"), ("./usr/bin", 0o40755, 0, b""), ("lnk", 0o120777, 6, b"target"),
                          ("x", 0o100755, 0, b""), ("y", 0o100755, 0, b""), ("TRAILER!!!", 0, 0, b"")]
        entries = tev.Archive.from_cpio(data).list()
        assert [(e.path, e.is_dir, e.is_symlink, e.link_target) for e in entries] == [
            ("a", False, False, None), ("./usr/bin", True, False, None), ("lnk", False, True, "target"),
            ("x", False, False, None), ("y", False, False, None)]

    def test_finished_state(self):
        b = tev.CpioBuilder()
        b.finish()
        assert repr(b) == "CpioBuilder(finished)"
        for call in (b.finish, lambda: b.add_file("a", b""), lambda: b.add_directory("d"),
                     lambda: b.add_symlink("l", "t"), lambda: b.len):
            with pytest.raises(RuntimeError, match="^CpioBuilder already finished$"):
                call()

    def test_argument_checks(self):
        b = tev.CpioBuilder()
        with pytest.raises(TypeError):
            b.add_file("a", bytearray(b"x"))
        with pytest.raises(OverflowError):
            b.add_file("a", b"x", -1)
        with pytest.raises(OverflowError):
            b.add_directory("a", 2**32)
        with pytest.raises(TypeError):
            b.add_symlink("a", b"t")

    @pytest.mark.skipif(not (HAVE["cpio"] and HAVE["bsdtar"]), reason="cpio or bsdtar missing")
    def test_peers_list_and_extract_our_archives(self, tmp_path):
        b = tev.CpioBuilder()
        b.add_directory("d")
        for n in range(1, 6):
            b.add_file("d/" + "n" * n, bytes([n]) * (n * 3))
        b.add_symlink("d/link", "nnn")
        data = b.finish()
        listing = subprocess.run(["cpio", "-t", "--quiet"], input=data, capture_output=True, check=True).stdout.split()
        assert listing == [b"d"] + [b"d/" + b"n" * n for n in range(1, 6)] + [b"d/link"]
        assert subprocess.run(["bsdtar", "-t", "-f", "-"], input=data, capture_output=True,
                              check=True).stdout.split() == listing
        subprocess.run(["cpio", "-i", "-d", "--quiet"], input=data, cwd=tmp_path, check=True)
        for n in range(1, 6):
            assert (tmp_path / "d" / ("n" * n)).read_bytes() == bytes([n]) * (n * 3)
        assert (tmp_path / "d" / "link").readlink().name == "nnn"


def chunks_of(stream):
    assert stream[:12] == b"pbzx" + bytes([1]) + bytes(7)
    at, out = 12, []
    while at < len(stream):
        raw, stored = struct.unpack(">QQ", stream[at:at + 16])
        out.append((raw, stream[at + 16:at + 16 + stored]))
        at += 16 + stored
    return out


class TestPbzxWriter:
    def test_header_only_and_finished_state(self, tmp_path):
        w = tev.PbzxWriter(str(tmp_path / "p"))
        assert (repr(w), w.total_written) == ("PbzxWriter(open)", 0)
        w.finish()
        assert (tmp_path / "p").read_bytes() == b"pbzx\x01" + bytes(7)
        assert repr(w) == "PbzxWriter(finished)"
        for call in (w.finish, lambda: w.write_cpio(b"x"), lambda: w.total_written):
            with pytest.raises(RuntimeError, match="^PbzxWriter already finished$"):
                call()

    def test_chunking_and_totals(self, tmp_path):
        w = tev.PbzxWriter(str(tmp_path / "p"), chunk_size=4, compression_level=12)
        w.write_cpio(b"0123456789")
        w.write_cpio(b"")
        size = w.total_written
        w.finish()
        stream = (tmp_path / "p").read_bytes()
        assert size == len(stream)
        assert [raw for raw, _ in chunks_of(stream)] == [4, 4, 2]
        w = tev.PbzxWriter(str(tmp_path / "q"))
        w.write_cpio(b"abc")
        w.write_cpio(b"def")
        w.finish()
        assert [raw for raw, _ in chunks_of((tmp_path / "q").read_bytes())] == [3, 3]
        with tev.Archive.open(str(tmp_path / "q")) as a:
            assert a.cpio_data() == b"abcdef"

    @pytest.mark.skipif(not HAVE["xz"], reason="xz missing")
    def test_chunks_are_xz_streams_and_read_back(self, tmp_path):
        b = tev.CpioBuilder()
        for i in range(50):
            b.add_file(f"./f{i}", bytes([i]) * (i * 1000))
        cpio = b.finish()
        w = tev.PbzxWriter(str(tmp_path / "Payload"), chunk_size=64 * 1024)
        w.write_cpio(cpio)
        w.finish()
        stream = (tmp_path / "Payload").read_bytes()
        joined = b""
        for raw, stored in chunks_of(stream):
            piece = subprocess.run(["xz", "-d", "-c"], input=stored, capture_output=True, check=True).stdout
            assert len(piece) == raw
            joined += piece
        assert joined == cpio
        with tev.Archive.open(str(tmp_path / "Payload")) as a:
            assert a.cpio_data() == cpio
            assert a.extract_file("./f7") == bytes([7]) * 7000

    def test_construction_errors(self, tmp_path):
        with pytest.raises(ValueError, match="^chunk size must be non-zero$"):
            tev.PbzxWriter(str(tmp_path / "p"), chunk_size=0)
        with pytest.raises(tev.IoError, match="^I/O error: No such file or directory$"):
            tev.PbzxWriter(str(tmp_path / "missing" / "p"))
        with pytest.raises(OverflowError):
            tev.PbzxWriter(str(tmp_path / "p"), chunk_size=-1)
        with pytest.raises(TypeError):
            tev.PbzxWriter(tmp_path / "p")
