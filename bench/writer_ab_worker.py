"""One side of `writer_ab.py`: a process that holds one picture and writes it
with the Lumivex installed in the interpreter that runs it.

It reads one JSON request a line on stdin and answers each with one JSON line
on stdout:
    {"do": "hello"}                                   -> where Lumivex comes from
    {"do": "load", "rgb": PATH, "width": W, "height": H}
    {"do": "encode", "level": 6 or "strongest", "calls": N, "out": PATH or null}
                                                      -> {"seconds": best of N, "cpu": best of N, "size": bytes}
      (seconds: wall-clock time; cpu: the CPU time of all the process's threads)
A failure answers {"error": traceback}. Only Lumivex and the standard library
are imported, so that a baseline's bare environment runs it.
"""
import json
import os
import sys
import time
import traceback


def main():
    # Nothing but the answers may reach the pipe: whatever else is printed goes to stderr.
    answers = os.fdopen(os.dup(sys.stdout.fileno()), "w")
    sys.stdout = sys.stderr
    import Lumivex
    image = None
    for line in sys.stdin:
        request = json.loads(line)
        try:
            if request["do"] == "hello":
                answer = {"file": Lumivex.__file__, "deflate": getattr(Lumivex, "DEFLATE_BACKEND", "unknown"),
                          "python": sys.version.split()[0]}
            elif request["do"] == "load":
                with open(request["rgb"], "rb") as handle:
                    pixels = bytearray(handle.read())
                image = Lumivex.SimpleImage(request["width"], request["height"], pixels)
                answer = {}
            elif request["do"] == "encode":
                answer = encode(Lumivex, image, request)
            else:
                raise ValueError("unknown request %r" % request["do"])
        except Exception:
            answer = {"error": traceback.format_exc()}
        answers.write(json.dumps(answer) + "\n")
        answers.flush()


def encode(Lumivex, image, request):
    best, best_cpu, data = float("inf"), float("inf"), b""
    for _ in range(max(1, request["calls"])):
        start, start_cpu = time.perf_counter(), time.process_time()
        data = Lumivex.encode_png(image, level=request["level"])
        best = min(best, time.perf_counter() - start)
        best_cpu = min(best_cpu, time.process_time() - start_cpu)
    if request.get("out"):
        with open(request["out"], "wb") as handle:
            handle.write(data)
    return {"seconds": best, "cpu": best_cpu, "size": len(data)}


if __name__ == "__main__":
    main()
