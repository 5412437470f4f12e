#!/usr/bin/env python3
"""End-to-end scenarios: the real orvinst.exe on Wine's spooler, registry and file system.

    scenarios.py --build-dir DIR SCENARIO     run one scenario (exit 0 passed, 1 failed, 77 skipped)
    scenarios.py --build-dir DIR --make-template
    scenarios.py --list

A scenario that needs a part of the installer still stubbed out is skipped, naming the part;
E2E_REQUIRE_ALL=1 runs it anyway. E2E_KEEP=1 keeps every scenario's prefix (a failed
scenario's prefix is always kept) under DIR/e2e/runs/.
"""

import os
import shutil
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import (PRODUCT_DRIVER, PRODUCT_PORT, SKIP_CODE, SYSTEM_DIR, TRAY, Checks,  # noqa: E402
                     Machine, Run, bmp_to_png, landed, make_template, missing_parts, picture_has_content,
                     under_display)

SCENARIOS = {}

TITLE_ERRORS = "Orvandelle build 2547- Install error log!"
TITLE_PLAIN = "Orvandelle build 2547- Install log."
MONITOR_PATH = SYSTEM_DIR + "\\zelmon64.dll"


def scenario(needs=(), display=False):
    """Registers a scenario with the parts of the installer it needs and whether it wants a
    display (for a screenshot)."""

    def register(function):
        SCENARIOS[function.__name__] = (function, tuple(needs), display)
        return function

    return register


# --- checks shared by several scenarios ---

def no_window(c, run):
    c.check(run.window is None, "no log window expected, got %r with:\n%s" % (run.window, run.window_text))


def wait_for_tray(m, running, seconds=10):
    """The tray program starts or ends on its own time; the state once it has."""
    deadline = time.time() + seconds
    while True:
        state = m.query()
        if (state.tray_window and state.tray_mutex) == running or time.time() > deadline:
            return state
        time.sleep(0.2)


def check_product_installed(c, state, monitor_build=2547):
    """Monitor, driver and their files as a finished install leaves them, as far as the parts
    that do it are in the build."""
    if landed("monitor"):
        c.equal(state.monitors.get(PRODUCT_PORT), "zelmon64.dll", "registered monitor DLL")
        c.equal(state.system_files.get("zelmon64.dll"), monitor_build, "build of the monitor in the system dir")
    if landed("driver"):
        driver = state.drivers.get(PRODUCT_DRIVER)
        if c.check(driver is not None, "driver %r registered for Windows x64" % PRODUCT_DRIVER):
            c.equal(driver["version"], "3", "driver version")
            for field, name in (("driver", "zeldrv64.dll"), ("data", "zeldrv64.dll"), ("config", "zelui64.dll"),
                                ("help", "zelhelp.chm")):
                c.check(driver[field].lower().endswith("\\3\\" + name),
                        "driver %s file is %s in the driver dir's 3\\: %r" % (field, name, driver[field]))
        for name in ("zeldrv64.dll", "zelui64.dll", "zelhelp.chm"):
            c.check(name not in state.driver_files, "staged copy %s deleted from the driver dir" % name)
        for name in ("3\\zeldrv64.dll", "3\\zelui64.dll"):
            c.equal(state.driver_files.get(name), 2547, "build of the driver's " + name)


def check_product_printer(c, printer, name, comment="", location=None, subkey="(none)"):
    """A printer as the installer makes it; a location of None is one never given, which the
    spooler may report as null or as empty text."""
    c.equal(printer.port, PRODUCT_PORT, name + ": port")
    c.equal(printer.driver, PRODUCT_DRIVER, name + ": driver")
    c.equal(printer.comment, comment, name + ": comment")
    if location is None:
        c.check(printer.location in ("", "(null)"), name + ": no location, got %r" % printer.location)
    else:
        c.equal(printer.location, location, name + ": location")
    c.equal(printer.subkey, subkey, name + ": settings key")
    c.equal(printer.dsuser, subkey, name + ": settings key under DsUser")


def check_tray_running(c, m):
    state = wait_for_tray(m, running=True)
    c.equal(state.run_value, TRAY, "Run value OrvandelleTray")
    c.check(state.tray_window and state.tray_mutex, "the tray program runs (window and mutex)")
    return state


def check_tray_removed(c, m):
    state = wait_for_tray(m, running=False)
    c.equal(state.run_value, None, "Run value OrvandelleTray")
    c.check(not state.tray_window and not state.tray_mutex, "the tray program has quit")
    c.check(not m.exists(TRAY), "the tray program's file is deleted")
    return state


# --- scenarios ---

@scenario()
def no_argument(m, c):
    """Started without a command word, the installer exits with 6 and changes nothing."""
    m.layout_product()
    before = m.query()
    run = m.launch([])
    c.equal(run.exit, 6, "exit code")
    no_window(c, run)
    c.equal(m.query().text, before.text, "machine state")


