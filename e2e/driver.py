"""Drives the running program the way a screen reader sees it: windows by
title, controls by role and accessible name, through AT-SPI."""

import os
import subprocess

import pyatspi
from gi.repository import GLib

from session import SessionError, wait_until

# What AT-SPI raises when the object asked, or its whole program, has gone.
# It is caught only where a gone object means "not there": a control that
# vanished while a window was searched. Anywhere else it fails the step.
Gone = GLib.Error


class DriveError(AssertionError):
    pass


def role(acc):
    return acc.getRoleName()


def name(acc):
    return acc.name or ""


def children(acc):
    return [c for c in acc if c is not None]


def walk(acc):
    """Every control below `acc`; one that goes while it is walked (a menu
    closing) is passed over with what it held."""
    try:
        below = children(acc)
    except Gone:
        return
    for child in below:
        yield child
        yield from walk(child)


def is_showing(acc):
    return acc.getState().contains(pyatspi.STATE_SHOWING)


def is_enabled(acc):
    return acc.getState().contains(pyatspi.STATE_ENABLED)


def is_checked(acc):
    return acc.getState().contains(pyatspi.STATE_CHECKED)


def is_focused(acc):
    return acc.getState().contains(pyatspi.STATE_FOCUSED)


def matches(acc, roles=None, acc_name=None, showing=True):
    """Whether a control seen in a search is the one asked for: of one of
    `roles` (a role name, several, or None for any), named `acc_name` (or
    any) and shown. A control gone since the search saw it is not."""
    if isinstance(roles, str):
        roles = (roles,)
    try:
        return ((roles is None or role(acc) in roles) and (acc_name is None or name(acc) == acc_name)
                and (not showing or is_showing(acc)))
    except Gone:
        return False


def extents(acc):
    e = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return e.x, e.y, e.width, e.height


def describe(acc):
    """For messages only: a control gone meanwhile is described as such."""
    try:
        return f"{role(acc)} {name(acc)!r}"
    except Gone:
        return "(gone)"


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
            except Gone:
                continue  # another program that has just ended
        return None

    def windows(self):
        """The program's top-level windows; none once it has left the bus."""
        app = self.application()
        try:
            return children(app) if app else []
        except Gone:
            return []

    def ended(self):
        return self.proc.poll() is not None

    def window(self, title, timeout=10, kind=None):
        """The shown top-level window with this title (and role)."""
        def find():
            if self.ended():
                raise DriveError(f"the program ended (status {self.proc.returncode}) while waiting for "
                                 f"the window {title!r}")
            for w in self.windows():
                if matches(w, kind, title):
                    return w
            return None
        try:
            return wait_until(find, timeout, f"the window {title!r}")
        except SessionError:
            shown = self.shown_titles()
            raise DriveError(f"no window {title!r} appeared; shown: {shown}") from None

    def main(self, timeout=10):
        return self.window("Quillock", timeout, kind="frame")

    def window_gone(self, title, timeout=10, kind=None):
        def gone():
            return not any(matches(w, kind, title) for w in self.windows())
        try:
            wait_until(gone, timeout, f"the window {title!r} to close")
        except SessionError:
            raise DriveError(f"the window {title!r} is still shown") from None

    def shown_titles(self):
        return [name(w) for w in self.windows() if matches(w)]

    def message(self, title, timeout=10):
        """A message box (never the main window of the same title): the box
        and the texts it shows."""
        def find_box():
            if self.ended():
                raise DriveError(f"the program ended (status {self.proc.returncode}) while waiting for "
                                 f"the message box {title!r}")
            for w in self.windows():
                if matches(w, ("alert", "dialog"), title):
                    return w
            return None
        try:
            box = wait_until(find_box, timeout, f"the message box {title!r}")
        except SessionError:
            shown = [describe(w) for w in self.windows() if matches(w)]
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
        except Gone:
            # A press that ends the program never gets its answer.
            try:
                wait_until(self.ended, 5, "the program to end after its connection went")
            except SessionError:
                raise DriveError(f"{describe(acc)} went away but the program did not end") from None

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
            if matches(c, role_name, acc_name, showing):
                return c
        return None
    try:
        return wait_until(look, timeout, f"{role_name} {acc_name!r}")
    except SessionError:
        have = sorted({describe(c) for c in walk(container) if matches(c)})
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
