#!/usr/bin/env python3
"""Crash safety of a whole run: kill -9 at random moments, then run again.

    crash_test.py --qvrun QVRUN --qvserve QVSERVE.PY [--kills N] [--seed S]

A repository of five archives (one for every variant, one per variant) is
made here and served by qvserve on 127.0.0.1. One uninterrupted run gives the
reference install tree. Then, N times from empty directories: a run is killed
(SIGKILL) at a random moment within the reference run's duration; no archive
may then sit at its final name in the download directory unless it is whole;
a second run must end with exit code 0 and an install tree identical to the
reference (contents and modification times). Prints the figures; exit code 1
when any trial failed.
"""
import argparse
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

RECEIPT = "quorvin-receipt.txt"
WORDS = [b"alpha", b"beta", b"gamma", b"delta", b"quorvin", b"tavelin", b"mirrel", b"pelquin",
         b"wendrel", b"\n", b"0123456789", b"zz"]


def make_data(rng, size):
    out = bytearray()
    while len(out) < size:
        out += rng.choice(WORDS) + b" "
        if rng.random() < 0.02:
            out += rng.randbytes(64)  # some incompressible pieces
    return bytes(out[:size])


def make_repo(root, rng, port):
    archives = [("core.zip", "", ""), ("tavelin-main.zip", "t", "tavelin"),
                ("mirrel-main.zip", "m", "mirrel"), ("pelquin-main.zip", "p", "pelquin"),
                ("wendrel-main.zip", "w", "wendrel")]
    manifest = []
    for name, variant, subdir in archives:
        files = {}
        for i in range(30):
            files["%s/part%02d/file%03d.dat" % (name[:-4], i % 4, i)] = make_data(
                rng, rng.randint(1000, 600000))
        names = sorted(files)
        with zipfile.ZipFile(os.path.join(root, name), "w", zipfile.ZIP_DEFLATED) as z:
            for n in names:
                info = zipfile.ZipInfo(n, date_time=(2022, 5, 6, 7, 8, 10))
                info.compress_type = zipfile.ZIP_DEFLATED
                z.writestr(info, files[n])
        marker = names[0] if not subdir else subdir + "/" + names[0]
        manifest += ["v:" + variant, "u:http://127.0.0.1:%d/%s" % (port, name)]
        if subdir:
            manifest.append("d:" + subdir)
        manifest += ["e:" + marker, ""]
    with open(os.path.join(root, "filelist.txt"), "w") as f:
        f.write("\n".join(manifest))
    return [a[0] for a in archives]


def snapshot(top):
    tree = {}
    for d, dirs, files in os.walk(top):
        for n in dirs:
            tree[os.path.relpath(os.path.join(d, n), top)] = ("dir", 0, 0)
        for n in files:
            p = os.path.join(d, n)
            with open(p, "rb") as f:
                data = f.read()
            # The receipt is written when a run ends, not stamped from an archive.
            when = 0 if n == RECEIPT else int(os.stat(p).st_mtime)
            tree[os.path.relpath(p, top)] = ("file", hashlib.sha256(data).hexdigest(), when, len(data))
    return tree


def lost_bytes(ref, got):
    lost = 0
    for k, v in ref.items():
        if v[0] == "file" and got.get(k) != v:
            lost += v[3]
    return lost


def start_server(qvserve, root):
    # Bodies at about 30 MB/s, so that kills land in the downloads as well.
    p = subprocess.Popen([sys.executable, qvserve, "--root", root, "--slow", "2", "--chunk", "65536"],
                         stdout=subprocess.PIPE)
    port = int(p.stdout.readline())
    return p, port


