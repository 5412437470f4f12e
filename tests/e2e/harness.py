"""Runs the real orvinst.exe under Wine, one fresh copy of a warm template prefix per machine.

The helper programs of bin/e2e seed the starting state and query what is left (e2e_spooler.exe),
and launch commands, reporting the full exit code, holding Shift, reading and closing the log
window (e2e_launch.exe). A machine's wineserver lives from create() to stop(), so pending renames
wait for "wineboot -r".
"""

import collections
import fcntl
import os
import re
import shutil
import subprocess

WINE, WINESERVER = "/usr/lib/wine/wine64", "/usr/lib/wine/wineserver"
WINE_RUN = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "scripts",
                        "wine-run")
OVERRIDES = "mscoree,mshtml="
PRODUCT_DRIVER, PRODUCT_PORT = "Orvandelle printer", "Orvandelle:"
INSTALLER, TRAY = "C:\\Product\\drv\\orvinst.exe", "C:\\Product\\orvtray.exe"
SYSTEM_DIR = "C:\\windows\\system32"
DRIVER_DIR = SYSTEM_DIR + "\\spool\\drivers\\x64"
# The files whose builds the query reports.
BUILT = (SYSTEM_DIR + "\\zelmon64.dll", DRIVER_DIR + "\\3\\zeldrv64.dll", DRIVER_DIR + "\\3\\zelui64.dll")


def wine_env(prefix, display=False):
    env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win64", WINEDEBUG="-all", WINEDLLOVERRIDES=OVERRIDES)
    if not display:
        env.pop("DISPLAY", None)
    return env


def run_quietly(command, env, log_path, timeout=120):
    """Wine's background programs keep inherited handles open, so output goes to a file."""
    with open(log_path, "ab") as log:
        return subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                              timeout=timeout).returncode


def make_template(build_dir):
    """Made once per build tree by scripts/wine-run (headless graphics, no debugger), under a
    lock; its wineserver has ended when this returns, so that a copy is whole."""
    template = os.path.join(os.path.abspath(build_dir), "e2e", "template")
    os.makedirs(os.path.dirname(template), exist_ok=True)
    with open(template + ".e2e-lock", "w") as lock:  # wine-run's own lock is template.lock
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(os.path.join(template, ".wine-run-ready")):
            shutil.rmtree(template, ignore_errors=True)
            env, log = wine_env(template), template + ".run.log"
            if run_quietly([WINE_RUN, "--prefix=" + template, "hostname"], env, log, 300) != 0:
                raise RuntimeError("making the template prefix failed, see %s and %s.log" % (log, template))
            run_quietly([WINESERVER, "-w"], env, log)
        return template


Printer = collections.namedtuple("Printer", "name port driver comment location subkey dsuser share attributes "
                                            "priority default_priority separator start until")


class State:
    """What the query printed: one tab-separated record per line, "(none)" for no value."""

    def __init__(self, text):
        self.monitors, self.drivers, self.printers, self.settings, self.builds = {}, {}, {}, {}, {}
        self.pending, self.pending2, self.values, self.record = [], [], {}, None
        for kind, *rest in (line.split("\t") for line in text.splitlines()):
            if kind == "monitor":
                self.monitors[rest[0]] = rest[1]
            elif kind == "driver":
                self.drivers[rest[0]] = dict(zip(("version", "driver", "data", "config", "help"), rest[1:]))
            elif kind == "printer":
                self.printers[rest[0]] = Printer(*rest)
            elif kind in ("pending", "pending2"):
                getattr(self, kind).append(tuple(rest))
            elif kind == "record":
                self.record = (self.record or []) + [rest[0]]
            elif kind == "record-key":
                self.record = self.record or []
            elif kind == "settings":
                self.settings[rest[0]] = rest[1] == "deleted"
            elif kind == "file":
                self.builds[rest[0].lower()] = int(rest[1])
            else:
                self.values[kind] = None if rest == ["(none)"] else "\t".join(rest)
        self.default, self.run_value, self.tray = (self.values.get(k) for k in ("default", "run", "tray"))
        self.complete = "end" in self.values

    def product_printers(self):
        return {name: p for name, p in self.printers.items() if p.driver == PRODUCT_DRIVER}

    def other_printers(self):
        return {name: p for name, p in self.printers.items() if p.driver != PRODUCT_DRIVER}


class Run:
    """One launch: the exit code and what was seen of the log window."""

    def __init__(self, text):
        text = text.replace("\r\n", "\n")
        shown = re.search(r"^text-begin\n(.*?)^text-end$", text, re.S | re.M)
        self.window_text = shown[1].rstrip("\n") if shown else None
        outside = text.replace(shown[0], "") if shown else text
        found = dict(re.findall(r"^(exit|window|screenshot)[ \t](.*)$", outside, re.M))
        self.exit = int(found["exit"]) if found.get("exit", "").isdigit() else found.get("exit")
        self.window = found.get("window")
        self.screenshot_saved = found.get("screenshot") == "saved"


