"""Runs the real vador-calibrage.exe under Wine against virtual printers.

The pieces:
- a private WINEPREFIX under the build tree, made once, whose COM1..COM20
  point at fixed paths in a ports folder; each scenario makes those paths
  afresh: a link to a virtual printer's pty, or an empty folder (which
  fails to open, as an absent port does);
- the console driver (a Windows program) run by wine inside a pseudo-
  terminal, so that Wine has a console; it starts the tool in that console,
  plays key records to it and reports the screen;
- the virtual printer (a Linux program), one per printer port.

Nothing is ever written to the terminal's master side: Wine's console
would take those bytes for key presses.
"""
import fcntl
import os
import shutil
import signal
import struct
import subprocess
import termios
import threading
import time
from pathlib import Path

FIRST_PORT, LAST_PORT = 1, 20  # Wine has no COM0
COLUMNS, ROWS = 125, 32


class Tools:
    """Where the built programs are."""

    def __init__(self, exe, driver, printer, work):
        self.exe = Path(exe).resolve()
        self.driver = Path(driver).resolve()
        self.printer = Path(printer).resolve()
        self.work = Path(work).resolve()


def windows_path(path):
    """Wine's Z: drive is the Linux root."""
    return "Z:" + str(path).replace("/", "\\")


# ============================== The prefix ==============================

class Prefix:
    """A private Wine prefix whose COM ports are paths in work/ports."""

    def __init__(self, work):
        self.dir = work / "prefix"
        self.ports = work / "ports"
        self.stamp = self.dir / ".vador-ports"

    def launcher(self):
        """The start of every wine command line. As root, Wine runs without
        CAP_SYS_ADMIN so that a port held exclusively (TIOCEXCL) by another
        program fails to open, as a port in use does on Windows."""
        if os.geteuid() == 0:
            return ["setpriv", "--bounding-set=-sys_admin"]
        return []

    def env(self):
        env = dict(os.environ)
        env.update(WINEPREFIX=str(self.dir), WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree=;mshtml=", TERM="xterm",
                   LC_ALL="C.UTF-8")
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        return env

    def port_path(self, number):
        return self.ports / f"COM{number}"

    def _wine(self, *args, timeout=180):
        subprocess.run(self.launcher() + list(args), env=self.env(), timeout=timeout,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)

    def ensure(self):
        """Makes the prefix and its port map once; later calls reuse it."""
        self.ports.mkdir(parents=True, exist_ok=True)
        if self.stamp.exists():
            return
        self.dir.mkdir(parents=True, exist_ok=True)
        self._wine("wineboot", "-i")
        self._wine("wineserver", "-w")
        reg = self.dir.parent / "ports.reg"
        lines = ["REGEDIT4", "", r"[HKEY_LOCAL_MACHINE\Software\Wine\Ports]"]
        # Every number is mapped: a number left free would be given to one
        # of this machine's own serial devices.
        for n in range(FIRST_PORT, LAST_PORT + 1):
            lines.append(f'"COM{n}"="{self.port_path(n)}"')
        reg.write_text("\r\n".join(lines) + "\r\n")
        self._wine("wineserver", "-k")
        self._wine("wineserver", "-w")
        self._wine("wine", "regedit", "/S", str(reg))
        self._wine("wineserver", "-w")
        self.stamp.write_text("COM1..COM20 -> ports/COMn\n")

    def start_server(self):
        """A wineserver that outlives single runs for a little while, with
        no terminal or pipe of ours, so it holds nothing open."""
        subprocess.Popen(self.launcher() + ["wineserver", "-p5"], env=self.env(),
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, start_new_session=True)

    def stop_server(self):
        self._wine("wineserver", "-k", timeout=30)

    def clear_ports(self):
        """Every port absent: an empty folder fails to open."""
        for n in range(FIRST_PORT, LAST_PORT + 1):
            path = self.port_path(n)
            if path.is_symlink() or path.is_file():
                path.unlink()
            elif path.is_dir():
                shutil.rmtree(path)
            path.mkdir()


# =========================== Virtual printers ===========================

