#!/usr/bin/env python3
"""Draws the folders of src/ as floors, each above what it includes, in the order of the layer
table of docs/architecture.md, and lists the include arrows that run back up. core/ stands on
top, since its wiring includes every folder; every folder includes its command queue, so those
arrows, and model/'s to confclient/, run back up. wire/, which kipctl and kip-web link too,
stands at the bottom: whatever it included of the daemon would be an arrow up. Fails when an upward
arrow appears that is not one of today's. Usage: include-floors.py [SOURCE_ROOT]"""
import os
import re
import sys

FLOORS = ["core", "host", "confclient", "model", "transport", "log", "wire"]  # top to bottom
ALLOWED_UP = {("host", "core"), ("confclient", "core"), ("model", "core"), ("transport", "core"),
              ("model", "confclient")}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z]+)/', re.M)


def arrows(src):
    found = {}
    for folder in FLOORS:
        for name in sorted(os.listdir(os.path.join(src, folder))):
            with open(os.path.join(src, folder, name), encoding="utf-8") as handle:
                for target in INCLUDE.findall(handle.read()):
                    if target != folder:
                        found.setdefault((folder, target), []).append(name)
    return found


def main():
    src = os.path.join(sys.argv[1] if len(sys.argv) > 1 else ".", "src")
    up = {pair: files for pair, files in arrows(src).items()
          if FLOORS.index(pair[1]) < FLOORS.index(pair[0])}
    for (source, target), files in sorted(up.items()):
        print(f"{source} -> {target}: {', '.join(files)}")
    new = sorted(set(up) - ALLOWED_UP)
    print(f"{len(up)} arrows run back up")
    if new:
        print("new upward arrows: " + ", ".join(f"{s} -> {t}" for s, t in new), file=sys.stderr)
    return 1 if new else 0


if __name__ == "__main__":
    sys.exit(main())
