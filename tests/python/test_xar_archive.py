"""XarArchive against archives made by other tools (the shared fixtures with
their ground truth, bsdtar at test time) and against damaged and hostile
archives."""

import hashlib
import json
import os
import pathlib
import zlib

import pytest

import tev
from conftest import FIXTURES, assert_carried_over, dress_tree
from xar_images import BSDTAR, bsdtar_xar, file_xml, make_xar, stored, toc

XAR_FIXTURES = sorted(
    p for d in ("real/xar_pkg", "generated/xar_pkg") for p in (FIXTURES / d).glob("*")
    if p.suffix in (".xar", ".pkg"))
needs_fixtures = pytest.mark.skipif(not XAR_FIXTURES, reason="shared XAR fixtures absent")
needs_bsdtar = pytest.mark.skipif(not BSDTAR, reason="bsdtar missing")


def sha256(data):
    return hashlib.sha256(data).hexdigest()


@needs_fixtures
@pytest.mark.parametrize("path", XAR_FIXTURES, ids=[p.name for p in XAR_FIXTURES])
def test_fixture_agrees_with_its_ground_truth(path):
    truth = json.loads(path.with_suffix(".json").read_text())
    by_id = {e["id"]: e for e in truth["entries"]}
    with tev.XarArchive.open(str(path)) as xar:
        files = xar.files
        assert sorted(f.path for f in files) == sorted(e["path"] for e in truth["entries"])
        for index, f in enumerate(files):
            want = next(e for e in truth["entries"] if e["path"] == f.path)
            assert f.file_type == {"hardlink": "file"}.get(want["type"], want["type"]), f.path
            assert f.mode == (int(want["mode"], 8) if want.get("mode") else None)
            if want["type"] == "symlink":
                assert f.link == want["link_target"]
            # A hard link without data of its own reads as the file it names.
            source = by_id[want["hardlink"]] if want.get("hardlink", "original") != "original" else want
            if want["type"] == "hardlink" and source is not want:
                assert f.hardlink_target == source["path"]
            data = xar.read_file(index)
            if "data" in source:
                assert (f.size, f.compressed_size) == (source["data"]["size"], source["data"]["length"])
                assert sha256(data) == source["data"]["sha256"], f.path
            else:
                assert data == b"" and f.size is None


@needs_fixtures
def test_signature_information_is_reported():
    path = FIXTURES / "real/xar_pkg/goxar_valid_nudge_launchagent_signed.pkg"
    with tev.XarArchive.open(str(path)) as xar:
        sig = xar.signature
    assert sig.signed and sig.styles == ["RSA", "CMS"]
    assert repr(sig) == 'SignatureInfo(signed=True, styles=["RSA", "CMS"])'
    assert sig.common_names == ["Developer ID Installer: Mac Admins Open Source (T4SK8ZXCXG)",
                                "Developer ID Certification Authority", "Apple Root CA"]
    with tev.XarArchive.open(str(FIXTURES / "generated/xar_pkg/xar161_tree_gzip.xar")) as xar:
        assert not xar.signature.signed and xar.signature.common_names == []


@needs_fixtures
def test_a_flipped_byte_in_a_stored_member_is_an_error_not_data(tmp_path):
    src = FIXTURES / "generated/xar_pkg/xar161_component_pbzx.pkg"
    truth = json.loads(src.with_suffix(".json").read_text())
    payload = next(e for e in truth["entries"] if e["path"] == "Payload")
    data = bytearray(src.read_bytes())
    data[truth["heap_start"] + payload["data"]["offset"] + 100] ^= 0x01
    damaged = tmp_path / "damaged.pkg"
    damaged.write_bytes(bytes(data))
    with tev.XarArchive.open(str(damaged)) as xar:
        index = [f.path for f in xar.files].index("Payload")
        with pytest.raises(tev.InvalidFormatError, match=r'checksum mismatch: sha1 archived-checksum of "Payload"'):
            xar.read_file(index)
        with pytest.raises(tev.InvalidFormatError, match="checksum mismatch"):
            xar.extract_all(str(tmp_path / "out"))


