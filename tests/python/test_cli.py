"""The `tev` command, run as a program, against files made by macOS, hdiutil, pkgbuild-like tools, GNU
cpio and xorriso, and read back by 7-Zip, dmg2img, bsdtar, GNU cpio and xz where tev writes."""

import hashlib
import json
import os
import pathlib
import shutil
import signal
import struct
import subprocess
import sys
import time

import pytest

import _tev
from conftest import FIXTURES
from hfs_images import xorriso_volume
from payloads import gnu_cpio

REAL = FIXTURES / "real"
GENERATED = FIXTURES / "generated"
HFSP_DMG = REAL / "hfs_dmg" / "shockpkg-archive-files" / "test-archive-hfsp.dmg"
APFS_DMG = REAL / "hfs_dmg" / "shockpkg-archive-files" / "test-archive-apfs.dmg"
ENCRYPTED_DMG = REAL / "hfs_dmg" / "dmgwiz" / "input_aes256.dmg"
HFS_RAW = REAL / "hfs_dmg" / "dfvfs" / "hfsplus.raw"
APFS_CARVED = REAL / "apfs" / "securityronin_apfs_content.bin"
APFS_SIZE = 134_176_768  # the carved container's full size: the rest reads as zeros
GZIP_PKG = REAL / "xar_pkg" / "rtrouton_fix_yosemite_vm_graphic_performance.pkg"
PRODUCT_PKG = REAL / "xar_pkg" / "munki_munkitools-2.8.1.2847.pkg"
SCRIPTS_ONLY_PKG = REAL / "xar_pkg" / "rtrouton_unhide_users_folder_scripts_only.pkg"
PBZX_PKG = GENERATED / "xar_pkg" / "xar161_component_pbzx.pkg"
XAR_TREE = GENERATED / "xar_pkg" / "xar161_tree_gzip.xar"
KINDS = {"dir": "directory", "file": "file", "symlink": "symlink"}
# APFS's own compression (decmpfs) is not decoded yet: such a file reads as stored, empty.
APFS_NOT_DECODED = {"compressed.txt"}

needs_fixtures = pytest.mark.skipif(not FIXTURES.exists(), reason="no shared fixtures")


def tev_command():
    script = pathlib.Path(sys.executable).with_name("tev")
    return [str(script)] if script.exists() else [sys.executable, "-m", "tev"]


def tev(*args, ok=True, cwd=None):
    r = subprocess.run(tev_command() + [str(a) for a in args], capture_output=True, cwd=cwd)
    if ok:
        assert r.returncode == 0, r.stderr.decode()
        assert r.stderr == b"", "nothing on stderr when it is not a terminal"
    return r


def json_lines(r):
    return [json.loads(line) for line in r.stdout.decode().splitlines()]


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def tree_of(root: pathlib.Path):
    """relative path -> ("file", sha256) | ("directory",) | ("symlink", target)."""
    out = {}
    for p in sorted(root.rglob("*")):
        rel = p.relative_to(root).as_posix()
        if p.is_symlink():
            out[rel] = ("symlink", os.readlink(p))
        elif p.is_dir():
            out[rel] = ("directory",)
        else:
            out[rel] = ("file", sha256(p.read_bytes()))
    return out


def one_error_line(r, status=1):
    assert r.returncode == status, (r.returncode, r.stderr)
    lines = r.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("tev: "), r.stderr
    assert r.stdout == b""
    return lines[0]


@pytest.fixture
def apfs_image(tmp_path):
    if not APFS_CARVED.exists():
        pytest.skip("no shared fixtures")
    out = tmp_path / "apfs.img"
    shutil.copyfile(APFS_CARVED, out)
    os.truncate(out, APFS_SIZE)
    return out


@pytest.fixture(scope="module")
def source_tree(tmp_path_factory):
    """A small tree with a nested folder, an empty file, binary data, a symbolic link and odd names."""
    root = tmp_path_factory.mktemp("tree") / "root"
    (root / "dir" / "sub").mkdir(parents=True)
    (root / "dir" / "sub" / "deep.bin").write_bytes(bytes(range(256)) * 33)
    (root / "dir" / "empty").write_bytes(b"")
    (root / "top.txt").write_bytes(b"top level\n")
    (root / "name with spaces.txt").write_bytes(b"spaces\n")
    os.symlink("dir/sub/deep.bin", root / "link")
    os.chmod(root / "top.txt", 0o600)
    return root


