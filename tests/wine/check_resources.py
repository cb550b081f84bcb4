#!/usr/bin/env python3
"""Checks the resources linked into quorvin.exe: dialog template 100 exactly as
the wizard needs it (nothing added by the resource compiler) and icon 201 in its
16- and 256-colour forms. Usage: check_resources.py quorvin.exe
"""
import struct
import sys

WS_POPUP, WS_CHILD, WS_VISIBLE, WS_DISABLED = 0x80000000, 0x40000000, 0x10000000, 0x08000000
WS_CAPTION, WS_BORDER, WS_VSCROLL, WS_SYSMENU = 0x00C00000, 0x00800000, 0x00200000, 0x00080000
WS_GROUP, WS_TABSTOP = 0x00020000, 0x00010000
DS_SETFONT, DS_MODALFRAME, DS_CENTER = 0x40, 0x80, 0x0800
BS_DEFPUSHBUTTON, BS_AUTOCHECKBOX, BS_AUTORADIOBUTTON = 1, 3, 9
SS_ICON = 3
ES_MULTILINE, ES_AUTOHSCROLL, ES_READONLY = 0x4, 0x80, 0x800
PBS_SMOOTH = 1
BUTTON, EDIT, STATIC = 0x80, 0x81, 0x82
BASE = WS_CHILD | WS_VISIBLE

# id, class, text, style, x, y, w, h: the creation, z- and tab order.
CONTROLS = [
    (0xFFFF, STATIC, 201, BASE | SS_ICON, 5, 5, 21, 20),
    (1001, BUTTON, "<-- &Back", BASE | WS_DISABLED | WS_TABSTOP, 65, 75, 45, 15),
    (1002, BUTTON, "&Next -->", BASE | BS_DEFPUSHBUTTON | WS_TABSTOP, 110, 75, 45, 15),
    (2, BUTTON, "Cancel", BASE | WS_TABSTOP, 165, 75, 45, 15),
    (1051, BUTTON, "Download and install", BASE | BS_AUTORADIOBUTTON, 60, 10, 150, 10),
    (1052, BUTTON, "Download only", BASE | BS_AUTORADIOBUTTON, 60, 25, 150, 10),
    (1053, BUTTON, "Install from directory", BASE | BS_AUTORADIOBUTTON, 60, 40, 150, 10),
    (1101, BUTTON, "Tavelin", BASE | BS_AUTOCHECKBOX, 60, 10, 152, 10),
    (1102, BUTTON, "Mirrel", BASE | BS_AUTOCHECKBOX, 60, 25, 75, 10),
    (1103, BUTTON, "Pelquin", BASE | BS_AUTOCHECKBOX, 60, 40, 104, 10),
    (1104, BUTTON, "Wendrel", BASE | BS_AUTOCHECKBOX, 60, 55, 104, 10),
    (1201, STATIC, "Select download &directory", BASE | WS_GROUP, 40, 14, 85, 11),
    (1202, EDIT, "", BASE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 40, 25, 120, 12),
    (1203, BUTTON, "B&rowse...", BASE | WS_TABSTOP, 165, 24, 45, 15),
    (1302, STATIC, "Downloading foo...", BASE | WS_GROUP, 40, 15, 170, 8),
    (1301, "msctls_progress32", "Progress1", BASE | WS_BORDER | PBS_SMOOTH, 40, 25, 170, 8),
    (1303, STATIC, "(RATE)", BASE | WS_GROUP, 40, 35, 150, 8),
    (1401, EDIT, "", BASE | WS_VSCROLL | WS_BORDER | WS_TABSTOP | ES_MULTILINE | ES_READONLY,
     40, 5, 170, 65),
]
DIALOG_STYLE = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFONT


