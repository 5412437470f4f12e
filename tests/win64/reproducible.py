#!/usr/bin/env python3
"""Builds orvinst.exe a second time from a copy of the source tree in another folder, with a
build folder of its own, and compares it byte for byte with the build's own image: two builds
of one commit on one machine must be identical, whatever folder they were made in.

    reproducible.py --build-dir DIR
"""

import os
import shutil
import subprocess
import sys
import tempfile

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def sections(image):
    """(name, file offset, size) of each section of a PE image, to say where bytes differ."""
    pe = int.from_bytes(image[0x3C:0x40], "little")
    count = int.from_bytes(image[pe + 6:pe + 8], "little")
    table = pe + 24 + int.from_bytes(image[pe + 20:pe + 22], "little")
    found = [("headers", 0, int.from_bytes(image[table + 20:table + 24], "little"))]
    for i in range(count):
        entry = image[table + 40 * i:table + 40 * (i + 1)]
        name = entry[:8].rstrip(b"\0").decode("ascii", "replace")
        found.append((name, int.from_bytes(entry[20:24], "little"), int.from_bytes(entry[16:20], "little")))
    return found


def where(image, offset):
    for name, start, size in sections(image):
        if start <= offset < start + size:
            return "%s+0x%x" % (name, offset - start)
    return "beyond the sections"


def main(argv):
    if len(argv) != 2 or argv[0] != "--build-dir":
        print(__doc__)
        return 2
    build_dir = os.path.abspath(argv[1])
    with open(os.path.join(build_dir, "bin", "orvinst.exe"), "rb") as file:
        first = file.read()
    work = tempfile.mkdtemp(prefix="orvinst-again-")
    try:
        # Another source folder and another build folder, both of a different length.
        source = os.path.join(work, "checkout", "elsewhere")
        shutil.copytree(SOURCE_DIR, source, symlinks=True,
                        ignore=lambda folder, names: [n for n in names if folder == SOURCE_DIR and
                                                      n in ("build", ".git")] +
                                                     [n for n in names if n == "__pycache__"])
        again = os.path.join(work, "b")
        for command in (["cmake", "--preset", "win64", "-B", again],
                        ["cmake", "--build", again, "--target", "orvinst", "-j", str(os.cpu_count() or 2)]):
            result = subprocess.run(command, cwd=source, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, text=True)
            if result.returncode != 0:
                print("FAILED: %s\n%s" % (" ".join(command), result.stdout))
                return 1
        with open(os.path.join(again, "bin", "orvinst.exe"), "rb") as file:
            second = file.read()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if first == second:
        print("reproducible: passed (%d bytes, identical)" % len(first))
        return 0
    differing = [i for i in range(min(len(first), len(second))) if first[i] != second[i]]
    print("FAILED: the second build differs: %d and %d bytes, %d bytes differ" %
          (len(first), len(second), len(differing)))
    for offset in differing[:10]:
        print("  0x%x (%s): 0x%02x, then 0x%02x" % (offset, where(first, offset), first[offset], second[offset]))
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
