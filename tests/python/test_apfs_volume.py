"""ApfsVolume against containers made by mkapfs + Linux and by macOS, and synthetic and damaged ones."""

import hashlib
import inspect
import json
import random
import re
import shutil
import struct

import pytest

import tev
from apfs_images import BS, container, drec, extent, fs_key, fs_tree, inode, node, obj, seal, unpack_sparse
from conftest import FIXTURES, not_out_of_memory, run_with_memory_cap

KINDS = {"dir": "directory", "file": "file", "symlink": "symlink"}
REAL_SIZE = 134_176_768  # the carved macOS containers' full size
HAVE_XZ = shutil.which("xz") is not None


def container_cases():
    cases = [(p, p.with_name(p.name[: -len(".img.xz")] + ".json")) for p in sorted((FIXTURES / "apfs").glob("*.img.xz"))]
    cases += [(p, p.with_suffix(".json")) for p in sorted((FIXTURES / "real" / "apfs").glob("*.bin"))]
    for truth in sorted((FIXTURES / "real" / "hfs_dmg").glob("*/*.p*.apfs.json")):
        m = re.match(r"(.*)\.p(\d+)\.apfs\.json$", truth.name)
        dmg = truth.with_name(m.group(1) + ".dmg")
        if dmg.exists() and "adc" not in dmg.name:
            cases.append(((dmg, int(m.group(2))), truth))
    return cases


def materialise(source, tmp_path):
    out = tmp_path / "container.img"
    if isinstance(source, tuple):
        dmg, index = source
        with tev.DmgArchive.open(str(dmg)) as archive:
            archive.extract_partition_to(archive.partitions[index].id, str(out))
        return out
    return unpack_sparse(source, out, pad_to=REAL_SIZE if source.suffix == ".bin" else None)


CASES = container_cases()


def case_id(case):
    source, _ = case
    return f"{source[0].name}:p{source[1]}" if isinstance(source, tuple) else source.name


@pytest.mark.skipif(not CASES or not HAVE_XZ, reason="no shared fixtures or no xz")
@pytest.mark.parametrize("case", CASES, ids=[case_id(c) for c in CASES])
def test_containers_agree_with_their_ground_truth(case, tmp_path):
    source, truth_path = case
    truth = json.loads(truth_path.read_text())
    truth = truth.get("entries", truth)
    with tev.ApfsVolume.open(str(materialise(source, tmp_path))) as vol:
        walked = {e.path[1:]: e for e in vol.walk()}
        assert set(walked) == set(truth) - {""}
        assert vol.stat("/").id == 2 and vol.stat("/").kind == "directory"
        for path, want in truth.items():
            if not path:
                continue
            entry = walked[path]
            kind = KINDS.get(want["kind"], "file")  # devices and fifos list as files
            assert (entry.kind, entry.name) == (kind, path.rsplit("/", 1)[-1]), path
            st = vol.stat("/" + path)
            assert st.kind == kind and st.fs_type == "apfs"
            assert st.data_fork_extents is None and st.resource_fork_size is None
            if "mode" in want:
                assert st.mode & 0o7777 == int(want["mode"], 8), path
            for field in ("uid", "gid", "nlink"):
                if field in want and kind != "directory":
                    assert getattr(st, field) == want[field], (path, field)
            if kind == "directory":
                continue
            data = vol.read_file("/" + path)
            target = want.get("symlink_target") or want.get("target")
            if kind == "symlink":
                assert data.decode() == target and st.size == len(data), path
                continue
            assert entry.size == st.size == want["size"], path
            if st.size and not data:
                continue  # compressed by the file system (decmpfs): read as stored
            assert len(data) == want["size"], path
            if want["sha256"] is None:  # a device or a fifo
                assert data == b""
            else:
                assert hashlib.sha256(data).hexdigest() == want["sha256"], path
        assert vol.exists("/" + next(iter(walked), "")) or not walked


@pytest.fixture(scope="module")
def linux(tmp_path_factory):
    src = FIXTURES / "apfs" / "apfs_ci_linux.img.xz"
    if not src.exists() or not HAVE_XZ:
        pytest.skip("no shared fixtures or no xz")
    return unpack_sparse(src, tmp_path_factory.mktemp("apfs") / "linux.img")


