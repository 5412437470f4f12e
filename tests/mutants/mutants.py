#!/usr/bin/env python3
"""Mutation check: applies each one-line change of changes.txt, one at a time, to a scratch copy
of the tree, rebuilds the host preset and runs the host tests. A change is caught when the tests
fail; every listed change must be caught.

  scripts/mutants [--scratch DIR] [--only TEXT] [--list]

changes.txt holds one change a line: "path/below/drv/install.cpp: what it breaks | old => new".
The old text is compared without its leading and trailing blanks; " ⏎ " joins consecutive lines.
The new text takes the old one's indent; with nothing after "=>" the old lines are dropped. Each
old text must match exactly one place.
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHANGES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "changes.txt")
TEST_TIMEOUT = 300
JOIN = " ⏎ "


def read_changes(path):
    changes = []
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        if not line.strip() or line.startswith("#"):
            continue
        file, _, rest = line.strip().partition(": ")
        what, _, edit = rest.partition(" | ")
        old, arrow, new = edit.partition(" =>")
        if not what or not arrow or not old.strip():
            sys.exit(f"changes.txt:{number}: expected \"file: what | old => new\"")
        changes.append({"what": what, "file": "drv/install/" + file,
                        "old": [part.strip() for part in old.split(JOIN)],
                        "new": [part.strip() for part in new.split(JOIN)] if new.strip() else []})
    return changes


def apply(text, change):
    """Returns the changed text, or None when the change does not match exactly one place."""
    lines = text.split("\n")
    old = change["old"]
    places = [i for i in range(len(lines) - len(old) + 1)
              if all(lines[i + k].strip() == old[k] for k in range(len(old)))]
    if len(places) != 1:
        return None
    at = places[0]
    indent = lines[at][: len(lines[at]) - len(lines[at].lstrip())]
    return "\n".join(lines[:at] + [indent + n for n in change["new"]] + lines[at + len(old):])


def run(command, cwd, timeout=None):
    try:
        done = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=timeout, text=True)
        return done.returncode, done.stdout
    except subprocess.TimeoutExpired:
        return "timeout", ""


def copy_tree(scratch):
    files = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT,
                           stdout=subprocess.PIPE, check=True).stdout.decode().split("\0")
    names = {name for name in files if name and os.path.isfile(os.path.join(ROOT, name))}
    for name in names:
        source, target = os.path.join(ROOT, name), os.path.join(scratch, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if not os.path.exists(target) or open(source, "rb").read() != open(target, "rb").read():
            shutil.copy(source, target)  # a fresh time stamp: never older than a mutant's object file
    # A file deleted from the tree since the last run must not linger in the copy: the build
    # globs its test sources.
    for directory, subdirectories, entries in os.walk(scratch):
        if directory == scratch:
            subdirectories[:] = [d for d in subdirectories if d != "build"]
        for entry in entries:
            path = os.path.join(directory, entry)
            if os.path.relpath(path, scratch) not in names:
                os.remove(path)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scratch", default="/tmp/orvinst-mutants")
    parser.add_argument("--only", help="run only the changes whose description contains this")
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    changes = read_changes(CHANGES)
    if args.only:
        changes = [c for c in changes if args.only in c["what"]]
    if args.list:
        for c in changes:
            print(f"{c['file']}: {c['what']}")
        return 0

    os.makedirs(args.scratch, exist_ok=True)
    copy_tree(args.scratch)
    for step in (["cmake", "--preset", "host"], ["cmake", "--build", "build/host"]):
        code, out = run(step, args.scratch)
        if code != 0:
            print(out)
            sys.exit("mutants: the unchanged tree does not build")
    tests = os.path.join(args.scratch, "build", "host", "orvinst_tests")
    code, out = run([tests, "--gtest_brief=1"], args.scratch, TEST_TIMEOUT)
    if code != 0:
        print(out[-4000:])
        sys.exit("mutants: the unchanged tree fails its own tests")

    missed, broken, started = [], [], time.time()
    for c in changes:
        path = os.path.join(args.scratch, c["file"])
        original = open(path, encoding="utf-8").read()
        changed = apply(original, c)
        if changed is None:
            print(f"NO MATCH  {c['file']}: {c['what']}")
            broken.append(c)
            continue
        open(path, "w", encoding="utf-8").write(changed)
        try:
            code, out = run(["cmake", "--build", "build/host", "--target", "orvinst_tests"], args.scratch)
            if code != 0:
                verdict = "NO BUILD"
                broken.append(c)
            else:
                code, out = run([tests, "--gtest_brief=1"], args.scratch, TEST_TIMEOUT)
                verdict = "caught  " if code != 0 else "MISSED  "
                if code == 0:
                    missed.append(c)
        finally:
            open(path, "w", encoding="utf-8").write(original)
        print(f"{verdict}  {c['file']}: {c['what']}", flush=True)

    # Put the scratch build back on the unchanged tree.
    run(["cmake", "--build", "build/host", "--target", "orvinst_tests"], args.scratch)
    total = len(changes)
    print(f"\n{total - len(missed) - len(broken)} of {total} changes caught, {len(missed)} missed, "
          f"{len(broken)} not applicable, in {time.time() - started:.0f} s")
    return 0 if not missed and not broken else 1


if __name__ == "__main__":
    sys.exit(main())
