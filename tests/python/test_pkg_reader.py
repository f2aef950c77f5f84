"""PkgReader against real and independently made packages with their ground
truth, and against small packages made here for the layout rules."""

import hashlib
import json
import zlib

import pytest

import tev
from conftest import FIXTURES
from xar_images import file_xml, make_xar, stored, toc

PKGS = sorted(p for d in ("real/xar_pkg", "generated/xar_pkg") for p in (FIXTURES / d).glob("*.pkg"))
needs_fixtures = pytest.mark.skipif(not PKGS, reason="shared package fixtures absent")


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def component_name(prefix):
    return "" if prefix == "." else prefix.rstrip("/")


def check_cpio(archive, truth):
    """The Archive holds exactly the CPIO the ground truth describes."""
    assert sha256(archive.cpio_data()) == truth["cpio_sha256"]
    listed = archive.list()
    assert [e.path for e in listed] == [e["name"] for e in truth["entries"]]
    for e, want in zip(listed, truth["entries"]):
        assert (e.mode, e.uid, e.gid) == (int(want["mode"], 8), want["uid"], want["gid"]), e.path
        if want["kind"] == "file":
            assert sha256(archive.extract_file(e.path)) == want["sha256"], e.path
        if want["kind"] == "symlink":
            assert e.link_target == want["link_target"]


@needs_fixtures
@pytest.mark.parametrize("path", PKGS, ids=[p.name for p in PKGS])
def test_package_agrees_with_its_ground_truth(path):
    truth = json.loads(path.with_suffix(".json").read_text())["pkg"]
    with tev.PkgReader.open(str(path)) as pkg:
        assert pkg.is_product_package == (truth["kind"] == "product")
        components = {component_name(c["prefix"]): c for c in truth["components"]}
        assert sorted(pkg.components) == sorted(components)
        for name, want in components.items():
            attrs = want["PackageInfo"]["attrs"]
            info = pkg.component_info(name)
            assert (info.component, info.identifier, info.version) == (name, attrs["identifier"], attrs["version"])
            assert info.install_location == attrs.get("install-location")
            assert info.auth == attrs.get("auth")
            assert "<pkg-info" in pkg.package_info(name)
            if "Payload" in want:
                payload = pkg.payload(name)
                check_cpio(payload, want["Payload"])
                assert info.payload_file_count == len(want["Payload"]["entries"])
                assert info.install_kbytes is not None
            else:
                with pytest.raises(tev.FileNotFoundError, match="XAR error: file not found: Payload"):
                    pkg.payload(name)
            if "Scripts" in want:
                check_cpio(pkg.scripts(name), want["Scripts"])
                script_names = {e["name"].removeprefix("./") for e in want["Scripts"]["entries"]}
                assert {f.removeprefix("./") for f in info.scripts.values()} <= script_names
                assert set(info.scripts) <= {"preinstall", "postinstall"}
        if truth["kind"] == "product":
            refs = pkg.distribution_info().pkg_refs
            assert [(r.id, r.component) for r in refs] == [
                (r["id"], r["text"].removeprefix("#")) for r in truth["distribution_pkg_refs"]]
            assert all(r.version for r in refs)
            assert pkg.distribution().lstrip().startswith("<?xml")
        else:
            assert pkg.distribution() is None and pkg.distribution_info() is None


@needs_fixtures
def test_payload_keeps_working_after_the_reader_closes():
    path = FIXTURES / "generated/xar_pkg/xar161_component_pbzx_chunk16k.pkg"
    truth = json.loads(path.with_suffix(".json").read_text())["pkg"]["components"][0]
    with tev.PkgReader.open(str(path)) as pkg:
        archive = pkg.payload("")
        raw = pkg.payload_bytes("")
    assert raw.startswith(b"pbzx")
    check_cpio(archive, truth["Payload"])
    assert repr(pkg) == "PkgReader(closed)"
    with pytest.raises(RuntimeError, match="PkgReader is closed"):
        pkg.components