def check_install_exit(c, run):
    """A clean install ends with 1 and no window. While the printers are in the build without
    the driver, the spooler refuses the printer: 100, and the log window says why."""
    if landed("printers") and not landed("driver"):
        c.equal(run.exit, 100, "exit code while the printers are in the build without the driver")
        c.equal(run.window, TITLE_ERRORS, "log window title")
        c.check("Error(15): Can`t add printer 'Orvandelle'" in (run.window_text or ""),
                "the log names the printer that could not be added:\n%s" % run.window_text)
    else:
        c.equal(run.exit, 1, "exit code")
        no_window(c, run)


@scenario()
def install_on_empty_prefix(m, c):
    """A first install: monitor, driver, the one printer "Orvandelle", the tray program."""
    m.layout_product()
    check_install_exit(c, m.launch(["install"]))
    state = check_tray_running(c, m) if landed("tray") else m.query()
    c.equal(state.pending, [], "pending renames")
    check_product_installed(c, state)
    if landed("printers") and landed("driver"):
        c.equal(list(state.product_printers()), ["Orvandelle"], "product printers")
        if "Orvandelle" in state.printers:
            check_product_printer(c, state.printers["Orvandelle"], "Orvandelle")


# Product printers of a reinstall: (name, comment, location, plain settings key, key under
# "DsUser"), "-" for none.
CARRIED_PRINTERS = [
    ("Orvandelle Front", "Front desk", "Hall", "K-front", "K-front"),
    ("Orvandelle Back", "Back office", "Basement, room 4", "-", "K-back"),
    ("Orvandelle Reception", "Reception", "Entrance", "K-reception", "-"),
    ("Orvandelle Plain", "No settings key", "Nowhere", "-", "-"),
]
# Printers of another maker's driver: (name, port, comment, location). One of them prints
# through the product's port, which on Windows makes the spooler refuse to delete the monitor.
OTHER_PRINTERS = [("Office laser", "FILE:", "Other maker", "Room 2"), ("Archive", "LPT1:", "-", "-"),
                  ("Label printer", PRODUCT_PORT, "Labels", "Dispatch")]


@scenario(needs=("monitor", "driver", "printers"))
def reinstall_carries_printers_over(m, c):
    """Product printers with a settings key come back with name, comment, location, key and
    default status; one without a key is not re-created; other printers stay as they were."""
    m.layout_product()
    m.seed_installed(printers=CARRIED_PRINTERS, default="Orvandelle Reception")
    m.seed_other_driver(OTHER_PRINTERS)
    m.seed("settings|K-front", "settings|K-back", "settings|K-reception")
    before = m.query()
    run = m.launch(["install"])
    c.equal(run.exit, 1, "exit code")
    no_window(c, run)
    state = m.query()
    check_product_installed(c, state)
    c.equal(sorted(state.product_printers()), ["Orvandelle Back", "Orvandelle Front", "Orvandelle Reception"],
            "product printers (the one without a settings key is gone, no \"Orvandelle\" added)")
    for name, comment, location, plain, ds_user in CARRIED_PRINTERS[:3]:
        if name in state.printers:
            check_product_printer(c, state.printers[name], name, comment, location,
                                  plain if plain != "-" else ds_user)
    c.equal(state.default, "Orvandelle Reception", "default printer")
    c.equal(state.other_printers(), before.other_printers(), "printers of other drivers")
    c.equal(state.settings, {"K-front": False, "K-back": False, "K-reception": False},
            "\"deleted\" marks of the carried settings keys (True: still marked)")


@scenario(needs=("tray", "monitor", "driver", "printers"))
def upgrade_after_removetray(m, c):
    """An outer setup's upgrade over an install: "removetray" stops the tray program that the
    install started and deletes it, the new files are copied, and the install starts the new
    tray program and leaves the product as a first install does."""
    m.layout_product()
    c.equal(m.launch(["install"]).exit, 1, "first install exit code")
    check_tray_running(c, m)
    c.equal(m.launch(["removetray"]).exit, 6, "removetray exit code")
    check_tray_removed(c, m)
    m.layout_product()
    run = m.launch(["install"])
    c.equal(run.exit, 1, "second install exit code")
    no_window(c, run)
    state = check_tray_running(c, m)
    check_product_installed(c, state)
    c.equal(list(state.product_printers()), ["Orvandelle"], "product printers")


