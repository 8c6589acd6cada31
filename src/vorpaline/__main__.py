"""``python -m vorpaline`` and the ``vorpaline`` script: the command line of ``vorpaline.cli``."""

import sys

from vorpaline.cli import main

if __name__ == "__main__":
    sys.exit(main())
