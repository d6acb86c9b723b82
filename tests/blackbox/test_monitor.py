"""The monitor in run mode: host checks, alerts and recoveries, batches, waits and stopping.

A fake `ping` first on PATH answers for each host (with as many reply lines as its -c asks) from a per-host schedule (one letter per
round, U up or D down, the last letter held) or from a per-host state file a test switches;
it logs when each check starts and ends. A fake `curl` records every send it is asked for.
"""

import json
import os
import re
import signal
import time
import urllib.parse

from harness import WorkDir, wait_for

FAKE_PING = r"""
count=1
prev=
for a; do
    [ "$prev" = -c ] && count=$a
    prev=$a
    host=$a
done
dir="$HV_PING_DIR"
n=$(( $(cat "$dir/count.$host" 2>/dev/null || echo 0) + 1 ))
echo "$n" > "$dir/count.$host"
echo "start $host $n $(date +%s.%N)" >> "$dir/ping.log"
[ -f "$dir/sleep.$host" ] && sleep "$(cat "$dir/sleep.$host")"
if [ -f "$dir/sched.$host" ]; then
    sched=$(cat "$dir/sched.$host")
    state=$(printf %s "$sched" | cut -c"$n")
    [ -n "$state" ] || state=${sched#"${sched%?}"}
else
    state=$(cat "$dir/state.$host" 2>/dev/null || echo U)
fi
echo "end $host $n $(date +%s.%N)" >> "$dir/ping.log"
if [ "$state" = U ]; then
    i=0
    while [ "$i" -lt "$count" ]; do
        i=$((i + 1))
        echo "64 bytes from $host: icmp_seq=$i ttl=64 time=0.05 ms"
    done
else
    echo "$count packets transmitted, 0 received, 100% packet loss, time 0ms"
fi
"""

# Every channel, without the heartbeat address: with it, a run that spans the first round after
# local midnight sends the daily heartbeat too. The heartbeat tests add it at a faked clock.
ALERTS = """server : "smtp://127.0.0.1:2525"
email : "hv@example.org"
password : "pw"
to : "ops@example.org"
token : "123:abc"
chat_id : "42"
teams_webhook : "https://127.0.0.1:9/webhook"
"""


def monitor_config(hosts, interval=1, fast_retry=1, workers=2, alertcount=2, extra=""):
    lines = [f'interval : "{interval}"', f'fast_retry_interval : "{fast_retry}"',
             'pingcount : "1"', f'workers : "{workers}"']
    for host in hosts:
        lines += [f'host : "{host}"', 'timeoutsec : "1"', f'alertcount : "{alertcount}"',
                  'tcpfallback : "no"']
    return "\n".join(lines) + "\n" + extra


class MonitorCase(WorkDir):
    """A working directory with the fake ping; a test adds the recording curl or the real
    one."""

    def setUp(self):
        super().setUp()
        self.ping_dir = os.path.join(self.dir, "ping")
        os.mkdir(self.ping_dir)
        self.env["HV_PING_DIR"] = self.ping_dir
        self.fake_program("ping", FAKE_PING)

    def set_host(self, host, kind, value):
        with open(os.path.join(self.ping_dir, f"{kind}.{host}"), "w") as f:
            f.write(value)

    def checks_of(self, host):
        try:
            with open(os.path.join(self.ping_dir, f"count.{host}")) as f:
                return int(f.read())
        except (OSError, ValueError):
            return 0

    def ping_log(self):
        """[(event, host, call, time)] in the order written."""
        try:
            with open(os.path.join(self.ping_dir, "ping.log")) as f:
                rows = [line.split() for line in f]
        except OSError:
            return []
        return [(r[0], r[1], int(r[2]), float(r[3])) for r in rows if len(r) == 4]

    def sends(self):
        """Every recorded curl run, oldest first, as (channel, text)."""
        out = []
        for call in self.curl_calls():
            args, stdin = call["argv"], call["stdin"]
            # The message file or the card: the only argument that names a file.
            upload = "".join(call["files"].values())
            if "--mail-rcpt" in args:
                subject = re.search(r"^Subject: (.*?)\r?$", upload, re.M).group(1)
                # The message file closes with a line end of its own after the body.
                body = upload.split("\r\n\r\n", 1)[1].removesuffix("\r\n")
                body = body.replace("\r\n", "\n")
                out.append(("email", subject, body))
            elif "--data-binary" in args:
                payload = json.loads(upload)
                text = payload["attachments"][0]["content"]["body"][0]["text"]
                out.append(("teams", text))
            else:
                url = re.search(r'^url = "(.*)"$', stdin, re.M).group(1)
                query = urllib.parse.parse_qs(urllib.parse.urlparse(url).query)
                out.append(("telegram", query["text"][0]))
        return out

    def start_monitor(self, *args):
        child = self.start_hv(*args)
        self.assertTrue(wait_for(lambda: self.read_pid() == child.pid, timeout=15),
                        "the monitor did not start")
        return child


STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"


class AlertsAndRecoveries(MonitorCase):
    # Ten hosts on schedules that end up, with the notices the alert rules owe each at an
    # alert count of 2: an alert on the second failure in a row, a recovery on the first
    # success after an alert. Every one arrives exactly once and in order, on each channel
    # it belongs to.
    SCHEDULES = [
        ("UUUUUUUUUUUU", ""),
        ("DDUUUUUUUUUU", "alert recovery"),
        ("DUDUDUDUDUUU", ""),
        ("DDDDDDUUUUUU", "alert recovery"),
        ("DDUDDUUUUUUU", "alert recovery alert recovery"),
        ("UDDDUUDDUUUU", "alert recovery alert recovery"),
        ("UUUUUUUUUDDU", "alert recovery"),
        ("DUUUUUUUUUUU", ""),
        ("UUUDDDDDDDUU", "alert recovery"),
        ("DDDDDDDDDDDU", "alert recovery"),
    ]

    def hosts(self):
        return [f"127.0.0.{n}" for n in range(1, len(self.SCHEDULES) + 1)]

    def run_schedules(self, workers=4):
        self.write("hostvigil_host.txt", monitor_config(self.hosts(), workers=workers))
        for host, (schedule, _) in zip(self.hosts(), self.SCHEDULES):
            self.set_host(host, "sched", schedule)
        child = self.start_monitor()
        rounds = len(self.SCHEDULES[0][0]) + 1
        self.assertTrue(wait_for(lambda: all(self.checks_of(h) >= rounds for h in self.hosts()),
                                 timeout=120), self.ping_log()[-5:])
        rc, out = self.stop_child(child)
        self.assertEqual(rc, 0, out)
        return out

    def expected(self):
        """{host: ["alert"|"recovery", ...]}"""
        return {h: notices.split() for h, (_, notices) in zip(self.hosts(), self.SCHEDULES)}

    @staticmethod
    def host_of(text):
        return re.search(r"127\.0\.0\.(\d+)\b", text).group(0)

    def test_every_transition_gives_one_notice_per_channel(self):
        self.fake_curl()
        self.write("hostvigil_email.txt", ALERTS)
        out = self.run_schedules()
        expected = self.expected()

        got = {h: {"email": [], "telegram": [], "teams": []} for h in self.hosts()}
        for send in self.sends():
            got[self.host_of(send[1])][send[0]].append(send[1:])
        for host in self.hosts():
            want = expected[host]
            with self.subTest(host=host):
                alert = rf"^{STAMP} Ping Timeout\.\.\. {re.escape(host)} received=0/1 count 2/2$"
                recovery = rf"^Back to normal\.{STAMP} Ping OK {re.escape(host)} received=1/1$"
                kinds = []
                for subject, body in got[host]["email"]:
                    self.assertEqual(body, subject + "\n")
                    kinds.append("alert" if re.match(alert, subject) else
                                 "recovery" if re.match(recovery, subject) else subject)
                self.assertEqual(kinds, want)
                self.assertEqual([t for (t,) in got[host]["telegram"]],
                                 [s for s, _ in got[host]["email"]])
                # Teams gets the alerts only, the text as it stands.
                self.assertEqual([t for (t,) in got[host]["teams"]],
                                 [s for s, _ in got[host]["email"] if re.match(alert, s)])

        total = sum(len(v) for v in expected.values())
        self.assertGreater(total, 10)
        self.assertEqual(sum(1 for line in self.log_lines() if "***Alert sending : " in line),
                         total)
        self.assertEqual(out.count("Sending mail alert now"), total)

    def test_every_transition_reaches_the_smtp_server(self):
        from servers import SmtpServer, TestCA, curl_environment
        ca = TestCA(os.path.join(self.dir, "ca"))
        with SmtpServer(tls=ca, users={"hv@example.org": "s3cret"}) as smtp:
            self.env = curl_environment(self.env, os.path.join(self.dir, "curlhome"), ca=ca)
            self.write("hostvigil_email.txt",
                       f'server : "{smtp.url}"\nemail : "hv@example.org"\n'
                       'password : "s3cret"\nto : "ops@example.org, duty@example.org"\n')
            out = self.run_schedules(workers=10)
            received = smtp.received()
        expected = self.expected()
        self.assertNotIn("Email command rc=", out.replace("Email command rc=0", ""))

        got = {h: [] for h in self.hosts()}
        for message in received:
            self.assertEqual(message["rcpt_tos"], ["ops@example.org", "duty@example.org"])
            subject = re.search(rb"^Subject: (.*?)\r?$", message["data"], re.M).group(1).decode()
            got[self.host_of(subject)].append(
                "recovery" if subject.startswith("Back to normal.") else "alert")
        for host in self.hosts():
            self.assertEqual(got[host], expected[host], host)


