"""The journeys: each one drives the program as a user would and checks what
the screen shows and what lands on disk. They run in this order and share
one application folder, so each starts where the one before it left off."""

import hashlib
import os
import re
import shlex
import stat
import subprocess
import time

import ondisk
from driver import (DriveError, Gone, extents, find, is_checked, is_enabled, is_focused, is_showing, labelled,
                    name, role, walk)
from session import SessionError, wait_until

CREATE_TITLE = "Please select a . . ."
PROMPT_TITLE = "Please enter your. . ."
ADD_TITLE = "Add New Account. . ."
EDIT_TITLE = "Edit Account Information. . ."
OPTIONS_TITLE = "Quillock Options"
ABOUT_TITLE = "About Quillock"

RULE_MESSAGE = ("Data validation failed.  Your master password must be between eight and sixteen characters.  "
                "The passwords you entered must match.  Please try again.")
NAME_MESSAGE = "Data validation error.  You must enter a name for this account."
URL_MESSAGE = "Data validation error.  Your internet url must be in the proper format (http://<address>)."
CHECK_FAILED = "Security check failed."
DELETE_QUESTION = "Delete this account from the Quillock database?"
EXIT_QUESTION = ("Do you want to leave an icon in the system tray (next to the current time in the bottom right "
                 "hand corner of your screen)?  If yes, you can quickly access Quillock by clicking on the "
                 "Quillock icon in the tray.  If no, you will have to start Quillock using the windows start "
                 "menu.")
MASK = "*" * 16
# What a screen reader hears for an empty detail label and for the mask.
SPOKEN = {"empty": "", "masked": MASK}

FLAT_BUTTONS = ["New Account", "Print Report", "Options", "View Help File", "Exit Program"]
DETAIL_BUTTONS = ["Edit Info", "Delete", "Open URL", "Password"]
CAPTIONS = ["Username:", "Password:", "Internet URL:", "Password Hint:", "Other Notes:"]

BANK = {"account": 'Bank & <Co> "Main"', "username": "bob.o'neil", "password": 'p<a>ss&"w',
        "url": "https://bank.example/login?a=1&b=2", "hint": "first line\nsecond line",
        "notes": "<b>not bold</b> & 'quoted'"}
MAIL = {"account": "Почта 郵便 ✉", "username": "пользователь", "password": "пароль密码",
        "url": "http://mail.example.ru", "hint": "Подсказка", "notes": "メモ"}
SHOP = {"account": "Zeta shop", "username": "zed", "password": "zz-top", "url": "http://zeta.example",
        "hint": "", "notes": ""}


# Wrong texts on screen fail the journey at its end, so that the steps after
# them still run and their own faults show in the same run.
DEFECTS = []


def defect(message):
    DEFECTS.append(message)


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def equal(actual, expected, what):
    if actual != expected:
        raise AssertionError(f"{what}: expected {expected!r}, got {actual!r}")


# -- small steps shared by the journeys -----------------------------------

def detail(main, caption):
    """What a detail label shows, as a screen reader hears it: the caption
    once, then the value ("empty" when there is none, "masked" for the
    password mask)."""
    heard = name(labelled(main, caption))
    if not heard.startswith(caption + " "):
        raise AssertionError(f"the detail label of {caption!r} is heard as {heard!r}")
    value = heard[len(caption) + 1:]
    return SPOKEN.get(value, value)


def panel(main):
    return [detail(main, c) for c in CAPTIONS]


def combo(main):
    return find(main, "combo box")


def listed(main):
    box = combo(main)
    return [name(item) for item in walk(box) if role(item) == "list item"]


def selected(main):
    """The picked entry: on Linux Qt names a list box by its current entry,
    and by its accessible name when nothing is picked."""
    current = name(combo(main))
    return current if current in listed(main) and current != "Account name" else None


def button(main, caption):
    return find(main, "push button", caption)


def enabled_buttons(main, captions):
    return {c: is_enabled(button(main, c)) for c in captions}


def expect_empty_panel(main, why):
    equal(panel(main), [""] * 5, f"{why}: the detail panel")
    equal(enabled_buttons(main, DETAIL_BUTTONS), {c: False for c in DETAIL_BUTTONS}, f"{why}: detail buttons")
    equal(selected(main), None, f"{why}: the list selection")


def pick(p, main, account):
    """Opens the list and clicks the entry, as a user with a mouse does."""
    box = combo(main)
    box.queryAction().doAction(0)  # opens the list; nothing modal follows
    item = find(box, "list item", account)
    wait_until(lambda: extents(item)[2] > 0 and extents(item)[1] > 0, 5, f"the list entry {account!r}")
    p.click(item)
    wait_until(lambda: detail(main, "Username:") != "" or panel(main) != [""] * 5, 5,
               f"the details of {account!r}")


