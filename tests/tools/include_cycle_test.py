#!/usr/bin/env python3
"""No circle of files: no unit reaches itself through its includes.

A unit is a header and the source file of the same name beside it (a.h and a.cpp). A unit
depends on another when either of its files includes the other's header, looked up in the
including file's folder and then in the include folders of the build's compile commands.
The test fails on every group of units that depend on one another in a circle, such as a
translator that includes the walk which calls it.

Exit status: 0 no circle, 1 circles (each listed), 2 usage or unreadable input.
"""
import argparse
import json
import os
import re
import shlex
import sys

SOURCE_ENDINGS = (".c", ".cc", ".cpp", ".h", ".hpp")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)


def include_folders(commands):
    folders = []
    for entry in commands:
        words = entry.get("arguments") or shlex.split(entry["command"])
        for i, word in enumerate(words):
            folder = None
            if word in ("-I", "-iquote", "-isystem") and i + 1 < len(words):
                folder = words[i + 1]
            elif word.startswith("-I") and len(word) > 2:
                folder = word[2:]
            if folder:
                folder = os.path.normpath(os.path.join(entry.get("directory", "."), folder))
                if folder not in folders:
                    folders.append(folder)
    return folders


def strongly_connected(graph):
    """Groups of more than one node that reach one another (Tarjan, without recursion)."""
    index, low, on_stack, stack, groups = {}, {}, set(), [], []
    counter = 0
    for root in graph:
        if root in index:
            continue
        work = [(root, iter(sorted(graph[root])))]
        index[root] = low[root] = counter
        counter += 1
        stack.append(root)
        on_stack.add(root)
        while work:
            node, children = work[-1]
            child = next(children, None)
            if child is not None:
                if child not in index:
                    index[child] = low[child] = counter
                    counter += 1
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(sorted(graph[child]))))
                elif child in on_stack:
                    low[node] = min(low[node], index[child])
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] == index[node]:
                group = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    group.append(member)
                    if member == node:
                        break
                if len(group) > 1:
                    groups.append(sorted(group))
    return groups


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True, help="the project's source folder")
    parser.add_argument("--commands", required=True, help="the build's compile_commands.json")
    parser.add_argument("--only", nargs="*", default=[],
                        help="report only circles that lie within these folders (below --source)")
    args = parser.parse_args()
    source = os.path.realpath(args.source)
    only = [os.path.join(source, o).rstrip(os.sep) + os.sep for o in args.only]
    try:
        with open(args.commands, encoding="utf-8") as f:
            folders = include_folders(json.load(f))
    except (OSError, ValueError) as e:
        print(f"include_cycle_test: cannot read {args.commands}: {e}", file=sys.stderr)
        return 2

    files = []
    for folder, subfolders, names in os.walk(source):
        subfolders[:] = [d for d in subfolders if d != ".git" and not d.startswith("build")]
        files += [os.path.join(folder, n) for n in names if n.endswith(SOURCE_ENDINGS)]
    unit = lambda path: os.path.splitext(path)[0]
    graph = {unit(f): set() for f in files}
    for path in files:
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
        except OSError:
            continue
        for name in INCLUDE.findall(text):
            for folder in [os.path.dirname(path)] + folders:
                found = os.path.normpath(os.path.join(folder, name))
                if os.path.isfile(found):
                    if unit(found) in graph and unit(found) != unit(path):
                        graph[unit(path)].add(unit(found))
                    break
    circles = [c for c in strongly_connected(graph)
               if not only or any(all(u.startswith(o) for u in c) for o in only)]
    for circle in circles:
        print("circle of files: " + " <-> ".join(os.path.relpath(u, source) for u in circle))
    print(f"{len(graph)} units, {len(circles)} circles")
    return 1 if circles else 0


if __name__ == "__main__":
    sys.exit(main())
