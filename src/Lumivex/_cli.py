"""The command line: `python -m Lumivex` or `lumivex`.

    lumivex info FILE...            format, size, stored channels and depth of each file
    lumivex convert IN OUT          write IN as PNG or BMP, chosen by OUT's suffix

PNG output goes through the compact writer (`Lumivex.write_png`: filtered rows,
strong deflate, the file replaced atomically); `--exact` writes instead the
fixed bytes of `SimpleImage.save`.

Files are opened with the pixel cap of `Lumivex.open` (`--max-pixels`). A
user's mistake (a missing file, a format this codec does not read, a wrong
suffix) or failed output (stdout on a full disk, or closed) is reported in one
line on stderr and exit status 1, never a traceback. File names are printed as
the file system holds them, a byte the output's encoding cannot decode shown as
\\xNN.
"""
import argparse
import errno
import os
import struct
import sys
import zlib
from typing import Callable, Dict, Optional, Sequence, TextIO, Union

from Lumivex._capped import DEFAULT_MAX_PIXELS, Header, open_with_header
from Lumivex.compact import DEFAULT_LEVEL, write_png
from Lumivex.rasterCore_ext import SimpleImage

PROGRAM = "lumivex"

# Every failure that bad input or a bad path can cause; anything else is a bug
# and keeps its traceback.
USER_ERRORS = (OSError, ValueError, TypeError, OverflowError, MemoryError, zlib.error, struct.error)

# Output writers by file suffix (lower case); `--exact` swaps in EXACT_WRITERS.
Writer = Callable[[SimpleImage, str, argparse.Namespace], None]
WRITERS: Dict[str, Writer] = {
    ".png": lambda image, path, arguments: write_png(image, path, level=arguments.level),
    ".bmp": lambda image, path, arguments: image.saveBmp(path),
}
EXACT_WRITERS: Dict[str, Writer] = {
    ".png": lambda image, path, arguments: image.save(path),
}


def _describe(error: BaseException) -> str:
    if isinstance(error, MemoryError):
        return "not enough memory to decode the image"
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    text = str(error)
    if isinstance(error, (zlib.error, struct.error)):
        return f"damaged image data ({text})"
    return text or type(error).__name__


def _shown(name: str, stream: Optional[TextIO]) -> str:
    """`name` as `stream` can print it: the name's bytes in the file system
    decoded in the stream's encoding, each byte that does not decode as \\xNN."""
    try:
        raw = os.fsencode(name)
    except UnicodeEncodeError:  # no file system name: a lone surrogate passed to main()
        raw = name.encode("utf-8", "backslashreplace")
    return raw.decode(getattr(stream, "encoding", None) or "utf-8", "backslashreplace")


def _say(line: str) -> None:
    """Prints a line of results on stdout."""
    if sys.stdout is None:  # started with stdout closed (`>&-`): the results have nowhere to go
        raise OSError(errno.EBADF, os.strerror(errno.EBADF))
    print(line)


def _complain(line: str) -> None:
    """Prints an error line on stderr. With stderr closed or failing the line is
    lost, quietly: the exit status still tells."""
    if sys.stderr is None:  # print(file=None) would write it on stdout
        return
    try:
        print(f"{PROGRAM}: {line}", file=sys.stderr, flush=True)
    except OSError:
        _silence(sys.stderr)


