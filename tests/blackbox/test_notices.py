"""Notices that survive stops, restarts and slow channels: the state file, the senders apart
from the checks, retries and the orderly stop. Real curl to local SMTP and webhook servers; a
fake ping whose answer per host is a file."""

import json
import os
import re
import signal
import socket
import threading
import time

import servers
from harness import WorkDir, wait_for

LOGIN, PASSWORD = "monitor@example.com", "s3cret"
STATE = "hostvigil_state.json"


class SlowGreeting:
    """A TCP relay on 127.0.0.1 to a real server that holds every new connection `delay`
    seconds before the first byte passes: an SMTP server slow to greet."""

    def __init__(self, target_port, delay):
        self.target_port, self.delay = target_port, delay
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.url = f"smtp://127.0.0.1:{self.port}"
        self.closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.closed:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._relay, args=(client,), daemon=True).start()

    def _relay(self, client):
        time.sleep(self.delay)
        try:
            upstream = socket.create_connection(("127.0.0.1", self.target_port))
        except OSError:
            client.close()
            return

        def pipe(src, dst):
            try:
                while data := src.recv(65536):
                    dst.sendall(data)
            except OSError:
                pass
            for s in (src, dst):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                s.close()

        threading.Thread(target=pipe, args=(upstream, client), daemon=True).start()
        pipe(client, upstream)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.closed = True
        self.listener.close()


class NoticeCase(WorkDir):
    def setUp(self):
        super().setUp()
        self.smtp, self.webhook = servers.local_channels(self, {LOGIN: PASSWORD})
        self.down_dir = os.path.join(self.dir, "down")
        os.mkdir(self.down_dir)
        self.checks_file = os.path.join(self.dir, "checks")
        self.fake_program("ping", f"""for h; do :; done
echo "$h" >> "{self.checks_file}"
if [ -e "{self.down_dir}/$h" ]; then
    echo "1 packets transmitted, 0 received, 100% packet loss"; exit 1
fi
echo "64 bytes from $h: icmp_seq=1 ttl=64 time=0.050 ms"
""")

    def set_down(self, host, down=True):
        path = os.path.join(self.down_dir, host)
        if down:
            open(path, "w").close()
        elif os.path.exists(path):
            os.remove(path)

    def configure(self, hosts, smtp_url=None, teams=False, workers=2, extra="", interval=30):
        lines = [f'interval : "{interval}"', 'fast_retry_interval : "1"', 'pingcount : "1"',
                 f'workers : "{workers}"']
        for h in hosts:
            lines += [f'host : "{h}"', 'alertcount : "1"', 'tcpfallback : "no"']
        self.write("hostvigil_host.txt", "\n".join(lines) + "\n")
        alert = (f'server : "{smtp_url or self.smtp.url}"\nemail : "{LOGIN}"\n'
                 f'password : "{PASSWORD}"\nto : "ops@example.com"\n')
        if teams:
            alert += f'teams_webhook : "{self.webhook.url}/hook"\n'
        self.write("hostvigil_email.txt", alert + extra)

    def checks(self):
        """How many checks the fake ping has answered so far."""
        try:
            with open(self.checks_file) as f:
                return len(f.readlines())
        except OSError:
            return 0

    def wait_rounds(self, rounds, hosts=1):
        """Waits until each of `hosts` hosts has been checked `rounds` more times: the rounds
        before the last of those checks have ended, with every notice they decided on queued."""
        target = self.checks() + rounds * hosts
        return wait_for(lambda: self.checks() >= target, timeout=30)

    def log(self):
        return "\n".join(self.log_lines())

    def wait_log(self, text, count=1, timeout=30):
        return wait_for(lambda: self.log().count(text) >= count, timeout=timeout)

    def state(self):
        return json.loads(self.read(STATE))

    def subjects(self):
        found = []
        for m in self.smtp.received():
            subject = re.search(rb"^Subject: (.*?)\r\n", m["data"], re.M).group(1).decode()
            found.append(servers.decode_mail_header(subject))
        return found

    def assert_clean(self):
        self.assertFalse(self.exists("hostvigil.pid"))
        leftovers = sorted(set(os.listdir(self.work)) - {
            "hostvigil_host.txt", "hostvigil_email.txt", "hostvigil_log.txt", STATE})
        self.assertEqual(leftovers, [])


