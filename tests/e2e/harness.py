"""Runs the real orvinst.exe under Wine, one fresh copy of a warm template prefix per machine.

C:\\Product\\drv holds the installer and the stand-in components, C:\\Product the tray program.
The helper programs of bin/e2e seed the starting state, launch commands (reporting the full exit
code, holding Shift, reading and closing the log window) and query what is left. A machine's
wineserver lives from start() to stop(), so pending renames wait for restart().
"""

import collections
import fcntl
import os
import re
import shutil
import struct
import subprocess
import zlib

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
PRODUCT_DRIVER = "Orvandelle printer"
PRODUCT_PORT = "Orvandelle:"
INSTALLER = "C:\\Product\\drv\\orvinst.exe"
TRAY = "C:\\Product\\orvtray.exe"
SYSTEM_DIR = "C:\\windows\\system32"
DRIVER_FILES = ("zeldrv64.dll", "zelui64.dll", "zelhelp.chm")
OVERRIDES = "mscoree,mshtml="


def wine_env(prefix, display):
    env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win64", WINEDEBUG="-all", WINEDLLOVERRIDES=OVERRIDES)
    if not display:
        env.pop("DISPLAY", None)
    return env


def run_quietly(command, env, log_path, timeout):
    """Wine's background programs keep inherited handles open, so output goes to a file."""
    with open(log_path, "ab") as log:
        return subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                              timeout=timeout).returncode