class LoopTiming(MonitorCase):
    def test_batches_start_only_after_the_previous_batch_ended(self):
        hosts = [f"127.0.0.{n}" for n in range(1, 6)]
        self.write("hostvigil_host.txt", monitor_config(hosts, interval=30, workers=2))
        for host in hosts:
            self.set_host(host, "sleep", "1")
        child = self.start_monitor()
        self.assertTrue(wait_for(lambda: self.checks_of("127.0.0.5") == 1, timeout=30))
        self.assertTrue(wait_for(lambda: len(self.ping_log()) == 10, timeout=10))
        self.stop_child(child)

        times = {(e, h): t for e, h, _, t in self.ping_log()}

        def start(n):
            return times[("start", f"127.0.0.{n}")]

        def end(n):
            return times[("end", f"127.0.0.{n}")]

        for a, b in ((1, 2), (3, 4)):
            # Both checks of a batch run at the same time...
            self.assertLess(max(start(a), start(b)), min(end(a), end(b)))
        # ...and the next batch waits for both.
        self.assertGreaterEqual(min(start(3), start(4)), max(end(1), end(2)))
        self.assertGreaterEqual(start(5), max(end(3), end(4)))

    def test_failing_round_waits_fast_retry_then_interval_again(self):
        hosts = ["127.0.0.1", "127.0.0.2"]
        self.write("hostvigil_host.txt",
                   monitor_config(hosts, interval=3, fast_retry=1, alertcount=5))
        self.set_host("127.0.0.2", "sched", "DDU")
        child = self.start_monitor()
        # The fourth check's start in the log (it is counted before it is logged).
        self.assertTrue(wait_for(lambda: ("start", "127.0.0.2", 4) in
                                 [row[:3] for row in self.ping_log()], timeout=30))
        rc, out = self.stop_child(child)
        self.assertEqual(rc, 0)
        waits = re.findall(r"\nWait (\d+) seconds for next time check \.\.\.\n", out)
        self.assertEqual(waits[:3], ["1", "1", "3"], out)
        rounds = out.split("\nWait ")
        self.assertIn("[127.0.0.2] Ping Timeout... 127.0.0.2 received=0/1 count 2/5\n", rounds[1])
        self.assertIn("[127.0.0.2] Ping OK 127.0.0.2 received=1/1\n", rounds[2])
        # Checks of different rounds are at least the wait apart.
        starts = {c: t for e, h, c, t in self.ping_log() if e == "start" and h == "127.0.0.2"}
        self.assertGreaterEqual(starts[4] - starts[3], 2.5)

    def test_silent_run_prints_nothing_but_logs(self):
        self.fake_curl()
        self.write("hostvigil_email.txt", ALERTS)
        self.write("hostvigil_host.txt", monitor_config(["127.0.0.1"], alertcount=1))
        self.set_host("127.0.0.1", "state", "D")
        child = self.start_monitor("-s")
        self.assertTrue(wait_for(lambda: any("***Alert sending : " in line
                                             for line in self.log_lines()), timeout=30))
        rc, out = self.stop_child(child)
        self.assertEqual((rc, out), (0, ""))
        self.assertEqual(len([s for s in self.sends() if s[0] == "email"]), 1)


README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../README.md")


