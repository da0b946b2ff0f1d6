"""The command line: `python -m Lumivex` or `lumivex`.

    lumivex info FILE...                         each file's format, size and stored layout
    lumivex convert IN OUT                       write IN as PNG or BMP, chosen by OUT's suffix
    lumivex convert INPUT... --out-dir DIR       convert files and folders of them, on threads

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
import os
import sys
import threading
from typing import Any, Optional, Sequence, Union

from Lumivex import _batch
from Lumivex._batch import FORMATS, USER_ERRORS, Job, Options, Result, describe as _describe
from Lumivex._capped import DEFAULT_MAX_PIXELS, PixelLimitError, read_header
from Lumivex._cli_output import PROGRAM, BatchReport, complain, report, say, shown, silence
from Lumivex._header_text import as_json, layout_text
from Lumivex.compact import COLOURS, DEFAULT_LEVEL

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


def _info(arguments: argparse.Namespace) -> int:
    status = 0
    for path in arguments.files:
        try:
            header = read_header(path, arguments.max_pixels)
            cap = arguments.max_pixels
            if cap is not None and header.width * header.height > cap:
                raise PixelLimitError(header.width, header.height, cap)
        except USER_ERRORS as error:
            status = 1
            if arguments.json:
                say(as_json(shown(path, sys.stdout), None, _describe(error)))
            else:
                report(path, error)
            continue
        if arguments.json:
            say(as_json(shown(path, sys.stdout), header, None))
        else:
            say(f"{shown(path, sys.stdout)}: {header.format}, {header.width} x {header.height}, {layout_text(header)}")
    return status


def _options(arguments: argparse.Namespace, format: str) -> Options:
    level = DEFAULT_LEVEL if arguments.level is None else arguments.level
    return Options(format, level, arguments.exact, arguments.max_pixels, arguments.colour or "auto")


def _conflicts(arguments: argparse.Namespace) -> Optional[str]:
    """What is wrong with the options together, if anything."""
    if arguments.exact and arguments.level is not None:
        return "--exact writes PNG as SimpleImage.save does, at zlib's default level: it takes no --level"
    if arguments.exact and arguments.colour is not None:
        return "--exact writes PNG as SimpleImage.save does, in 8-bit RGB: it takes no --colour"
    if arguments.out_dir is None:
        if len(arguments.inputs) != 2:
            return ("several inputs need --out-dir DIR" if len(arguments.inputs) > 2
                    else "give IN and OUT, or inputs and --out-dir DIR")
        for flag, given in (("--format", arguments.format), ("--recursive", arguments.recursive)):
            if given:
                return f"{flag} goes with --out-dir DIR; with IN OUT the format is OUT's suffix"
    return None


def _convert(arguments: argparse.Namespace) -> int:
    conflict = _conflicts(arguments)
    if conflict is not None:
        complain(conflict)
        return 2
    if arguments.out_dir is None:
        return _convert_one(arguments, *arguments.inputs)
    return _convert_many(arguments)


def _convert_one(arguments: argparse.Namespace, source: str, target: str) -> int:
    suffix = os.path.splitext(target)[1].lower()
    if suffix not in (".png", ".bmp"):
        report(target, ValueError(f"cannot tell the output format from the suffix "
                                   f"{suffix or '(none)'!r}: use .bmp or .png"))
        return 1
    for path, role in ((source, "IN"), (target, "OUT")):
        if os.path.isdir(path):
            report(path, ValueError(f"a folder, where {role} is a file: to convert folders, "
                                     f"give them with --out-dir DIR"))
            return 1
    result = _batch.convert_file(Job(source, target), _options(arguments, suffix[1:]))
    if not result.ok:
        complain(f"{shown(result.error_path or source, sys.stderr)}: {result.error}")
        return 1
    if result.dropped_alpha:
        complain(f"note: the alpha channel of {shown(source, sys.stderr)} is dropped: the output is RGB")
    return 0


def _convert_many(arguments: argparse.Namespace) -> int:
    format = arguments.format or "png"
    if os.path.exists(arguments.out_dir) and not os.path.isdir(arguments.out_dir):
        report(arguments.out_dir, ValueError("--out-dir is a file, not a folder"))
        return 1
    planned = _batch.plan(arguments.inputs, arguments.out_dir, format, arguments.recursive)
    jobs = [entry for entry in planned if isinstance(entry, Job)]
    failures = [entry for entry in planned if isinstance(entry, Result)]
    batch = BatchReport(len(jobs) + len(failures), progress=True)
    stop = threading.Event()
    try:
        for failure in failures:
            batch.done(failure)
        threads = arguments.jobs or os.cpu_count() or 1
        _batch.run_threads(jobs, _options(arguments, format), threads, batch.done, stop)
    finally:
        batch.close()
    complain(batch.summary())
    return 1 if batch.failed else 0


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"not a whole number of 1 or more: {text!r}")
    return value


class _VersionAction(argparse.Action):
    """--version, looked up only when asked for (importing the package does not)."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: Optional[str] = None) -> None:
        say(_version())
        parser.exit()


