"""python -m dataservice: the same command as the console script `dataservice`."""

import sys

from .cli import main

sys.exit(main())
