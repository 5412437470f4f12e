#!/usr/bin/env python3
"""Plays the scenario table (tests/scenarios/*.txt) with the real orvinst.exe under Wine, each
scenario in a fresh copy of a template prefix.

    wine_runner.py --build-dir DIR SCENARIO     play one scenario (exit 0 passed, 1 failed)
    wine_runner.py --build-dir DIR --make-template
    wine_runner.py --list                       the scenarios Wine plays

E2E_KEEP=1 keeps every scenario's prefix (a failed scenario's prefix is always kept) under
DIR/e2e/runs/. Checks that start with "host" or "lock" need the simulated machine and are passed over.
"""

import glob
import os
import re
import shlex
import shutil
import struct
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))

from harness import (DRIVER_DIR, INSTALLER, OVERRIDES, PRODUCT_DRIVER, PRODUCT_PORT, SYSTEM_DIR, TRAY,  # noqa
                     BUILT, Machine, Run, make_template, wait)

TITLES = {"error": "Orvandelle build 2547- Install error log!", "plain": "Orvandelle build 2547- Install log.",
          "none": None}


# --- the table ---

class Malformed(Exception):
    pass


def split(text, where):
    words = shlex.shlex(text, posix=True)
    words.whitespace_split, words.quotes, words.escape, words.whitespace = True, '"', "", " "
    try:
        return list(words)
    except ValueError as error:
        raise Malformed(where + str(error))


def read_table():
    """{name: {"only", "actions": [(where, words, [(where, words, block)])]}}."""
    table = {}
    for path in sorted(glob.glob(os.path.join(HERE, "*.txt"))):
        current = None
        for number, raw in enumerate(open(path, encoding="utf-8"), 1):
            text = raw.rstrip(" \r\n")
            where = "%s:%d: " % (path, number)
            stripped = text.lstrip(" ")
            indent = len(text) - len(stripped)
            if not stripped or stripped.startswith("#"):
                continue
            if indent == 0:
                words = split(text, where)
                if len(words) != 2 or words[0] != "scenario":
                    raise Malformed(where + 'expected "scenario NAME" at the margin')
                current = table[words[1]] = {"only": "", "actions": []}
            elif current is None:
                raise Malformed(where + "a line before the first scenario")
            elif stripped.startswith("|"):
                current["actions"][-1][2][-1][2].append(stripped[2:].rstrip())
            elif indent == 2:
                words = split(stripped, where)
                if words[0] == "only":
                    current["only"] = words[1][:4]
                elif words[0] != "about":
                    current["actions"].append((where, words, []))
            else:
                current["actions"][-1][2].append((where, split(stripped, where), []))
    return table


# --- DLLs planted beside the installer, a spooler library that fails ---

PLANTED = ("version.dll", "winspool.drv", "localspl.dll")
PRODUCT_DIR = "C:\\Product\\drv"
# Windows' search order for these three: the program's own folder first (Wine takes its
# builtins first unless told). version.dll cannot be taken away: Wine's user32 imports it.
PLANTED_FIRST = OVERRIDES + ";version,winspool.drv,localspl=n,b"
SPOOLER_LIBRARY = {"missing": OVERRIDES + ";winspool.drv=", "hollow": OVERRIDES + ";winspool.drv=n", "restored": None}


def planted_marks(m):
    """{(dll, "loaded" or "called"): the programs or modules}, from the marks the planted DLLs
    left, which are removed once read."""
    marks = {}
    folder = m.unix(PRODUCT_DIR)
    for entry in os.listdir(folder):
        name, _, kind = entry.lower().rpartition(".")
        if name in PLANTED and kind in ("loaded", "called"):
            with open(os.path.join(folder, entry), encoding="utf-8", errors="replace") as mark:
                marks[(name, kind)] = mark.read().splitlines()
            os.remove(os.path.join(folder, entry))
    return marks