def test_class_surface_and_path_rules(linux):
    vol = tev.ApfsVolume.open(str(linux))
    assert repr(vol) == "ApfsVolume(open)"
    with vol:
        info = vol.volume_info
        assert (info.fs_type, info.block_size, info.total_blocks, info.free_blocks, info.version, info.is_hfsx) == \
               ("apfs", 4096, None, None, None, None)
        assert isinstance(info.name, str) and info.name and info.symlink_count is not None
        assert repr(info) == f'VolumeInfo(fs_type="apfs", block_size=4096, files={info.file_count}, dirs={info.directory_count})'
        root = vol.stat("/")
        assert root.nlink is not None and repr(root).endswith("mode=0o40755)")
        assert [e.name for e in vol.list_directory("")] == [e.name for e in vol.list_directory("/")]
        assert [e.name for e in vol.list_directory("CamelCaseDir/")] == ["InnerFile.Md"]
        # Names match exactly, even on a case-insensitive volume.
        assert vol.exists("/CamelCaseDir/InnerFile.Md")
        assert vol.exists("/camelcasedir") is False
        with pytest.raises(tev.FileNotFoundError, match=r"^APFS error: file not found: camelcasedir$"):
            vol.read_file("/camelcasedir/InnerFile.Md")
        assert vol.exists("/README.txt/x") is False  # a path through a file names nothing
        with pytest.raises(tev.InvalidFormatError, match=r"^APFS error: not a directory: /README.txt/$"):
            vol.list_directory("/README.txt/")
        assert vol.read_file("/CamelCaseDir") == b""
    assert vol.__exit__(None, None, None) is False
    assert repr(vol) == "ApfsVolume(closed)"
    with pytest.raises(RuntimeError, match="^ApfsVolume is closed$"):
        vol.volume_info
    for call in (vol.walk, lambda: vol.stat("/"), lambda: vol.read_file("/x"), lambda: vol.exists("/"),
                 lambda: vol.list_directory("/")):
        with pytest.raises(RuntimeError, match="^ApfsVolume is closed$"):
            call()


def test_sparse_files_read_at_their_size(linux):
    with tev.ApfsVolume.open(str(linux)) as vol:
        for name in ("hole_only.bin", "leading_hole.bin", "sparse.bin"):
            st = vol.stat("/sparse/" + name)
            assert len(vol.read_file("/sparse/" + name)) == st.size > 0


def test_docstrings_and_signatures():
    doc = tev.ApfsVolume.__doc__
    assert doc.startswith("Standalone APFS volume reader for raw partition images.\n\nUse as a context manager::")
    assert 'with tev.ApfsVolume.open("/path/to/partition.img") as vol:' in doc
    assert tev.ApfsVolume.open.__doc__.strip().endswith("Open an APFS volume from a raw partition image.")
    assert tev.ApfsVolume.volume_info.__doc__ == "Volume metadata."
    for name in ("list_directory", "read_file", "stat", "exists"):
        assert list(inspect.signature(getattr(tev.ApfsVolume, name)).parameters) == ["self", "path"]
    assert list(inspect.signature(tev.ApfsVolume.walk).parameters) == ["self"]


# ---------------------------------------------------------------- synthetic containers

def write(tmp_path, image, name="synthetic.img"):
    path = tmp_path / name
    path.write_bytes(bytes(image))
    return path


def test_object_map_gives_the_live_version(tmp_path):
    # Three states of the file-system tree: a snapshot's (xid 3), the live one
    # (xid 5) and one newer than the volume (xid 9). Only the live one is read.
    trees = {
        40: fs_tree({"old.txt": (16, 1, [])}),
        41: fs_tree({"live.txt": (16, 1, [])}),
        42: fs_tree({"future.txt": (16, 1, [])}),
    }
    mappings = [(1028, 3, 40), (1028, 5, 41), (1028, 9, 42)]
    path = write(tmp_path, container(fs_trees=trees, volume_mappings=mappings, volume_xid=7))
    with tev.ApfsVolume.open(str(path)) as vol:
        assert [e.path for e in vol.walk()] == ["/live.txt"]


