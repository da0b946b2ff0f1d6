"""The command line: `python -m Lumivex` or `lumivex`.

    lumivex info FILE...                         each file's format, size and stored layout
    lumivex convert IN OUT                       write IN as PNG or BMP, chosen by OUT's suffix
                                                 ("-": standard input or output, with --format)
    lumivex convert INPUT... --out-dir DIR       convert files and folders of them, on threads
    lumivex convert INPUT... --in-place          replace each file by its conversion, same format

PNG output goes through the compact writer (`Lumivex.write_png`: filtered rows,
strong deflate, the file replaced atomically); `--exact` writes instead the
fixed bytes of `SimpleImage.save`.

Files are opened with the pixel cap of `Lumivex.open` (`--max-pixels`). A
user's mistake (a missing file, a format this codec does not read, a wrong
suffix) or failed output (stdout on a full disk, or closed) is reported in one
line on stderr and exit status 1, never a traceback. A batch whose output would
replace one of its inputs is refused before anything is written (exit status
2). Ctrl-C, SIGTERM and SIGHUP stop a batch at once, removing its temporary
files (exit status 130, 143, 129). File names are printed as
the file system holds them, a byte the output's encoding cannot decode shown as
\\xNN.
"""
from __future__ import annotations

import argparse
import os
import sys
import threading

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Iterator, Optional, Sequence, Union

from Lumivex import _batch
from Lumivex._atomic import TempFiles
from Lumivex._batch import FORMATS, STANDARD_STREAM, USER_ERRORS, Job, Options, Result
from Lumivex._batch import describe as _describe
from Lumivex._plan import PlanError, plan, plan_in_place, unknown_suffix
from Lumivex import _cli_arguments as option_values
from Lumivex._cli_signals import SignalsAsInterrupts, exit_now
from Lumivex._threads import WORKER_NAME, run_threads
from Lumivex._capped import DEFAULT_MAX_PIXELS, PixelLimitError, read_header
from Lumivex._cli_output import PROGRAM, BatchReport, complain, report, say, shown, silence
from Lumivex._header_text import as_json, layout_text, metadata_text
from Lumivex.compact import COLOURS, DEFAULT_LEVEL

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
        metadata = _metadata(path)
        if arguments.json:
            say(as_json(shown(path, sys.stdout), header, None, metadata))
        else:
            say(f"{shown(path, sys.stdout)}: {header.format}, {header.width} x {header.height}, {layout_text(header)}"
                f"{metadata_text(metadata)}")
    return status


def _metadata(path: str) -> Dict[str, Any]:
    """What read_metadata finds, or nothing: info describes the headers also of
    files whose chunks are damaged or cut short."""
    from Lumivex._metadata import read_metadata
    try:
        return read_metadata(path)
    except USER_ERRORS:
        return {}


def _options(arguments: argparse.Namespace, format: str) -> Options:
    level = DEFAULT_LEVEL if arguments.level is None else arguments.level
    return Options(format, level, arguments.exact, arguments.max_pixels, arguments.colour or "auto")


def _conflicts(arguments: argparse.Namespace) -> Optional[str]:
    """What is wrong with the options together, if anything."""
    if arguments.exact and arguments.level is not None:
        return "--exact writes PNG as SimpleImage.save does, at zlib's default level: it takes no --level"
    if arguments.exact and arguments.colour is not None:
        return "--exact writes PNG as SimpleImage.save does, in 8-bit RGB: it takes no --colour"
    if arguments.in_place:
        if arguments.out_dir is not None:
            return "--in-place replaces each input: it takes no --out-dir"
        if STANDARD_STREAM in arguments.inputs:
            return "--in-place replaces files: '-' (standard input) cannot be one"
        return None
    if arguments.out_dir is not None:
        if STANDARD_STREAM in arguments.inputs:
            return "'-' (standard input) is for IN OUT, not for a batch with --out-dir"
        return None
    if len(arguments.inputs) != 2:
        return ("several inputs need --out-dir DIR or --in-place" if len(arguments.inputs) > 2
                else "give IN and OUT, or inputs and --out-dir DIR")
    if arguments.recursive:
        return "--recursive goes with --out-dir DIR or --in-place"
    target = arguments.inputs[1]
    if target == STANDARD_STREAM:
        if arguments.format is None:
            return "writing to standard output ('-') needs --format png or --format bmp"
        if sys.stdout is not None and sys.stdout.isatty():
            return "standard output is a terminal: redirect it to a file or a pipe to write an image there"
        return None
    suffix = os.path.splitext(target)[1].lower()
    if arguments.format is not None and suffix in (".png", ".bmp") and suffix[1:] != arguments.format:
        return f"--format {arguments.format} does not match OUT's suffix {suffix!r}"
    return None


def _convert(arguments: argparse.Namespace) -> int:
    conflict = _conflicts(arguments)
    if conflict is not None:
        complain(conflict)
        return 2
    if arguments.out_dir is None and not arguments.in_place:
        return _convert_one(arguments, *arguments.inputs)
    return _convert_many(arguments)


