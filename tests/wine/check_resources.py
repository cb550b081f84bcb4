#!/usr/bin/env python3
"""Checks the resources linked into quorvin.exe: dialog template 100 exactly as
the wizard needs it (nothing added by the resource compiler), icon 201 in its
16- and 256-colour forms, the manifest, and the version resource as the
resource compiler reads it back, against the build's one version.

    check_resources.py quorvin.exe --version V --windres WINDRES --repo-tool QUORVIN_REPO
"""
import argparse
import re
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET

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
    # 48x48 in true colour for a screen at 150 %, where Windows would stretch a 32x32 one.
    if kind != 1 or not {(32, 32, 4), (32, 32, 8), (48, 48, 32)} <= forms:
        problems.append("icon 201 holds %r, wanted 32x32 at 4 and 8 bits and 48x48 at 32" % sorted(forms))


ASM_V1, ASM_V3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
SMI_2005, SMI_2016 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}", \
    "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}
COMMON_CONTROLS_6 = {"type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
                     "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df", "language": "*"}


def check_manifest(pe, problems):
    ids = [name for rtype, target in pe.entries(0) if rtype == 24
           for name, _ in pe.entries(target & 0x7FFFFFFF)]
    if ids != [1]:
        problems.append("manifest resources %r, wanted the one the loader reads, 1" % ids)
        return
    root = ET.fromstring(pe.resource(24, 1))
    settings = root.find(ASM_V3 + "application/" + ASM_V3 + "windowsSettings")
    text = lambda path: (settings.findtext(path) or "").strip() if settings is not None else None
    deps = [a.attrib for a in root.iter(ASM_V1 + "assemblyIdentity")]
    levels = [e.attrib for e in root.iter(ASM_V3 + "requestedExecutionLevel")]
    oses = sorted(e.get("Id") for e in root.iter(COMPAT + "supportedOS"))
    # what, got, wanted
    cases = [
        ("visual styles", deps, [COMMON_CONTROLS_6]),
        ("execution level", levels, [{"level": "asInvoker", "uiAccess": "false"}]),
        ("supportedOS", oses, sorted(SUPPORTED_OS)),
        ("dpiAware", text(SMI_2005 + "dpiAware"), "true/pm"),
        ("dpiAwareness", text(SMI_2016 + "dpiAwareness"), "PerMonitorV2, PerMonitor"),
    ]
    for what, got, want in cases:
        if got != want:
            problems.append("manifest %s %r, wanted %r" % (what, got, want))


def check_version(exe, version, windres, repo_tool, problems):
    """The version resource as windres decompiles it, against VERSION and against
    what quorvin-repo --version prints."""
    printed = subprocess.run([repo_tool, "--version"], capture_output=True, text=True).stdout
    if printed != "quorvin-repo %s\n" % version:
        problems.append("quorvin-repo --version printed %r, wanted version %s" % (printed, version))
    rc = subprocess.run([windres, "-J", "coff", "-O", "rc", "-i", exe], capture_output=True,
                        text=True, check=True).stdout
    block = rc[rc.find("VERSIONINFO"):]
    numbers = ", ".join((version.split(".") + ["0"] * 4)[:4])
    for key in ("FILEVERSION", "PRODUCTVERSION"):
        got = re.search(r"^ *%s (.*)$" % key, block, re.M)
        if not got or got.group(1) != numbers:
            problems.append("%s %s, wanted %s" % (key, got and got.group(1), numbers))
    strings = dict(re.findall(r'^ *VALUE "(\w+)", "([^"]*)"$', block, re.M))
    want = {"FileDescription": "Quorvin network installer", "FileVersion": version,
            "InternalName": "quorvin", "OriginalFilename": "quorvin.exe", "ProductName": "Quorvin",
            "ProductVersion": version}
    if strings != want:
        problems.append("version strings %r, wanted %r" % (strings, want))
    translation = re.search(r'^ *VALUE "Translation", (\w+), (\w+)$', block, re.M)
    if not translation or [int(n, 0) for n in translation.groups()] != [0x409, 1200]:
        problems.append("version Translation %r, wanted U.S. English (0x409), Unicode (1200)"
                        % (translation and translation.group(0)))


def main():
    args = argparse.ArgumentParser()
    args.add_argument("exe")
    args.add_argument("--version", required=True, help="the build's version; the version resource must carry it")
    args.add_argument("--windres", required=True, help="the resource compiler, which reads the version resource back")
    args.add_argument("--repo-tool", required=True, help="quorvin-repo of the same build, which prints the version")
    args = args.parse_args()
    with open(args.exe, "rb") as f:
        pe = Pe(f.read())
    problems = []
    check_dialog(pe, problems)
    check_icon(pe, problems)
    check_manifest(pe, problems)
    check_version(args.exe, args.version, args.windres, args.repo_tool, problems)
    for p in problems:
        print("FAIL", p)
    print("resources: %s" % ("FAILED" if problems else "ok"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
