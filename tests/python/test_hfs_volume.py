"""HfsVolume against volumes made by xorriso, newfs_hfs + Linux and macOS, and damaged ones."""

import hashlib
import json
import os
import random
import re
import shutil
import struct
import subprocess
import unicodedata

import pytest

import tev
from conftest import FIXTURES, assert_carried_over, dress_tree, not_out_of_memory, run_with_memory_cap
from hfs_images import unpack_xz, xorriso_volume

GENERATED = FIXTURES / "generated" / "hfs_dmg" / "hfs"
REAL = FIXTURES / "real" / "hfs_dmg"
PRIVATE = "\0\0\0\0HFS+ Private Data"
KINDS = {"dir": "directory", "file": "file", "symlink": "symlink"}


# ---------------------------------------------------------------- ground truth

def volume_cases():
    cases = [(p, p.with_name(p.name[: -len(".img.xz")] + ".json")) for p in sorted(GENERATED.glob("*.img.xz"))]
    raw = REAL / "dfvfs" / "hfsplus.raw"
    if raw.exists():
        cases.append((raw, raw.with_name("hfsplus.raw.json")))
    # The HFS+ partitions of real DMGs: X.p<N>.hfs.json describes partition N (in list order) of X.dmg.
    for truth in sorted(REAL.glob("*/*.p*.hfs.json")):
        m = re.match(r"(.*)\.p(\d+)\.hfs\.json$", truth.name)
        dmg = truth.with_name(m.group(1) + ".dmg")
        if dmg.exists():
            cases.append(((dmg, int(m.group(2))), truth))
    return cases


def materialise(source, tmp_path):
    if isinstance(source, tuple):
        dmg, index = source
        out = tmp_path / "partition.img"
        with tev.DmgArchive.open(str(dmg)) as archive:
            archive.extract_partition_to(archive.partitions[index].id, str(out))
        return out
    if source.name.endswith(".xz"):
        return unpack_xz(source, tmp_path / "volume.img")
    return source


def case_id(case):
    source, _ = case
    return f"{source[0].name}:p{source[1]}" if isinstance(source, tuple) else source.name


CASES = volume_cases()


@pytest.mark.skipif(not CASES, reason="no shared fixtures")
@pytest.mark.parametrize("case", CASES, ids=[case_id(c) for c in CASES])
def test_volumes_agree_with_their_ground_truth(case, tmp_path):
    source, truth_path = case
    truth = json.loads(truth_path.read_text())["entries"]
    image = materialise(source, tmp_path)
    if "wrapped" in truth_path.name:
        # An HFS wrapper around the volume is not opened through.
        with pytest.raises(tev.InvalidFormatError, match=r"invalid HFS\+ signature: 0x4244 "):
            tev.HfsVolume.open(str(image))
        return
    with tev.HfsVolume.open(str(image)) as vol:
        walked = {e.path[1:]: e for e in vol.walk()}
        # The walk shows the catalog as it is: the hard-link folder and its
        # inodes too, which the ground truth leaves out.
        extra = {p for p in walked if p not in truth}
        assert all(p == PRIVATE or p.startswith(PRIVATE + "/iNode") for p in extra), extra
        for path, want in truth.items():
            entry = walked[path]
            kind = KINDS[want["kind"]]
            assert (entry.kind, entry.name) == (kind, path.rsplit("/", 1)[-1]), path
            st = vol.stat("/" + path)
            assert "mode" not in want or st.mode & 0o7777 == int(want["mode"], 8), path
            if kind == "directory":
                assert (entry.size, st.kind, st.size) == (0, "directory", 0)
                continue
            data = vol.read_file("/" + path)
            assert entry.size == st.size == len(data) == want["size"], path
            assert st.kind == kind  # "symlink" for a link, as its walk entry says
            if kind == "symlink":
                assert data.decode() == want["target"]
                assert st.mode & 0o170000 == 0o120000
            else:
                assert hashlib.sha256(data).hexdigest() == want["sha256"], path
            assert vol.exists("/" + path)
            rsize = want.get("resource_fork", {}).get("size") or None
            assert st.resource_fork_size == rsize, path
        listed_root = [e.name for e in vol.list_directory("/")]
        assert listed_root == [p for p in walked if "/" not in p]
        # HFS+ finds a name in any case, HFSX only as stored.
        hfsx = image.read_bytes()[1024:1026] == b"HX"
        ascii_names = [p for p in truth if p.isascii() and p.lower() != p.upper() and p.swapcase() not in truth]
        for path in ascii_names[:5]:
            assert vol.exists("/" + path.swapcase()) is not hfsx, path


