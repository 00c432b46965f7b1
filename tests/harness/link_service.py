#!/usr/bin/env python3
"""Makes Unix symbolic links and drive mappings for the tests.

Wine cannot create junctions itself; a Unix symlink to a folder shows up in
Windows as a folder reparse point. A test writes a request file into the
requests folder and waits for the answer file beside it:

    <id>.req   UTF-8 lines: "link", Unix link path, Unix target path
               or:          "swap", Unix folder path, Unix target path
                            (the folder is renamed to <path>.moved and a link
                            to the target takes its place)
               or:          "drive", drive letter, Unix target path
    <id>.done  "ok" or "error: ..."

Every path must lie inside the prefix, so nothing of the host is ever linked.
"""
import os
import shutil
import sys
import time


def inside(prefix, path):
    real = os.path.realpath(path)
    return real == prefix or real.startswith(prefix + os.sep)


def handle(prefix, lines):
    kind = lines[0]
    if kind == "link":
        link, target = lines[1], lines[2]
        if not inside(prefix, os.path.dirname(link)) or not inside(prefix, target):
            return "error: outside the prefix"
        os.symlink(target, link)
        return "ok"
    if kind == "rmtree":
        path = lines[1]
        if not inside(prefix, os.path.dirname(path)):
            return "error: outside the prefix"
        if os.path.islink(path):
            os.remove(path)
        elif os.path.exists(path):
            shutil.rmtree(path)  # never follows links
        return "ok"
    if kind == "swap":
        folder, target = lines[1], lines[2]
        if not inside(prefix, folder) or not inside(prefix, target):
            return "error: outside the prefix"
        os.rename(folder, folder + ".moved")
        os.symlink(target, folder)
        return "ok"
    if kind == "drive":
        letter, target = lines[1].lower(), lines[2]
        if len(letter) != 1 or not letter.isalpha() or letter in "cz":
            return "error: bad drive letter"
        if not inside(prefix, target):
            return "error: outside the prefix"
        link = os.path.join(prefix, "dosdevices", letter + ":")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(target, link)
        return "ok"
    return "error: unknown request"


def main(prefix, folder):
    prefix = os.path.realpath(prefix)
    os.makedirs(folder, exist_ok=True)
    while True:
        for name in os.listdir(folder):
            if not name.endswith(".req"):
                continue
            path = os.path.join(folder, name)
            try:
                with open(path, encoding="utf-8") as f:
                    lines = f.read().splitlines()
                answer = handle(prefix, lines)
            except Exception as e:  # answer every request, whatever went wrong
                answer = "error: %s" % e
            os.remove(path)
            with open(path[:-4] + ".tmp", "w") as f:
                f.write(answer)
            os.rename(path[:-4] + ".tmp", path[:-4] + ".done")
        time.sleep(0.01)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
