"""What `import Lumivex` costs against `import PIL.Image`, as `-X importtime` reports it.

    .venv/bin/python bench/import_time.py [--runs 21]
    .venv-3.13/bin/python bench/import_time.py

Each import runs in a fresh interpreter (the two alternate, so that drift in
the machine's speed hits both alike); the figure is the cumulative time of the
module's own line in `python -X importtime -c "import MODULE"`, and the table
gives the median of the runs. It then lists the modules that
`import Lumivex` and `lumivex --version` load beyond a bare interpreter's, so
that a new import at start shows up by name.
"""
import argparse
import statistics
import subprocess
import sys

TARGET = 0.25  # Lumivex's import at most this fraction of Pillow's

# What the `lumivex` script runs, with its one argument.
VERSION_COMMAND = "import sys; sys.argv = ['lumivex', '--version']; from Lumivex.__main__ import main; main()"


def cumulative_microseconds(module):
    """The cumulative time of `module`'s line in a fresh interpreter's -X importtime report."""
    run = subprocess.run([sys.executable, "-X", "importtime", "-c", f"import {module}"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, check=True)
    for line in run.stderr.splitlines():
        # "import time:      self [us] | cumulative | imported package"
        fields = line.split("|")
        if len(fields) == 3 and fields[2].strip() == module:
            return int(fields[1])
    raise RuntimeError(f"no -X importtime line for {module}:\n{run.stderr}")


def modules_loaded(code):
    """The modules a fresh interpreter holds after `code`, beyond those it starts with."""
    show = "import sys; print('--modules--'); print('\\n'.join(sorted(sys.modules)))"

    def listed(prefix):
        run = subprocess.run([sys.executable, "-c", f"{prefix}\n{show}"], stdout=subprocess.PIPE,
                             universal_newlines=True, check=True)
        return set(run.stdout.split("--modules--", 1)[1].split())

    return sorted(listed(code) - listed("pass"))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=21, help="fresh interpreters per module (default 21)")
    args = parser.parse_args(argv)
    ours, pillow = [], []
    for _ in range(args.runs):
        ours.append(cumulative_microseconds("Lumivex"))
        pillow.append(cumulative_microseconds("PIL.Image"))
    import PIL

    ratio = statistics.median(ours) / statistics.median(pillow)
    print(f"Python {sys.version.split()[0]}, Pillow {PIL.__version__}; median of {args.runs} fresh interpreters, "
          f"-X importtime's cumulative line\n")
    print("| import | median | ratio | target |")
    print("|---|---:|---:|---:|")
    print(f"| Lumivex | {statistics.median(ours) / 1e3:.2f} ms | {ratio:.3f}× | ≤ {TARGET:.2f}× "
          f"{'ok' if ratio <= TARGET else '**over**'} |")
    print(f"| PIL.Image | {statistics.median(pillow) / 1e3:.2f} ms | | |")
    print(f"\n`import Lumivex` loads: {', '.join(modules_loaded('import Lumivex'))}")
    print(f"`lumivex --version` loads: {', '.join(modules_loaded(VERSION_COMMAND))}")


if __name__ == "__main__":
    main()