class ReadmeExample(MonitorCase):
    """The walk-through's monitor file, with its NAS at a loopback address, gives the rounds the
    README shows under either schedule: the NAS's first check fails, the second answers."""

    def readme_host_file(self):
        with open(README, encoding="utf-8") as f:
            text = f.read()
        block = text.split("`hostvigil_host.txt`:\n\n```\n", 1)[1].split("```", 1)[0]
        self.assertIn('host : "192.168.1.20"', block)
        return block.replace("192.168.1.20", "127.0.0.2")

    def run_two_rounds(self, schedule_line):
        host_file = self.readme_host_file()
        self.write("hostvigil_host.txt",
                   host_file.replace('workers : "2"\n', 'workers : "2"\n' + schedule_line))
        self.write("hostvigil_email.txt", "# no channels\n")
        self.set_host("127.0.0.2", "sched", "DU")
        child = self.start_monitor()
        self.assertTrue(wait_for(lambda: all(self.checks_of(h) == 2
                                             for h in ("127.0.0.1", "127.0.0.2")), timeout=30))
        # A stop ends a ping that still runs: let both second pings end first.
        self.assertTrue(wait_for(lambda: not self.has_children(child.pid), timeout=30))
        rc, out = self.stop_child(child)
        self.assertEqual(rc, 0, out)
        return out

    @staticmethod
    def has_children(pid):
        for task in os.listdir(f"/proc/{pid}/task"):
            try:
                with open(f"/proc/{pid}/task/{task}/children") as f:
                    if f.read().strip():
                        return True
            except FileNotFoundError:
                pass  # a worker thread that ended meanwhile
        return False

    def assert_readme_rounds(self, out):
        head, rounds = out.split("Targets: 2  Interval: 15 sec  FastRetry: 4 sec  PingCount: 3  "
                                 "Workers: 2\n\n", 1)
        self.assertIn("HOSTVIGIL Linux Version 1.0", head)
        # The lines of a round come in the order the checks finish.
        first, second, rest = rounds.split("\nWait ", 2)
        self.assertEqual(sorted(first.splitlines()), [
            "[127.0.0.1] Ping OK 127.0.0.1 received=3/3",
            "[127.0.0.2] Ping Timeout... 127.0.0.2 received=0/3 count 1/3"])
        self.assertEqual(sorted(second.splitlines()), [
            "4 seconds for next time check ...",
            "[127.0.0.1] Ping OK 127.0.0.1 received=3/3",
            "[127.0.0.2] Ping OK 127.0.0.2 received=3/3"])
        self.assertEqual(rest, "15 seconds for next time check ...\n")

    def test_batch_schedule(self):
        self.assert_readme_rounds(self.run_two_rounds('schedule : "batch"\n'))

    def test_window_schedule(self):
        self.assert_readme_rounds(self.run_two_rounds('schedule : "window"\n'))


class Stopping(MonitorCase):
    """A stop request ends the running pings, whose checks then change nothing, starts no
    further batch and ends cleanly."""

    def start_slow_failing_check(self):
        self.fake_curl()
        self.write("hostvigil_email.txt", ALERTS)
        self.write("hostvigil_host.txt",
                   monitor_config(["127.0.0.1", "127.0.0.2", "127.0.0.3"], interval=30,
                                  alertcount=1))
        # A failing ping that would take 60 s and then raise the alert (alertcount 1).
        self.set_host("127.0.0.1", "state", "D")
        self.set_host("127.0.0.1", "sleep", "60")
        child = self.start_monitor()
        self.assertTrue(wait_for(lambda: self.checks_of("127.0.0.1") == 1, timeout=15))
        self.began = time.monotonic()
        return child

    def assert_ping_ended_and_stopped(self, out):
        # Far below the 60 s the ping would have taken: it was ended, not waited for.
        self.assertLess(time.monotonic() - self.began, 30)
        self.assertNotIn("[127.0.0.1] Ping", out)
        self.assertEqual(self.sends(), [])
        # The second batch never started.
        self.assertEqual(self.checks_of("127.0.0.3"), 0)
        self.assertNotIn("Wait", out)
        self.assertFalse(self.exists("hostvigil.pid"))

    def test_sigterm_during_a_batch(self):
        child = self.start_slow_failing_check()
        rc, out = self.stop_child(child, signal.SIGTERM)
        self.assertEqual(rc, 0, out)
        self.assert_ping_ended_and_stopped(out)

    def test_stop_command_from_another_process(self):
        child = self.start_slow_failing_check()
        rc, stop_out = self.run_hv("-stop")
        # -stop may show that it waits while the instance stops.
        self.assertEqual(rc, 0, stop_out)
        self.assertRegex(stop_out, r"^(Waiting for hostvigil pid \d+ to finish its sends \.+\n)?"
                                   r"hostvigil stopped\n$")
        out, _ = child.communicate(timeout=30)
        self.assertEqual(child.returncode, 0)
        self.assert_ping_ended_and_stopped(out.decode())
