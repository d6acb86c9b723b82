"""hostvigil.exe under Wine: usage text, instance control on a real background instance, and
run mode against 127.0.0.1 with the system's own ping.exe."""

import os
import shutil
import signal
import subprocess
import unittest

from winharness import FAKE_TOOL, WINE, WineWorkDir, wait_for


class Usage(WineWorkDir):
    def test_usage_names_windows_and_ends_lines_with_crlf(self):
        for flag in ("-h", "--help"):
            code, out = self.run_hv(flag)
            self.assertEqual(code, 0)
            self.assertTrue(out.startswith("\r\nHOSTVIGIL Windows Version 1.0"), out[:80])
            self.assertIn("\r\nUsage:\r\n", out)
            self.assertIn("  -check        Validate config file format\r\n", out)
            # Every line ends in CR LF: no bare LF anywhere.
            self.assertEqual(out.count("\n"), out.count("\r\n"))
            self.assertTrue(out.endswith("\r\n"))


class InstanceControl(WineWorkDir):
    def test_start_status_stop_of_a_background_instance(self):
        self.host_config([("127.0.0.1", None)], interval=5)
        self.assertEqual(self.run_hv("-status"), (0, "hostvigil not running\r\n"))

        code, out = self.run_hv("-start")
        pid = self.read_pid()
        self.assertTrue(pid, "the background instance wrote no PID file")
        # -start answers only once the instance holds its PID file, and passes on what the
        # instance said on its way (there is no alert file).
        self.assertEqual((code, out), (0, "hostvigil_email.txt is not existed. It is unable to "
                                          f"send email alerts\r\nhostvigil started pid {pid}\r\n"))
        # The PID file is written in text mode.
        self.assertEqual(self.read_bytes("hostvigil.pid"), f"{pid}\r\n".encode())
        self.assertEqual(self.run_hv("-status"), (0, f"hostvigil running pid {pid}\r\n"))

        # A second instance in the same folder is refused and leaves the file alone; -start
        # passes the refusal on.
        self.assertEqual(self.run_hv(), (1, "hostvigil already running\r\n"))
        self.assertEqual(self.run_hv("-start"), (1, "hostvigil already running\r\n"))
        self.assertEqual(self.read_pid(), pid)

        self.assertEqual(self.run_hv("-stop"), (0, "hostvigil stopped\r\n"))
        self.assertFalse(self.exists("hostvigil.pid"))
        self.assertEqual(self.run_hv("-status"), (0, "hostvigil not running\r\n"))
        self.assertEqual(self.run_hv("-stop"), (0, "hostvigil not running\r\n"))

    def test_pid_files_that_name_no_instance(self):
        cases = [
            # content, -status, -stop, file left after -stop
            (b"garbage\r\n", "hostvigil not running\r\n", "hostvigil not running\r\n", True),
            (b"0\r\n", "hostvigil not running\r\n", "hostvigil not running\r\n", True),
            (b"4000000\r\n", "hostvigil pid file exists but process dead\r\n",
             "hostvigil pid file exists but process not alive\r\n", False),
        ]
        for content, status, stop, kept in cases:
            with self.subTest(content=content):
                with open(self.path("hostvigil.pid"), "wb") as f:
                    f.write(content)
                self.assertEqual(self.run_hv("-status"), (0, status))
                self.assertEqual(self.run_hv("-stop"), (0, stop))
                self.assertEqual(self.exists("hostvigil.pid"), kept)

    def test_a_live_process_of_another_program_is_not_an_instance(self):
        # The fake program waits for the end of its input, so it runs until told.
        self.fake("sleeper")
        other = subprocess.Popen([WINE, os.path.join(self.bin_dir, "sleeper.exe")],
                                 cwd=self.work, env=self.env, stdin=subprocess.PIPE,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            pid_file = os.path.join(self.bin_dir, "sleeper.pid")
            self.assertTrue(wait_for(lambda: os.path.exists(pid_file)))
            with open(pid_file) as f:
                pid = int(f.read())
            with open(self.path("hostvigil.pid"), "w") as f:
                f.write(f"{pid}\n")
            self.assertEqual(self.run_hv("-status"),
                             (0, "hostvigil pid file exists but process dead\r\n"))
            self.assertEqual(self.run_hv("-stop"),
                             (0, "hostvigil pid file exists but process not alive\r\n"))
            self.assertFalse(self.exists("hostvigil.pid"))
            self.assertIsNone(other.poll(), "-stop ended another program")
        finally:
            other.stdin.close()
            other.wait(timeout=30)


class RunMode(WineWorkDir):
    def test_monitors_localhost_with_the_system_ping(self):
        self.host_config([("127.0.0.1", None)], interval=1)
        # The working directory is never searched for a program.
        shutil.copy(FAKE_TOOL, self.path("ping.exe"))
        run = self.start_hv()
        line = "[127.0.0.1] Ping OK 127.0.0.1 received=1/1\r\n"
        self.assertTrue(wait_for(lambda: run.output().count(line) >= 2, timeout=60),
                        run.output())
        self.assertIn("HOSTVIGIL Windows Version 1.0", run.output())
        pid = self.read_pid()
        self.assertTrue(pid)
        self.assertEqual(self.run_hv("-stop"), (0, "hostvigil stopped\r\n"))
        code, _ = run.finish()
        self.assertEqual(code, 0)
        self.assertFalse(self.exists("hostvigil.pid"))
        self.assertFalse(self.exists("ping_calls.jsonl"))

    def test_ctrl_c_stops_in_order(self):
        # Wine turns SIGINT into the console's Ctrl+C event.
        self.host_config([("127.0.0.1", None)], interval=1)
        run = self.start_hv()
        self.assertTrue(wait_for(lambda: "[127.0.0.1] " in run.output(), timeout=60),
                        run.output())
        self.assertTrue(self.read_pid())
        run.process.send_signal(signal.SIGINT)
        code, out = run.finish()
        self.assertEqual(code, 0, out)
        self.assertFalse(self.exists("hostvigil.pid"))


if __name__ == "__main__":
    unittest.main()