def answer(p, title, button_name, expect_text=None, shot=None, ctx=None):
    """Answers a message box, checking its text first."""
    box, texts = p.message(title)
    if expect_text is not None and expect_text not in texts:
        defect(f"the message box {title!r} shows {texts!r}, not {expect_text!r}")
    if shot and ctx:
        ctx.check_names(box)
        ctx.shot(box, shot)
    p.press(find(box, "push button", button_name))
    wait_until(lambda: not is_showing(box) if _alive(box) else True, 5, f"the message box {title!r} to close")
    return texts


def _alive(acc):
    try:
        acc.getState()
        return True
    except Gone:
        return False


def security_check(p, main, button_caption, password, shot=None, ctx=None):
    """Clicks a guarded command and answers the master-password prompt."""
    p.click(button(main, button_caption))
    prompt = p.window(PROMPT_TITLE)
    equal(name(find(prompt, "label", "Please enter your master password.")),
          "Please enter your master password.", "the prompt's caption")
    if shot and ctx:
        ctx.check_names(prompt)
        ctx.shot(prompt, shot)
    p.type_into(find(prompt, "password text", "Master password"), password)
    p.click(find(prompt, "push button", "Ok"))
    p.window_gone(PROMPT_TITLE)


def close_by_window_manager(ctx, p):
    """The title-bar close, as the window manager sends it."""
    out = ctx.session.run(["xdotool", "search", "--all", "--onlyvisible", "--pid", str(p.proc.pid),
                           "--name", "^Quillock$"], check=False)
    ids = out.stdout.split()
    check(ids, "no X window of the main window to close")
    # The window manager's own close request: a key press could land in
    # another window when activation is slow under load.
    ctx.session.run(["wmctrl", "-i", "-c", ids[-1]], check=False)
    ctx.expect_end(p, "closing the main window", timeout=30)


def tray_icon(ctx, p):
    """The centre of the program's icon in trayer's panel, found through X:
    the tray icon is not part of the accessibility tree."""
    def look():
        panels = []
        for wid in ctx.session.run(["xdotool", "search", "--class", "trayer"], check=False).stdout.split():
            g = _geometry(ctx, wid)
            if g and g[2] > 20:
                panels.append(g)
        # The X server is this run's own: every quillock window is the program's.
        for wid in ctx.session.run(["xdotool", "search", "--class", "quillock"], check=False).stdout.split():
            g = _geometry(ctx, wid)
            if not g or g[2] > 48 or g[3] > 48:
                continue
            for px, py, pw, ph in panels:
                if px <= g[0] < px + pw and py <= g[1] < py + ph:
                    return g[0] + g[2] // 2, g[1] + g[3] // 2, (px, py, pw, ph)
        return None
    return wait_until(look, 10, "the Quillock icon in the system tray")


def _geometry(ctx, wid):
    out = ctx.session.run(["xdotool", "getwindowgeometry", "--shell", wid], check=False).stdout
    values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    try:
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])
    except (KeyError, ValueError):
        return None


def click_at(ctx, x, y, button_number=1):
    ctx.session.run(["xdotool", "mousemove", str(x), str(y), "sleep", "0.05", "click", str(button_number)])


def add_account(ctx, p, main, account, first_url=None):
    p.click(button(main, "New Account"))
    dialog = p.window(ADD_TITLE)
    equal(p.text_of(find(dialog, "text", "Internet URL:")), "http://", "a fresh dialog's URL box")
    for caption, key in [("Name:", "account"), ("Username:", "username"), ("Password:", "password"),
                         ("Password Hint:", "hint"), ("Other Notes:", "notes")]:
        p.type_into(find(dialog, "text", caption), account[key])
    p.type_into(find(dialog, "text", "Internet URL:"), first_url or account["url"])
    p.click(find(dialog, "push button", "Ok"))
    if first_url:
        answer(p, "Quillock", "OK", URL_MESSAGE, shot="message-url", ctx=ctx)
        equal(p.text_of(find(dialog, "text", "Internet URL:")), "http://" + first_url,
              "the URL box after the refusal")
        p.click(find(dialog, "push button", "Ok"))
    p.window_gone(ADD_TITLE)


