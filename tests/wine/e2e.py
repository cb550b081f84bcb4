#!/usr/bin/env python3
"""Whole runs of quorvin.exe under Wine against a real HTTP server on 127.0.0.1.

  e2e.py --build-dir DIR --exe quorvin.exe --driver qvdrive.exe --repo-tool quorvin-repo
         [--wine64 LOADER] CASE

(--wine64: the x86-64 build's programs, run as run_wine_test.py says.)

The test build fetches ftp://127.0.0.1:18931/quorvin/filelist.txt, so every case
serves a repository made by scripts/make-sample-repo on port 18931: Python's own
http.server for the plain runs, tests/server/qvserve.py for the faults. A case
drives the wizard with a qvdrive script written on the fly, then checks the
files on disk, their times, the server's requests and install.log.
"""
import argparse
import contextlib
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import time
import urllib.parse
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import run_wine_test  # noqa: E402

PORT = 18931
BASE_URL = "http://127.0.0.1:%d/quorvin" % PORT
NO_SUCH_DIR = "The directory does not exist. Do you want it to be created?"


class Failure(Exception):
    pass


def check(ok, what):
    if not ok:
        raise Failure(what)


def summary_text(downloads, installs):
    text = "These files will be downloaded:\r\n"
    text += "".join("    %s\r\n" % n for n in downloads)
    text += "\r\nThese files will be installed:\r\n"
    return text + "".join("    %s\r\n" % n for n in installs)


def quoted(text):
    return '"' + text.replace('"', '\\"') + '"'


class Run:
    """One case's directories: the program, the served tree, download and install dirs."""

    def __init__(self, args, name):
        self.args = args
        self.name = name
        self.build_dir = os.path.abspath(args.build_dir)
        self.dir = run_wine_test.fresh_run_dir(self.build_dir, "e2e_" + name, args.exe)
        check(self.dir, "no Wine prefix")
        self.exe = os.path.join(self.dir, os.path.basename(args.exe))
        self.served = os.path.join(self.dir, "served")
        self.repo = os.path.join(self.served, "quorvin")
        self.dl = os.path.join(self.dir, "down load")  # a download directory may hold a space
        self.inst = os.path.join(self.dir, "inst")
        self.requests = os.path.join(self.dir, "requests.log")
        self.rounds = 0
        self.requests_seen = 0

    def make_repo(self):
        # The script finds the tool under BUILD_DIR/tools/quorvin-repo/.
        tool = os.path.abspath(self.args.repo_tool)
        tools = os.path.join(self.dir, "tool", "tools", "quorvin-repo")
        os.makedirs(tools)
        os.symlink(tool, os.path.join(tools, "quorvin-repo"))
        subprocess.run([os.path.join(SOURCE, "scripts", "make-sample-repo"), self.repo, BASE_URL,
                        os.path.join(self.dir, "tool")],
                       check=True, stdout=subprocess.DEVNULL, timeout=60)
        self.entries = read_manifest(os.path.join(self.repo, "filelist.txt"))

    def archives(self, *variants):
        """The archive names of the entries for these variant indices, in file order."""
        return [e["name"] for e in self.entries if e["variant"] < 0 or e["variant"] in variants]

    def subdir(self, name):
        return next(e.get("d", "") for e in self.entries if e["name"] == name)

    def win(self, path):
        return run_wine_test.windows_path(path)

    # ---- servers --------------------------------------------------------------------
    @contextlib.contextmanager
    def plain_server(self):
        """Python's http.server; every request line lands in self.requests (its stderr)."""
        with open(self.requests, "ab") as err:
            proc = subprocess.Popen([sys.executable, "-m", "http.server", "--bind", "127.0.0.1",
                                     str(PORT), "--directory", self.served],
                                    stdout=subprocess.DEVNULL, stderr=err)
        try:
            wait_listening(proc)
            yield proc
        finally:
            stop(proc)

    @contextlib.contextmanager
    def fault_server(self, *faults):
        cmd = [sys.executable, os.path.join(SOURCE, "tests", "server", "qvserve.py"),
               "--root", self.served, "--port", str(PORT), "--log", self.requests]
        for f in faults:
            cmd += ["--fault", f]
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            check(proc.stdout.readline().strip() == str(PORT).encode(), "qvserve did not start")
            yield proc
        finally:
            stop(proc)

    def request_lines(self):
        if not os.path.exists(self.requests):
            return []
        with open(self.requests, "rb") as f:
            return [line for line in f.read().split(b"\n") if b" HTTP/1.0" in line]

    def mark_requests(self):
        """Later calls of requested() count only the requests from now on."""
        self.requests_seen = len(self.request_lines())

    def requested(self, path):
        """How many GET requests for path the server saw (since mark_requests)."""
        lines = self.request_lines()[self.requests_seen:]
        return sum(1 for line in lines if b"GET " + path.encode() + b" HTTP/1.0" in line)

    # ---- the wizard -------------------------------------------------------------------
    def drive(self, steps, extra_env=None):
        """Runs one qvdrive script (a list of lines, UTF-8); a failed step fails the case."""
        self.rounds += 1
        script = os.path.join(self.dir, "round%d.qvs" % self.rounds)
        with open(script, "w", encoding="utf-8") as f:
            f.write("\n".join(steps) + "\n")
        rc = run_wine_test.drive(self.build_dir, self.dir, self.exe, self.args.driver, script,
                                 "e2e_%s_%d" % (self.name, self.rounds), 120, self.args.wine64, extra_env)
        check(rc == 0, "driver failed (exit code %d)" % rc)

    def log(self):
        with open(os.path.join(self.dir, "install.log"), "rb") as f:
            data = f.read().decode("latin-1")
        check(data.endswith("\r\n"), "install.log does not end in CR LF")
        return data[:-2].split("\r\n")

    def expect_log(self, *want):
        """The lines appear in install.log in this order (other lines between them)."""
        lines = self.log()
        at = 0
        for w in want:
            while at < len(lines) and lines[at] != w:
                at += 1
            check(at < len(lines), "install.log lacks %r in order; it is:\n  %s"
                  % (w, "\n  ".join(lines)))
            at += 1

    def expect_log_last(self, *want):
        lines = self.log()
        check(lines[-len(want):] == list(want), "install.log ends %r" % lines[-len(want):])


def read_manifest(path):
    """filelist.txt as a list of entries: variant (-1 for all), u, d, e and the archive name."""
    entries, current = [], None
    with open(path, encoding="latin-1") as f:
        for line in f.read().split("\n"):
            if not line or line[0] == "#":
                current = None
            elif line[1:2] == ":" and line[0] == "v":
                current = {"variant": "tmpw".find(line[2]) if len(line) > 2 else -1}
                entries.append(current)
            elif line[1:2] == ":" and current is not None:
                current[line[0]] = line[2:]
    for e in entries:
        e["name"] = e["u"].rsplit("/", 1)[1]
    return entries


def wait_listening(proc, port=PORT):
    deadline = time.time() + 10
    while time.time() < deadline:
        check(proc.poll() is None, "server ended at once")
        with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), 0.5):
            return
        time.sleep(0.05)
    raise Failure("server not listening on %d" % port)


def stop(proc):
    proc.terminate()
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


# ---- script pieces ------------------------------------------------------------------

def options(mode_id):
    return ["wait-window 30", "wait-caption Options", "click %d" % mode_id, "click 1002",
            "wait-caption \"Choose variant\""]


def variants(*ids):
    return ["click %d" % i for i in ids] + ["click 1002"]


def directory(caption, path, missing=True):
    steps = ["wait-caption %s" % quoted(caption), "type 1202 %s" % quoted(path), "click 1002"]
    if missing:
        steps += ["wait-box \"No such directory\" %s" % quoted(NO_SUCH_DIR), "answer-box 6"]
    return steps


def summary(run, downloads, installs):
    path = os.path.join(run.dir, "summary%d.txt" % (run.rounds + 1))
    with open(path, "wb") as f:
        f.write(summary_text(downloads, installs).encode("latin-1"))
    return ["wait-caption Info 30", "expect-enabled 1001 1", "expect-enabled 1002 1",
            "expect-visible 1401 1", "expect-text-file 1401 %s" % quoted(run.win(path))]


def box(caption, text, answer=1, seconds=30):
    return ["wait-box %s %s %d" % (quoted(caption), quoted(text), seconds), "answer-box %d" % answer]


