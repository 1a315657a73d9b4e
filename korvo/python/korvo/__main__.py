"""python -m korvo: the korvo command."""

import sys

from .cli import main

# Only when run: tools that import every submodule (stubtest, pydoc) must not
# start the command.
if __name__ == "__main__":
    sys.exit(main())
