"""The line `lumivex --version` prints; it imports only the package and its
native module, so that asking for the version loads no codec."""
import sys

PROGRAM = "lumivex"


def version_line() -> str:
    from Lumivex import __version__
    from Lumivex._native import DEFLATE_BACKEND

    return f"{PROGRAM} {__version__} (deflate: {DEFLATE_BACKEND}; Python {sys.version.split()[0]})"
