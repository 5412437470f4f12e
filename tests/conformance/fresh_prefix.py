"""Runs one Windows program in a throwaway Wine prefix and exits with its exit code.

For a test program that changes the machine (the conformance program adds a monitor, drivers
and printers), which must neither disturb nor be disturbed by the prefix the other Windows tests
share. The prefix is a copy of the end-to-end harness's warm template (made once per build
tree), with a wineserver of its own for the program's lifetime; it is removed when the program
passed and kept under <build>/e2e/runs/<name> for a look when it did not.

    fresh_prefix.py --build-dir DIR [--name NAME] [--timeout SECONDS] program.exe
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))
import harness  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--name", default="conformance")
    parser.add_argument("--timeout", type=float, default=90)
    parser.add_argument("program")
    options = parser.parse_args()

    machine = harness.Machine(options.build_dir, options.name)
    machine.create(harness.make_template(options.build_dir))
    machine.start()
    try:
        status, text = machine.wine(os.path.abspath(options.program), [], "program", timeout=options.timeout)
    finally:
        machine.stop()
    sys.stdout.write(text)
    if status is None:
        print("%s: still running after %g s; ended" % (options.program, options.timeout))
        status = 1
    if status == 0:
        machine.remove()
    else:
        print("prefix kept: " + machine.prefix)
    return status


if __name__ == "__main__":
    sys.exit(main())
