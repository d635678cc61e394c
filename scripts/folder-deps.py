#!/usr/bin/env python3
"""Prints which folder of src/ includes which, and exits 1 when two folders
include each other, directly or through others, or when a folder of the
portable core includes <windows.h> or anything of app/.

    scripts/folder-deps.py          the graph, one folder a line
"""
import pathlib
import re
import sys

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^">]+)[">]', re.M)


def folder_of(path):
    return path.relative_to(SRC).parts[0]


def main():
    folders = sorted(p.name for p in SRC.iterdir() if p.is_dir())
    uses = {f: set() for f in folders}
    faults = []
    for path in sorted(SRC.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        here = folder_of(path)
        for name in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if here != "app" and name.lower() == "windows.h":
                faults.append(f"{path.relative_to(SRC)} includes <windows.h>")
            first = name.split("/")[0]
            if "/" in name and first in uses and first != here:
                uses[here].add(first)
    for f in folders:
        print(f"{f:10} -> {' '.join(sorted(uses[f])) or '(none)'}")

    # A folder that reaches itself again lies on a cycle.
    def reaches(start):
        seen, todo = set(), list(uses[start])
        while todo:
            f = todo.pop()
            if f not in seen:
                seen.add(f)
                todo.extend(uses[f])
        return seen

    for f in folders:
        if f in reaches(f):
            faults.append(f"{f} includes a folder that includes it back")
        if f != "app" and "app" in uses[f]:
            faults.append(f"{f} includes app/")
    for fault in faults:
        print("fault:", fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
