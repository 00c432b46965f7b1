#!/usr/bin/env python3
"""Builds a synthetic game tree: FOLDERS folders (fan-out 10, so a few
levels deep) holding FILES files spread evenly, 64 bytes each.

    make_tree.py DIR FOLDERS FILES
"""
import os
import sys


def main(root, folder_count, file_count):
    paths = [root]
    for i in range(1, folder_count + 1):
        parent = paths[(i - 1) // 10]
        paths.append(os.path.join(parent, "folder_%05d" % i))
    for path in paths:
        os.makedirs(path, exist_ok=True)
    data = b"x" * 64
    for n in range(file_count):
        folder = paths[1 + n % folder_count]
        with open(os.path.join(folder, "file_%06d.dat" % n), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))