def _silence(stream: Optional[TextIO]) -> None:
    """Points a failed stream's descriptor at /dev/null, so that the
    interpreter's last flush of what it still holds cannot fail again."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
    except OSError:
        return
    try:
        if stream is not None:
            os.dup2(null, stream.fileno())
    except (OSError, ValueError):
        pass  # no descriptor of its own (a stream set up by a caller of main)
    finally:
        os.close(null)


def _report(path: str, error: BaseException) -> None:
    if sys.stdout is not None:
        sys.stdout.flush()  # earlier results first, on a terminal shared by both
    _complain(f"{_shown(path, sys.stderr)}: {_describe(error)}")


def _max_pixels(text: str) -> Optional[int]:
    if text.lower() == "none":
        return None
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number or 'none': {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {value}")
    return value


def _level(text: str) -> Union[int, str]:
    if text == "strongest":
        return text
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 1 <= value <= 9:
        raise argparse.ArgumentTypeError(f"not 1 to 9 or 'strongest': {text!r}")
    return value


def _depth(header: Header) -> str:
    if header.format == "BMP":
        return f"{header.channels}, {header.bit_depth} bits per pixel"
    interlacing = ", Adam7-interlaced" if header.interlaced else ""
    return f"{header.channels}, {header.bit_depth} bits per sample{interlacing}"


def _info(arguments: argparse.Namespace) -> int:
    status = 0
    for path in arguments.files:
        try:
            image, header = open_with_header(path, arguments.max_pixels)
        except USER_ERRORS as error:
            _report(path, error)
            status = 1
            continue
        _say(f"{_shown(path, sys.stdout)}: {header.format}, {image.width} x {image.height}, {_depth(header)}")
    return status


def _convert(arguments: argparse.Namespace) -> int:
    source, target = arguments.input, arguments.output
    suffix = os.path.splitext(target)[1].lower()
    writer = (EXACT_WRITERS.get(suffix) if arguments.exact else None) or WRITERS.get(suffix)
    if writer is None:
        known = " or ".join(sorted(WRITERS))
        _report(target, ValueError(f"cannot tell the output format from the suffix "
                                   f"{suffix or '(none)'!r}: use {known}"))
        return 1
    try:
        image, _ = open_with_header(source, arguments.max_pixels)
    except USER_ERRORS as error:
        _report(source, error)
        return 1
    try:
        writer(image, target, arguments)
    except USER_ERRORS as error:
        _report(target, error)
        return 1
    return 0


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Read, inspect and convert PNG and BMP files with Lumivex.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    cap = argparse.ArgumentParser(add_help=False)
    cap.add_argument("--max-pixels", type=_max_pixels, default=DEFAULT_MAX_PIXELS, metavar="N",
                     help="refuse images of more than N pixels before decoding them "
                          f"('none' disables the cap; default {DEFAULT_MAX_PIXELS})")

    info = commands.add_parser("info", parents=[cap], help="show format, size, channels and depth of files",
                               description="For each FILE print its format, width x height, stored "
                                           "channels and depth (and a PNG's interlacing), or its "
                                           "error. Exit status 1 if any file could not be read.")
    info.add_argument("files", nargs="+", metavar="FILE")
    info.set_defaults(run=_info)

    convert = commands.add_parser("convert", parents=[cap], help="convert a PNG or BMP file",
                                  description="Read IN (PNG or BMP) and write it to OUT as PNG "
                                              "(.png) or 24-bit BMP (.bmp), by OUT's suffix.")
    convert.add_argument("--exact", action="store_true",
                         help="write PNG as SimpleImage.save does (no filtering, zlib's default level) "
                              "instead of the compact writer")
    convert.add_argument("--level", type=_level, default=DEFAULT_LEVEL, metavar="L",
                         help=f"compact PNG writer's level: 1 to 9 or 'strongest' (default {DEFAULT_LEVEL})")
    convert.add_argument("input", metavar="IN")
    convert.add_argument("output", metavar="OUT")
    convert.set_defaults(run=_convert)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line with `argv` (default: `sys.argv[1:]`); returns the exit status."""
    arguments = _parser().parse_args(None if argv is None else list(argv))
    try:
        status: int = arguments.run(arguments)
        if sys.stdout is not None:
            sys.stdout.flush()
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader (`| head`, say) has gone: stop quietly, as other tools do.
        _silence(sys.stdout)
        return 1
    except OSError as error:
        # The commands catch the errors of the files they read and write, so
        # this is stdout's: a full disk, a closed descriptor.
        _silence(sys.stdout)
        _complain(f"write error: {_describe(error)}")
        return 1
    return status

