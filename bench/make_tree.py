#!/usr/bin/env python3
"""Builds a synthetic game tree: FOLDERS folders (fan-out 10, so a few
levels deep) holding FILES files spread evenly, 64 bytes each. With
chain:DEPTH:LENGTH instead, a chain of DEPTH folders, each inside the one
before, with names of LENGTH characters, each holding one 64-byte file
(f.dat); it prints how many characters the deepest file's path adds below
DIR, for the caller to check against the Windows limit.

    make_tree.py DIR FOLDERS FILES
    make_tree.py DIR chain:DEPTH:LENGTH
"""
import os
import sys

DATA = b"x" * 64
CHAIN_FILE = "f.dat"


def make_spread(root, folder_count, file_count):
    paths = [root]
    for i in range(1, folder_count + 1):
        parent = paths[(i - 1) // 10]
        paths.append(os.path.join(parent, "folder_%05d" % i))
    for path in paths:
        os.makedirs(path, exist_ok=True)
    for n in range(file_count):
        folder = paths[1 + n % folder_count]
        with open(os.path.join(folder, "file_%06d.dat" % n), "wb") as f:
            f.write(DATA)


def chain_name(level, length):
    name = "c%05d" % level
    return name + "x" * (length - len(name))


def make_chain(root, depth, length):
    # Relative steps: the whole path is far beyond the host's PATH_MAX.
    if length < len(chain_name(1, 0)) or depth > 99999:
        sys.exit("make_tree: chain names need at least 6 characters, depth at most 99999")
    os.makedirs(root, exist_ok=True)
    folder = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for level in range(1, depth + 1):
            name = chain_name(level, length)
            os.mkdir(name, dir_fd=folder)
            child = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=folder)
            os.close(folder)
            folder = child
            file = os.open(CHAIN_FILE, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644, dir_fd=folder)
            try:
                os.write(file, DATA)
            finally:
                os.close(file)
    finally:
        os.close(folder)
    # "\name" per level, then "\f.dat".
    print(depth * (1 + length) + 1 + len(CHAIN_FILE))


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[2].startswith("chain:"):
        _, depth, length = sys.argv[2].split(":")
        make_chain(sys.argv[1], int(depth), int(length))
    else:
        make_spread(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))
