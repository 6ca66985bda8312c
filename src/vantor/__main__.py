"""`python -m vantor`: the `vantor` command without the console script."""

import sys

from vantor.cli import main

sys.exit(main())
