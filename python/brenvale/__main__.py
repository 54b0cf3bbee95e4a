"""``python -m brenvale`` and the ``brenvale`` console script."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