def test_newer_checkpoint_superblocks_win(tmp_path):
    for xid, name in [(5, "Newer"), (1, "Synth")]:  # block 0 has xid 1: an equal xid does not replace it
        path = write(tmp_path, container(checkpoint=(xid, "Newer")))
        with tev.ApfsVolume.open(str(path)) as vol:
            assert vol.volume_info.name == name


def test_holes_and_a_trailing_hole_read_as_zeros(tmp_path):
    files = {"sparse.bin": (16, 4 * BS, [(0, BS, 50), (BS, BS, 0), (3 * BS, BS // 2, 51)])}
    path = write(tmp_path, container(fs_trees={40: fs_tree(files)}, data={50: b"A" * BS, 51: b"B" * BS}))
    with tev.ApfsVolume.open(str(path)) as vol:
        data = vol.read_file("/sparse.bin")
    # block 0 is the container superblock: a hole must never read it
    assert data == b"A" * BS + bytes(2 * BS) + b"B" * (BS // 2) + bytes(BS // 2)


def test_open_failures(tmp_path):
    image = container()
    bad_checksum = bytearray(image)
    bad_checksum[100] ^= 1
    nxsa = bytearray(image)
    nxsa[32:36] = b"NXSA"
    nxsa[:BS] = seal(bytearray(nxsa[:BS]))

    def with_field(offset, fmt, value):
        out = bytearray(image)
        block = bytearray(out[:BS])
        struct.pack_into(fmt, block, offset, value)
        out[:BS] = seal(block)
        return out

    cases = [
        (bad_checksum, tev.InvalidFormatError, "^APFS error: invalid checksum$"),
        (nxsa, tev.InvalidFormatError, r"^APFS error: invalid magic: 0x4153584E$"),
        (container(volume_oids=(0, 0)), tev.InvalidFormatError, "^APFS error: no volume found in container$"),
        (with_field(36, "<I", 0), tev.InvalidFormatError, "block size 0 is not a power of two from 4096 to 65536"),
        (with_field(36, "<I", 1 << 20), tev.InvalidFormatError, "block size 1048576 is not a power of two"),
        (with_field(104, "<I", 0x80000002), tev.UnsupportedError, "not contiguous"),
        (with_field(104, "<I", 0x7FFFFFFF), None, None),  # a huge count costs only the blocks that exist
        (container(volume_mappings=[(1028, 9, 40)]), tev.InvalidFormatError, "OMAP lookup failed: OID 1028 not found"),
        (image[: 20 * BS], tev.IoError, "failed to fill whole buffer"),
        (b"", tev.IoError, "failed to fill whole buffer"),
    ]
    for i, (data, error, text) in enumerate(cases):
        path = write(tmp_path, data, f"case{i}.img")
        if error is None:
            with tev.ApfsVolume.open(str(path)) as vol:
                assert vol.walk() == []
            continue
        with pytest.raises(error, match=text):
            tev.ApfsVolume.open(str(path))
    # The first non-zero volume id is the one opened.
    with tev.ApfsVolume.open(str(write(tmp_path, container(volume_oids=(0, 1026)), "second.img"))) as vol:
        assert vol.volume_info.name == "Synth"


def test_cyclic_trees_end_in_an_error(tmp_path):
    # An index node whose only child is itself (oid 1028 maps back to block 40).
    loop = node([(fs_key(2, 3), struct.pack("<Q", 1028))], leaf=False, level=1)
    path = write(tmp_path, container(fs_trees={40: loop}))
    with tev.ApfsVolume.open(str(path)) as vol:
        with pytest.raises(tev.InvalidFormatError, match="more than 32 levels|reached twice"):
            vol.walk()
        with pytest.raises(tev.InvalidFormatError, match="more than 32 levels|reached twice"):
            vol.stat("/")


def test_damaged_directory_records_are_reported_not_skipped(tmp_path):
    def tree_with(records):
        records = [(fs_key(2, 3), inode(1, 2, 0o40755, 0))] + records
        return node(sorted(records, key=lambda r: (r[0][7] >> 4, r[0][8:])))

    name_past_key = (fs_key(2, 9, struct.pack("<I", 40) + b"short\0"), struct.pack("<QQH", 16, 0, 8))
    no_inode = drec(2, "orphan", 99, 8)
    for record, message in [(name_past_key, "drec name extends beyond key"), (no_inode, "inode OID 99")]:
        path = write(tmp_path, container(fs_trees={40: tree_with([record])}))
        with tev.ApfsVolume.open(str(path)) as vol:
            for call in (lambda: vol.list_directory("/"), vol.walk):
                with pytest.raises(tev.TevError, match=message):
                    call()


def test_hostile_containers_fail_cleanly(tmp_path):
    src = FIXTURES / "real" / "apfs" / "securityronin_apfs_content.bin"
    carved = src.read_bytes() if src.exists() else bytes(container(
        fs_trees={40: fs_tree({"a": (16, 10, [(0, BS, 50)])})}, data={50: b"x" * 10}))
    run_with_memory_cap(lambda: open_damaged_containers(carved, src.exists(), tmp_path))


def open_damaged_containers(carved, real, tmp_path):
    rng = random.Random(3)
    blocks = len(carved) // BS
    path = tmp_path / "hostile.img"
    for trial in range(300):
        data = bytearray(carved)
        block = rng.choice([0, 0, rng.randrange(blocks), blocks - 1 - rng.randrange(min(blocks, 8))])
        for _ in range(rng.randint(1, 6)):
            data[block * BS + rng.randrange(BS)] = rng.randrange(256)
        if trial % 3 == 0:  # keep the checksum right, so the damage goes deeper than block 0
            data[block * BS:(block + 1) * BS] = seal(bytearray(data[block * BS:(block + 1) * BS]))
        path.write_bytes(bytes(data))
        with open(path, "r+b") as f:
            f.truncate(REAL_SIZE if real else len(data))
        try:
            with tev.ApfsVolume.open(str(path)) as vol:
                for e in vol.walk()[:40]:
                    st = vol.stat(e.path)
                    if e.kind != "directory":
                        try:
                            vol.read_file(e.path)
                        except MemoryError:
                            assert st.size > 1 << 30  # a sparse file may declare that much
        except tev.TevError as e:
            not_out_of_memory(e)


@pytest.mark.skipif(shutil.which("fls") is None, reason="sleuthkit is not installed")
def test_listing_matches_sleuthkit(linux):
    import subprocess
    with tev.ApfsVolume.open(str(linux)) as vol:
        ours = {e.path[1:] for e in vol.walk()}
    # fls needs the volume superblock's block, which its pool tool reports.
    pool = subprocess.run(["pstat", str(linux)], capture_output=True, text=True).stdout
    block = re.search(r"APSB Block Number: (\d+)", pool)
    if block is None:
        pytest.skip("pstat does not report the volume")
    out = subprocess.run(["fls", "-r", "-p", "-f", "apfs", "-B", block.group(1), str(linux)],
                         capture_output=True, text=True, errors="surrogateescape")
    if out.returncode != 0:
        pytest.skip(f"fls cannot read the container: {out.stderr.strip()[:80]}")
    theirs = {line.partition("\t")[2] for line in out.stdout.splitlines() if "\t" in line}
    assert ours == theirs



@pytest.mark.skipif(shutil.which("fsapfsinfo") is None, reason="libfsapfs-utils is not installed")
def test_listing_matches_libfsapfs(linux):
    import subprocess
    out = subprocess.run(["fsapfsinfo", "-H", str(linux)], check=True, capture_output=True, text=True,
                         errors="surrogateescape").stdout
    # Its paths start with the volume's identifier: "/{uuid}/a/b".
    theirs = {"/" + line.split("/", 2)[2] for line in out.splitlines()
              if line.startswith("/{") and line.count("/") >= 2 and line.split("/", 2)[2]}
    with tev.ApfsVolume.open(str(linux)) as vol:
        assert {e.path for e in vol.walk()} == theirs