def failed_run():
    return box("Error", "See install.log for details") + ["wait-exit 1 10"]


# ---- checks on disk ---------------------------------------------------------------

def expect_installed(run, archives):
    """Every member of the archives lies in its subdirectory with the archive's time."""
    for name in archives:
        with zipfile.ZipFile(os.path.join(run.repo, name)) as z:
            for info in z.infolist():
                if info.is_dir():
                    continue
                path = os.path.join(run.inst, run.subdir(name).replace("\\", "/"), info.filename)
                check(os.path.isfile(path), "not installed: %s" % path)
                with open(path, "rb") as f:
                    check(f.read() == z.read(info), "content differs: %s" % path)
                # Wine's local time is the host's, so the DOS time read as local time.
                want = time.mktime(info.date_time + (0, 0, -1))
                got = os.stat(path).st_mtime
                check(abs(got - want) < 2, "time of %s is %s, wanted %s"
                      % (path, time.ctime(got), time.ctime(want)))


def expect_downloaded(run, archives):
    for name in archives:
        path = os.path.join(run.dl, name)
        check(os.path.isfile(path), "not downloaded: %s" % path)
        with open(path, "rb") as a, open(os.path.join(run.repo, name), "rb") as b:
            check(a.read() == b.read(), "download differs: %s" % path)


def files_under(top):
    found = []
    for base, _, files in os.walk(top):
        found += [os.path.relpath(os.path.join(base, f), top) for f in files]
    return sorted(found)


# ---- cases --------------------------------------------------------------------------
CASES = {}


def case(fn):
    CASES[fn.__name__] = fn
    return fn


@case
def download_and_install(run):
    """Two variants: summary, downloads, extraction with file times; then a second run
    finds everything installed and downloads nothing."""
    run.make_repo()
    wanted = run.archives(0, 2)
    with run.plain_server():
        run.drive(options(1051) + variants(1101, 1103)
                  + directory("Download to...", run.win(run.dl))
                  + directory("Install to...", run.win(run.inst))
                  + summary(run, wanted, wanted) + ["screenshot summary", "click 1002"]
                  + box("Finished!", "Installation complete") + ["wait-exit 0 10"])
        check(run.requested("/quorvin/filelist.txt") == 1, "manifest not fetched once")
        for name in wanted:
            check(run.requested("/quorvin/" + name) == 1, "%s not fetched once" % name)
        expect_downloaded(run, wanted)
        expect_installed(run, wanted)
        check(sorted(os.listdir(run.dl)) == sorted(wanted + ["filelist.txt"]),
              "download directory holds %s" % os.listdir(run.dl))
        run.expect_log("download directory is \"%s\"" % run.win(run.dl),
                       "install directory is \"%s\"" % run.win(run.inst))
        run.expect_log_last("exit_app: code is 0", "socket_done")

        before = files_under(run.inst)
        run.mark_requests()
        run.drive(options(1051) + variants(1101, 1103)
                  + directory("Download to...", run.win(run.dl), missing=False)
                  + directory("Install to...", run.win(run.inst), missing=False)
                  + summary(run, [], []) + ["click 1002"]
                  + box("Download complete",
                        "If you want to install later, make sure you keep filelist.txt")
                  + ["wait-exit 0 10"])
        check(run.requested("/quorvin/filelist.txt") == 1, "manifest not fetched again")
        check(all(run.requested("/quorvin/" + n) == 0 for n in wanted), "archive fetched again")
        check(files_under(run.inst) == before, "install directory changed")
        run.expect_log_last("exit_app: code is 0", "socket_done")


def wizard(run, mode, variant_ids, missing=True, install=True, inst_missing=None):
    """Options, variants and the directory steps of one mode, up to the run's start."""
    steps = options(mode) + variants(*variant_ids)
    steps += directory("Download to...", run.win(run.dl), missing)
    if install:
        steps += directory("Install to...", run.win(run.inst),
                           missing if inst_missing is None else inst_missing)
    return steps


@case
def download_only_then_from_directory(run):
    """DownloadOnly fills the download directory and installs nothing; InstallFromDirectory
    then installs from it with no server at all."""
    run.make_repo()
    wanted = run.archives(1)
    with run.plain_server():
        run.drive(wizard(run, 1052, [1102], install=False) + summary(run, wanted, [])
                  + ["click 1002"]
                  + box("Download complete",
                        "If you want to install later, make sure you keep filelist.txt")
                  + ["wait-exit 0 10"])
    expect_downloaded(run, wanted)
    check(sorted(os.listdir(run.dl)) == sorted(wanted + ["filelist.txt"]),
          "download directory holds %s" % os.listdir(run.dl))
    check(not os.path.exists(run.inst), "install directory made")
    check(not any(l.startswith("install directory is") for l in run.log()),
          "install directory logged in DownloadOnly mode")
    run.expect_log("download directory is \"%s\"" % run.win(run.dl))
    run.expect_log_last("exit_app: code is 0", "socket_done")

    run.drive(wizard(run, 1053, [1102], missing=False, inst_missing=True)
              + summary(run, [], wanted) + ["click 1002"]
              + box("Finished!", "Installation complete") + ["wait-exit 0 10"])
    expect_installed(run, wanted)
    check(not any(l.startswith("net_set_url") or l.startswith("socket_open") for l in run.log()),
          "the network was used in InstallFromDirectory mode")
    run.expect_log("download directory is \"%s\"" % run.win(run.dl),
                   "install directory is \"%s\"" % run.win(run.inst))
    run.expect_log_last("exit_app: code is 0", "socket_done")


@case
def from_directory_without_filelist(run):
    os.makedirs(run.dl)
    run.drive(wizard(run, 1053, [1101], missing=False, inst_missing=True)
              + box("Error", "The list of files to install can't be found.", seconds=20)
              + failed_run())
    check(os.listdir(run.dl) == [], "download directory changed")
    check(not os.path.exists(run.inst), "install directory made")
    run.expect_log_last("exit_app: code is 1", "socket_done")


@case
def back_next_and_cancel(run):
    """Back from the summary leads to the last directory step, Next fetches the manifest
    anew and shows one list; Cancel on the summary ends with 0 and nothing downloaded."""
    run.make_repo()
    wanted = run.archives(3)
    with run.plain_server():
        steps = wizard(run, 1051, [1104]) + summary(run, wanted, wanted)
        for _ in range(3):
            steps += ["click 1001", "wait-caption \"Install to...\"", "expect-visible 1202 1",
                      "expect-text 1202 %s" % quoted(run.win(run.inst)), "click 1002",
                      "wait-box \"No such directory\" %s" % quoted(NO_SUCH_DIR), "answer-box 6"]
            steps += summary(run, wanted, wanted)
        run.drive(steps + ["click 2", "expect-no-box 1", "wait-exit 0 10"])
        check(run.requested("/quorvin/filelist.txt") == 4, "manifest not fetched on every Next")
        check(sorted(os.listdir(run.dl)) == ["filelist.txt"], "download directory holds %s"
              % os.listdir(run.dl))
        check(not os.path.exists(run.inst), "install directory made")
        run.expect_log_last("exit_app: code is 0", "socket_done")

        run.mark_requests()
        wanted = run.archives(0)
        run.drive(options(1052) + variants(1101)
                  + directory("Download to...", run.win(run.dl), missing=False)
                  + summary(run, wanted, [])
                  + ["click 1001", "wait-caption \"Download to...\"", "click 1002"]
                  + summary(run, wanted, []) + ["click 2", "wait-exit 0 10"])
        check(run.requested("/quorvin/filelist.txt") == 2, "manifest not fetched on every Next")
        check(sorted(os.listdir(run.dl)) == ["filelist.txt"], "archives downloaded")


def fault_run(run, faults, archives_before, failing):
    """A DownloadAndInstall run for Tavelin whose download of failing goes wrong."""
    with run.fault_server(*faults):
        run.drive(wizard(run, 1051, [1101], missing=not os.path.exists(run.dl), inst_missing=True) + ["wait-caption Info 30", "click 1002"] + failed_run())
    expect_downloaded(run, archives_before)
    names = os.listdir(run.dl)
    check(failing not in names and failing + ".part" not in names,
          "the failed download left %s" % names)
    run.expect_log_last("exit_app: code is 1", "socket_done")


