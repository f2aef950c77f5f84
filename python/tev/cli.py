"""The ``tev`` command."""

import argparse
import sys

import _tev


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tev",
        description="Inspect and extract the formats macOS software ships in: DMG disk images, "
        "HFS+ and APFS volumes, XAR archives and .pkg installers, PBZX and CPIO payloads.",
    )
    parser.add_subparsers(dest="command", metavar="command")
    return parser


def main(argv=None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stdout)
        return 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
