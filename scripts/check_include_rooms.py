#!/usr/bin/env python3
"""Fails when an #include goes the wrong way between the rooms of the code.

The engine's rooms are listed below in order: a file may include files of its
own room and of the rooms before it, never of one after it. The programs sit
above the engine: the command-line tool and the window each include the engine
and themselves, and the app includes the window too. Beyond the rooms' order,
no two files may include each other, directly or round a circle (a header and
its source count as one file), and no folder may include a folder that
includes it back. Nothing in the engine or the command-line tool includes Qt.

Usage: check_include_rooms.py [REPO]   (REPO defaults to the script's parent)
"""

import os
import re
import sys

ENGINE_ROOMS = [
    "platform",    # the system-call seam, errors, attribute names, disk facts
    "tree",        # listing, the way down, opening below a folder, exclusions
    "read",        # digesting, read buffers, the pool, disk order
    "coding",      # GF(2^16) and the Reed-Solomon code of parity sets
    "store",       # the evidence seam, the tag store (attributes), repair marks, file names
    "run",         # a run's options, outcomes and observer
    "text",        # every sentence the engine writes
    "evidence",    # manifests, nested manifests, where a folder's evidence lives
    "operations",  # one file's visit, Check, Tag, Retag, the walk
    "transfer",    # lists of digests in and out
    "repair",
    "scrub/state",
    "scrub",
]

# Which top folders each top folder may include besides itself.
PROGRAMS = {
    "engine": set(),
    "cli": {"engine"},
    "window": {"engine"},
    "app": {"engine", "window"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s+([<"])([^">]+)[">]')


def source_files(repo):
    for top in PROGRAMS:
        for folder, _, names in os.walk(os.path.join(repo, top)):
            for name in sorted(names):
                if name.endswith((".h", ".cpp")):
                    yield os.path.relpath(os.path.join(folder, name), repo)


def module_of(path):
    return os.path.splitext(path)[0]


def engine_room(path):
    folder = os.path.dirname(path)[len("engine/"):]
    return folder if folder in ENGINE_ROOMS else None


def resolved(repo, including, target):
    for candidate in (os.path.join(os.path.dirname(including), target), target):
        candidate = os.path.normpath(candidate)
        if os.path.isfile(os.path.join(repo, candidate)):
            return candidate
    return None


def circles(graph):
    """The strongly connected parts of graph with more than one node (Tarjan)."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for other in sorted(graph.get(node, ())):
            if other not in index:
                visit(other)
                low[node] = min(low[node], low[other])
            elif other in on_stack:
                low[node] = min(low[node], index[other])
        if low[node] == index[node]:
            part = []
            while True:
                other = stack.pop()
                on_stack.discard(other)
                part.append(other)
                if other == node:
                    break
            if len(part) > 1:
                found.append(sorted(part))

    sys.setrecursionlimit(100000)
    for node in sorted(graph):
        if node not in index:
            visit(node)
    return found


def problems(repo):
    found = []
    modules, folders = {}, {}
    for path in source_files(repo):
        top = path.split("/", 1)[0]
        if top == "engine" and engine_room(path) is None:
            found.append(f"{path}: every engine file lives in one of the rooms {ENGINE_ROOMS}")
        with open(os.path.join(repo, path), encoding="utf-8", errors="surrogateescape") as text:
            lines = text.read().splitlines()
        for number, line in enumerate(lines, 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            where = f"{path}:{number}"
            kind, target = match.groups()
            if kind == "<":
                if top in ("engine", "cli") and target.startswith("Q"):
                    found.append(f"{where}: {top}/ includes no Qt header ({target})")
                continue
            included = resolved(repo, path, target)
            if included is None:
                continue  # generated at build time
            to_top = included.split("/", 1)[0]
            if to_top != top and to_top not in PROGRAMS[top]:
                found.append(f"{where}: {top}/ may not include {included}")
                continue
            if top == "engine" and to_top == "engine":
                room, to_room = engine_room(path), engine_room(included)
                if room and to_room and ENGINE_ROOMS.index(to_room) > ENGINE_ROOMS.index(room):
                    found.append(f"{where}: the room {room} may not include {included}, "
                                 f"of the later room {to_room}")
            if module_of(included) != module_of(path):
                modules.setdefault(module_of(path), set()).add(module_of(included))
            if os.path.dirname(included) != os.path.dirname(path):
                folders.setdefault(os.path.dirname(path), set()).add(os.path.dirname(included))
    for part in circles(modules):
        found.append("files that include each other: " + " -> ".join(part))
    for part in circles(folders):
        found.append("folders that include each other: " + " -> ".join(part))
    return found


def main():
    repo = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    found = problems(repo)
    for problem in found:
        print(problem)
    print(f"{len(found)} include problems" if found else "Every include goes one way.")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