@case
def cancel_and_close_during_download(run):
    """Cancel, and then the close box, while an archive crawls in: exit 1, the partial
    archive gone, the archives before it kept."""
    run.make_repo()
    # One archive bigger than the program's read chunk, so that the bar moves.
    with zipfile.ZipFile(os.path.join(run.repo, "bulk.zip"), "w") as z:
        z.writestr("bulk.dat", os.urandom(96 * 1024))
    manifest = os.path.join(run.repo, "filelist.txt")
    with open(manifest, "a") as f:
        f.write("\n\nv:t\nu:%s/bulk.zip\nd:tavelin/bulk\ne:tavelin/bulk/bulk.dat\n" % BASE_URL)
    run.entries = read_manifest(manifest)
    wanted = run.archives(0)
    slow = wanted[-1]
    with run.fault_server("/quorvin/%s=slow=250&chunk=4096" % slow):
        for stop_it in ("click 2", "close"):
            run.drive(wizard(run, 1051, [1101], missing=(stop_it == "click 2"), inst_missing=True)
                      + ["wait-caption Info 30", "click 1002", "wait-caption Downloading... 10",
                         "expect-text 1302 %s" % quoted("Downloading %s..." % slow),
                         "expect-enabled 1001 0", "expect-enabled 1002 0",
                         "wait-progress 10 10", "expect-responsive 1000", stop_it]
                      + failed_run())
            expect_downloaded(run, wanted[:-1])
            names = os.listdir(run.dl)
            check(slow not in names and slow + ".part" not in names,
                  "the stopped download left %s" % names)
            check(not os.path.exists(run.inst), "install directory made")
            run.expect_log_last("exit_app: code is 1", "socket_done")


@case
def failed_downloads(run):
    """A 404 for an archive, then a body shorter than its Content-Length."""
    run.make_repo()
    wanted = run.archives(0)
    fault_run(run, ["/quorvin/%s=status=404" % wanted[1]], wanted[:1], wanted[1])
    check(not os.path.exists(run.inst), "install directory made")
    size = os.path.getsize(os.path.join(run.repo, wanted[2]))
    fault_run(run, ["/quorvin/%s=length=%d" % (wanted[2], size + 100)], wanted[:2], wanted[2])


@case
def bad_manifest(run):
    """A manifest that does not parse ends the run before the summary."""
    run.make_repo()
    with run.fault_server("/quorvin/filelist.txt=body=this%20is%20no%20list%0A"):
        run.drive(wizard(run, 1051, [1101]) + failed_run())
    check(sorted(os.listdir(run.dl)) == ["filelist.txt"], "download directory holds %s"
          % os.listdir(run.dl))
    check(not os.path.exists(run.inst), "install directory made")
    run.expect_log_last("exit_app: code is 1", "socket_done")


@case
def traversal_archive(run):
    """An archive whose member climbs out of the install directory ends the run, and
    nothing lands outside the install directory."""
    os.makedirs(run.repo)
    with zipfile.ZipFile(os.path.join(run.repo, "climb.zip"), "w") as z:
        z.writestr("inside.txt", "fine\n")
        z.writestr("../outside.txt", "must not be written\n")
        z.writestr("sub/../../outside2.txt", "must not be written\n")
    with open(os.path.join(run.repo, "filelist.txt"), "w") as f:
        f.write("v:\nu:%s/climb.zip\ne:inside.txt\n" % BASE_URL)
    with run.plain_server():
        run.drive(wizard(run, 1051, [1101]) + ["wait-caption Info 30", "click 1002"] + failed_run())
    for name in ("outside.txt", "outside2.txt"):
        for where in (run.dir, os.path.dirname(run.dir)):
            check(not os.path.exists(os.path.join(where, name)), "%s written outside" % name)
    check(all(not f.startswith("..") for f in files_under(run.inst)), "escaped the install dir")
    run.expect_log_last("exit_app: code is 1", "socket_done")


@case
def manifest_redirected(run):
    """The manifest URL answers 302 to another port; the run goes on from there."""
    run.make_repo()
    other = PORT + 1
    wanted = run.archives(2)
    err = open(os.path.join(run.dir, "other.log"), "wb")
    proc = subprocess.Popen([sys.executable, "-m", "http.server", "--bind", "127.0.0.1", str(other),
                             "--directory", run.served], stdout=subprocess.DEVNULL, stderr=err)
    try:
        wait_listening(proc, other)
        with run.fault_server("/quorvin/filelist.txt=location=http://127.0.0.1:%d/quorvin/"
                              "filelist.txt" % other):
            run.drive(wizard(run, 1051, [1103]) + summary(run, wanted, wanted) + ["click 1002"]
                      + box("Finished!", "Installation complete") + ["wait-exit 0 10"])
    finally:
        stop(proc)
        err.close()
    with open(os.path.join(run.dir, "other.log"), "rb") as f:
        check(b"GET /quorvin/filelist.txt HTTP/1.0\" 200" in f.read(), "no request on port %d" % other)
    expect_installed(run, wanted)


def found_around(run, names, allowed):
    """Files or folders of these names in the case's folder, except below allowed, or beside it."""
    top = os.path.dirname(run.dir)
    found = [os.path.join(top, n) for n in names if os.path.lexists(os.path.join(top, n))]
    for base, dirs, files in os.walk(run.dir):
        if os.path.abspath(base).startswith(os.path.abspath(allowed)):
            continue
        found += [os.path.join(base, f) for f in files + dirs if f in names]
    return found


@case
def hostile_names(run):
    """Manifests whose archive name, d: or e: climbs out of its directory: each run fails
    before anything is fetched, and nothing appears outside the two directories."""
    os.makedirs(run.repo)
    with zipfile.ZipFile(os.path.join(run.repo, "planted.zip"), "w") as z:
        z.writestr("planted.txt", "must not be written\n")
    entries = [("u:%s/..\\planted.zip\ne:planted.txt" % BASE_URL, "archive name \"..\\planted.zip\""),
               ("u:%s/planted.zip\nd:..\\..\\outside\ne:planted.txt" % BASE_URL, "d:..\\..\\outside"),
               ("u:%s/planted.zip\ne:../../outside.txt" % BASE_URL, "e:../../outside.txt")]
    for n, (entry, named) in enumerate(entries):
        with open(os.path.join(run.repo, "filelist.txt"), "w") as f:
            f.write("v:\n%s\n" % entry)
        with run.plain_server():
            run.mark_requests()
            run.drive(wizard(run, 1051, [1101], missing=n == 0, inst_missing=True) + failed_run())
            check(run.requested("/quorvin/filelist.txt") == 1, "manifest not fetched")
            check(run.requested("/quorvin/planted.zip") == 0, "an archive was fetched")
        check(os.listdir(run.dl) == ["filelist.txt"], "download directory holds %s" % os.listdir(run.dl))
        check(not os.path.exists(run.inst), "install directory made")
        check(any(l.startswith("plan_build: entry 1") and named in l for l in run.log()),
              "no refusal naming %s" % named)
        found = found_around(run, ("planted.zip", "planted.txt", "outside", "outside.txt"), run.served)
        check(not found, "written outside: %s" % found)
        run.expect_log_last("exit_app: code is 1", "socket_done")


@case
def faults_that_lose_nothing(run):
    """A relative Location with "://" in its query, an archive body followed by a reset, and
    an archive holding install.pending: the run installs everything and keeps that file."""
    run.make_repo()
    with zipfile.ZipFile(os.path.join(run.repo, "pending.zip"), "w") as z:
        z.writestr("install.pending", "a file of the package\n")
    manifest = os.path.join(run.repo, "filelist.txt")
    with open(manifest, "a") as f:
        f.write("\n\nv:\nu:%s/pending.zip\ne:install.pending\n" % BASE_URL)
    run.entries = read_manifest(manifest)
    wanted = run.archives(0)
    core = wanted[0]
    size = os.path.getsize(os.path.join(run.repo, core))
    relative = urllib.parse.quote("/quorvin/filelist.txt?next=http://elsewhere.example/x", safe="")
    with run.fault_server("/quorvin/filelist.txt=location=" + relative,
                          "/quorvin/%s=reset=%d" % (core, size)):
        run.drive(wizard(run, 1051, [1101]) + summary(run, wanted, wanted) + ["click 1002"]
                  + box("Finished!", "Installation complete") + ["wait-exit 0 10"])
        check(run.requested("/quorvin/filelist.txt?next=http://elsewhere.example/x") == 1,
              "the relative location was not followed on this host")
    expect_downloaded(run, wanted)
    expect_installed(run, wanted)
    with open(os.path.join(run.inst, "install.pending"), "rb") as f:
        check(f.read() == b"a file of the package\n", "install.pending of the archive not kept")
    check(not [n for n in os.listdir(run.dl) if n.endswith(".installing")], "a note was left behind")
    run.expect_log_last("exit_app: code is 0", "socket_done")


