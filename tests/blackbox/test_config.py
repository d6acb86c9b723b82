"""Loading the two configuration files in run mode and in -test: the fatal cases, the missing
alert file, and the scrambling of the stored secrets in the alert file."""

import os

from harness import WorkDir, wait_for

MONITOR = 'interval : "1"\nfast_retry_interval : "1"\npingcount : "1"\n'


class MonitorFileFatalCases(WorkDir):
    def setUp(self):
        super().setUp()
        # Nothing may leave the machine: every channel run fails at once.
        self.fake_curl(exit_code=7)

    def test_missing_monitor_file_ends_run_mode_and_test(self):
        for args in (["-s"], ["-test"]):
            rc, out = self.run_hv(*args)
            self.assertEqual((rc, out), (1, "hostvigil_host.txt is not existed\n"), args)
        self.assertEqual(os.listdir(self.work), [])

    def test_host_table_holds_255_hosts(self):
        hosts = "".join(f'host : "127.0.0.{i % 250 + 1}"\ntcpfallback : "no"\n' for i in range(256))
        self.write("hostvigil_host.txt", MONITOR + hosts)
        for args in (["-s"], ["-test"]):
            rc, out = self.run_hv(*args)
            self.assertEqual((rc, out), (1, "Too many hosts (max 255)\n"), args)
        self.assertFalse(self.exists("hostvigil.pid"))

        # With the 256th host line disabled the file loads.
        self.write("hostvigil_host.txt", MONITOR + hosts[:hosts.rindex("host :")] + "*" +
                   hosts[hosts.rindex("host :"):])
        child = self.start_hv()
        self.assertTrue(wait_for(lambda: self.exists("hostvigil.pid"), timeout=20))
        rc, out = self.stop_child(child)
        self.assertEqual(rc, 0, out)
        self.assertIn("Targets: 255  Interval: 1 sec  FastRetry: 1 sec  PingCount: 1  Workers: 2", out)


class RunModeRefusals(WorkDir):
    """Files run mode cannot work with end it before it claims anything."""

    HOST = 'host : "127.0.0.1"\ntimeoutsec : "1"\ntcpfallback : "no"\n'

    def test_utf16_files_and_a_monitor_file_without_hosts(self):
        monitor = (MONITOR + self.HOST).replace("\n", "\r\n")
        cases = [
            ("monitor file UTF-16 LE", b"\xff\xfe" + monitor.encode("utf-16-le"), b"",
             "hostvigil_host.txt is UTF-16 text; save it as UTF-8\n"),
            ("monitor file UTF-16 BE", b"\xfe\xff" + monitor.encode("utf-16-be"), b"",
             "hostvigil_host.txt is UTF-16 text; save it as UTF-8\n"),
            # Alerts would be lost without a word: the instance does not start.
            ("alert file UTF-16 LE", monitor.encode(),
             b"\xff\xfe" + 'password : "plain"\r\n'.encode("utf-16-le"),
             "hostvigil_email.txt is UTF-16 text; save it as UTF-8\n"),
            ("no host line", (MONITOR + '*host : "127.0.0.1"\n').encode(), b"",
             "no host to watch in hostvigil_host.txt\n"),
        ]
        for name, monitor_bytes, alert_bytes, message in cases:
            for args in (["-s"], ["-start"]):
                with self.subTest(name, args=args):
                    self.write("hostvigil_host.txt", monitor_bytes, mode="wb")
                    self.write("hostvigil_email.txt", alert_bytes, mode="wb")
                    self.assertEqual(self.run_hv(*args), (1, message))
                    self.assertEqual(sorted(os.listdir(self.work)),
                                     ["hostvigil_email.txt", "hostvigil_host.txt"])
                    self.assertEqual(self.read("hostvigil_email.txt", mode="rb"), alert_bytes)

    def test_byte_order_mark_is_read_past_and_kept(self):
        bom = b"\xef\xbb\xbf"
        self.write("hostvigil_host.txt",
                   bom + ('interval : "7"\n' + self.HOST).replace("\n", "\r\n").encode(), mode="wb")
        self.write("hostvigil_email.txt", bom + b'password : "plain"\r\n# end\r\n', mode="wb")
        child = self.start_hv()
        self.assertTrue(wait_for(lambda: self.exists("hostvigil.pid"), timeout=20))
        rc, out = self.stop_child(child)
        self.assertEqual(rc, 0, out)
        self.assertIn("Targets: 1  Interval: 7 sec", out)
        # The secret on the first line is stored scrambled; the mark and the rest stay.
        stored = self.read("hostvigil_email.txt", mode="rb")
        self.assertRegex(stored, rb'^\xef\xbb\xbfpassword : "encry[^"]+"\r\n# end\r\n$')