class Play:
    """One scenario on one machine: the runs of the last step, the state they left, failures."""

    def __init__(self, m):
        self.m, self.runs, self.before, self._state = m, [], None, None
        self.other_driver, self.overrides, self.where, self.holders = False, None, "", []
        self.failures, self.count, self.block = [], 0, []

    def state(self):
        if self._state is None:
            self._state = self.m.query()
        return self._state

    def check(self, ok, what):
        self.count += 1
        if not ok:
            self.failures.append(self.where + what)
        return ok

    def equal(self, actual, expected, what):
        return self.check(actual == expected, "%s: got %r, expected %r" % (what, actual, expected))

    def exists(self, path):
        """As Windows sees it: the file's name in any case."""
        folder, _, name = self.m.unix(path).rpartition("/")
        return os.path.isdir(folder) and name.lower() in map(str.lower, os.listdir(folder))


# --- the machine as a scenario describes it ---

DRIVER_FILES = ("zeldrv64.dll", "zelui64.dll", "zelhelp.chm")


def component(m, build, name):
    """A stand-in component file of a build ("none": without a version resource)."""
    return os.path.join(m.tools_dir, "components", *([] if name in ("zelhelp.chm", "orvtray.exe") else [str(build)]),
                        name)


def options(words, valued, flags=()):
    """NAME VALUE pairs, and FLAGs alone."""
    rest = [word for word in words if word not in flags]
    found = dict(zip(rest[::2], rest[1::2]))
    if len(rest) % 2 or not set(found) <= set(valued):
        raise Malformed("unknown options %r" % words)
    return dict(found, **{flag: "" for flag in flags if flag in words})


def do_product(p, w):
    """The installer and the components beside it, as an outer setup unpacks them."""
    rest = w[1:]
    build = int(rest.pop(0)) if rest and rest[0] != "missing" else 2547
    if rest and rest.pop(0) != "missing":
        raise Malformed('expected "missing"')
    p.m.put(os.path.join(p.m.build_dir, "bin", "orvinst.exe"), INSTALLER)
    for name in ("zelmon64.dll",) + DRIVER_FILES + ("orvtray.exe",):
        path = TRAY if name == "orvtray.exe" else PRODUCT_DIR + "\\" + name
        if name not in rest:
            p.m.put(component(p.m, build, name), path)
        elif os.path.exists(p.m.unix(path)):
            os.remove(p.m.unix(path))  # taken away since the last "product", as a scanner does


def seed_driver(p, name, files, first=()):
    """A driver added from files (source, name) staged for the call and deleted afterwards, as
    an install does; no third file means no help file."""
    staged = [DRIVER_DIR + "\\" + target for _, target in files]
    for (source, _), path in zip(files, staged):
        p.m.put(source, path)
    p.m.seed(*first, "driver|%s|%s" % (name, "|".join(staged + ["-"] * (3 - len(staged)))))
    for path in staged:
        os.remove(p.m.unix(path))


def do_installed(p, w):
    """The product as an install leaves it, without printers."""
    o = options(w[1:], ("monitor", "driver", "monitor-dll"))
    dll = o.get("monitor-dll", "zelmon64.dll")
    p.m.put(component(p.m, o.get("monitor", 2547), "zelmon64.dll"), SYSTEM_DIR + "\\" + dll)
    seed_driver(p, PRODUCT_DRIVER, [(component(p.m, o.get("driver", 2547), name), name) for name in DRIVER_FILES],
                ["monitor|" + dll])


def printer_command(name, port, driver, o):
    return "printer|%s|%s|%s|%s" % (name, port, driver, "|".join(o.get(k, "-") for k in ("comment", "location", "key",
                                                                                         "dsuser")))


QUEUE_WORDS = ("share", "shared", "priority", "default-priority", "separator", "hours", "spooling", "permissions")
SPOOLING = {"queued": 0x1, "direct": 0x2, "keep": 0x100, "complete-first": 0x200, "bidi": 0x800}
SHARED, LOCAL = 0x8, 0x40


def queue_command(name, o):
    """What an administrator set on the queue. Wine keeps no permissions (docs/wine-differences.md)."""
    attributes = (SHARED if o.get("shared") == "yes" else 0) | sum(
        SPOOLING[x] for x in o.get("spooling", "queued").split(",") if x in SPOOLING)
    start, _, until = o.get("hours", "0-0").partition("-")
    return "queue|%s|%s|%d|%s|%s|%s|%s|%s" % (name, o.get("share", "-"), attributes, o.get("priority", "1"),
                                             o.get("default-priority", "0"), o.get("separator", "-"), start, until)


