"""Runs one Windows program in a throwaway copy of the end-to-end template prefix, with a
wineserver of its own, and exits with its exit code. For a program that changes the machine,
which must neither disturb nor be disturbed by the prefix the other Windows tests share. The
copy is removed when the program passed and kept under <build>/e2e/runs/<name> when it did not.

    fresh_prefix.py --build-dir DIR [--name NAME] [--timeout SECONDS] program.exe
"""

import argparse
import os
import subprocess
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
    run_dir = os.path.join(os.path.abspath(options.build_dir), "e2e", "runs", options.name)
    prefix = os.path.join(run_dir, "fresh-prefix")
    subprocess.run(["rm", "-rf", run_dir], check=True)
    os.makedirs(run_dir)
    subprocess.run(["cp", "-a", harness.make_template(options.build_dir), prefix], check=True)
    env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win64", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    server = lambda flag: subprocess.run(["/usr/lib/wine/wineserver", flag], env=env, timeout=60)  # noqa: E731
    server("-p")
    try:
        # Wine's background programs keep inherited handles open, so output goes to a file.
        with open(os.path.join(run_dir, "output.log"), "wb") as log:
            status = subprocess.run(["/usr/lib/wine/wine64", os.path.abspath(options.program)], env=env,
                                    stdin=subprocess.DEVNULL, stdout=log, stderr=log, timeout=options.timeout).returncode
    except subprocess.TimeoutExpired:
        status = None
    finally:
        server("-k")
        server("-w")
    sys.stdout.write(open(os.path.join(run_dir, "output.log"), errors="replace").read())
    if status is None:
        print("%s: still running after %g s; ended" % (options.program, options.timeout))
    if status != 0:
        print("prefix kept: " + prefix)
        return 1
    subprocess.run(["rm", "-rf", run_dir], check=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
