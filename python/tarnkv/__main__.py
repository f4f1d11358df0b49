"""``python -m tarnkv``: the ``tarnkv`` command."""

import sys

from tarnkv.cli import main

sys.exit(main())