def printer_commands(w):
    o = options(w[2:], ("comment", "location", "key", "dsuser") + QUEUE_WORDS, ("settings",))
    marked = [o[k] for k in ("key", "dsuser") if "settings" in o and k in o and (k == "key" or o[k] != o.get("key"))]
    queue = [queue_command(w[1], o)] if any(k in o for k in QUEUE_WORDS) else []
    return [printer_command(w[1], PRODUCT_PORT, PRODUCT_DRIVER, o)] + queue + ["settings|" + key for key in marked]


def do_other(p, w):
    """A printer of another maker's driver (renamed stand-in files), which the installer must leave alone."""
    if not p.other_driver:
        seed_driver(p, "Other printer", [(component(p.m, 2547, "zeldrv64.dll"), "othdrv64.dll"),
                                         (component(p.m, 2547, "zelui64.dll"), "othui64.dll")])
        p.other_driver = True
    o = options(w[2:], ("port", "comment", "location"))
    p.m.seed(printer_command(w[1], o["port"], "Other printer", o))


def many_printers(count):
    for i in range(1, count + 1):
        n = "%03d" % i
        yield ["printer", "Orvandelle " + n, "comment", "Desk " + n, "location", "Floor %d, room %s" % (i % 5, n),
               "key", "K-" + n, "dsuser", "K-" + n, "settings"]


def do_many(p, w):
    """Seeded 100 printers at a time: a Windows command line holds at most 32,767 characters."""
    printers = list(many_printers(int(w[1])))
    for first in range(0, len(printers), 100):
        p.m.seed(*[c for words in printers[first:first + 100] for c in printer_commands(words)])
    p.m.seed("default|Orvandelle 107")


def do_hold(p, w):
    """Another process loads the file and keeps it loaded until "release"; "squat": it takes the
    installer's lock name first, as a standard user's program, until "release"."""
    process, log, _ = p.m.spawn(p.m.tool("spooler"), [w[0] + "|" + w[1]], w[0])
    p.holders.append(process)
    for _ in range(600):
        with open(log, encoding="utf-8", errors="replace") as output:
            text = output.read()
        if "held " in text:
            return
        if "FAILED" in text or wait(process, 0.05) is not None:
            break
    raise RuntimeError("holding %s failed:\n%s" % (w[1], text))


def do_tray(p, w):
    """The tray program started as at logon, from its Run value, and its window up."""
    p.m.seed("run|" + TRAY)
    p.m.spawn(TRAY, [], "tray")
    deadline = time.time() + 10
    while p.m.query().tray != "window mutex":
        if time.time() > deadline:
            raise RuntimeError("the tray program did not start")


def do_release(p, w):
    p.m.seed("release")
    for process in p.holders:
        wait(process, 20)


def do_restart(p, w):
    """"wineboot -r" carries out the pending renames; the wineserver and the programs stay."""
    status, text = p.m.wine("wineboot", ["-r"], "restart")
    if status != 0:
        raise RuntimeError("wineboot -r failed (%s):\n%s" % (status, text))


def do_plant(p, w):
    """Proof first that a program built the usual way takes all three, else this proves nothing."""
    for name in PLANTED:
        p.m.put(os.path.join(p.m.tools_dir, "planted.dll"), PRODUCT_DIR + "\\" + name)
    naive = PRODUCT_DIR + "\\naive_loader.exe"
    p.m.put(os.path.join(p.m.tools_dir, "naive_loader.exe"), naive)
    p.equal(p.m.launch([], program=naive, overrides=PLANTED_FIRST).exit, 0, "exit code of the usual program")
    p.equal(sorted(planted_marks(p.m)), [("localspl.dll", "loaded"), ("version.dll", "called"),
                                         ("version.dll", "loaded"), ("winspool.drv", "called"),
                                         ("winspool.drv", "loaded")], "planted DLLs the usual program takes")
    os.remove(p.m.unix(naive))


