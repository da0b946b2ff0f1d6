"""Runs every fuzz target for a fixed time and reports what each found.

    python fuzz/run.py --seconds 60 [target ...]

Run with the interpreter of the fuzzing venv (`make fuzz` does). Each target
runs under libFuzzer in fork mode, so that a crash, hang or blow-up is kept
and fuzzing goes on; its growing corpus stays in fuzz/corpus/<target>/, the
inputs behind findings go to fuzz/findings/<target>/ with the run's log, and
each finding is run once more on its own to say what it is.
"""
import argparse
import collections
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import time

import atheris

ROOT = pathlib.Path(__file__).resolve().parent.parent
FUZZ = ROOT / "fuzz"
PNGSUITE = ROOT / "tests" / "data" / "pngsuite"
BMP_SEEDS = FUZZ / "seeds" / "bmp"
COMPACT_SEEDS = FUZZ / "seeds" / "compact_encoder"
NATIVE = ROOT / "build" / "fuzz-native"

IMAGE_DICT = "-dict=%s" % (FUZZ / "images.dict")

# name: (command, seed directories). Python targets run under this interpreter.
TARGETS = {
    "open_image": (["targets/open_image.py", IMAGE_DICT], [PNGSUITE, BMP_SEEDS]),
    "open_path": (["targets/open_path.py", IMAGE_DICT], [PNGSUITE, BMP_SEEDS]),
    "read_chunk": (["targets/read_chunk.py"], []),
    "pixel_api": (["targets/pixel_api.py"], []),
    "zlib_proxy": (["targets/zlib_proxy.py", IMAGE_DICT], [PNGSUITE]),
    "imread_metadata": (["targets/imread_metadata.py", IMAGE_DICT], [PNGSUITE, BMP_SEEDS]),
    "compact_writer": (["targets/compact_writer.py"], []),
    "filter_kernels": ([str(NATIVE / "fuzz_filter")], []),
    "deflate_pieces": ([str(NATIVE / "fuzz_pieces")], []),
    "compact_encoder": ([str(NATIVE / "fuzz_compact")], [COMPACT_SEEDS]),
    "decode": ([str(NATIVE / "fuzz_decode"), IMAGE_DICT], [PNGSUITE, BMP_SEEDS]),
}

LIBFUZZER_FLAGS = [
    "-timeout=10",  # one input taking longer is a hang
    "-rss_limit_mb=2048",
    # Equal to the allocator's own ceiling (max_allocation_size_mb below):
    # anything larger is refused by ASan first and becomes the MemoryError the
    # readers document (a BMP pixel buffer is allocated before its rows are
    # read), so no allocation the readers may legitimately attempt trips it.
    "-malloc_limit_mb=2048",
    "-max_len=16384",
    "-detect_leaks=0",
]
# Workers in separate processes; a finding is kept and fuzzing goes on.
FORK_FLAGS = ["-fork=1", "-ignore_crashes=1", "-ignore_timeouts=1", "-ignore_ooms=1"]
SANITIZER_ENV = {
    "ASAN_OPTIONS": "allocator_may_return_null=1:max_allocation_size_mb=2048:detect_leaks=0:handle_abort=1",
    "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
    # Every Python object from malloc, so that ASan sees reads past a bytes object.
    "PYTHONMALLOC": "malloc",
}
REPRODUCE_AT_MOST = 12  # crash inputs re-run per target to name their fault


def is_python(name):
    return TARGETS[name][0][0].endswith(".py")


def command(name, arguments):
    program = TARGETS[name][0]
    if is_python(name):
        return [sys.executable, str(FUZZ / program[0])] + program[1:] + arguments
    return program + arguments


def environment(name):
    env = dict(os.environ, **SANITIZER_ENV)
    if is_python(name):
        # The extension's sanitizer runtimes and coverage hooks come from this one library.
        env["LD_PRELOAD"] = os.path.join(os.path.dirname(os.path.dirname(atheris.__file__)), "asan_with_fuzzer.so")
        env["PYTHONPATH"] = str(FUZZ / "targets")
    return env


def reason(log):
    """One line saying what stopped a single run."""
    patterns = [
        r"=== Uncaught Python exception: ===\s*\n(.*)",
        r"SUMMARY: (AddressSanitizer: .*)",
        r"SUMMARY: (UndefinedBehaviorSanitizer: .*)",
        r"(runtime error: .*)",
        r"(ALARM: working on the last Unit for \d+ seconds)",
        r"(out-of-memory \(.*)",
        r"ERROR: (libFuzzer: .*)",
    ]
    for pattern in patterns:
        match = re.search(pattern, log)
        if match:
            return normalise(match.group(1))
    return "exited without a known report"


def normalise(line):
    """A report line without addresses, process ids and thread names, for counting."""
    line = re.sub(r"0x[0-9a-f]+", "0x…", line.strip())
    return re.sub(r"\b(pc|bp|sp|thread T)\s*\S+", r"\1 …", line)


