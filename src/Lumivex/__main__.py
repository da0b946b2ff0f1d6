"""`python -m Lumivex`: the command line (see `Lumivex._cli`)."""
import sys

from Lumivex._cli import main

if __name__ == "__main__":
    sys.exit(main())
