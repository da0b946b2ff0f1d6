"""The page `make bench` leaves its tables in: docs/benchmarks.md, replaced by
each run, headed by the machine, the date and the commit measured. Earlier
runs are in git's history of the page."""
import contextlib
import datetime
import io
import os
import platform
import subprocess
import sys

HEADING = "# Benchmark results"


class _Tee(io.TextIOBase):
    """Writes to the console as before and keeps a copy."""

    def __init__(self, console):
        self.console, self.copy = console, io.StringIO()

    def write(self, text):
        self.copy.write(text)
        return self.console.write(text)

    def flush(self):
        self.console.flush()


def _git(*arguments):
    try:
        return subprocess.run(["git", *arguments], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              universal_newlines=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return ""


def _cpu_model():
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def header():
    """Who measured what: the machine, the date and the commit."""
    commit = _git("rev-parse", "--short", "HEAD") or "unknown"
    if _git("status", "--porcelain", "--untracked-files=no"):
        commit += " with uncommitted changes"
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    return (f"<!-- Written by `make bench` (bench/results_page.py): each run replaces this file. -->\n\n"
            f"{HEADING}\n\nMachine: {_cpu_model()}, {os.cpu_count()} CPUs, {platform.system()} "
            f"{platform.release()}, Python {sys.version.split()[0]}. Date: {when}. Commit: {commit}.\n\n"
            f"Figures move by ±20 % or more on a shared machine: compare ratios from the same run only.\n\n")


@contextlib.contextmanager
def recorded(path, append=False):
    """Copies what the block prints into `path`: a new page with its header, or
    (append=True) added to the page an earlier step of the same run began. A
    run that fails leaves the page as it was."""
    if not path:
        yield
        return
    tee = _Tee(sys.stdout)
    sys.stdout = tee
    try:
        yield
    finally:
        sys.stdout = tee.console
    text = tee.copy.getvalue().strip() + "\n"
    if append and os.path.exists(path):
        with open(path, "a", encoding="utf-8") as page:
            page.write("\n" + text)
    else:
        with open(path, "w", encoding="utf-8") as page:
            page.write(header() + text)
    print(f"(tables written to {path})", file=sys.stderr)