@pytest.fixture(scope="module")
def cpio_files(source_tree, tmp_path_factory):
    """The tree as GNU cpio writes it in each format, and gzip-compressed."""
    if shutil.which("cpio") is None:
        pytest.skip("GNU cpio is not installed")
    out = tmp_path_factory.mktemp("cpio")
    files = {}
    for fmt in ("newc", "crc", "odc", "bin"):
        files[fmt] = out / f"tree.{fmt}.cpio"
        files[fmt].write_bytes(gnu_cpio(source_tree, fmt))
    files["gzip"] = out / "tree.cpio.gz"
    files["gzip"].write_bytes(subprocess.run(["gzip", "-9c"], input=files["odc"].read_bytes(), check=True,
                                             capture_output=True).stdout)
    return files


# --- telling inputs apart ---------------------------------------------------------------------------


@needs_fixtures
@pytest.mark.parametrize("path, kind", [
    (HFSP_DMG, "dmg"), (HFS_RAW, "hfsplus"), (GZIP_PKG, "pkg"), (PRODUCT_PKG, "pkg"), (XAR_TREE, "xar"),
])
def test_info_tells_the_kind_by_content(path, kind, tmp_path):
    # A misleading name changes nothing.
    renamed = tmp_path / "input.txt"
    os.symlink(path, renamed)
    (facts,) = json_lines(tev("info", "--json", renamed))
    assert facts["kind"] == kind and facts["file"] == str(renamed)


def test_info_on_every_cpio_format(cpio_files):
    r = tev("info", "--json", *cpio_files.values())
    kinds = [f["kind"] for f in json_lines(r)]
    assert kinds == ["cpio", "cpio", "cpio", "cpio", "cpio+gzip"]
    assert all(f["files"] == 4 for f in json_lines(r))


def test_info_on_a_raw_apfs_container(apfs_image):
    (facts,) = json_lines(tev("info", "--json", apfs_image))
    truth = json.loads(APFS_CARVED.with_suffix(".json").read_text())
    assert facts["kind"] == "apfs"
    assert facts["volume"]["name"] == "APFSP4"
    assert facts["volume"]["files"] == sum(1 for e in truth.values() if e["kind"] == "file")


@needs_fixtures
def test_info_of_a_real_dmg_matches_its_trailer_and_partition_table():
    truth = json.loads(HFSP_DMG.with_suffix(".json").read_text())
    (facts,) = json_lines(tev("info", "--json", HFSP_DMG))
    assert facts["version"] == truth["koly"]["version"]
    assert facts["sectors"] == truth["koly"]["sector_count"]
    assert facts["data_fork_length"] == truth["koly"]["data_fork_length"]
    assert [(p["id"], p["name"], p["sectors"]) for p in facts["partitions"]] == [
        (int(p["ID"]), p["Name"], p["sector_count"]) for p in truth["partitions"]]
    zlib_runs = sum(p["chunk_types"].get("zlib", 0) for p in truth["partitions"])
    assert facts["compression"]["zlib"] == zlib_runs


@needs_fixtures
def test_info_human_form_names_partitions_and_components():
    text = tev("info", HFSP_DMG, PRODUCT_PKG).stdout.decode()
    assert "UDIF disk image, version 4" in text and "disk image (Apple_HFS : 4)" in text
    assert "product package \"Munki - Managed software installation for OS X\"" in text
    assert "com.googlecode.munki.core 2.8.1.2847" in text


# --- listings and bytes against ground truth ----------------------------------------------------------


def check_listing(entries, truth, compare_modes=True):
    """tev's JSON lines against a fixture's {path: facts} ground truth."""
    listed = {e["path"]: e for e in entries}
    assert set(listed) == {p for p in truth if p}
    for path, facts in truth.items():
        if not path:
            continue
        e = listed[path]
        assert e["kind"] == KINDS[facts["kind"]], path
        assert e["name"] == path.rsplit("/", 1)[-1]
        if facts["kind"] == "file":
            assert e["size"] == facts["size"], path
        if facts["kind"] == "symlink":
            assert e["target"] == facts.get("target", facts.get("symlink_target")), path
        if compare_modes and "mode" in facts:
            assert e["mode"] & 0o7777 == int(facts["mode"], 8), path


