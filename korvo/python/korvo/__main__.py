"""python -m korvo: the korvo command."""

import sys

from .cli import main

sys.exit(main())
