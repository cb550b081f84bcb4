#!/usr/bin/env python3
"""Writes the current user's proxy settings into a Wine prefix the way Windows'
own settings dialog keeps them, so that quorvin.exe finds them through WinHTTP.

    proxy_settings.py --prefix DIR [--server S] [--bypass B] [--script URL] [--detect]
    proxy_settings.py --prefix DIR --clear

--server      "host:port", or per scheme "http=host:port;https=host:port"
--bypass      the bypass list, e.g. "<local>;*.example.org;127.0.0.1"
--script      the URL of a configuration script
--detect      automatic detection on (without it: off)
--clear       no proxy, no script, no detection

Both forms are written: the values under Internet Settings (ProxyEnable,
ProxyServer, ProxyOverride, AutoConfigURL) and the Connections\\
DefaultConnectionSettings blob, which is what WinHTTP reads. The blob: DWORDs
0x46 (the version), a change counter and the flags (1 direct, 2 proxy,
4 script, 8 detection), then the proxy, the bypass list and the script URL,
each as a DWORD length and that many bytes, then 32 zero bytes as Windows
leaves them. Wine's WinHTTP does not go direct to loopback by itself: name
127.0.0.1 in --bypass when the test's own server must be reached directly.
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile

KEY = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Internet Settings"


def reg_string(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


def blob(server, bypass, script, detect):
    flags = 1 | (2 if server else 0) | (4 if script else 0) | (8 if detect else 0)
    data = struct.pack("<III", 0x46, 1, flags)
    for text in (server, bypass, script):
        raw = text.encode("ascii")
        data += struct.pack("<I", len(raw)) + raw
    return data + bytes(32)


def reg_file(args):
    lines = ["REGEDIT4", "", "[%s]" % KEY,
             '"ProxyEnable"=dword:%08x' % (1 if args.server else 0)]
    for name, value in (("ProxyServer", args.server), ("ProxyOverride", args.bypass),
                        ("AutoConfigURL", args.script)):
        lines.append('"%s"=%s' % (name, reg_string(value) if value else "-"))
    lines += ["", "[%s\\Connections]" % KEY,
              '"DefaultConnectionSettings"=hex:' +
              ",".join("%02x" % b for b in blob(args.server, args.bypass, args.script, args.detect)), ""]
    return "\r\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--prefix", required=True)
    ap.add_argument("--server", default="")
    ap.add_argument("--bypass", default="")
    ap.add_argument("--script", default="")
    ap.add_argument("--detect", action="store_true")
    ap.add_argument("--clear", action="store_true")
    ap.add_argument("--wine", default="wine", help="the Wine launcher (default: wine)")
    args = ap.parse_args()
    if args.clear:
        args.server = args.bypass = args.script = ""
        args.detect = False
    env = dict(os.environ, WINEPREFIX=os.path.abspath(args.prefix), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    with tempfile.NamedTemporaryFile("w", suffix=".reg", delete=False, newline="") as f:
        f.write(reg_file(args))
    try:
        # Wine's drive Z: is the Unix root.
        done = subprocess.run([args.wine, "regedit", "/S", "Z:" + f.name.replace("/", "\\")], env=env, timeout=120,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    finally:
        os.unlink(f.name)
    return done.returncode


if __name__ == "__main__":
    sys.exit(main())