def do_spooler_library(p, w):
    """"hollow": the system's winspool.drv lacks the spooler's functions."""
    if w[1] not in SPOOLER_LIBRARY:
        raise Malformed("spooler-library wants missing, hollow or restored")
    wine_copy = os.path.join(p.m.run_dir, "winspool.drv.wine")
    if not os.path.exists(wine_copy):
        shutil.copy2(p.m.unix(SYSTEM_DIR + "\\winspool.drv"), wine_copy)
    p.m.put(component(p.m, 2547, "zeldrv64.dll") if w[1] == "hollow" else wine_copy, SYSTEM_DIR + "\\winspool.drv")
    p.overrides = SPOOLER_LIBRARY[w[1]]


RUN_FLAGS = ("shift", "unseen", "screenshot", "planted")


def do_run(p, w):
    """Any log window is read and closed. Unseen: in a window station of its own with no display
    surface, as a deployment service running as SYSTEM starts it; a run past 20 s is ended.
    Screenshot: the log window pictured as a person at the screen sees it, kept among the
    artifacts (with a display only)."""
    words = [x for x in w[1:2] if x not in RUN_FLAGS and x != "killed"]
    flags = options(w[1 + len(words):], ("killed",), RUN_FLAGS)
    launcher, timeout_ms = ["--watch-window"] + (["--shift"] if "shift" in flags else []), 90000
    if "unseen" in flags:
        probe = p.m.launch([], ["--station", "--probe"], 20000, program="station-probe")
        p.equal(probe.exit, 0, "flags of the launcher's station (WSF_VISIBLE is 1)")
        launcher, timeout_ms = ["--station"], 20000
    screenshot = os.path.join(p.m.artifacts_dir, os.path.basename(p.m.run_dir) + "-log-window.bmp")
    if "screenshot" in flags and p.m.display:
        launcher.append("--screenshot=Z:" + screenshot.replace("/", "\\"))
    overrides = PLANTED_FIRST if "planted" in flags else p.overrides or OVERRIDES
    watcher = start_killer(p, flags["killed"]) if "killed" in flags else None
    p.runs = [p.m.launch(words, launcher, timeout_ms, overrides=overrides)]
    if watcher:
        status, text = p.m.finish(watcher)
        killed = "killed at " in text
        p.check(killed, "orvinst.exe ended from outside (%s): %s" % (status, text.strip()))
        if killed:
            print("note: orvinst.exe %s product printers" % text.strip().splitlines()[-1])
            p.runs[0].exit = "killed"
    if "screenshot" in flags and p.m.display and p.check(p.runs[0].screenshot_saved, "screenshot taken"):
        with open(screenshot, "rb") as image:
            data = image.read()
        pixels = struct.unpack_from("<I", data, 10)[0]
        p.check(len({data[i:i + 3] for i in range(pixels, len(data) - 2, 3 * 97)}) > 1, "more than one colour")
        print("screenshot of the log window: " + screenshot)


def start_killer(p, when):
    """"killed first-gone|half-back": a watcher ends orvinst.exe with TerminateProcess once the
    spooler shows the first product printer gone, or half of them back after they went; it is
    polling before the run starts."""
    count = len(p.m.query().product_printers())
    watcher = p.m.spawn(p.m.tool("spooler"), ["kill-when", when, str(count)], "kill-when")
    for _ in range(600):
        with open(watcher[1], encoding="utf-8", errors="replace") as output:
            if "watching" in output.read():
                return watcher
        if wait(watcher[0], 0.05) is not None:
            break
    raise RuntimeError("the watcher that ends orvinst.exe did not start")


def do_together(p, w):
    """One launcher per command word started at once, as two deployment tools would."""
    launches = [p.m.start_launch([word], ["--watch-window"], 120000) for word in w[1:]]
    p.runs = [p.m.finish_launch(launch) for launch in launches]


