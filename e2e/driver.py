"""Drives the running program the way a screen reader sees it: windows by
title, controls by role and accessible name, through AT-SPI."""

import os
import subprocess
import time

import pyatspi

from session import wait_until


class DriveError(AssertionError):
    pass


def role(acc):
    try:
        return acc.getRoleName()
    except Exception:
        return ""


def name(acc):
    try:
        return acc.name or ""
    except Exception:
        return ""


def children(acc):
    try:
        return [c for c in acc if c is not None]
    except Exception:
        return []


def walk(acc):
    for child in children(acc):
        yield child
        yield from walk(child)


def states(acc):
    try:
        return acc.getState()
    except Exception:
        return None


def is_showing(acc):
    s = states(acc)
    return bool(s) and s.contains(pyatspi.STATE_SHOWING)


def is_enabled(acc):
    s = states(acc)
    return bool(s) and s.contains(pyatspi.STATE_ENABLED)


def is_checked(acc):
    s = states(acc)
    return bool(s) and s.contains(pyatspi.STATE_CHECKED)


def extents(acc):
    e = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return e.x, e.y, e.width, e.height


def describe(acc):
    return f"{role(acc)} {name(acc)!r}"


class Program:
    """One run of the program, seen through the accessibility bus."""

    def __init__(self, session, folder, proc):
        self.session = session
        self.folder = folder
        self.proc = proc

    # -- finding ---------------------------------------------------------

    def application(self):
        desktop = pyatspi.Registry.getDesktop(0)
        for app in children(desktop):
            try:
                if app.get_process_id() == self.proc.pid:
                    return app
            except Exception:
                continue
        return None

    def windows(self):
        app = self.application()
        return [w for w in children(app)] if app else []

    def ended(self):
        return self.proc.poll() is not None

    def window(self, title, timeout=10, kind=None):
        """The shown top-level window with this title (and role)."""
        def find():
            if self.ended():
                raise DriveError(f"the program ended (status {self.proc.returncode}) while waiting for "
                                 f"the window {title!r}")
            for w in self.windows():
                if name(w) == title and is_showing(w) and (kind is None or role(w) == kind):
                    return w
            return None
        try:
            return wait_until(find, timeout, f"the window {title!r}")
        except Exception as error:
            if isinstance(error, DriveError):
                raise
            shown = [describe(w) for w in self.windows() if is_showing(w)]
            raise DriveError(f"no window {title!r} appeared; shown: {shown}") from None

    def main(self, timeout=10):
        return self.window("Quillock", timeout, kind="frame")

    def window_gone(self, title, timeout=10, kind=None):
        def gone():
            return not any(name(w) == title and is_showing(w) and (kind is None or role(w) == kind)
                           for w in self.windows())
        try:
            wait_until(gone, timeout, f"the window {title!r} to close")
        except Exception:
            raise DriveError(f"the window {title!r} is still shown") from None

    def shown_titles(self):
        return [name(w) for w in self.windows() if is_showing(w)]

    def message(self, title, timeout=10):
        """A message box (never the main window of the same title): the box
        and the texts it shows."""
        def find_box():
            if self.ended():
                raise DriveError(f"the program ended (status {self.proc.returncode}) while waiting for "
                                 f"the message box {title!r}")
            for w in self.windows():
                if name(w) == title and role(w) in ("alert", "dialog") and is_showing(w):
                    return w
            return None
        try:
            box = wait_until(find_box, timeout, f"the message box {title!r}")
        except Exception as error:
            if isinstance(error, DriveError):
                raise
            shown = [describe(w) for w in self.windows() if is_showing(w)]
            raise DriveError(f"no message box {title!r} appeared; shown: {shown}") from None
        texts = [name(c) for c in walk(box) if role(c) == "label" and name(c)]
        return box, texts

    # -- acting ----------------------------------------------------------

    def click(self, acc):
        """A real pointer click at the centre of the control. Qt answers an
        AT-SPI action only when its handler returns, which for a handler that
        opens a modal dialog is when the dialog closes: those are clicked."""
        x, y, w, h = extents(acc)
        if w <= 0 or h <= 0:
            raise DriveError(f"{describe(acc)} has no area on screen to click")
        self.session.run(["xdotool", "mousemove", str(x + w // 2), str(y + h // 2), "sleep", "0.05",
                          "click", "1"])

    def press(self, acc):
        """The accessible default action; only for controls that open nothing modal."""
        if not is_enabled(acc):
            raise DriveError(f"{describe(acc)} is disabled")
        action = acc.queryAction()
        index = 0
        for i in range(action.nActions):
            if action.getName(i) in ("Press", "Toggle", "press", "click"):
                index = i
                break
        try:
            action.doAction(index)
        except Exception:
            # A press that ends the program never gets its answer.
            time.sleep(0.5)
            if not self.ended():
                raise

    def type_into(self, acc, text):
        """Replaces a box's text through the editable-text interface."""
        editable = acc.queryEditableText()
        editable.setTextContents(text)

    def keys(self, *keys):
        self.session.run(["xdotool", "key", "--clearmodifiers", *keys])

    def text_of(self, acc):
        try:
            t = acc.queryText()
            return t.getText(0, -1)
        except NotImplementedError:
            return name(acc)


def find(container, role_name, acc_name=None, timeout=5, showing=True):
    """The control of this role (and accessible name) inside a window."""
    def look():
        for c in walk(container):
            if role(c) == role_name and (acc_name is None or name(c) == acc_name):
                if not showing or is_showing(c):
                    return c
        return None
    try:
        return wait_until(look, timeout, f"{role_name} {acc_name!r}")
    except Exception:
        have = sorted({describe(c) for c in walk(container) if is_showing(c)})
        raise DriveError(f"no {role_name} named {acc_name!r} in {describe(container)}; it holds {have}") from None


def labelled(container, caption):
    """The label that a caption label names (its buddy), e.g. "Username:"."""
    cap = find(container, "label", caption)
    for rel in cap.getRelationSet():
        if rel.getRelationType() == pyatspi.RELATION_LABEL_FOR:
            return rel.getTarget(0)
    raise DriveError(f"the caption {caption!r} names no control")


def launch(session, folder, cwd, extra_env=None, argv=None):
    env = dict(session.env, QT_ACCESSIBILITY="1", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
               QT_QPA_PLATFORM="xcb")
    env.update(extra_env or {})
    log = open(os.path.join(session.root, "quillock.log"), "ab")
    proc = subprocess.Popen(argv or [os.path.join(folder, "quillock")], cwd=cwd, env=env,
                            stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    log.close()
    return Program(session, folder, proc)