def _version() -> str:
    import platform

    from Lumivex import DEFLATE_BACKEND, __version__
    return f"{PROGRAM} {__version__} (deflate: {DEFLATE_BACKEND}; Python {platform.python_version()})"


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Read, inspect and convert PNG and BMP files with Lumivex.")
    parser.add_argument("--version", action=_VersionAction,
                        help="show the version, the deflate library and Python's version")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    cap = argparse.ArgumentParser(add_help=False)
    cap.add_argument("--max-pixels", type=_max_pixels, default=DEFAULT_MAX_PIXELS, metavar="N",
                     help="refuse images of more than N pixels before decoding them "
                          f"('none' disables the cap; default {DEFAULT_MAX_PIXELS})")

    info = commands.add_parser("info", parents=[cap], help="show format, size and stored layout of files",
                               description="For each FILE print its format, width x height, stored "
                                           "channels and depth (a PNG's interlacing, a BMP's "
                                           "compression), from its headers alone, or its error. "
                                           "Exit status 1 if any file could not be read.")
    info.add_argument("--json", action="store_true",
                      help="one JSON object per line per file: format, width, height and the stored "
                           "layout, or the error")
    info.add_argument("files", nargs="+", metavar="FILE")
    info.set_defaults(run=_info)

    convert = commands.add_parser(
        "convert", parents=[cap], help="convert PNG and BMP files",
        description="Read IN (PNG or BMP) and write it to OUT as PNG (.png) or 24-bit BMP (.bmp), by OUT's "
                    "suffix; or, with --out-dir, convert every INPUT (files, and the .png and .bmp files "
                    "in folders) into DIR, each output at its input's path within the folder given. "
                    "Outputs replace files atomically. Exit status 1 if any file failed, 2 for "
                    "conflicting options, 130 when interrupted.")
    convert.add_argument("--exact", action="store_true",
                         help="write PNG as SimpleImage.save does (no filtering, zlib's default level) "
                              "instead of the compact writer")
    convert.add_argument("--level", type=_level, default=None, metavar="L",
                         help=f"compact PNG writer's level: 1 to 9 or 'strongest' (default {DEFAULT_LEVEL})")
    convert.add_argument("--colour", choices=sorted(COLOURS),
                         help="compact PNG writer's layout: 'auto' (default) the smallest that holds the image "
                              "exactly (a palette, grey or 8-bit RGB), 'rgb' 8-bit RGB always")
    convert.add_argument("--out-dir", metavar="DIR", help="convert every INPUT into this folder")
    convert.add_argument("--format", choices=FORMATS, help="with --out-dir: the outputs' format (default png)")
    convert.add_argument("--recursive", action="store_true", help="with --out-dir: descend into subfolders")
    convert.add_argument("--jobs", type=_jobs, metavar="N",
                         help="with --out-dir: files converted at once (default: the number of cores)")
    convert.add_argument("inputs", nargs="+", metavar="INPUT", help="IN OUT, or with --out-dir the inputs")
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
        silence(sys.stdout)
        return 1
    except OSError as error:
        # The commands catch the errors of the files they read and write, so
        # this is stdout's: a full disk, a closed descriptor.
        silence(sys.stdout)
        complain(f"write error: {_describe(error)}")
        return 1
    return status