@scenario(needs=("monitor", "driver", "printers"))
def reinstall_monitor_version_gate(m, c):
    """A registered monitor whose file has a build from 2451 to 2547 is kept as it is; any other
    build, or none, is removed and replaced by the installer's own."""
    m.layout_product()
    m.seed_installed(monitor_build=2451)
    system_copy = m.unix(MONITOR_PATH)
    for build, kept in ((2451, True), (2548, False), ("none", False), (2450, False)):
        m.copy_component(build, "zelmon64.dll", system_copy)
        run = m.launch(["install"])
        c.equal(run.exit, 1, "exit code over a monitor of build %s" % build)
        no_window(c, run)
        state = m.query()
        c.equal(state.monitors.get(PRODUCT_PORT), "zelmon64.dll", "monitor registered after build %s" % build)
        expected = 2451 if kept else 2547
        c.equal(state.system_files.get("zelmon64.dll"), expected,
                "monitor file over build %s (%s)" % (build, "kept" if kept else "replaced"))
    check_product_installed(c, state)
    c.equal(list(state.product_printers()), ["Orvandelle"], "product printers")


@scenario(needs=("tray",))
def install_without_tray(m, c):
    """"in_notray" stops and removes a running tray program and starts none."""
    m.layout_product()
    m.start_tray()
    check_install_exit(c, m.launch(["in_notray"]))
    state = check_tray_removed(c, m)
    check_product_installed(c, state)


@scenario(needs=("tray",))
def removetray_stops_running_tray(m, c):
    """"removetray" asks the running tray program to quit, deletes its file and its Run value,
    and touches nothing else."""
    m.layout_product()
    m.seed_installed(printers=[("Orvandelle", "Front desk", "Hall", "K1", "K1")], default="Orvandelle")
    m.seed_other_driver(OTHER_PRINTERS[:1])
    m.start_tray()
    before = m.query()
    run = m.launch(["removetray"])
    c.equal(run.exit, 6, "exit code")
    no_window(c, run)
    state = check_tray_removed(c, m)
    def spooler(s):
        return s.monitors, s.drivers, {n: p.record() for n, p in s.printers.items()}, s.default, s.system_files

    c.equal(spooler(state), spooler(before), "spooler state and product files")


@scenario(needs=("tray", "monitor", "driver", "printers"))
def uninstall_removes_product(m, c):
    """Uninstall leaves nothing of the product but the driver files Wine's spooler keeps."""
    m.layout_product()
    m.seed_installed(printers=[("Orvandelle", "-", "-", "K1", "K1"), ("Orvandelle Back", "Back", "Cellar", "-", "-")],
                     default="Orvandelle")
    m.seed_other_driver(OTHER_PRINTERS)
    m.start_tray()
    before = m.query()
    run = m.launch(["uninstall"])
    c.equal(run.exit, 2, "exit code")
    no_window(c, run)
    state = check_tray_removed(c, m)
    c.check(PRODUCT_PORT not in state.monitors, "monitor unregistered")
    c.check(PRODUCT_DRIVER not in state.drivers, "driver removed")
    c.equal(list(state.product_printers()), [], "product printers")
    c.equal(state.other_printers(), before.other_printers(), "printers of other drivers")
    c.check("zelmon64.dll" not in state.system_files, "monitor file deleted from the system dir")
    c.equal(state.pending, [], "pending renames")
    kept = sorted(name for name in state.driver_files if name.startswith("3\\zel"))
    if kept:
        print("note: Wine's spooler kept the driver files %s (see docs/wine-differences.md)" % ", ".join(kept))
    print("note: the default printer is now %r (Wine picks the first remaining one)" % state.default)


@scenario(needs=("checks",))
def onchkdrv_answers_by_driver_build(m, c):
    """"onChkDrv": 3 with no product printer, 3 for a driver file of build 2450, 103 for 2451."""
    m.layout_product()
    c.equal(m.launch(["onChkDrv"]).exit, 3, "exit code on an empty prefix")
    m.seed_installed(driver_build=2450, printers=[("Orvandelle", "-", "-", "-", "-")])
    c.equal(m.launch(["onChkDrv"]).exit, 3, "exit code with a driver of build 2450")
    m.copy_component(2451, "zeldrv64.dll", m.unix(SYSTEM_DIR + "\\spool\\drivers\\x64\\3\\zeldrv64.dll"))
    c.equal(m.launch(["onChkDrv"]).exit, 103, "exit code with a driver of build 2451")


@scenario(needs=("checks", "monitor", "driver", "printers"))
def onchkdrv_after_install(m, c):
    """What an install leaves passes the driver check."""
    m.layout_product()
    c.equal(m.launch(["install"]).exit, 1, "install exit code")
    c.equal(m.launch(["onChkDrv"]).exit, 103, "onChkDrv exit code")


