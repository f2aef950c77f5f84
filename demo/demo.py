"""What `make demo` shows: the `tev` command on a real HFS+ volume (made by xorriso), packed into a DMG
and read back."""

import hashlib
import lzma
import pathlib
import shlex
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
TEV = str(pathlib.Path(sys.executable).with_name("tev"))


def run(*args, cwd):
    print(f"\n$ tev {' '.join(shlex.quote(str(a)) for a in args)}")
    r = subprocess.run([TEV, *map(str, args)], cwd=cwd, capture_output=True, text=True)
    sys.stdout.write(r.stdout)
    sys.stdout.write(r.stderr)
    if r.returncode != 0:
        sys.exit(f"demo: `tev {args[0]}` ended with status {r.returncode}")
    return r.stdout


def digests(root: pathlib.Path):
    return {p.relative_to(root).as_posix(): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in sorted(root.rglob("*")) if p.is_file() and not p.is_symlink()}


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        (tmp / "sample.img").write_bytes(lzma.decompress((HERE / "sample-hfsplus.img.xz").read_bytes()))
        print(f"In {tmp}: sample.img, the HFS+ volume of demo/sample-hfsplus.img.xz")
        run("info", "sample.img", cwd=tmp)
        run("ls", "-lR", "sample.img", cwd=tmp)
        run("extract", "sample.img", "-C", "from-volume", "--symlinks", cwd=tmp)
        run("dmg", "create", "sample.dmg", "--from", "sample.img", "--compression", "lzfse", cwd=tmp)
        run("info", "sample.dmg", cwd=tmp)
        run("ls", "-R", "sample.dmg", cwd=tmp)
        run("cat", "sample.dmg", "/hello.txt", cwd=tmp)
        run("extract", "sample.dmg", "-C", "from-dmg", "--symlinks", "--keep-modes", cwd=tmp)
        same = digests(tmp / "from-volume") == digests(tmp / "from-dmg")
        print(f"\nround trip: the files out of sample.dmg are {'identical to' if same else 'DIFFERENT from'}"
              " those out of sample.img")
        if not same:
            sys.exit(1)


if __name__ == "__main__":
    main()
