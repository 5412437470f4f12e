"""The end-to-end harness: runs the real orvinst.exe under Wine, one fresh prefix per scenario.

A warm template prefix is made once per build tree (headless graphics, no debugger) and copied
for every scenario. A scenario lays out C:\\Product\\drv\\orvinst.exe beside the stand-in
components (the tray program in C:\\Product), seeds the state it starts from, runs command
words through a launcher that reports the full exit code and deals with the log window, and
reads the spooler, registry and file state through a query program. The scenario's
wineserver stays alive from the first to the last step, so that pending renames are not
carried out in between, and is ended afterwards.
"""

import fcntl
import os
import shutil
import struct
import subprocess
import sys
import time
import zlib

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"

PRODUCT_DRIVER = "Orvandelle printer"
PRODUCT_PORT = "Orvandelle:"
INSTALLER = "C:\\Product\\drv\\orvinst.exe"
TRAY = "C:\\Product\\orvtray.exe"
SYSTEM_DIR = "C:\\windows\\system32"

def wine_env(prefix, display):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEARCH="win64", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    if not display:
        env.pop("DISPLAY", None)
    return env


def run_quietly(command, env, log_path, timeout):
    """Wine's background programs keep inherited handles open, so output goes to a file."""
    with open(log_path, "ab") as log:
        return subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                              timeout=timeout).returncode


