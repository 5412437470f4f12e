"""Reinstall time at scale under Wine, against the bare spooler calls that carry printers over.

For each N, one prefix holds the product (monitor registered, driver added) and N product
printers, each with its comment, location and settings key, one of them the default. The
measured runs alternate on that prefix: the baseline program (bench/baseline.c), then
"orvinst.exe install"; both leave the same N printers behind, so every run starts from the same
state. Each run is timed by the scenario runner from its start to its end (so both pay the same
process start), and after each the spooler is read back: all N printers by name, the default,
and the comment, location and settings key of the first, middle and last. The first installer
run on a fresh prefix is a warm-up and not counted. The machine and its checks are a scenario
of the table's words, played by the scenario runner (tests/e2e/wine-scenario).

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
import tempfile

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PLAY = os.path.join(SOURCE_DIR, "tests", "e2e", "wine-scenario")
WINE = "/usr/lib/wine/wine64"


def printer(i):
    return ['"Office %04d"' % i, 'comment "comment of %d"' % i, 'location "room %d"' % i, "key Orvandelles-%04d" % i]


def scenario(n, runs):
    """The machine and, after every run, what must hold, in the table's words."""
    default = printer(min(2, n))[0]
    names = " ".join(printer(i)[0] for i in range(1, n + 1))
    samples = ["    printer " + " ".join(printer(i)) for i in sorted({1, (n + 1) // 2, n})]
    checks = ["    printers " + names, "    default " + default] + samples
    lines = ["scenario scale_%d" % n, "  product", "  installed"]
    lines += ["  printer %s dsuser %s" % (" ".join(printer(i)), printer(i)[3].split()[1]) for i in range(1, n + 1)]
    lines += ["  default " + default, "  run install", "    exit 1"] + checks
    for _ in range(runs):
        lines += ["  baseline"] + checks + ["  run install", "    exit 1", "    window none"] + checks
    return "\n".join(lines) + "\n"


def measure(build_dir, n, runs):
    """The times of the runs in seconds (the warm-up first) and the failures the runner printed."""
    with tempfile.TemporaryDirectory() as table:
        with open(os.path.join(table, "scale.txt"), "w") as out:
            out.write(scenario(n, runs))
        played = subprocess.run([PLAY, build_dir, "--table", "Z:" + table.replace("/", "\\"), "scale_%d" % n],
                                capture_output=True, text=True)
    times = {"install": [], "baseline": []}
    for kind, ms in re.findall(r"^time (install|baseline) (\d+) ms", played.stdout, re.M):
        times[kind].append(int(ms) / 1000)
    failures = [line for line in played.stdout.splitlines() if line.startswith("FAILED")]
    if played.returncode != 0 and not failures:
        failures = [played.stdout.strip().splitlines()[-1] if played.stdout.strip() else "the runner did not run"]
    return times, failures


def scale(build_dir, sizes, runs):
    print("Reinstall under Wine, wall-clock seconds over %d runs, each checked afterwards" % runs)
    print("%6s %15s %15s %13s %8s  %s" % ("N", "installer", "baseline", "ratio", "1st run", "carried over"))
    print("%6s %15s %15s %13s" % ("", "median   min", "median   min", "median  min"))
    medians = {}
    ok = True
    for n in sizes:
        print("load average before N=%d: %s" % (n, load_average()))
        times, failures = measure(build_dir, n, runs)
        warm_up, inst, base = times["install"][0:1], times["install"][1:], times["baseline"]
        if not inst or not base:
            print("%6d  no times: %s" % (n, "; ".join(failures[:3])))
            ok = False
            continue
        medians[n] = statistics.median(inst)
        verdict = "all %d" % n if not failures else "NO: " + "; ".join(failures[:3])
        ok = ok and not failures
        print("%6d %8.2f %6.2f %8.2f %6.2f %7.2f %5.2f %8.2f  %s" % (
            n, statistics.median(inst), min(inst), statistics.median(base), min(base),
            statistics.median(inst) / statistics.median(base), min(inst) / min(base), warm_up[0], verdict))
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
    """Sizes of the image and of what it loads, from the template prefix's system directory."""
    exe = os.path.join(build_dir, "bin", "orvinst.exe")
    subprocess.run([PLAY, build_dir, "--template"], check=True)
    system = os.path.join(build_dir, "e2e", "template", "drive_c", "windows", "system32")
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
    wine = subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip()
    return "Machine: %d cores (nproc), %s, %s, %s" % (int(subprocess.run(["nproc"], capture_output=True, text=True).stdout), cpu, wine or "wine ?", platform.platform())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--sizes", default="10,100,1000")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--image-only", action="store_true")
    args = parser.parse_args()
    build_dir = os.path.abspath(args.build_dir)
    print(machine_line())
    image(build_dir)
    if args.image_only:
        return 0
    print()
    ok = scale(build_dir, [int(n) for n in args.sizes.split(",")], args.runs)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
