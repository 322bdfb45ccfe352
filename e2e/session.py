"""A private desktop session: X server, window manager, system tray, D-Bus
and the accessibility bus, all started here and all stopped again."""

import os
import shutil
import signal
import subprocess
import tempfile
import time
import uuid

# Every process this run starts, directly or through D-Bus activation,
# inherits this mark, so the last sweep finds even those it never saw.
MARK = "QUILLOCK_E2E_RUN"


class SessionError(RuntimeError):
    pass


def wait_until(test, timeout, what, step=0.05):
    end = time.monotonic() + timeout
    while True:
        result = test()
        if result:
            return result
        if time.monotonic() > end:
            raise SessionError(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(step)


class Session:
    def __init__(self, root=None, width=1024, height=768):
        self.root = root or tempfile.mkdtemp(prefix="quillock-e2e-")
        self.size = (width, height)
        self.mark = uuid.uuid4().hex
        self.procs = []  # (name, Popen), in start order
        self.env = None

    # -- start -------------------------------------------------------------

    def start(self):
        try:
            self._start()
        except BaseException:
            self.stop()
            raise
        return self

    def _start(self):
        runtime = os.path.join(self.root, "runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        for sub in ("config", "data", "cache", "home"):
            os.makedirs(os.path.join(self.root, sub), exist_ok=True)
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("DBUS_", "AT_SPI", "XDG_", "WAYLAND", "QT_", "SESSION_MANAGER"))}
        env.update({
            MARK: self.mark,
            "XDG_RUNTIME_DIR": runtime,
            "XDG_CONFIG_HOME": os.path.join(self.root, "config"),
            "XDG_DATA_HOME": os.path.join(self.root, "data"),
            "XDG_CACHE_HOME": os.path.join(self.root, "cache"),
            "NO_AT_BRIDGE": "0",
            "GTK_A11Y": "atspi",
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
        })
        env.pop("DISPLAY", None)
        self.env = env

        # Xvfb names its display itself, so parallel runs never collide.
        read_fd, write_fd = os.pipe()
        w, h = self.size
        self._spawn("Xvfb", ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", f"{w}x{h}x24",
                             "-nolisten", "tcp", "-noreset", "+extension", "RANDR"],
                    pass_fds=(write_fd,))
        os.close(write_fd)
        number = self._read_line(read_fd, 15, "Xvfb to name its display")
        env["DISPLAY"] = f":{number}"

        bus_read, bus_write = os.pipe()
        self._spawn("dbus-daemon", ["dbus-daemon", "--session", "--nofork", "--nosyslog",
                                    f"--print-address={bus_write}"], pass_fds=(bus_write,))
        os.close(bus_write)
        env["DBUS_SESSION_BUS_ADDRESS"] = self._read_line(bus_read, 15, "the D-Bus session bus")

        self._spawn("at-spi-bus-launcher", ["/usr/libexec/at-spi-bus-launcher", "--launch-immediately",
                                            "--a11y=1"])
        wait_until(self._a11y_bus_ready, 15, "the accessibility bus")

        self._spawn("openbox", ["openbox", "--sm-disable"])
        wait_until(lambda: self._x_owner("WM_S0"), 15, "openbox")
        self._spawn("trayer", ["trayer", "--edge", "bottom", "--align", "right", "--widthtype", "pixel",
                               "--width", "120", "--height", "28", "--SetDockType", "true",
                               "--transparent", "false", "--tint", "0x404040"])
        wait_until(lambda: self._x_owner("_NET_SYSTEM_TRAY_S0"), 15, "trayer's system tray")
        return self

    def _read_line(self, fd, timeout, what):
        data = b""
        end = time.monotonic() + timeout
        os.set_blocking(fd, False)
        try:
            while not data.endswith(b"\n"):
                if time.monotonic() > end:
                    raise SessionError(f"timed out after {timeout} s waiting for {what}")
                try:
                    chunk = os.read(fd, 256)
                except BlockingIOError:
                    self._check_alive()
                    time.sleep(0.05)
                    continue
                if not chunk:
                    raise SessionError(f"{what}: the process closed its pipe")
                data += chunk
        finally:
            os.close(fd)
        return data.decode().strip()

    def _check_alive(self):
        for name, proc in self.procs:
            if proc.poll() is not None:
                raise SessionError(f"{name} ended early with status {proc.returncode}; "
                                   f"see {self.log_path(name)}")

    def log_path(self, name):
        return os.path.join(self.root, f"{name}.log")

    def _spawn(self, name, argv, pass_fds=()):
        log = open(self.log_path(name), "ab")
        proc = subprocess.Popen(argv, env=self.env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                pass_fds=pass_fds, start_new_session=True)
        log.close()
        self.procs.append((name, proc))
        return proc

    def run(self, argv, timeout=20, check=True, **kw):
        return subprocess.run(argv, env=self.env, timeout=timeout, check=check,
                              capture_output=True, text=True, **kw)

    def _x_owner(self, atom):
        self._check_alive()
        # A window manager owns WM_S0; a tray owns the selection icons dock with.
        probe = subprocess.run(["/usr/bin/python3", "-c", _SELECTION_PROBE, atom], env=self.env,
                               capture_output=True, text=True)
        return probe.stdout.strip() == "owned"

    def _a11y_bus_ready(self):
        self._check_alive()
        # Asking the bus itself before the launcher owns its name would make
        # D-Bus start a second launcher, and ours would then give up.
        owner = subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                                "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                                "string:org.a11y.Bus"], env=self.env, capture_output=True, text=True)
        if "boolean true" not in owner.stdout:
            return False
        out = subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus",
                              "/org/a11y/bus", "org.a11y.Bus.GetAddress"], env=self.env,
                             capture_output=True, text=True)
        return out.returncode == 0 and "unix:" in out.stdout

    # -- stop --------------------------------------------------------------

    def stop(self):
        for name, proc in reversed(self.procs):
            _end_group(proc)
        self.procs.clear()
        sweep(self.mark)

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


_SELECTION_PROBE = r"""
import ctypes, ctypes.util, sys
x = ctypes.CDLL(ctypes.util.find_library("X11"))
x.XOpenDisplay.restype = ctypes.c_void_p
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x.XInternAtom.restype = ctypes.c_ulong
x.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
x.XGetSelectionOwner.restype = ctypes.c_ulong
d = x.XOpenDisplay(None)
print("owned" if d and x.XGetSelectionOwner(d, x.XInternAtom(d, sys.argv[1].encode(), 0)) else "free")
"""


def _end_group(proc, grace=3.0):
    """Ends a process and its group: TERM, a short wait, then KILL."""
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            pass
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    try:
        proc.wait(2)
    except subprocess.TimeoutExpired:
        pass


def marked_pids(mark):
    found = []
    needle = f"{MARK}={mark}".encode()
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                if needle in f.read().split(b"\0"):
                    found.append(int(entry))
        except OSError:
            pass
    return found


def sweep(mark):
    """Kills whatever still carries this run's mark (D-Bus-activated helpers)."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        pids = marked_pids(mark)
        if not pids:
            return []
        for pid in pids:
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        time.sleep(0.5)
    return marked_pids(mark)
