"""The module surface: registration, exceptions, error mapping, conventions."""

import builtins
import ctypes
import sys
import threading
import time

import pytest

import _tev
import tev

selftest = pytest.importorskip("_tev_selftest")

EXCEPTIONS = [
    ("TevError", "Base exception for all tev errors."),
    ("IoError", "I/O error."),
    ("InvalidFormatError", "Invalid format: bad magic, corrupt data, or invalid headers."),
    ("FileNotFoundError", "File or partition not found."),
    ("DecompressionError", "Decompression failure."),
    ("UnsupportedError", "Unsupported feature or format."),
]

# The complete module's classes in registration order; those built so far
# must appear as an ordered subsequence.
CLASS_ORDER = [
    "DmgPipeline", "FilesystemHandle", "DmgArchive", "DmgBuilder", "PkgReader", "XarArchive",
    "Archive", "CpioBuilder", "PbzxWriter", "HfsVolume", "ApfsVolume", "PartitionInfo",
    "DirEntry", "FileStat", "VolumeInfo", "WalkEntry", "FileEntry", "CompressionInfo",
    "DmgStats", "XarFile", "ChunkInfo", "ArchiveStats", "ExtractStats",
    # Value classes of the package reader beyond the ones above.
    "SignatureInfo", "ComponentInfo", "PkgRef", "DistributionInfo",
]
FUNCTIONS = ["open", "find_packages", "extract_pkg_payload"]


def test_module_docstring():
    assert _tev.__doc__ == (
        "Python module for parsing Apple DMG disk images, HFS+/APFS filesystems,\n"
        "PKG installers, and PBZX/CPIO payloads."
    )


def test_registration_order():
    names = [n for n in vars(_tev) if not n.startswith("__")]
    assert names[:6] == [n for n, _ in EXCEPTIONS]
    rest = names[6:]
    functions = [n for n in rest if n in FUNCTIONS]
    classes = [n for n in rest if n not in FUNCTIONS]
    assert functions == [n for n in FUNCTIONS if n in functions]
    assert rest[: len(functions)] == functions
    assert classes == [n for n in CLASS_ORDER if n in classes]
    assert "ExtractStats" in classes


def test_package_reexports_the_module():
    assert tev.__all__ == [n for n in vars(_tev) if not n.startswith("_")]
    for name in tev.__all__:
        assert getattr(tev, name) is getattr(_tev, name)


@pytest.mark.parametrize("name,doc", EXCEPTIONS)
def test_exception_classes(name, doc):
    cls = getattr(_tev, name)
    assert cls.__doc__ == doc
    assert cls.__module__ == "_tev" and cls.__qualname__ == name
    if name == "TevError":
        assert cls.__bases__ == (Exception,)
    else:
        assert cls.__bases__ == (_tev.TevError,)


def test_exception_classes_are_not_the_builtin_ones():
    assert _tev.FileNotFoundError is not builtins.FileNotFoundError
    assert not issubclass(_tev.FileNotFoundError, OSError)
    assert not issubclass(_tev.IoError, OSError)
    assert not issubclass(_tev.TevError, OSError)


@pytest.mark.parametrize(
    "kind,text,cls,message",
    [
        ("Io", "", "IoError", "I/O error: No such file or directory"),
        ("IoEof", "", "IoError", "I/O error: failed to fill whole buffer"),
        ("FileNotFound", "/x/y", "FileNotFoundError", "file not found: /x/y"),
        ("NoHfsPartition", "", "FileNotFoundError", "no HFS+ partition found in DMG"),
        ("NoApfsPartition", "", "FileNotFoundError", "no APFS partition found in DMG"),
        ("NoFilesystemPartition", "", "FileNotFoundError", "no filesystem partition found in DMG"),
        ("InvalidPath", "path traversal detected: ../a", "InvalidFormatError",
         "invalid path: path traversal detected: ../a"),
        ("NoEntriesUnder", "Library", "FileNotFoundError", "no entries found under: Library"),
        ("FileNotFound", "caf\u00e9 \u2603", "FileNotFoundError", "file not found: caf\u00e9 \u2603"),
    ],
)
def test_errors_raise_the_mapped_class_with_the_full_message(kind, text, cls, message):
    with pytest.raises(getattr(_tev, cls)) as info:
        selftest.raise_error(kind, text)
    assert type(info.value) is getattr(_tev, cls)
    assert info.value.args == (message,)


class TestExtractStats:
    def test_not_instantiable(self):
        with pytest.raises(TypeError):
            _tev.ExtractStats()
        with pytest.raises(TypeError):
            _tev.ExtractStats.__new__(_tev.ExtractStats)

    def test_fields_repr_and_read_only(self):
        s = selftest.extract_stats(3, 2, 1, 2**64 - 1)
        assert type(s) is _tev.ExtractStats
        assert (s.files, s.dirs, s.symlinks_skipped, s.bytes) == (3, 2, 1, 2**64 - 1)
        assert repr(s) == (
            "ExtractStats(files=3, dirs=2, symlinks_skipped=1, bytes=18446744073709551615)"
        )
        for attr in ("files", "dirs", "symlinks_skipped", "bytes"):
            with pytest.raises(AttributeError):
                setattr(s, attr, 0)
        with pytest.raises(AttributeError):
            s.other = 1
        with pytest.raises(TypeError):
            _tev.ExtractStats.files = 1
        assert _tev.ExtractStats.__doc__ == "Statistics returned after extraction."