def classify(name, artifact):
    """What one saved input does when run alone."""
    kind = artifact.name.split("-", 1)[0]
    if kind == "timeout":
        return "hang: one input ran over 10 s"
    if kind == "oom":
        return "out of memory: over 2 GB resident or one allocation over 2 GB"
    try:
        result = subprocess.run(command(name, LIBFUZZER_FLAGS + [str(artifact)]), cwd=str(FUZZ), env=environment(name),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
    except subprocess.TimeoutExpired:
        return "hang when run alone"
    if result.returncode == 0:
        return "does not fail when run alone"
    return reason(result.stdout.decode(errors="replace"))


def fuzz_target(name, seconds):
    """Runs one target for `seconds`; returns (executions, findings by kind)."""
    corpus = FUZZ / "corpus" / name
    findings_dir = FUZZ / "findings" / name
    corpus.mkdir(parents=True, exist_ok=True)
    findings_dir.mkdir(parents=True, exist_ok=True)
    seeds = [str(d) for d in TARGETS[name][1] if d.is_dir()]
    before = set(findings_dir.iterdir())
    log_path = findings_dir / ("log-%s.txt" % time.strftime("%Y%m%d-%H%M%S"))
    flags = LIBFUZZER_FLAGS + FORK_FLAGS + ["-max_total_time=%d" % seconds, "-artifact_prefix=%s/" % findings_dir]
    with open(str(log_path), "w") as log_file:
        subprocess.run(command(name, flags + [str(corpus)] + seeds), cwd=str(FUZZ), env=environment(name),
                       stdout=log_file, stderr=subprocess.STDOUT, timeout=seconds + 300)
    log = log_path.read_text(errors="replace")
    # The fork-mode status lines: "#<executions>: cov: ... oom/timeout/crash: a/b/c ...".
    executions = max((int(n) for n in re.findall(r"^#(\d+): cov:", log, re.MULTILINE)), default=0)
    counts = re.findall(r"oom/timeout/crash: (\d+)/(\d+)/(\d+)", log)
    oom, timeouts, crashes = (int(n) for n in counts[-1]) if counts else (0, 0, 0)

    # Fork mode copies each failed worker's "ERROR:" and "runtime error:" lines.
    reported = collections.Counter(normalise(line) for line in re.findall(
        r"^(?:==\d+== ?)?((?:ERROR: (?!libFuzzer: (?:fuzz target exited|deadly signal))|.*runtime error: ).*)$", log, re.MULTILINE))

    artifacts = sorted(p for p in set(findings_dir.iterdir()) - before if not p.name.startswith("log-"))
    kinds = collections.OrderedDict()
    for number, artifact in enumerate(artifacts):
        if number >= REPRODUCE_AT_MOST and artifact.name.startswith("crash-"):
            what = "not re-run (more than %d inputs)" % REPRODUCE_AT_MOST
        else:
            what = classify(name, artifact)
        kinds.setdefault(what, []).append(artifact)
    return executions, (oom, timeouts, crashes), reported, kinds, log_path


def fuzz_all(targets, seconds):
    """Fuzzes each target in turn, printing what it found; returns a summary row for each."""
    summary = []
    for name in targets:
        print("== %s: fuzzing for %d s" % (name, seconds), flush=True)
        started = time.monotonic()
        executions, (oom, timeouts, crashes), reported, kinds, log_path = fuzz_target(name, seconds)
        summary.append((name, executions, executions / seconds, sum(len(i) for i in kinds.values())))
        print("   %d executions; libFuzzer counted %d crashes, %d hangs, %d out of memory; log %s"
              % (executions, crashes, timeouts, oom, log_path.relative_to(ROOT)))
        for line, count in reported.most_common():
            print("   reported %d time%s: %s" % (count, "s" if count > 1 else "", line))
        for what, inputs in kinds.items():
            print("   finding (%d input%s): %s\n      e.g. %s" % (len(inputs), "s" if len(inputs) > 1 else "", what,
                                                               inputs[0].relative_to(ROOT)))
        print("   (%.0f s with re-runs)" % (time.monotonic() - started), flush=True)
    return summary


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, default=60, help="fuzzing time per target")
    parser.add_argument("targets", nargs="*", default=list(TARGETS), help="targets to run (default: all)")
    arguments = parser.parse_args()
    unknown = set(arguments.targets) - set(TARGETS)
    if unknown:
        parser.error("unknown targets: %s (known: %s)" % (", ".join(sorted(unknown)), ", ".join(TARGETS)))

    # Targets keep scratch files in a directory of their own, which libFuzzer's workers,
    # ended abruptly, never remove: all of them go under this one, removed at the end.
    with tempfile.TemporaryDirectory(prefix="lumivex-fuzz-run-") as scratch:
        os.environ["TMPDIR"] = scratch
        summary = fuzz_all(arguments.targets, arguments.seconds)

    print("\n%-16s %12s %9s %9s" % ("target", "executions", "exec/s", "inputs kept"))
    for name, executions, rate, findings in summary:
        print("%-16s %12d %9.0f %9d" % (name, executions, rate, findings))
    return 1 if any(row[3] for row in summary) else 0


if __name__ == "__main__":
    sys.exit(main())
