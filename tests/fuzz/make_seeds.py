#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets: make_seeds.py OUT_DIR

OUT_DIR/<target>/ gets small inputs made here, at run time, so that no binary
seed is kept in the repository. Existing files are replaced; others are kept
(a long campaign's corpus grows in the same directory).
"""
import io
import os
import struct
import sys
import warnings
import zipfile
import zlib

warnings.filterwarnings("ignore", "Duplicate name")


def write(out, target, name, data):
    d = os.path.join(out, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "seed-" + name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("latin-1"))


def filelist_seeds(out):
    write(out, "fuzz_filelist", "two", "# Every variant\n\nv:\nu:http://h/q/core.zip\ne:README.txt\n\n"
          "v:t\nu:http://h/q/tavelin-main.zip\nd:tavelin\ne:tavelin/tavelin.marker\n")
    sha = ("0123456789abcdefABCDEF" * 3)[:64]
    write(out, "fuzz_filelist", "hash", "v:\nu:http://h/a.zip\nh:" + sha + "\ne:a\n")
    write(out, "fuzz_filelist", "crlf", "v:m\r\nu:http://h/m.zip\r\nd:a/b\r\ne:a/b/c\r\n#\r\nv:w\r\n")
    write(out, "fuzz_filelist", "bad", "v:\nx:unknown\n")
    write(out, "fuzz_filelist", "orphan", "u:http://h/no-v-line.zip\n")
    write(out, "fuzz_filelist", "long", "v:p\nu:http://h/" + "n" * 1100 + ".zip\n")


def url_seeds(out):
    for i, u in enumerate([
        "http://127.0.0.1/dir/name.zip", "ftp://host:8080/dir/name?x=1", "/relative/path",
        "http://host", "http://host:", "http://host:99999999999/x", "scheme://:80/", "://",
        "http://[::1]:80/x", "http://host:-5/x",
    ]):
        write(out, "fuzz_url", str(i), u)


def reply_seeds(out):
    # The first byte picks the reader: even http_try, odd socket_readline.
    replies = [
        "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello",
        "HTTP/1.0 302 Found\r\nLocation: \t http://127.0.0.1:9/x \r\n\r\n",
        "HTTP/1.0 302 Found\r\nLocation: /same/host\r\n\r\n",
        "HTTP/1.0 301 Moved\r\n\r\n",
        "HTTP/1.1 200 OK\ncontent-length: 2\ncontent-length: x\n\nab",
        "HTTP/1.0 404 Not Found\r\n\r\n",
        "HTTP/1.0\r\n\r\n",
        "HTTP/1.0 200 OK\r\nX-Long: " + "x" * 1500 + "\r\n\r\nbody",
        "HTTP/1.0 100 Continue\r\r\n\r\n",
    ]
    for i, r in enumerate(replies):
        write(out, "fuzz_reply", "h%d" % i, "\0" + r)
        write(out, "fuzz_reply", "l%d" % i, "\1" + r)


def zip_bytes(members, comment=b"", zip64=False):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as z:
        for name, data, method in members:
            info = zipfile.ZipInfo(name, date_time=(2021, 3, 4, 5, 6, 8))
            info.compress_type = method
            if name.endswith("/"):
                info.external_attr = 0o40755 << 16
            with z.open(info, "w", force_zip64=zip64) as f:
                f.write(data)
        z.comment = comment
    return buf.getvalue()


def archive_seeds(out):
    text = b"".join(b"line %d of some text\n" % i for i in range(300))
    stored, deflated = zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED
    write(out, "fuzz_archive", "plain", zip_bytes([("a.txt", b"hello\n", deflated)]))
    write(out, "fuzz_archive", "tree", zip_bytes([
        ("docs/", b"", stored), ("docs/readme.txt", text, deflated),
        ("bin/tool.dat", bytes(range(256)) * 4, stored), ("deep/a/b/c/d.txt", b"d", deflated)]))
    write(out, "fuzz_archive", "empty", zip_bytes([]))
    write(out, "fuzz_archive", "comment", zip_bytes([("x", b"x", stored)], comment=b"a comment"))
    write(out, "fuzz_archive", "zip64", zip_bytes([("big.txt", text, deflated)], zip64=True))
    write(out, "fuzz_archive", "dup", zip_bytes([("same", b"one", stored), ("same", b"two", deflated)]))
    write(out, "fuzz_archive", "backslash", zip_bytes([("win\\style\\name.txt", b"w", deflated)]))
    # A name in Info-ZIP's Unicode Path field, stored under its code page 437 form.
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as z:
        info = zipfile.ZipInfo("x.txt")
        info.create_system = 0
        name = "\u00e9.txt".encode()
        info.extra = struct.pack("<HHBI", 0x7075, 5 + len(name), 1, zlib.crc32(b"\x82.txt")) + name
        z.writestr(info, b"u")
    write(out, "fuzz_archive", "unicode_path", buf.getvalue().replace(b"x.txt", b"\x82.txt"))


def dictionaries(out):
    with open(os.path.join(out, "fuzz_reply.dict"), "w") as f:
        for w in ["HTTP/1.0 ", " 200 ", " 302 ", "\\x0d\\x0a", "Content-Length: ", "Location: ",
                  "://", "\\x0a"]:
            f.write('"%s"\n' % w)
    with open(os.path.join(out, "fuzz_filelist.dict"), "w") as f:
        for w in ["v:", "u:", "d:", "e:", "h:", "\\x0a", "#", "://"]:
            f.write('"%s"\n' % w)
    with open(os.path.join(out, "fuzz_archive.dict"), "w") as f:
        for w in ["PK\\x03\\x04", "PK\\x01\\x02", "PK\\x05\\x06", "PK\\x06\\x06", "PK\\x06\\x07",
                  "PK\\x07\\x08", "..", "/", "\\\\", ":"]:
            f.write('"%s"\n' % w)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    filelist_seeds(out)
    url_seeds(out)
    reply_seeds(out)
    archive_seeds(out)
    dictionaries(out)


if __name__ == "__main__":
    main()