@needs_fixtures
def test_a_damaged_toc_checksum_fails_the_open(tmp_path):
    src = FIXTURES / "generated/xar_pkg/xar503_product_pbzx_sha512.pkg"
    truth = json.loads(src.with_suffix(".json").read_text())
    data = bytearray(src.read_bytes())
    data[truth["heap_start"] + truth["toc_checksum"]["offset"]] ^= 0xFF
    damaged = tmp_path / "damaged.pkg"
    damaged.write_bytes(bytes(data))
    with pytest.raises(tev.InvalidFormatError, match="XAR error: checksum mismatch: sha512 TOC checksum"):
        tev.XarArchive.open(str(damaged))


# --- archives bsdtar makes here ------------------------------------------------

def make_tree(root):
    """Files of every kind a XAR holds; returns {relative path: bytes}."""
    files = {
        "empty.bin": b"",
        "a&b<c>.txt": b"entity name\n",
        "caf\u00e9-\u65e5\u672c.txt": "unicode name\n".encode(),
        "dir/sub/deep.txt": b"deep " * 300,
        "dir/random.bin": os.urandom(70000),
    }
    for rel, data in files.items():
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_bytes(data)
    os.link(root / "dir/random.bin", root / "hardlink.bin")
    files["hardlink.bin"] = files["dir/random.bin"]
    os.symlink("dir/sub/deep.txt", root / "link")
    return files


OPTIONS = [["compression=gzip"], ["compression=bzip2"], ["compression=xz"], ["compression=none"],
           ["compression=gzip", "checksum=md5", "toc-checksum=md5"], ["checksum=none", "toc-checksum=none"]]


@needs_bsdtar
def test_extraction_carries_modes_times_and_links_over_when_asked(tmp_path):
    root = tmp_path / "tree"
    root.mkdir()
    make_tree(root)
    dress_tree(root)
    archive = bsdtar_xar(root, tmp_path / "t.xar", names=sorted(os.listdir(root)))
    with tev.XarArchive.open(str(archive)) as xar:
        stats = xar.extract_all(str(tmp_path / "out"), modes=True, times=True, symlinks="create")
        with pytest.raises(ZeroDivisionError):
            xar.extract_all(str(tmp_path / "stopped"), progress=lambda done, total: 1 / 0)
    assert stats.symlinks_skipped == 0
    assert_carried_over(root, tmp_path / "out")


@needs_bsdtar
@pytest.mark.parametrize("options", OPTIONS, ids=[",".join(o) for o in OPTIONS])
def test_bsdtar_archive_lists_reads_and_extracts_as_the_tree(tmp_path, options):
    root = tmp_path / "tree"
    root.mkdir()
    files = make_tree(root)
    archive = bsdtar_xar(root, tmp_path / "t.xar", options, names=sorted(os.listdir(root)))
    with tev.XarArchive.open(str(archive)) as xar:
        entries = {f.path: (i, f) for i, f in enumerate(xar.files)}
        for rel, data in files.items():
            index, f = entries[rel]
            assert f.file_type == "file" and xar.read_file(index) == data, rel
            st = os.lstat(root / rel)
            assert (f.mode, f.uid, f.gid, f.mtime) == (st.st_mode & 0o7777, st.st_uid, st.st_gid, int(st.st_mtime))
        assert {entries["dir/random.bin"][1].hardlink_target, entries["hardlink.bin"][1].hardlink_target} & {
            "dir/random.bin", "hardlink.bin"}
        assert entries["link"][1].file_type == "symlink" and entries["link"][1].link == "dir/sub/deep.txt"
        assert entries["dir"][1].file_type == "directory"
        stats = xar.extract_all(str(tmp_path / "out"))
    out = tmp_path / "out"
    for rel, data in files.items():
        assert (out / rel).read_bytes() == data, rel
    assert not (out / "link").exists() and stats.symlinks_skipped == 1
    assert stats.files == len(files) and stats.bytes == sum(len(d) for d in files.values())


@needs_bsdtar
def test_bsdtar_lists_what_we_list(tmp_path):
    import subprocess
    root = tmp_path / "tree"
    root.mkdir()
    make_tree(root)
    archive = bsdtar_xar(root, tmp_path / "t.xar", names=sorted(os.listdir(root)))
    theirs = subprocess.run(["bsdtar", "-tf", str(archive)], capture_output=True, check=True, text=True).stdout
    with tev.XarArchive.open(str(archive)) as xar:
        assert sorted(f.path for f in xar.files) == sorted(theirs.split("\n")[:-1])