@case
def silent_server(run):
    """A server that answers the manifest request a byte every 20 s: the run ends with the
    error box once the 60 s deadline for the reply's head has passed, not later."""
    run.make_repo()
    trickle = "raw=" + urllib.parse.quote("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n") + "&trickle=20000"
    with run.fault_server("/quorvin/filelist.txt=" + trickle):
        started = time.time()
        run.drive(wizard(run, 1051, [1101]) + box("Error", "See install.log for details", seconds=100)
                  + ["wait-exit 1 10"])
        took = time.time() - started  # Wine's start and the wizard's steps included
    check("http_try: no reply within 60000 ms" in run.log(), "no deadline line")
    check(60 <= took <= 85, "the error box came %.0f s after the start" % took)
    check(os.listdir(run.dl) == [], "download directory holds %s" % os.listdir(run.dl))
    run.expect_log_last("exit_app: code is 1", "socket_done")


@case
def hostile_replies(run):
    """Two entries with one archive name, a reply cut before its headers end, an empty
    archive body, a length no disk holds, a manifest that never ends: each run fails and
    keeps nothing it fetched in that run. The empty body and the huge length come with
    a list that gives no size for the archive (with one, the announced length alone
    fails the download)."""
    run.make_repo()
    core = run.archives(0)[0]
    manifest = os.path.join(run.repo, "filelist.txt")
    with open(manifest) as f:
        plain = f.read()
    sizeless = re.sub(r"(u:%s/%s\nh:[0-9a-f]+\n)s:[0-9]+\n" % (re.escape(BASE_URL), re.escape(core)),
                      r"\1", plain)
    check(sizeless != plain, "no size for %s in the list" % core)
    cut = "raw=" + urllib.parse.quote("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n")
    twice = plain + "\n\nv:m\nu:%s/m/%s\ne:other\n" % (BASE_URL, core.upper())
    trials = [  # (faults, the list, a log line the run must hold)
        ([], twice, "again"),
        (["/quorvin/%s=%s" % (core, cut)], plain, "http_try: the reply ended before its headers did"),
        (["/quorvin/%s=size=0" % core], sizeless, "net_get: the body is empty"),
        (["/quorvin/%s=length=999999999999999999" % core], sizeless, "not enough free space in "),
        (["/quorvin/filelist.txt=endless=1&nolength=1"], plain, "net_get: more than 67108864 bytes, giving up"),
    ]
    for n, (faults, text, line) in enumerate(trials):
        with open(manifest, "w") as f:
            f.write(text)
        with run.fault_server(*faults):
            run.drive(wizard(run, 1051, [1101, 1102], missing=n == 0, inst_missing=True)
                      + ([] if "filelist" in "".join(faults) or text is twice else
                         ["wait-caption Info 30", "click 1002"])
                      + failed_run())
        check(any(line in l for l in run.log()), "trial %d: no line %r" % (n, line))
        names = os.listdir(run.dl)
        check(core not in names and not [x for x in names if x.endswith(".part")],
              "trial %d: the download directory holds %s" % (n, names))
        check(not os.path.exists(run.inst), "trial %d: install directory made" % n)
        run.expect_log_last("exit_app: code is 1", "socket_done")


@case
def long_summary(run):
    """A list of 3000 archives: the summary shows every one of them (the field's first
    limit is 30,000 characters), and Cancel there ends with 0."""
    os.makedirs(run.dl)
    names = ["archive-%05d.zip" % i for i in range(3000)]
    with open(os.path.join(run.dl, "filelist.txt"), "w") as f:
        f.write("".join("v:\nu:%s/%s\ne:m%05d\n\n" % (BASE_URL, n, i) for i, n in enumerate(names)))
    run.drive(wizard(run, 1053, [1101], missing=False, inst_missing=True) + summary(run, [], names)
              + ["click 2", "wait-exit 0 10"])
    check(not os.path.exists(run.inst), "install directory made")


# ---- signed repositories: quorvin.exe built with the test key, nginx serving ----------
NOT_SIGNED = "The list of files to install is not signed by its publisher."
NGINX_CONF = """daemon off;
master_process off;
pid "%(top)s/nginx.pid";
error_log "%(top)s/error.log";
events { worker_connections 64; }
http {
    access_log "%(requests)s";
    client_body_temp_path "%(top)s/body";
    proxy_temp_path "%(top)s/proxy";
    fastcgi_temp_path "%(top)s/fastcgi";
    uwsgi_temp_path "%(top)s/uwsgi";
    scgi_temp_path "%(top)s/scgi";
    server { listen 127.0.0.1:%(port)d; root "%(root)s"; }
}
"""


