"""Shared fixtures: running code in a fresh interpreter."""
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


def run_python(code, flags=(), timeout=120, cwd=None):
    """Run `code` in a fresh interpreter (with extra `flags`); return the CompletedProcess."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (PACKAGE_ROOT, env.get("PYTHONPATH")) if p)
    return subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=timeout, cwd=str(cwd or tempfile.gettempdir()))


def run_ok(code, cwd=None):
    """Run `code` in a fresh interpreter in `cwd`, require success, return its output."""
    proc = run_python(code, cwd=cwd)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.fixture(name="run_python")
def run_python_fixture():
    return run_python


def expect_error(exc_type, message, call, *args):
    """Call and require `exc_type`; with a message, require exactly that text."""
    with pytest.raises(exc_type) as exc:
        call(*args)
    if message is not None:
        assert str(exc.value) == message
    return exc.value


# Image shapes every writer must round-trip: single rows and columns, widths
# 1 to 9 (every BMP padding), empty images and one of moderate size.
ROUND_TRIP_SHAPES = ([(1, n) for n in (1, 2, 5, 17)] + [(n, 1) for n in (2, 5, 17)]
                     + [(w, 3) for w in range(1, 10)] + [(0, 1), (0, 4), (64, 48)])


def assert_write_fails_leaving_path(path, call, exc, existing, message=None):
    """`call(path)` raises `exc`; a file already at `path` keeps its bytes, none is created."""
    if existing is not None:
        path.write_bytes(existing)
    expect_error(exc, message, call, str(path))
    if existing is None:
        assert not path.exists()
    else:
        assert path.read_bytes() == existing


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
