"""Hostile configuration files and texts: each gives its documented result, never a crash,
never a stray file or process."""

import os
import random
import re
import sys

from reliability import (SANITIZED, Instance, WorkDir, monitor_file, processes_in,
                         scheduled_ping)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "blackbox"))
import servers  # noqa: E402

CONFIG_FILES = {"hostvigil_host.txt", "hostvigil_email.txt", "hostvigil_log.txt",
                "hostvigil_state.json"}
READ_UNIT = 8191  # bytes of one read, line feed included


class HostileCase(WorkDir):
    def leftovers(self):
        return sorted(set(os.listdir(self.work)) - CONFIG_FILES)

    def assert_clean(self, out=""):
        self.assertEqual(self.leftovers(), [], out[-2000:])
        self.assertEqual(processes_in(self.work), [])

    def run_mode_round(self, netns=True):
        """Starts run mode, waits for its summary line and stops it; returns the output.
        Hosts a hostile file might yield are looked up only inside a private network
        namespace."""
        inst = Instance(self, netns=netns)
        inst.wait_count("Targets: ", 1)
        rc, out = inst.stop()
        self.assertEqual(rc, 0, out[-2000:])
        return out

    def check(self):
        rc, out = self.run_hv("-check", timeout=120)
        self.assertIn(rc, (0, 1), out[-2000:])
        self.assertTrue(out.endswith(("Result: OK\n", "Result: FAILED\n")), out[-2000:])
        return rc, out


class GarbageFiles(HostileCase):
    def garbage(self, seed):
        rng = random.Random(seed)
        pure = bytes(rng.randrange(256) for _ in range(rng.choice((512, 65536))))
        # Fragments of the syntax in random order hit the parser's corners more often.
        pieces = [b"host", b"interval", b"password", b"to", b":", b"=", b'"', b"*", b"#",
                  b" ", b"\t", b"\r", b"\n", b"\x00", b"\xff", b"9", b"-1", b"encry", b"6B"]
        soup = b"".join(rng.choice(pieces) for _ in range(20000))
        return pure, soup

    def test_random_bytes_and_syntax_soup(self):
        for seed in range(3 if SANITIZED else 6):
            for kind, data in zip(("bytes", "soup"), self.garbage(seed)):
                with self.subTest(seed=seed, kind=kind):
                    for name in ("hostvigil_host.txt", "hostvigil_email.txt"):
                        self.write(name, data, mode="wb")
                    rc, out = self.check()
                    self.assertEqual(rc, 1)
                    # Whatever the files hold besides a host to watch, run mode starts and
                    # stops cleanly and -test gives a result; the alert file is only ever
                    # rewritten whole.
                    self.write("hostvigil_host.txt", data + b'\nhost : "127.0.0.1"\n', mode="wb")
                    out = self.run_mode_round()
                    self.assertRegex(out, r"Targets: \d+  Interval: \d+ sec")
                    rc, out = self.run_hv("-test", timeout=120)
                    self.assertIn(rc, (0, 1), out[-2000:])
                    self.assert_clean(out)

    def test_nul_bytes(self):
        valid = monitor_file(["127.0.0.1"]).encode()
        cases = [
            ("only NUL bytes", b"\x00" * 65536, 0),
            # NUL bytes on lines of their own and after a closing quote change nothing.
            ("NUL lines between valid ones", valid.replace(b"\n", b"\n\x00\x00\n"), 1),
            ("NUL after the value", valid.replace(b'"127.0.0.1"', b'"127.0.0.1"\x00junk'), 1),
        ]
        for name, data, targets in cases:
            with self.subTest(name):
                self.write("hostvigil_host.txt", data, mode="wb")
                self.check()
                if targets == 0:
                    # Nothing to watch: run mode refuses to start.
                    self.assertEqual(self.run_hv(),
                                     (1, "no host to watch in hostvigil_host.txt\n"))
                    continue
                out = self.run_mode_round()
                self.assertIn(f"Targets: {targets}  ", out)
                self.assert_clean(out)