# --- the class surface ----------------------------------------------------------

def small_archive(tmp_path):
    a, heap_a = stored("a.txt", b"hello", 0)
    z = zlib.compress(b"zlib bytes " * 10)
    b = file_xml("b.z", data=(len(heap_a), len(z), 110, "application/x-gzip"))
    d = file_xml("d", "directory", children=file_xml("c", "symlink", extra="<link>../a.txt</link>"))
    path = tmp_path / "small.xar"
    path.write_bytes(make_xar(toc(a, b, d), heap_a + z))
    return path


def test_handle_protocol_and_lookups(tmp_path):
    xar = tev.XarArchive.open(str(small_archive(tmp_path)))
    with xar:
        assert repr(xar) == "XarArchive(files=4)"
        assert [f.path for f in xar.files] == ["a.txt", "b.z", "d/c", "d"]
        assert repr(xar.find("/d/c/")) == 'XarFile(name="c", path="d/c", type="symlink")'
        assert xar.find("./a.txt") is None and xar.find("A.TXT") is None
        assert xar.read_file(1) == b"zlib bytes " * 10
        assert xar.read_file(3) == b""
        with pytest.raises(IndexError, match="file index 4 out of range"):
            xar.read_file(4)
        with pytest.raises(OverflowError):
            xar.read_file(-1)
        with pytest.raises(TypeError):
            xar.find(pathlib.Path("a.txt"))
        f = xar.find("a.txt")
    assert repr(xar) == "XarArchive(closed)"
    assert f.size == 5 and f.compressed_size == 5  # snapshots outlive the archive
    with pytest.raises(RuntimeError, match="XarArchive is closed"):
        xar.read_file(0)
    assert xar.__exit__(None, None, None) is False
    with pytest.raises(TypeError):
        tev.XarFile()


def test_extract_path_strips_the_base(tmp_path):
    files = [stored("b", b"B", 0)[0], file_xml("c", "directory")]
    entry = file_xml("a", "directory", children="".join(files))
    other = file_xml("ab", "directory", children=stored("d", b"B", 0)[0])
    path = tmp_path / "x.xar"
    path.write_bytes(make_xar(toc(entry, other), b"B"))
    with tev.XarArchive.open(str(path)) as xar:
        stats = xar.extract_path("a/", str(tmp_path / "out"))
        assert (stats.dirs, stats.files) == (2, 1)
        assert (tmp_path / "out/b").read_bytes() == b"B" and (tmp_path / "out/c").is_dir()
        # A base naming a file writes that file under its own name.
        assert xar.extract_path("a/b", str(tmp_path / "one")).files == 1
        assert (tmp_path / "one/b").read_bytes() == b"B"
        assert not (tmp_path / "out/d").exists()  # "a" does not select "ab/d"
        (tmp_path / "out/b").write_bytes(b"longer old content")
        xar.extract_path("/a", str(tmp_path / "out"))
        assert (tmp_path / "out/b").read_bytes() == b"B"  # truncated and rewritten
        xar.extract_all(str(tmp_path / "out"))
        assert (tmp_path / "out/a/b").read_bytes() == b"B" and (tmp_path / "out/ab/d").read_bytes() == b"B"


# --- damaged and hostile archives --------------------------------------------------

def open_bytes(tmp_path, data):
    path = tmp_path / "h.xar"
    path.write_bytes(data)
    return tev.XarArchive.open(str(path))


