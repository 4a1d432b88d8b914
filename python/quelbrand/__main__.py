"""`python -m quelbrand` runs the command line."""

import sys

from quelbrand.cli import main

sys.exit(main())
