"""Reinstall time at scale under Wine, against the bare spooler calls that carry printers over.

For each N, one prefix holds the product (monitor registered, driver added) and N product
printers, each with its comment, location and settings key, one of them the default. The
measured runs alternate on that prefix: the baseline program (bench/baseline.c), then
"orvinst.exe install"; both leave the same N printers behind, so every run starts from the same
state. Each run is timed from the launcher's start to its end (so both pay the same process
start), and after each the spooler is read back: all N printers with their names, comments,
locations, settings keys and the default. The first installer run on a fresh prefix is a
warm-up and not counted.

Also prints the size of orvinst.exe and of each DLL it imports, from the prefix's system
directory.

    python3 bench/scale.py --build-dir build/win64 [--sizes 10,100,1000] [--runs 5]
"""

import argparse
import os
import platform
import re
import statistics
import subprocess
import sys
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BASELINE = "C:\\bench\\baseline.exe"
SEED_BATCH = 150  # printer commands per seeding run, to stay within a command line's length


# The end-to-end harness makes, seeds, runs and reads the Wine prefixes, and the scenario runner
# lays the product out and seeds it as installed: the pieces of the tests used here.
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "scenarios"))
import harness  # noqa: E402
from wine_runner import ACTIONS, Play  # noqa: E402


def printer_name(i):
    return "Office %04d" % i


def expected_printers(n):
    """name -> (comment, location, settings key); the default is printer 2 (or 1)."""
    return {printer_name(i): ("comment of %d" % i, "room %d" % i, "Orvandelles-%04d" % i) for i in range(1, n + 1)}


def default_of(n):
    return printer_name(min(2, n))


def seed_state(machine, n):
    play = Play(machine)
    for words in (["product"], ["installed"]):
        ACTIONS[words[0]](play, words)
    machine.put(os.path.join(machine.build_dir, "bin", "bench", "bench_baseline.exe"), BASELINE)
    commands = []
    for name, (comment, location, key) in expected_printers(n).items():
        commands.append("printer|%s|%s|%s|%s|%s|%s|%s" % (name, harness.PRODUCT_PORT, harness.PRODUCT_DRIVER,
                                                          comment, location, key, key))
    for start in range(0, len(commands), SEED_BATCH):
        machine.seed(*commands[start:start + SEED_BATCH])
    machine.seed("default|" + default_of(n))


def carried_over(machine, n):
    """What differs from the N printers as seeded; empty when all were carried over."""
    state = machine.query()
    problems = []
    found = state.product_printers()
    for name, (comment, location, key) in expected_printers(n).items():
        p = found.get(name)
        if p is None:
            problems.append("%s missing" % name)
        elif (p.comment, p.location, p.subkey, p.dsuser, p.port) != (comment, location, key, key,
                                                                      harness.PRODUCT_PORT):
            problems.append("%s carried as %r" % (name, p))
    extra = sorted(set(found) - set(expected_printers(n)))
    if extra:
        problems.append("extra printers: %s" % ", ".join(extra[:5]))
    if state.default != default_of(n):
        problems.append("default is %r, not %r" % (state.default, default_of(n)))
    return problems


def timed(machine, program, words, expected_exit):
    """Wall time of one launch, in seconds; the run must end with its exit code."""
    start = time.monotonic()
    run = machine.launch(words, ["--watch-window"], 600000, program=program)
    elapsed = time.monotonic() - start
    if run.exit != expected_exit or run.window is not None:
        raise RuntimeError("%s %s ended with %r (window %r)" % (program, words, run.exit, run.window))
    return elapsed


def measure(build_dir, template, n, runs):
    machine = harness.Machine(build_dir, "bench-%d" % n)
    machine.create(template)  # its wineserver started
    try:
        seed_state(machine, n)
        warm_up = timed(machine, harness.INSTALLER, ["install"], 1)
        times = {"installer": [], "baseline": []}
        problems = carried_over(machine, n)
        for _ in range(runs):
            times["baseline"].append(timed(machine, BASELINE, [], 0))
            problems += ["baseline: " + p for p in carried_over(machine, n)]
            times["installer"].append(timed(machine, harness.INSTALLER, ["install"], 1))
            problems += ["installer: " + p for p in carried_over(machine, n)]
        return warm_up, times, problems
    finally:
        machine.stop()
        machine.remove()


def scale(build_dir, sizes, runs):
    template = harness.make_template(build_dir)
    print("Reinstall under Wine, wall-clock seconds over %d runs, each checked afterwards" % runs)
    print("%6s %15s %15s %13s %8s  %s" % ("N", "installer", "baseline", "ratio", "1st run", "carried over"))
    print("%6s %15s %15s %13s" % ("", "median   min", "median   min", "median  min"))
    medians = {}
    ok = True
    for n in sizes:
        print("load average before N=%d: %s" % (n, load_average()))
        warm_up, times, problems = measure(build_dir, template, n, runs)
        inst, base = times["installer"], times["baseline"]
        medians[n] = statistics.median(inst)
        verdict = "all %d" % n if not problems else "NO: " + "; ".join(problems[:3])
        ok = ok and not problems
        print("%6d %8.2f %6.2f %8.2f %6.2f %7.2f %5.2f %8.2f  %s" % (
            n, statistics.median(inst), min(inst), statistics.median(base), min(base),
            statistics.median(inst) / statistics.median(base), min(inst) / min(base), warm_up, verdict))
        print("%6s runs: installer %s; baseline %s" % ("", fmt(inst), fmt(base)))
    if 100 in medians and 1000 in medians:
        print("time(1000)/time(100) = %.2f (medians)" % (medians[1000] / medians[100]))
    return ok


def load_average():
    with open("/proc/loadavg") as load:
        return " ".join(load.read().split()[:3])


def fmt(values):
    return " ".join("%.2f" % v for v in values)


def imported_dlls(exe):
    output = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], capture_output=True, text=True,
                            check=True).stdout
    return re.findall(r"DLL Name: (\S+)", output)


def image(build_dir):
    """Sizes of the image and of what it loads, from a prefix's system directory."""
    exe = os.path.join(os.path.abspath(build_dir), "bin", "orvinst.exe")
    template = harness.make_template(build_dir)
    system = os.path.join(template, "drive_c", "windows", "system32")
    print("Image: orvinst.exe %d bytes" % os.path.getsize(exe))
    bound = ["winspool.drv", "version.dll"]
    for kind, names in (("imported", imported_dlls(exe)), ("bound at run time", bound)):
        for name in names:
            path = os.path.join(system, name.lower())
            size = os.path.getsize(path) if os.path.exists(path) else None
            print("  %-18s %-14s %s" % (kind, name, "%d bytes" % size if size is not None else "(not in prefix)"))


def machine_line():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    wine = subprocess.run([harness.WINE, "--version"], capture_output=True, text=True).stdout.strip()
    return "Machine: %d cores (nproc), %s, %s, %s" % (int(subprocess.run(["nproc"], capture_output=True, text=True).stdout), cpu, wine or "wine ?", platform.platform())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--sizes", default="10,100,1000")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--image-only", action="store_true")
    args = parser.parse_args()
    print(machine_line())
    image(args.build_dir)
    if args.image_only:
        return 0
    print()
    ok = scale(args.build_dir, [int(n) for n in args.sizes.split(",")], args.runs)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