class Restarts(NoticeCase):
    def test_restart_during_an_outage_and_recovery_while_stopped(self):
        # Rounds a second apart, up or down, so that rounds after an event come soon.
        self.configure(["127.0.0.2"], interval=1)
        self.set_down("127.0.0.2")
        child = self.start_hv("-s")
        self.assertTrue(self.wait_log("Mail alert for 127.0.0.2 sent"), self.log())
        # Killed without warning once the file records the alert as delivered (a kill before
        # that sends it again after the restart, late rather than never).
        self.assertTrue(wait_for(lambda: self.state()["hosts"][0]["pending"] == []))
        child.send_signal(signal.SIGKILL)
        child.wait()
        [host] = self.state()["hosts"]
        self.assertEqual((host["host"], host["alert_outstanding"], host["pending"]),
                         ("127.0.0.2", True, []))
        os.remove(self.path("hostvigil.pid"))

        # Restarted during the same outage: checks go on, no second alert.
        child = self.start_hv("-s")
        self.assertTrue(self.wait_log("received=0/1", 1) and wait_for(
            lambda: self.state()["hosts"][0]["last_result"].endswith("(alert already sent)")))
        self.assertTrue(self.wait_rounds(3))  # a few more failed rounds
        # The stop sends whatever was still queued.
        self.assertEqual((self.stop_child(child)[0]), 0)
        self.assertEqual(len(self.smtp.received()), 1)
        self.assertEqual(self.log().count("***Alert sending"), 1)

        # The host comes back while the monitor is stopped: one recovery at the first check.
        self.set_down("127.0.0.2", False)
        child = self.start_hv("-s")
        self.assertTrue(self.wait_log("Mail recovery notice for 127.0.0.2 sent"), self.log())
        self.assertTrue(self.wait_rounds(2))
        self.assertEqual(self.stop_child(child)[0], 0)
        subjects = self.subjects()
        self.assertEqual(len(subjects), 2, subjects)
        self.assertIn("Ping Timeout... 127.0.0.2", subjects[0])
        self.assertIn("Back to normal.", subjects[1])
        self.assertEqual(self.log().count("hostvigil 1.0 started: 1 hosts"), 3)
        self.assertEqual(self.log().count("hostvigil stopped"), 2)
        [host] = self.state()["hosts"]
        self.assertEqual((host["alert_outstanding"], host["pending"]), (False, []))
        self.assert_clean()

    def test_unusable_state_file_is_logged_and_replaced(self):
        cases = [
            ("random bytes", bytes(range(256)) * 4, "not valid JSON"),
            ("wrong types", b'{"version": 1, "hosts": [{"host": "127.0.0.2", "fail_count": "x"}]}',
             'host: "fail_count" is not a whole number'),
            ("other version", b'{"version": 7, "hosts": []}', "format version is not 1"),
        ]
        self.configure(["127.0.0.2"])
        for name, content, reason in cases:
            with self.subTest(name):
                self.write(STATE, content, "wb")
                if self.exists("hostvigil_log.txt"):
                    os.remove(self.path("hostvigil_log.txt"))
                child = self.start_hv("-s")
                self.assertTrue(wait_for(lambda: self.exists(STATE) and
                                         self.read(STATE, "rb") != content, timeout=15))
                rc, _ = self.stop_child(child)
                self.assertEqual(rc, 0)
                self.assertIn(f"State file {STATE} ignored ({reason}); starting fresh",
                              self.log())
                state = self.state()
                self.assertEqual(state["version"], 1)
                self.assertEqual(state["hosts"][0]["host"], "127.0.0.2")
                self.assert_clean()


    def test_saved_notices_of_the_instance_are_sent_and_of_removed_hosts_named(self):
        self.configure(["127.0.0.2"])
        queued = int(time.time()) - 600

        def notice(kind, text, **extra):
            return dict(channel="email", kind=kind, text=text, first_queued=queued,
                        attempts=1, next_try=queued + 30, **extra)

        self.write(STATE, json.dumps({"version": 1, "hosts": [
            {"host": "127.0.0.2", "pending": []},
            {"host": "10.9.9.9", "alert_outstanding": True,
             "pending": [notice("alert", "old alert"), notice("recovery", "old recovery")]},
        ], "pending": [notice("heartbeat", "hostvigil is up and running at then",
                              body="saved heartbeat body\n", recipients="alive@example.com",
                              id="6932a0c4.1f4.0badcafe")]}))
        child = self.start_hv("-s")
        self.assertTrue(self.wait_log("Mail heartbeat sent, 10 min late"), self.log())
        self.assertEqual(self.stop_child(child)[0], 0)
        for kind in ("alert", "recovery"):
            self.assertIn(f"Pending email {kind} for 10.9.9.9 dropped: the host is no longer "
                          "configured", self.log())
        [mail] = self.smtp.received()
        self.assertEqual(mail["rcpt_tos"], ["alive@example.com"])
        self.assertIn(b"saved heartbeat body", mail["data"])
        # The notice's lasting id names the mail, so a repeated send is the same message.
        self.assertRegex(mail["data"], rb"\r\nMessage-ID: <hostvigil\.6932a0c4\.1f4\.0badcafe@[^>]+>\r\n")
        self.assertEqual(self.subjects(), ["hostvigil is up and running at then"])
        self.assertNotIn("pending", self.state())
        self.assertEqual([h["host"] for h in self.state()["hosts"]], ["127.0.0.2"])