class Machine:
    """A Wine prefix of its own and its wineserver."""

    def __init__(self, build_dir, name, display=False):
        self.build_dir = os.path.abspath(build_dir)
        self.tools_dir = os.path.join(self.build_dir, "bin", "e2e")
        self.run_dir = os.path.join(self.build_dir, "e2e", "runs", name)
        self.prefix = os.path.join(self.run_dir, "prefix")
        self.artifacts_dir = os.path.join(self.build_dir, "e2e", "artifacts")  # outlives a passed run
        self.display = display
        self.env = wine_env(self.prefix, display)
        self.log_count = 0
        self.background = []

    def create(self, template):
        self.remove()
        os.makedirs(self.run_dir)
        os.makedirs(self.artifacts_dir, exist_ok=True)
        subprocess.run(["cp", "-a", template, self.prefix], check=True)
        if self.display:
            # The X11 driver instead of the null one; with no window manager on the display,
            # Wine draws the frames itself only for windows it does not manage.
            path = os.path.join(self.prefix, "user.reg")
            with open(path, encoding="utf-8", errors="surrogateescape") as registry:
                lines = [line for line in registry if line.strip() != '"Graphics"="null"']
            with open(path, "w", encoding="utf-8", errors="surrogateescape") as registry:
                registry.writelines(lines + ["\n[Software\\\\Wine\\\\X11 Driver]\n", '"Managed"="N"\n'])
        run_quietly([WINESERVER, "-p"], self.env, self.log_path("wineserver"))

    def stop(self):
        for process in self.background:
            if process.poll() is None:
                process.kill()
        for flag in ("-k", "-w"):
            run_quietly([WINESERVER, flag], self.env, self.log_path("wineserver"))
        for process in self.background:
            wait(process, 10)

    def remove(self):
        shutil.rmtree(self.run_dir, ignore_errors=True)

    def unix(self, path):
        """The Unix path of a C: path inside the prefix."""
        assert path[:3].upper() == "C:\\", path
        return os.path.join(self.prefix, "drive_c", *path[3:].split("\\"))

    def put(self, source, path):
        os.makedirs(os.path.dirname(self.unix(path)), exist_ok=True)
        shutil.copy2(source, self.unix(path))

    def log_path(self, label):
        self.log_count += 1
        return os.path.join(self.run_dir, "%02d-%s.log" % (self.log_count, label))

    def spawn(self, program, arguments, label, overrides=OVERRIDES, timeout=120):
        """Started in the background; finish() waits for it."""
        log = self.log_path(label)
        with open(log, "wb") as output:
            process = subprocess.Popen([WINE, program] + list(arguments), stdin=subprocess.DEVNULL, stdout=output,
                                       stderr=output, env=dict(self.env, WINEDLLOVERRIDES=overrides))
        self.background.append(process)
        return process, log, timeout

    @staticmethod
    def finish(started):
        """The Unix status (None after the time limit) and the output."""
        process, log, timeout = started
        if wait(process, timeout) is None:
            process.kill()
            process.wait()
        with open(log, encoding="utf-8", errors="replace") as output:
            return process.returncode if process.returncode >= 0 else None, output.read()

    def wine(self, program, arguments, label, timeout=120):
        return self.finish(self.spawn(program, arguments, label, timeout=timeout))

    def tool(self, name):
        return os.path.join(self.tools_dir, "e2e_%s.exe" % name)

    def query(self):
        status, text = self.wine(self.tool("spooler"), ["query"] + list(BUILT), "query")
        state = State(text)
        if status != 0 or not state.complete:
            raise RuntimeError("the query program failed (%s):\n%s" % (status, text))
        return state

    def seed(self, *commands):
        status, text = self.wine(self.tool("spooler"), commands, "seed")
        if status != 0:
            raise RuntimeError("seeding failed:\n" + text)

    def start_launch(self, words, options=(), timeout_ms=90000, program=INSTALLER, overrides=OVERRIDES):
        """The program started through the launcher; finish_launch() waits for its run."""
        arguments = ["--timeout=%d" % timeout_ms] + list(options) + ["--", program] + list(words)
        label = "%s-%s" % (program.rpartition("\\")[2], "-".join(words) or "none")
        return self.spawn(self.tool("launch"), arguments, label, overrides, timeout_ms / 1000 + 60)

    def launch(self, words, options=(), timeout_ms=90000, program=INSTALLER, overrides=OVERRIDES):
        return self.finish_launch(self.start_launch(words, options, timeout_ms, program, overrides))

    def finish_launch(self, started):
        status, text = self.finish(started)
        run = Run(text)
        if status != 0 or run.exit is None:
            raise RuntimeError("the launcher failed (%s):\n%s" % (status, text))
        return run


def wait(process, seconds):
    try:
        return process.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        return None