@contextlib.contextmanager
def nginx(run):
    """nginx serving run.served with a configuration of this run's own; run.requests is
    its access log."""
    top = os.path.join(run.dir, "nginx")
    os.makedirs(top, exist_ok=True)
    conf = os.path.join(top, "nginx.conf")
    with open(conf, "w") as f:
        f.write(NGINX_CONF % {"top": top, "requests": run.requests, "port": PORT, "root": run.served})
    proc = subprocess.Popen([run.args.nginx, "-p", top, "-c", conf, "-e", os.path.join(top, "error.log")],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_listening(proc)
        yield proc
    finally:
        stop(proc)


def minisign(*args):
    subprocess.run(["minisign"] + list(args), check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)


def sign(run, key=None, path=None):
    minisign("-S", "-s", key or os.path.join(run.args.key_dir, "minisign.key"),
             "-m", path or os.path.join(run.repo, "filelist.txt"))


def flip_byte(path):
    with open(path, "r+b") as f:
        f.seek(os.path.getsize(path) // 2)
        byte = f.read(1)
        f.seek(-1, 1)
        f.write(bytes([byte[0] ^ 1]))


def edit(path, change):
    with open(path, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(change(data))


def resign(change):
    """Changes the manifest's lines and signs it again, as its publisher would."""
    def apply(run, manifest, signature):
        edit(manifest, lambda d: "\n".join(change(run, d.decode().split("\n"))).encode())
        sign(run)
    return apply


def from_directory(*damage):
    """The signed repository copied into the download directory, then damaged."""
    def apply(run, manifest, signature):
        shutil.copytree(run.repo, run.dl)
        for name in damage:
            target = os.path.join(run.dl, name if name != "archive" else run.archives(0)[-1])
            os.remove(target) if name.endswith(".minisig") else flip_byte(target)
    return apply


def other_key(run, manifest, signature):
    key = os.path.join(run.dir, "other")
    minisign("-G", "-W", "-p", key + ".pub", "-s", key + ".key")
    sign(run, key + ".key")


def other_file(run, manifest, signature):
    other = os.path.join(run.dir, "other.txt")
    with open(other, "w") as f:
        f.write("v:\nu:%s/x.zip\ne:x\n" % BASE_URL)
    sign(run, path=other)
    shutil.copy(other + ".minisig", signature)


def without_hash(run, lines):
    at = lines.index("u:%s/%s" % (BASE_URL, run.archives(0)[1]))
    return lines[:at + 1] + lines[at + 2:]  # its h: follows its u:


def set_hash(value):
    return lambda run, lines: [("h:" + value if l.startswith("h:") and i == first_hash(lines) else l)
                               for i, l in enumerate(lines)]


def first_hash(lines):
    return next(i for i, l in enumerate(lines) if l.startswith("h:"))


# name: (mode, change(run, manifest, signature), does the summary show, a part of the line
# that says what is wrong). Each fails the run before anything is installed.
TAMPERINGS = {
    "tampered_manifest": (1051, lambda run, m, s: flip_byte(m), False, "does not match"),
    "other_key": (1051, other_key, False, ", not with the publisher's key "),
    "other_file": (1051, other_file, False, "does not match"),
    "truncated": (1051, lambda run, m, s: edit(s, lambda d: d[:150]), False,
                  "is not a minisign signature"),
    "empty": (1051, lambda run, m, s: edit(s, lambda d: b""), False, "the file is empty"),
    "trusted_comment": (1051, lambda run, m, s: edit(s, lambda d: d.replace(b"timestamp:", b"timestamp:1")),
                        False, "does not match its signature"),
    "oversized": (1051, lambda run, m, s: edit(s, lambda d: d + b"\n" * 65536), False,
                  "more than the 16384 allowed"),
    "missing": (1051, lambda run, m, s: os.remove(s), False, "signature_check: can't download "),
    "from_directory_unsigned": (1053, from_directory("filelist.txt.minisig"), False,
                                "filelist.txt.minisig is missing"),
    "hash_length": (1051, resign(set_hash("0123456789abcdef" * 4 + "0")), None,
                    " is not a SHA-256 (64 hexadecimal digits)"),
    "hash_not_hex": (1051, resign(set_hash("0123456789abcdef" * 3 + "0123456789abcdeg")), None,
                     " is not a SHA-256 (64 hexadecimal digits)"),
    "entry_without_hash": (1051, resign(without_hash), None,
                           "has no SHA-256 (\"h:\"), which a signed list must give"),
    "archive_swapped": (1051, lambda run, m, s: flip_byte(os.path.join(run.repo, run.archives(0)[1])),
                        True, ", the list says "),
    "from_directory_wrong_archive": (1053, from_directory("archive"), None, "has SHA-256 "),
}


def tampering_case(mode, change, summary_shown, says):
    def run_case(run):
        run.make_repo()
        sign(run)
        manifest = os.path.join(run.repo, "filelist.txt")
        change(run, manifest, manifest + ".minisig")
        steps = wizard(run, mode, [1101], missing=not os.path.exists(run.dl), inst_missing=True)
        steps += ["wait-caption Info 30", "click 1002"] if summary_shown else []
        steps += box("Error", NOT_SIGNED) if summary_shown is False else []
        with nginx(run):
            run.drive(steps + failed_run())
        check(any(says in line for line in run.log()), "install.log has no line with %r" % says)
        check(not os.path.exists(run.inst), "install directory made")
        kept = set(os.listdir(run.dl)) - set(["filelist.txt", "filelist.txt.minisig", "filelist.txt.timestamp"])
        check(mode == 1053 or kept <= set(run.archives(0)[:1]), "the download directory holds %s" % kept)
        check(not [n for n in kept if n.endswith(".part")], "a .part was left")
        run.expect_log_last("exit_app: code is 1", "socket_done")
    return run_case


for _name, _row in TAMPERINGS.items():
    CASES["signed_" + _name] = tampering_case(*_row)


@case
def signed_repository(run):
    """A signed repository: the signature is fetched right after the list and checked, an
    archive on disk with the wrong content is fetched anew, and the run installs; then
    InstallFromDirectory installs another variant with the signature beside the list."""
    run.make_repo()
    sign(run)
    subprocess.run([run.args.repo_tool, "check", run.repo, "--key",
                    os.path.join(run.args.key_dir, "minisign.pub")], check=True,
                   stdout=subprocess.DEVNULL, timeout=60)
    wanted = run.archives(0, 2)
    os.makedirs(run.dl)
    shutil.copy(os.path.join(run.repo, wanted[-1]), run.dl)
    flip_byte(os.path.join(run.dl, wanted[-1]))
    with nginx(run):
        run.drive(wizard(run, 1051, [1101, 1103], missing=False, inst_missing=True)
                  + summary(run, wanted, wanted)
                  + ["click 1002"] + box("Finished!", "Installation complete") + ["wait-exit 0 10"])
    lines = run.request_lines()
    check(b"GET /quorvin/filelist.txt HTTP" in lines[0] and b"filelist.txt.minisig HTTP" in lines[1]
          and run.requested("/quorvin/filelist.txt.minisig") == 1, "the signature is not fetched "
          "once, right after the list")
    expect_downloaded(run, wanted + ["filelist.txt.minisig"])
    expect_installed(run, wanted)
    # The list is checked under its temporary name, before it replaces filelist.txt.
    good = "signature_check: %s\\filelist.txt.new: good signature by key " % run.win(run.dl)
    check(any(l.startswith(good) for l in run.log()), "no line %r" % good)
    check(any(l.startswith("plan_build: %s has SHA-256 " % wanted[-1]) for l in run.log()),
          "the wrong archive on disk was not named")
    run.expect_log_last("exit_app: code is 0", "socket_done")

    mirrel = [n for n in run.archives(1) if n not in wanted]
    for name in mirrel:
        shutil.copy(os.path.join(run.repo, name), run.dl)
    run.drive(wizard(run, 1053, [1102], missing=False, inst_missing=False)
              + summary(run, [], mirrel) + ["click 1002"]
              + box("Finished!", "Installation complete") + ["wait-exit 0 10"])
    expect_installed(run, mirrel)
    check(not any(l.startswith("net_set_url") for l in run.log()), "the network was used")


def zip_headers(data, name):
    """Offsets of the member's local header and of its central header, in that order."""
    name = name.encode()
    found = []
    for sig, name_at, length_at in ((b"PK\x03\x04", 30, 26), (b"PK\x01\x02", 46, 28)):
        at = data.find(sig)
        while at >= 0:
            if (struct.unpack_from("<H", data, at + length_at)[0] == len(name)
                    and data[at + name_at:at + name_at + len(name)] == name):
                found.append(at)
                break
            at = data.find(sig, at + 1)
    check(len(found) == 2, "no headers of %r" % name)
    return found


def set_flag_bits(data, name, bits):
    local, central = zip_headers(data, name)
    for flags_at in (local + 6, central + 8):
        struct.pack_into("<H", data, flags_at, struct.unpack_from("<H", data, flags_at)[0] | bits)


def repeat_central_entry(data, name, copies):
    """Copies of the member's central entry, all pointing at the same data."""
    _, central = zip_headers(data, name)
    size = 46 + sum(struct.unpack_from("<HHH", data, central + 28))
    end = data.rfind(b"PK\x05\x06")
    count, count_all, dir_size = struct.unpack_from("<HHI", data, end + 8)
    struct.pack_into("<HHI", data, end + 8, count + copies, count_all + copies, dir_size + copies * size)
    data[central:central] = data[central:central + size] * copies


HOSTILE_ARCHIVES = [
    # archive, members after keep.txt, patch of its bytes, the entry the refusal names
    ("device.zip", [("sub/Nul.txt", b"to no file at all")], None, "unsafe entry name sub/Nul.txt ("),
    ("dots.zip", [("a", b"first"), ("a.", b"second, which Windows would put in a")], None,
     "unsafe entry name a. ("),
    ("overlap.zip", [("bomb.bin", b"\0" * 200000)], lambda d: repeat_central_entry(d, "bomb.bin", 50),
     "entries bomb.bin and bomb.bin share bytes of the archive"),
    ("encrypted.zip", [("secret.txt", b"not really secret")], lambda d: set_flag_bits(d, "secret.txt", 1),
     "entry secret.txt is encrypted; encrypted entries are not installed"),
    ("folder.zip", [("a", b"a file"), ("a/", b""), ("a/b", b"below it")], None,
     "entry a/ and entry a need the same path as a file and as a folder"),
    ("case.zip", [("Docs/A.txt", b"first"), ("docs/a.txt", b"second, which Windows would put over it")],
     None, "entry docs/a.txt and entry Docs/A.txt name the same file"),
]


@case
def hostile_archives(run):
    """Archives from the download directory with a device name, names Windows would merge,
    members sharing their data, an encrypted member, a file then a folder of its name, and
    two files whose names differ in case only: each run fails before the installed keep.txt is replaced, opens no device and writes
    nothing anywhere."""
    os.makedirs(run.dl)
    os.makedirs(run.inst)
    for n, (archive, members, patch, refusal) in enumerate(HOSTILE_ARCHIVES):
        path = os.path.join(run.dl, archive)
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("keep.txt", "from the hostile archive\n")
            for name, data in members:
                z.writestr(name, data)
        if patch:
            data = bytearray(open(path, "rb").read())
            patch(data)
            with open(path, "wb") as f:
                f.write(data)
        with open(os.path.join(run.dl, "filelist.txt"), "w") as f:
            f.write("v:\nu:%s/%s\ne:not-yet.txt\n" % (BASE_URL, archive))
        with open(os.path.join(run.inst, "keep.txt"), "w") as f:
            f.write("installed before\n")
        run.drive(wizard(run, 1053, [1101], missing=False) + ["wait-caption Info 30", "click 1002"]
                  + failed_run())
        lines = run.log()
        want = "install_archive: %s: %s" % (run.win(path), refusal)
        check(any(l.startswith(want) for l in lines), "%s: no line %r in\n  %s"
              % (archive, want, "\n  ".join(lines)))
        check(not any(l.startswith("opened ") for l in lines), "%s: a file was opened" % archive)
        with open(os.path.join(run.inst, "keep.txt"), "rb") as f:
            check(f.read() == b"installed before\n", "%s: keep.txt replaced" % archive)
        check(os.listdir(run.inst) == ["keep.txt"], "%s: install dir holds %s" % (archive, os.listdir(run.inst)))
        # An extraction that failed leaves its note (ARCHIVE.installing), so it is redone.
        check(set(os.listdir(run.dl)) <= {a[0] + t for a in HOSTILE_ARCHIVES for t in ("", ".installing")}
              | {"filelist.txt"},
              "%s: download dir holds %s" % (archive, os.listdir(run.dl)))
        found = found_around(run, ["keep.txt", "sub", "Nul.txt", "a", "a.", "b", "bomb.bin", "secret.txt",
                                   "Docs", "docs"],
                             run.inst)
        check(not found, "%s: written outside: %s" % (archive, found))
        run.expect_log_last("exit_app: code is 1", "socket_done")


@case
def names_beyond_ascii(run):
    """Member names as their archive says: UTF-8 where flagged (one outside the ANSI code
    page among them), the OEM code page where not (437, and 932 with 0x5C inside its
    characters), a folder marked only by its attribute; installed from the download
    directory under those names into a directory typed outside the ANSI code page, the
    status line showing the last name as it is; a symbolic link refused."""
    os.makedirs(run.dl)
    run.inst = os.path.join(run.dir, "inst-\u03a9")
    path = os.path.join(run.dl, "names.zip")
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("caf\u00e9.txt", "flagged utf-8\n")
        z.writestr("AtA.txt", "code page 437\n")  # renamed below, without the flag
        z.writestr("NNu.txt", "utf-8 from unix\n")  # renamed below: UTF-8 unflagged, made on Unix
        named = zipfile.ZipInfo("QQ.txt")  # stored as ??.txt, its name in Info-ZIP's Unicode Path field
        named.create_system = 0
        text = "\u0436\u0436.txt".encode()
        named.extra = struct.pack("<HHBI", 0x7075, 5 + len(text), 1, zlib.crc32(b"??.txt")) + text
        z.writestr(named, "unicode path field\n")
        folder = zipfile.ZipInfo("plain")
        folder.external_attr = 0x10
        z.writestr(folder, b"")
        z.writestr("\u03a9mega/\u0436.txt", "outside the ANSI code page\n")
    data = open(path, "rb").read().replace(b"AtA.txt", b"\x82t\x82.txt").replace(b"NNu.txt", b"\xc3\xb1u.txt")
    data = data.replace(b"QQ.txt", b"??.txt")
    with open(path, "wb") as f:
        f.write(data)
    with open(os.path.join(run.dl, "filelist.txt"), "w", encoding="utf-8") as f:
        f.write("v:\nu:%s/names.zip\ne:caf\u00e9.txt\n" % BASE_URL)
    finished = box("Finished!", "Installation complete")
    run.drive(wizard(run, 1053, [1101], missing=False, inst_missing=True) + ["wait-caption Info 30", "click 1002"]
              + finished[:1] + ["expect-text 1302 \u03a9mega/\u0436.txt"] + finished[1:] + ["wait-exit 0 10"])
    run.expect_log("install directory is \"%s\"" % run.win(run.inst).encode().decode("latin-1"))
    for name, text in (("caf\u00e9.txt", "flagged utf-8\n"), ("\u03a9mega/\u0436.txt", "outside the ANSI code page\n"),
                       ("\u00e9t\u00e9.txt", "code page 437\n"), ("\u00f1u.txt", "utf-8 from unix\n"),
                       ("\u0436\u0436.txt", "unicode path field\n")):
        got = os.path.join(run.inst, name)
        check(os.path.isfile(got) and open(got).read() == text, "not installed as %r: %s"
              % (name, sorted(os.listdir(run.inst))))
    check(os.path.isdir(os.path.join(run.inst, "plain")), "the attribute-marked folder is no folder")
    with zipfile.ZipFile(os.path.join(run.dl, "link.zip"), "w") as z:
        link = zipfile.ZipInfo("link")
        link.create_system = 3
        link.external_attr = (0o120777 << 16)
        z.writestr(link, "/etc/passwd")
    with open(os.path.join(run.dl, "filelist.txt"), "w") as f:
        f.write("v:\nu:%s/link.zip\ne:link\n" % BASE_URL)
    run.drive(wizard(run, 1053, [1101], missing=False, inst_missing=False) + ["wait-caption Info 30", "click 1002"]
              + failed_run())
    check(any("is a symbolic link" in l for l in run.log()), "the link was not refused")
    check(not os.path.lexists(os.path.join(run.inst, "link")), "the link was written")
    # A double-byte OEM code page: Wine takes it from the Unix locale (scripts/bootstrap makes it).
    check("ja_JP.utf8" in subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout,
          "no ja_JP.UTF-8 locale: run scripts/bootstrap")
    with zipfile.ZipFile(os.path.join(run.dl, "dbcs.zip"), "w") as z:
        z.writestr("AA/BB.txt", "code page 932\n")  # renamed below, without the flag
    data = open(os.path.join(run.dl, "dbcs.zip"), "rb").read().replace(b"AA/BB", b"\x83\x5c/\x95\x5c")
    with open(os.path.join(run.dl, "dbcs.zip"), "wb") as f:
        f.write(data)
    with open(os.path.join(run.dl, "filelist.txt"), "w", encoding="utf-8") as f:
        f.write("v:\nu:%s/dbcs.zip\ne:\u30bd/\u8868.txt\n" % BASE_URL)
    run.inst = os.path.join(run.dir, "inst-932")
    run.drive(wizard(run, 1053, [1101], missing=False, inst_missing=True) + ["wait-caption Info 30", "click 1002"]
              + box("Finished!", "Installation complete") + ["wait-exit 0 10"], {"LC_ALL": "ja_JP.UTF-8"})
    check(sorted(os.listdir(run.inst)) == ["quorvin-receipt.txt", "\u30bd"] and os.listdir(os.path.join(run.inst, "\u30bd")) == ["\u8868.txt"],
          "code page 932 names installed as %r" % [os.path.join(d, n) for d, _, ns in os.walk(run.inst) for n in ns])


@case
def authenticode_signed(run):
    """The program signed by scripts/sign-exe under a code-signing certificate made here:
    osslsigncode verifies it against the test authority, and the signed copy installs."""
    def openssl(*args):
        subprocess.run(["openssl"] + list(args), cwd=run.dir, check=True, capture_output=True, timeout=60)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=Quorvin Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "pub.key", "-out", "pub.csr", "-subj", "/CN=publisher")
    with open(os.path.join(run.dir, "pub.ext"), "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n")
    openssl("x509", "-req", "-in", "pub.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial", "-days", "2",
            "-extfile", "pub.ext", "-out", "pub.pem")
    signed = run.exe + ".signed"
    sign = subprocess.run([os.path.join(SOURCE, "scripts", "sign-exe"), "--cert", "pub.pem", "--key", "pub.key",
                           "--ca", "ca.pem", run.exe, signed], cwd=run.dir, capture_output=True, text=True, timeout=60)
    check(sign.returncode == 0, "sign-exe failed: %s" % sign.stderr)
    os.replace(signed, run.exe)
    verify = subprocess.run(["osslsigncode", "verify", "-CAfile", "ca.pem", "-ignore-cdp", "-in", run.exe],
                            cwd=run.dir, capture_output=True, text=True, timeout=60)
    check(verify.returncode == 0 and "Signature verification: ok" in verify.stdout, "not verified:\n" + verify.stdout)
    run.make_repo()
    wanted = run.archives(0)
    with run.plain_server():
        run.drive(wizard(run, 1051, [1101]) + summary(run, wanted, wanted) + ["click 1002"]
                  + box("Finished!", "Installation complete") + ["wait-exit 0 10"])
    expect_installed(run, wanted)


@case
def large_archives(run):
    """zip64 archives made by Python's zipfile: members that start past 4 GiB (the
    archive is sparse) with 64-bit sizes in their local headers, installed byte-exactly."""
    os.makedirs(run.dl)
    hole = (1 << 32) + 4321
    data = os.urandom(150000) + b"compressible " * 20000
    path = os.path.join(run.dl, "far.zip")
    with open(path, "wb") as f:
        f.seek(hole)
        with zipfile.ZipFile(f, "w", zipfile.ZIP_DEFLATED) as z:
            for name, body, method in (("far/deflated.bin", data, zipfile.ZIP_DEFLATED),
                                       ("far/stored.txt", b"stored past 4 GiB\n", zipfile.ZIP_STORED)):
                info = zipfile.ZipInfo(name, (2021, 6, 7, 8, 9, 10))
                info.compress_type = method
                with z.open(info, "w", force_zip64=True) as m:
                    m.write(body)
            z.writestr("plain.txt", "no 64-bit sizes\n")
    with zipfile.ZipFile(path) as z:
        check(all(i.header_offset > 0xFFFFFFFF for i in z.infolist()), "members not past 4 GiB")
    with open(os.path.join(run.dl, "filelist.txt"), "w") as f:
        f.write("v:\nu:%s/far.zip\ne:plain.txt\n" % BASE_URL)
    try:
        run.drive(wizard(run, 1053, [1101], missing=False, inst_missing=True)
                  + summary(run, [], ["far.zip"]) + ["click 1002"]
                  + box("Finished!", "Installation complete") + ["wait-exit 0 10"])
        with zipfile.ZipFile(path) as z:
            for info in z.infolist():
                with open(os.path.join(run.inst, info.filename), "rb") as f:
                    check(f.read() == z.read(info), "content differs: %s" % info.filename)
        run.expect_log_last("exit_app: code is 0", "socket_done")
    finally:
        os.remove(path)  # sparse, but it looks like 4 GiB


@case
def signed_update(run):
    """A signed repository installed for Tavelin, then a new release of core.zip, signed
    later: the summary shows it as an update, it replaces the old files, the file it no
    longer has goes with its folder, a file the user changed stays, and the other archives
    are skipped; then the first list, served again, is refused for that install directory
    even through a download directory that never saw the newer one."""
    import hashlib
    run.make_repo()
    sign(run)
    manifest = os.path.join(run.repo, "filelist.txt")
    with open(manifest, "rb") as f:
        first_list = f.read()
    with open(manifest + ".minisig", "rb") as f:
        first_signature = f.read()
    wanted = run.archives(0)
    core = "core.zip"
    check(core in wanted and run.subdir(core) == "", "the sample repository has no core.zip in its folder")
    with nginx(run):
        run.drive(wizard(run, 1051, [1101], missing=True, inst_missing=True) + summary(run, wanted, wanted)
                  + ["click 1002"] + box("Finished!", "Installation complete") + ["wait-exit 0 10"])
    expect_installed(run, wanted)
    receipt = os.path.join(run.inst, "quorvin-receipt.txt")
    check(os.path.isfile(receipt), "no receipt after the first run")
    with open(os.path.join(run.inst, "bin", "launcher.cfg"), "w") as f:
        f.write("start=my own\n")

    # Release 2: README.txt changed, NEWS.txt new, config/settings.ini and bin/launcher.cfg gone.
    path = os.path.join(run.repo, core)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(zipfile.ZipInfo("README.txt", (2024, 6, 1, 12, 0, 0)), "Release 2 of the core files.\n")
        z.writestr(zipfile.ZipInfo("NEWS.txt", (2024, 6, 1, 12, 0, 0)), "What is new.\n")
    with open(path, "rb") as f:
        data = f.read()
    digest = hashlib.sha256(data).hexdigest()
    lines = first_list.decode().split("\n")
    at = lines.index("u:%s/%s" % (BASE_URL, core))
    for i in range(at + 1, at + 3):
        key = lines[i][:2]
        check(key in ("h:", "s:"), "core.zip's entry has no h: and s: after its u:")
        lines[i] = "h:" + digest if key == "h:" else "s:%d" % len(data)
    with open(manifest, "w") as f:
        f.write("\n".join(lines))
    time.sleep(1.5)  # minisign's timestamp counts seconds: the new list must be the newer one
    sign(run)
    run.mark_requests()
    with nginx(run):
        run.drive(wizard(run, 1051, [1101], missing=False, inst_missing=False)
                  + summary(run, [core], [core + " (update)"]) + ["click 1002"]
                  + box("Finished!", "Installation complete") + ["wait-exit 0 10"])
    check(run.requested("/quorvin/" + core) == 1, "core.zip not fetched again")
    check(all(run.requested("/quorvin/" + n) == 0 for n in wanted if n != core), "another archive fetched")
    expect_installed(run, [core] + [n for n in wanted if n != core])
    inst = run.win(run.inst)
    run.expect_log("plan_build: update core.zip: the installed one has SHA-256 %s, the list says %s"
                   % (next(l for l in first_list.decode().split("\n")[at:] if l.startswith("h:"))[2:], digest),
                   "update: kept %s\\bin\\launcher.cfg: core.zip no longer has it, but it was changed since "
                   "it was installed" % inst,
                   "update: removed %s\\config\\settings.ini (core.zip no longer has it)" % inst,
                   "update: removed the empty folder %s\\config" % inst)
    check(not os.path.exists(os.path.join(run.inst, "config")), "config/ left behind")
    with open(os.path.join(run.inst, "bin", "launcher.cfg")) as f:
        check(f.read() == "start=my own\n", "the user's launcher.cfg was not kept")
    with open(receipt) as f:
        check("\nsha256 %s\n" % digest in f.read(), "the receipt does not record the new core.zip")
    run.expect_log_last("exit_app: code is 0", "socket_done")

    # The first list again, through a download directory that never saw the second.
    with open(manifest, "wb") as f:
        f.write(first_list)
    with open(manifest + ".minisig", "wb") as f:
        f.write(first_signature)
    before = files_under(run.inst)
    other = os.path.join(run.dir, "other download")
    with nginx(run):
        run.drive(options(1051) + variants(1101) + directory("Download to...", run.win(other))
                  + directory("Install to...", inst, missing=False) + box("Error", NOT_SIGNED) + failed_run())
    check(any("before the newest one installed in the install directory" in l for l in run.log()),
          "no refusal of the older list")
    check(files_under(run.inst) == before, "the install directory changed")
    left = os.listdir(other) if os.path.isdir(other) else []
    check(left == [], "the refused list was kept: %s" % left)
    run.expect_log_last("exit_app: code is 1", "socket_done")


@contextlib.contextmanager
def tinyproxy(run):
    """tinyproxy on a free loopback port with a configuration and log of this run's own;
    yields (port, log path)."""
    top = os.path.join(run.dir, "tinyproxy")
    os.makedirs(top, exist_ok=True)
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    conf, log = os.path.join(top, "tinyproxy.conf"), os.path.join(top, "tinyproxy.log")
    with open(conf, "w") as f:
        f.write('Port %d\nListen 127.0.0.1\nTimeout 30\nMaxClients 16\nAllow 127.0.0.1\nLogLevel Info\n'
                'LogFile "%s"\nPidFile "%s"\n' % (port, log, os.path.join(top, "tinyproxy.pid")))
    proc = subprocess.Popen([shutil.which("tinyproxy") or "/usr/bin/tinyproxy", "-d", "-c", conf],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_listening(proc, port)
        yield port, log
    finally:
        stop(proc)


@contextlib.contextmanager
def proxy_settings(run, server):
    """The user's proxy in the test prefix, as Windows' settings dialog keeps it; cleared after."""
    def write(*extra):
        cmd = [sys.executable, os.path.join(HERE, "proxy_settings.py"),
               "--prefix", os.path.join(run.build_dir, "wine", "prefix")] + list(extra)
        if run.args.wine64:
            cmd += ["--wine", run.args.wine64]
        check(subprocess.run(cmd, timeout=180).returncode == 0, "the proxy settings were not written")
        # Its wineserver ran without the run's display: the next program starts a fresh one.
        run_wine_test.stop_wineserver(run_wine_test.wine_env(run.build_dir, "", run.args.wine64))
    write("--server", server)
    try:
        yield
    finally:
        write("--clear")


def trust_test_ca(run):
    """The tests' authority trusted in the test prefix (the check program adds it)."""
    ca_dir = os.path.join(run.build_dir, "tls-ca")
    subprocess.run(["bash", os.path.join(SOURCE, "tests", "tls", "make_test_ca.sh"), ca_dir],
                   check=True, timeout=120)
    with run_wine_test.Xvfb() as x:
        env = run_wine_test.wine_env(run.build_dir, x.display, run.args.wine64)
        rc = subprocess.run(run_wine_test.wine(run.args.wine64) +
                            [run.args.check_exe, "trust", run.win(os.path.join(ca_dir, "ca.pem"))],
                            env=env, timeout=120, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        run_wine_test.stop_wineserver(env)
    check(rc == 0, "the test authority could not be trusted in the prefix")
    return ca_dir


HTTPS_PORT = PORT + 1


@contextlib.contextmanager
def nginx_tls(run, ca_dir):
    """nginx serving run.served over TLS on HTTPS_PORT with the tests' good certificate."""
    top = os.path.join(run.dir, "nginx-tls")
    os.makedirs(top, exist_ok=True)
    conf = os.path.join(top, "nginx.conf")
    text = NGINX_CONF % {"top": top, "requests": run.requests, "port": HTTPS_PORT, "root": run.served}
    text = text.replace("listen 127.0.0.1:%d;" % HTTPS_PORT,
                        'listen 127.0.0.1:%d ssl; ssl_certificate "%s"; ssl_certificate_key "%s";'
                        % (HTTPS_PORT, os.path.join(ca_dir, "good.pem"), os.path.join(ca_dir, "good.key")))
    with open(conf, "w") as f:
        f.write(text)
    proc = subprocess.Popen([run.args.nginx, "-p", top, "-c", conf, "-e", os.path.join(top, "error.log")],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_listening(proc, HTTPS_PORT)
        yield proc
    finally:
        stop(proc)


def signed_https_proxy(run):
    """A whole signed run over https through the proxy of the user's settings: the built-in
    list URL redirects to https, every archive is an https URL; all of it goes through
    tinyproxy (plain requests in absolute form, https through CONNECT), which its own log
    shows, and the server's certificate is checked at the end of the tunnel."""
    ca_dir = trust_test_ca(run)
    https_base = "https://127.0.0.1:%d/quorvin" % HTTPS_PORT
    tool = os.path.abspath(run.args.repo_tool)
    tools = os.path.join(run.dir, "tool", "tools", "quorvin-repo")
    os.makedirs(tools)
    os.symlink(tool, os.path.join(tools, "quorvin-repo"))
    subprocess.run([os.path.join(SOURCE, "scripts", "make-sample-repo"), run.repo, https_base,
                    os.path.join(run.dir, "tool")], check=True, stdout=subprocess.DEVNULL, timeout=60)
    run.entries = read_manifest(os.path.join(run.repo, "filelist.txt"))
    sign(run)
    wanted = run.archives(0)
    moved = ["/quorvin/%s=location=%s/%s" % (n, https_base, n) for n in ("filelist.txt", "filelist.txt.minisig")]
    with tinyproxy(run) as (proxy_port, proxy_log), proxy_settings(run, "127.0.0.1:%d" % proxy_port), \
            run.fault_server(*moved), nginx_tls(run, ca_dir):
        run.drive(wizard(run, 1051, [1101], missing=True, inst_missing=True) + summary(run, wanted, wanted)
                  + ["click 1002"] + box("Finished!", "Installation complete") + ["wait-exit 0 10"])
    expect_installed(run, wanted)
    lines = run.log()
    via = "http_try: through proxy 127.0.0.1:%d" % proxy_port
    # The list and its signature (each a redirect, then https), and every archive.
    check(sum(1 for l in lines if l == via) == 4 + len(wanted), "not every request went through the proxy")
    check("socket_open: TLS with 127.0.0.1" in lines, "no TLS line")
    with open(proxy_log, "rb") as f:
        seen = f.read()
    check(b"CONNECT 127.0.0.1:%d" % HTTPS_PORT in seen, "the proxy's log shows no CONNECT")
    check(b"GET http://127.0.0.1:%d/quorvin/filelist.txt" % PORT in seen, "the proxy's log shows no plain request")
    run.expect_log_last("exit_app: code is 0", "socket_done")


def signed_rollback(run):
    """A list signed later is installed; then the same list with a signature dated before
    it, served again, is refused: the box, exit 1, and the newer list stays in place."""
    run.make_repo()
    manifest = os.path.join(run.repo, "filelist.txt")
    key = os.path.join(run.args.key_dir, "minisign.key")
    now = int(time.time())
    minisign("-S", "-s", key, "-m", manifest, "-t", "timestamp:%d\texpires:%d" % (now, now + 86400))
    wanted = run.archives(0)
    with nginx(run):
        run.drive(wizard(run, 1051, [1101], missing=True, inst_missing=True) + summary(run, wanted, wanted)
                  + ["click 1002"] + box("Finished!", "Installation complete") + ["wait-exit 0 10"])
    kept = {n: open(os.path.join(run.dl, n), "rb").read() for n in ("filelist.txt", "filelist.txt.minisig")}
    minisign("-S", "-s", key, "-m", manifest, "-t", "timestamp:%d\texpires:%d" % (now - 3600, now + 86400))
    with nginx(run):
        run.drive(wizard(run, 1051, [1101], missing=False, inst_missing=False)
                  + box("Error", NOT_SIGNED) + failed_run())
    check(any("before the one accepted here" in l for l in run.log()), "no replay line")
    for name, data in kept.items():
        check(open(os.path.join(run.dl, name), "rb").read() == data, "%s was replaced" % name)
    check(not [n for n in os.listdir(run.dl) if n.endswith(".new") or n.endswith(".part")],
          "the refused list was left: %s" % os.listdir(run.dl))
    run.expect_log_last("exit_app: code is 1", "socket_done")


def signed_stall(run):
    """An archive's body stops after 10 bytes and the server holds the connection: the
    download fails once 60 s pass without 1,024 bytes, nothing of it is kept."""
    run.make_repo()
    sign(run)
    wanted = run.archives(0)
    stalled = wanted[-1]
    raw = "HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n0123456789" % os.path.getsize(os.path.join(run.repo, stalled))
    with run.fault_server("/quorvin/%s=raw=%s&hold=1" % (stalled, urllib.parse.quote(raw))):
        started = time.time()
        run.drive(wizard(run, 1051, [1101], missing=True, inst_missing=True) + ["wait-caption Info 30", "click 1002"]
                  + box("Error", "See install.log for details", seconds=100) + ["wait-exit 1 10"])
        took = time.time() - started
    check("net_get: the body stalled: fewer than 1024 bytes in 60000 ms, after 10 bytes" in run.log(),
          "no stall line")
    check(60 <= took <= 90, "the run ended %.0f s after the start" % took)
    names = os.listdir(run.dl)
    check(stalled not in names and stalled + ".part" not in names, "the stalled download left %s" % names)
    run.expect_log_last("exit_app: code is 1", "socket_done")


for _fn in (signed_https_proxy, signed_rollback, signed_stall):
    CASES[_fn.__name__] = _fn


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build-dir", required=True)
    p.add_argument("--exe", required=True)
    p.add_argument("--driver", required=True)
    p.add_argument("--repo-tool", required=True)
    p.add_argument("--key-dir", help="minisign.pub and minisign.key of the key built into --exe")
    p.add_argument("--nginx", default="nginx")
    p.add_argument("--check-exe", help="the platform check program (it trusts the tests' authority)")
    p.add_argument("--wine64", metavar="LOADER", help="the 64-bit Wine loader, for the x86-64 build")
    p.add_argument("--list", action="store_true")
    p.add_argument("case", nargs="?")
    args = p.parse_args()
    if args.list or not args.case:
        print("\n".join(CASES))
        return 0
    started = time.time()
    run = Run(args, args.case)
    try:
        CASES[args.case](run)
    except Failure as e:
        print("FAIL %s: %s" % (args.case, e))
        return 1
    print("PASSED %s in %.1f s" % (args.case, time.time() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
