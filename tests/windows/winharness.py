"""Shared pieces of the Windows black-box tests: hostvigil.exe run under Wine in a private
working directory, with a private folder of fake programs first on the Windows PATH."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "blackbox"))

import harness  # noqa: E402

WINE = os.environ.get("HV_WINE", "wine")
EXE = os.path.abspath(os.environ.get("HOSTVIGIL_EXE", "hostvigil.exe"))
FAKE_TOOL = os.path.abspath(os.environ.get("HV_FAKE_TOOL", "fake_tool.exe"))


def winpath(path):
    """The Windows name Wine gives a Linux path (drive Z: is the Linux root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wait_for(predicate, timeout=20.0, interval=0.1):
    """The black-box tests' polling wait, with more time by default: Wine starts processes
    slowly."""
    return harness.wait_for(predicate, timeout, interval)


class Running:
    """A hostvigil.exe started in the foreground, its output collected as it comes."""

    def __init__(self, process):
        self.process = process
        self._chunks = []
        self._lock = threading.Lock()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for chunk in iter(lambda: self.process.stdout.read1(4096), b""):
            with self._lock:
                self._chunks.append(chunk)

    def output(self):
        with self._lock:
            return b"".join(self._chunks).decode("utf-8", "replace")

    def finish(self, timeout=30):
        """Waits for the end; returns (exit code, all output)."""
        code = self.process.wait(timeout=timeout)
        self._reader.join(timeout)
        self.process.stdout.close()
        return code, self.output()


class WineWorkDir(unittest.TestCase):
    """A test case that runs hostvigil.exe under Wine in its own temporary working directory.
    Fake programs go into a folder that WINEPATH puts first on the Windows PATH."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="hv-win-")
        self.work = os.path.join(self.dir, "work")
        self.bin_dir = os.path.join(self.dir, "fakebin")
        os.mkdir(self.work)
        os.mkdir(self.bin_dir)
        self.env = dict(os.environ)
        self.env["WINEPATH"] = winpath(self.bin_dir)
        self.running = []
        self.addCleanup(self._cleanup)

    def _cleanup(self):
        # A background instance is ended by the program's own -stop, which checks that the
        # recorded process is a hostvigil.exe before it terminates anything.
        if self.exists("hostvigil.pid"):
            self.run_hv("-stop")
        for run in self.running:
            if run.process.poll() is None:
                run.process.kill()
                run.process.wait()
            run.process.stdout.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    # Files of the working directory.
    def path(self, name):
        return os.path.join(self.work, name)

    def write(self, name, text):
        with open(self.path(name), "w", newline="") as f:
            f.write(text)

    def read_bytes(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def exists(self, name):
        return os.path.exists(self.path(name))

    def read_pid(self):
        try:
            return int(self.read_bytes("hostvigil.pid").split()[0])
        except (OSError, ValueError, IndexError):
            return 0

    def log_text(self):
        return self.read_bytes("hostvigil_log.txt").decode("utf-8", "replace") \
            if self.exists("hostvigil_log.txt") else ""

    # Fake programs.
    def fake(self, name):
        """Puts the recording fake program first on PATH as name.exe."""
        shutil.copy(FAKE_TOOL, os.path.join(self.bin_dir, name + ".exe"))

    def fake_calls(self, name):
        """The runs of the fake name.exe so far, oldest first."""
        try:
            with open(os.path.join(self.bin_dir, name + "_calls.jsonl"), encoding="utf-8") as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def set_fake_ping(self, mode):
        """"up": the fake ping gets replies; "down": every request times out."""
        with open(os.path.join(self.bin_dir, "ping_mode.txt.tmp"), "w") as f:
            f.write(mode)
        os.replace(os.path.join(self.bin_dir, "ping_mode.txt.tmp"),
                   os.path.join(self.bin_dir, "ping_mode.txt"))

    def set_fake_exit(self, name, code):
        with open(os.path.join(self.bin_dir, name + "_exit.txt"), "w") as f:
            f.write(str(code))

    # Running the program.
    def run_hv(self, *args, timeout=60):
        """Runs hostvigil.exe to its end; returns (exit code, standard output with its CRs)."""
        result = subprocess.run([WINE, EXE, *args], cwd=self.work, env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                stdin=subprocess.DEVNULL, timeout=timeout)
        return result.returncode, result.stdout.decode("utf-8", "replace")

    def start_hv(self, *args):
        """Starts hostvigil.exe in the foreground with its output collected."""
        process = subprocess.Popen([WINE, EXE, *args], cwd=self.work, env=self.env,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                   stdin=subprocess.DEVNULL)
        run = Running(process)
        self.running.append(run)
        return run

    def host_config(self, hosts, interval=1, fast_retry=1, pingcount=1, extra=""):
        """Writes hostvigil_host.txt: hosts is a list of (host text, lines for that host)."""
        lines = [f'interval : "{interval}"', f'fast_retry_interval : "{fast_retry}"',
                 f'pingcount : "{pingcount}"', 'workers : "2"']
        for host, settings in hosts:
            lines.append(f'host : "{host}"')
            lines.extend(settings or ['timeoutsec : "1"', 'alertcount : "2"',
                                      'tcpfallback : "no"'])
        self.write("hostvigil_host.txt", "\r\n".join(lines) + "\r\n" + extra)
