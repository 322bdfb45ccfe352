#!/usr/bin/python3
"""End-to-end suite: the built program in a private X session with a window
manager, a system tray and the accessibility bus, driven as a user and a
screen reader would. Exit status 0 only when every journey passed."""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # nothing of the run lands in the source tree

from session import Session, SessionError, sweep, wait_until  # noqa: E402

# Roles a user reaches by keyboard or pointer; each needs a name to be read out.
NAMED_ROLES = {"push button", "text", "password text", "combo box", "radio button", "check box", "list item",
               "menu item", "page tab"}

FAKE_OPENER = """#!/bin/sh
# Stands in for the desktop's opener: records the address, opens nothing.
printf '%s\\n' "$*" >> "$QUILLOCK_E2E_OPENED"
"""


class Hung(Exception):
    pass


class Defects(AssertionError):
    """Wrong things on screen; the journey itself went through."""


class Context:
    def __init__(self, session, build, shots, work):
        self.session = session
        self.build = build
        self.shots = shots
        self.work = work
        self.config = session.env["XDG_CONFIG_HOME"]
        self.bin = os.path.join(work, "bin")
        os.makedirs(self.bin)
        opener = os.path.join(self.bin, "xdg-open")
        with open(opener, "w") as f:
            f.write(FAKE_OPENER)
        os.chmod(opener, 0o755)
        self.opened_log = os.path.join(work, "opened.txt")
        self.opened_seen = 0
        # The program runs from its own working folder, not the application folder.
        self.cwd = os.path.join(work, "cwd")
        os.makedirs(self.cwd)
        self.folder = self.make_folder("app")
        self.vault = os.path.join(self.folder, "data.mdb")
        self.master = "Master-Pass1"
        self.accounts = []
        self.version = cmake_version(build)
        self.programs = []
        self.journey = ""
        self.shot_names = []

    def make_folder(self, label):
        """A portable application folder, laid out by the project's own
        install rules: program, fresh vault, help, picture, desktop entry."""
        folder = os.path.join(self.work, label + " folder")  # a blank, as users' folders have
        self.install(folder)
        return folder

    def install(self, folder):
        out = subprocess.run(["cmake", "--install", self.build, "--prefix", folder], capture_output=True,
                             text=True, timeout=120)
        if out.returncode != 0:
            raise AssertionError(f"cmake --install failed: {out.stderr.strip() or out.stdout.strip()}")
        return out.stdout

    def start(self, folder=None, argv=None, cwd=None):
        from driver import launch
        extra = {"PATH": self.bin + os.pathsep + self.session.env.get("PATH", "/usr/bin:/bin"),
                 "QUILLOCK_E2E_OPENED": self.opened_log}
        program = launch(self.session, folder or self.folder, cwd or self.cwd, extra, argv=argv)
        self.programs.append(program)
        return program

    def expect_end(self, program, what, timeout=10):
        try:
            program.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"the program still runs {timeout} s after {what}") from None

    def kill_all(self):
        for program in self.programs:
            if program.proc.poll() is None:
                try:
                    os.killpg(program.proc.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                program.proc.wait(5)
        self.programs = [p for p in self.programs if p.proc.poll() is None]

    def expect_opened(self, address, timeout=10):
        def lines():
            if not os.path.exists(self.opened_log):
                return []
            with open(self.opened_log, encoding="utf-8") as f:
                return f.read().splitlines()
        found = wait_until(lambda: len(lines()) > self.opened_seen and lines(), timeout,
                           f"the desktop opener to receive {address!r}")
        got = found[self.opened_seen]
        self.opened_seen += 1
        # A file URL reaches the desktop percent-encoded; what it names counts.
        if " " in got or urllib.parse.unquote(got) != address:
            raise AssertionError(f"the desktop opener received {got!r}, not {address!r}")

    def names_in_order(self):
        return [a["account"] for a in sorted(self.accounts, key=lambda a: a["account"].casefold())]

    # -- screenshots -------------------------------------------------------

    def shot_area(self, area, label):
        x, y, w, h = area
        path = os.path.join(self.shots, f"{label}.png")
        time.sleep(0.3)  # let the last paint land
        self.session.run(["import", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}", "+repage", path])
        self.shot_names.append(label)
        return path

    def shot(self, window, label):
        from driver import extents
        return self.shot_area(extents(window), label)

    def shot_menu(self, item, label):
        from driver import extents
        return self.shot_area(extents(item.parent), label)

    # -- accessibility -----------------------------------------------------

    def check_names(self, window):
        """Every control a user can reach carries a name a screen reader can say."""
        from driver import describe, is_showing, name, role, walk
        unnamed = [describe(c) for c in walk(window)
                   if role(c) in NAMED_ROLES and is_showing(c) and not name(c).strip()]
        if unnamed:
            raise AssertionError(f"controls without an accessible name in {describe(window)}: {unnamed}")


def cmake_version(build):
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("CMAKE_PROJECT_VERSION:"):
                return line.split("=", 1)[1].strip()
    raise SystemExit("no project version in CMakeCache.txt")


def run_journey(ctx, journey, limit):
    """Runs one journey; a program that hangs is killed after `limit` seconds."""
    hung = threading.Event()

    def on_timeout():
        hung.set()
        ctx.kill_all()

    import journeys
    journeys.DEFECTS.clear()
    timer = threading.Timer(limit, on_timeout)
    timer.daemon = True
    timer.start()
    try:
        journey(ctx)
        if hung.is_set():
            raise Hung()
    except BaseException as error:
        if hung.is_set():
            raise Hung(f"journey '{journey.__name__}' did not finish within {limit} s: the program was killed "
                       f"(last error: {error})") from None
        raise
    finally:
        timer.cancel()
        still = [p for p in ctx.programs if p.proc.poll() is None]
        ctx.kill_all()
    if still:
        # A journey must end what it starts; one left running is a fault.
        raise AssertionError(f"journey '{journey.__name__}' left the program running; it was killed")
    if journeys.DEFECTS:
        raise Defects("; ".join(journeys.DEFECTS))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    root = os.path.dirname(HERE)
    parser.add_argument("--build", default=os.environ.get("QUILLOCK_BUILD", os.path.join(root, "build")))
    parser.add_argument("--shots", help="folder for the screenshots (default: BUILD/e2e-shots)")
    parser.add_argument("--only", nargs="*", help="run only these journeys (by name)")
    parser.add_argument("--keep", action="store_true", help="keep the temporary session folder")
    parser.add_argument("--limit", type=float, help="seconds each journey may take (default: its own)")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    shots = os.path.abspath(args.shots or os.path.join(build, "e2e-shots"))
    for needed in ("app/quillock", "quillock-makevault", "CMakeCache.txt"):
        if not os.path.exists(os.path.join(build, needed)):
            raise SystemExit(f"e2e: {os.path.join(build, needed)} is missing; build first")
    shutil.rmtree(shots, ignore_errors=True)
    os.makedirs(shots)

    def stop(signum, _frame):
        raise KeyboardInterrupt(f"signal {signum}")
    for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(sig, stop)

    started = time.monotonic()
    work = tempfile.mkdtemp(prefix="quillock-e2e-")
    session = Session(root=os.path.join(work, "session"))
    results = []
    ctx = None
    status = 1
    try:
        session.start()
        # pyatspi finds the accessibility bus through these at import time.
        os.environ.update({k: session.env[k] for k in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR")})
        import journeys
        ctx = Context(session, build, shots, os.path.join(work, "run"))
        broken = None
        for journey in journeys.JOURNEYS:
            label = journey.__name__
            if args.only and label not in args.only:
                continue
            if broken and journey not in journeys.INDEPENDENT:
                results.append((label, "skipped", 0.0, f"needs what '{broken}' leaves behind"))
                continue
            ctx.journey = label
            t0 = time.monotonic()
            print(f"e2e: {label} ...", flush=True)
            try:
                run_journey(ctx, journey, args.limit or journeys.LIMITS.get(journey, journeys.DEFAULT_LIMIT))
                results.append((label, "passed", time.monotonic() - t0, ""))
            except KeyboardInterrupt:
                raise
            except BaseException as error:
                detail = "".join(traceback.format_exception_only(type(error), error)).strip()
                where = traceback.extract_tb(error.__traceback__)
                steps = " > ".join(f"{f.name}:{f.lineno}" for f in where if f.filename.endswith("journeys.py"))
                results.append((label, "FAILED", time.monotonic() - t0, f"{detail} [{steps}]"))
                ctx.shot_area((0, 0) + session.size, f"failed-{label}")
                if not isinstance(error, Defects):
                    broken = broken or label
        status = 0 if results and all(r[1] == "passed" for r in results) else 1
    except SessionError as error:
        print(f"e2e: the desktop session did not start: {error}", file=sys.stderr)
    except KeyboardInterrupt as error:
        print(f"e2e: interrupted ({error})", file=sys.stderr)
    finally:
        if ctx:
            ctx.kill_all()
        session.stop()
        left = sweep(session.mark)
        if left:
            print(f"e2e: processes still running after the sweep: {left}", file=sys.stderr)
            status = 1
        log = os.path.join(session.root, "quillock.log")
        if status and os.path.exists(log):
            with open(log, errors="replace") as f:
                tail = f.read()[-3000:]
            if tail.strip():
                print("e2e: the program's own output (last part):\n" + tail, file=sys.stderr)
        if args.keep:
            print(f"e2e: kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)

    total = time.monotonic() - started
    for label, outcome, seconds, detail in results:
        print(f"e2e: {outcome:7} {label:16} {seconds:6.1f} s  {detail}")
    print(f"e2e: {sum(r[1] == 'passed' for r in results)} of {len(results)} journeys passed in {total:.0f} s; "
          f"screenshots in {shots}")
    return status


if __name__ == "__main__":
    sys.exit(main())