@scenario(needs=("checks",))
def def_set_makes_product_printer_default(m, c):
    """"def.set" always exits with 4; it makes the first product printer the default, and
    changes nothing when there is none."""
    m.layout_product()
    run = m.launch(["def.set"])
    c.equal(run.exit, 4, "exit code on an empty prefix")
    c.equal(m.query().default, None, "default printer on an empty prefix")
    m.seed_other_driver(OTHER_PRINTERS)
    m.seed_installed(printers=[("Orvandelle", "-", "-", "-", "-"), ("Orvandelle Back", "-", "-", "-", "-")])
    m.seed("default|Office laser")
    first = list(m.query().product_printers())[0]
    c.equal(m.launch(["def.set"]).exit, 4, "exit code")
    c.equal(m.query().default, first, "default printer (the first product printer in enumeration order)")


@scenario(needs=("checks", "pending"))
def oninit_checks_pending_files_and_default(m, c):
    """"onInit": 102 while the default printer is another one or there is none, 3 while it is a
    product printer, 200 while a product file waits in the pending renames and stays held;
    once it is free, the pending deletion is carried out."""
    m.layout_product()
    c.equal(m.launch(["onInit"]).exit, 102, "exit code with no default printer")
    m.seed_installed(printers=[("Orvandelle", "-", "-", "-", "-")], default="Orvandelle")
    c.equal(m.launch(["onInit"]).exit, 3, "exit code with the product printer as default")
    m.seed_other_driver(OTHER_PRINTERS[:1])
    m.seed("default|Office laser")
    c.equal(m.launch(["onInit"]).exit, 102, "exit code with another default printer")
    m.hold(MONITOR_PATH)
    m.seed("pending|" + MONITOR_PATH)
    c.equal(m.launch(["onInit"]).exit, 200, "exit code with the held monitor file pending")
    c.check(m.exists(MONITOR_PATH), "the held monitor file is still there")
    m.release()
    c.equal(m.launch(["onInit"]).exit, 102, "exit code once the monitor file is free")
    c.check(not m.exists(MONITOR_PATH), "the pending deletion of the monitor file was carried out")


@scenario(needs=("copy", "driver"), display=True)
def install_with_missing_component(m, c):
    """A configuration module missing beside the installer: exit 100, and the log window
    appears with the error title and names the file it could not open."""
    m.layout_product(missing=("zelui64.dll",))
    screenshot = os.path.join(m.run_dir, "log-window.bmp") if m.display else None
    run = m.launch_with_window_helper(["install"], screenshot=screenshot)
    c.equal(run.exit, 100, "exit code")
    c.equal(run.window, TITLE_ERRORS, "log window title")
    errors = [line.strip() for line in (run.window_text or "").splitlines() if "Error(" in line]
    c.check(any(line.startswith("Error(10): Cant't open source file:") and "zelui64.dll" in line
                for line in errors), "an error line names zelui64.dll: %r" % errors)
    state = m.query()
    c.check(PRODUCT_DRIVER not in state.drivers, "no driver added without its configuration module")
    if screenshot:
        c.check(run.screenshot_saved, "screenshot taken")
        if run.screenshot_saved:
            png = os.path.join(m.artifacts_dir, "install_with_missing_component.png")
            bmp_to_png(screenshot, png)
            c.check(picture_has_content(screenshot), "the screenshot shows more than one colour")
            print("screenshot of the log window: " + png)


@scenario(needs=("monitor", "driver", "printers", "deferred"))
def uninstall_with_held_monitor(m, c):
    """A monitor file held by another process at uninstall is handed to the system for
    deletion at the next start: exit 101, its path in the pending renames."""
    m.layout_product()
    m.seed_installed(printers=[("Orvandelle", "-", "-", "-", "-")])
    m.hold(MONITOR_PATH)
    run = m.launch(["uninstall"])
    c.equal(run.exit, 101, "exit code")
    no_window(c, run)
    state = m.query()
    c.check(PRODUCT_PORT not in state.monitors, "monitor unregistered")
    c.equal(state.pending_sources(), ["\\??\\" + MONITOR_PATH.lower()], "pending renames")
    c.check(m.exists(MONITOR_PATH), "the held file is still there")
    m.release()


@scenario()
def uninstall_with_shift(m, c):
    """Shift held at the end of an uninstall that met no error shows the log window with the
    plain title; the uninstall writes no install markers."""
    m.layout_product()
    run = m.launch(["uninstall"], shift=True)
    c.equal(run.exit, 2, "exit code")
    c.equal(run.window, TITLE_PLAIN, "log window title")
    lines = (run.window_text or "").splitlines()
    c.check(lines[:1] == ["Orvandelle 2547"], "first log line is the build line: %r" % lines[:1])
    for marker in (">Check Spooler", ">UnInstall", "EnumMonitors"):
        c.check(any(line.strip() == marker for line in lines), "log line %r" % marker)
    c.check(not any(">>00" in line for line in lines), "no install marker line")
    c.check(not any("Error(" in line for line in lines), "no error line")


