"""Runs one Windows program in a throwaway copy of the end-to-end template prefix, with a
wineserver of its own, and exits 0 when it did: for a program that changes the machine, which
must neither disturb nor be disturbed by the prefix the other Windows tests share. The copy is
removed when the program passed and kept under <build>/e2e/runs/fresh-prefix when it did not.

    fresh_prefix.py BUILD_DIR PROGRAM.exe
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))
import harness  # noqa: E402


def main(build_dir, program):
    machine = harness.Machine(build_dir, "fresh-prefix")
    machine.create(harness.make_template(build_dir))  # its wineserver started
    status, output = machine.wine(os.path.abspath(program), [], "program", timeout=90)
    machine.stop()
    print(output if status is not None else output + "\n%s: still running after 90 s; ended" % program)
    if status != 0:
        print("prefix kept: " + machine.prefix)
        return 1
    machine.remove()
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
