#!/usr/bin/env python3
"""The main job on a throwaway Wine prefix: orvinst.exe installs over an older copy of the
product among another maker's printers, with Shift held so that the log window appears.

    demo.py --build-dir DIR      (run by scripts/demo, under xvfb-run for the screenshot)
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scenarios"))

from wine_runner import ACTIONS, BUILT, Machine, Play, make_template, split  # noqa: E402

MEANINGS = {
    1: "install finished: no error logged, nothing left for a restart",
    100: "at least one error was logged (the log window shows which)",
    101: "no error, but files wait for deletion at the next restart",
}

# In the scenario table's words: an older product (a monitor of build 2450) with two printers
# whose settings are marked deleted, among another maker's.
MACHINE = """product
installed monitor 2450
printer "Orvandelle Front" comment "Front desk" location Hall key K-front dsuser K-front settings
printer "Orvandelle Reception" comment Reception location Entrance key K-reception settings
other "Office laser" port FILE: comment "Other maker" location "Room 2"
other Archive port LPT1:
default "Orvandelle Reception"
"""


def show_state(title, state):
    print("\n== %s" % title)
    print("monitors:       " + ", ".join("%s (%s)" % item for item in state.monitors.items()))
    for name, driver in state.drivers.items():
        print("driver:         %s: %s, configuration %s" % (name, driver["driver"], driver["config"]))
    print("monitor file:   %s, build %s" % (BUILT[0], state.builds.get(BUILT[0].lower())))
    row = "  %-22s %-12s %-20s %-12s %-18s %s"
    print("printers:\n" + row % ("name", "port", "driver", "comment", "location", "settings key"))
    for p in state.printers.values():
        print(row % (p.name, p.port, p.driver, p.comment, p.location, p.subkey))
    print("default:        %s" % state.default)
    print("tray program:   %s; Run value %s" % (state.tray or "not running", state.run_value or "(none)"))
    print("pending:        %s" % (", ".join(source for source, _ in state.pending) or "(none)"))


def main(argv):
    if len(argv) != 2 or argv[0] != "--build-dir":
        print(__doc__)
        return 2
    print("== making the Wine prefix (the first time takes about 15 s)")
    m = Machine(argv[1], "demo", display=bool(os.environ.get("DISPLAY")))
    p = Play(m)
    try:
        m.create(make_template(argv[1]))
        for words in (split(line, "") for line in MACHINE.splitlines()):
            ACTIONS[words[0]](p, words)
        show_state("before: the spooler of the throwaway prefix " + m.prefix, m.query())
        print("\n== running C:\\Product\\drv\\orvinst.exe install, with Shift held to show the log window")
        ACTIONS["run"](p, ["run", "install", "shift", "screenshot"])
        run = p.runs[0]
        show_state("after", m.query())
        print("\n== exit code %s: %s" % (run.exit, MEANINGS.get(run.exit, "unexpected for an install")))
        if run.window is None:
            print("no log window appeared")
        else:
            why = "errors were logged" if "error" in run.window else "Shift was held"
            print("log window \"%s\" (shown because %s)" % (run.window, why))
            if not run.screenshot_saved:
                print("no screenshot (no display); the window's text:\n" + (run.window_text or ""))
        for failure in p.failures:
            print("note: " + failure)
        print("product printers after the install: %s" % ", ".join(m.query().product_printers()))
        return 0 if isinstance(run.exit, int) else 1
    finally:
        m.stop()
        m.remove()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
