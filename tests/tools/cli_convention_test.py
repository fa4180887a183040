"""The command-line convention every tool shares: --version, usage errors, unreadable
files with the system's reason, "-" for standard input and output, one-line errors."""
import argparse
import os
import shutil
import re
import subprocess
import sys
import tempfile

failures = []


def run(argv, stdin=b"", cwd=None):
    return subprocess.run(argv, input=stdin, capture_output=True, cwd=cwd, timeout=60)


def check(what, condition, detail=""):
    if not condition:
        failures.append(f"{what}: {detail}")


def one_error_line(what, tool, result):
    """The run wrote exactly one line to standard error, starting with the tool's name."""
    lines = result.stderr.decode(errors="replace").splitlines()
    check(what, len(lines) == 1 and lines[0].startswith(os.path.basename(tool) + ": "),
          f"stderr {lines!r}")
    return lines[0] if lines else ""


def main():
    parser = argparse.ArgumentParser()
    for name in ("c4dsim", "qrfdump", "tavrin", "version", "examples"):
        parser.add_argument("--" + name, required=True)
    a = parser.parse_args()
    work = tempfile.mkdtemp(prefix="cli_convention_")
    example = os.path.join(a.examples, "hierarchy.json")

    # Per tool: (name, a missing input's arguments, its message, its status).
    missing = "/no/such/input"
    tools = [
        (a.c4dsim, [missing + ".json", "--export", os.path.join(work, "x.qrf")],
         f'cannot open document "{missing}.json": No such file or directory', 3),
        (a.c4dsim, [missing + ".obj", "--export", os.path.join(work, "x.qrf")],
         f'cannot open model "{missing}.obj": No such file or directory', 3),
        (a.qrfdump, ["--check", missing], f"cannot open {missing}: No such file or directory", 3),
        (a.tavrin, ["--output", "/proc/no/such/folder"], "No such file or directory", 1),
    ]
    for tool, missing_args, reason, status in tools:
        name = os.path.basename(tool)
        r = run([tool, "--version"])
        check(f"{name} --version", r.returncode == 0 and r.stdout.decode() == f"{name} {a.version}\n",
              f"status {r.returncode}, stdout {r.stdout!r}")
        r = run([tool, "--help"])
        check(f"{name} --help", r.returncode == 0 and b"Exit status" in r.stdout and b"  2  usage error" in r.stdout,
              r.stdout[-300:])
        r = run([tool, "--no-such-option"])
        check(f"{name} usage error status", r.returncode == 2, r.returncode)
        one_error_line(f"{name} usage error", tool, r)
        r = run([tool] + missing_args)
        check(f"{name} missing input status", r.returncode == status, r.returncode)
        line = one_error_line(f"{name} missing input", tool, r)
        check(f"{name} missing input reason", line.endswith(reason), line)

    # "-" reads standard input and, for --export, writes standard output: the bytes equal
    # those of a file export; -q leaves standard error empty.
    exported = os.path.join(work, "file.qrf")
    r = run([a.c4dsim, "-q", example, "--export", exported])
    check("c4dsim export to a file", r.returncode == 0 and r.stderr == b"", r.stderr)
    with open(exported, "rb") as f:
        scene = f.read()
    with open(example, "rb") as f:
        document = f.read()
    r = run([a.c4dsim, "-q", "-", "--export", "-"], stdin=document, cwd=a.examples)
    check("c4dsim - --export -", r.returncode == 0 and r.stdout == scene and r.stderr == b"",
          f"status {r.returncode}, {len(r.stdout)} bytes instead of {len(scene)}, stderr {r.stderr!r}")
    check("no file named -", not os.path.exists(os.path.join(a.examples, "-.qrf")))
    r = run([a.qrfdump, "--check", "-"], stdin=scene)
    check("qrfdump --check -", r.returncode == 0, r.stderr)
    dump_of_file = run([a.qrfdump, exported]).stdout
    r = run([a.qrfdump, "-"], stdin=scene)
    check("qrfdump - prints as for the file", r.returncode == 0 and r.stdout == dump_of_file and dump_of_file,
          r.stderr)
    r = run([a.qrfdump, "--check", "-"], stdin=scene[:-3])
    check("qrfdump --check finds a cut scene", r.returncode == 1, r.returncode)

    # Inputs that are no regular file are refused with the system's reason (no read of a
    # folder, no wait for a FIFO's writer), and sizes out of range are usage errors.
    fifo = os.path.join(work, "pipe.qrf")
    os.mkfifo(fifo)
    for what, args, status, reason in (
            ("qrfdump of a folder", [a.qrfdump, work], 3, f"cannot open {work}: a folder, not a regular file"),
            ("qrfdump of a FIFO", [a.qrfdump, "--stats", fifo], 3, "a FIFO, not a regular file"),
            ("--size past an int", [a.qrfdump, "--render", os.path.join(work, "p.png"), "--size", "4294967297x1",
                                    exported], 2, "wants WIDTHxHEIGHT"),
            ("--size past the limit", [a.qrfdump, "--render", os.path.join(work, "p.png"), "--size", "8193x1",
                                       exported], 2, "wants WIDTHxHEIGHT")):
        r = run(args)
        check(f"{what} status", r.returncode == status, r.returncode)
        line = one_error_line(what, a.qrfdump, r)
        check(f"{what} reason", reason in line, line)
    check("no preview from a bad size", not os.path.exists(os.path.join(work, "p.png")))

    # A JSON syntax error names FILE:LINE:COLUMN; columns count characters, not bytes.
    broken = os.path.join(work, "broken.json")
    with open(broken, "w", encoding="utf-8") as f:
        f.write('{\n  "objects": [\n    {"name": "\u00e4\u00e4", "type": polygon}\n  ]\n}\n')
    for path, shown, stdin in ((broken, broken, b""), ("-", "<stdin>", open(broken, "rb").read())):
        r = run([a.c4dsim, path, "--export", os.path.join(work, "y.qrf")], stdin=stdin)
        line = one_error_line("syntax error", a.c4dsim, r)
        check("syntax error status", r.returncode == 3, r.returncode)
        check("FILE:LINE:COLUMN", re.fullmatch(re.escape(f"c4dsim: {shown}:3:28: ") + r"syntax error .*", line),
              line)

    shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("\n".join(failures))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