class SlowAndFailingChannels(NoticeCase):
    def test_stop_while_a_send_takes_twelve_seconds(self):
        # curl gives an SMTP server 15 s to greet; this one takes 12.
        relay = self.enterContext(SlowGreeting(self.smtp.port, 12))
        self.configure(["127.0.0.2"], smtp_url=relay.url)
        self.set_down("127.0.0.2")
        child = self.start_hv("-s")
        self.assertTrue(self.wait_log("Send Mail Alert to ops@example.com"), self.log())
        started = time.monotonic()
        rc, _ = self.stop_child(child, timeout=120)
        took = time.monotonic() - started
        print(f"\nstop with a mail send in flight took {took:.1f} s")
        self.assertEqual(rc, 0)
        self.assertEqual(len(self.smtp.received()), 1)
        self.assertIn("Mail alert for 127.0.0.2 sent", self.log())
        self.assertTrue(self.log_lines()[-1].endswith("hostvigil stopped"))
        self.assertEqual(self.state()["hosts"][0]["pending"], [])
        self.assertEqual(self.children_curl(), [])
        self.assert_clean()

    def children_curl(self):
        found = []
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    if os.readlink(f"/proc/{entry}/cwd") == self.work:
                        found.append(entry)
                except OSError:
                    pass
        return found

    def test_alerts_behind_a_slow_mail_server_hold_no_round(self):
        relay = self.enterContext(SlowGreeting(self.smtp.port, 5))
        hosts = ["127.0.0.2", "127.0.0.3", "127.0.0.4"]
        self.configure(hosts, smtp_url=relay.url, teams=True, workers=3)
        for h in hosts:
            self.set_down(h)
        child = self.start_hv()
        started = time.monotonic()
        # The Teams cards do not wait for the e-mails.
        self.assertTrue(wait_for(lambda: len(self.webhook.received()) == 3, timeout=30))
        cards_after = time.monotonic() - started
        self.assertLess(len(self.smtp.received()), 3)
        self.assertTrue(wait_for(lambda: len(self.smtp.received()) == 3, timeout=90))
        mails_after = time.monotonic() - started
        rc, out = self.stop_child(child)
        self.assertEqual(rc, 0)
        # Rounds went on while the e-mails waited for their greeting, one after another.
        rounds = out.count("\nWait ")
        print(f"\n3 alerts behind a 5 s greeting: cards after {cards_after:.1f} s, "
              f"e-mails after {mails_after:.1f} s, {rounds} rounds meanwhile")
        self.assertGreaterEqual(rounds, 3, out[-2000:])
        self.assert_clean()

    def test_failing_channel_that_recovers_is_tried_again(self):
        self.webhook.status = 500
        self.configure(["127.0.0.2"], teams=True)
        self.set_down("127.0.0.2")
        child = self.start_hv("-s")
        self.assertTrue(self.wait_log(
            "Teams alert for 127.0.0.2 failed (curl exit code 22: HTTP 500), next try in 30 s"),
            self.log())
        self.webhook.status = 200
        self.assertTrue(self.wait_log("Teams alert for 127.0.0.2 sent, ", timeout=60), self.log())
        rc, _ = self.stop_child(child)
        self.assertEqual(rc, 0)
        self.assertRegex(self.log(), r"Teams alert for 127\.0\.0\.2 sent, 3\d s late")
        self.assertEqual(len(self.webhook.received()), 2)
        self.assertEqual(len(self.smtp.received()), 1)
        self.assertEqual(self.state()["hosts"][0]["pending"], [])
        self.assert_clean()