class AlertFileLoading(WorkDir):
    def setUp(self):
        super().setUp()
        self.fake_curl(exit_code=7)
        self.write("hostvigil_host.txt", MONITOR + 'workers : "0"\nhost : "127.0.0.1"\n'
                   'timeoutsec : "1"\ntcpfallback : "no"\n')

    def test_missing_alert_file_is_reported_even_when_silent_and_monitoring_goes_on(self):
        child = self.start_hv("-s")
        self.assertTrue(wait_for(lambda: self.exists("hostvigil.pid"), timeout=20))
        rc, out = self.stop_child(child)
        self.assertEqual(rc, 0)
        self.assertEqual(out, "hostvigil_email.txt is not existed. It is unable to send email alerts\n")
        self.assertFalse(self.exists("hostvigil_email.txt"))

    def test_plain_secrets_are_stored_scrambled_and_stay_stable(self):
        original = ("# the secrets\n"
                    "*password : \"old-plain\"\n"
                    "  password = \"abc\"   # first match, replaced\n"
                    "password : \"abc\"\n"
                    "token : \"12~3\"\n")
        self.write("hostvigil_email.txt", original)
        os.chmod(self.path("hostvigil_email.txt"), 0o640)
        self.run_hv("-test")
        first = self.read("hostvigil_email.txt")
        self.assertEqual(first, "# the secrets\n"
                                "*password : \"old-plain\"\n"
                                "password : \"encry0A0908\"\n"
                                "password : \"abc\"\n"
                                "token : \"encry5A597E58\"\n")
        self.assertEqual(os.stat(self.path("hostvigil_email.txt")).st_mode & 0o777, 0o640)

        self.run_hv("-test")
        self.assertEqual(self.read("hostvigil_email.txt"), first)
        self.assertFalse([n for n in os.listdir(self.work) if n.endswith(".tmp")])

    def test_linked_file_of_another_owner_keeps_link_owner_and_mode(self):
        # The alert file lives elsewhere, owned by nobody:nogroup when the test runs as root.
        os.mkdir(self.path("etc"))
        target = self.path("etc/alerts.txt")
        with open(target, "w") as f:
            f.write('password : "abc"\n')
        os.chmod(target, 0o640)
        if os.geteuid() == 0:
            os.chown(target, 65534, 65534)
        os.symlink("etc/alerts.txt", self.path("hostvigil_email.txt"))
        before = os.stat(target)
        self.run_hv("-test")
        self.assertTrue(os.path.islink(self.path("hostvigil_email.txt")))
        self.assertEqual(self.read("etc/alerts.txt"), 'password : "encry0A0908"\n')
        after = os.stat(target)
        self.assertEqual((after.st_uid, after.st_gid, after.st_mode),
                         (before.st_uid, before.st_gid, before.st_mode))
        self.assertEqual(sorted(os.listdir(self.path("etc"))), ["alerts.txt"])

        # Nothing plain is left, so later runs do not touch the file at all.
        self.run_hv("-test")
        self.assertEqual(os.stat(target).st_ino, after.st_ino)
        self.assertEqual(os.stat(target).st_mtime_ns, after.st_mtime_ns)

    def test_refused_second_start_leaves_the_file_alone(self):
        self.write("hostvigil_email.txt", 'password : "abc"\n')
        first = self.start_hv("-s")
        # The PID file is claimed first, the alert file rewritten right after.
        self.assertTrue(wait_for(
            lambda: self.read("hostvigil_email.txt") == 'password : "encry0A0908"\n', timeout=20))
        # Written plain again while the first instance runs: only an instance that holds the
        # PID file may rewrite it.
        self.write("hostvigil_email.txt", 'password : "abc"\n')
        self.assertEqual(self.run_hv("-s"), (1, "hostvigil already running\n"))
        self.assertEqual(self.read("hostvigil_email.txt"), 'password : "abc"\n')
        rc, out = self.stop_child(first)
        self.assertEqual(rc, 0, out)

    def test_unwritable_directory_leaves_the_file_alone(self):
        self.write("hostvigil_email.txt", 'password : "abc"\n')
        prefix = self.make_work_read_only()
        self.run_hv("-test", prefix=prefix)
        self.assertEqual(self.read("hostvigil_email.txt"), 'password : "abc"\n')
        self.assertFalse([n for n in os.listdir(self.work) if n.endswith(".tmp")])