def test_raw_apfs_listing_and_bytes(apfs_image, tmp_path):
    truth = json.loads(APFS_CARVED.with_suffix(".json").read_text())
    entries = json_lines(tev("ls", "-R", "--json", apfs_image))
    check_listing(entries, truth)
    for e in entries:
        facts = truth[e["path"]]
        assert (e["mtime"], e["uid"]) == (facts.get("mtime", e["mtime"]), facts.get("uid", e["uid"])), e["path"]
    for path, facts in truth.items():
        if facts["kind"] == "file" and path not in APFS_NOT_DECODED:
            assert sha256(tev("cat", apfs_image, "/" + path).stdout) == facts["sha256"], path

    dest = tmp_path / "out"
    r = tev("extract", apfs_image, "-C", dest, "--symlinks", "--keep-modes", "--keep-times")
    got = tree_of(dest)
    for path, facts in truth.items():
        if path and path not in APFS_NOT_DECODED:
            want = {"dir": ("directory",), "file": ("file", facts["sha256"]),
                    "symlink": ("symlink", facts["symlink_target"])}[facts["kind"]]
            assert got[path] == want, path
            st = os.lstat(dest / path)
            if facts["kind"] != "symlink":
                assert st.st_mode & 0o7777 == int(facts["mode"], 8) and int(st.st_mtime) == facts["mtime"], path
    assert r.stdout.decode().startswith("extracted 7 files, 2 directories, 1 symbolic link,")


@needs_fixtures
def test_raw_hfs_listing_one_level_and_recursive():
    truth = json.loads(HFS_RAW.with_name(HFS_RAW.name + ".json").read_text())["entries"]
    entries = json_lines(tev("ls", "-R", "--json", HFS_RAW))
    visible = {e["path"]: e for e in entries if "\0" not in e["path"]}  # HFS+'s hard-link folder
    check_listing(visible.values(), truth)
    top = tev("ls", HFS_RAW).stdout.decode().splitlines()
    assert "a_directory" in top and "a_directory/a_file" not in top
    # One level below a folder, addressed with or without the leading "/".
    for path in ("a_directory", "/a_directory", "./a_directory/"):
        assert tev("ls", HFS_RAW, path).stdout.decode().split() == ["a_file", "a_resourcefork", "another_file"]
    long = tev("ls", "-l", HFS_RAW, "a_link").stdout.decode()
    assert long.startswith("l") and long.rstrip().endswith("a_link -> a_directory/another_file")


@needs_fixtures
def test_named_subtrees_keep_their_paths(tmp_path):
    truth = json.loads(HFS_RAW.with_name(HFS_RAW.name + ".json").read_text())["entries"]
    dest = tmp_path / "out"
    r = tev("extract", HFS_RAW, "/a_directory", "passwords.txt", "-C", dest)
    assert tree_of(dest) == {
        "a_directory": ("directory",),
        **{p: ("file", truth[p]["sha256"]) for p in
           ("a_directory/a_file", "a_directory/a_resourcefork", "a_directory/another_file", "passwords.txt")}}
    assert r.stdout.decode() == "extracted 4 files, 1 directory, 191 bytes, 0 skipped\n"


def payload_truth(pkg_json, component=0):
    comp = json.loads(pkg_json.read_text())["pkg"]["components"][component]
    return {e["name"].removeprefix("./"): e for e in comp["Payload"]["entries"] if e["name"] != "."}


@needs_fixtures
@pytest.mark.parametrize("pkg", [GZIP_PKG, PBZX_PKG], ids=["gzip-payload", "pbzx-payload"])
def test_package_payload_listing_and_extraction(pkg, tmp_path):
    truth = payload_truth(pkg.with_suffix(".json"))
    entries = json_lines(tev("ls", "-R", "--json", pkg, "--payload"))
    assert {e["path"] for e in entries} == set(truth)
    for e in entries:
        t = truth[e["path"]]
        assert (e["kind"], e["mode"], e["size"]) == (KINDS[t["kind"]], int(t["mode"], 8), t["size"]), e["path"]

    dest = tmp_path / "root"
    tev("extract", pkg, "--payload", "-C", dest)
    got = tree_of(dest)
    for path, t in truth.items():
        if t["kind"] == "file":
            assert got[path] == ("file", t["sha256"]), path