BAD_OPENS = [
    ("short with magic", b"xar!\0\x1c", tev.IoError, "failed to fill whole buffer"),
    ("wrong magic", b"abcd" + b"\0" * 40, tev.InvalidFormatError, r"invalid XAR magic: 0x61626364 \(expected 0x78617221\)"),
    ("header below 28", make_xar(toc())[:4] + b"\0\x10" + make_xar(toc())[6:], tev.InvalidFormatError,
     "header size 16 is smaller"),
    ("toc length lies", make_xar(toc())[:16] + (10**6).to_bytes(8, "big") + make_xar(toc())[24:], tev.InvalidFormatError,
     "does not match decoded length"),
    ("toc past the end", make_xar(toc())[:8] + (10**6).to_bytes(8, "big") + make_xar(toc())[16:], tev.InvalidFormatError,
     "archive ended before the declared compressed TOC extent"),
    ("corrupt toc stream", make_xar(toc())[:28] + b"\x78\x9c\xff\xff\xff\xff" + b"\0" * 40, tev.DecompressionError,
     "TOC zlib"),
    ("not xar xml", make_xar("<plist/>"), tev.InvalidFormatError, r"the TOC document root must be <xar>"),
    ("billion laughs", make_xar('<?xml version="1.0"?><!DOCTYPE x [<!ENTITY a "aaaaaaaaaa">'
                                + "".join(f'<!ENTITY {c} "{("&" + p + ";") * 10}">' for p, c in zip("abcdefgh", "bcdefghi"))
                                + ']><xar><toc><file><name>&i;</name><type>file</type></file></toc></xar>'),
     tev.InvalidFormatError, "the TOC declares entities of its own"),
    ("external entity", make_xar('<?xml version="1.0"?><!DOCTYPE x [<!ENTITY e SYSTEM "file:///etc/passwd">]>'
                                 '<xar><toc><file><name>&e;</name><type>file</type></file></toc></xar>'),
     tev.InvalidFormatError, "the TOC declares entities of its own"),
    ("depth beyond the cap", make_xar("<xar><toc>" + "<file>" * 300 + "</file>" * 300 + "</toc></xar>"),
     tev.InvalidFormatError, "nests deeper than 200 elements"),
    ("unknown type", make_xar(toc(file_xml("f", "fifo"))), tev.InvalidFormatError, 'unsupported file <type> value "fifo"'),
    ("dangling hard link", make_xar(toc('<file id="1"><name>h</name><type link="7">hardlink</type></file>')),
     tev.InvalidFormatError, "names file id 7"),
    ("repeat with another value", make_xar(toc('<file><name>a</name><name>b</name><type>file</type></file>')),
     tev.InvalidFormatError, r"duplicate direct <name> field in <file>"),
    ("hard links naming each other", make_xar(toc('<file id="1"><name>a</name><type link="2">hardlink</type></file>'
                                                  '<file id="2"><name>b</name><type link="1">hardlink</type></file>')),
     tev.InvalidFormatError, 'hard link "a" is part of a cycle of hard links'),
    ("base64 name of five letters", make_xar(toc('<file><name enctype="base64">YWJjA</name><type>file</type></file>')),
     tev.InvalidFormatError, 'invalid base64 <name> value "YWJjA": not canonical base64'),
]


@pytest.mark.parametrize("name,data,exc,message", BAD_OPENS, ids=[c[0] for c in BAD_OPENS])
def test_bad_archives_fail_to_open_cleanly(tmp_path, name, data, exc, message):
    with pytest.raises(exc, match=message):
        open_bytes(tmp_path, data)


def test_a_repeated_field_with_the_same_value_is_accepted(tmp_path):
    xml = toc('<file><name>Bom</name><name>Bom</name><type>file</type><type>file</type></file>')
    with open_bytes(tmp_path, make_xar(xml)) as xar:
        assert [f.path for f in xar.files] == ["Bom"]


def test_a_chain_of_hard_links_reads_the_content_at_its_end(tmp_path):
    xml = toc('<file id="3"><name>c</name><type link="2">hardlink</type></file>'
              '<file id="2"><name>b</name><type link="1">hardlink</type></file>'
              '<file id="1"><name>a</name><type link="original">hardlink</type>'
              '<data><offset>0</offset><length>5</length><size>5</size></data></file>')
    with open_bytes(tmp_path, make_xar(xml, b"hello")) as xar:
        assert [(f.path, f.hardlink_target) for f in xar.files] == [("c", "a"), ("b", "a"), ("a", None)]
        assert [xar.read_file(i) for i in range(3)] == [b"hello"] * 3


