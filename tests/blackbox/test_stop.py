"""Stopping and identifying the instance: -stop lets a send in flight finish and never kills,
the PID file's lock is what says "running", and an instance is never taken for another
directory's or another user's."""

import os
import signal
import stat
import subprocess
import time

from harness import BIN, NOBODY, WorkDir, own_clock, wait_for

# A host that is down on cue, checked every second.
DOWN_PING = 'echo "1 packets transmitted, 0 received, 100% packet loss, time 0ms"\n'

MONITOR = 'interval : "30"\nfast_retry_interval : "1"\npingcount : "1"\n'
ALERTS = """server : "smtp://127.0.0.1:2525"
email : "hv@example.org"
password : "pw"
to : "ops@example.org"
"""


class StopCase(WorkDir):
    def write_configs(self, hosts=("127.0.0.1",), work=None):
        text = MONITOR + "".join(
            f'host : "{h}"\ntimeoutsec : "1"\nalertcount : "1"\ntcpfallback : "no"\n' for h in hosts)
        for name, content in (("hostvigil_host.txt", text), ("hostvigil_email.txt", ALERTS)):
            with open(os.path.join(work or self.work, name), "w") as f:
                f.write(content)

    def start_instance(self, work=None):
        child = subprocess.Popen([BIN, "-s"], cwd=work or self.work, env=self.env,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.children.append(child)
        pid_file = os.path.join(work or self.work, "hostvigil.pid")
        self.assertTrue(wait_for(lambda: self.pid_in(pid_file) == child.pid))
        return child

    @staticmethod
    def pid_in(path):
        try:
            with open(path) as f:
                return int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            return 0

    def run_in(self, work, *args, prefix=()):
        result = subprocess.run([*prefix, BIN, *args], cwd=work, env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=200)
        return result.returncode, result.stdout.decode()

    def timed_stop(self):
        began = time.monotonic()
        rc, out = self.run_hv("-stop", timeout=200)
        return rc, out, time.monotonic() - began


class OrderlyStop(StopCase):
    def test_stop_waits_for_the_send_in_flight_and_kills_nothing(self):
        self.fake_program("ping", DOWN_PING)
        self.fake_curl(seconds=12)
        self.write_configs(["127.0.0.1"])
        child = self.start_instance()
        self.assertTrue(wait_for(self.curl_calls, timeout=20))
        curl_pid = self.curl_calls()[0]["pid"]

        rc, out, seconds = self.timed_stop()
        print(f"\n-stop with a 12 s send in flight took {seconds:.1f} s")
        self.assertEqual(rc, 0, out)
        self.assertRegex(out, r"^Waiting for hostvigil pid \d+ to finish its sends \.+\n"
                              r"hostvigil stopped\n$")
        self.assertEqual(child.wait(timeout=5), 0)
        # The send ran to its end, and nothing of it is left behind.
        self.assertTrue(self.curl_finished(curl_pid))
        self.assertFalse(os.path.exists(f"/proc/{curl_pid}"))
        self.assertFalse(self.exists("hostvigil.pid"))
        self.assertEqual([n for n in os.listdir(self.work) if n.startswith("pingmailtext")], [])
        self.assertTrue(any("***Alert sending" in line for line in self.log_lines()),
                        self.log_lines())

    def test_stop_gives_up_after_its_bound_and_leaves_the_instance_running(self):
        # A frozen instance gets the request but cannot act on it yet; the clocks of -stop run
        # a hundred times fast, so its 150 s pass in a few seconds.
        self.write_configs()
        child = self.start_instance()
        os.kill(child.pid, signal.SIGSTOP)
        try:
            result = subprocess.run(["faketime", "-f", "+0 x100", BIN, "-stop"], cwd=self.work,
                                    env=own_clock(self.env), stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, timeout=120)
        finally:
            os.kill(child.pid, signal.SIGCONT)
        out = result.stdout.decode()
        self.assertEqual(result.returncode, 1, out)
        self.assertRegex(out, rf"^Waiting for hostvigil pid {child.pid} to finish its sends \.+\n"
                              rf"hostvigil pid {child.pid} has not stopped after 150 s; "
                              r"it was left running, not killed\n$")
        # It was asked all the same, and stops in order once it runs again.
        self.assertEqual(child.wait(timeout=15), 0)
        self.assertFalse(self.exists("hostvigil.pid"))

    def test_idle_instance_stops_at_once(self):
        self.write_configs()
        child = self.start_instance()
        rc, out, seconds = self.timed_stop()
        print(f"\n-stop of an idle instance took {seconds:.2f} s")
        self.assertEqual((rc, out), (0, "hostvigil stopped\n"))
        # A correctness bound, not a speed test: it did not sit out the 30 s interval.
        self.assertLess(seconds, 10)
        self.assertEqual(child.wait(timeout=5), 0)
        self.assertFalse(self.exists("hostvigil.pid"))


def running(pid):
    """Whether pid names a process that has not ended (a zombie has)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except (OSError, IndexError):
        return False


class KilledDuringSend(StopCase):
    def test_child_dies_with_the_instance_and_a_new_start_sweeps_its_file(self):
        self.fake_program("ping", DOWN_PING)
        self.fake_curl(seconds=60)
        self.write_configs(["127.0.0.1"])
        # A message file of a live process (this test) is never taken for a leftover.
        live_file = f"pingmailtext-{os.getpid()}-1.txt"
        self.write(live_file, "live\n")
        child = self.start_instance()
        self.assertTrue(wait_for(self.curl_calls, timeout=20))
        curl_pid = self.curl_calls()[0]["pid"]
        left = [n for n in os.listdir(self.work)
                if n.startswith(f"pingmailtext-{child.pid}-") and n.endswith(".txt")]
        self.assertEqual(len(left), 1, os.listdir(self.work))

        child.kill()
        child.wait()
        self.assertTrue(wait_for(lambda: not running(curl_pid), timeout=10),
                        "curl outlived the killed instance")
        self.assertFalse(self.curl_finished(curl_pid))
        self.assertTrue(self.exists(left[0]))

        os.remove(os.path.join(self.curl_dir, "seconds"))
        self.start_instance()
        self.assertTrue(wait_for(lambda: not self.exists(left[0])), os.listdir(self.work))
        self.assertTrue(self.exists(live_file))
        self.assertEqual(self.run_hv("-stop", timeout=200)[0], 0)


class Identity(StopCase):
    def test_pid_files_that_name_each_others_instance(self):
        other = os.path.join(self.dir, "other")
        stale = os.path.join(self.dir, "stale")
        os.mkdir(other)
        os.mkdir(stale)
        self.write_configs()
        self.write_configs(work=other)
        self.write_configs(work=stale)
        mine = self.start_instance()
        theirs = self.start_instance(other)
        # Each file now names the other directory's instance; the locks stay where they were.
        for work, pid in ((self.work, theirs.pid), (other, mine.pid)):
            with open(os.path.join(work, "hostvigil.pid"), "r+") as f:
                f.write(f"{pid}\n")
                f.truncate()
        # A directory whose instance died long ago, with its number reused by a live one.
        with open(os.path.join(stale, "hostvigil.pid"), "w") as f:
            f.write(f"{mine.pid}\n")

        self.assertEqual(self.run_in(self.work, "-status"), (0, f"hostvigil running pid {mine.pid}\n"))
        self.assertEqual(self.run_in(stale, "-status"),
                         (0, f"hostvigil not running here (pid {mine.pid} in hostvigil.pid is "
                             "another instance's)\n"))
        self.assertEqual(self.run_in(stale, "-stop"),
                         (0, "hostvigil pid file exists but process not alive\n"))
        self.assertFalse(os.path.exists(os.path.join(stale, "hostvigil.pid")))
        self.assertIsNone(mine.poll())

        self.assertEqual(self.run_in(self.work, "-stop"), (0, "hostvigil stopped\n"))
        self.assertEqual(mine.wait(timeout=5), 0)
        self.assertIsNone(theirs.poll())
        self.assertEqual(self.run_in(other, "-status"), (0, f"hostvigil running pid {theirs.pid}\n"))
        self.assertEqual(self.run_in(other, "-stop"), (0, "hostvigil stopped\n"))
        self.assertEqual(theirs.wait(timeout=5), 0)

    def test_stop_signals_only_a_process_that_holds_the_file(self):
        # In a PID namespace of its own -stop cannot learn from the system who holds the lock,
        # and the file names a process there that holds nothing: it must not be signalled.
        if subprocess.run(["unshare", "--pid", "--fork", "--mount-proc", "true"],
                          stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("cannot make a PID namespace here")
        self.write_configs()
        child = self.start_instance()
        script = ('sleep 300 & echo $! > hostvigil.pid; "$0" -stop; echo "rc=$?"; '
                  'kill -0 $! && echo "sleep alive"; kill $!')
        result = subprocess.run(["unshare", "--pid", "--fork", "--mount-proc", "/bin/sh", "-c",
                                 script, BIN], cwd=self.work, env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        self.assertRegex(result.stdout.decode(),
                         r"^Unable to stop hostvigil pid (\d+): it does not hold hostvigil.pid\n"
                         r"rc=1\nsleep alive\n$")
        self.assertIsNone(child.poll())
        # Seen from here, the system names the holder whatever the file says.
        self.assertEqual(self.run_hv("-stop"), (0, "hostvigil stopped\n"))
        self.assertEqual(child.wait(timeout=5), 0)

    def test_pid_paths_that_are_not_files_are_left_alone(self):
        self.write_configs()
        target = os.path.join(self.dir, "target")
        with open(target, "w") as f:
            f.write("keep me\n")
        cases = {
            "directory": lambda p: os.mkdir(p),
            "symbolic link": lambda p: os.symlink(target, p),
            "dangling link": lambda p: os.symlink(os.path.join(self.dir, "nowhere"), p),
            "named pipe": lambda p: os.mkfifo(p),
        }
        path = self.path("hostvigil.pid")
        for name, make in cases.items():
            with self.subTest(name):
                make(path)
                before = os.lstat(path)
                self.assertEqual(self.run_hv(timeout=10), (1, "Unable to write pid file hostvigil.pid\n"))
                self.assertEqual(self.run_hv("-status"), (0, "hostvigil not running\n"))
                self.assertEqual(self.run_hv("-stop"), (0, "hostvigil not running\n"))
                after = os.lstat(path)
                self.assertEqual((before.st_mode, before.st_ino), (after.st_mode, after.st_ino))
                if os.path.isdir(path) and not os.path.islink(path):
                    os.rmdir(path)
                else:
                    os.unlink(path)
        with open(target) as f:
            self.assertEqual(f.read(), "keep me\n")
        self.assertEqual([n for n in os.listdir(self.work) if "pid" in n], [])

    def test_pid_file_is_readable_by_all_whatever_the_umask(self):
        self.write_configs()
        # A file left by an earlier instance with owner-only access is opened up as well.
        self.write("hostvigil.pid", "1\n")
        os.chmod(self.path("hostvigil.pid"), 0o600)
        child = subprocess.Popen([BIN, "-s"], cwd=self.work, env=self.env,
                                 preexec_fn=lambda: os.umask(0o077),
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.children.append(child)
        self.assertTrue(wait_for(lambda: self.read_pid() == child.pid))
        self.assertEqual(stat.S_IMODE(os.stat(self.path("hostvigil.pid")).st_mode), 0o644)
        self.assertEqual(self.run_hv("-stop"), (0, "hostvigil stopped\n"))

    def test_another_users_instance_is_reported_running_and_not_stopped(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to run the commands as another user")
        os.chmod(self.dir, 0o755)
        os.chmod(self.work, 0o755)
        self.write_configs()
        child = self.start_instance()
        as_nobody = dict(prefix=NOBODY)
        self.assertEqual(self.run_in(self.work, "-status", **as_nobody),
                         (0, f"hostvigil running (pid {child.pid}, owned by another user)\n"))
        self.assertEqual(self.run_in(self.work, "-stop", **as_nobody),
                         (1, f"Unable to stop hostvigil pid {child.pid}: it belongs to another user\n"))
        self.assertEqual(self.run_in(self.work, **as_nobody), (1, "hostvigil already running\n"))
        self.assertIsNone(child.poll())
        self.assertEqual(self.read_pid(), child.pid)
        self.assertEqual(self.run_hv("-stop"), (0, "hostvigil stopped\n"))
        self.assertEqual(child.wait(timeout=5), 0)


if __name__ == "__main__":
    import unittest
    unittest.main()