@needs_fixtures
def test_a_component_is_named_by_folder_or_identifier():
    by_folder = tev("ls", "-R", PRODUCT_PKG, "--payload", "munkitools_core-2.8.1.2847.pkg").stdout
    by_identifier = tev("ls", "-R", PRODUCT_PKG, "--payload", "com.googlecode.munki.core").stdout
    assert by_folder == by_identifier and b"usr/local/munki/munkilib/" in by_folder
    # Options and positional arguments mix, as in bsdtar and 7z.
    below = tev("ls", PRODUCT_PKG, "--payload", "com.googlecode.munki.core", "usr/local/munki", "-R").stdout
    assert below.splitlines() == [line for line in by_folder.splitlines() if line.startswith(b"usr/local/munki/")]
    r = tev("ls", PRODUCT_PKG, "--payload", ok=False)
    assert "several components" in one_error_line(r, status=2)


@needs_fixtures
def test_package_members_and_expand(tmp_path):
    members = tev("ls", "-R", PRODUCT_PKG).stdout.decode().splitlines()
    assert "Distribution" in members and "munkitools_app-4.2.2759.pkg/Scripts" in members
    assert tev("cat", PRODUCT_PKG, "Distribution").stdout.startswith(b"<?xml")

    raw, expanded = tmp_path / "raw", tmp_path / "expanded"
    tev("extract", PRODUCT_PKG, "-C", raw)
    tev("extract", PRODUCT_PKG, "--expand", "-C", expanded)
    assert (raw / "munkitools_app-4.2.2759.pkg" / "Scripts").is_file()
    # pkgutil --expand writes each Scripts archive as a folder and leaves the Payload as stored.
    assert (expanded / "munkitools_app-4.2.2759.pkg" / "Scripts" / "preinstall").is_file()
    for rel in ("Distribution", "munkitools_app-4.2.2759.pkg/Payload", "munkitools_core-2.8.1.2847.pkg/Bom"):
        assert (raw / rel).read_bytes() == (expanded / rel).read_bytes()


@needs_fixtures
def test_pkg_fields_match_the_package():
    truth = json.loads(PRODUCT_PKG.with_suffix(".json").read_text())["pkg"]
    (d,) = json_lines(tev("pkg", "--json", PRODUCT_PKG))
    assert d["product"] is True and d["signed"] is False
    assert sorted((r["id"], "#" + r["component"]) for r in d["pkg_refs"]) == sorted(
        (r["id"], r["text"]) for r in truth["distribution_pkg_refs"])
    app = next(c for c in d["components"] if c["name"] == "munkitools_app-4.2.2759.pkg")
    assert app["identifier"] == "com.googlecode.munki.app" and app["version"] == "4.2.2759"
    assert app["scripts"] == {"preinstall": "./preinstall"} and app["scripts_files"] == ["preinstall"]
    assert len(app["payload"]) == app["payload_files"] - 1  # PackageInfo counts the top "." too
    # A package of scripts alone has no payload to list, and says so without failing.
    (d,) = json_lines(tev("pkg", "--json", SCRIPTS_ONLY_PKG))
    assert d["components"][0]["payload"] == [] and "postinstall" in d["components"][0]["scripts_files"]


@needs_fixtures
def test_a_standalone_pbzx_stream(tmp_path):
    if shutil.which("bsdtar") is None:
        pytest.skip("bsdtar is not installed")
    subprocess.run(["bsdtar", "-xf", str(PBZX_PKG), "-C", str(tmp_path), "Payload"], check=True)
    stream = tmp_path / "Payload"
    truth = payload_truth(PBZX_PKG.with_suffix(".json"))
    (facts,) = json_lines(tev("info", "--json", stream))
    assert facts["kind"] == "pbzx" and facts["entries"] == len(truth) + 1
    assert {e["path"] for e in json_lines(tev("ls", "-R", "--json", stream))} == set(truth)
    path, t = next((p, t) for p, t in truth.items() if t["kind"] == "file" and t["size"])
    assert sha256(tev("cat", stream, path).stdout) == t["sha256"]