class TestArguments:
    @pytest.mark.parametrize(
        "kind,value,expected",
        [
            ("str", "caf\u00e9", "caf\u00e9"),
            ("bytes", b"\x00\xff", b"\x00\xff"),
            ("u64", 2**64 - 1, 2**64 - 1),
            ("u64", 0, 0),
            ("u32", 2**32 - 1, 2**32 - 1),
            ("i32", -(2**31), -(2**31)),
            ("i32", 2**31 - 1, 2**31 - 1),
            ("i64", -(2**63), -(2**63)),
            ("bool", True, True),
            ("bool", False, False),
        ],
    )
    def test_accepted(self, kind, value, expected):
        assert selftest.convert(kind, value) == expected

    @pytest.mark.parametrize(
        "kind,value,error",
        [
            ("str", b"path", TypeError),
            ("str", __import__("pathlib").Path("/tmp"), TypeError),
            ("str", None, TypeError),
            ("str", "\ud800", UnicodeEncodeError),
            ("bytes", bytearray(b"x"), TypeError),
            ("bytes", memoryview(b"x"), TypeError),
            ("bytes", "text", TypeError),
            ("u64", -1, OverflowError),
            ("u64", 2**64, OverflowError),
            ("u64", 1.0, TypeError),
            ("u64", "1", TypeError),
            ("u32", 2**32, OverflowError),
            ("u32", -1, OverflowError),
            ("i32", 2**31, OverflowError),
            ("i32", -(2**31) - 1, OverflowError),
            ("i64", 2**63, OverflowError),
            ("bool", 1, TypeError),
            ("bool", None, TypeError),
        ],
    )
    def test_refused(self, kind, value, error):
        with pytest.raises(error):
            selftest.convert(kind, value)

    def test_messages_name_the_argument(self):
        with pytest.raises(TypeError, match="'path'.*bytes"):
            selftest.convert("str", b"x")
        with pytest.raises(OverflowError, match="'chunk_size'"):
            selftest.convert("u64", -5)

    def test_keywords_and_missing_arguments(self):
        assert selftest.convert(kind="str", value="a") == "a"
        with pytest.raises(TypeError):
            selftest.convert("str")
        with pytest.raises(TypeError):
            selftest.convert("str", "a", "extra")


class TestHandle:
    def test_context_manager_closes_and_exit_returns_false(self):
        p = selftest.Probe.open("x")
        assert repr(p) == "Probe(x)"
        with p as entered:
            assert entered is p
            assert p.name == "x"
        assert repr(p) == "Probe(closed)"
        with pytest.raises(RuntimeError, match="^Probe is closed$"):
            p.name
        with pytest.raises(RuntimeError, match="^Probe is closed$"):
            p.hold(0)
        assert p.__exit__(None, None, None) is False
        assert p.__exit__() is False
        assert p.__enter__() is p  # works on a closed handle too

    def test_exception_in_with_block_propagates(self):
        p = selftest.Probe.open("y")
        with pytest.raises(KeyError):
            with p:
                raise KeyError("boom")
        assert repr(p) == "Probe(closed)"
        q = selftest.Probe.open("z")
        assert q.__exit__(ValueError, ValueError("v"), None) is False

    def test_not_instantiable_without_a_constructor(self):
        with pytest.raises(TypeError):
            selftest.Probe()

    def test_conflicting_access_fails_at_once(self):
        p = selftest.Probe.open("busy")
        t = threading.Thread(target=p.hold, args=(60000,))
        t.start()
        selftest.wait_for_hold()  # the other thread has exclusive access now
        begin = time.monotonic()
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            p.name
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            repr(p)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            p.hold(0)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            p.__exit__(None, None, None)
        assert time.monotonic() - begin < 30  # failed, did not wait for the hold to end
        selftest.release_hold()
        t.join()
        assert p.name == "busy"  # released after the call

    def test_docstrings_carry_signatures(self):
        import inspect

        assert str(inspect.signature(selftest.Probe.hold)) == "(self, /, milliseconds)"
        assert str(inspect.signature(selftest.Probe.__exit__)) == (
            "(self, /, _exc_type=None, _exc_val=None, _exc_tb=None)"
        )
        assert str(inspect.signature(selftest.Probe.open)) == "(name)"


def module_slots():
    """The module definition's slots, as {slot number: value}."""
    class Slot(ctypes.Structure):
        _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]

    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.restype = ctypes.c_void_p
    get_def.argtypes = [ctypes.py_object]
    module_def = get_def(_tev)
    # PyModuleDef: PyModuleDef_Base (object head, m_init, m_index, m_copy),
    # then m_name, m_doc, m_size, m_methods, m_slots.
    head = object.__basicsize__
    slots_ptr = ctypes.c_void_p.from_address(module_def + head + 3 * 8 + 4 * 8).value
    slots = ctypes.cast(slots_ptr, ctypes.POINTER(Slot))
    found = {}
    i = 0
    while slots[i].slot != 0:
        found[slots[i].slot] = slots[i].value
        i += 1
    return found


@pytest.mark.skipif(sys.version_info < (3, 13), reason="Py_mod_gil exists from 3.13")
def test_module_declares_it_does_not_need_the_gil():
    PY_MOD_GIL = 4
    assert module_slots().get(PY_MOD_GIL) == 1  # Py_MOD_GIL_NOT_USED


@pytest.mark.skipif(sys.version_info < (3, 12), reason="Py_mod_multiple_interpreters exists from 3.12")
def test_module_cannot_be_loaded_in_a_second_interpreter():
    PY_MOD_MULTIPLE_INTERPRETERS = 3
    assert module_slots().get(PY_MOD_MULTIPLE_INTERPRETERS) in (0, None)  # NOT_SUPPORTED is 0
    interpreters = pytest.importorskip("_interpreters")
    interp = interpreters.create()
    try:
        failure = interpreters.run_string(interp, "import _tev")
    finally:
        interpreters.destroy(interp)
    assert failure is not None
    assert "does not support loading in subinterpreters" in failure.msg
