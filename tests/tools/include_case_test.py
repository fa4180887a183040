#!/usr/bin/env python3
"""Every quoted include resolves to the same file when the file system ignores case.

For each source file of the project and each quoted include in it, the include is looked
up the way the compiler looks it up: in the including file's folder, then in the include
folders of a compile command. It is looked up twice, once exactly and once ignoring case
(as on macOS's default file system). The test fails when the two find different files,
or when a folder holds two names that differ only in case. Every distinct list of include
folders in the build's compile commands is tried, so a header is checked against each way
the build can reach it.

Exit status: 0 all resolve alike, 1 some do not (each listed), 2 usage or unreadable input.
"""
import argparse
import json
import os
import re
import shlex
import sys

SOURCE_ENDINGS = (".c", ".cc", ".cpp", ".cxx", ".h", ".hh", ".hpp", ".hxx", ".inl", ".mm")
SKIPPED_FOLDERS = {".git", "node_modules"}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)


def include_folders(entry):
    """The -I, -iquote and -isystem folders of one compile command, in order."""
    words = entry.get("arguments") or shlex.split(entry["command"])
    folders = []
    i = 0
    while i < len(words):
        word = words[i]
        for flag in ("-iquote", "-isystem", "-I"):
            if word == flag and i + 1 < len(words):
                folders.append(words[i + 1])
                i += 1
                break
            if word.startswith(flag) and len(word) > len(flag):
                folders.append(word[len(flag):])
                break
        i += 1
    base = entry.get("directory", ".")
    return tuple(os.path.normpath(os.path.join(base, f)) for f in folders)


def exact(folder, name):
    path = os.path.normpath(os.path.join(folder, name))
    return path if os.path.isfile(path) else None


def listing(folder, cache):
    if folder not in cache:
        try:
            cache[folder] = os.listdir(folder)
        except OSError:
            cache[folder] = []
    return cache[folder]


def ignoring_case(folder, name, cache, clashes):
    """The file a case-insensitive file system finds, walking one path part at a time."""
    current = folder
    for part in os.path.normpath(name).split(os.sep):
        if part in (".", ""):
            continue
        if part == "..":
            current = os.path.dirname(current)
            continue
        matches = [e for e in listing(current, cache) if e.lower() == part.lower()]
        if not matches:
            return None
        if len(matches) > 1:
            clashes.add(tuple(sorted(os.path.join(current, m) for m in matches)))
        # Where the exact spelling exists it is the one found; else whichever spelling is there.
        current = os.path.join(current, part if part in matches else matches[0])
    return os.path.normpath(current) if os.path.isfile(current) else None


def resolve(including_folder, folders, name, finder):
    for folder in (including_folder,) + folders:
        found = finder(folder, name)
        if found:
            return found
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True, help="the project's source folder")
    parser.add_argument("--commands", required=True, help="the build's compile_commands.json")
    args = parser.parse_args()
    source = os.path.realpath(args.source)
    try:
        with open(args.commands, encoding="utf-8") as f:
            commands = json.load(f)
    except (OSError, ValueError) as e:
        print(f"include_case_test: cannot read {args.commands}: {e}", file=sys.stderr)
        return 2
    lists = sorted({include_folders(entry) for entry in commands})
    if not lists:
        lists = [()]

    files = []
    for folder, subfolders, names in os.walk(source):
        subfolders[:] = [d for d in subfolders
                         if d not in SKIPPED_FOLDERS and not d.startswith("build")]
        files += [os.path.join(folder, n) for n in names if n.endswith(SOURCE_ENDINGS)]

    cache = {}
    clashes = set()
    faults = set()
    checked = 0
    for path in sorted(files):
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
        except OSError:
            continue
        here = os.path.dirname(path)
        for name in INCLUDE.findall(text):
            for folders in lists:
                found = resolve(here, folders, name, exact)
                if found is None:
                    continue  # not reached through these folders (or a system header)
                checked += 1
                other = resolve(here, folders, name,
                                lambda d, n: ignoring_case(d, n, cache, clashes))
                if other != found:
                    faults.add(f'{os.path.relpath(path, source)}: "{name}" is '
                               f"{os.path.relpath(found, source)}, but ignoring case "
                               f"{os.path.relpath(other, source) if other else 'nothing'}")
    for clash in sorted(clashes):
        if all(p.startswith(source) for p in clash):
            faults.add("names differing only in case: " +
                       ", ".join(os.path.relpath(p, source) for p in clash))
    for fault in sorted(faults):
        print(fault)
    print(f"{len(files)} files, {checked} include lookups, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