@pytest.mark.parametrize("fmt", ["newc", "crc", "odc", "bin", "gzip"])
def test_cpio_of_gnu_cpio(fmt, cpio_files, source_tree, tmp_path):
    archive = cpio_files[fmt]
    listed = {e["path"]: e for e in json_lines(tev("ls", "-R", "--json", archive))}
    assert set(listed) == {p.relative_to(source_tree).as_posix() for p in source_tree.rglob("*")}
    assert listed["link"]["target"] == "dir/sub/deep.bin" and listed["top.txt"]["mode"] & 0o777 == 0o600
    assert tev("cat", archive, "./dir/sub/deep.bin").stdout == (source_tree / "dir/sub/deep.bin").read_bytes()

    dest = tmp_path / "out"
    r = tev("extract", archive, "-C", dest, "--symlinks", "--keep-modes")
    assert tree_of(dest) == tree_of(source_tree)
    assert os.stat(dest / "top.txt").st_mode & 0o777 == 0o600
    assert r.stdout.decode() == "extracted 4 files, 2 directories, 1 symbolic link, 8465 bytes, 0 skipped\n"
    # Without --symlinks the link is left out and counted.
    plain = tmp_path / "plain"
    r = tev("extract", archive, "-C", plain)
    assert not (plain / "link").exists() and r.stdout.decode().endswith(", 1 skipped\n")


# --- DMGs: the file system inside, and packages inside images ------------------------------------------


@needs_fixtures
@pytest.mark.parametrize("dmg, fs", [(HFSP_DMG, "hfs"), (APFS_DMG, "apfs")])
def test_real_dmg_listing_and_extraction(dmg, fs, tmp_path):
    truth = json.loads(dmg.with_name(f"{dmg.stem}.p4.{fs}.json").read_text())["entries"]
    truth = {p: f for p, f in truth.items() if not f.get("hidden_metadata")}
    entries = [e for e in json_lines(tev("ls", "-R", "--json", dmg)) if e["path"] in truth or "\0" not in e["path"]]
    check_listing([e for e in entries if e["path"] in truth], truth, compare_modes=False)
    dest = tmp_path / "out"
    tev("extract", dmg, "-C", dest, "--symlinks")
    got = tree_of(dest)
    for path, facts in truth.items():
        if facts["kind"] == "file":
            assert got[path] == ("file", facts["sha256"]), path
        elif facts["kind"] == "symlink":
            assert got[path] == ("symlink", facts["target"]), path


@needs_fixtures
def test_partition_choice(tmp_path):
    (facts,) = json_lines(tev("info", "--json", HFSP_DMG))
    hfs = next(p for p in facts["partitions"] if p["filesystem"] in ("hfsplus", "hfsx"))
    assert tev("ls", "--partition", hfs["id"], HFSP_DMG).stdout == tev("ls", HFSP_DMG).stdout
    r = tev("ls", "--partition", facts["partitions"][0]["id"], HFSP_DMG, ok=False)
    one_error_line(r)


@pytest.fixture(scope="module")
def volume_with_package(tmp_path_factory):
    """An HFS+ volume made by xorriso holding a real package in a folder."""
    if not GZIP_PKG.exists():
        pytest.skip("no shared fixtures")
    base = tmp_path_factory.mktemp("vol")
    tree = base / "tree"
    (tree / "Packages").mkdir(parents=True)
    shutil.copyfile(GZIP_PKG, tree / "Packages" / "Fix.pkg")
    (tree / "readme.txt").write_bytes(b"not a package\n")
    return xorriso_volume(tree, base / "volume.img")


def test_a_package_inside_a_volume(volume_with_package, tmp_path):
    assert tev("pkgs", volume_with_package).stdout.decode() == "/Packages/Fix.pkg\n"
    inner = f"{volume_with_package}//Packages/Fix.pkg"
    assert tev("ls", "-R", inner).stdout == tev("ls", "-R", GZIP_PKG).stdout
    truth = payload_truth(GZIP_PKG.with_suffix(".json"))
    dest = tmp_path / "root"
    tev("extract", inner, "--payload", "-C", dest)
    assert all(tree_of(dest)[p] == ("file", t["sha256"]) for p, t in truth.items() if t["kind"] == "file")
    r = tev("pkg", f"{volume_with_package}//readme.txt", ok=False)
    assert "readme.txt: not a DMG" in one_error_line(r)