# ---------------------------------------------------------------- xorriso volumes

NAMES = ["Mixed Case.TXT", unicodedata.normalize("NFD", "café-résumé.txt"), "empty", "zz-last"]


@pytest.fixture(scope="module")
def xorriso(tmp_path_factory):
    """A volume from a real tree: nested folders, a folder of 3000 files, a
    4 MiB file, decomposed accents, mixed case, an empty file, a symlink."""
    base = tmp_path_factory.mktemp("xorriso")
    tree = base / "tree"
    (tree / "deep" / "er" / "est").mkdir(parents=True)
    many = tree / "many"
    many.mkdir()
    files = {}
    for i in range(3000):
        files[f"many/file{i:05d}.dat"] = f"file {i}\n".encode() * (i % 7)
    rng = random.Random(5)
    files["deep/er/est/big.bin"] = rng.randbytes(4 << 20)
    files[NAMES[0]] = b"mixed\n"
    files[NAMES[1]] = b"accents\n"
    files["empty"] = b""
    files["zz-last"] = b"last\n"
    for rel, data in files.items():
        (tree / rel).write_bytes(data)
    os.symlink("deep/er/est/big.bin", tree / "link")
    image = xorriso_volume(tree, base / "volume.img")
    return image, files


def test_xorriso_tree_reads_back(xorriso):
    image, files = xorriso
    with tev.HfsVolume.open(str(image)) as vol:
        walked = vol.walk()
        paths = [e.path for e in walked]
        want_files = {"/" + p for p in files} | {"/link"}
        want_dirs = {"/deep", "/deep/er", "/deep/er/est", "/many"}
        assert set(paths) == want_files | want_dirs
        assert len(paths) == len(set(paths))
        # Pre-order: a folder comes before everything below it.
        for d in want_dirs:
            assert min(i for i, p in enumerate(paths) if p.startswith(d + "/")) > paths.index(d)
        for rel, data in files.items():
            assert vol.read_file("/" + rel) == data
        sizes = {e.path: e.size for e in walked}
        assert all(sizes["/" + rel] == len(data) for rel, data in files.items())
        assert vol.read_file("/link") == b"deep/er/est/big.bin"
        many = vol.list_directory("/many")
        assert [e.name for e in many] == sorted(p.split("/")[1] for p in files if p.startswith("many/"))
        big = vol.stat("/deep/er/est/big.bin")
        assert (big.kind, big.size, big.mode & 0o170000) == ("file", 4 << 20, 0o100000)
        assert vol.stat("/").id == 2 and vol.stat("/").kind == "directory"


def test_name_rules(xorriso):
    image, files = xorriso
    with tev.HfsVolume.open(str(image)) as vol:
        # HFS+ compares names folded to lower case, with no Unicode normalisation.
        assert vol.read_file("/mixed case.txt") == b"mixed\n"
        assert vol.read_file("/MIXED CASE.TXT") == b"mixed\n"
        assert vol.read_file("/" + NAMES[1].upper()) == b"accents\n"
        assert not vol.exists("/" + unicodedata.normalize("NFC", NAMES[1]))
        # Slashes around and between components do not matter.
        assert vol.read_file("//deep///er/est//big.bin/") == files["deep/er/est/big.bin"]
        assert [e.name for e in vol.list_directory("deep/")] == [e.name for e in vol.list_directory("/deep")] == ["er"]
        # An empty file has no entries to list: asking is an error, not an empty folder.
        with pytest.raises(tev.InvalidFormatError, match=r"^HFS\+ error: not a directory: /empty$"):
            vol.list_directory("/empty")


