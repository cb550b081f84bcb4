#!/usr/bin/env python3
"""Runs quorvin.exe under Wine on a private Xvfb display and drives it with qvdrive.

  run_wine_test.py --init --build-dir DIR
      Creates the Wine prefix of this test run afresh (DIR/wine/prefix, ~15 s).
  run_wine_test.py --build-dir DIR --exe quorvin.exe --driver qvdrive.exe SCENARIO.qvs
      Copies the program into a fresh directory (its install.log lies beside it),
      runs the scenario, and keeps screenshots and the log in DIR/artifacts.
  run_wine_test.py --build-dir DIR --program CHECK.exe [--tls-servers]
      Runs a console program in a fresh directory; its exit code is the result.
      --tls-servers starts qvserve with each certificate of tests/tls/make_test_ca.sh
      and gives the program "tls CA.pem GOOD WRONGNAME EXPIRED UNKNOWN" (ports).

  --wine64 LOADER (with any of the above) runs the x86-64 build's programs with
  that loader (/usr/lib/wine/wine64) in a 64-bit prefix: "wine" takes the 32-bit
  loader whenever it is installed, and that cannot start where the kernel runs
  no 32-bit program.

Every run gets its own X server and ends with the Wine server stopped, so runs
do not disturb each other or the desktop. The exit code is the driver's.
"""
import argparse
import contextlib
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

SCREEN = "1024x768x24"
HERE = os.path.dirname(os.path.abspath(__file__))


def wine_env(build_dir, display, loader=None):
    env = dict(os.environ)
    env.update({
        "WINEPREFIX": os.path.join(build_dir, "wine", "prefix"),
        # No add-on installers (Mono, Gecko) asking anything on the first start.
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
        "WINEDEBUG": "-all",
        "DISPLAY": display,
    })
    if loader:
        env.update({"WINEARCH": "win64", "WINELOADER": loader})
    return env


def wine(loader):
    """The command that starts a Windows program: the given loader, or Wine's wrapper."""
    return [loader or "wine"]


