"""``python -m arborvane``: the command line (see arborvane.cli)."""

import sys

from arborvane.cli import main

sys.exit(main())
