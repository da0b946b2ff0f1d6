"""Helpers shared by the test modules: errors and their messages, argument
subclasses, a recording stream, writer checks and a child interpreter.

The byte builders live in pngbytes and bmpbytes.
"""
import io
import json
import os
import subprocess
import sys
import tempfile
import textwrap

import pytest

import Lumivex.rasterCore_ext as rc

# The directory holding the package this run imported, so that a child
# interpreter loads the same build and not a source tree in its working dir.
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(rc.__file__)))


# --- errors -------------------------------------------------------------------

def expect_error(exc_type, message, call, *args):
    """Call and require `exc_type` with exactly the text `message`."""
    with pytest.raises(exc_type) as exc:
        call(*args)
    assert str(exc.value) == message
    return exc.value


def exact_type_message(param, expected, value):
    """The refusal of `value` for a parameter of exact type `expected`."""
    head = "Argument '%s' has incorrect type (expected %s, got %s)" % (
        param, expected.__name__, type(value).__name__)
    return head + ". " + SUBCLASS_NOTE if isinstance(value, expected) else head


# struct's refusal of a negative value for an unsigned field, reworded in 3.12.
if sys.version_info >= (3, 12):
    UNSIGNED_RANGE = "'I' format requires 0 <= number <= 4294967295"
else:
    UNSIGNED_RANGE = "argument out of range"
NONE_TO_BYTEARRAY = "cannot convert 'NoneType' object to bytearray"
STR_TO_BYTEARRAY = "string argument without an encoding"
SUBCLASS_NOTE = ("Note that parameters annotated with a built-in type are enforced "
                 "strictly: instances of its subclasses are rejected.")


# --- argument types -----------------------------------------------------------

class BytesSub(bytes):
    pass


class ByteArraySub(bytearray):
    pass


class StrSub(str):
    pass


class TupleSub(tuple):
    pass


class ImageSub(rc.SimpleImage):
    pass


class IntLike:
    """Converts to `value` through __int__ only."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class RecordingStream:
    """A binary stream over bytes that logs every call as ("read", n) or
    ("seek", offset) and keeps the objects its reads returned in `results`."""

    def __init__(self, data):
        self._io = io.BytesIO(data)
        self.calls = []
        self.results = []

    def read(self, n):
        self.calls.append(("read", n))
        result = self._io.read(n)
        self.results.append(result)
        return result

    def seek(self, offset):
        self.calls.append(("seek", offset))
        return self._io.seek(offset)

    def tell(self):
        return self._io.tell()


class ShiftingStream(io.BytesIO):
    """A stream over `data` that passes a format test on its first read, then,
    from its first seek on, starts with `start` instead."""

    def __init__(self, data, start):
        super().__init__(data)
        self._start = start

    def seek(self, offset, *args):
        super().seek(0)
        self.write(self._start)
        return super().seek(offset, *args)


# --- writers --------------------------------------------------------------------

# Image shapes every writer must round-trip: single rows and columns, widths
# 1 to 9 (every BMP padding), empty images and one of moderate size.
ROUND_TRIP_SHAPES = ([(1, n) for n in (1, 2, 5, 17)] + [(n, 1) for n in (2, 5, 17)]
                     + [(w, 3) for w in range(1, 10)] + [(0, 1), (0, 4), (64, 48)])


def assert_write_fails_leaving_path(path, call, exc, message, existing):
    """`call(path)` raises `exc` with `message`; a file already at `path`
    keeps its bytes, and none is created."""
    if existing is not None:
        path.write_bytes(existing)
    expect_error(exc, message, call, str(path))
    if existing is None:
        assert not path.exists()
    else:
        assert path.read_bytes() == existing


# --- a fresh interpreter ------------------------------------------------------

def run_ok(code, *argv, flags=(), cwd=None, timeout=300):
    """Run `code` (dedented, with `argv`) in a fresh interpreter that imports
    this run's build, with extra interpreter `flags`; require success within
    `timeout` seconds and return the output."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (PACKAGE_ROOT, env.get("PYTHONPATH")) if p)
    proc = subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code), *argv], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=timeout,
                          cwd=str(cwd or tempfile.gettempdir()))
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def assert_deleted_name_raises(name, call, cwd, prelude="", absent=None):
    """In a fresh interpreter (after `prelude`), deleting the module name `name`
    makes the statement `call` raise NameError for it; `absent`, when given,
    is a file that must not exist afterwards."""
    run_ok(prelude + """
    import os
    from Lumivex import rasterCore_ext as rc
    del rc.{name}
    try:
        {call}
    except NameError as exc:
        assert str(exc) == "name '{name}' is not defined", exc
    else:
        raise AssertionError("no NameError")
    assert {absent!r} is None or not os.path.exists({absent!r})
    """.format(name=name, call=call, absent=absent), cwd=cwd)


_PEAK_SCRIPT = """
import json, resource, sys
{prepare}
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    {action}
    outcome = None
except BaseException as exc:
    outcome = [type(exc).__name__, str(exc)]
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({{"grew_kb": after - before, "error": outcome}}))
"""


def peak_rss_growth_kb(prepare, action):
    """Run `prepare` then the one-line `action` in a fresh interpreter.

    Returns (growth of the peak resident set in KiB over the action,
    [exception type name, message] or None).
    """
    out = run_ok(_PEAK_SCRIPT.format(prepare=prepare, action=action))
    result = json.loads(out.strip().splitlines()[-1])
    return result["grew_kb"], result["error"]