def desktop_entry(path):
    """The keys of a desktop entry's main group, values unescaped."""
    keys = {}
    group = None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("["):
                group = line
            elif group == "[Desktop Entry]" and "=" in line and not line.startswith("#"):
                key, value = line.split("=", 1)
                value = re.sub(r"\\(.)", lambda m: {"s": " ", "n": "\n", "t": "\t", "r": "\r"}.get(
                    m.group(1), m.group(1)), value)
                keys[key.strip()] = value
    return keys


def exec_argv(value):
    """The command line of an Exec value (quoting as the desktop entry rules say)."""
    return [arg.replace("%%", "%") for arg in shlex.split(value)]


# -- the journeys ---------------------------------------------------------

def installed_folder(ctx):
    """The install rules lay out a self-contained application folder."""
    folder = ctx.folder
    for part in ["quillock", "data.mdb", "picture.gif", "help/index.htm", "help/help.css",
                 "share/applications/quillock.desktop", "share/icons/hicolor/48x48/apps/quillock.png"]:
        check(os.path.isfile(os.path.join(folder, part)), f"the installed folder lacks {part}")
    check(os.access(os.path.join(folder, "quillock"), os.X_OK), "the installed program is not executable")
    entry = desktop_entry(os.path.join(folder, "share/applications/quillock.desktop"))
    equal({k: entry.get(k) for k in ("Type", "Name", "Terminal", "Path", "Icon")},
          {"Type": "Application", "Name": "Quillock", "Terminal": "false", "Path": folder,
           "Icon": os.path.join(folder, "share/icons/hicolor/48x48/apps/quillock.png")}, "the desktop entry")
    equal(exec_argv(entry["Exec"]), [os.path.join(folder, "quillock")], "the desktop entry's command")
    equal(ondisk.master_row(ctx.vault), {"key": "master", "password": "", "initialized": "0"},
          "the installed vault's master row")
    equal(ondisk.accounts(ctx.vault), [], "the installed vault's accounts")


def reinstall_keeps_vault(ctx):
    """Installing again keeps the vault; the desktop entry starts the program."""
    with open(ctx.vault, "rb") as f:
        before = f.read()
    ctx.install(ctx.folder)
    with open(ctx.vault, "rb") as f:
        check(f.read() == before, "installing again changed the vault")
    entry = desktop_entry(os.path.join(ctx.folder, "share/applications/quillock.desktop"))
    p = ctx.start(argv=exec_argv(entry["Exec"]), cwd=entry["Path"])
    main = p.main(timeout=20)
    check(CREATE_TITLE not in p.shown_titles(), "the reinstalled folder asks for a new master password")
    equal(listed(main), ctx.names_in_order(), "the list after installing again")
    check(os.path.exists(os.path.join(ctx.folder, "temp.icx")), "temp.icx is not in the entry's folder")
    close_by_window_manager(ctx, p)


def first_start(ctx):
    """First start on a fresh vault: the master password is chosen."""
    check(ondisk.master_row(ctx.vault)["initialized"] == "0", "the fresh vault is already initialised")
    p = ctx.start()
    create = p.window(CREATE_TITLE, timeout=20)
    check(not any(n == "Quillock" for n in p.shown_titles()), "the main window is shown before the password")
    first = find(create, "password text", "Master Password")
    second = find(create, "password text", "Again, Please")
    find(create, "push button", "Exit")
    ctx.check_names(create)
    ctx.shot(create, "create-password")

    p.type_into(first, "Seven77")
    p.type_into(second, "Seven77")
    p.click(find(create, "push button", "Ok"))
    answer(p, "Quillock Security Initialization", "OK", RULE_MESSAGE, shot="message-password-rule", ctx=ctx)
    check(is_showing(create), "the creation window closed after a refused password")
    equal(ondisk.master_row(ctx.vault)["initialized"], "0", "initialized after a refused password")

    # Blanks around the entry are not part of the master password.
    p.type_into(first, "  " + ctx.master + " ")
    p.type_into(second, "  " + ctx.master + " ")
    p.click(find(create, "push button", "Ok"))
    main = p.main(timeout=20)

    row = ondisk.master_row(ctx.vault)
    equal(row["key"], "master", "the master row's key")
    equal(row["initialized"], "1", "the master row's initialized flag")
    check(row["password"] and ctx.master not in row["password"], "the master password is not stored enciphered")
    equal(ondisk.settings(ctx.config).get("Initialized"), "T", "the Initialized setting")
    check(os.path.exists(os.path.join(ctx.cwd, "temp.icx")), "no temp.icx in the working folder")
    check(not os.path.exists(os.path.join(ctx.folder, "temp.icx")), "temp.icx landed in the application folder")

    equal(listed(main), [], "the list of a fresh vault")
    expect_empty_panel(main, "after the first start")
    equal(enabled_buttons(main, FLAT_BUTTONS), {c: True for c in FLAT_BUTTONS}, "the flat buttons")
    ctx.check_names(main)
    ctx.shot(main, "main-empty")
    close_by_window_manager(ctx, p)
    check(not os.path.exists(os.path.join(ctx.cwd, "temp.icx")), "temp.icx left behind after closing")


