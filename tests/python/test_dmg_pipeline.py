"""DmgPipeline and FilesystemHandle: from real hdiutil images, and from images
made here around xorriso volumes, to file systems, trees on disk and packages."""

import hashlib
import json
import os
import re
import shutil
import stat
import threading

import pytest

import tev
from conftest import FIXTURES
from hfs_images import xorriso_volume
from udif_images import SECTOR, image, mish, run

REAL = FIXTURES / "real" / "hfs_dmg"
PKGS = FIXTURES / "real" / "xar_pkg"
GENERATED_PKGS = FIXTURES / "generated" / "xar_pkg"
KINDS = {"dir": "directory", "file": "file", "symlink": "symlink"}
MODES = [None, "temp_file", "in_memory"]


def tree_on_disk(root):
    """relative path -> ("directory",) | ("file", sha256) | ("symlink", target)."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            rel = os.path.relpath(full, root)
            if os.path.islink(full):
                out[rel] = ("symlink", os.readlink(full))
            elif os.path.isdir(full):
                out[rel] = ("directory",)
            else:
                with open(full, "rb") as f:
                    out[rel] = ("file", hashlib.sha256(f.read()).hexdigest())
    return out


# ---------------------------------------------------------------- real images

def real_cases():
    cases = []
    for truth in sorted(REAL.glob("*/*.p*.json")):
        m = re.match(r"(.*)\.p\d+\.(hfs|apfs)\.json$", truth.name)
        if m and truth.with_name(m.group(1) + ".dmg").exists():
            cases.append(pytest.param(truth.with_name(m.group(1) + ".dmg"), truth, m.group(2), id=truth.name))
    return cases


CASES = real_cases()


@pytest.mark.skipif(not CASES, reason="no shared fixtures")
@pytest.mark.parametrize("dmg,truth_path,kind", CASES)
@pytest.mark.parametrize("mode", ["temp_file", "in_memory"])
def test_real_images_agree_with_their_ground_truth(dmg, truth_path, kind, mode, tmp_path):
    truth = json.loads(truth_path.read_text())["entries"]
    visible = {p: w for p, w in truth.items() if not w.get("hidden_metadata")}
    with tev.open(str(dmg)) as pipeline:
        fs = pipeline.filesystem(mode)
    with fs:
        assert fs.fs_type == ("hfsplus" if kind == "hfs" else "apfs")
        walked = {e.path[1:]: e for e in fs.walk()}
        for path, want in truth.items():
            entry = walked[path]
            assert entry.kind == KINDS[want["kind"]], path
            if want["kind"] == "file":
                data = fs.read_file("/" + path)
                assert entry.size == len(data) == want["size"], path
                assert hashlib.sha256(data).hexdigest() == want["sha256"], path
        stats = fs.extract_all(str(tmp_path / "out"))
    on_disk = tree_on_disk(tmp_path / "out")
    expected = {p: (("file", w["sha256"]) if w["kind"] == "file" else ("directory",))
                for p, w in visible.items() if w["kind"] != "symlink"}
    assert on_disk == expected
    symlinks = sum(w["kind"] == "symlink" for w in visible.values())
    assert (stats.files, stats.dirs, stats.symlinks_skipped) == (
        sum(k[0] == "file" for k in expected.values()), sum(k[0] == "directory" for k in expected.values()), symlinks)
    assert stats.bytes == sum(w["size"] for w in visible.values() if w["kind"] == "file")


def real(name):
    path = REAL / name
    if not path.exists():
        pytest.skip("no shared fixtures")
    return str(path)


def test_the_hfs_volume_name_is_its_root_folders():
    # Provenance: the volume of this hdiutil image is "SquidMan 1.5".
    with tev.open(real("dmgwiz/input_non_null_data_offset.dmg")) as p, p.filesystem() as fs:
        assert fs.volume_info.name == "SquidMan 1.5"
        with pytest.raises(tev.IoError, match="^HFS\\+ error: is a directory: /SquidMan.app$"):
            fs.read_file("/SquidMan.app")


def test_partitions_tell_their_file_systems():
    with tev.open(real("shockpkg-archive-files/test-archive-hfsp-j.dmg")) as p:
        found = {part.name: part.filesystem for part in p.partitions}
    assert [fs for name, fs in found.items() if "Apple_HFS" in name] == ["hfsplus"]
    assert {fs for name, fs in found.items() if "Apple_HFS" not in name} == {None}
    with tev.DmgArchive.open(real("shockpkg-archive-files/test-archive-apfs.dmg")) as a:
        assert "apfs" in [part.filesystem for part in a.partitions]


def test_symlinks_modes_and_times_carry_over_when_asked(tmp_path):
    truth = json.loads((REAL / "shockpkg-archive-files/test-archive-hfsp-j.p4.hfs.json").read_text())["entries"]
    with tev.open(real("shockpkg-archive-files/test-archive-hfsp-j.dmg")) as p, p.filesystem() as fs:
        stats = fs.extract_all(str(tmp_path / "out"), modes=True, times=True, symlinks="create")
        mtime = fs.stat("/dir/lorem.bin").modify_time - 2082844800
    assert stats.symlinks_skipped == 0
    on_disk = tree_on_disk(tmp_path / "out")
    for path, want in truth.items():
        if want.get("hidden_metadata"):
            assert path not in on_disk
        elif want["kind"] == "symlink":
            assert on_disk[path] == ("symlink", want["target"])
        elif "mode" in want:
            assert stat.S_IMODE(os.lstat(tmp_path / "out" / path).st_mode) == int(want["mode"], 8) & 0o777, path
    assert os.stat(tmp_path / "out/dir/lorem.bin").st_mtime == mtime
    assert os.stat(tmp_path / "out/dir").st_mtime > 0


def test_links_created_inside_dest_are_never_written_through(tmp_path):
    # dir-ln points at dir; a later write below dest must not follow it out.
    outside = tmp_path / "outside"
    outside.mkdir()
    with tev.open(real("shockpkg-archive-files/test-archive-hfsp.dmg")) as p, p.filesystem() as fs:
        dest = tmp_path / "out"
        dest.mkdir()
        os.symlink(outside, dest / "dir")
        with pytest.raises(tev.IoError, match="symbolic link"):
            fs.extract_all(str(dest), symlinks="create")
    assert list(outside.iterdir()) == []


def test_empty_apfs_volume_extracts_to_an_empty_dest(tmp_path):
    with tev.open(real("dmgwiz/input_zlib.dmg")) as p, p.filesystem() as fs:
        assert fs.walk() == []
        stats = fs.extract_all(str(tmp_path / "out"))
        with pytest.raises(tev.FileNotFoundError, match="^no entries found under: /x$"):
            fs.extract_path("/x", str(tmp_path / "other"))
    assert (stats.files, stats.dirs, stats.symlinks_skipped, stats.bytes) == (0, 0, 0, 0)
    assert list((tmp_path / "out").iterdir()) == []
    assert not (tmp_path / "other").exists()


@pytest.mark.parametrize("name,error,message", [
    ("dmgwiz/input_aes256.dmg", tev.UnsupportedError, "^DMG error: unsupported: encrypted disk image"),
    ("node-udif/compression-zlib.dmg", tev.FileNotFoundError,
     r'^no filesystem partition found in DMG \(partitions: .*" \(Windows_FAT_16 : 2\)"'),
])
def test_images_the_pipeline_cannot_open_say_why(name, error, message):
    with pytest.raises(error, match=message):
        with tev.open(real(name)) as p:
            p.filesystem()


def test_pipeline_and_handle_lifecycle():
    p = tev.DmgPipeline(real("shockpkg-archive-files/test-archive-hfsp.dmg"))
    fs = p.filesystem("in_memory")
    with pytest.raises(ValueError, match=r"^invalid mode \"in-memory\": expected 'temp_file' or 'in_memory'$"):
        p.filesystem("in-memory")
    assert p.__exit__(None, None, None) is False
    assert repr(p) == "DmgPipeline(closed)"
    with pytest.raises(RuntimeError, match="^DmgPipeline is closed$"):
        p.filesystem()
    assert repr(fs) == "FilesystemHandle(HfsPlus, open)"
    assert fs.read_file("/file-norsrc.bin") == fs.read_file("/FILE-NORSRC.BIN")  # outlives the pipeline
    assert fs.volume_info.fs_type == "hfsplus"
    fs.__exit__(None, None, None)
    assert fs.__exit__(None, None, None) is False
    assert repr(fs) == "FilesystemHandle(closed)"
    with pytest.raises(RuntimeError, match="^FilesystemHandle is closed$"):
        fs.stat("/")


def test_choose_a_partition_by_id():
    with tev.open(real("shockpkg-archive-files/test-archive-hfsp.dmg")) as p:
        hfs = next(part for part in p.partitions if part.filesystem == "hfsplus")
        other = next(part for part in p.partitions if part.filesystem is None)
        with p.filesystem(partition=hfs.id) as fs:
            assert fs.exists("/lorem.bin")
        with pytest.raises(tev.FileNotFoundError, match=r"^no filesystem partition found in DMG \(partition "):
            p.filesystem(partition=other.id)
        with pytest.raises(tev.FileNotFoundError, match="^DMG error: file not found: partition 999$"):
            p.filesystem(partition=999)


def test_progress_is_reported_and_its_exception_stops_the_call(tmp_path):
    seen = []
    with tev.open(real("shockpkg-archive-files/test-archive-hfsp.dmg")) as p:
        with p.filesystem(progress=lambda done, total: seen.append((done, total))) as fs:
            assert seen and seen[-1][0] == seen[-1][1] > 0
            seen.clear()
            fs.extract_all(str(tmp_path / "a"), progress=lambda done, total: seen.append((done, total)))
            assert seen[-1] == (358636, 358636)

            def stop(done, total):
                raise KeyboardInterrupt

            with pytest.raises(KeyboardInterrupt):
                fs.extract_all(str(tmp_path / "b"), progress=stop)
            assert fs.exists("/dir")  # the handle stays usable
        with pytest.raises(KeyboardInterrupt):
            p.filesystem(progress=stop)
        with pytest.raises(TypeError, match="callable"):
            p.filesystem(progress=3)


# ---------------------------------------------------------------- extract_path, exists

@pytest.fixture(scope="module")
def volume_dmg(tmp_path_factory):
    """An HFS+ volume by xorriso, in a zlib DMG."""
    base = tmp_path_factory.mktemp("volume")
    tree = base / "tree"
    (tree / "Applications" / "X.app" / "Contents").mkdir(parents=True)
    (tree / "Applications" / "X.app" / "Contents" / "Info.plist").write_bytes(b"<plist/>\n")
    (tree / "Applications" / "readme.txt").write_bytes(b"hello\n")
    (tree / "Apps").mkdir()
    os.symlink("Applications/readme.txt", tree / "link")
    image_path = xorriso_volume(tree, base / "volume.img")
    builder = tev.DmgBuilder()
    builder.add_partition("disk image (Apple_HFS : 1)", image_path.read_bytes())
    builder.build(str(base / "volume.dmg"))
    return str(base / "volume.dmg")


@pytest.mark.parametrize("base,written,counts", [
    ("/Applications", {"X.app": ("directory",), "X.app/Contents": ("directory",),
                       "X.app/Contents/Info.plist": ("file", hashlib.sha256(b"<plist/>\n").hexdigest()),
                       "readme.txt": ("file", hashlib.sha256(b"hello\n").hexdigest())}, (2, 3, 0)),
    ("applications/x.APP///", {"Contents": ("directory",),
                               "Contents/Info.plist": ("file", hashlib.sha256(b"<plist/>\n").hexdigest())}, (1, 2, 0)),
    ("/Applications/readme.txt", {"readme.txt": ("file", hashlib.sha256(b"hello\n").hexdigest())}, (1, 0, 0)),
    ("/link", {}, (0, 0, 1)),
    ("/Apps", {}, (0, 1, 0)),
])
def test_extract_path_writes_what_lies_under_the_base(volume_dmg, tmp_path, base, written, counts):
    with tev.open(volume_dmg) as p, p.filesystem() as fs:
        stats = fs.extract_path(base, str(tmp_path / "out"))
    assert tree_on_disk(tmp_path / "out") == written
    assert (stats.files, stats.dirs, stats.symlinks_skipped) == counts


def test_extract_path_and_exists_on_missing_paths(volume_dmg, tmp_path):
    with tev.open(volume_dmg) as p, p.filesystem() as fs:
        for base in ["/App", "/Applications/readme.txt/x", "/nothing"]:
            with pytest.raises(tev.FileNotFoundError, match=f"^no entries found under: {re.escape(base)}$"):
                fs.extract_path(base, str(tmp_path / "out"))
        assert not (tmp_path / "out").exists()
        assert fs.exists("/APPLICATIONS/README.TXT")
        for path in ["/Applications/readme.txt/x", "/link/x", "/App"]:
            assert fs.exists(path) is False, path


def test_dest_that_is_a_file_is_an_io_error(volume_dmg, tmp_path):
    (tmp_path / "file").write_bytes(b"")
    with tev.open(volume_dmg) as p, p.filesystem() as fs:
        with pytest.raises(tev.IoError, match="^I/O error: "):
            fs.extract_all(str(tmp_path / "file"))


def test_handle_is_held_exclusively_while_it_extracts(volume_dmg, tmp_path):
    with tev.open(volume_dmg) as p, p.filesystem() as fs:
        started, release = threading.Event(), threading.Event()
        errors = []

        def slow(done, total):
            started.set()
            release.wait(10)

        t = threading.Thread(target=lambda: fs.extract_all(str(tmp_path / "out"), progress=slow))
        t.start()
        started.wait(10)
        try:
            fs.walk()
        except RuntimeError as e:
            errors.append(str(e))
        release.set()
        t.join()
    assert errors == ["Already borrowed"]


# ---------------------------------------------------------------- hostile images

def zero_fill_dmg(path, sectors, name="disk image (Apple_HFS : 1)"):
    table = mish(sectors, [run(0, 0, sectors), run(0xFFFFFFFF, sectors, 0)])
    path.write_bytes(image(b"", [(name, "1", table)]))
    return str(path)


def test_a_partition_larger_than_the_temporary_directory_is_refused(tmp_path):
    dmg = zero_fill_dmg(tmp_path / "huge.dmg", (3 << 40) // SECTOR)
    with tev.open(dmg) as p:
        with pytest.raises(tev.IoError, match=r"^I/O error: no room for the partition in the temporary directory: "
                                              r"it needs 3298534883328 bytes, \d+ are free"):
            p.filesystem()


def test_damaged_partitions_give_the_readers_errors(tmp_path):
    with tev.open(zero_fill_dmg(tmp_path / "zero.dmg", 64)) as p:
        for mode in MODES:
            with pytest.raises(tev.InvalidFormatError, match=r"^HFS\+ error: invalid HFS\+ signature"):
                p.filesystem(mode)
    with pytest.raises(tev.TevError, match="^DMG error: "):
        (tmp_path / "short.dmg").write_bytes(b"koly" * 10)
        tev.open(str(tmp_path / "short.dmg"))


# ---------------------------------------------------------------- packages

def package(root, name):
    path = root / name
    if not path.exists():
        pytest.skip("no shared fixtures")
    return path


@pytest.fixture(scope="module")
def packages_dmg(tmp_path_factory):
    """Packages in every place and spelling an image may hold them."""
    base = tmp_path_factory.mktemp("packages")
    tree = base / "tree"
    (tree / "Packages").mkdir(parents=True)
    (tree / "Bundle.pkg" / "Contents").mkdir(parents=True)
    gzip_pkg = package(PKGS, "munki_munkitools-2.8.1.2847.pkg")
    pbzx_pkg = package(GENERATED_PKGS, "xar161_component_pbzx.pkg")
    shutil.copy(gzip_pkg, tree / "Install.pkg")
    shutil.copy(pbzx_pkg, tree / "Packages" / "Component.pkg")
    shutil.copy(pbzx_pkg, tree / "UPPER.PKG")
    shutil.copy(gzip_pkg, tree / "Meta.mpkg")
    shutil.copy(pbzx_pkg, tree / "Bundle.pkg" / "Contents" / "Archive.pkg")
    (tree / "notes.txt").write_bytes(b"not a package, longer than four bytes\n")
    os.symlink("Install.pkg", tree / "Link.pkg")
    volume = xorriso_volume(tree, base / "volume.img")
    builder = tev.DmgBuilder()
    builder.add_partition("disk image (Apple_HFS : 1)", volume.read_bytes())
    builder.build(str(base / "packages.dmg"))
    return str(base / "packages.dmg"), gzip_pkg, pbzx_pkg


def test_find_packages_lists_package_files_in_walk_order(packages_dmg):
    dmg, _, _ = packages_dmg
    with tev.open(dmg) as p, p.filesystem() as fs:
        walk_order = [e.path for e in fs.walk()]
    found = tev.find_packages(dmg)
    assert sorted(found) == ["/Bundle.pkg/Contents/Archive.pkg", "/Install.pkg", "/Meta.mpkg",
                             "/Packages/Component.pkg", "/UPPER.PKG"]
    assert found == [path for path in walk_order if path in found]


def test_open_pkg_reads_the_same_package_from_either_store(packages_dmg):
    dmg, gzip_pkg, _ = packages_dmg
    with tev.PkgReader.open(str(gzip_pkg)) as direct:
        want = (direct.components, direct.list_files())
        component = direct.components[0]
        want_payload = [e.path for e in direct.payload(component).list()]
    with tev.open(dmg) as p, p.filesystem() as fs:
        readers = [fs.open_pkg("/Install.pkg"), fs.open_pkg("/install.PKG", streaming=True)]
        with pytest.raises(tev.InvalidFormatError, match=r"^XAR error: invalid XAR magic: 0x6E6F7420 \(expected 0x78617221\)$"):
            fs.open_pkg("/notes.txt")
        with pytest.raises(tev.FileNotFoundError, match=r"^HFS\+ error: "):
            fs.open_pkg("/missing.pkg")
    for reader in readers:  # outlive the handle and the pipeline
        with reader:
            assert (reader.components, reader.list_files()) == want
            assert [e.path for e in reader.payload(component).list()] == want_payload


@pytest.mark.parametrize("pkg_path", ["/Install.pkg", "/Packages/Component.pkg"])
def test_extract_pkg_payload_reads_gzip_and_pbzx_payloads(packages_dmg, pkg_path, tmp_path):
    dmg, gzip_pkg, pbzx_pkg = packages_dmg
    host = gzip_pkg if pkg_path == "/Install.pkg" else pbzx_pkg
    with tev.PkgReader.open(str(host)) as direct:
        component = direct.components[0] if direct.is_product_package else ""
        want = [(e.path, e.size) for e in direct.payload(component).list()]
    archive = tev.extract_pkg_payload(dmg, pkg_path, component)
    assert want and [(e.path, e.size) for e in archive.list()] == want
    with pytest.raises(tev.FileNotFoundError, match=r"^XAR error: file not found: missing\.pkg/Payload$"):
        tev.extract_pkg_payload(dmg, pkg_path, "missing.pkg")