def do_beside_window(p, w):
    """The first run's log window stays open, as a person who left it would, while the second
    run starts and ends; then it is closed. The second must not wait for it."""
    released = os.path.join(p.m.run_dir, "window-released")
    first = p.m.start_launch([w[1]], ["--watch-window", "--keep-window=Z:" + released.replace("/", "\\")], 120000)
    deadline = time.time() + 90
    while time.time() < deadline and wait(first[0], 0.1) is None:
        with open(first[1], encoding="utf-8", errors="replace") as output:
            if "window-open" in output.read():
                break
    second = p.m.launch([w[2]], ["--watch-window"], 120000)
    open(released, "w").close()
    first_text = p.m.finish(first)[1]
    p.check("window-kept released" in first_text, "the second run ended while the first one's log window was open")
    p.runs = [Run(first_text), second]


ACTIONS = {
    "product": do_product, "installed": do_installed, "printer": lambda p, w: p.m.seed(*printer_commands(w)),
    "other": do_other, "many": do_many, "default": lambda p, w: p.m.seed("default|" + w[1]),
    "tray": do_tray,
    "pending": lambda p, w: p.m.seed("|".join(w)), "pending2": lambda p, w: p.m.seed("|".join(w)),
    "hold": do_hold, "squat": do_hold, "release": do_release, "beside-window": do_beside_window,
    "restart": do_restart, "copy": lambda p, w: p.m.put(component(p.m, w[1], w[2]), w[3]),
    "runvalue": lambda p, w: p.m.seed("run|" + w[1]), "plant": do_plant, "spooler-library": do_spooler_library,
    "run": do_run, "together": do_together,
}


# --- what must hold ---

def log_lines(p, trim=True):
    text = p.runs[0].window_text if p.runs else None
    if not p.check(text is not None, "the run showed a log"):
        return []
    return [line.strip() if trim else line.rstrip() for line in text.splitlines()]


def matches(line, pattern):
    return line.startswith(pattern[:-3]) if pattern.endswith("...") else line == pattern


def listed(words):
    return [] if words == ["none"] else list(words)


def check_window(p, w):
    for k, run in enumerate(p.runs):
        p.equal(run.window, TITLES[w[1]], "log window of run %d, with:\n%s" % (k + 1, run.window_text))


def check_log(p, w, present):
    lines = log_lines(p)
    for pattern in w[1:]:
        p.equal(any(matches(line, pattern) for line in lines), present, "log line %r" % pattern)


def error_lines(p):
    return [line for line in log_lines(p) if "Error(" in line]


def check_errors(p, w):
    errors, expected = error_lines(p), listed(w[1:])
    p.check(len(errors) == len(expected) and all(map(matches, errors, expected)),
            "error lines: got %r, expected %r" % (errors, expected))


def check_first_error(p, w):
    errors = error_lines(p)
    p.check(errors[:1] != [] and errors[0].startswith(w[1]) and w[2] in errors[0].lower(),
            "the first error starts %r and gives the reason (%s): %r" % (w[1], w[2], errors))


def check_monitor(p, w):
    if w[1] == "none":
        p.check(PRODUCT_PORT not in p.state().monitors, "monitor unregistered")
        return
    p.equal(p.state().monitors.get(PRODUCT_PORT), "zelmon64.dll", "registered monitor DLL")
    p.equal(p.state().builds.get(BUILT[0].lower()), int(w[1]), "build of the monitor in the system dir")


def check_driver(p, w):
    driver = p.state().drivers.get(PRODUCT_DRIVER)
    if w[1] == "none" or not p.check(driver is not None, "driver %r registered for Windows x64" % PRODUCT_DRIVER):
        p.check(driver is None, "driver removed")
        return
    p.equal(driver["version"], "3", "driver version")
    for field, name in (("driver", "zeldrv64.dll"), ("data", "zeldrv64.dll"), ("config", "zelui64.dll"),
                        ("help", "zelhelp.chm")):
        p.check(driver[field].lower().endswith("\\3\\" + name),
                "driver %s file is 3\\%s: %r" % (field, name, driver[field]))
        p.check(not p.exists(DRIVER_DIR + "\\" + name), "staged copy %s deleted from the driver dir" % name)
    for path in BUILT[1:]:
        p.equal(p.state().builds.get(path.lower()), int(w[1]), "build of " + path)


