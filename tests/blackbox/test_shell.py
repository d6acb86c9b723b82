"""The command line, instance control and the PID file."""

import os
import signal
import subprocess
import time

from harness import BIN, WorkDir, instances_in, wait_for

MONITOR = 'interval : "1"\nfast_retry_interval : "1"\npingcount : "1"\n'
# A host to watch: run mode does not start without one.
HOST = 'host : "127.0.0.1"\ntimeoutsec : "1"\ntcpfallback : "no"\n'

USAGE_TAIL = """Usage:
  {p} -start
  {p} -stop
  {p} -status
  {p} -summary
  {p} -check
  {p} -test
  {p} -s
  {p} -install [NAME] | -uninstall [NAME]
  {p} -h | --help

Options:
  -start        Start in background mode
  -stop         Stop running instance
  -status       Show running status
  -summary      Show every host's state, since when, round trip and uptime
  -check        Validate config file format
  -test         Send test email / Telegram / Teams alert
  -s            Silent mode
  -install      Install a Windows service running here (NAME: hostvigil)
  -uninstall    Stop and remove the Windows service (NAME: hostvigil)
  -h, --help    Show this help

Config note:
  workers : "2"    Concurrent host checks, valid range 1-50, default 2
"""


class ShellCase(WorkDir):
    def write_configs(self):
        self.write("hostvigil_host.txt", MONITOR + HOST)
        # Without an alert file the loader prints its own notice, which -s never mutes.
        self.write("hostvigil_email.txt", "# no channels configured\n")


class UsageAndArguments(ShellCase):
    def test_help_prints_usage_with_program_as_typed(self):
        for flag in ("-h", "--help"):
            rc, out = self.run_hv(flag)
            self.assertEqual(rc, 0)
            self.assertTrue(out.startswith("\nHOSTVIGIL Linux Version 1.0 "), out)
            banner, rest = out[1:].split("\n\n", 1)
            self.assertNotIn("\n", banner)
            self.assertEqual(rest, USAGE_TAIL.format(p=BIN))

    def test_first_command_wins_and_silent_never_mutes_commands(self):
        for args in (["-s", "-status"], ["-status", "-s"], ["-status", "-stop"], ["/start", "-Status", "-status"]):
            rc, out = self.run_hv(*args)
            self.assertEqual((rc, out), (0, "hostvigil not running\n"), args)
        rc, out = self.run_hv("-stop", "-start")
        self.assertEqual((rc, out), (0, "hostvigil not running\n"))

    def test_unrecognised_arguments_start_run_mode(self):
        rc, out = self.run_hv("-help", "start")
        self.assertEqual((rc, out), (1, "hostvigil_host.txt is not existed\n"))
        self.assertFalse(self.exists("hostvigil.pid"))