BAD_READS = [
    ("heap offset past the file", (10**9, 5, 5, "application/octet-stream"), tev.InvalidFormatError,
     "XAR raw entry ended after 0 bytes, expected 5"),
    ("raw sizes disagree", (0, 3, 5, "application/octet-stream"), tev.InvalidFormatError,
     "declares compressed length 3 but uncompressed size 5"),
    ("compressed past the file", (0, 999, 5, "application/x-gzip"), tev.InvalidFormatError,
     "extends past the end of the archive"),
    ("corrupt zlib", (0, 8, 5, "application/x-gzip"), tev.DecompressionError, "decompression failed: gzip: "),
    ("zlib shorter than size", (8, 13, 9, "application/zlib"), tev.DecompressionError, "zlib decoded 5 bytes, expected 9"),
    ("zlib longer than size", (8, 13, 4, "application/zlib"), tev.DecompressionError,
     "zlib decoded more than the expected 4 bytes"),
    ("unknown encoding", (0, 5, 5, "application/x-foo"), tev.UnsupportedError, "unsupported encoding: application/x-foo"),
    ("corrupt bzip2", (0, 8, 5, "application/x-bzip2"), tev.DecompressionError, "decompression failed: bzip2: "),
    ("corrupt lzma", (0, 8, 5, "application/x-lzma"), tev.DecompressionError, "decompression failed: lzma: "),
]


@pytest.mark.parametrize("name,data,exc,message", BAD_READS, ids=[c[0] for c in BAD_READS])
def test_bad_members_fail_cleanly(tmp_path, name, data, exc, message):
    heap = b"\x78\x9c\xde\xad\xbe\xef\x00\x00" + zlib.compress(b"hello")
    with open_bytes(tmp_path, make_xar(toc(file_xml("m", data=data)), heap)) as xar:
        with pytest.raises(exc, match=message):
            xar.read_file(0)
        with pytest.raises(exc, match=message):
            xar.extract_all(str(tmp_path / "out"))


ESCAPES = [
    ("dot dot", file_xml(".."), "path traversal detected: .."),
    ("nested dot dot", file_xml("d", "directory", children=file_xml("..", children="")), "path traversal detected: d/.."),
    ("nul in name", '<file><name enctype="base64">YQBi</name><type>file</type></file>', "NUL"),
    ("base64 slash escape", '<file><name enctype="base64">Li4vZXNjYXBlZA==</name><type>file</type></file>',
     "path traversal detected: ../escaped"),
]


@pytest.mark.parametrize("name,entry,message", ESCAPES, ids=[c[0] for c in ESCAPES])
def test_no_path_leaves_the_destination(tmp_path, name, entry, message):
    dest = tmp_path / "box" / "dest"
    with open_bytes(tmp_path, make_xar(toc(entry))) as xar:
        with pytest.raises(tev.InvalidFormatError, match=message):
            xar.extract_all(str(dest))
    assert sorted(p.name for p in (tmp_path / "box").iterdir()) == ["dest"]


def test_absolute_names_land_below_the_destination(tmp_path):
    entry, heap = stored("/abs.txt", b"x")
    with open_bytes(tmp_path, make_xar(toc(entry), heap)) as xar:
        assert [f.path for f in xar.files] == ["/abs.txt"]
        xar.extract_all(str(tmp_path / "dest"))
    assert (tmp_path / "dest/abs.txt").read_bytes() == b"x"


def test_a_link_planted_on_the_way_is_not_followed(tmp_path):
    # A symlink entry "d" and a file "d/x" beneath it: the link is never made,
    # and a link already present in the destination is refused.
    outside = tmp_path / "outside"
    outside.mkdir()
    link = file_xml("d", "symlink", extra=f"<link>{outside}</link>")
    inner, heap = stored("x", b"secret")
    xml = toc(link, file_xml("d", "directory", children=inner))
    with open_bytes(tmp_path, make_xar(xml, heap)) as xar:
        xar.extract_all(str(tmp_path / "dest"))
        assert (tmp_path / "dest/d/x").read_bytes() == b"secret" and not (tmp_path / "dest/d").is_symlink()
        planted = tmp_path / "planted"
        planted.mkdir()
        os.symlink(outside, planted / "d")
        with pytest.raises(tev.InvalidFormatError, match="path traversal detected: d"):
            xar.extract_all(str(planted))
    assert list(outside.iterdir()) == []