def check_printers(p, w):
    p.equal(sorted(p.state().product_printers()), sorted(listed(w[1:])), "product printers")


def queue_fields(printer):
    """The queue words of a printer as the query read it, as the table writes them."""
    attributes = int(printer.attributes)
    spooling = ",".join(x for x, bit in SPOOLING.items() if attributes & bit) or "none"
    return {"share": "none" if printer.share == "(null)" else printer.share,
            "shared": "yes" if attributes & SHARED else "no", "priority": printer.priority,
            "default-priority": printer.default_priority,
            "separator": "none" if printer.separator in ("(null)", "") else printer.separator,
            "hours": "%s-%s" % (printer.start, printer.until), "spooling": spooling}


def check_printer(p, w):
    o = options(w[2:], ("comment", "location", "key") + QUEUE_WORDS)
    printer = p.state().product_printers().get(w[1])
    if not p.check(printer is not None, "product printer %r" % w[1]):
        return
    p.equal(printer.port, PRODUCT_PORT, w[1] + ": port")
    for field in ("comment", "location"):
        if field in o:
            p.equal(getattr(printer, field).replace("(null)", ""), o[field], "%s: %s" % (w[1], field))
    if "key" in o:
        key = "(none)" if o["key"] == "none" else o["key"]
        p.equal((printer.subkey, printer.dsuser), (key, key), w[1] + ": settings keys")
    seen = queue_fields(printer)
    for field in QUEUE_WORDS:
        if field == "permissions" and field in o:
            print("note: %s: Wine keeps no permissions, checked on winsim only" % w[1])
        elif field in o:
            p.equal(seen[field], o[field], "%s: %s" % (w[1], field))


def check_pending(p, w):
    """The first list or the second ("pending2"). Wine writes no "*1" before a deletion where
    Windows 10 and 11 do: that marker counts only where the table writes one."""
    expected = [x.lower() for x in listed(w[1:])]
    pairs = []
    for source, target in getattr(p.state(), w[0]):
        if not (len(expected) > len(pairs) and expected[len(pairs)].startswith("*")):
            source = re.sub(r"^\*[0-9]+", "", source)
        pairs.append((source + ("=>" + target if target else "")).lower())
    p.equal(pairs, expected, "pending renames of " + w[0])


def check_tray(p, w):
    """The tray program starts or ends on its own time: the state once it has, or after 10 s."""
    running = w[1] == "running"
    expected, deadline = "window mutex" if running else None, time.time() + 10
    while p.state().tray != expected and time.time() < deadline:
        p._state = None
    p.equal(p.state().run_value, TRAY if running else None, "Run value OrvandelleTray")
    p.equal(p.state().tray, expected, "the tray program's window and mutex")
    if not running:
        p.check(not p.exists(TRAY), "the tray program's file is deleted")


def check_many(p, w):
    printers = p.state().product_printers()
    expected = {words[1]: words for words in many_printers(int(w[2]))}
    p.equal(sorted(printers), sorted(expected), "product printers")
    wrong = [name for name, words in expected.items() if name in printers and
             (printers[name].comment, printers[name].location, printers[name].subkey, printers[name].dsuser)
             != (words[3], words[5], words[7], words[9])]
    p.equal(wrong, [], "printers whose comment, location or settings key changed")
    p.equal(p.state().default, "Orvandelle 107", "default printer")


def check_product(p, w):
    """Two runs started together ended one after the other: uninstalled, or as an install
    leaves an empty machine."""
    if PRODUCT_PORT in p.state().monitors:
        print("note: the install ran last")
        check_monitor(p, ["monitor", "2547"])
        check_printers(p, ["printers", "Orvandelle"])
    else:
        print("note: the uninstall ran last")
        check_driver(p, ["driver", "none"])
        check_printers(p, ["printers", "none"])
        check_tray(p, ["tray", "removed"])


def check_planted(p, w):
    """Wine's own user32 imports version.dll and calls it, so native-first Wine loads a planted
    copy into every program with a window (docs/wine-differences.md); the installer itself
    may neither load nor call it."""
    marks = planted_marks(p.m)
    marks.pop(("version.dll", "loaded"), None)
    system = SYSTEM_DIR.lower() + "\\"
    callers = [x for x in marks.pop(("version.dll", "called"), []) if not x.lower().startswith(system)]
    if callers:
        marks[("version.dll", "called")] = callers
    p.equal(marks, {}, "marks of planted DLLs")


