"""`python -m Lumivex` and the `lumivex` command (see `Lumivex._cli`)."""
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Optional, Sequence


def main(argv: "Optional[Sequence[str]]" = None) -> int:
    """Runs the command line; `lumivex --version` alone is answered before the
    commands' modules (and the codec's extension) are imported."""
    arguments = sys.argv[1:] if argv is None else list(argv)
    if arguments == ["--version"]:
        from Lumivex._cli_version import version_line

        print(version_line())
        return 0
    from Lumivex._cli import main as run_command

    return run_command(arguments)


if __name__ == "__main__":
    sys.exit(main())