def add_accounts(ctx):
    """Adding accounts: refused name and URL, an https URL, non-Latin text."""
    p = ctx.start()
    main = p.main(timeout=20)
    check(CREATE_TITLE not in p.shown_titles(), "the password window came back on a second start")
    # The first stop of the tab order: a first key press starts no guarded command.
    wait_until(lambda: is_focused(button(main, "Exit Program")), 5, "the focus on Exit Program at start")

    p.click(button(main, "New Account"))
    dialog = p.window(ADD_TITLE)
    ctx.check_names(dialog)
    p.type_into(find(dialog, "text", "Name:"), "   ")
    p.type_into(find(dialog, "text", "Internet URL:"), "no scheme")
    p.click(find(dialog, "push button", "Ok"))
    answer(p, "Quillock", "OK", NAME_MESSAGE, shot="message-name", ctx=ctx)
    equal(p.text_of(find(dialog, "text", "Internet URL:")), "no scheme", "the URL box after a name refusal")
    ctx.shot(dialog, "add-account")
    p.click(find(dialog, "push button", "Cancel"))
    p.window_gone(ADD_TITLE)
    equal(ondisk.accounts(ctx.vault), [], "accounts after a cancelled dialog")

    add_account(ctx, p, main, BANK)
    add_account(ctx, p, main, MAIL, first_url="mail.example.ru")
    MAIL["url"] = "http://mail.example.ru"
    add_account(ctx, p, main, SHOP)
    ctx.accounts = [dict(BANK), dict(MAIL), dict(SHOP)]

    stored = ondisk.accounts(ctx.vault)
    equal(len(stored), 3, "accounts in the vault")
    for row, typed in zip(stored, ctx.accounts):
        for key in ("account", "url", "hint", "notes"):
            equal(row[key], typed[key], f"stored {key} of {typed['account']!r}")
        for key in ("username", "password"):
            check(row[key] and row[key] != typed[key], f"{key} of {typed['account']!r} is stored in clear")
    equal(listed(main), ctx.names_in_order(), "the account list")
    expect_empty_panel(main, "after adding")

    # Exit with no choice stored asks; Cancel keeps the window, No ends.
    p.click(button(main, "Exit Program"))
    answer(p, "Quillock Exit Utility", "Cancel", EXIT_QUESTION, shot="message-exit-question", ctx=ctx)
    check(is_showing(main), "the main window went away after Cancel")
    p.click(button(main, "Exit Program"))
    answer(p, "Quillock Exit Utility", "No", EXIT_QUESTION)
    ctx.expect_end(p, "answering No to the exit question")
    check(not os.path.exists(os.path.join(ctx.cwd, "temp.icx")), "temp.icx left behind after exiting")


def pick_and_reveal(ctx):
    """Picking shows the details; reveal asks for the master password."""
    p = ctx.start()
    main = p.main(timeout=20)
    pick(p, main, BANK["account"])
    equal(panel(main), [BANK["username"], MASK, BANK["url"], BANK["hint"], BANK["notes"]], "the detail panel")
    equal(selected(main), BANK["account"], "the picked entry")
    equal(enabled_buttons(main, DETAIL_BUTTONS), {c: True for c in DETAIL_BUTTONS}, "detail buttons")
    ctx.check_names(main)
    ctx.shot(main, "main")

    p.press(button(main, "Open URL"))
    ctx.expect_opened(BANK["url"])
    p.press(button(main, "View Help File"))
    ctx.expect_opened("file://" + ctx.folder + "/help/index.htm")

    security_check(p, main, "Password", ctx.master.lower(), shot="master-password", ctx=ctx)
    answer(p, "Quillock Security Check", "OK", CHECK_FAILED, shot="message-security-check", ctx=ctx)
    equal(detail(main, "Password:"), MASK, "the password after a failed check")

    security_check(p, main, "Password", ctx.master)
    wait_until(lambda: detail(main, "Password:") == BANK["password"], 5, "the revealed password")
    ctx.shot(main, "main-revealed")

    pick(p, main, MAIL["account"])
    equal(panel(main), [MAIL["username"], MASK, MAIL["url"], MAIL["hint"], MAIL["notes"]], "the second account")

    # About, from the Help menu.
    menu = find(main, "menu item", "Help ")
    menu.queryAction().doAction(0)
    about_item = find(main, "menu item", "About")
    wait_until(lambda: extents(about_item)[2] > 0 and extents(about_item)[0] > 0, 5, "the Help menu")
    p.click(about_item)
    about = p.window(ABOUT_TITLE)
    equal(name(find(about, "label", "Quillock")), "Quillock", "the About box's product name")
    version = [name(c) for c in walk(about) if role(c) == "label" and name(c).startswith("Version ")]
    equal(version, [f"Version {ctx.version}"], "the About box's version line")
    find(about, "label", "Request Technical Support")
    ctx.check_names(about)
    ctx.shot(about, "about")
    p.press(find(about, "push button", "Ok"))
    p.window_gone(ABOUT_TITLE)
    close_by_window_manager(ctx, p)


