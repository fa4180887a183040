"""Every bundled example and every json snippet of the document format passes the JSON
Schema, loads in c4dsim and exports a well-formed scene; the snippets whose outcome the
text explains export what it says."""
import argparse
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

import jsonschema

# Heading of a snippet -> counts its export must show (qrfdump --stats keys).
EXPECTED = {
    "## Layers": {"objects": 1},  # the object on the layer that is not rendered has no mesh
    "### A generator with a cache": {"objects": 1, "vertices": 6},  # the deform cache's
    "### Cameras and lights": {"cameras": 1, "lights": 1},
    "## Tracks": {"animations": 2},
    "## Hair": {"curves": 2},
}


def snippets(markdown):
    """(heading, text) of every fenced json block, under the heading it follows."""
    heading = ""
    for m in re.finditer(r"^(#+ [^\n]*)$|^```json\n(.*?)^```", markdown, re.M | re.S):
        if m.group(1):
            heading = m.group(1)
        else:
            yield heading, m.group(2)


def main():
    parser = argparse.ArgumentParser()
    for name in ("c4dsim", "qrfdump", "schema", "format", "examples"):
        parser.add_argument("--" + name, required=True)
    a = parser.parse_args()
    with open(a.schema, encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft7Validator.check_schema(schema)
    validator = jsonschema.Draft7Validator(schema)

    work = tempfile.mkdtemp(prefix="document_format_")
    documents = []
    for path in sorted(glob.glob(os.path.join(a.examples, "*.json"))):
        with open(path, encoding="utf-8") as f:
            documents.append((os.path.basename(path), path, f.read()))
    with open(a.format, encoding="utf-8") as f:
        for i, (heading, text) in enumerate(snippets(f.read())):
            path = os.path.join(work, f"snippet{i}.json")
            with open(path, "w", encoding="utf-8") as out:
                out.write(text)
            documents.append((f"snippet {i} under {heading!r}", path, text))

    failures = []
    for name, path, text in documents:
        try:
            errors = [f"{'/'.join(map(str, e.absolute_path))}: {e.message}"
                      for e in validator.iter_errors(json.loads(text))]
        except json.JSONDecodeError as e:
            errors = [str(e)]
        if errors:
            failures.append(f"{name}: not valid against the schema: {errors[:3]}")
            continue
        scene = os.path.join(work, "out.qrf")
        r = subprocess.run([a.c4dsim, "-q", path, "--export", scene], capture_output=True, timeout=120)
        if r.returncode != 0 or r.stderr:
            failures.append(f"{name}: c4dsim status {r.returncode}: {r.stderr.decode(errors='replace')}")
            continue
        r = subprocess.run([a.qrfdump, "--stats", scene], capture_output=True, timeout=120)
        if r.returncode != 0:
            failures.append(f"{name}: the exported scene is not valid: {r.stderr.decode(errors='replace')}")
            continue
        stats = dict(line.split(": ") for line in r.stdout.decode().splitlines())
        heading = name.split(" under ", 1)[1][1:-1] if " under " in name else None
        for key, count in EXPECTED.get(heading, {}).items():
            if int(stats.get(key, -1)) != count:
                failures.append(f"{name}: {key} {stats.get(key)} instead of {count}")

    snippet_count = sum(1 for n, _, _ in documents if n.startswith("snippet"))
    if snippet_count < len(EXPECTED):
        failures.append(f"only {snippet_count} snippets found")
    shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("\n".join(failures))
        return 1
    print(f"{len(documents)} documents pass the schema and export")
    return 0


if __name__ == "__main__":
    sys.exit(main())
