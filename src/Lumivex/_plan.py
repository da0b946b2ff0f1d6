"""Which output each input of a batch gets: the inputs found in folders (regular
files only, never the output folder), and the refusal of any plan in which an
output would replace an input."""
from __future__ import annotations

import os
import stat

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Dict, List, Optional, Sequence, Set, Tuple, Union

from Lumivex._batch import FORMATS, READ_SUFFIXES, Job, Result, describe

__all__ = ["PlanError", "plan", "plan_in_place", "unknown_suffix"]


class PlanError(ValueError):
    """A batch whose output would replace one of its inputs."""

    def __init__(self, source: str, target: str, replaced: str) -> None:
        super().__init__(f"the output {target} of {source} would replace the input {replaced}")
        self.source = source
        self.target = target
        self.replaced = replaced


def unknown_suffix(suffix: str) -> str:
    return f"cannot tell the output format from the suffix {suffix or '(none)'!r}: use .bmp or .png"


if TYPE_CHECKING:
    Identity = Tuple[int, int]  # a file's (device, inode)

if TYPE_CHECKING:
    # What a folder holds that a batch takes: (path relative to the folder, why it cannot be read or None).
    Found = List[Tuple[str, Optional[str]]]


def plan(inputs: Sequence[str], out_dir: str, format: str, recursive: bool = False) -> List[Union[Job, Result]]:
    """A job for each file of `inputs` (files, or folders whose regular .png
    and .bmp files are taken, in sorted order, descending with `recursive` but
    never through a linked folder nor into `out_dir`), each output under
    `out_dir` at its input's path relative to the folder argument it came from
    (a file argument: its name), with the format's suffix; in their place, as
    failed results, the inputs that cannot be converted: a missing input, a
    FIFO, socket or device found in a folder, or a second input whose output
    another already has. Raises PlanError, before anything is written, when
    an output would replace an input."""
    planned: List[Union[Job, Result]] = []
    owners: Dict[str, str] = {}
    skipped = _identity(out_dir)
    for source, relative, problem, in_folder in _inputs(inputs, recursive, skipped):
        if problem is not None:
            planned.append(Result(source, None, problem, source))
            continue
        target = os.path.join(out_dir, os.path.splitext(relative)[0] + "." + format)
        key = os.path.normpath(target)
        if key in owners:
            planned.append(Result(source, None, f"its output {target} is already that of {owners[key]}", source))
            continue
        owners[key] = source
        planned.append(Job(source, target, make_folder=True, regular_only=in_folder))
    _refuse_outputs_over_inputs(planned)
    return planned


def plan_in_place(inputs: Sequence[str], recursive: bool = False) -> List[Union[Job, Result]]:
    """A job for each file `plan` would take from `inputs` that replaces it
    with its own conversion, in the format its suffix names; a linked file's
    target is replaced (the link stays), once however many links lead to it."""
    planned: List[Union[Job, Result]] = []
    seen: Set[Identity] = set()
    for source, _, problem, _ in _inputs(inputs, recursive, None):
        if problem is not None:
            planned.append(Result(source, None, problem, source))
            continue
        identity = _identity(source)
        if identity is not None and identity in seen:
            continue
        if identity is not None:
            seen.add(identity)
        target = os.path.realpath(source) if os.path.islink(source) else source
        suffix = os.path.splitext(source)[1].lower()
        if suffix[1:] not in FORMATS:
            planned.append(Result(source, None, unknown_suffix(suffix), source))
            continue
        # Only a regular file can be replaced by its conversion, a named one too.
        planned.append(Job(source, target, regular_only=True, format=suffix[1:]))
    return planned


def _inputs(inputs: Sequence[str], recursive: bool, skipped: Optional[Identity],
            ) -> List[Tuple[str, str, Optional[str], bool]]:
    """(path, path relative to its argument, why it cannot be read or None,
    whether it was found in a folder) of each input file."""
    found: List[Tuple[str, str, Optional[str], bool]] = []
    for argument in inputs:
        if os.path.isdir(argument):
            found.extend((os.path.join(argument, relative), relative, problem, True)
                         for relative, problem in _images_in(argument, recursive, skipped))
        elif os.path.lexists(argument):
            found.append((argument, os.path.basename(argument), None, False))
        else:
            found.append((argument, argument, describe(FileNotFoundError(2, os.strerror(2), argument)), False))
    return found


def _images_in(folder: str, recursive: bool, skipped: Optional[Identity]) -> Found:
    """The files of `folder` with a .png or .bmp suffix in any case, sorted.
    Linked folders are not entered, nor the folder `skipped` (the batch's
    output folder, which a rerun would otherwise read as input). Only regular
    files (or links to them) are read: opening a FIFO would wait for a writer
    forever."""
    found: Found = []
    pending = [""]
    while pending:
        relative_root = pending.pop()
        try:
            with os.scandir(os.path.join(folder, relative_root)) as entries:
                listed = list(entries)
        except OSError:
            continue  # a folder that cannot be listed holds nothing to read, as os.walk has it
        for entry in listed:
            relative = os.path.normpath(os.path.join(relative_root, entry.name))
            if entry.is_dir(follow_symlinks=False):
                if recursive and _identity(entry.path) != skipped:
                    pending.append(relative)
            elif os.path.splitext(entry.name)[1].lower() in READ_SUFFIXES:
                found.append((relative, _not_regular(entry.path)))
    return sorted(found)


def _identity(path: str) -> Optional[Identity]:
    try:
        info = os.stat(path)
    except (OSError, ValueError):
        return None
    return info.st_dev, info.st_ino


def _not_regular(path: str) -> Optional[str]:
    """Why the file at `path` (a link followed) cannot be read as an image file, or None."""
    try:
        info = os.stat(path)
    except OSError as error:
        return describe(error)
    return None if stat.S_ISREG(info.st_mode) else "not a regular file"


def _refuse_outputs_over_inputs(planned: Sequence[Union[Job, Result]]) -> None:
    """Raises PlanError when an output is an input, by identity (so that
    links and case-insensitive file systems count) or by path."""
    inputs: Dict[object, str] = {}
    for entry in planned:
        identity = _identity(entry.source)
        inputs[identity if identity is not None else os.path.abspath(entry.source)] = entry.source
    for entry in planned:
        if isinstance(entry, Job):
            identity = _identity(entry.target)
            replaced = inputs.get(identity if identity is not None else os.path.abspath(entry.target))
            if replaced is not None:
                raise PlanError(entry.source, entry.target, replaced)