def edit_and_rename(ctx):
    """Edit asks for the master password, shows the fields, renames."""
    p = ctx.start()
    main = p.main(timeout=20)
    pick(p, main, SHOP["account"])
    security_check(p, main, "Edit Info", "wrong-password")
    answer(p, "Quillock Security Check", "OK", CHECK_FAILED)
    check(EDIT_TITLE not in p.shown_titles(), "the edit dialog opened after a failed check")

    security_check(p, main, "Edit Info", ctx.master)
    dialog = p.window(EDIT_TITLE)
    ctx.check_names(dialog)
    shown = {c: p.text_of(find(dialog, "text", c)) for c in ["Name:", "Username:", "Password:", "Internet URL:"]}
    equal(shown, {"Name:": SHOP["account"], "Username:": SHOP["username"], "Password:": SHOP["password"],
                  "Internet URL:": SHOP["url"]}, "the edit dialog's boxes")
    ctx.shot(dialog, "edit-account")
    p.type_into(find(dialog, "text", "Name:"), "Alpha shop")
    p.type_into(find(dialog, "text", "Other Notes:"), "renamed\nfrom Zeta")
    p.click(find(dialog, "push button", "Ok"))
    p.window_gone(EDIT_TITLE)
    ctx.accounts[2].update(account="Alpha shop", notes="renamed\nfrom Zeta")

    stored = ondisk.accounts(ctx.vault)
    equal([r["account"] for r in stored], [a["account"] for a in ctx.accounts], "accounts after the rename")
    equal(stored[2]["notes"], "renamed\nfrom Zeta", "the edited notes")
    equal(listed(main), ctx.names_in_order(), "the list after the rename")
    equal(listed(main)[0], "Alpha shop", "the renamed account's place")
    expect_empty_panel(main, "after storing the edit")
    close_by_window_manager(ctx, p)


def delete_account(ctx):
    """Delete asks first; Cancel keeps the account, OK removes it."""
    p = ctx.start()
    main = p.main(timeout=20)
    pick(p, main, "Alpha shop")
    p.click(button(main, "Delete"))
    answer(p, "Delete Confirmation. . .", "Cancel", DELETE_QUESTION, shot="message-delete", ctx=ctx)
    equal(len(ondisk.accounts(ctx.vault)), 3, "accounts after a cancelled delete")
    equal(detail(main, "Username:"), SHOP["username"], "the panel after a cancelled delete")

    p.click(button(main, "Delete"))
    answer(p, "Delete Confirmation. . .", "OK", DELETE_QUESTION)
    del ctx.accounts[2]
    equal([r["account"] for r in ondisk.accounts(ctx.vault)], [a["account"] for a in ctx.accounts],
          "accounts after the delete")
    wait_until(lambda: listed(main) == ctx.names_in_order(), 5, "the list without the deleted account")
    expect_empty_panel(main, "after the delete")
    close_by_window_manager(ctx, p)


def report(ctx):
    """The report: guarded, byte for byte, owner-only, opened in the browser."""
    p = ctx.start()
    main = p.main(timeout=20)
    path = os.path.join(ctx.folder, "report.htm")
    check(not os.path.exists(path), "a report exists before one was asked for")
    security_check(p, main, "Print Report", ctx.master + "x")
    answer(p, "Quillock Security Check", "OK", CHECK_FAILED)
    check(not os.path.exists(path), "a failed check wrote a report")

    security_check(p, main, "Print Report", ctx.master)
    address = "file://" + path
    ctx.expect_opened(address)
    with open(path, "rb") as f:
        content = f.read()
    expected = ondisk.expected_report(sorted(ctx.accounts, key=lambda a: a["account"].casefold()))
    if content != expected:
        raise AssertionError(f"the report differs from the expected page:\n{content!r}\n!=\n{expected!r}")
    check(b"&lt;b&gt;not bold&lt;/b&gt; &amp; &#39;quoted&#39;" in content, "the notes are not escaped")
    check(b"<b>not bold" not in content, "markup from a field reached the page")
    check(b"first line<br>\nsecond line" in content, "the hint's lines run together in the page")
    equal(stat.S_IMODE(os.stat(path).st_mode), 0o600, "the report's mode")
    close_by_window_manager(ctx, p)
    check(os.path.exists(path), "closing the window removed the report")


