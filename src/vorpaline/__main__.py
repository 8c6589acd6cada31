"""``python -m vorpaline``: the command line (``vorpaline.cli``)."""

import sys

from vorpaline.cli import main, parser as _parser

__all__ = ["main", "_parser"]

if __name__ == "__main__":
    sys.exit(main())