# Two runs started at the same moment on a machine with many of the product's printers: a
# deployment tool and a person double-clicking the setup, or two overlapping policies.
MANY_PRINTERS = [("Orvandelle %03d" % i, "Desk %03d" % i, "Floor %d, room %03d" % (i % 5, i), "K-%03d" % i,
                  "K-%03d" % i) for i in range(1, 201)]
TOGETHER_ROUNDS = 3


def seed_many_printers(m):
    m.layout_product()
    m.seed_installed(printers=MANY_PRINTERS, default="Orvandelle 107")
    m.seed(*["settings|" + subkey for _, _, _, subkey, _ in MANY_PRINTERS])


def check_many_printers_carried(c, state, what):
    printers = state.product_printers()
    expected = {name for name, _, _, _, _ in MANY_PRINTERS}
    c.equal(sorted(expected - set(printers)), [], what + ": product printers lost")
    c.equal(sorted(set(printers) - expected), [], what + ": product printers added (\"Orvandelle\" among them?)")
    wrong = [name for name, comment, location, subkey, dsuser in MANY_PRINTERS
             if name in printers and (printers[name].comment, printers[name].location, printers[name].subkey,
                                      printers[name].dsuser) != (comment, location, subkey, dsuser)]
    c.equal(wrong, [], what + ": printers whose comment, location or settings key changed")
    c.equal(state.default, "Orvandelle 107", what + ": default printer")
    c.equal(sorted(key for key, deleted in state.settings.items() if deleted), [],
            what + ": settings keys still marked deleted")


@scenario(needs=("tray", "monitor", "driver", "printers"))
def two_installs_started_together(m, c):
    """Two installs started at the same moment, several times: the second waits for the
    first, so every one of 200 printers is carried over with its settings key, comment and
    location, no "Orvandelle" is added, and both runs end with 1."""
    seed_many_printers(m)
    for round_number in range(1, TOGETHER_ROUNDS + 1):
        started = time.time()
        runs = m.launch_together([["install"], ["install"]])
        print("note: round %d of two installs took %.1f s" % (round_number, time.time() - started))
        for k, run in enumerate(runs):
            c.equal(run.exit, 1, "round %d, install %d: exit code" % (round_number, k + 1))
            no_window(c, run)
        state = m.query()
        check_product_installed(c, state)
        check_many_printers_carried(c, state, "round %d" % round_number)
        # The outer setup copies the product's files again before its next install, the tray
        # program among them, which every install deletes before it starts the new one.
        m.layout_product()


@scenario(needs=("tray", "monitor", "driver", "printers"))
def install_and_uninstall_started_together(m, c):
    """An install and an uninstall started at the same moment, each started first once: one
    runs after the other, so the machine ends either uninstalled (the uninstall ran last) or
    as an install leaves a machine without the product (the install ran last), never a
    mixture of the two."""
    seed_many_printers(m)
    m.seed_other_driver(OTHER_PRINTERS[:2])
    for round_number, order in enumerate((["install", "uninstall"], ["uninstall", "install"])):
        if round_number > 0:
            seed_many_printers(m)
        what = " then ".join(order) + " started together"
        before = m.query()
        runs = dict(zip(order, m.launch_together([[word] for word in order])))
        c.equal(runs["install"].exit, 1, what + ": install exit code")
        c.equal(runs["uninstall"].exit, 2, what + ": uninstall exit code")
        for run in runs.values():
            no_window(c, run)
        state = m.query()
        c.equal(state.other_printers(), before.other_printers(), what + ": printers of other drivers")
        c.equal(state.pending, [], what + ": pending renames")
        if PRODUCT_PORT in state.monitors:
            print("note: %s: the uninstall ran first, the install last" % what)
            check_product_installed(c, state)
            c.equal(list(state.product_printers()), ["Orvandelle"],
                    what + ": product printers of an install after the uninstall removed them all")
            check_tray_running(c, m)
            # Back to the product with its printers for the next order.
            c.equal(m.launch(["uninstall"]).exit, 2, what + ": the uninstall that clears the way")
        else:
            print("note: %s: the install ran first, the uninstall last" % what)
            c.check(PRODUCT_DRIVER not in state.drivers, what + ": driver removed")
            c.equal(list(state.product_printers()), [], what + ": product printers")
            c.check("zelmon64.dll" not in state.system_files, what + ": monitor file deleted from the system dir")
            check_tray_removed(c, m)



# --- DLLs planted beside the installer ---

PLANTED = ("version.dll", "winspool.drv", "localspl.dll")
PRODUCT_DIR = "C:\\Product\\drv"
# Windows' search order for these three: the program's own folder before the system's copy.
# (Wine takes its builtin copies first unless told otherwise.)
PLANTED_FIRST = "mscoree,mshtml=;version,winspool.drv,localspl=n,b"
# The spooler library cannot be loaded at all. (version.dll cannot be taken away under Wine:
# Wine's own user32 imports it, so no program with a window would start.)
SPOOLER_MISSING = "mscoree,mshtml=;winspool.drv="


