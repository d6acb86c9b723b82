"""The daily heartbeat of a running monitor, at a faked local time (Debian's faketime): sent in
the first round after midnight and only once, never at noon."""

import datetime
import os
import re
import signal
import subprocess

from harness import BIN, own_clock, wait_for
from test_monitor import ALERTS, MonitorCase, monitor_config

HOSTS = ["127.0.0.1", "127.0.0.2", "127.0.0.3"]
ALERTS_WITH_HEARTBEAT = ALERTS + 'iamalive : "alive@example.org"\n'


class Heartbeat(MonitorCase):
    def setUp(self):
        super().setUp()
        self.env["TZ"] = "UTC"
        self.write("hostvigil_host.txt", monitor_config(HOSTS, alertcount=5))
        self.set_host("127.0.0.2", "state", "D")
        # Tomorrow, so that certificates made for the test are already valid.
        self.day = datetime.datetime.now(datetime.timezone.utc).date() + datetime.timedelta(days=1)

    def run_at(self, clock, rounds=3, day=None):
        """Runs the monitor from `clock` (HH:MM:SS tomorrow, or on `day`) for `rounds` rounds;
        returns its output."""
        start = f"{(day or self.day).isoformat()} {clock}"
        env = own_clock(self.env)
        wrapper = subprocess.Popen(["faketime", "-m", "--exclude-monotonic", start, BIN],
                                   cwd=self.work, env=env, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT)
        self.children.append(wrapper)
        if not wait_for(self.read_pid, timeout=15):
            wrapper.kill()
            self.fail("the monitor did not start: " + wrapper.communicate()[0].decode())
        self.assertTrue(wait_for(lambda: all(self.checks_of(h) >= rounds for h in HOSTS),
                                 timeout=60))
        # The wrapper is faketime's own process; the PID file names the monitor itself.
        os.kill(self.read_pid(), signal.SIGTERM)
        out, _ = wrapper.communicate(timeout=30)
        self.assertEqual(wrapper.returncode, 0)
        self.assertFalse(self.exists("hostvigil.pid"))
        return out.decode()

    def expected_body(self, stamp):
        return (f"hostvigil is up and running at {stamp}\n\n"
                "Interval: 1 seconds\nFastRetry: 1 seconds\nPingCount: 1\nWorkers: 2\n"
                "Targets: 3\n"
                "Host: 127.0.0.1 Last: Ping OK 127.0.0.1 received=1/1\n"
                "Host: 127.0.0.2 Last: Ping Timeout... 127.0.0.2 received=0/1 count 1/5\n"
                "Host: 127.0.0.3 Last: Ping OK 127.0.0.3 received=1/1\n")

    def test_first_round_after_midnight_sends_once_on_mail_and_telegram(self):
        self.fake_curl()
        self.write("hostvigil_email.txt", ALERTS_WITH_HEARTBEAT)
        self.run_at("00:00:30")
        # Each channel sends on its own thread: their order against each other is free.
        sends = sorted(self.sends())
        self.assertEqual([s[0] for s in sends], ["email", "telegram"], sends)
        _, subject, body = sends[0]
        stamp = subject.removeprefix("hostvigil is up and running at ")
        self.assertRegex(stamp, rf"^{self.day.isoformat()} 00:00:\d\d$")
        self.assertEqual(body, self.expected_body(stamp))
        self.assertEqual(sends[1][1], "IAMALIVE\nhostvigil is running\nTargets: 3\n"
                                      f"PingCount: 1\nWorkers: 2\nTime: {stamp}")
        [mail] = [c["argv"] for c in self.curl_calls() if "--mail-rcpt" in c["argv"]]
        self.assertEqual(mail[mail.index("--mail-rcpt") + 1], "alive@example.org")

    def test_heartbeat_reaches_the_smtp_server(self):
        from servers import SmtpServer, TestCA, curl_environment
        ca = TestCA(os.path.join(self.dir, "ca"))
        with SmtpServer(tls=ca, users={"hv@example.org": "s3cret"}) as smtp:
            self.env = curl_environment(self.env, os.path.join(self.dir, "curlhome"), ca=ca)
            self.write("hostvigil_email.txt",
                       f'server : "{smtp.url}"\nemail : "hv@example.org"\n'
                       'password : "s3cret"\nto : "ops@example.org"\n'
                       'iamalive : "alive@example.org"\n')
            self.run_at("00:00:30")
            received = smtp.received()
        self.assertEqual(len(received), 1)
        self.assertEqual(received[0]["rcpt_tos"], ["alive@example.org"])
        data = received[0]["data"].decode().replace("\r\n", "\n")
        stamp = re.search(r"^Subject: hostvigil is up and running at (.*)$", data, re.M).group(1)
        self.assertIn("\n\n" + self.expected_body(stamp), data)

    def test_day_without_hour_zero_sends_in_its_first_round(self):
        # In America/Santiago the clocks go from 2024-09-07 23:59:59 (-04) to 2024-09-08
        # 01:00:00 (-03): that day has no hour 0.
        if not os.path.exists("/usr/share/zoneinfo/America/Santiago"):
            self.skipTest("no time zone data (Debian's tzdata)")
        self.env["TZ"] = "America/Santiago"
        self.fake_curl()
        self.write("hostvigil_email.txt", ALERTS_WITH_HEARTBEAT)
        self.run_at("23:59:57", rounds=6, day=datetime.date(2024, 9, 7))
        # The down host's alert may come too; only the heartbeat counts here.
        # Each channel sends on its own thread: their order against each other is free.
        sends = sorted(s for s in self.sends()
                       if s[1].startswith(("hostvigil is up and running", "IAMALIVE")))
        self.assertEqual([s[0] for s in sends], ["email", "telegram"], sends)
        self.assertRegex(sends[0][1], r"^hostvigil is up and running at 2024-09-08 01:00:\d\d$")

    def test_nothing_at_noon(self):
        self.fake_curl()
        self.write("hostvigil_email.txt", ALERTS_WITH_HEARTBEAT)
        self.run_at("12:00:30")
        self.assertEqual(self.sends(), [])