CHECKS = {
    "exit": lambda p, w: p.equal([str(run.exit) for run in p.runs], w[1:], "exit codes"),
    "record": lambda p, w: p.equal(sorted([] if p.state().record is None else p.state().record or ["(an empty key)"]),
                                   sorted(listed(w[1:])), "printers in the record of printers being carried over"),
    "window": check_window, "errors": check_errors, "first-error": check_first_error,
    "monitor": check_monitor, "driver": check_driver, "printers": check_printers, "printer": check_printer,
    "others": lambda p, w: p.equal(p.state().other_printers(), p.before.other_printers(), "other drivers' printers"),
    "default": lambda p, w: p.equal(p.state().default, None if w[1] == "none" else w[1], "default printer"),
    "pending": check_pending, "pending2": check_pending, "tray": check_tray, "many": check_many, "product": check_product,
    "marked": lambda p, w: p.equal(sorted(k for k, deleted in p.state().settings.items() if deleted),
                                   sorted(listed(w[1:])), "settings keys still marked deleted"),
    "file": lambda p, w: p.equal("present" if p.exists(w[1]) else "absent", w[2], w[1]),
    "planted": check_planted, "host": lambda p, w: None,
    # The lock's checks read the simulated clock and call record.
    "lock": lambda p, w: None,
    "log": lambda p, w: check_log(p, w, True), "nolog": lambda p, w: check_log(p, w, False),
    "whole-log": lambda p, w: p.equal(log_lines(p, trim=False), p.block, "the whole log"),
}


def play(p, scenario):
    for where, words, checks in scenario["actions"]:
        p.where, p._state = where, None
        if words[0] not in ACTIONS:
            raise Malformed(where + "unknown action %r" % words[0])
        if words[0] in ("run", "together", "beside-window"):
            p.before = p.state()
        ACTIONS[words[0]](p, words)
        p._state = None
        for p.where, words, p.block in checks:
            if words[0] not in CHECKS:
                raise Malformed(p.where + "unknown check %r" % words[0])
            CHECKS[words[0]](p, words)


def run_scenario(build_dir, name, scenario, argv):
    display = any(w[0] == "run" and "screenshot" in w for _, w, _ in scenario["actions"])
    if display and not os.environ.get("DISPLAY"):
        if shutil.which("xvfb-run"):
            os.execvp("xvfb-run", ["xvfb-run", "-a", sys.executable, os.path.abspath(__file__)] + argv)
        print("no display (xvfb-run missing): the screenshot is left out")
        display = False
    started = time.time()
    template = make_template(build_dir)
    m = Machine(build_dir, name, display=display)
    p = Play(m)
    try:
        m.create(template)
        play(p, scenario)
    except Exception:
        p.failures.append("exception:\n" + traceback.format_exc())
    finally:
        m.stop()
    elapsed = time.time() - started
    if p.failures:
        print("FAILED %s (%d of %d checks, %.1f s); prefix and logs kept in %s" %
              (name, len(p.failures), max(p.count, len(p.failures)), elapsed, m.run_dir))
        for failure in p.failures:
            print("  - " + failure.replace("\n", "\n    "))
        return 1
    if not os.environ.get("E2E_KEEP"):
        m.remove()
    print("passed %s (%d checks, %.1f s)" % (name, p.count, elapsed))
    return 0


def main(argv):
    table = {name: s for name, s in read_table().items() if s["only"] != "host"}
    if argv == ["--list"]:
        print("\n".join(table))
    elif argv[:1] == ["--build-dir"] and argv[2:] == ["--make-template"]:
        print("template prefix: " + make_template(argv[1]))
    elif argv[:1] == ["--build-dir"] and len(argv) == 3 and argv[2] in table:
        return run_scenario(argv[1], argv[2], table[argv[2]], argv)
    else:
        sys.exit(__doc__)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
