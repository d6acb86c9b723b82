"""Alert channels that fail in every way while monitoring goes on: each failed send shows its
curl exit code, a failed alert still counts as sent, and the rounds never stop."""

import os
import re
import shutil
import socket
import sys
import threading
import time

from reliability import Instance, WorkDir, monitor_file, scheduled_ping

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "blackbox"))
import servers  # noqa: E402

LOGIN = "monitor@example.com"
PASSWORD = "s3cret"
HOSTS = ["127.0.0.1", "127.0.0.2", "127.0.0.3"]
CONFIG_FILES = ["hostvigil_email.txt", "hostvigil_host.txt", "hostvigil_log.txt",
                "hostvigil_state.json"]


class SilentServer:
    """Accepts TCP connections on 127.0.0.1 and never says a word on them."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind((servers.LOOPBACK, 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.held = []
        self.thread = threading.Thread(target=self._accept, daemon=True)

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.held.append(conn)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.sock.close()
        for conn in self.held:
            conn.close()


class ChannelFaults(servers.SharedCA, WorkDir):
    def setUp(self):
        super().setUp()
        self.env = servers.curl_environment(self.env, os.path.join(self.dir, "curlhome"), self.ca)

    def configure(self, smtp_url, webhook_url, down):
        scheduled_ping(self, down)
        self.write("hostvigil_host.txt", monitor_file(HOSTS, alertcount=2))
        self.write("hostvigil_email.txt",
                   f'server : "{smtp_url}"\nemail : "{LOGIN}"\npassword : "{PASSWORD}"\n'
                   f'to : "ops@example.com"\nteams_webhook : "{webhook_url}"\n'
                   # One try per notice, so each send's code shows exactly once.
                   'retry_minutes : "0"\n')

    def run_rounds(self, rounds, timeout=60):
        inst = Instance(self)
        seen = inst.wait_count("\nWait ", rounds, timeout=timeout)
        rc, out = inst.stop()
        self.assertGreaterEqual(seen, rounds, out[-3000:])
        self.assertEqual(rc, 0, out[-3000:])
        self.assertEqual(sorted(os.listdir(self.work)), CONFIG_FILES, out[-3000:])
        return out

    def test_each_failed_send_shows_its_code_and_counts_once(self):
        # Host 2 fails checks 1 to 3: one alert at check 2, one recovery at check 4, whatever
        # the channels answer.
        down = {"127.0.0.2": {1, 2, 3}}
        smtp = self.enterContext(servers.SmtpServer(tls=self.ca, users={LOGIN: PASSWORD}))
        cases = [
            # name, SMTP answers, webhook status, PATH, e-mail codes, Teams code
            ("SMTP refused", False, 200, None, "7", "0"),
            ("webhook answers 500", True, 500, None, "0", "22"),
            ("curl missing", True, 200, [], "-1", "-1"),
        ]
        for name, smtp_up, status, path, email_rc, teams_rc in cases:
            with self.subTest(name):
                shutil.rmtree(os.path.join(self.dir, "counters"), ignore_errors=True)
                for f in os.listdir(self.work):
                    os.remove(self.path(f))
                before = len(smtp.received())
                webhook = self.enterContext(servers.HttpServer(status=status))
                url = smtp.url if smtp_up else f"smtp://127.0.0.1:{servers.free_port()}"
                self.configure(url, webhook.url + "/hook", down)
                saved = self.env["PATH"]
                if path is not None:
                    self.env["PATH"] = self.bin_dir  # only the fake ping
                try:
                    out = self.run_rounds(6)
                finally:
                    self.env["PATH"] = saved
                self.assertEqual(re.findall(r"Email command rc=(-?\d+)\n", out), [email_rc] * 2)
                self.assertEqual(re.findall(r"Teams command rc=(-?\d+)\n", out), [teams_rc])
                self.assertEqual(out.count("(alert already sent)"), 1)
                self.assertEqual(len(smtp.received()) - before, 2 if email_rc == "0" else 0)
                self.assertEqual(len(webhook.received()), 1 if path is None else 0)

    def test_missing_ping_fails_every_check_and_alerts_once_per_host(self):
        smtp = self.enterContext(servers.SmtpServer(tls=self.ca, users={LOGIN: PASSWORD}))
        webhook = self.enterContext(servers.HttpServer())
        self.configure(smtp.url, webhook.url + "/hook", {})
        os.remove(os.path.join(self.bin_dir, "ping"))
        os.symlink(shutil.which("curl"), os.path.join(self.bin_dir, "curl"))
        self.env["PATH"] = self.bin_dir
        out = self.run_rounds(5)
        for host in HOSTS:
            self.assertIn(f"[{host}] Ping Timeout... {host} received=0/1 count 1/2\n", out)
            self.assertIn(f"[{host}] Ping Timeout... {host} received=0/1 (alert already sent)\n",
                          out)
        self.assertEqual(out.count("Email command rc=0\n"), 3)
        self.assertEqual(out.count("Teams command rc=0\n"), 3)
        self.assertEqual(len(smtp.received()), 3)
        self.assertEqual(len(webhook.received()), 3)

    def test_server_that_never_answers_holds_one_send_to_the_time_limit(self):
        # Host 2 stays down: one alert, whose e-mail waits on a server that accepted the
        # connection and never greets. curl's time limit ends it; the rounds go on after.
        webhook = self.enterContext(servers.HttpServer())
        silent = self.enterContext(SilentServer())
        self.configure(f"smtp://127.0.0.1:{silent.port}", webhook.url + "/hook",
                       {"127.0.0.2": set(range(1, 1000))})
        inst = Instance(self)
        self.assertEqual(inst.wait_count("Sending mail alert now", 1, timeout=30), 1)
        start = time.monotonic()
        self.assertEqual(inst.wait_count("Email command rc=", 1, timeout=90), 1,
                         inst.output()[-2000:])
        held = time.monotonic() - start
        waits = inst.output().count("\nWait ")
        self.assertGreaterEqual(inst.wait_count("\nWait ", waits + 2, timeout=30), waits + 2)
        rc, out = inst.stop()
        self.assertEqual(rc, 0)
        self.assertIn("Email command rc=28\n", out)
        self.assertEqual(re.findall(r"Teams command rc=(-?\d+)\n", out), ["0"])
        self.assertEqual(len(webhook.received()), 1)
        self.assertLess(held, 75)
        self.assertEqual(sorted(os.listdir(self.work)), CONFIG_FILES)