def test_errors_name_the_path(xorriso):
    image, _ = xorriso
    with tev.HfsVolume.open(str(image)) as vol:
        assert vol.exists("/missing") is False
        with pytest.raises(tev.FileNotFoundError, match=r"^HFS\+ error: file not found: deep/nope$"):
            vol.read_file("/deep/nope/x")
        assert vol.exists("/empty/x") is False  # a path through a file names nothing
        with pytest.raises(tev.IoError, match=r"^HFS\+ error: is a directory: /deep/$"):
            vol.read_file("/deep/")
        # A symbolic link in the middle of a path is not followed.
        with pytest.raises(tev.InvalidFormatError, match="not a directory: link"):
            vol.list_directory("/link/x")
        vol.read_file("/zz-last")  # still usable after errors


# ---------------------------------------------------------------- the class itself

def test_handle_protocol_and_text_forms(xorriso):
    image, _ = xorriso
    vol = tev.HfsVolume.open(str(image))
    assert repr(vol) == "HfsVolume(open)"
    info = vol.volume_info
    # xorriso names the volume after the image's volume id; the root folder's name is the volume's.
    assert (info.fs_type, info.name, info.symlink_count, info.is_hfsx) == ("hfsplus", "ISOIMAGE", None, False)
    with vol as same:
        assert same is vol
        entry = next(e for e in vol.list_directory("/") if e.name == "deep")
        assert repr(entry) == 'DirEntry(name="deep", kind="directory", size=0)'
        walked = next(e for e in vol.walk() if e.path == "/zz-last")
        assert repr(walked) == 'WalkEntry(path="/zz-last", kind="file", size=5)'
        assert walked.name == "zz-last"
        assert repr(vol.stat("/deep")).endswith("mode=0o40755)")
        st = vol.stat("/zz-last")
        assert repr(st) == f"FileStat(kind=\"file\", size=5, mode=0o{st.mode:o})"
        assert (st.fs_type, st.nlink, st.data_fork_extents, st.resource_fork_size) == ("hfsplus", None, 1, None)
        assert isinstance(st.create_time, int) and isinstance(st.uid, int)
        with pytest.raises(AttributeError):
            st.size = 1
        with pytest.raises(TypeError):
            type(st)()
    assert vol.__exit__(None, None, None) is False
    assert repr(vol) == "HfsVolume(closed)"
    for call in (lambda: vol.walk(), lambda: vol.read_file("/x"), lambda: vol.stat("/"),
                 lambda: vol.exists("/"), lambda: vol.list_directory("/")):
        with pytest.raises(RuntimeError, match="^HfsVolume is closed$"):
            call()


def test_docstrings_and_signatures():
    import inspect
    assert tev.HfsVolume.__doc__.startswith("Standalone HFS+ volume reader for raw partition images.\n\n")
    assert 'with tev.HfsVolume.open("/path/to/partition.img") as vol:' in tev.HfsVolume.__doc__
    for name, params, doc in [
        ("open", ["path"], "Open an HFS+ volume from a raw partition image."),
        ("list_directory", ["self", "path"], "List entries in a directory."),
        ("read_file", ["self", "path"], "Read a file into bytes."),
        ("stat", ["self", "path"], "Get file metadata."),
        ("walk", ["self"], "Walk all entries in the volume."),
        ("exists", ["self", "path"], "Check if a path exists."),
    ]:
        method = getattr(tev.HfsVolume, name)
        assert inspect.signature(method).parameters.keys() == set(params) or name == "open"
        assert method.__doc__.strip().endswith(doc)
    assert list(inspect.signature(tev.HfsVolume.__exit__).parameters) == ["self", "_exc_type", "_exc_val", "_exc_tb"]


