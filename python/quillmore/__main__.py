"""``python -m quillmore``: the same as the ``quillmore`` command."""

import sys

from .cli import main

sys.exit(main())
