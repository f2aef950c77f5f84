import sys

from tev.cli import main

sys.exit(main())
