#!/usr/bin/env python3
"""Mutation check: applies each one-line change of changes.txt, one at a time, to a scratch copy
of the tree, rebuilds the host preset and runs the host tests. A change is caught when the tests
fail; every listed change must be caught.

  scripts/mutants [--scratch DIR] [--only TEXT]

changes.txt holds one change a line: "path/below/drv/install.cpp: what it breaks | old => new".
The old text is compared without its leading and trailing blanks; " ⏎ " joins consecutive lines.
The new text takes the old one's indent; with nothing after "=>" the old lines are dropped. Each
old text must match exactly one place.
"""
import argparse, os, shutil, subprocess, sys, time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def read_changes(path):
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        if line.strip() and not line.startswith("#"):
            file, _, rest = line.strip().partition(": ")
            what, _, edit = rest.partition(" | ")
            old, arrow, new = edit.partition(" =>")
            if not what or not arrow or not old.strip():
                sys.exit(f"changes.txt:{number}: expected \"file: what | old => new\"")
            yield {"what": what, "file": "drv/install/" + file, "old": [p.strip() for p in old.split(" ⏎ ")],
                   "new": [p.strip() for p in new.split(" ⏎ ")] if new.strip() else []}


def apply(text, change):
    """The changed text, or None when the change does not match exactly one place."""
    lines, old = text.split("\n"), change["old"]
    places = [i for i in range(len(lines) - len(old) + 1)
              if all(lines[i + k].strip() == old[k] for k in range(len(old)))]
    if len(places) != 1:
        return None
    at = places[0]
    indent = lines[at][: len(lines[at]) - len(lines[at].lstrip())]
    return "\n".join(lines[:at] + [indent + n for n in change["new"]] + lines[at + len(old):])


def run(command, cwd, timeout=300):
    try:
        return subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=timeout, text=True).returncode
    except subprocess.TimeoutExpired:
        return "timeout"


def copy_tree(scratch):
    """The tree's files into the scratch copy: changed ones with a fresh time stamp (never older
    than a mutant's object file), deleted ones removed (the build globs its test sources)."""
    listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT,
                            stdout=subprocess.PIPE, check=True).stdout.decode().split("\0")
    names = {n for n in listed if n and os.path.isfile(os.path.join(ROOT, n))}
    for name in names:
        source, target = os.path.join(ROOT, name), os.path.join(scratch, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if not os.path.exists(target) or open(source, "rb").read() != open(target, "rb").read():
            shutil.copy(source, target)
    for directory, subdirectories, entries in os.walk(scratch):
        if directory == scratch:
            subdirectories[:] = [d for d in subdirectories if d != "build"]
        for entry in entries:
            if os.path.relpath(os.path.join(directory, entry), scratch) not in names:
                os.remove(os.path.join(directory, entry))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scratch", default="/tmp/orvinst-mutants")
    parser.add_argument("--only", default="", help="run only the changes whose description holds this")
    parser.add_argument("--skip", type=int, default=0, help="pass over the first N changes (a run resumed)")
    args = parser.parse_args()
    changes = [c for c in read_changes(os.path.join(ROOT, "tests/mutants/changes.txt")) if args.only in c["what"]]
    changes = changes[args.skip:]
    os.makedirs(args.scratch, exist_ok=True)
    copy_tree(args.scratch)
    build = ["cmake", "--build", "build/host", "--target", "orvinst_tests"]
    binary = [os.path.join(args.scratch, "build", "host", "orvinst_tests"), "--gtest_brief=1", "--gtest_fail_fast"]
    # The quick tests first, the sweeps only when those pass: a caught change costs seconds.
    tests = lambda: run(binary + ["--gtest_filter=-*Sweep*"], args.scratch) or run(binary + ["--gtest_filter=*Sweep*"],
                                                                                   args.scratch)
    if run(["cmake", "--preset", "host"], args.scratch) or run(build, args.scratch, None) or tests():
        sys.exit("mutants: the unchanged tree does not build or fails its own tests")
    missed, broken, started = [], [], time.time()
    for c in changes:
        path = os.path.join(args.scratch, c["file"])
        original = open(path, encoding="utf-8").read()
        changed = apply(original, c)
        if changed is None:
            verdict = "NO MATCH"
        else:
            open(path, "w", encoding="utf-8").write(changed)
            verdict = "NO BUILD" if run(build, args.scratch, None) else "caught  " if tests() else "MISSED  "
            open(path, "w", encoding="utf-8").write(original)
        (missed if verdict == "MISSED  " else broken if verdict != "caught  " else []).append(c)
        print(f"{verdict}  {c['file']}: {c['what']}", flush=True)
    run(build, args.scratch, None)  # the scratch build back on the unchanged tree
    print(f"\n{len(changes) - len(missed) - len(broken)} of {len(changes)} changes caught, {len(missed)} missed, "
          f"{len(broken)} not applicable, in {time.time() - started:.0f} s")
    return 1 if missed or broken else 0


if __name__ == "__main__":
    sys.exit(main())