def _convert_one(arguments: argparse.Namespace, source: str, target: str) -> int:
    suffix = os.path.splitext(target)[1].lower()
    format = arguments.format or suffix[1:]
    if target != STANDARD_STREAM and suffix not in (".png", ".bmp"):
        report(target, ValueError(unknown_suffix(suffix)))
        return 1
    for path, role in ((source, "IN"), (target, "OUT")):
        if path != STANDARD_STREAM and os.path.isdir(path):
            report(path, ValueError(f"a folder, where {role} is a file: to convert folders, "
                                     f"give them with --out-dir DIR"))
            return 1
    result = _batch.convert_file(Job(source, target), _options(arguments, format))
    if not result.ok:
        complain(f"{shown(result.error_path or source, sys.stderr)}: {result.error}")
        return 1
    if result.dropped_alpha:
        complain(f"note: the alpha channel of {shown(source, sys.stderr)} is dropped: the output is RGB")
    return 0


def _convert_many(arguments: argparse.Namespace) -> int:
    format = arguments.format or "png"
    if arguments.in_place:
        planned = plan_in_place(arguments.inputs, arguments.recursive)
        other = next((job for job in _jobs_of(planned) if arguments.format not in (None, job.format)), None)
        if other is not None:
            complain(f"{shown(other.source, sys.stderr)}: --in-place keeps each file's format, and this is "
                     f"not {arguments.format}")
            return 2
    else:
        if os.path.exists(arguments.out_dir) and not os.path.isdir(arguments.out_dir):
            report(arguments.out_dir, ValueError("--out-dir is a file, not a folder"))
            return 1
        try:
            planned = plan(arguments.inputs, arguments.out_dir, format, arguments.recursive)
        except PlanError as error:
            complain(f"refused: {shown(str(error), sys.stderr)}: outputs never replace inputs "
                     f"(to convert files in place, use --in-place)")
            return 2
    jobs = list(_jobs_of(planned))
    batch = BatchReport(len(planned), progress=True)
    stop, temps = threading.Event(), TempFiles()
    try:
        for failure in planned:
            if isinstance(failure, Result):
                batch.done(failure)
        threads = arguments.jobs or os.cpu_count() or 1
        run_threads(jobs, _options(arguments, format), threads, batch.done, stop, temps)
    except KeyboardInterrupt as interrupt:
        # The threads still converting are not waited for: their temporary
        # files are gone, and the process ends without them.
        batch.close()
        complain(batch.summary(interrupted=True))
        status = getattr(interrupt, "status", 130)
        if any(thread.name == WORKER_NAME and thread.is_alive() for thread in threading.enumerate()):
            exit_now(status)
        return status
    finally:
        batch.close()
    complain(batch.summary())
    return 1 if batch.failed else 0


def _jobs_of(planned: Sequence[Union[Job, Result]]) -> Iterator[Job]:
    return (entry for entry in planned if isinstance(entry, Job))


class _VersionAction(argparse.Action):
    """--version, looked up only when asked for (importing the package does not)."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: Optional[str] = None) -> None:
        say(_version())
        parser.exit()


def _version() -> str:
    from Lumivex._cli_version import version_line
    return version_line()


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Read, inspect and convert PNG and BMP files with Lumivex.")
    parser.add_argument("--version", action=_VersionAction,
                        help="show the version, the deflate library and Python's version")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    cap = argparse.ArgumentParser(add_help=False)
    cap.add_argument("--max-pixels", type=option_values.max_pixels, default=DEFAULT_MAX_PIXELS, metavar="N",
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
                    "suffix ('-' as IN reads standard input, as OUT writes standard output in the "
                    "--format given); or, with --out-dir, convert every INPUT (files, and the regular .png "
                    "and .bmp files in folders) into DIR, each output at its input's path within the folder "
                    "given; or, with --in-place, replace each INPUT by its conversion in its own format. "
                    "Outputs replace files atomically, never an input of a batch. Exit status 1 if any file "
                    "failed, 2 for conflicting options or an output that would replace an input, 130 when "
                    "interrupted (143 on SIGTERM, 129 on SIGHUP).")
    convert.add_argument("--exact", action="store_true",
                         help="write PNG as SimpleImage.save does (no filtering, zlib's default level) "
                              "instead of the compact writer")
    convert.add_argument("--level", type=option_values.level, default=None, metavar="L",
                         help=f"compact PNG writer's level: 1 to 9 or 'strongest' (default {DEFAULT_LEVEL})")
    convert.add_argument("--colour", choices=sorted(COLOURS),
                         help="compact PNG writer's layout: 'auto' (default) the smallest that holds the image "
                              "exactly (a palette, grey or 8-bit RGB), 'rgb' 8-bit RGB always")
    convert.add_argument("--out-dir", metavar="DIR", help="convert every INPUT into this folder")
    convert.add_argument("--in-place", action="store_true",
                         help="replace each INPUT (and each .png and .bmp file in folders) by its conversion, "
                              "in its own format")
    convert.add_argument("--format", choices=FORMATS,
                         help="the outputs' format: with --out-dir (default png), with OUT '-' (required)")
    convert.add_argument("--recursive", action="store_true",
                         help="with --out-dir or --in-place: descend into subfolders")
    convert.add_argument("--jobs", type=option_values.jobs, metavar="N",
                         help="with --out-dir: files converted at once (default: the number of cores)")
    convert.add_argument("inputs", nargs="+", metavar="INPUT", help="IN OUT, or with --out-dir the inputs")
    convert.set_defaults(run=_convert)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line with `argv` (default: `sys.argv[1:]`); returns the exit status."""
    arguments = _parser().parse_args(None if argv is None else list(argv))
    try:
        with SignalsAsInterrupts():
            status: int = arguments.run(arguments)
        if sys.stdout is not None:
            sys.stdout.flush()
    except KeyboardInterrupt as interrupt:
        return getattr(interrupt, "status", 130)
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