def test_a_package_inside_a_dmg(volume_with_package, tmp_path):
    dmg = tmp_path / "image.dmg"
    tev("dmg", "create", dmg, "--from", volume_with_package)
    assert json_lines(tev("pkgs", "--json", dmg)) == [{"file": str(dmg), "path": "/Packages/Fix.pkg"}]
    (d,) = json_lines(tev("pkg", "--json", f"{dmg}//Packages/Fix.pkg"))
    assert d["components"][0]["identifier"] == "com.company.pkg.FixYosemiteVMGraphicPerformance"


# --- writers, checked by peers -----------------------------------------------------------------------


@pytest.mark.parametrize("compression", ["zlib", "bzip2", "lzfse", "raw"])
def test_dmg_create_is_read_by_7zip_and_dmg2img(compression, volume_with_package, tmp_path):
    dmg = tmp_path / "out.dmg"
    tev("dmg", "create", dmg, "--from", volume_with_package, "--compression", compression, "--level", "5")
    listing = subprocess.run(["7z", "l", str(dmg)], capture_output=True, text=True)
    assert listing.returncode == 0 and "disk image (Apple_HFS : 0)" in listing.stdout
    if shutil.which("dmg2img") and compression != "lzfse":  # dmg2img has no LZFSE
        raw = tmp_path / "out.img"
        subprocess.run(["dmg2img", "-i", str(dmg), "-o", str(raw)], check=True, capture_output=True)
        volume = volume_with_package.read_bytes()
        assert raw.read_bytes()[: len(volume)] == volume


def test_cpio_create_is_read_by_gnu_cpio(source_tree, tmp_path):
    if shutil.which("cpio") is None:
        pytest.skip("GNU cpio is not installed")
    archive = tmp_path / "tree.cpio"
    tev("cpio", "create", archive, source_tree)
    out = tmp_path / "out"
    out.mkdir()
    subprocess.run(["cpio", "-idm", "--quiet", "-F", str(archive)], cwd=out, check=True)
    assert tree_of(out) == tree_of(source_tree)
    assert os.stat(out / "top.txt").st_mode & 0o777 == 0o600


def pbzx_chunks_by_xz(data):
    """A PBZX stream decoded here by the xz tool, chunk by chunk: magic, chunk size, then per chunk a
    flags word and a length, then that many bytes of xz (or the bytes themselves when stored)."""
    assert data[:4] == b"pbzx"
    pos, out = 12, b""
    while pos < len(data):
        _flags, length = struct.unpack(">QQ", data[pos:pos + 16])
        chunk = data[pos + 16:pos + 16 + length]
        out += subprocess.run(["xz", "-dc"], input=chunk, capture_output=True, check=True).stdout \
            if chunk[:6] == b"\xfd7zXZ\0" else chunk
        pos += 16 + length
    return out


def test_pbzx_of_a_cpio_is_decoded_by_xz(cpio_files, tmp_path):
    if shutil.which("xz") is None:
        pytest.skip("xz is not installed")
    stream = tmp_path / "Payload"
    cpio = cpio_files["odc"].read_bytes()
    tev("pbzx", stream, cpio_files["odc"], "--chunk-size", "4096", "--level", "1")
    assert pbzx_chunks_by_xz(stream.read_bytes()) == cpio
    assert tev("ls", "-R", stream).stdout == tev("ls", "-R", cpio_files["odc"]).stdout


# --- errors and safety --------------------------------------------------------------------------------


