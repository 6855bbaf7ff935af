"""``python -m sorvane_core``: the command line, as ``sorvane-sim``."""

import sys

from sorvane_core.cli import main

sys.exit(main())