def plant_dlls(m):
    for name in PLANTED:
        shutil.copy2(os.path.join(m.tools_dir, "planted", name), m.unix(PRODUCT_DIR))


def planted_marks(m):
    """The marks the planted DLLs left, {(dll, "loaded" or "called"): the loading programs or the
    calling modules}, removed once read."""
    marks = {}
    folder = m.unix(PRODUCT_DIR)
    for entry in os.listdir(folder):
        name, _, kind = entry.lower().rpartition(".")
        if name in PLANTED and kind in ("loaded", "called"):
            with open(os.path.join(folder, entry), encoding="utf-8", errors="replace") as mark:
                marks[(name, kind)] = mark.read().splitlines()
            os.remove(os.path.join(folder, entry))
    return marks


def launch_with_overrides(m, overrides, words, program=None, shift=False):
    """Runs the installer (or another program of the product folder) with its own DLL
    overrides; the harness's tools keep theirs."""
    saved = m.env["WINEDLLOVERRIDES"]
    m.env["WINEDLLOVERRIDES"] = overrides
    try:
        if program is None:
            return m.launch(words, shift=shift)
        status, text = m.wine(m.tool("e2e_launch"), ["--timeout=60000", "--", program] + list(words),
                              os.path.basename(program))
        return Run(text)
    finally:
        m.env["WINEDLLOVERRIDES"] = saved


@scenario(needs=("monitor", "driver", "printers", "checks", "tray"))
def planted_dlls_are_never_used(m, c):
    """A version.dll, winspool.drv and localspl.dll dropped beside orvinst.exe, with Windows'
    search order: a program built the usual way in that folder takes all three; the installer
    takes none, and install, a repair, onChkDrv and uninstall give their usual results."""
    m.layout_product()
    plant_dlls(m)
    shutil.copy2(os.path.join(m.tools_dir, "naive_loader.exe"), m.unix(PRODUCT_DIR))
    naive = launch_with_overrides(m, PLANTED_FIRST, [], program=PRODUCT_DIR + "\\naive_loader.exe")
    c.equal(naive.exit, 0, "exit code of the program built the usual way")
    c.equal(sorted(planted_marks(m)), sorted([("localspl.dll", "loaded"), ("version.dll", "called"),
                                              ("version.dll", "loaded"), ("winspool.drv", "called"),
                                              ("winspool.drv", "loaded")]),
            "planted DLLs a program built the usual way takes (else this scenario proves nothing)")
    os.remove(m.unix(PRODUCT_DIR + "\\naive_loader.exe"))

    def never_used(step):
        marks = planted_marks(m)
        # Wine's own user32 imports version.dll and calls it, so with native-first Wine loads a
        # planted copy into every program that uses user32 (docs/wine-differences.md). Nothing of
        # the installer may load it or call it.
        marks.pop(("version.dll", "loaded"), None)
        wine_callers = [caller for caller in marks.get(("version.dll", "called"), [])
                        if caller.lower().startswith(SYSTEM_DIR.lower() + "\\")]
        if wine_callers:
            print("note: after %s, Wine's %s called the planted version.dll" % (step, ", ".join(sorted(set(wine_callers)))))
            marks[("version.dll", "called")] = [x for x in marks[("version.dll", "called")] if x not in wine_callers]
            if not marks[("version.dll", "called")]:
                del marks[("version.dll", "called")]
        c.equal(marks, {}, "marks of planted DLLs after " + step)

    run = launch_with_overrides(m, PLANTED_FIRST, ["install"])
    c.equal(run.exit, 1, "install exit code")
    no_window(c, run)
    never_used("install")
    state = check_tray_running(c, m)
    check_product_installed(c, state)
    c.equal(list(state.product_printers()), ["Orvandelle"], "product printers")
    # A repair over it: the installed monitor's build is read through the system's version.dll,
    # so the monitor is kept.
    run = launch_with_overrides(m, PLANTED_FIRST, ["install"], shift=True)
    c.equal(run.exit, 1, "repair exit code")
    c.equal(run.window, TITLE_PLAIN, "repair log window (Shift held)")
    c.check("Version (2547) is compatible, proceed without uninstall" in (run.window_text or ""),
            "the repair read the installed monitor's build:\n%s" % run.window_text)
    never_used("the repair")
    c.equal(launch_with_overrides(m, PLANTED_FIRST, ["onChkDrv"]).exit, 103, "onChkDrv exit code")
    never_used("onChkDrv")
    run = launch_with_overrides(m, PLANTED_FIRST, ["uninstall"])
    c.equal(run.exit, 2, "uninstall exit code")
    no_window(c, run)
    never_used("uninstall")
    state = check_tray_removed(c, m)
    c.check(PRODUCT_PORT not in state.monitors, "monitor unregistered")
    c.equal(list(state.product_printers()), [], "product printers after the uninstall")