class PrinterProcess:
    """One virtual printer on a fresh pty linked as COMn."""

    def __init__(self, tools, prefix, number, mode, log, extra=()):
        self.number = number
        self.log_path = log
        link = prefix.port_path(number)
        shutil.rmtree(link, ignore_errors=True)
        self.proc = subprocess.Popen(
            [str(tools.printer), "--link", str(link), "--log", str(log),
             "--mode", mode, *extra],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True)
        deadline = time.monotonic() + 5
        while not link.is_symlink():
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise RuntimeError(f"virtual printer for COM{number} did not start")
            time.sleep(0.01)
        self.summary = ""

    def finish(self, wait=3.0):
        """Waits for the printer to see the port close; stops it otherwise
        (at once when the port was never opened)."""
        if not self.opened():
            wait = 0.05
        try:
            out, _ = self.proc.communicate(timeout=wait)
        except subprocess.TimeoutExpired:
            self.proc.send_signal(signal.SIGTERM)
            out, _ = self.proc.communicate(timeout=5)
        self.summary = out.strip()

    def events(self):
        """[(µs, kind, rest)] from the printer's log."""
        events = []
        if not self.log_path.exists():
            return events
        for line in self.log_path.read_bytes().split(b"\n"):
            if not line:
                continue
            t, _, rest = line.partition(b" ")
            kind, _, text = rest.partition(b" ")
            events.append((int(t), kind.decode(), text))
        return events

    def lines(self):
        """The raw lines received (bytes, without the line feed)."""
        return [text for _, kind, text in self.events() if kind == "RX"]

    def open_time(self):
        """When the printer saw its port open (µs), or None."""
        for t, kind, _ in self.events():
            if kind == "OPEN":
                return t
        return None

    def opened(self):
        return self.open_time() is not None


# ============================ Running Wine ============================

def run_in_terminal(argv, env, timeout):
    """Runs argv in a new pseudo-terminal of COLUMNS x ROWS. Returns
    (exit code or None on time-out, what the terminal showed)."""
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", ROWS, COLUMNS, 0, 0))

    def make_controlling_terminal():
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)

    proc = subprocess.Popen(argv, env=env, stdin=slave, stdout=slave,
                            stderr=slave, start_new_session=True,
                            preexec_fn=make_controlling_terminal)
    os.close(slave)
    shown = bytearray()
    stop = threading.Event()

    def drain():  # a full terminal would block the console's output
        while not stop.is_set():
            try:
                chunk = os.read(master, 65536)
            except OSError:
                return
            if not chunk:
                return
            shown.extend(chunk[: max(0, (1 << 20) - len(shown))])

    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    try:
        code = proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        code = None
    stop.set()
    reader.join(timeout=1)
    os.close(master)
    return code, bytes(shown)


# ============================= CPU sampling =============================

def now_us():
    """Microseconds of CLOCK_MONOTONIC_RAW: the clock of the printer's log
    and of QueryPerformanceCounter under Wine."""
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW) // 1000