def options(ctx):
    """Options: the exit choice is saved at once, the master password changes."""
    p = ctx.start()
    main = p.main(timeout=20)
    before = ondisk.master_row(ctx.vault)["password"]
    security_check(p, main, "Options", ctx.master)
    dialog = p.window(OPTIONS_TITLE)
    ctx.check_names(dialog)
    first = find(dialog, "radio button", "Leave an icon in the Windows System Tray")
    second = find(dialog, "radio button", "Don't leave an icon, just exit the program")
    check(not is_checked(first) and not is_checked(second), "an exit option is selected with none stored")
    ctx.shot(dialog, "options")
    p.click(second)
    wait_until(lambda: ondisk.settings(ctx.config).get("Exit") == "E", 5, 'the setting Exit = "E"')
    p.press(find(dialog, "push button", "Cancel"))
    p.window_gone(OPTIONS_TITLE)
    equal(ondisk.master_row(ctx.vault)["password"], before, "the master password after Cancel")

    # "E": the exit command ends the program without asking.
    p.click(button(main, "Exit Program"))
    ctx.expect_end(p, 'Exit Program with Exit = "E"')
    check(not os.path.exists(os.path.join(ctx.cwd, "temp.icx")), "temp.icx left behind")

    p = ctx.start()
    main = p.main(timeout=20)
    security_check(p, main, "Options", ctx.master)
    dialog = p.window(OPTIONS_TITLE)
    first = find(dialog, "radio button", "Leave an icon in the Windows System Tray")
    second = find(dialog, "radio button", "Don't leave an icon, just exit the program")
    check(is_checked(second) and not is_checked(first), "the stored choice is not selected")
    boxes = [find(dialog, "password text", "Master Password"), find(dialog, "password text", "Again, Please")]
    p.type_into(boxes[0], "NewMaster-2026")
    p.type_into(boxes[1], "NewMaster-2027")
    p.click(find(dialog, "push button", "Ok"))
    answer(p, "Quillock Security Initialization", "OK", RULE_MESSAGE)
    equal(ondisk.master_row(ctx.vault)["password"], before, "the master password after a refused change")
    for box in boxes:
        p.type_into(box, "NewMaster-2026")
    # This time the way a screen reader chooses: the option's own accessible action.
    actions = first.queryAction()
    ctx.action_names = [actions.getName(i) for i in range(actions.nActions)]
    p.press(first)
    try:
        wait_until(lambda: ondisk.settings(ctx.config).get("Exit") == "T", 3, 'the setting Exit = "T"')
    except SessionError:
        defect(f"choosing {name(first)!r} through its accessible action {ctx.action_names} "
               f"(checked on screen: {is_checked(first)}) did not save Exit = \"T\"; "
               f"the setting still reads {ondisk.settings(ctx.config).get('Exit')!r}")
        p.click(first)
        wait_until(lambda: ondisk.settings(ctx.config).get("Exit") == "T", 5, 'the setting Exit = "T"')
    p.click(find(dialog, "push button", "Ok"))
    p.window_gone(OPTIONS_TITLE)
    check(ondisk.master_row(ctx.vault)["password"] != before, "the master password was not rewritten")
    old, ctx.master = ctx.master, "NewMaster-2026"

    security_check(p, main, "Options", old)
    answer(p, "Quillock Security Check", "OK", CHECK_FAILED)
    security_check(p, main, "Options", ctx.master)
    dialog = p.window(OPTIONS_TITLE)
    p.press(find(dialog, "push button", "Cancel"))
    p.window_gone(OPTIONS_TITLE)
    equal(ondisk.settings(ctx.config), {"Exit": "T", "Initialized": "T"}, "the settings file")
    close_by_window_manager(ctx, p)