def make_template(build_dir):
    """Made once per build tree, under a lock: headless graphics, no debugger."""
    template = os.path.join(os.path.abspath(build_dir), "e2e", "template")
    os.makedirs(os.path.dirname(template), exist_ok=True)
    with open(template + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(os.path.join(template, ".e2e-ready")):
            return template
        shutil.rmtree(template, ignore_errors=True)
        env, log = wine_env(template, display=False), template + ".log"
        debug = "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug"
        for step in (["wineboot", "-i"], ["reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics", "/d", "null"],
                     ["reg", "add", debug, "/v", "Debugger", "/d", ""],
                     ["reg", "add", debug, "/v", "Auto", "/t", "REG_DWORD", "/d", "1"]):
            if run_quietly([WINE] + step + (["/f"] if step[0] == "reg" else []), env, log, 300) != 0:
                raise RuntimeError("making the template prefix failed, see " + log)
        run_quietly([WINESERVER, "-w"], env, log, 120)  # the session's end writes the registry
        open(os.path.join(template, ".e2e-ready"), "w").close()
        return template


Printer = collections.namedtuple("Printer", "name port driver comment location attributes datatype processor "
                                            "subkey dsuser")


def unescape(field):
    return re.sub(r"\\(.)", lambda m: {"t": "\t", "r": "\r", "n": "\n"}.get(m[1], m[1]), field)


class State:
    """What the query program printed."""

    def __init__(self, text):
        self.monitors, self.drivers, self.printers, self.settings = {}, {}, {}, {}
        self.system_files, self.driver_files, self.pending = {}, {}, []
        self.default = self.run_value = None
        self.tray_running = self.complete = False
        for line in text.splitlines():
            kind, *rest = [unescape(field) for field in line.split("\t")]
            if kind == "monitor":
                self.monitors[rest[0]] = rest[1]
            elif kind == "driver":
                self.drivers[rest[0]] = dict(zip(("version", "driver", "data", "config", "help"), rest[1:]))
            elif kind == "printer":
                self.printers[rest[0]] = Printer(*rest)
            elif kind in ("default", "run"):
                setattr(self, "default" if kind == "default" else "run_value", None if rest[0] == "(none)" else rest[0])
            elif kind == "tray":
                self.tray_running = rest == ["window=yes", "mutex=yes"]
            elif kind == "pending":
                self.pending.append((rest[0], rest[1]))
            elif kind == "settings":
                self.settings[rest[0]] = rest[1] == "deleted=yes"
            elif kind in ("sysfile", "drvfile"):
                (self.system_files if kind == "sysfile" else self.driver_files)[rest[0].lower()] = int(rest[1])
            elif kind == "end":
                self.complete = True

    def product_printers(self):
        return {name: p for name, p in self.printers.items() if p.driver == PRODUCT_DRIVER}

    def other_printers(self):
        return {name: p for name, p in self.printers.items() if p.driver != PRODUCT_DRIVER}


class Run:
    """One launch: the exit code and what was seen of the log window."""

    def __init__(self, text):
        text = text.replace("\r\n", "\n")
        self.text, self.exit, self.window, self.window_text = text, None, None, None
        self.screenshot_saved = "screenshot\tsaved" in text.splitlines()
        for line in text.splitlines():
            if line.startswith("exit "):
                self.exit = int(line[5:]) if line[5:].isdigit() else line[5:]
            elif line.startswith("window\t"):
                self.window = None if line == "window\t(none)" else line[7:]
        shown = re.search(r"^text-begin\n(.*?)^text-end$", text, re.S | re.M)
        if shown:
            self.window_text = shown[1].rstrip("\n")


def windows_path(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


class Machine:
    """A Wine prefix of its own and its wineserver."""

    def __init__(self, build_dir, name, display=False):
        self.build_dir = os.path.abspath(build_dir)
        self.bin_dir = os.path.join(self.build_dir, "bin")
        self.tools_dir = os.path.join(self.bin_dir, "e2e")
        self.run_dir = os.path.join(self.build_dir, "e2e", "runs", name)
        self.prefix = os.path.join(self.run_dir, "prefix")
        self.artifacts_dir = os.path.join(self.build_dir, "e2e", "artifacts")  # outlives a passed run
        self.display = display
        self.env = wine_env(self.prefix, display)
        self.log_count = 0
        self.background = []
        self.started = False

    def create(self, template):
        shutil.rmtree(self.run_dir, ignore_errors=True)
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

    def start(self):
        run_quietly([WINESERVER, "-p"], self.env, self._log_path("wineserver"), 60)
        self.started = True

    def stop(self):
        for process in self.background:
            if process.poll() is None:
                process.kill()
        for flag in ("-k", "-w") if self.started else ():
            run_quietly([WINESERVER, flag], self.env, self._log_path("wineserver"), 60)
        self.started = False
        for process in self.background:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass

    def remove(self):
        shutil.rmtree(self.run_dir, ignore_errors=True)

    def unix(self, path):
        """The Unix path of a C: path inside the prefix."""
        assert path[:3].upper() == "C:\\", path
        return os.path.join(self.prefix, "drive_c", *path[3:].split("\\"))

    def exists(self, path):
        return os.path.exists(self.unix(path))

    def tool(self, name):
        return os.path.join(self.tools_dir, name + ".exe")

    # --- running programs ---

    def _log_path(self, label):
        self.log_count += 1
        return os.path.join(self.run_dir, "%02d-%s.log" % (self.log_count, label))

    def spawn(self, program, arguments, label, overrides=OVERRIDES):
        log = self._log_path(label)
        with open(log, "wb") as output:
            process = subprocess.Popen([WINE, program] + list(arguments), stdin=subprocess.DEVNULL, stdout=output,
                                       stderr=output, env=dict(self.env, WINEDLLOVERRIDES=overrides))
        self.background.append(process)
        return process, log

    @staticmethod
    def finish(process, log, timeout):
        """The Unix status (None after the time limit) and the output."""
        try:
            status = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            status = None
        with open(log, encoding="utf-8", errors="replace") as output:
            return status, output.read()

    def wine(self, program, arguments, label, timeout=120):
        return self.finish(*self.spawn(program, arguments, label), timeout)

    def query(self):
        status, text = self.wine(self.tool("e2e_query"), [], "query")
        state = State(text)
        if status != 0 or not state.complete:
            raise RuntimeError("the query program failed (%s):\n%s" % (status, text))
        return state

    def seed(self, *commands):
        status, text = self.wine(self.tool("e2e_seed"), commands, "seed")
        if status != 0:
            raise RuntimeError("seeding failed:\n" + text)

    def hold(self, path):
        """Another process loads the file and keeps it loaded until release()."""
        process, log = self.spawn(self.tool("e2e_seed"), ["hold|" + path], "hold")
        for _ in range(600):
            with open(log, encoding="utf-8", errors="replace") as output:
                text = output.read()
            if "held " in text:
                return
            if "FAILED" in text or process.poll() is not None:
                break
            process_wait(process, 0.05)
        raise RuntimeError("holding %s failed:\n%s" % (path, text))

    def release(self):
        self.seed("release")
        for process in self.background:
            process_wait(process, 20)

    def start_launch(self, words, options=(), timeout_ms=90000, tool="e2e_launch", program=INSTALLER,
                     overrides=OVERRIDES):
        """Starts the installer through a launcher; finish_launch() waits for its run."""
        arguments = ["--timeout=%d" % timeout_ms] + list(options) + ["--", program] + list(words)
        label = "%s-%s" % (os.path.basename(program), "-".join(words) or "none")
        return self.spawn(self.tool(tool), arguments, label, overrides) + (timeout_ms / 1000 + 60,)

    def finish_launch(self, started):
        status, text = self.finish(*started)
        run = Run(text)
        if status != 0 or run.exit is None:
            raise RuntimeError("the launcher failed (%s):\n%s" % (status, text))
        return run

    def launch(self, words, shift=False, screenshot=None, timeout_ms=90000, overrides=OVERRIDES, program=INSTALLER):
        """Runs the installer with the command words; any log window is read and closed."""
        options = ["--watch-window"] + (["--shift"] if shift else [])
        options += ["--screenshot=" + windows_path(screenshot)] if screenshot else []
        return self.finish_launch(self.start_launch(words, options, timeout_ms, program=program, overrides=overrides))

    def launch_unseen(self, words, timeout_ms=30000):
        """In a window station of its own with no display surface, as a deployment service
        running as SYSTEM starts it; a run past the time limit is ended, exit "timeout"."""
        return self.finish_launch(self.start_launch(words, (), timeout_ms, tool="e2e_station"))

    def unseen_station_flags(self):
        return self.wine(self.tool("e2e_station"), ["--probe"], "station-probe")[1].strip()

    def restart(self):
        """"wineboot -r" carries out the pending renames; the wineserver and the programs stay."""
        status, text = self.wine("wineboot", ["-r"], "restart")
        if status != 0:
            raise RuntimeError("wineboot -r failed (%s):\n%s" % (status, text))

    def launch_together(self, word_lists, timeout_ms=120000):
        """One launcher per word list started at once, as two deployment tools would."""
        started = [self.start_launch(words, ["--watch-window"], timeout_ms) for words in word_lists]
        return [self.finish_launch(launch) for launch in started]

    # --- the product laid out, and what an earlier install left ---

    def component(self, build, name):
        if name in ("zelhelp.chm", "orvtray.exe"):
            return os.path.join(self.tools_dir, "components", name)
        return os.path.join(self.tools_dir, "components", str(build), name)

    def layout_product(self, build=2547, missing=()):
        drv = self.unix("C:\\Product\\drv")
        os.makedirs(drv, exist_ok=True)
        shutil.copy2(os.path.join(self.bin_dir, "orvinst.exe"), drv)
        for name in ("zelmon64.dll",) + DRIVER_FILES + ("orvtray.exe",):
            if name not in missing:
                shutil.copy2(self.component(build, name), self.unix(TRAY) if name == "orvtray.exe" else drv)

    def seed_driver(self, name, files, first, then):
        """A driver added from files (source, name) staged for the call and deleted afterwards,
        as an install does; no third file means no help file."""
        staging = self.unix(SYSTEM_DIR + "\\spool\\drivers\\x64")
        os.makedirs(staging, exist_ok=True)
        for source, target in files:
            shutil.copy2(source, os.path.join(staging, target))
        names = [target for _, target in files] + ["-"] * (3 - len(files))
        self.seed(*(list(first) + ["driver|%s|%s" % (name, "|".join(names))] + list(then)))
        for _, target in files:
            os.remove(os.path.join(staging, target))

    def seed_installed(self, monitor_build=2547, driver_build=2547, printers=(), default=None, monitor_dll="zelmon64.dll"):
        """The product as an install leaves it, with printers (name, comment, location, subkey,
        dsuser-subkey), "-" for none."""
        shutil.copy2(self.component(monitor_build, "zelmon64.dll"), self.unix(SYSTEM_DIR + "\\" + monitor_dll))
        commands = ["printer|%s|%s|%s|%s" % (p[0], PRODUCT_PORT, PRODUCT_DRIVER, "|".join(p[1:])) for p in printers]
        self.seed_driver(PRODUCT_DRIVER, [(self.component(driver_build, name), name) for name in DRIVER_FILES],
                         ["monitor|" + monitor_dll], commands + (["default|" + default] if default else []))

    def seed_other_driver(self, printers=()):
        """Another maker's driver, of renamed stand-in files, with printers (name, port,
        comment, location) that the installer must leave alone."""
        self.seed_driver("Other printer", [(self.component(2547, "zeldrv64.dll"), "othdrv64.dll"),
                                           (self.component(2547, "zelui64.dll"), "othui64.dll")], [],
                         ["printer|%s|%s|Other printer|%s|%s|-|-" % p for p in printers])

    def start_tray(self):
        self.seed("run|" + TRAY, "start|" + TRAY, "wait-tray|10000")


def process_wait(process, seconds):
    try:
        process.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        pass


def bmp_to_png(bmp_path, png_path):
    """The launcher's 24-bit bottom-up BMP as a PNG; True when it shows more than one colour."""
    with open(bmp_path, "rb") as source:
        data = source.read()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    row_bytes = (width * 3 + 3) // 4 * 4
    rows = []
    for y in range(abs(height)):
        start = offset + (height - 1 - y if height > 0 else y) * row_bytes
        row, rgb = data[start:start + width * 3], bytearray(width * 3)
        rgb[0::3], rgb[1::3], rgb[2::3] = row[2::3], row[1::3], row[0::3]
        rows.append(b"\x00" + bytes(rgb))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    with open(png_path, "wb") as target:
        target.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, abs(height), 8, 2, 0, 0, 0)) +
                     chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
    return len({data[i:i + 3] for i in range(offset, len(data) - 2, 3 * 97)}) > 1