class PidFileCommands(ShellCase):
    def dead_pid(self):
        child = subprocess.Popen(["true"])
        child.wait()
        return child.pid

    def test_status_and_stop_on_recorded_pids(self):
        sleeper = subprocess.Popen(["sleep", "30"])
        self.children.append(sleeper)
        cases = [
            # content, -status output, -stop output, file left after -stop
            ("garbage\n", "hostvigil not running\n", "hostvigil not running\n", True),
            ("0\n", "hostvigil not running\n", "hostvigil not running\n", True),
            (f"{self.dead_pid()}\n", "hostvigil pid file exists but process dead\n",
             "hostvigil pid file exists but process not alive\n", False),
            # A live process of another program is no instance: never signalled.
            (f"{sleeper.pid} trailing\n", "hostvigil pid file exists but process dead\n",
             "hostvigil pid file exists but process not alive\n", False),
        ]
        for content, status, stop, kept in cases:
            self.write("hostvigil.pid", content)
            self.assertEqual(self.run_hv("-status"), (0, status), content)
            self.assertEqual(self.read("hostvigil.pid"), content)
            self.assertEqual(self.run_hv("-stop"), (0, stop), content)
            self.assertEqual(self.exists("hostvigil.pid"), kept, content)
        self.assertIsNone(sleeper.poll())

    def test_run_mode_replaces_a_stale_or_garbage_pid_file(self):
        self.write_configs()
        for content in ("garbage\n", f"{self.dead_pid()}\n"):
            self.write("hostvigil.pid", content)
            child = self.start_hv()
            self.assertTrue(wait_for(lambda: self.read_pid() == child.pid))
            rc, _ = self.stop_child(child)
            self.assertEqual(rc, 0)
            self.assertFalse(self.exists("hostvigil.pid"))


    def test_pid_file_where_write_locks_need_a_writable_descriptor(self):
        # NFS refuses an exclusive flock through a descriptor opened for reading only; the
        # preloaded shim makes every file behave that way.
        shim = os.environ.get("HOSTVIGIL_LOCK_SHIM")
        if not shim or not os.path.exists(shim):
            self.skipTest("the locking shim is not built")
        self.env["LD_PRELOAD"] = shim
        # A sanitizer runtime then no longer loads first, which it takes for a broken build.
        self.env["ASAN_OPTIONS"] = ":".join(
            filter(None, [os.environ.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
        self.write_configs()
        self.write("hostvigil.pid", f"{self.dead_pid()}\n")
        self.assertEqual(self.run_hv("-stop"),
                         (0, "hostvigil pid file exists but process not alive\n"))
        self.assertFalse(self.exists("hostvigil.pid"))
        child = self.start_hv("-s")
        self.assertTrue(wait_for(lambda: self.read_pid() == child.pid or child.poll() is not None))
        self.assertEqual(self.run_hv("-status"), (0, f"hostvigil running pid {child.pid}\n"))
        self.assertEqual(self.run_hv(), (1, "hostvigil already running\n"))
        self.assertEqual(self.run_hv("-stop"), (0, "hostvigil stopped\n"))
        self.assertEqual(child.wait(timeout=15), 0)


class BackgroundInstance(ShellCase):
    def test_start_status_stop(self):
        self.write_configs()
        rc, out = self.run_hv("-start")
        pid = self.read_pid()
        self.assertTrue(pid)
        # -start answers only once the instance holds its PID file.
        self.assertEqual((rc, out), (0, f"hostvigil started pid {pid}\n"))
        self.assertEqual(self.run_hv("-status"), (0, f"hostvigil running pid {pid}\n"))
        # A second start is refused by the new process itself, and -start says so.
        self.assertEqual(self.run_hv("-start"), (1, "hostvigil already running\n"))
        self.assertEqual(self.read_pid(), pid)
        self.assertEqual(self.run_hv("-stop"), (0, "hostvigil stopped\n"))
        self.assertFalse(self.exists("hostvigil.pid"))
        self.assertFalse(os.path.exists(f"/proc/{pid}/exe"))
        self.assertEqual(self.run_hv("-status"), (0, "hostvigil not running\n"))

    def test_start_that_fails_reports_the_instances_own_error(self):
        # Missing configuration: the instance's own message, and exit code 1.
        self.assertEqual(self.run_hv("-start"), (1, "hostvigil_host.txt is not existed\n"))
        self.assertFalse(self.exists("hostvigil.pid"))
        # A PID path that is no file.
        self.write_configs()
        os.mkdir(self.path("hostvigil.pid"))
        self.assertEqual(self.run_hv("-start"), (1, "Unable to write pid file hostvigil.pid\n"))
        self.assertTrue(os.path.isdir(self.path("hostvigil.pid")))

    def test_second_run_mode_is_refused(self):
        self.write_configs()
        first = self.start_hv()
        self.assertTrue(wait_for(lambda: self.read_pid() == first.pid))
        self.assertEqual(self.run_hv(), (1, "hostvigil already running\n"))
        self.assertEqual(self.read_pid(), first.pid)
        rc, out = self.stop_child(first, signal.SIGINT)
        self.assertEqual(rc, 0)
        self.assertIn("Targets: 1  Interval: 1 sec  FastRetry: 1 sec  PingCount: 1  Workers: 2\n\n", out)
        self.assertFalse(self.exists("hostvigil.pid"))

    def test_simultaneous_starts_leave_one_instance(self):
        self.write_configs()
        # Comment lines the loader reads between an instance's first look at the PID file and
        # its claim: a window of some milliseconds in which every start meets the others.
        self.write("hostvigil_host.txt", MONITOR + "# padding\n" * 200000 + HOST)
        children = self.start_together(6)
        # Every loser ends on its own; the winner keeps running.
        self.assertTrue(wait_for(lambda: sum(c.poll() is None for c in children) <= 1, timeout=30))
        running = [c for c in children if c.poll() is None]
        self.assertEqual(len(running), 1)
        for c in children:
            if c is not running[0]:
                self.assertEqual(c.returncode, 1)
                self.assertEqual(c.stdout.read().decode(), "hostvigil already running\n")
        self.assertEqual(self.read_pid(), running[0].pid)
        # The winner is this test's child and stays unreaped until wait(): once it ends it is a
        # zombie, which -stop must take for ended rather than wait out its bound.
        began = time.monotonic()
        self.assertEqual(self.run_hv("-stop"), (0, "hostvigil stopped\n"))
        self.assertLess(time.monotonic() - began, 5, "-stop of an idle instance")
        self.assertEqual(running[0].wait(timeout=15), 0)
        self.assertFalse(self.exists("hostvigil.pid"))

    def test_silent_run_prints_nothing(self):
        self.write_configs()
        self.write("hostvigil_host.txt", MONITOR + 'host : "127.0.0.1"\ntcpfallback : "no"\n')
        calls = os.path.join(self.dir, "ping.calls")
        self.fake_program("ping", f'echo >> "{calls}"\n'
                                  'echo "1 packets transmitted, 1 received, 0% packet loss"\n')
        child = self.start_hv("-s")
        # The second check starts a second round: the first one, its wait included, is over.
        self.assertTrue(wait_for(lambda: os.path.exists(calls) and os.path.getsize(calls) >= 2,
                                 timeout=20))
        rc, out = self.stop_child(child)
        self.assertEqual((rc, out), (0, ""))

    def test_unwritable_directory_refuses_to_run(self):
        self.write_configs()
        prefix = self.make_work_read_only()
        self.assertEqual(self.run_hv(prefix=prefix), (1, "Unable to write pid file hostvigil.pid\n"))
