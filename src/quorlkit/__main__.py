"""``python -m quorlkit``: the ``quorl`` command."""

import sys

from .cli import main

sys.exit(main())