def run(qvrun, url, base, timeout=120):
    dl, inst = os.path.join(base, "dl"), os.path.join(base, "inst")
    log = os.path.join(base, "install.log")
    return subprocess.run([qvrun, url, dl, inst, log], timeout=timeout,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode


def phase_of(inst):
    # The run creates the install directory when the downloads are done.
    return "extracting" if os.path.isdir(inst) else "downloading"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--qvrun", required=True)
    ap.add_argument("--qvserve", required=True)
    ap.add_argument("--kills", type=int, default=20)
    ap.add_argument("--seed", type=int, default=None)
    args = ap.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    rng = random.Random(seed)
    tmp = tempfile.mkdtemp(prefix="quorvin-crash-")
    server = None
    failures = []
    try:
        repo = os.path.join(tmp, "repo")
        os.mkdir(repo)
        # The port goes into the manifest, so the server comes first.
        server, port = start_server(args.qvserve, repo)
        archives = make_repo(repo, rng, port)
        url = "http://127.0.0.1:%d/filelist.txt" % port
        served = {n: open(os.path.join(repo, n), "rb").read() for n in archives + ["filelist.txt"]}

        ref_base = os.path.join(tmp, "ref")
        os.mkdir(ref_base)
        t0 = time.monotonic()
        if run(args.qvrun, url, ref_base) != 0:
            print("crash_test: the uninterrupted run failed")
            return 1
        duration = time.monotonic() - t0
        ref = snapshot(os.path.join(ref_base, "inst"))
        ref_bytes = sum(v[3] for v in ref.values() if v[0] == "file")

        phases = {"downloading": 0, "extracting": 0, "finished": 0}
        lost_total = 0
        for i in range(args.kills):
            base = os.path.join(tmp, "run%02d" % i)
            os.mkdir(base)
            dl, inst, log = (os.path.join(base, n) for n in ("dl", "inst", "install.log"))
            p = subprocess.Popen([args.qvrun, url, dl, inst, log], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
            at = rng.uniform(0, duration)
            time.sleep(at)
            p.kill()
            rc = p.wait()
            phase = "finished" if rc == 0 else phase_of(inst)
            phases[phase] += 1
            problems = []
            # Only whole files may carry their final names.
            for n, data in served.items():
                path = os.path.join(dl, n)
                if os.path.exists(path) and open(path, "rb").read() != data:
                    problems.append("partial %s at its final name" % n)
            # The log reaches its file line by line: every archive the killed
            # run finished is in it, and no line is cut short.
            text = open(log, "rb").read() if os.path.exists(log) else b""
            for n in archives:
                if os.path.exists(os.path.join(dl, n)) and \
                        ('download "%s"' % ("http://127.0.0.1:%d/%s" % (port, n))).encode() not in text:
                    problems.append("%s downloaded, but install.log does not say so" % n)
            if text and not text.endswith(b"\n"):
                problems.append("install.log ends in the middle of a line")
            rc2 = run(args.qvrun, url, base)
            if rc2 != 0:
                problems.append("second run ended with %d" % rc2)
            got = snapshot(inst) if os.path.isdir(inst) else {}
            lost = lost_bytes(ref, got)
            extra = sorted(set(got) - set(ref))
            if lost or extra:
                problems.append("install tree differs: %d bytes lost, extra %s" % (lost, extra[:3]))
            lost_total += lost
            print("kill %2d at %.3f s (%s): %s" % (i + 1, at, phase,
                                                   "; ".join(problems) if problems else "ok"))
            if problems:
                failures.append(i + 1)
            else:
                shutil.rmtree(base)
        print("crash_test: seed %d, uninterrupted run %.2f s, %d files, %d bytes" %
              (seed, duration, sum(1 for v in ref.values() if v[0] == "file"), ref_bytes))
        print("crash_test: %d kills (%d downloading, %d extracting, "
              "%d after the end), %d survived, bytes lost %d" %
              (args.kills, phases["downloading"], phases["extracting"],
               phases["finished"], args.kills - len(failures), lost_total))
        return 1 if failures else 0
    finally:
        if server:
            server.kill()
            server.wait()
        if not failures:
            shutil.rmtree(tmp, ignore_errors=True)
        else:
            print("crash_test: failed trials kept in", tmp)


if __name__ == "__main__":
    sys.exit(main())
