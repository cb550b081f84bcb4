#!/usr/bin/env python3
"""Turns the wizard's dialog template (resources/quorvin.rc) into the control table
of the headless window-system model, so that the dialog's texts are written once.

    dialog_table.py QUORVIN_RC OUT_INC

Each CONTROL statement of DIALOG IDD_WIZARD becomes one row
DIALOG_CONTROL(id, "text", enabled, kind) in template order, and its CAPTION the
line DIALOG_CAPTION("caption"); kind is 'r' for an automatic option button,
'c' for an automatic checkbox, '-' for anything else.
"""
import re
import sys


def statements(text):
    """The DIALOG body's statements, continuation lines joined, comments dropped."""
    body = text[text.index("IDD_WIZARD DIALOG"):]
    caption = re.search(r'^CAPTION\s+("(?:[^"\\]|\\.)*")', body, re.M).group(1)
    body = body[body.index("\nBEGIN") + 6:body.index("\nEND")]
    body = re.sub(r"//[^\n]*", "", body)
    joined = []
    for line in body.split("\n"):
        if not line.strip():
            continue
        if line.strip().startswith("CONTROL") or not joined:
            joined.append(line.strip())
        else:
            joined[-1] += " " + line.strip()
    return caption, joined


def main():
    rc, out = sys.argv[1], sys.argv[2]
    with open(rc, encoding="latin-1") as f:
        caption, controls = statements(f.read())
    rows = ["DIALOG_CAPTION(%s)" % caption]
    for c in controls:
        m = re.match(r'CONTROL\s+("(?:[^"\\]|\\.)*"|\w+)\s*,\s*(\w+)\s*,\s*"[^"]*"\s*,\s*([^,]+),', c)
        if not m:
            sys.exit("%s: cannot read: %s" % (rc, c))
        text, ident, style = m.groups()
        if not text.startswith('"'):
            text = '""'  # an icon's resource id, no text
        kind = "'r'" if "BS_AUTORADIOBUTTON" in style else "'c'" if "BS_AUTOCHECKBOX" in style else "'-'"
        enabled = "false" if "WS_DISABLED" in style else "true"
        rows.append("DIALOG_CONTROL(%s, %s, %s, %s)" % (ident, text, enabled, kind))
    data = "// Made from %s by scripts/dialog_table.py; do not edit.\n%s\n" % (
        rc.replace("\\", "/").split("/")[-1], "\n".join(rows))
    try:
        with open(out) as f:
            if f.read() == data:
                return 0
    except OSError:
        pass
    with open(out, "w") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
