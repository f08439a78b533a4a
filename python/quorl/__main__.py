"""`python -m quorl`: the quorl command line."""

import sys

from quorl.cli import main

if __name__ == "__main__":
    sys.exit(main())