def test_open_errors(tmp_path):
    with pytest.raises(tev.IoError):
        tev.HfsVolume.open(str(tmp_path / "missing.img"))
    short = tmp_path / "short.img"
    short.write_bytes(b"\0" * 1500)
    with pytest.raises(tev.IoError, match="failed to fill whole buffer"):
        tev.HfsVolume.open(str(short))
    zero = tmp_path / "zero.img"
    zero.write_bytes(bytes(4096))
    with pytest.raises(tev.InvalidFormatError, match=r"invalid HFS\+ signature: 0x0000 \(expected 0x482B or 0x4858\)"):
        tev.HfsVolume.open(str(zero))


# ---------------------------------------------------------------- damaged volumes

def header_fields(image: bytes):
    block_size = struct.unpack_from(">I", image, 1064)[0]
    catalog_start = struct.unpack_from(">I", image, 1296 + 16)[0] * block_size
    node_size = struct.unpack_from(">H", image, catalog_start + 32)[0]
    return block_size, catalog_start, node_size


def patched(tmp_path, image: bytes, edits, name="damaged.img"):
    data = bytearray(image)
    for offset, fmt, value in edits:
        struct.pack_into(fmt, data, offset, value)
    out = tmp_path / name
    out.write_bytes(bytes(data))
    return out


def test_version_block_size_and_node_size_checks(xorriso, tmp_path):
    image = xorriso[0].read_bytes()
    _, catalog, _ = header_fields(image)
    for edits, error, text in [
        ([(1026, ">H", 3)], tev.UnsupportedError, "unsupported version: 3"),
        ([(1024, ">H", 0x4858), (1026, ">H", 5)], None, None),  # HX with version 5 opens
        ([(1064, ">I", 0)], tev.InvalidFormatError, "block size 0 is not a power of two"),
        ([(1064, ">I", 3000)], tev.InvalidFormatError, "block size 3000 is not a power of two"),
        ([(catalog + 32, ">H", 8)], tev.InvalidFormatError, "invalid node size 8"),
        ([(catalog + 8, ">B", 0)], tev.InvalidFormatError, "expected header node, got kind 0"),
        ([(1296 + 20, ">I", 0)], tev.InvalidFormatError, "fork offset 0 exceeds extent capacity"),
    ]:
        path = patched(tmp_path, image, edits)
        if error is None:
            with tev.HfsVolume.open(str(path)) as vol:
                assert vol.exists("/zz-last")
            continue
        with pytest.raises(error, match=re.escape(text)):
            tev.HfsVolume.open(str(path))


def catalog_nodes(image: bytes):
    """(offset, kind, forward link, records) of every used catalog node, in
    file order (the xorriso catalog lies in one extent)."""
    bs, start, node_size = header_fields(image)
    total = struct.unpack_from(">I", image, start + 36)[0]
    nodes = []
    for n in range(total):
        at = start + n * node_size
        flink, _, kind, height, count = struct.unpack_from(">IIbBH", image, at)
        if count:
            nodes.append((n, at, kind, flink))
    return nodes


