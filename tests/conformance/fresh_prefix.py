"""Runs one Windows program in a throwaway copy of the end-to-end template prefix, with a
wineserver of its own, and exits 0 when it did: for a program that changes the machine, which
must neither disturb nor be disturbed by the prefix the other Windows tests share. The copy is
removed when the program passed and kept under <build>/e2e/runs/fresh-prefix when it did not.

    fresh_prefix.py BUILD_DIR PROGRAM.exe
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))
import harness  # noqa: E402


def main(build_dir, program):
    run_dir = os.path.join(os.path.abspath(build_dir), "e2e", "runs", "fresh-prefix")
    subprocess.run(["rm", "-rf", run_dir], check=True)
    os.makedirs(run_dir)
    prefix, log_path = os.path.join(run_dir, "prefix"), os.path.join(run_dir, "output.log")
    subprocess.run(["cp", "-a", harness.make_template(build_dir), prefix], check=True)
    env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win64", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    status = None
    subprocess.run(["/usr/lib/wine/wineserver", "-p"], env=env, timeout=60)
    # Wine's background programs keep inherited handles open, so the output goes to a file.
    with open(log_path, "wb") as log:
        try:
            status = subprocess.run(["/usr/lib/wine/wine64", os.path.abspath(program)], env=env, timeout=90,
                                    stdin=subprocess.DEVNULL, stdout=log, stderr=log).returncode
        except subprocess.TimeoutExpired:
            print("%s: still running after 90 s; ended" % program)
    subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=env, timeout=60)
    subprocess.run(["/usr/lib/wine/wineserver", "-w"], env=env, timeout=60)
    sys.stdout.write(open(log_path, errors="replace").read())
    if status != 0:
        print("prefix kept: " + prefix)
        return 1
    subprocess.run(["rm", "-rf", run_dir], check=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