def make_template(build_dir):
    """The warm prefix every scenario copies; made once, under a lock, by whoever comes first."""
    root = os.path.join(os.path.abspath(build_dir), "e2e")
    os.makedirs(root, exist_ok=True)
    template = os.path.join(root, "template")
    with open(template + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(os.path.join(template, ".e2e-ready")):
            return template
        shutil.rmtree(template, ignore_errors=True)
        env = wine_env(template, display=False)
        log = template + ".log"
        steps = [
            [WINE, "wineboot", "-i"],
            [WINE, "reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics", "/d", "null", "/f"],
            [WINE, "reg", "add", "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug",
             "/v", "Debugger", "/d", "", "/f"],
            [WINE, "reg", "add", "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug",
             "/v", "Auto", "/t", "REG_DWORD", "/d", "1", "/f"],
        ]
        for step in steps:
            if run_quietly(step, env, log, 300) != 0:
                raise RuntimeError("making the template prefix failed, see " + log)
        # The session ends, which writes the registry to disk.
        run_quietly([WINESERVER, "-w"], env, log, 120)
        open(os.path.join(template, ".e2e-ready"), "w").close()
        return template


def unescape(field):
    """Undoes the query program's escaping of tabs, line ends and backslashes."""
    out, i = [], 0
    while i < len(field):
        if field[i] == "\\" and i + 1 < len(field):
            out.append({"t": "\t", "r": "\r", "n": "\n"}.get(field[i + 1], field[i + 1]))
            i += 2
        else:
            out.append(field[i])
            i += 1
    return "".join(out)


class Printer:
    """One printer as the query program reports it."""

    FIELDS = ("name", "port", "driver", "comment", "location", "attributes", "datatype", "processor",
              "subkey", "dsuser")

    def __init__(self, fields):
        for name, value in zip(self.FIELDS, fields):
            setattr(self, name, value)

    def __repr__(self):
        return "Printer(" + ", ".join("%s=%r" % (f, getattr(self, f)) for f in self.FIELDS) + ")"

    def record(self):
        return tuple(getattr(self, f) for f in self.FIELDS)


class State:
    """What the query program printed, by kind of record."""

    def __init__(self, text):
        self.text = text
        self.monitors = {}
        self.drivers = {}
        self.printers = {}
        self.default = None
        self.tray_window = self.tray_mutex = False
        self.run_value = None
        self.pending = []
        self.settings = {}
        self.system_files = {}
        self.driver_files = {}
        self.complete = False
        for line in text.splitlines():
            fields = [unescape(field) for field in line.split("\t")]
            kind, rest = fields[0], fields[1:]
            if kind == "monitor":
                self.monitors[rest[0]] = rest[1]
            elif kind == "driver":
                self.drivers[rest[0]] = dict(zip(("version", "driver", "data", "config", "help"), rest[1:]))
            elif kind == "printer":
                self.printers[rest[0]] = Printer(rest)
            elif kind == "default":
                self.default = None if rest[0] == "(none)" else rest[0]
            elif kind == "tray":
                self.tray_window = rest[0] == "window=yes"
                self.tray_mutex = rest[1] == "mutex=yes"
            elif kind == "run":
                self.run_value = None if rest[0] == "(none)" else rest[0]
            elif kind == "pending":
                self.pending.append((rest[0], rest[1]))
            elif kind == "settings":
                self.settings[rest[0]] = rest[1] == "deleted=yes"
            elif kind == "sysfile":
                self.system_files[rest[0].lower()] = int(rest[1])
            elif kind == "drvfile":
                self.driver_files[rest[0].lower()] = int(rest[1])
            elif kind == "end":
                self.complete = True

    def product_printers(self):
        return {name: p for name, p in self.printers.items() if p.driver == PRODUCT_DRIVER}

    def other_printers(self):
        return {name: p.record() for name, p in self.printers.items() if p.driver != PRODUCT_DRIVER}


class Run:
    """One launch: the exit code and what was seen of the log window."""

    def __init__(self, text):
        self.text = text
        self.exit = None
        self.window = None
        self.window_text = None
        self.screenshot_saved = False
        lines = text.splitlines()
        i = 0
        while i < len(lines):
            line = lines[i]
            if line.startswith("exit "):
                value = line[5:]
                self.exit = int(value) if value.isdigit() else value
            elif line.startswith("window\t"):
                title = line.split("\t", 1)[1]
                self.window = None if title == "(none)" else title
            elif line == "text-begin":
                end = lines.index("text-end", i)
                self.window_text = "\n".join(lines[i + 1:end]).rstrip("\n")
                i = end
            elif line == "screenshot\tsaved":
                self.screenshot_saved = True
            i += 1


def windows_path(unix_path):
    """Wine's drive Z: is the Unix root."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


class Machine:
    """A scenario's Wine prefix and its wineserver."""

    def __init__(self, build_dir, name, display=False):
        self.build_dir = os.path.abspath(build_dir)
        self.bin_dir = os.path.join(self.build_dir, "bin")
        self.tools_dir = os.path.join(self.bin_dir, "e2e")
        self.run_dir = os.path.join(self.build_dir, "e2e", "runs", name)
        self.prefix = os.path.join(self.run_dir, "prefix")
        # What outlives a passed scenario's prefix, such as screenshots.
        self.artifacts_dir = os.path.join(self.build_dir, "e2e", "artifacts")
        self.display = display
        self.env = wine_env(self.prefix, display)
        self.log_count = 0
        self.background = []
        self.started = False

    # --- the prefix and its server ---

    def create(self, template):
        shutil.rmtree(self.run_dir, ignore_errors=True)
        os.makedirs(self.run_dir)
        os.makedirs(self.artifacts_dir, exist_ok=True)
        subprocess.run(["cp", "-a", template, self.prefix], check=True)
        if self.display:
            self._use_display_driver()

    def _use_display_driver(self):
        """Screenshots need the X11 driver: drop the template's null graphics driver. With no
        window manager on the display, Wine draws the window frames itself only when its
        windows are not managed."""
        path = os.path.join(self.prefix, "user.reg")
        with open(path, encoding="utf-8", errors="surrogateescape") as registry:
            lines = [line for line in registry if line.strip() != '"Graphics"="null"']
        lines += ["\n", "[Software\\\\Wine\\\\X11 Driver]\n", '"Managed"="N"\n']
        with open(path, "w", encoding="utf-8", errors="surrogateescape") as registry:
            registry.writelines(lines)

    def start(self):
        run_quietly([WINESERVER, "-p"], self.env, self._log_path("wineserver"), 60)
        self.started = True

    def stop(self):
        for process in self.background:
            if process.poll() is None:
                process.kill()
        if self.started:
            run_quietly([WINESERVER, "-k"], self.env, self._log_path("wineserver"), 60)
            run_quietly([WINESERVER, "-w"], self.env, self._log_path("wineserver"), 60)
        for process in self.background:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        self.started = False

    def remove(self):
        shutil.rmtree(self.run_dir, ignore_errors=True)

    def unix(self, path):
        """The Unix path of a C: path inside the prefix."""
        assert path[:3].upper() == "C:\\", path
        return os.path.join(self.prefix, "drive_c", *path[3:].split("\\"))

    def exists(self, path):
        return os.path.exists(self.unix(path))

    # --- running programs ---

    def _log_path(self, label):
        self.log_count += 1
        return os.path.join(self.run_dir, "%02d-%s.log" % (self.log_count, label))

    def wine(self, program, arguments, label, timeout=120):
        """Runs a program to its end; returns its Unix status and its output."""
        log = self._log_path(label)
        try:
            status = run_quietly([WINE, program] + list(arguments), self.env, log, timeout)
        except subprocess.TimeoutExpired:
            status = None
        with open(log, encoding="utf-8", errors="replace") as output:
            return status, output.read()

    def tool(self, name):
        return os.path.join(self.tools_dir, name + ".exe")

    def query(self):
        status, text = self.wine(self.tool("e2e_query"), [], "query")
        state = State(text)
        if status != 0 or not state.complete:
            raise RuntimeError("the query program failed (%s):\n%s" % (status, text))
        return state

    def seed(self, *commands):
        status, text = self.wine(self.tool("e2e_seed"), list(commands), "seed")
        if status != 0:
            raise RuntimeError("seeding failed:\n" + text)

    def hold(self, path):
        """Another process loads the file and keeps it loaded until release()."""
        log = self._log_path("hold")
        with open(log, "wb") as output:
            process = subprocess.Popen([WINE, self.tool("e2e_seed"), "hold|" + path], env=self.env,
                                       stdin=subprocess.DEVNULL, stdout=output, stderr=output)
        self.background.append(process)
        deadline = time.time() + 30
        while time.time() < deadline:
            with open(log, encoding="utf-8", errors="replace") as output:
                text = output.read()
            if "held " in text:
                return
            if "FAILED" in text or process.poll() is not None:
                break
            time.sleep(0.05)
        raise RuntimeError("holding %s failed:\n%s" % (path, text))

    def release(self):
        self.seed("release")
        for process in self.background:
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                pass

    def launch(self, words, shift=False, screenshot=None, timeout_ms=90000):
        """Runs the installer with the command words; any log window is read and closed."""
        options = ["--timeout=%d" % timeout_ms, "--watch-window"]
        if shift:
            options.append("--shift")
        if screenshot:
            options.append("--screenshot=" + windows_path(screenshot))
        status, text = self.wine(self.tool("e2e_launch"), options + ["--", INSTALLER] + list(words),
                                 "orvinst-" + ("-".join(words) or "none"), timeout=timeout_ms / 1000 + 60)
        run = Run(text)
        if status != 0 or run.exit is None:
            raise RuntimeError("the launcher failed (%s):\n%s" % (status, text))
        return run

    def launch_unseen(self, words, timeout_ms=30000):
        """Runs the installer in a window station of its own that has no display surface, as a
        deployment service running as SYSTEM does: nobody could see or close a window there. A
        run that outlives the time limit is ended and reported as "timeout"."""
        status, text = self.wine(self.tool("e2e_station"), ["--timeout=%d" % timeout_ms, "--", INSTALLER] + list(words),
                                 "unseen-" + ("-".join(words) or "none"), timeout=timeout_ms / 1000 + 60)
        run = Run(text)
        if status != 0 or run.exit is None:
            raise RuntimeError("the station launcher failed (%s):\n%s" % (status, text))
        return run

    def unseen_station_flags(self):
        """The flags a process started by launch_unseen() reads from its own window station."""
        _, text = self.wine(self.tool("e2e_station"), ["--probe"], "station-probe")
        return text.strip()

    def restart(self):
        """Wine's restart: "wineboot -r" carries out the pending renames and empties the list.
        The scenario's wineserver stays, and with it every program still running."""
        status, text = self.wine("wineboot", ["-r"], "restart")
        if status != 0:
            raise RuntimeError("wineboot -r failed (%s):\n%s" % (status, text))

    def launch_with_window_helper(self, words, shift=False, screenshot=None, timeout_ms=90000):
        """Runs the installer while the separate window helper waits for its log window, reads
        it, pictures it and presses Close, as a person at the screen would."""
        options = ["--timeout=%d" % timeout_ms] + (["--shift"] if shift else [])
        log = self._log_path("orvinst-" + ("-".join(words) or "none"))
        with open(log, "wb") as output:
            launcher = subprocess.Popen([WINE, self.tool("e2e_launch")] + options + ["--", INSTALLER] + list(words),
                                        env=self.env, stdin=subprocess.DEVNULL, stdout=output, stderr=output)
        self.background.append(launcher)
        helper = ["--timeout=%d" % timeout_ms] + (["--screenshot=" + windows_path(screenshot)] if screenshot else [])
        _, seen = self.wine(self.tool("e2e_window"), helper, "window", timeout=timeout_ms / 1000 + 60)
        try:
            launcher.wait(timeout=timeout_ms / 1000 + 60)
        except subprocess.TimeoutExpired:
            pass
        with open(log, encoding="utf-8", errors="replace") as output:
            text = output.read()
        run = Run(seen + text)
        if run.exit is None:
            raise RuntimeError("the launcher failed:\n" + text)
        return run

    def launch_together(self, word_lists, timeout_ms=120000):
        """Starts one launcher per command word list at the same moment, as two deployment
        tools or a tool and a person would, and returns their runs in the same order once all
        have ended. Each launcher closes any log window it sees."""
        launchers = []
        for words in word_lists:
            log = self._log_path("together-" + ("-".join(words) or "none"))
            output = open(log, "wb")
            command = [WINE, self.tool("e2e_launch"), "--timeout=%d" % timeout_ms, "--watch-window", "--",
                       INSTALLER] + list(words)
            launchers.append((subprocess.Popen(command, env=self.env, stdin=subprocess.DEVNULL, stdout=output,
                                               stderr=output), output, log))
        self.background.extend(process for process, _, _ in launchers)
        runs = []
        for process, output, log in launchers:
            try:
                process.wait(timeout=timeout_ms / 1000 + 60)
            except subprocess.TimeoutExpired:
                pass
            output.close()
            with open(log, encoding="utf-8", errors="replace") as result:
                text = result.read()
            run = Run(text)
            if run.exit is None:
                raise RuntimeError("a launcher started together with others failed:\n" + text)
            runs.append(run)
        return runs

    # --- laying out the product and seeding what an earlier install left ---

    def copy_component(self, build, name, target):
        """Puts a component of the given build in place, as an older or newer product would."""
        shutil.copy2(self.component(build, name), target)

    def component(self, build, name):
        if name in ("zelhelp.chm", "orvtray.exe"):
            return os.path.join(self.tools_dir, "components", name)
        return os.path.join(self.tools_dir, "components", str(build), name)

    def layout_product(self, build=2547, missing=()):
        """C:\\Product\\drv holds the installer and its components, C:\\Product the tray."""
        drv = self.unix("C:\\Product\\drv")
        os.makedirs(drv, exist_ok=True)
        shutil.copy2(os.path.join(self.bin_dir, "orvinst.exe"), drv)
        for name in ("zelmon64.dll", "zeldrv64.dll", "zelui64.dll", "zelhelp.chm"):
            if name not in missing:
                shutil.copy2(self.component(build, name), drv)
        if "orvtray.exe" not in missing:
            shutil.copy2(os.path.join(self.tools_dir, "components", "orvtray.exe"), self.unix("C:\\Product"))

    def seed_installed(self, monitor_build=2547, driver_build=2547, printers=(), default=None, monitor_dll="zelmon64.dll"):
        """The product as an install leaves it: the monitor DLL in the system directory and
        registered, the driver added from staged files, and the given printers, each
        (name, comment, location, subkey, dsuser-subkey) with "-" for none."""
        shutil.copy2(self.component(monitor_build, "zelmon64.dll"), self.unix(SYSTEM_DIR + "\\" + monitor_dll))
        staging = self.unix(SYSTEM_DIR + "\\spool\\drivers\\x64")
        os.makedirs(staging, exist_ok=True)
        for name in ("zeldrv64.dll", "zelui64.dll", "zelhelp.chm"):
            shutil.copy2(self.component(driver_build, name), staging)
        commands = ["monitor|" + monitor_dll, "driver|%s|zeldrv64.dll|zelui64.dll|zelhelp.chm" % PRODUCT_DRIVER]
        for name, comment, location, subkey, dsuser in printers:
            commands.append("printer|%s|%s|%s|%s|%s|%s|%s" % (name, PRODUCT_PORT, PRODUCT_DRIVER, comment,
                                                              location, subkey, dsuser))
        if default:
            commands.append("default|" + default)
        self.seed(*commands)
        for name in ("zeldrv64.dll", "zelui64.dll", "zelhelp.chm"):
            os.remove(os.path.join(staging, name))

    def seed_other_driver(self, printers=()):
        """A printer driver of another maker, made of renamed stand-in files, with printers
        (name, port, comment, location) that the installer must leave alone."""
        staging = self.unix(SYSTEM_DIR + "\\spool\\drivers\\x64")
        os.makedirs(staging, exist_ok=True)
        shutil.copy2(self.component(2547, "zeldrv64.dll"), os.path.join(staging, "othdrv64.dll"))
        shutil.copy2(self.component(2547, "zelui64.dll"), os.path.join(staging, "othui64.dll"))
        commands = ["driver|Other printer|othdrv64.dll|othui64.dll|-"]
        for name, port, comment, location in printers:
            commands.append("printer|%s|%s|Other printer|%s|%s|-|-" % (name, port, comment, location))
        self.seed(*commands)
        for name in ("othdrv64.dll", "othui64.dll"):
            os.remove(os.path.join(staging, name))

    def start_tray(self):
        """The tray program running from C:\\Product with its Run value, as after an install."""
        self.seed("run|" + TRAY, "start|" + TRAY, "wait-tray|10000")


class Checks:
    """Collects a scenario's failed checks instead of stopping at the first."""

    def __init__(self):
        self.failures = []
        self.count = 0

    def check(self, ok, what):
        self.count += 1
        if not ok:
            self.failures.append(what)
        return ok

    def equal(self, actual, expected, what):
        return self.check(actual == expected, "%s: got %r, expected %r" % (what, actual, expected))


def bmp_to_png(bmp_path, png_path):
    """The launcher saves a 24-bit bottom-up BMP; a PNG is what people open."""
    with open(bmp_path, "rb") as source:
        data = source.read()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    row_bytes = (width * 3 + 3) // 4 * 4
    rows = []
    for y in range(abs(height)):
        source_row = height - 1 - y if height > 0 else y
        row = data[offset + source_row * row_bytes: offset + source_row * row_bytes + width * 3]
        rgb = bytearray(len(row))
        rgb[0::3], rgb[1::3], rgb[2::3] = row[2::3], row[1::3], row[0::3]
        rows.append(b"\x00" + bytes(rgb))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, abs(height), 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b"")
    with open(png_path, "wb") as target:
        target.write(png)


def picture_has_content(bmp_path):
    """A picture of a window has more than one colour; a blank capture has one."""
    with open(bmp_path, "rb") as source:
        data = source.read()
    offset = struct.unpack_from("<I", data, 10)[0]
    pixels = data[offset:]
    return len({pixels[i:i + 3] for i in range(0, len(pixels) - 2, 3 * 97)}) > 1


def under_display(argv):
    """Runs this script again under xvfb-run when a display is wanted and none is there;
    returns False when there is no way to get one."""
    if os.environ.get("DISPLAY"):
        return True
    if shutil.which("xvfb-run") is None:
        return False
    os.execvp("xvfb-run", ["xvfb-run", "-a", sys.executable] + argv)
    return True
