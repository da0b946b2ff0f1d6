"""What every fuzz target shares: the exceptions a caller may see, outcomes, start-up."""
import os
import shlex
import struct
import sys
import tempfile
import zlib

import atheris

# Any exception outside this set escaping a call is a finding.
DOCUMENTED = (ValueError, TypeError, OverflowError, MemoryError, IndexError, struct.error, zlib.error)


class StreamFault(Exception):
    """Raised on purpose by the targets' own streams; must reach the caller unchanged."""


def outcome(call, *args, allowed=DOCUMENTED):
    """('ok', result) or ('raised', type, message); exceptions outside `allowed` propagate."""
    try:
        return ("ok", call(*args))
    except allowed as error:
        return ("raised", type(error), str(error))


def image_state(image):
    """What two decodes of the same bytes must agree on."""
    return image.size, bytes(image._pixels)


def decoded(call, *args):
    """outcome() of an open, with the image reduced to its state."""
    result = outcome(call, *args)
    return ("ok", image_state(result[1])) if result[0] == "ok" else result


def describe(result):
    """A short text for an outcome, for assertion messages."""
    if result[0] == "ok":
        value = result[1]
        return "ok %r" % (value[0],) if isinstance(value, tuple) and len(value) == 2 else "ok"
    return "%s: %s" % (result[1].__name__, result[2][:200])


def scratch_path(name):
    """A file path in a directory private to this process, reused by every input."""
    directory = getattr(scratch_path, "directory", None)
    if directory is None:
        directory = scratch_path.directory = tempfile.mkdtemp(prefix="lumivex-fuzz-")
    return os.path.join(directory, name)


def reported(test_one_input):
    """test_one_input, naming any exception on one "ERROR:" line before it escapes.

    In -fork mode libFuzzer copies only such lines of a worker's log into its own.
    """
    def wrapper(data):
        try:
            test_one_input(data)
        except BaseException as error:
            message = str(error).splitlines()[0][:300] if str(error) else ""
            sys.stderr.write("ERROR: uncaught %s: %s\n" % (type(error).__name__, message))
            raise
    return wrapper


def run(test_one_input):
    """Hands control to libFuzzer (preloaded with the sanitizers by fuzz/run.py)."""
    # In -fork mode libFuzzer starts its workers by handing its own argv to
    # the shell, so the first word must start this script, not name it.
    script = os.path.abspath(sys.argv[0])
    argv = [shlex.quote(sys.executable) + " " + shlex.quote(script)] + sys.argv[1:]
    atheris.Setup(argv, reported(test_one_input))
    atheris.Fuzz()
