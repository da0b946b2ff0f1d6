"""The compact PNG writer: per-row filter choice and strong deflate for small
files, and safe replacement when writing to a path.

``SimpleImage.save`` writes the module's fixed bytes (no filtering, zlib's
default level); these functions trade that fixed output for size.
"""
import errno
import os
import secrets
import stat
from typing import BinaryIO, Dict, Optional, Union

from .rasterCore_ext import SimpleImage
# After the extension, whose refusal of a second interpreter comes first.
from ._native import ADAPTIVE_FILTER, STRONGEST_LEVEL, encodePng
# The deflate library this build links: "libdeflate", or "zlib" without it.
from ._native import DEFLATE_BACKEND

__all__ = ["DEFLATE_BACKEND", "FILTERS", "encode_png", "write_png"]

#: Filter strategies by name: one PNG filter type on every row, or "adaptive",
#: which picks per row the filter whose output has the least sum of absolute
#: values (each byte read as signed).
FILTERS: Dict[str, int] = {"none": 0, "sub": 1, "up": 2, "average": 3, "paeth": 4, "adaptive": ADAPTIVE_FILTER}

DEFAULT_LEVEL = 6


def _level_code(level: Union[int, str]) -> int:
    if level == "strongest":
        return STRONGEST_LEVEL
    if isinstance(level, bool) or not isinstance(level, int):
        raise TypeError("level must be an int from 1 to 9 or \"strongest\", not %s" % type(level).__name__)
    if not 1 <= level <= 9:
        raise ValueError("level must be from 1 to 9 or \"strongest\", got %d" % level)
    return level


def _filter_code(filter: str) -> int:
    try:
        return FILTERS[filter]
    except (KeyError, TypeError):
        raise ValueError("filter must be one of %s, got %r" % (", ".join(map(repr, FILTERS)), filter)) from None


def encode_png(image: SimpleImage, level: Union[int, str] = DEFAULT_LEVEL, filter: str = "adaptive") -> bytes:
    """Encode `image` (a SimpleImage) as an 8-bit RGB PNG file; return its bytes.

    level: 1 (fastest) to 9 (smallest) as zlib means them, or "strongest"
    (libdeflate's level 12; zlib's 9 in a build without libdeflate).
    filter: "adaptive" (the default), "none", "sub", "up", "average" or "paeth".
    At the "strongest" level, "adaptive" also tries no filtering at all and
    keeps what deflates smaller (flat graphics often do better unfiltered).
    The work runs without the GIL; with two or more cores, an image of over a
    megabyte of scanlines is filtered and deflated on two threads.

    Raises ValueError for an image PNG cannot hold (a width or height below 1)
    or whose pixel buffer is not exactly width x height x 3 bytes.
    """
    if not isinstance(image, SimpleImage):
        raise TypeError("image must be a SimpleImage, not %s" % type(image).__name__)
    level_code, filter_code = _level_code(level), _filter_code(filter)
    return encodePng(image.width, image.height, image._pixels, level_code, filter_code)


def write_png(image: SimpleImage, dest: Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", BinaryIO],
              level: Union[int, str] = DEFAULT_LEVEL, filter: str = "adaptive") -> None:
    """Encode `image` as encode_png does and write it to `dest`: a path (str,
    bytes or os.PathLike) or a binary file object with a ``write`` method.

    A path is replaced atomically: the file is written in full to a temporary
    file in the same folder, flushed and fsync'ed, then renamed over the path in
    one step, and the folder is fsync'ed. Readers see the old file or the new
    one, never part of either; on any failure the temporary file is removed and
    what was at the path is left as it was. What ``open(path, "wb")`` would
    refuse (a file, or a link's target, this process may not write; a folder)
    is refused with the same error, and every error names the path. Replacing makes a new file (a new
    inode: hard links to the old file keep the old contents); a symbolic link
    at the path is itself replaced, not followed. An existing regular file's
    permission bits are kept; a new file gets 0o666 less the umask, as
    ``open(path, "wb")`` would.

    A file object gets the bytes in one ``write`` call, with no atomicity.
    """
    data = encode_png(image, level, filter)
    if hasattr(dest, "write"):
        dest.write(data)
        return
    _replace_atomically(os.fspath(dest), data)


def _replace_atomically(path: Union[str, bytes], data: bytes) -> None:
    folder = os.path.dirname(path) or (b"." if isinstance(path, bytes) else ".")
    _refuse_unwritable(path)
    mode = _kept_mode(path)
    while True:
        # The name is chosen before the file exists, so that from the moment it
        # does, any exception (Ctrl-C too) finds it to remove.
        temp_path = _temp_path(folder)
        try:
            _write_new_file(temp_path, data, mode)
            os.replace(temp_path, path)
        except FileExistsError:
            continue  # only the exclusive creation raises it: the name is another file's
        except BaseException as error:
            _remove_quietly(temp_path)
            if isinstance(error, OSError) and error.errno is not None:
                # Report it as open(path, "wb") would: about the destination.
                raise OSError(error.errno, error.strerror, path) from None
            raise
        break
    _fsync_folder(folder)


def _refuse_unwritable(path: Union[str, bytes]) -> None:
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


def _kept_mode(path: Union[str, bytes]) -> Optional[int]:
    """The permission bits of a regular file at path, or None (new-file mode)."""
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        return None
    return stat.S_IMODE(info.st_mode) if stat.S_ISREG(info.st_mode) else None


def _temp_path(folder: Union[str, bytes]) -> Union[str, bytes]:
    name = ".lumivex-%s.png.tmp" % secrets.token_hex(8)
    return os.path.join(folder, os.fsencode(name)) if isinstance(folder, bytes) else os.path.join(folder, name)


def _write_new_file(temp_path: Union[str, bytes], data: bytes, mode: Optional[int]) -> None:
    """Creates temp_path, failing if it exists, with mode 0o666 (the kernel
    applies the umask, race-free) or `mode`, close-on-exec, and writes data
    durably. A file object rather than a bare descriptor: if an exception cuts
    in before the with block, dropping the object closes the file."""
    with open(temp_path, "xb") as temp:
        if mode is not None:
            os.fchmod(temp.fileno(), mode)
        temp.write(data)
        temp.flush()
        os.fsync(temp.fileno())


def _remove_quietly(path: Union[str, bytes]) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass  # never made, or already renamed


def _fsync_folder(folder: Union[str, bytes]) -> None:
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