def test_error_cases(tmp_path, cpio_files):
    not_archive = tmp_path / "notes.txt"
    not_archive.write_text("hello\n" * 300)
    a_file = tmp_path / "a-file"
    a_file.write_bytes(b"")
    damaged = tmp_path / "damaged.cpio"
    damaged.write_bytes(cpio_files["newc"].read_bytes()[:700])
    archive = cpio_files["newc"]
    before = sorted(tmp_path.iterdir())
    cases = [  # (arguments, exit status, text in the message)
        (["ls", tmp_path / "missing.dmg"], 1, "missing.dmg: No such file or directory"),
        (["info", not_archive], 1, "notes.txt: not a DMG"),
        (["ls", "-R", damaged], 1, "damaged.cpio: "),
        (["cat", archive, "dir/nothing"], 1, "dir/nothing: no such file or directory"),
        (["cat", archive, "dir"], 1, "dir: is a directory"),
        (["extract", archive, "-C", a_file], 1, "a-file: not a directory"),
        (["extract", archive, "nothing", "-C", tmp_path / "never"], 1, "nothing: no such file or directory"),
        (["extract", archive, "../dir", "-C", tmp_path / "never"], 2, "'..' is not allowed"),
        (["ls", "--partition", "1", archive], 2, "--partition applies to DMG images only"),
        (["ls", "--payload", "x", archive], 2, "--payload applies to installer packages only"),
    ]
    for args, status, text in cases:
        line = one_error_line(tev(*args, ok=False), status)
        assert text in line, (args, line)
    assert sorted(tmp_path.iterdir()) == before, "a failed command wrote nothing"


def test_usage_errors_exit_2():
    for args in (["frob"], ["ls"], ["dmg", "create", "out.dmg"], ["extract", "x", "-C"]):
        r = tev(*args, ok=False)
        assert r.returncode == 2 and r.stdout == b"" and b"usage: tev" in r.stderr


@needs_fixtures
def test_encrypted_and_damaged_images(tmp_path):
    line = one_error_line(tev("ls", ENCRYPTED_DMG, ok=False))
    assert "encrypted disk image" in line
    data = HFSP_DMG.read_bytes()
    damaged = tmp_path / "damaged.dmg"
    damaged.write_bytes(data[:60_000] + data[-512:])  # the trailer kept, the data cut
    assert one_error_line(tev("info", damaged, ok=False)).startswith(f"tev: {damaged}: DMG error: ")


def hostile_cpio(entries):
    builder = _tev.CpioBuilder()
    for kind, path, arg in entries:
        {"file": builder.add_file, "dir": builder.add_directory, "link": builder.add_symlink}[kind](
            path, *([arg] if arg is not None else []))
    return builder.finish()


@pytest.mark.parametrize("entries, symlinks", [
    ([("file", "../escaped", b"x")], False),
    ([("dir", "a", None), ("file", "a/../../escaped", b"x")], False),
    # A link to outside, then a folder of the same name: the link must never be written through.
    ([("link", "a", "../outside"), ("file", "a/escaped", b"x")], True),
], ids=["dot-dot", "dot-dot-inside", "link-then-folder"])
def test_nothing_is_written_outside_dest(entries, symlinks, tmp_path):
    archive = tmp_path / "hostile.cpio"
    archive.write_bytes(hostile_cpio(entries))
    dest = tmp_path / "box" / "dest"
    dest.mkdir(parents=True)
    r = tev("extract", archive, "-C", dest, *(["--symlinks"] if symlinks else []), ok=False)
    one_error_line(r)
    assert sorted(p.name for p in tmp_path.rglob("*") if not p.is_relative_to(dest)) == ["box", "hostile.cpio"]
    assert not (tmp_path / "outside").exists()


def test_a_link_planted_in_dest_is_not_followed(cpio_files, tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    dest = tmp_path / "dest"
    dest.mkdir()
    os.symlink(outside, dest / "dir")
    one_error_line(tev("extract", cpio_files["newc"], "dir/sub", "-C", dest, ok=False))
    assert list(outside.iterdir()) == []


def test_ctrl_c_stops_with_130(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)  # opening it blocks until a writer comes: the command is caught mid-way
    p = subprocess.Popen(tev_command() + ["info", str(fifo)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    time.sleep(1.5)
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=30)
    assert p.returncode == 130 and err == b"tev: interrupted\n" and out == b""


def test_version_and_help():
    assert tev("--version").stdout.decode().startswith("tev ")
    help_text = tev("--help").stdout.decode()
    for word in ("info", "ls", "extract", "pkgs", "image.dmg//Packages/Foo.pkg", "exit status", "130"):
        assert word in help_text