class Xvfb:
    """A private X server on a display number that it picks itself."""

    def __enter__(self):
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", SCREEN, "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        number = b""
        deadline = time.time() + 15
        while not number.endswith(b"\n") and time.time() < deadline:
            chunk = os.read(read_fd, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_fd)
        if not number.strip():
            self.proc.kill()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode().strip()
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def stop_wineserver(env):
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=30)
    subprocess.run(["wineserver", "-w"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=30)


def windows_path(path):
    # Wine's drive Z: is the Unix root.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def init_prefix(build_dir, loader=None):
    build_dir = os.path.abspath(build_dir)  # Wine wants an absolute prefix
    prefix = os.path.join(build_dir, "wine", "prefix")
    ready = os.path.join(prefix, ".quorvin-ready")
    if os.environ.get("QUORVIN_WINE_KEEP_PREFIX") and os.path.exists(ready):
        print("reusing", prefix)
        return 0
    shutil.rmtree(prefix, ignore_errors=True)
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    started = time.time()
    with Xvfb() as x:
        env = wine_env(build_dir, x.display, loader)
        try:
            subprocess.run(wine(loader) + ["wineboot", "-i"], env=env, check=True, timeout=180,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            # With no window manager on Xvfb, Wine draws the title bars itself,
            # so that screenshots show the caption and the close box.
            # Unmanaged windows: otherwise Wine waits for the absent window manager
            # (about 2 s) each time a window such as a message box goes away.
            for value in ("Decorated", "Managed"):
                subprocess.run(wine(loader) + ["reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v",
                                value, "/t", "REG_SZ", "/d", "N", "/f"], env=env, check=True,
                               timeout=60, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        finally:
            stop_wineserver(env)
    open(ready, "w").close()
    print("Wine prefix %s ready in %.1f s" % (prefix, time.time() - started))
    return 0


def screenshot(display, out_png, geometry):
    cmd = ["import", "-display", display, "-window", "root"]
    x, y, w, h = geometry
    if w > 0 and h > 0:
        cmd += ["-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage"]
    subprocess.run(cmd + [out_png], timeout=30, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    print("screenshot", out_png if os.path.exists(out_png) else "(failed)")


def fresh_run_dir(build_dir, name, program):
    """A new directory holding a copy of program, or None without a prefix."""
    if not os.path.exists(os.path.join(build_dir, "wine", "prefix", ".quorvin-ready")):
        print("no Wine prefix: run the wine_prefix test (or --init) first")
        return None
    run_dir = os.path.join(build_dir, "wine", "runs", name)
    shutil.rmtree(run_dir, ignore_errors=True)
    os.makedirs(run_dir)
    shutil.copy2(program, run_dir)
    return run_dir


@contextlib.contextmanager
def tls_servers(build_dir):
    """qvserve over TLS with each test certificate; yields the program's arguments."""
    ca_dir = os.path.join(build_dir, "tls-ca")
    subprocess.run(["bash", os.path.join(HERE, "..", "tls", "make_test_ca.sh"), ca_dir],
                   check=True, timeout=120)
    servers, ports = [], []
    try:
        for name in ("good", "wrongname", "expired", "unknown"):
            cert = os.path.join(ca_dir, name)
            proc = subprocess.Popen([sys.executable, os.path.join(HERE, "..", "server", "qvserve.py"),
                                     "--tls", cert + ".pem", cert + ".key"],
                                    stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
            servers.append(proc)
            ports.append(proc.stdout.readline().decode().strip())
        yield ["tls", windows_path(os.path.join(ca_dir, "ca.pem"))] + ports
    finally:
        for proc in servers:
            proc.kill()
            proc.wait()


def run_program(args):
    build_dir = os.path.abspath(args.build_dir)
    name = os.path.splitext(os.path.basename(args.program))[0]
    run_dir = fresh_run_dir(build_dir, name, args.program)
    if not run_dir:
        return 1
    with Xvfb() as x:
        return run_in(wine_env(build_dir, x.display, args.wine64),
                      wine(args.wine64) + [os.path.basename(args.program)], run_dir, args)


def run_in(env, command, run_dir, args):
    started = time.time()
    try:
        with tls_servers(os.path.abspath(args.build_dir)) if args.tls_servers \
                else contextlib.nullcontext([]) as extra:
            rc = subprocess.run(command + extra, env=env, cwd=run_dir, timeout=args.timeout).returncode
    except subprocess.TimeoutExpired:
        print("%s killed after %d s" % (command[-1], args.timeout))
        rc = 1
    finally:
        stop_wineserver(env)
    print("%s: exit code %d, %.1f s" % (command[-1], rc, time.time() - started))
    return 0 if rc == 0 else 1


def drive(build_dir, run_dir, exe, driver, script, name, timeout, loader=None, extra_env=None):
    """Runs qvdrive with script against exe (in run_dir); its exit code, negative if killed.

    Screenshots and install.log are kept in build_dir/artifacts under name. loader:
    as --wine64. extra_env: variables set for this run only (a locale)."""
    artifacts = os.path.join(build_dir, "artifacts")
    os.makedirs(artifacts, exist_ok=True)
    started = time.time()
    with Xvfb() as x:
        env = wine_env(build_dir, x.display, loader)
        env.update(extra_env or {})
        proc = subprocess.Popen(
            wine(loader) + [os.path.abspath(driver), "--shots", windows_path(exe), windows_path(script)],
            env=env, cwd=run_dir, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, start_new_session=True)
        # A hung program or driver must not hang the test: the watchdog ends it.
        timer = threading.Timer(timeout, lambda: os.killpg(proc.pid, signal.SIGKILL))
        timer.start()
        try:
            for raw in proc.stdout:
                line = raw.decode("latin-1").rstrip("\r\n")
                print(line, flush=True)
                if line.startswith("@screenshot "):
                    parts = line.split()
                    geometry = [int(v) for v in parts[2:6]] if len(parts) >= 6 else [0, 0, 0, 0]
                    screenshot(x.display, os.path.join(artifacts, "%s-%s.png" % (name, parts[1])),
                               geometry)
                    proc.stdin.write(b"\n")
                    proc.stdin.flush()
            rc = proc.wait()
        finally:
            timer.cancel()
            stop_wineserver(env)
    if rc < 0:
        print("driver killed after %d s" % timeout)
    log = os.path.join(os.path.dirname(exe), "install.log")
    if os.path.exists(log):
        shutil.copy2(log, os.path.join(artifacts, "%s-install.log" % name))
    print("%s: driver exit code %d, %.1f s" % (name, rc, time.time() - started))
    return rc


def run_scenario(args):
    name = os.path.splitext(os.path.basename(args.scenario))[0]
    build_dir = os.path.abspath(args.build_dir)
    run_dir = fresh_run_dir(build_dir, name, args.exe)
    if not run_dir:
        return 1
    exe = os.path.join(run_dir, os.path.basename(args.exe))
    rc = drive(build_dir, run_dir, exe, args.driver, args.scenario, name, args.timeout, args.wine64)
    return 0 if rc == 0 else 1


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build-dir", required=True)
    p.add_argument("--init", action="store_true")
    p.add_argument("--exe")
    p.add_argument("--driver")
    p.add_argument("--program")
    p.add_argument("--tls-servers", action="store_true")
    p.add_argument("--wine64", metavar="LOADER")
    p.add_argument("--timeout", type=int, default=120)
    p.add_argument("scenario", nargs="?")
    args = p.parse_args()
    if args.init:
        return init_prefix(args.build_dir, args.wine64)
    if args.program:
        return run_program(args)
    if not (args.exe and args.driver and args.scenario):
        p.error("--exe, --driver and a scenario are needed")
    return run_scenario(args)


if __name__ == "__main__":
    sys.exit(main())