def test_cyclic_trees_end_in_an_error(xorriso, tmp_path):
    image = xorriso[0].read_bytes()
    nodes = catalog_nodes(image)
    leaves = [n for n in nodes if n[2] == -1]
    index = [n for n in nodes if n[2] == 0]
    assert len(leaves) > 3 and index, "the 3000-file folder gives several leaves and an index"
    # A leaf whose forward link points back to an earlier leaf.
    n, at, _, _ = leaves[len(leaves) // 2]
    looped = patched(tmp_path, image, [(at, ">I", leaves[1][0])], "loop.img")
    with tev.HfsVolume.open(str(looped)) as vol:
        with pytest.raises(tev.InvalidFormatError, match="leaf chain links back to node"):
            vol.list_directory("/many")
    # Every record of the root index node pointing back at the root.
    _, start, node_size = header_fields(image)
    root = struct.unpack_from(">I", image, start + 16)[0]
    at = next(x[1] for x in index if x[0] == root)
    edits = []
    for i in range(struct.unpack_from(">H", image, at + 10)[0]):
        record = at + struct.unpack_from(">H", image, at + node_size - 2 * (i + 1))[0]
        key_length = struct.unpack_from(">H", image, record)[0]
        edits.append((record + 2 + key_length, ">I", root))
    cyclic = patched(tmp_path, image, edits, "cycle.img")
    with tev.HfsVolume.open(str(cyclic)) as vol:
        with pytest.raises(tev.InvalidFormatError, match="descent passes more than 32 levels"):
            vol.walk()


def test_hostile_volumes_fail_cleanly(xorriso, tmp_path):
    with tev.HfsVolume.open(str(xorriso[0])) as vol:
        assert vol.read_file("/deep/er/est/big.bin") == xorriso[1]["deep/er/est/big.bin"]
    run_with_memory_cap(lambda: open_damaged_volumes(xorriso[0].read_bytes(), tmp_path))


def open_damaged_volumes(image, tmp_path):
    bs, catalog, node_size = header_fields(image)
    regions = [(1024, 512), (catalog, 512)] + [(at, node_size) for _, at, _, _ in catalog_nodes(image)[:6]]
    rng = random.Random(11)
    path = tmp_path / "hostile.img"
    trials = 0
    for start, length in regions:
        for _ in range(25):
            data = bytearray(image)
            for _ in range(rng.randint(1, 4)):
                data[start + rng.randrange(length)] ^= 1 << rng.randrange(8)
            path.write_bytes(bytes(data))
            trials += 1
            try:
                with tev.HfsVolume.open(str(path)) as vol:
                    for e in vol.walk()[:50]:
                        if e.kind != "directory":
                            vol.read_file(e.path)
                        vol.stat(e.path)
            except tev.TevError as e:
                not_out_of_memory(e)
    for cut in (1024, 1100, 1536, catalog + 100, catalog + node_size + 7, len(image) // 2):
        path.write_bytes(image[:cut])
        try:
            with tev.HfsVolume.open(str(path)) as vol:
                for e in vol.walk():
                    if e.kind != "directory":
                        vol.read_file(e.path)
        except tev.TevError as e:
            not_out_of_memory(e)
    assert trials == 25 * len(regions)


# ---------------------------------------------------------------- a peer's view

@pytest.mark.skipif(shutil.which("fls") is None, reason="sleuthkit is not installed")
@pytest.mark.skipif(not CASES, reason="no shared fixtures")
def test_listing_matches_sleuthkit(tmp_path):
    image = unpack_xz(GENERATED / "hfsplus_many.img.xz", tmp_path / "many.img")
    out = subprocess.run(["fls", "-r", "-p", "-f", "hfs", str(image)], check=True, capture_output=True,
                         text=True, errors="surrogateescape").stdout
    theirs = set()
    for line in out.splitlines():
        kind_and_id, _, path = line.partition("\t")
        if "*" in kind_and_id.split()[-2:-1] or path.startswith(("$", "^^^^HFS+ Private Data")):
            continue
        theirs.add(path)
    with tev.HfsVolume.open(str(image)) as vol:
        ours = {e.path[1:] for e in vol.walk() if not e.path.startswith("/" + PRIVATE)}
    assert ours == theirs


def file_record_offset(image: bytes, name: str) -> int:
    """Where the catalog file record of a (unique) name starts, in the image."""
    encoded = name.encode("utf-16-be")
    name_at = image.index(struct.pack(">H", len(name)) + encoded)
    key_at = name_at - 6
    key_length = struct.unpack_from(">H", image, key_at)[0]
    data_at = key_at + 2 + key_length + (key_length & 1)
    assert struct.unpack_from(">H", image, data_at)[0] == 2, "a file record"
    return data_at


def test_a_short_extent_chain_is_reported(xorriso, tmp_path):
    image = xorriso[0].read_bytes()
    record = file_record_offset(image, "zz-last")
    block_size = header_fields(image)[0]
    # Claim three blocks where the inline extents hold one.
    path = patched(tmp_path, image, [(record + 88, ">Q", 3 * block_size)])
    with tev.HfsVolume.open(str(path)) as vol:
        assert vol.stat("/zz-last").size == 3 * block_size
        with pytest.raises(tev.InvalidFormatError,
                           match=f"^HFS\\+ error: corrupted data: file /zz-last declares {3 * block_size} bytes "
                                 f"but only {block_size} could be read; its extent chain ends early$"):
            vol.read_file("/zz-last")


@pytest.mark.skipif(not (GENERATED / "hfsplus_frag_simple.img.xz").exists(), reason="no shared fixtures")
def test_an_overflow_record_that_adds_nothing_ends_the_read(tmp_path):
    image = unpack_xz(GENERATED / "hfsplus_frag_simple.img.xz", tmp_path / "frag.img").read_bytes()
    block_size = struct.unpack_from(">I", image, 1064)[0]
    extents_start = struct.unpack_from(">I", image, 1216 + 16)[0] * block_size
    node_size = struct.unpack_from(">H", image, extents_start + 32)[0]
    first_leaf = struct.unpack_from(">I", image, extents_start + 24)[0]
    leaf = extents_start + first_leaf * node_size
    record = leaf + struct.unpack_from(">H", image, leaf + node_size - 2)[0]
    file_id = struct.unpack_from(">I", image, record + 4)[0]
    # The first overflow record's first extent now holds no blocks.
    path = patched(tmp_path, image, [(record + 2 + 10 + 4, ">I", 0)])
    with tev.HfsVolume.open(str(path)) as vol:
        victims = []
        for e in vol.walk():
            if e.kind == "file":
                try:
                    vol.read_file(e.path)
                except tev.InvalidFormatError as error:
                    victims.append((e.path, str(error)))
    assert len(victims) == 1, (file_id, victims)
    assert "its extent chain ends early" in victims[0][1]


@pytest.mark.skipif(shutil.which("fshfsinfo") is None, reason="libfshfs-utils is not installed")
@pytest.mark.skipif(not (GENERATED / "hfsplus_features.img.xz").exists(), reason="no shared fixtures")
@pytest.mark.parametrize("name", ["hfsplus_features", "hfsplus_many", "hfsplus_quirks"])
def test_listing_matches_libfshfs(name, tmp_path):
    image = unpack_xz(GENERATED / f"{name}.img.xz", tmp_path / "volume.img")
    out = subprocess.run(["fshfsinfo", "-H", str(image)], check=True, capture_output=True, text=True,
                         errors="surrogateescape").stdout
    # It prints names as stored (decomposed), with NUL shown as U+2400.
    theirs = {line.replace("\u2400", "\0") for line in out.splitlines() if line.startswith("/")} - {"/"}
    with tev.HfsVolume.open(str(image)) as vol:
        assert {e.path for e in vol.walk()} == theirs


def test_extraction_writes_the_tree_and_carries_modes_times_and_links_over(tmp_path):
    root = tmp_path / "tree"
    (root / "a" / "b").mkdir(parents=True)
    (root / "a" / "f.txt").write_bytes(b"x")
    (root / "a" / "b" / "g").write_bytes(b"yy")
    os.symlink("a/f.txt", root / "ln")
    dress_tree(root)
    image = xorriso_volume(root, tmp_path / "v.img")
    with tev.HfsVolume.open(str(image)) as vol:
        stats = vol.extract_all(str(tmp_path / "out"), modes=True, times=True, symlinks="create")
        part = vol.extract_path("/A/b", str(tmp_path / "part"))  # resolved as the volume does: case-folded
    assert (stats.files, stats.dirs, stats.symlinks_skipped, stats.bytes) == (2, 2, 0, 3)
    assert_carried_over(root, tmp_path / "out")
    assert (part.files, part.dirs) == (1, 1) and (tmp_path / "part" / "g").read_bytes() == b"yy"