class Pe:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0", "not a PE file"
        sections, opt_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
        opt = pe + 24
        # PE32, or PE32+ (the x86-64 test build), whose data directories lie 16 bytes on.
        magic = struct.unpack_from("<H", data, opt)[0]
        assert magic in (0x10B, 0x20B), "neither PE32 nor PE32+"
        directories = opt + (96 if magic == 0x10B else 112)
        self.rsrc_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
        self.sections = []
        for i in range(sections):
            s = opt + opt_size + 40 * i
            vsize, va, raw_size, raw = struct.unpack_from("<IIII", data, s + 8)
            self.sections.append((va, max(vsize, raw_size), raw))

    def offset(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return rva - va + raw
        raise ValueError("rva %x outside every section" % rva)

    def entries(self, dir_off):
        base = self.offset(self.rsrc_rva)
        named, ids = struct.unpack_from("<HH", self.data, base + dir_off + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", self.data, base + dir_off + 16 + 8 * i)
            yield name, target

    def resource(self, rtype, rid):
        """The data of the first language of resource rtype/rid, or None."""
        for name, target in self.entries(0):
            if name != rtype:
                continue
            for name2, target2 in self.entries(target & 0x7FFFFFFF):
                if name2 != rid:
                    continue
                _, leaf = next(self.entries(target2 & 0x7FFFFFFF))
                rva, size = struct.unpack_from("<II", self.data, self.offset(self.rsrc_rva) + leaf)
                start = self.offset(rva)
                return self.data[start:start + size]
        return None


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, fmt):
        values = struct.unpack_from("<" + fmt, self.data, self.pos)
        self.pos += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def sz_or_ord(self):
        first = self.take("H")
        if first == 0xFFFF:
            return self.take("H")
        chars = []
        while first:
            chars.append(chr(first))
            first = self.take("H")
        return "".join(chars)

    def align(self):
        self.pos = (self.pos + 3) & ~3


def check_dialog(pe, problems):
    data = pe.resource(5, 100)
    if data is None:
        problems.append("no dialog template 100")
        return
    r = Reader(data)
    style, exstyle, count, x, y, w, h = r.take("IIHhhhh")
    menu, cls, caption = r.sz_or_ord(), r.sz_or_ord(), r.sz_or_ord()
    points, font = r.take("H"), r.sz_or_ord()
    got = (style, exstyle, count, x, y, w, h, menu, cls, caption, points, font)
    want = (DIALOG_STYLE, 0, len(CONTROLS), 0, 0, 215, 95, "", "", "Quorvin", 8, "MS Sans Serif")
    if got != want:
        problems.append("dialog header %r, wanted %r" % (got, want))
    for i in range(min(count, len(CONTROLS))):
        r.align()
        style, exstyle, x, y, w, h, cid = r.take("IIhhhhH")
        cls, text, extra = r.sz_or_ord(), r.sz_or_ord(), r.take("H")
        r.pos += extra
        if isinstance(cls, str):
            # Class names are case-blind; resource compilers store them in capitals.
            cls = {"button": BUTTON, "edit": EDIT, "static": STATIC}.get(cls.lower(), cls.lower())
        got = (cid, cls, text, style, x, y, w, h)
        if got != CONTROLS[i] or exstyle != 0:
            problems.append("control %d is %r exstyle %x, wanted %r" % (i + 1, got, exstyle, CONTROLS[i]))


def check_icon(pe, problems):
    data = pe.resource(14, 201)
    if data is None:
        problems.append("no icon group 201")
        return
    _, kind, count = struct.unpack_from("<HHH", data, 0)
    forms = set()
    for i in range(count):
        w, h, _, _, _, bits, _, _ = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        forms.add((w, h, bits))
    if kind != 1 or not {(32, 32, 4), (32, 32, 8)} <= forms:
        problems.append("icon 201 holds %r, wanted 32x32 at 4 and 8 bits" % sorted(forms))


def main():
    with open(sys.argv[1], "rb") as f:
        pe = Pe(f.read())
    problems = []
    check_dialog(pe, problems)
    check_icon(pe, problems)
    for p in problems:
        print("FAIL", p)
    print("resources: %s" % ("FAILED" if problems else "ok"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