def tray(ctx):
    """Exit to the tray, back through the icon and its menu, exit from the menu."""
    report_path = os.path.join(ctx.folder, "report.htm")
    p = ctx.start()
    main = p.main(timeout=20)
    x, y, area = tray_icon(ctx, p)
    ctx.shot_area(area, "tray")
    security_check(p, main, "Print Report", ctx.master)
    ctx.expect_opened("file://" + report_path)

    p.click(button(main, "Exit Program"))
    wait_until(lambda: not is_showing(main), 5, "the main window to hide")
    check(not p.ended(), "the program ended instead of going to the tray")
    check(not os.path.exists(report_path), "Exit Program left the report on disk")
    check(os.path.exists(os.path.join(ctx.cwd, "temp.icx")), "temp.icx went away while in the tray")

    click_at(ctx, x, y, 1)
    main = p.main(timeout=10)

    # Back to the tray, and out again through the menu's "Open Quillock".
    p.click(button(main, "Exit Program"))
    wait_until(lambda: not is_showing(main), 5, "the main window to hide")
    click_at(ctx, x, y, 3)
    item = find(main, "menu item", "Open Quillock")
    wait_until(lambda: extents(item)[2] > 0 and extents(item)[0] > 0, 5, "the tray menu")
    ctx.shot_menu(item, "tray-menu")
    p.click(item)
    main = p.main(timeout=10)

    security_check(p, main, "Print Report", ctx.master)
    ctx.expect_opened("file://" + report_path)
    click_at(ctx, x, y, 3)
    item = find(main, "menu item", "Exit Program")
    wait_until(lambda: extents(item)[2] > 0 and extents(item)[0] > 0, 5, "the tray menu")
    p.click(item)
    ctx.expect_end(p, "the tray menu's Exit Program")
    check(not os.path.exists(os.path.join(ctx.cwd, "temp.icx")), "temp.icx left behind by the tray exit")
    check(os.path.exists(report_path), "the tray menu's exit removed the report")


def clearing(ctx):
    """Thirty seconds after a pick the details, a revealed password too, go."""
    p = ctx.start()
    main = p.main(timeout=20)
    pick(p, main, MAIL["account"])
    picked = time.monotonic()
    security_check(p, main, "Password", ctx.master)
    wait_until(lambda: detail(main, "Password:") == MAIL["password"], 5, "the revealed password")
    wait_until(lambda: panel(main) == [""] * 5, 45, "the detail panel to clear", step=0.5)
    waited = time.monotonic() - picked
    check(28 <= waited <= 40, f"the panel cleared {waited:.1f} s after the pick, not 30 s")
    expect_empty_panel(main, "after 30 seconds")
    equal(listed(main), ctx.names_in_order(), "the list after clearing")
    close_by_window_manager(ctx, p)


