"""What the program left on disk: the vault through the sqlcipher shell, the
settings file, and the report as it must be byte for byte."""

import configparser
import os
import re
import subprocess

VAULT_KEY = "tuvesk"


def query(vault, sql, columns):
    """Rows of `sql` read by the sqlcipher shell. Every column comes back as
    hex, so line breaks and any script survive the shell's output."""
    select = ", ".join(f"hex({c})" for c in columns)
    script = f"PRAGMA key='{VAULT_KEY}';\nPRAGMA cipher_compatibility = 3;\n{sql.format(select=select)};\n"
    out = subprocess.run(["sqlcipher", "-batch", "-noheader", "-separator", "|", vault], input=script,
                         capture_output=True, text=True, timeout=30)
    if out.returncode != 0 or out.stderr.strip():
        raise AssertionError(f"sqlcipher could not read {vault}: {out.stderr.strip()}")
    rows = []
    for line in out.stdout.splitlines():
        # The shell answers each keying pragma with "ok"; hex rows never read so.
        if not line.strip() or line == "ok":
            continue
        cells = line.split("|")
        if len(cells) != len(columns):
            raise AssertionError(f"unexpected sqlcipher output: {line!r}")
        rows.append(tuple(bytes.fromhex(c).decode("utf-8") for c in cells))
    return rows


def master_row(vault):
    rows = query(vault, "select {select} from master", ["key", "password", "initialized"])
    if len(rows) != 1:
        raise AssertionError(f"the vault holds {len(rows)} master rows, not one")
    key, password, initialized = rows[0]
    return {"key": key, "password": password, "initialized": initialized}


def accounts(vault):
    cols = ["account", "username", "password", "url", "hint", "notes"]
    return [dict(zip(cols, r)) for r in query(vault, "select {select} from accounts order by rowid", cols)]


def settings(config_home):
    path = os.path.join(config_home, "Quillock", "Quillock.conf")
    if not os.path.exists(path):
        return {}
    parser = configparser.ConfigParser(interpolation=None)
    parser.optionxform = str
    parser.read(path, encoding="utf-8")
    return dict(parser["Properties"]) if parser.has_section("Properties") else {}


def escape(text):
    """A field as the report writes it: markup characters as entities, and
    "<br>" before each line break (CR LF, LF or CR)."""
    out = []
    for ch in text:
        out.append({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;"}.get(ch, ch))
    return re.sub(r"(\r\n|\n|\r)", r"<br>\1", "".join(out))


def expected_report(accounts_in_order):
    """The page for these accounts, each a dict of plain fields."""
    cell = '<tr><td><font face="arial"><b>{0}</b></td><td><font face="arial">{1}</td></tr>'
    lines = [
        "<html>\r\r\n",
        "<!-- Quillock Account Report -->\r\r\n",
        '<p><img src="picture.gif" align="center"><font face="arial" size=5><b>\r\r\n',
        "Quillock Account Report</b></font></p>\r\n",
    ]
    for a in accounts_in_order:
        lines += [
            "<table cellspacing=2 cellpadding=2 border=0>\r\r\n",
            cell.format("Account Name:", escape(a["account"])) + "\r\n",
            cell.format("Username:", escape(a["username"])) + cell.format("Password:", escape(a["password"]))
            + "\r\n",
            cell.format("URL:", escape(a["url"])) + "\r\n",
            cell.format("Hint:", escape(a["hint"])) + "\r\n",
            cell.format("Other Notes:", escape(a["notes"])) + "\r\n",
            "</table>\r\n",
            "<p>\r\n",
        ]
    return b"\xef\xbb\xbf" + "".join(lines).encode("utf-8")
