#!/usr/bin/env python3
"""The main job on a throwaway Wine prefix: orvinst.exe installs over an older copy of the
product among another maker's printers, with Shift held so that the log window appears.

    demo.py --build-dir DIR      (run by scripts/demo, under xvfb-run for the screenshot)
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Machine, bmp_to_png, make_template  # noqa: E402

MEANINGS = {
    1: "install finished: no error logged, nothing left for a restart",
    100: "at least one error was logged (the log window shows which)",
    101: "no error, but files wait for deletion at the next restart",
}

OLD_PRODUCT_PRINTERS = [
    ("Orvandelle Front", "Front desk", "Hall", "K-front", "K-front"),
    ("Orvandelle Reception", "Reception", "Entrance", "K-reception", "-"),
]
OTHER_PRINTERS = [("Office laser", "FILE:", "Other maker", "Room 2"), ("Archive", "LPT1:", "-", "-")]


def show_state(title, state):
    print("\n== %s" % title)
    print("monitors:       " + ", ".join("%s (%s)" % item for item in state.monitors.items()))
    for name, driver in state.drivers.items():
        print("driver:         %s: %s, configuration %s" % (name, driver["driver"], driver["config"]))
    monitor_build = state.system_files.get("zelmon64.dll")
    print("monitor file:   " + ("zelmon64.dll, build %s" % monitor_build if monitor_build is not None
                                else "none in the system directory"))
    print("printers:")
    print("  %-22s %-12s %-20s %-12s %-18s %s" % ("name", "port", "driver", "comment", "location",
                                                 "settings key"))
    for p in state.printers.values():
        print("  %-22s %-12s %-20s %-12s %-18s %s" % (p.name, p.port, p.driver, p.comment, p.location, p.subkey))
    print("default:        %s" % state.default)
    print("tray program:   %s; Run value %s" % ("running" if state.tray_running else "not running",
                                                state.run_value or "(none)"))
    print("pending:        %s" % (", ".join(source for source, _ in state.pending) or "(none)"))


def main(argv):
    if len(argv) != 2 or argv[0] != "--build-dir":
        print(__doc__)
        return 2
    build_dir = argv[1]
    print("== making the Wine prefix (the first time takes about 15 s)")
    template = make_template(build_dir)
    m = Machine(build_dir, "demo", display=bool(os.environ.get("DISPLAY")))
    try:
        m.create(template)
        m.start()
        m.layout_product()
        # An older product (a monitor of build 2450) with two printers, among another maker's.
        m.seed_installed(monitor_build=2450, printers=OLD_PRODUCT_PRINTERS)
        m.seed_other_driver(OTHER_PRINTERS)
        m.seed("default|Orvandelle Reception", "settings|K-front", "settings|K-reception")
        show_state("before: the spooler of the throwaway prefix " + m.prefix, m.query())

        screenshot = os.path.join(m.run_dir, "log-window.bmp") if m.display else None
        print("\n== running C:\\Product\\drv\\orvinst.exe install, with Shift held to show the log window")
        run = m.launch(["install"], shift=True, screenshot=screenshot)
        show_state("after", m.query())

        print("\n== exit code %s: %s" % (run.exit, MEANINGS.get(run.exit, "unexpected for an install")))
        if run.window is None:
            print("no log window appeared")
        else:
            why = "errors were logged" if "error" in run.window else "Shift was held"
            print("log window \"%s\" (shown because %s)" % (run.window, why))
            if run.screenshot_saved:
                png = os.path.join(m.artifacts_dir, "demo-log-window.png")
                bmp_to_png(screenshot, png)
                print("screenshot of the log window: " + png)
            else:
                print("no screenshot (no display); the window's text:\n" + (run.window_text or ""))
        print("product printers after the install: %s" % ", ".join(m.query().product_printers()))
        return 0 if isinstance(run.exit, int) else 1
    finally:
        m.stop()
        m.remove()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
