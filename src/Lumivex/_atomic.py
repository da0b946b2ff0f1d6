"""Replacing a file atomically: the new contents are written in full to a
temporary file in the same folder, flushed and fsync'ed, then renamed over the
path in one step, and the folder is fsync'ed. Readers see the old file or the
new one, never part of either; on any failure (Ctrl-C included) the temporary
file is removed and what was at the path is left as it was.
"""
from __future__ import annotations

import errno
import os
import stat
import threading

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import BinaryIO, Callable, List, Optional, Set, Union

if TYPE_CHECKING:
    Path = Union[str, bytes]

#: Temporary files start with this, so that they can be told from the user's.
TEMP_PREFIX = ".lumivex-"


class Interrupted(BaseException):
    """Raised in a write asked to stop before its output is put in place."""


class TempFiles:
    """The temporary files of a batch's writes, so that an interrupt can
    remove them all, those of writes still running on other threads included.
    Once closed, no write of the batch makes a new one or puts one in place:
    each raises Interrupted instead."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._paths: Set[Path] = set()
        self._closed = False

    def create(self, path: Path) -> BinaryIO:
        """Creates `path` as open(path, "xb") does, and keeps it in the set."""
        with self._lock:
            if self._closed:
                raise Interrupted
            temp = open(path, "xb")
            self._paths.add(path)
        return temp

    def replace(self, temp_path: Path, path: Path) -> None:
        """Renames `temp_path` over `path`, unless the set is closed."""
        with self._lock:
            if self._closed:
                raise Interrupted
            os.replace(temp_path, path)
            self._paths.discard(temp_path)

    def close(self) -> None:
        """Removes every temporary file still in the set; later writes are refused."""
        with self._lock:
            self._closed = True
            for path in self._paths:
                _remove_quietly(path)
            self._paths.clear()


def replace_atomically(path: Path, write: Callable[[BinaryIO], object], tag: str = "",
                       temps: Optional[TempFiles] = None) -> None:
    """Replaces `path` with what `write` writes to the binary file it is given.
    The temporary file's name starts with TEMP_PREFIX and `tag`, so that the
    ones a killed process leaves can be found (`leftovers`); with `temps`, it
    is made, renamed and (on an interrupt) removed through that set.

    What ``open(path, "wb")`` would refuse (a file, or a link's target, this
    process may not write; a folder) is refused with the same error, and every
    OSError names the path, never the temporary file. Replacing makes a new
    file (a new inode); a symbolic link at the path is itself replaced, not
    followed. An existing regular file's permission bits are kept; a new file
    gets 0o666 less the umask.
    """
    folder = os.path.dirname(path) or (b"." if isinstance(path, bytes) else ".")
    _refuse_unwritable(path)
    mode = _kept_mode(path)
    suffix = os.path.splitext(os.fsdecode(path))[1]
    while True:
        # The name is chosen before the file exists, so that from the moment it
        # does, any exception (Ctrl-C too) finds it to remove.
        temp_path = _temp_path(folder, tag, suffix)
        try:
            _write_new_file(temp_path, write, mode, temps)
            if temps is None:
                os.replace(temp_path, path)
            else:
                temps.replace(temp_path, path)
        except FileExistsError:
            continue  # only the exclusive creation raises it: the name is another file's
        except BaseException as error:
            _remove_quietly(temp_path)
            if isinstance(error, OSError):
                # Report it as open(path, "wb") would: about the destination.
                code = error.errno if error.errno is not None else errno.EIO
                raise OSError(code, error.strerror or str(error) or os.strerror(code), path) from None
            raise
        break
    _fsync_folder(folder)


def leftovers(folder: str, tag: str) -> List[str]:
    """Paths of the temporary files in `folder` whose names carry `tag`: those
    of writes that never finished (a process killed while writing)."""
    try:
        names = os.listdir(folder)
    except OSError:
        return []
    mine = TEMP_PREFIX + tag
    return [os.path.join(folder, name) for name in names if name.startswith(mine) and name.endswith(".tmp")]


def _refuse_unwritable(path: Path) -> None:
    """Refuses what open(path, "wb") refuses although replacing needs only the
    folder's permission: a folder, or a file (a link's target) this process may
    not write. A check, not a guard: the folder's permission is what protects.
    os.access asks as the real user, who is open's effective user in all but
    set-user-ID programs."""
    try:
        info = os.stat(path)
    except FileNotFoundError:
        return  # nothing there, or a dangling link: open would make a new file
    if stat.S_ISDIR(info.st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    if not os.access(path, os.W_OK):
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)


def _kept_mode(path: Path) -> Optional[int]:
    """The permission bits of a regular file at path, or None (new-file mode)."""
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        return None
    return stat.S_IMODE(info.st_mode) if stat.S_ISREG(info.st_mode) else None


def _temp_path(folder: Path, tag: str, suffix: str) -> Path:
    name = "%s%s%s%s.tmp" % (TEMP_PREFIX, tag, os.urandom(8).hex(), suffix)
    return os.path.join(folder, os.fsencode(name)) if isinstance(folder, bytes) else os.path.join(folder, name)


def _write_new_file(temp_path: Path, write: Callable[[BinaryIO], object], mode: Optional[int],
                    temps: Optional[TempFiles] = None) -> None:
    """Creates temp_path, failing if it exists, with mode 0o666 (the kernel
    applies the umask, race-free) or `mode`, close-on-exec, and has `write`
    fill it, durably. A file object rather than a bare descriptor: if an exception cuts
    in before the with block, dropping the object closes the file."""
    with (open(temp_path, "xb") if temps is None else temps.create(temp_path)) as temp:
        if mode is not None:
            os.fchmod(temp.fileno(), mode)
        write(temp)
        temp.flush()
        os.fsync(temp.fileno())


def _remove_quietly(path: Path) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass  # never made, or already renamed


def _fsync_folder(folder: Path) -> None:
    """Makes the rename itself durable. Some file systems cannot fsync a folder;
    the replacement has happened by then, so that is not an error."""
    try:
        fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
