"""c4dsim on model files that take assimp down (a crash, an assertion, an endless loop, a
request for gigabytes) and on a FIFO named as the model: each ends within a minute with
exit status 3 and one line naming the model and what happened."""
import argparse
import os
import subprocess
import sys
import tempfile
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--c4dsim", required=True)
    parser.add_argument("--hostile", required=True)
    a = parser.parse_args()
    failures = []
    with tempfile.TemporaryDirectory() as work:
        fifo = os.path.join(work, "model.obj")
        os.mkfifo(fifo)
        h = a.hostile
        # model -> reasons that may stand after the model's name (a sanitizer build reports
        # crashes its own way; on a busy machine the wall clock may end a loop first)
        cases = {
            os.path.join(h, "truncated.cob"): ("killed by signal SIGABRT", "ended with status"),
            os.path.join(h, "assertion.ogex"): ("killed by signal SIGABRT", "ended with status"),
            os.path.join(h, "segfault.ply"): ("killed by signal SIGSEGV", "ended with status"),
            os.path.join(h, "vertex-count.off"): ("memory limit of", "killed by signal", "ended with status"),
            os.path.join(h, "endless-header.ply"): ("CPU time limit of 30 s exceeded", "timed out after 45 s"),
            fifo: ("a FIFO, not a regular file",),
        }
        start = time.monotonic()
        running = {
            model: subprocess.Popen([a.c4dsim, model, "--save-document", os.path.join(work, "out.json")],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    env=dict(os.environ, XDG_CACHE_HOME=work))
            for model in cases
        }
        for model, process in running.items():
            try:
                out, err = process.communicate(timeout=max(1, 60 - (time.monotonic() - start)))
            except subprocess.TimeoutExpired:
                process.kill()
                process.communicate()
                failures.append(f"{model}: still running after 60 s")
                continue
            lines = err.decode(errors="replace").splitlines()
            line = lines[0] if lines else ""
            if process.returncode != 3:
                failures.append(f"{model}: exit status {process.returncode}, not 3: {err!r}")
            elif len(lines) != 1 or not line.startswith("c4dsim: ") or f'"{model}"' not in line:
                failures.append(f"{model}: not one line naming the model: {err!r}")
            elif not any(reason in line for reason in cases[model]):
                failures.append(f"{model}: unexpected reason: {line}")
            else:
                print(f"ok: {line}")
        if os.path.exists(os.path.join(work, "out.json")):
            failures.append("a document was saved")
    for f in failures:
        print("FAIL:", f)
    print(f"{len(cases) - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
