#!/usr/bin/env python3
"""Lists the includes under src/ that point up a floor.

Floors, from the bottom: result/version, text, image, json, platform, store, apps, server,
main. A file may include its own floor and those below it. Prints each upward edge as
"file -> include" and exits with 1 when there is one, 0 otherwise.
Usage: scripts/include-floors.py [--graph]   (--graph also prints every edge between floors)
"""
import pathlib
import re
import sys

FLOORS = ["base", "text", "image", "json", "platform", "store", "apps", "server", "main"]


def floor(path: str) -> str:
    top = path.split("/")[0]
    if top in ("text", "image", "platform", "store", "apps", "server"):
        return top
    if top == "json":
        return "json"
    if path.startswith("main"):
        return "main"
    return "base"  # result.hpp, version.hpp, undo_guard.hpp


def main() -> int:
    src = pathlib.Path(__file__).resolve().parent.parent / "src"
    include = re.compile(r'^#include "([^"]+)"', re.M)
    upward, edges = [], set()
    for file in sorted(src.rglob("*.[ch]pp")):
        name = file.relative_to(src).as_posix()
        here = floor(name)
        for target in include.findall(file.read_text(encoding="utf-8")):
            neighbour = pathlib.PurePosixPath(name).parent / target
            if (src / neighbour).exists():  # a file of the same folder, named without it
                target = neighbour.as_posix()
            there = floor(target)
            edges.add((here, there))
            if FLOORS.index(there) > FLOORS.index(here):
                upward.append(f"{name} -> {target}")
    if "--graph" in sys.argv:
        for a, b in sorted(edges, key=lambda e: (FLOORS.index(e[0]), FLOORS.index(e[1]))):
            if a != b:
                print(f"{a} -> {b}")
    for edge in upward:
        print("upward:", edge)
    return 1 if upward else 0


if __name__ == "__main__":
    sys.exit(main())