@scenario(needs=("monitor", "driver", "printers", "checks", "tray"))
def missing_spooler_library_fails_cleanly(m, c):
    """With winspool.drv impossible to load, and with a winspool.drv in the system directory
    that lacks the spooler's functions, every command still ends with its exit code; install
    and uninstall log the spooler's failures with the reason, and the product installed
    before, printers and default included, is still there afterwards."""
    m.layout_product()
    m.seed_installed(printers=[("Orvandelle Front", "Front desk", "Hall", "K-front", "K-front")],
                     default="Orvandelle Front")
    before = m.query()
    system_copy = m.unix(SYSTEM_DIR + "\\winspool.drv")
    wine_copy = os.path.join(m.run_dir, "winspool.drv.wine")
    shutil.copy2(system_copy, wine_copy)
    # A DLL of that name that exports none of the spooler's functions, and the only one Wine
    # may take for the installer (native only).
    no_functions = os.path.join(m.tools_dir, "planted", "version.dll")
    # The system's texts for ERROR_MOD_NOT_FOUND (126) and ERROR_PROC_NOT_FOUND (127).
    for road, overrides, stand_in, reason in (
            ("cannot be loaded", SPOOLER_MISSING, None, "module"),
            ("lacks its functions", "mscoree,mshtml=;winspool.drv=n", no_functions, "procedure")):
        if stand_in:
            shutil.copy2(stand_in, system_copy)
        try:
            c.equal(launch_with_overrides(m, overrides, ["onChkDrv"]).exit, 3, road + ": onChkDrv exit code")
            c.equal(launch_with_overrides(m, overrides, ["def.set"]).exit, 4, road + ": def.set exit code")
            for words in (["install"], ["uninstall"]):
                run = launch_with_overrides(m, overrides, words)
                what = "%s: %s" % (road, words[0])
                c.equal(run.exit, 100, what + " exit code")
                c.equal(run.window, TITLE_ERRORS, what + " log window title")
                errors = [line.strip() for line in (run.window_text or "").splitlines() if "Error(" in line]
                c.check(errors[:1] != [] and errors[0].startswith("Error(6): Can`t retrieve printer driver directory.")
                        and reason in errors[0].lower(),
                        "%s: the first error gives the reason (%s): %r" % (what, reason, errors))
        finally:
            shutil.copy2(wine_copy, system_copy)
    state = m.query()
    c.equal({n: p.record() for n, p in state.printers.items()}, {n: p.record() for n, p in before.printers.items()},
            "printers")
    c.equal(state.default, "Orvandelle Front", "default printer")
    c.equal(state.monitors, before.monitors, "monitors")
    c.equal(state.drivers, before.drivers, "drivers")


def product_files_pending(state):
    """Pending deletions of files the install leaves in use: the monitor DLL, the tray program,
    the driver's files."""
    product = ("zelmon64.dll", "orvtray.exe", "zeldrv64.dll", "zelui64.dll", "zelhelp.chm")
    return [source for source, target in state.pending
            if not target and source.lower().rsplit("\\", 1)[-1] in product]


def check_monitor_survives_restart(c, m, road):
    """After an install that reported success, the next restart leaves the monitor working."""
    state = m.query()
    c.equal(product_files_pending(state), [], road + ": pending deletions of files the install left in use")
    m.restart()
    state = m.query()
    c.equal(state.pending, [], road + ": pending renames after the restart")
    c.equal(state.monitors.get(PRODUCT_PORT), "zelmon64.dll", road + ": monitor registered after the restart")
    c.equal(state.system_files.get("zelmon64.dll"), 2547, road + ": monitor file after the restart")


