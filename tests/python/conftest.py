import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
SHARED = ROOT.parent / "shared"
FIXTURES = SHARED / "fixtures"

# The test-only extension module lives in the build tree, never in the venv.
_selftest_dir = os.environ.get("TEV_SELFTEST_DIR", str(ROOT / "build" / "tests" / "python"))
if _selftest_dir not in sys.path:
    sys.path.insert(0, _selftest_dir)
