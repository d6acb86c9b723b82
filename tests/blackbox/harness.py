"""Shared pieces of the black-box tests: a private working directory per test, the built
program, fake programs first on PATH, and waiting helpers."""

import json
import os
import shlex
import shutil
import signal
import stat
import subprocess
import tempfile
import time
import unittest

BIN = os.environ.get("HOSTVIGIL_BIN", os.path.join(os.path.dirname(__file__), "../../build/hostvigil"))
BIN = os.path.abspath(BIN)

# The recording curl: see its own description.
FAKE_CURL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fake_curl.py")

# Runs a command as nobody, without root's groups.
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def wait_for(predicate, timeout=10.0, interval=0.05):
    """Polls predicate until it returns a true value or the timeout passes; returns the value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def own_clock(env):
    """env for a run under a faketime of its own: without the time library and settings of a
    faked clock the tests themselves may run under, which faketime does not nest, and with
    the sanitizer told to accept the preloaded library."""
    env = {k: v for k, v in env.items() if not k.startswith("FAKETIME")}
    preload = [p for p in env.pop("LD_PRELOAD", "").split() if "faketime" not in p]
    if preload:
        env["LD_PRELOAD"] = " ".join(preload)
    # An AddressSanitizer build would refuse to start behind the preloaded time library.
    env["ASAN_OPTIONS"] = ":".join(
        o for o in (env.get("ASAN_OPTIONS"), "verify_asan_link_order=0") if o)
    return env


def processes_in(workdir, program_only=False):
    """Process ids whose working directory is workdir: the program's instances, and any
    child they left behind (other tests may run the same program elsewhere meanwhile)."""
    exe = os.path.realpath(BIN)
    cwd = os.path.realpath(workdir)
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if (os.readlink(f"/proc/{entry}/cwd") == cwd
                        and (not program_only or os.readlink(f"/proc/{entry}/exe") == exe)):
                    found.append(int(entry))
            except OSError:
                pass
    return found


def instances_in(workdir):
    return processes_in(workdir, program_only=True)


class WorkDir(unittest.TestCase):
    """A test case that runs the program in its own temporary working directory, with a
    private bin/ folder placed first on PATH for fake programs."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="hv-bb-")
        self.bin_dir = os.path.join(self.dir, "fakebin")
        os.mkdir(self.bin_dir)
        self.work = os.path.join(self.dir, "work")
        os.mkdir(self.work)
        self.env = dict(os.environ)
        self.env["PATH"] = self.bin_dir + os.pathsep + os.environ.get("PATH", "")
        # One zone for every run, whatever the machine's: no daylight-saving change mid-test.
        # A test that needs another zone sets its own.
        self.env["TZ"] = "UTC"
        self.children = []
        self.addCleanup(self._cleanup)

    def _cleanup(self):
        for child in self.children:
            if child.poll() is None:
                child.kill()
                child.wait()
        pid = self.read_pid()
        if pid:
            try:
                if os.path.basename(os.readlink(f"/proc/{pid}/exe")) == os.path.basename(BIN):
                    os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        shutil.rmtree(self.dir, ignore_errors=True)

    # Files of the working directory.
    def path(self, name):
        return os.path.join(self.work, name)

    def write(self, name, text, mode="w"):
        with open(self.path(name), mode) as f:
            f.write(text)

    def read(self, name, mode="r"):
        with open(self.path(name), mode) as f:
            return f.read()

    def exists(self, name):
        return os.path.exists(self.path(name))

    def read_pid(self):
        try:
            with open(self.path("hostvigil.pid")) as f:
                return int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            return 0

    def log_lines(self):
        if not self.exists("hostvigil_log.txt"):
            return []
        return self.read("hostvigil_log.txt").splitlines()

    # Fake programs.
    def fake_program(self, name, script):
        """Puts an executable shell script called name first on PATH."""
        path = os.path.join(self.bin_dir, name)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + script)
        os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
        return path

    def fake_curl(self, exit_code=0, seconds=0):
        """Puts the recording curl first on PATH: every run is recorded, waits seconds, then
        exits with exit_code. exec keeps the pid, so a record's pid is the process the program
        started."""
        self.curl_dir = os.path.join(self.dir, "curl")
        os.makedirs(self.curl_dir, exist_ok=True)
        self.env["HV_CURL_DIR"] = self.curl_dir
        for name, value in (("exit", exit_code), ("seconds", seconds)):
            if value:
                with open(os.path.join(self.curl_dir, name), "w") as f:
                    f.write(str(value))
        self.fake_program("curl", f'exec /usr/bin/python3 -I {shlex.quote(FAKE_CURL)} "$@"\n')

    def curl_calls(self):
        """The recorded curl runs, in the order they started: dicts with "argv" (without the
        program's name), "cwd", "stdin", "files" (name: content) and "pid"."""
        names = sorted(n for n in os.listdir(self.curl_dir) if n.endswith(".json"))
        calls = []
        for name in names:
            with open(os.path.join(self.curl_dir, name), encoding="utf-8") as f:
                calls.append(json.load(f))
        return calls

    def curl_finished(self, pid):
        """Whether the recorded run with this pid got to its end."""
        return os.path.exists(os.path.join(self.curl_dir, f"finished.{pid}"))

    def make_work_read_only(self):
        """Makes the working directory read-only for the user the program runs as; returns the
        command prefix that runs it as that user. Root writes anywhere, so as root that is an
        unprivileged user who may only read and execute; the test is skipped where no user
        without write access can be had."""
        os.chmod(self.work, 0o555)
        self.addCleanup(os.chmod, self.work, 0o755)
        prefix = []
        if os.geteuid() == 0 and shutil.which("setpriv"):
            os.chmod(self.dir, 0o755)
            for name in os.listdir(self.work):
                os.chmod(self.path(name), 0o644)
            prefix = NOBODY
        probe = subprocess.run([*prefix, "/bin/sh", "-c", f"touch '{self.work}/probe'"],
                               stderr=subprocess.DEVNULL)
        if probe.returncode == 0:
            self.skipTest("this user can write to a read-only directory")
        return prefix

    # Running the program.
    def run_hv(self, *args, timeout=60, input=None, prefix=()):
        """Runs the program to its end, after the command prefix if any; returns (exit code,
        standard output)."""
        result = subprocess.run([*prefix, BIN, *args], cwd=self.work, env=self.env, input=input,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
        return result.returncode, result.stdout.decode("utf-8", "replace")

    def start_hv(self, *args):
        """Starts the program in the background with its output in a pipe."""
        child = subprocess.Popen([BIN, *args], cwd=self.work, env=self.env,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.children.append(child)
        return child

    def start_together(self, count, *args):
        """Starts count run modes that exec at the same moment, so that they meet in the
        window between reading and writing the PID file. Each starts as a small Python helper
        that reports on one pipe that it is up, waits on another, then replaces itself by the
        program, so the program's pid is the child's. All are released with one write once
        every helper has reported."""
        go_r, go_w = os.pipe()
        up_r, up_w = os.pipe()
        argv = [BIN, *args]
        helper = (f"import os; os.write({up_w}, b'u'); os.close({up_w}); os.read({go_r}, 1); "
                  f"os.close({go_r}); os.execv({BIN!r}, {argv!r})")
        children = []
        for _ in range(count):
            child = subprocess.Popen(["/usr/bin/python3", "-c", helper], cwd=self.work,
                                     env=self.env, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, pass_fds=(go_r, up_w))
            self.children.append(child)
            self.addCleanup(child.stdout.close)
            children.append(child)
        os.close(go_r)
        os.close(up_w)
        with os.fdopen(up_r, "rb") as up:
            ready = up.read(count)  # whole, or short when a helper died before reporting
        self.assertEqual(len(ready), count, "every helper reported")
        os.write(go_w, b"x" * count)
        os.close(go_w)
        return children

    def stop_child(self, child, sig=signal.SIGTERM, timeout=30):
        """Sends sig and returns (exit code, all output)."""
        child.send_signal(sig)
        out, _ = child.communicate(timeout=timeout)
        return child.returncode, out.decode("utf-8", "replace")