def _pids(prefix_dir, needle):
    """Pids of processes of this prefix whose program name holds needle
    (the program, not its arguments: the driver is given the tool's path)."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            cmdline = Path(f"/proc/{entry}/cmdline").read_bytes()
            environ = Path(f"/proc/{entry}/environ").read_bytes()
        except OSError:
            continue
        if needle in cmdline.split(b"\0")[0] and f"WINEPREFIX={prefix_dir}".encode() in environ.split(b"\0"):
            found.append(int(entry))
    return found


def _cpu_seconds(pid):
    """CPU time of all the process's threads, from the scheduler's
    nanosecond counters; None once the process is gone."""
    total = 0
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            total += int(Path(f"/proc/{pid}/task/{task}/schedstat").read_text().split()[0])
    except (OSError, ValueError, IndexError):
        return None
    return total / 1e9


class CpuSampler(threading.Thread):
    """Samples the CPU time of the tool and of the wineserver every 100 ms:
    samples[name] = [(µs, seconds of CPU)]."""

    WATCH = {"tool": b"vador-calibrage.exe", "wineserver": b"wineserver"}

    def __init__(self, prefix_dir):
        super().__init__(daemon=True)
        self.prefix_dir = prefix_dir
        self.samples = {name: [] for name in self.WATCH}
        self.stop = threading.Event()

    def run(self):
        pids = {}
        while not self.stop.wait(0.1):
            for name, needle in self.WATCH.items():
                if name not in pids:
                    found = _pids(self.prefix_dir, needle)
                    if found:
                        pids[name] = found[0]
                if name in pids:
                    seconds = _cpu_seconds(pids[name])
                    if seconds is not None:
                        self.samples[name].append((now_us(), seconds))


def cpu_share(samples, start_us, end_us):
    """CPU seconds per second between two times, from the nearest samples
    inside the window; None when the window holds fewer than two."""
    inside = [s for s in samples if start_us <= s[0] <= end_us]
    if len(inside) < 2:
        return None
    (t0, c0), (t1, c1) = inside[0], inside[-1]
    return (c1 - c0) / ((t1 - t0) / 1e6)


# ============================== Reports ==============================

class Report:
    """What the console driver saw: events in order, the last screen."""

    def __init__(self, text):
        self.events = []
        self.chars = {}
        self.attrs = {}
        self.title = None
        for line in text.splitlines():
            parts = line.split(" ")
            if parts[0] == "chars":
                self.chars[int(parts[1])] = bytes.fromhex(parts[2]) if len(parts) > 2 else b""
            elif parts[0] == "attrs":
                raw = bytes.fromhex(parts[2]) if len(parts) > 2 else b""
                self.attrs[int(parts[1])] = list(struct.unpack(f"<{len(raw) // 2}H", raw))
            elif parts[0] == "title":
                self.title = line[len("title "):]
            else:
                self.events.append(parts)

    def text(self, column, row, length):
        return self.chars.get(row, b"")[column:column + length]

    def attr(self, column, row):
        row_attrs = self.attrs.get(row, [])
        return row_attrs[column] if column < len(row_attrs) else None

    def of(self, kind):
        return [e for e in self.events if e[0] == kind]

    def exits(self):
        return [e[1] for e in self.of("exit")]


class Run:
    """One scenario's run: the report, the printers, the terminal, the CPU
    samples."""

    def __init__(self, report, printers, code, shown, seconds, cpu, text):
        self.report = report
        self.text = text
        self.printers = printers
        self.code = code
        self.shown = shown
        self.seconds = seconds
        self.cpu = cpu

    def open_to_wait_ms(self, wait=0, port=3):
        """From the printer seeing its port open to the script's screen
        wait number `wait` being met, in ms; None when either is missing."""
        opened = self.printers[port].open_time()
        waits = self.report.of("wait_text")
        if opened is None or len(waits) <= wait:
            return None
        return (int(waits[wait][2]) - opened) / 1000

    def mark(self, name):
        """The time of a script's 'mark NAME', in µs."""
        for event in self.report.of("mark"):
            if event[1] == name:
                return int(event[2])
        return None


def run(tools, prefix, name, script_lines=(), printers=(), timeout=90,
        program=None, arguments=()):
    """Runs one scenario: the console driver playing script_lines to the
    tool or, when program is given, that Windows program with arguments
    and a report path. printers is [(port number, mode, extra args)]."""
    folder = tools.work / "runs" / name
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    prefix.clear_ports()
    started = []
    for number, mode, extra in printers:
        started.append(PrinterProcess(tools, prefix, number, mode,
                                      folder / f"COM{number}.log", extra))
    report_path = folder / "report.txt"
    if program is None:
        script_lines = list(script_lines)
        if "launch" not in script_lines:
            script_lines.insert(0, "launch")
        script = folder / "script.txt"
        script.write_text("\n".join(script_lines) + "\n")
        program = tools.driver
        arguments = [windows_path(tools.exe), windows_path(script)]
    sampler = CpuSampler(prefix.dir)
    sampler.start()
    begin = time.monotonic()
    try:
        code, shown = run_in_terminal(
            prefix.launcher() + ["wine", str(program), *arguments,
                                 windows_path(report_path)],
            prefix.env(), timeout)
    finally:
        sampler.stop.set()
        for p in started:
            p.finish()
    sampler.join(timeout=2)
    seconds = time.monotonic() - begin
    (folder / "terminal.txt").write_bytes(shown)
    text = report_path.read_text(errors="replace") if report_path.exists() else ""
    return Run(Report(text), {p.number: p for p in started}, code, shown,
               seconds, sampler.samples, text)