def damaged_vault(ctx):
    """A damaged vault: the start-up message, and the file left untouched."""
    folder = ctx.make_folder("damaged")
    vault = os.path.join(folder, "data.mdb")
    with open(vault, "r+b") as f:
        f.seek(0)
        f.write(b"\x00garbage, not a vault\xff" * 64)
    with open(vault, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    p = ctx.start(folder=folder)
    box, texts = p.message("Quillock", timeout=20)
    check(any(t.startswith("error at formload") for t in texts),
          f"the start-up message reads {texts!r}, not \"error at formload...\"")
    check(not any(name(w) == "Quillock" and role(w) == "frame" and is_showing(w) for w in p.windows()),
          "the main window is shown over a damaged vault")
    ctx.shot(box, "message-formload")
    p.press(find(box, "push button", "OK"))
    ctx.expect_end(p, "dismissing the start-up message")
    with open(vault, "rb") as f:
        equal(hashlib.sha256(f.read()).hexdigest(), digest, "the damaged vault's digest")
    check(not os.path.exists(os.path.join(folder, "data1.mdb")), "a compaction copy was left behind")


def seal_tool(ctx, folder, args, *lines):
    """quillock-seal from the application folder, the passwords on its
    standard input a line each, as a script gives them; its record of
    sealed vaults goes to the session's configuration, as the program's."""
    out = subprocess.run([os.path.join(folder, "quillock-seal")] + args, input="".join(l + "\n" for l in lines),
                         capture_output=True, text=True, timeout=60,
                         env=dict(os.environ, XDG_CONFIG_HOME=ctx.config))
    return out.returncode, out.stdout + out.stderr


def sealed_vault(ctx):
    """Sealing under a new master password: the program shows and writes
    exactly what it did, adds, and takes a new master password while sealed
    (a new key pair: every password sealed again); unsealing gives it all
    back."""
    folder = ctx.make_folder("sealed")
    vault = os.path.join(folder, "data.mdb")
    report_path = os.path.join(folder, "report.htm")
    plain_master, master = "Plain-Pass1", "Sealed-Pass1"
    p = ctx.start(folder=folder)
    create = p.window(CREATE_TITLE, timeout=20)
    p.type_into(find(create, "password text", "Master Password"), plain_master)
    p.type_into(find(create, "password text", "Again, Please"), plain_master)
    p.click(find(create, "push button", "Ok"))
    main = p.main(timeout=20)
    for account in (BANK, SHOP):
        add_account(ctx, p, main, account)
    security_check(p, main, "Print Report", plain_master)
    ctx.expect_opened("file://" + report_path)
    with open(report_path, "rb") as f:
        plain_report = f.read()
    close_by_window_manager(ctx, p)

    status, said = seal_tool(ctx, folder, ["--yes"], plain_master, plain_master, plain_master)
    check(status == 1 and "must differ from the current one" in said, f"sealing under the same: {status} {said!r}")
    status, said = seal_tool(ctx, folder, ["--yes"], plain_master, master, master)
    check(status == 0 and "Sealed the vault" in said, f"quillock-seal: {status} {said!r}")
    check(all(r["password"].startswith("seal:") for r in ondisk.accounts(vault)), "a password is not sealed")
    equal(ondisk.master_row(vault), {"key": "master", "password": "", "initialized": "1"}, "the sealed master row")

    p = ctx.start(folder=folder)
    main = p.main(timeout=20)
    pick(p, main, BANK["account"])
    equal(panel(main), [BANK["username"], MASK, BANK["url"], BANK["hint"], BANK["notes"]], "the sealed detail panel")
    security_check(p, main, "Password", plain_master)
    answer(p, "Quillock Security Check", "OK", CHECK_FAILED)
    security_check(p, main, "Password", master)
    wait_until(lambda: detail(main, "Password:") == BANK["password"], 10, "the revealed sealed password")
    ctx.shot(main, "main-sealed-revealed")
    security_check(p, main, "Print Report", master)
    ctx.expect_opened("file://" + report_path)
    with open(report_path, "rb") as f:
        check(f.read() == plain_report, "the sealed vault's report differs from the plain one's")

    # Adding asks for nothing and seals; a new master password seals every password anew.
    added = dict(SHOP, account="Added sealed", password="new-one")
    add_account(ctx, p, main, added)
    check(ondisk.accounts(vault)[-1]["password"].startswith("seal:"), "the add did not seal")
    passwords = [r["password"] for r in ondisk.accounts(vault)]
    security_check(p, main, "Options", master)
    dialog = p.window(OPTIONS_TITLE)
    master = "Sealed-Pass2"
    for box in ("Master Password", "Again, Please"):
        p.type_into(find(dialog, "password text", box), master)
    p.click(find(dialog, "push button", "Ok"))
    p.window_gone(OPTIONS_TITLE)
    resealed = [r["password"] for r in ondisk.accounts(vault)]
    check(len(resealed) == len(passwords) and all(r.startswith("seal:") for r in resealed)
          and not set(resealed) & set(passwords), "sealed passwords after a new master password")
    pick(p, main, added["account"])
    security_check(p, main, "Password", master)
    wait_until(lambda: detail(main, "Password:") == added["password"], 10, "the added sealed password")
    close_by_window_manager(ctx, p)

    status, said = seal_tool(ctx, folder, ["--unseal"], "Sealed-Pass1")
    check(status == 1 and "Wrong master password" in said, f"unsealing with the old password: {status} {said!r}")
    status, said = seal_tool(ctx, folder, ["--unseal"], master)
    check(status == 0 and "Unsealed the vault" in said, f"quillock-seal --unseal: {status} {said!r}")
    check(not any(r["password"].startswith("seal:") for r in ondisk.accounts(vault)), "a password stayed sealed")
    p = ctx.start(folder=folder)
    main = p.main(timeout=20)
    pick(p, main, SHOP["account"])
    security_check(p, main, "Password", master)
    wait_until(lambda: detail(main, "Password:") == SHOP["password"], 10, "a password after unsealing")
    close_by_window_manager(ctx, p)


JOURNEYS = [installed_folder, first_start, add_accounts, pick_and_reveal, edit_and_rename, delete_account, report,
            options, tray, clearing, reinstall_keeps_vault, damaged_vault, sealed_vault]
# Journeys that make their own folder run even after an earlier one failed.
INDEPENDENT = {damaged_vault, sealed_vault}
LIMITS = {clearing: 120, sealed_vault: 180}
DEFAULT_LIMIT = 90

__all__ = ["JOURNEYS", "INDEPENDENT", "LIMITS", "DEFAULT_LIMIT", "DriveError"]
