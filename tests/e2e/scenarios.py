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
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import (INSTALLER, PRODUCT_DRIVER, PRODUCT_PORT, SKIP_CODE, SYSTEM_DIR, TRAY, Checks,  # noqa: E402
                     Machine, bmp_to_png, landed, make_template, missing_parts, under_display)

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


def check_product_printer(c, printer, name, comment="", location="", subkey="(none)"):
    c.equal(printer.port, PRODUCT_PORT, name + ": port")
    c.equal(printer.driver, PRODUCT_DRIVER, name + ": driver")
    c.equal(printer.comment, comment, name + ": comment")
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


@scenario()
def install_on_empty_prefix(m, c):
    """A first install: monitor, driver, the one printer "Orvandelle", the tray program."""
    m.layout_product()
    before = m.query()
    run = m.launch(["install"])
    if landed("printers") and not landed("driver"):
        # Until the driver is installed, the spooler refuses the printer, and says so.
        c.equal(run.exit, 100, "exit code while only the printers are in the build")
        c.equal(run.window, TITLE_ERRORS, "log window title")
        c.check("Error(15): Can`t add printer 'Orvandelle'" in (run.window_text or ""),
                "the log names the printer that could not be added:\n%s" % run.window_text)
    else:
        c.equal(run.exit, 1, "exit code")
        no_window(c, run)
    state = check_tray_running(c, m) if landed("tray") else m.query()
    c.equal(state.other_printers(), before.other_printers(), "printers of other drivers")
    c.equal(state.pending, [], "pending renames")
    check_product_installed(c, state)
    if landed("printers") and landed("driver"):
        c.equal(sorted(state.product_printers()), ["Orvandelle"], "product printers")
        if "Orvandelle" in state.printers:
            check_product_printer(c, state.printers["Orvandelle"], "Orvandelle")


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