@scenario(needs=("monitor", "driver", "printers", "deferred", "pending", "checks"))
def install_before_restart_keeps_monitor(m, c):
    """An uninstall that left the held monitor file for deletion at the next start, then an
    install before that restart: the restart must not delete the file the install put (or kept)
    in place. Three roads: "onInit" in between once the file is free; the file still held
    during the install (its compatible build is kept, not copied); and the file free again
    without "onInit", so that the install itself carries the deletion out."""
    m.layout_product()
    c.equal(m.launch(["install"]).exit, 1, "first install exit code")

    # 1. The outer setup asks "onInit" first, once the hold has ended.
    m.hold(MONITOR_PATH)
    c.equal(m.launch(["uninstall"]).exit, 101, "uninstall with the held monitor")
    c.equal(m.query().pending_sources(), ["\\??\\" + MONITOR_PATH.lower()], "pending renames after the uninstall")
    m.release()
    c.equal(m.launch(["onInit"]).exit, 102, "onInit once the file is free (no default printer left)")
    c.equal(m.query().pending, [], "onInit carried the deletion out and took it off the list")
    run = m.launch(["install"])
    c.equal(run.exit, 1, "install after onInit")
    no_window(c, run)
    check_monitor_survives_restart(c, m, "after onInit")

    # 2. Still held during the install: the compatible file on disk is kept.
    m.hold(MONITOR_PATH)
    c.equal(m.launch(["uninstall"]).exit, 101, "second uninstall with the held monitor")
    run = m.launch(["install"])
    c.equal(run.exit, 1, "install over the held, compatible file")
    no_window(c, run)
    m.release()
    check_monitor_survives_restart(c, m, "held during the install")

    # 3. Free again, no onInit: the kept file is not carried out as a pending deletion.
    m.hold(MONITOR_PATH)
    c.equal(m.launch(["uninstall"]).exit, 101, "third uninstall with the held monitor")
    m.release()
    run = m.launch(["install"])
    c.equal(run.exit, 1, "install once the file is free, without onInit")
    no_window(c, run)
    check_monitor_survives_restart(c, m, "free again without onInit")
    state = m.query()
    check_product_installed(c, state)
    c.equal(list(state.product_printers()), ["Orvandelle"], "product printers")


@scenario(needs=("tray", "monitor", "driver", "printers"))
def repair_install_keeps_tray(m, c):
    """An administrator runs the same install again (a repair): the running tray program is
    asked to quit and started again from the same file, which stays."""
    m.layout_product()
    c.equal(m.launch(["install"]).exit, 1, "first install exit code")
    check_tray_running(c, m)
    run = m.launch(["install"])
    c.equal(run.exit, 1, "repair install exit code")
    no_window(c, run)
    state = check_tray_running(c, m)
    c.check(m.exists(TRAY), "the tray program's file is still there")
    check_product_installed(c, state)
    c.equal(m.launch(["removetray"]).exit, 6, "removetray after the repair")
    check_tray_removed(c, m)


@scenario(needs=("copy", "driver", "monitor", "printers"))
def unattended_install_in_unseen_station(m, c):
    """Started in a window station that nobody sees (a deployment service as SYSTEM): an install
    that counts an error shows no log window there, which nobody could close, and exits 100 at
    once; a clean one exits 1; a clean uninstall 2."""
    c.equal(m.unseen_station_flags(), "probe flags=0 visible=no", "the launcher's station has no WSF_VISIBLE")
    m.layout_product(missing=("zelui64.dll",))
    started = time.time()
    run = m.launch_unseen(["install"], timeout_ms=20000)
    c.equal(run.exit, 100, "install with a missing component (\"timeout\": it waited for a window)")
    print("note: the install with an error ended after %.1f s" % (time.time() - started))
    m.layout_product()
    c.equal(m.launch_unseen(["install"], timeout_ms=20000).exit, 1, "clean install")
    c.equal(m.launch_unseen(["uninstall"], timeout_ms=20000).exit, 2, "clean uninstall")


def run_scenario(build_dir, name, argv):
    function, needs, display = SCENARIOS[name]
    missing = missing_parts(needs)
    if missing and not os.environ.get("E2E_REQUIRE_ALL"):
        print("SKIPPED %s: not in the build yet: %s" % (name, ", ".join(missing)))
        return SKIP_CODE
    if display and not under_display([os.path.abspath(__file__)] + argv):
        print("no display (xvfb-run missing): the screenshot is left out")
        display = False
    started = time.time()
    template = make_template(build_dir)
    m = Machine(build_dir, name, display=display)
    c = Checks()
    try:
        m.create(template)
        m.start()
        function(m, c)
    except Exception:
        c.failures.append("exception:\n" + traceback.format_exc())
    finally:
        m.stop()
    elapsed = time.time() - started
    if c.failures:
        print("FAILED %s (%d of %d checks, %.1f s); prefix and logs kept in %s" %
              (name, len(c.failures), max(c.count, len(c.failures)), elapsed, m.run_dir))
        for failure in c.failures:
            print("  - " + failure.replace("\n", "\n    "))
        return 1
    if not os.environ.get("E2E_KEEP"):
        m.remove()
    print("passed %s (%d checks, %.1f s)" % (name, c.count, elapsed))
    return 0


def main(argv):
    arguments = list(argv)
    build_dir = None
    if "--build-dir" in arguments:
        i = arguments.index("--build-dir")
        build_dir = arguments[i + 1]
        del arguments[i:i + 2]
    if arguments == ["--list"]:
        print("\n".join(SCENARIOS))
        return 0
    if build_dir is None or len(arguments) != 1:
        print(__doc__)
        return 2
    if arguments == ["--make-template"]:
        print("template prefix: " + make_template(build_dir))
        return 0
    if arguments[0] not in SCENARIOS:
        print("unknown scenario " + arguments[0])
        return 2
    return run_scenario(build_dir, arguments[0], argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