class OversizedFiles(HostileCase):
    def test_100000_host_lines(self):
        # The checker only checks the syntax; run mode refuses more than 255 hosts at once.
        self.write("hostvigil_host.txt",
                   monitor_file([f"10.{i // 65536}.{i // 256 % 256}.{i % 256}"
                                 for i in range(25000)]))
        self.write("hostvigil_email.txt", "")
        self.assertEqual(self.read("hostvigil_host.txt").count("\n"), 100004)
        self.check()
        rc, out = self.run_hv()
        self.assertEqual((rc, out), (1, "Too many hosts (max 255)\n"))
        self.assert_clean(out)
        self.assertFalse(self.exists("hostvigil_log.txt"))

    def test_one_megabyte_lines(self):
        big = "x" * (1 << 20)
        line = f'pinglossmsg : "{big}"\n'
        units = -(-len(line) // READ_UNIT)
        monitor = (monitor_file(["127.0.0.1"]) + line + f'instance_name : "{big}"\n'
                   + 'host : "127.0.0.2"\ntimeoutsec : "1"\nalertcount : "2"\n')
        self.write("hostvigil_host.txt", monitor)
        # More than the rewrite's 256 KiB: the alert file keeps its content, plain password
        # and all.
        alert = ('server : "smtp://127.0.0.1:1"\nemail : "a@example.net"\n'
                 f'password : "abc"\nto : "b@example.net"\n# {big}\n')
        self.write("hostvigil_email.txt", alert)

        rc, out = self.check()
        self.assertEqual(rc, 1)
        # Each read unit of a long line is a line of its own, and none of them parses: not
        # even the rest of a comment line, whose '#' stands only in its first unit.
        host_part, alert_part = out.split("Checking hostvigil_email.txt ...\n")
        first = len(monitor_file(["127.0.0.1"]).splitlines()) + 1

        def bad_lines(text):
            return [int(n) for n in re.findall(r"Line (\d+): invalid format", text)]

        self.assertEqual(bad_lines(host_part), list(range(first, first + 2 * units)))
        self.assertEqual(bad_lines(alert_part), list(range(6, 5 + units)))

        out = self.run_mode_round()
        self.assertIn("Targets: 2  ", out)
        self.run_hv("-test", timeout=120)
        self.assertEqual(self.read("hostvigil_email.txt"), alert)
        self.assert_clean(out)


SHELL_HOSTS = ["127.0.0.1;touch pwned", "$(touch pwned)", "`touch pwned`", "|touch pwned",
               "127.0.0.1 && touch pwned", "127.0.0.1>pwned", "-oProxyCommand=touch pwned",
               "'; touch pwned; '", "127.0.0.1\ttouch pwned"]


class HostileTexts(HostileCase):
    def test_host_texts_with_shell_syntax_are_failed_checks_that_start_nothing(self):
        scheduled_ping(self, {}, log=True)
        self.write("hostvigil_host.txt",
                   monitor_file(["127.0.0.1"] + SHELL_HOSTS, alertcount=1, interval=1))
        self.write("hostvigil_email.txt", "")
        rc, out = self.check()
        self.assertEqual(rc, 1)
        self.assertEqual(re.findall(r"Line (\d+): invalid host name\n", out),
                         [str(9 + 4 * i) for i in range(len(SHELL_HOSTS))])

        inst = Instance(self)
        inst.wait_count("\nWait ", 3)
        rc, out = inst.stop()
        self.assertEqual(rc, 0)
        for host in SHELL_HOSTS:
            self.assertIn(f"[{host}] Ping Timeout... {host} received=0/1 count 1/1\n", out)
            self.assertIn(f"[{host}] Ping Timeout... {host} received=0/1 (alert already sent)\n",
                          out)
        log = self.read("hostvigil_log.txt")
        self.assertEqual(log.count("***Alert sending : "), len(SHELL_HOSTS))
        # Only the usable host ever reached a program, and nothing ran the shell's commands.
        with open(os.path.join(self.dir, "ping.log")) as f:
            self.assertEqual(set(f.read().splitlines()), {"127.0.0.1"})
        self.assertEqual([r for r, _, files in os.walk(self.dir) if "pwned" in files], [])
        self.assert_clean(out)

    def test_recipient_list_of_commas_only(self):
        # The list holds no address. Handed to curl without any recipient, the mail would turn
        # into a HELP request that exits with 0, a success that reached nobody: the send fails
        # before anything is written or run.
        smtp, _ = servers.local_channels(self, {"a@example.net": "pw"}, webhook=False)
        self.write("hostvigil_host.txt", monitor_file([]))
        self.write("hostvigil_email.txt", f'server : "{smtp.url}"\nemail : "a@example.net"\n'
                                          'password : "pw"\nto : ", ,,\t, "\n')
        rc, out = self.run_hv("-test")
        self.assertEqual(rc, 1, out)
        self.assertNotIn("Email command rc=", out)
        self.assertIn("Email test FAILED", out)
        self.assertEqual(smtp.received(), [])
        self.assert_clean(out)