def pkg_file(tmp_path, *files, heap=b""):
    path = tmp_path / "p.pkg"
    path.write_bytes(make_xar(toc(*files), heap))
    return str(path)


def test_layout_rules(tmp_path):
    dist, heap = stored("Distribution", b"<installer-gui-script><title>T</title></installer-gui-script>")
    path = pkg_file(tmp_path, dist, file_xml("Resources", "directory"), file_xml("core.pkg", "directory"),
                    file_xml("x.pkg"), file_xml("y.PKG", "directory"),
                    file_xml("extra.pkg", "directory", children=file_xml("nested.pkg", "directory")), heap=heap)
    with tev.PkgReader.open(path) as pkg:
        assert repr(pkg) == "PkgReader(open)"
        assert pkg.is_product_package and pkg.components == ["core.pkg", "extra.pkg"]
        assert pkg.distribution_info().title == "T" and pkg.distribution_info().pkg_refs == []
        assert pkg.package_info("missing.pkg") is None and pkg.component_info("missing.pkg") is None
        with pytest.raises(tev.FileNotFoundError, match="XAR error: file not found: missing.pkg/Payload"):
            pkg.payload_bytes("missing.pkg")
        with pytest.raises(tev.FileNotFoundError, match="core.pkg//Payload"):
            pkg.payload_bytes("core.pkg/")
    with tev.PkgReader.open(pkg_file(tmp_path, file_xml("Bom"))) as pkg:
        assert pkg.components == [] and pkg.distribution() is None


PAYLOADS = [
    ("gzip cpio", lambda cpio: zlib.compressobj(wbits=31).compress(cpio) + zlib.compressobj(wbits=31).flush(), None),
    ("plain cpio", lambda cpio: cpio, None),
    ("something else", lambda cpio: b"PK\x03\x04rest", r'"Payload" is neither PBZX, gzip-compressed CPIO nor CPIO \(it starts with 50 4b 03 04'),
    ("broken gzip", lambda cpio: b"\x1f\x8b\x08\x00garbage!", "decompression failed: gzip"),
]


@pytest.mark.parametrize("name,wrap,error", PAYLOADS, ids=[p[0] for p in PAYLOADS])
def test_payload_format_is_told_by_its_first_bytes(tmp_path, name, wrap, error):
    cpio = tev.CpioBuilder()
    cpio.add_file("hello.txt", b"hi\n")
    data = cpio.finish()
    if name == "gzip cpio":
        c = zlib.compressobj(wbits=31)
        payload = c.compress(data) + c.flush()
    else:
        payload = wrap(data)
    info, heap_info = stored("PackageInfo", b'<pkg-info identifier="x" version="1"/>')
    member, heap = stored("Payload", payload, offset=len(heap_info))
    with tev.PkgReader.open(pkg_file(tmp_path, info, member, heap=heap_info + heap)) as pkg:
        assert pkg.components == [""]
        if error is None:
            assert pkg.payload("").extract_file("hello.txt") == b"hi\n"
        else:
            with pytest.raises((tev.UnsupportedError, tev.DecompressionError), match=error):
                pkg.payload("")


def test_invalid_utf8_text_is_replaced(tmp_path):
    dist, heap = stored("Distribution", b"<installer-gui-script>\xff</installer-gui-script>")
    with tev.PkgReader.open(pkg_file(tmp_path, dist, heap=heap)) as pkg:
        assert "\ufffd" in pkg.distribution()
        assert pkg.distribution_info().title is None


def test_package_documents_may_not_declare_entities(tmp_path):
    text = b'<?xml version="1.0"?><!DOCTYPE p [<!ENTITY e SYSTEM "file:///etc/passwd">]><pkg-info identifier="&e;"/>'
    info, heap = stored("PackageInfo", text)
    with tev.PkgReader.open(pkg_file(tmp_path, info, heap=heap)) as pkg:
        with pytest.raises(tev.InvalidFormatError, match="declares entities of its own"):
            pkg.component_info("")
