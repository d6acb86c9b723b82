"""What an operator sees of the hosts: the -summary table from the state file, the status page
opened in a real headless browser, and the metrics file read by a real Prometheus parser."""

import calendar
import json
import os
import shutil
import stat
import subprocess
import tempfile
import time
import unittest

from prometheus_client.parser import text_string_to_metric_families

from harness import BIN, WorkDir, own_clock, wait_for
from test_monitor import ALERTS, MonitorCase, monitor_config

NOW = calendar.timegm((2026, 12, 10, 12, 0, 0))


def faked(now):
    """Runs the program at the fixed UTC time `now` through Debian's faketime."""
    return ["faketime", "-f", "@" + time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(now))]


def state_file(last_round):
    host = {"occurrence": 1, "pending": [], "hours": []}
    return {
        "version": 1, "saved_at": last_round + 2, "last_round": last_round,
        "round_duration_us": 1500000, "sends": {"email": {"ok": 1, "failed": 0}},
        "hosts": [
            dict(host, host="127.0.0.1", fail_count=0, alert_outstanding=False,
                 state_since=NOW - 3 * 3600 - 12 * 60, last_check=NOW - 5, last_rtt_us=48,
                 recent="UUUU", hours=[{"hour": NOW // 3600, "checks": 4, "up": 4}],
                 last_result="Ping OK 127.0.0.1 received=1/1"),
            dict(host, host="127.0.0.2", fail_count=2, alert_outstanding=False,
                 state_since=NOW - 35, last_check=NOW - 5, last_rtt_us=61, recent="UUDD",
                 hours=[{"hour": NOW // 3600, "checks": 3, "up": 2},
                        {"hour": NOW // 3600 - 1, "checks": 1, "up": 0}],
                 last_result="Ping Timeout... 127.0.0.2 received=0/1 count 2/5",
                 future_key={"ignored": True}),
            dict(host, host="127.0.0.3", fail_count=1, alert_outstanding=True,
                 state_since=NOW - 86400 - 7200, last_check=NOW - 4, last_rtt_us=-1,
                 recent="DD", last_result="Ping Timeout... 127.0.0.3 received=0/1 (alert already sent)"),
        ],
    }


TABLE = """\
HOST       STATE  SINCE                        LAST CHECK           RTT      24H     LAST RESULT
127.0.0.1  up     2026-12-10 08:48:00 (3h12m)  2026-12-10 11:59:55  0.05 ms  100.0%  Ping OK 127.0.0.1 received=1/1
127.0.0.2  down   2026-12-10 11:59:25 (35s)    2026-12-10 11:59:55  0.06 ms  50.0%   Ping Timeout... 127.0.0.2 received=0/1 count 2/5
127.0.0.3  alert  2026-12-09 10:00:00 (1d2h)   2026-12-10 11:59:56  -        -       Ping Timeout... 127.0.0.3 received=0/1 (alert already sent)
"""


class Summary(WorkDir):
    def setUp(self):
        super().setUp()
        self.env["TZ"] = "UTC"
        # An AddressSanitizer build would refuse to start behind the preloaded time library.
        self.env["ASAN_OPTIONS"] = ":".join(
            o for o in (self.env.get("ASAN_OPTIONS"), "verify_asan_link_order=0") if o)
        self.write("hostvigil_host.txt", monitor_config(["127.0.0.1", "127.0.0.2", "127.0.0.3"],
                                                        interval=15) + 'instance_name : "lab"\n')

    def summary_at(self, now):
        result = subprocess.run(faked(now) + [BIN, "-summary"], cwd=self.work,
                                env=own_clock(self.env), stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, timeout=60)
        return result.returncode, result.stdout.decode()

    def test_table_of_up_counting_and_alerted_hosts_in_configuration_order(self):
        self.write("hostvigil_state.json", json.dumps(state_file(NOW - 10)))
        self.assertEqual(self.summary_at(NOW), (
            0, "hostvigil summary of lab, last round 2026-12-10 11:59:50\n\n" + TABLE))

    def test_state_older_than_two_rounds_says_the_monitor_is_not_running(self):
        self.write("hostvigil_state.json", json.dumps(state_file(NOW - 10)))
        # Two rounds of 15 s and 2 s (1.5 s rounded up) end 34 s after the round started.
        rc, out = self.summary_at(NOW + 24)
        self.assertEqual(rc, 0)
        self.assertNotIn("not running", out)
        rc, out = self.summary_at(NOW + 25)
        self.assertEqual(out.splitlines()[1],
                         "Note: the state is older than two rounds; the monitor is not running.")

    def test_no_or_unusable_state_file_is_one_line_and_exit_1(self):
        self.assertEqual(self.run_hv("-summary"), (
            1, "No state file hostvigil_state.json yet: run mode writes it after its first round\n"))
        self.write("hostvigil_state.json", '{"version": 1, "hosts": [{"host": "x", "recent": "UXU"}]}')
        rc, out = self.run_hv("-summary")
        self.assertEqual(rc, 1)
        self.assertEqual(len(out.splitlines()), 1, out)
        self.assertIn("cannot be used", out)


class StateFileThatIsNoFile(MonitorCase):
    """Something other than a file where the state file belongs: run mode checks and stops as
    usual and says what it found; -summary answers at once with one line."""

    def run_and_stop(self):
        self.write("hostvigil_host.txt", monitor_config(["127.0.0.1"]))
        child = self.start_monitor()
        self.assertTrue(wait_for(lambda: self.checks_of("127.0.0.1") >= 1, timeout=30),
                        "run mode never reached its first round")
        rc, out = self.run_hv("-stop", timeout=30)
        self.assertEqual(rc, 0, out)
        child.communicate(timeout=30)
        self.assertEqual(child.returncode, 0)
        return self.read("hostvigil_log.txt")

    def test_pipe_is_ignored_and_never_waited_on(self):
        os.mkfifo(self.path("hostvigil_state.json"))
        self.assertIn("State file hostvigil_state.json ignored (it is not a regular file); "
                      "starting fresh", self.run_and_stop())
        self.assertEqual(self.run_hv("-summary", timeout=30), (
            1, "State file hostvigil_state.json cannot be used: it is not a regular file\n"))
        self.assertTrue(stat.S_ISFIFO(os.lstat(self.path("hostvigil_state.json")).st_mode))

    def test_directory_is_said_plainly(self):
        os.mkdir(self.path("hostvigil_state.json"))
        line = "hostvigil_state.json is a directory; state will not be kept"
        self.assertIn(line, self.run_and_stop())
        self.assertEqual(self.run_hv("-summary", timeout=30), (1, line + "\n"))
        self.assertEqual(os.listdir(self.path("hostvigil_state.json")), [])


class ReportKeysInCheck(WorkDir):
    def check_lines(self, value):
        self.write("hostvigil_host.txt", monitor_config(["127.0.0.1"]) + f'status_page : "{value}"\n')
        self.write("hostvigil_email.txt", ALERTS)
        rc, out = self.run_hv("-check")
        return [line for line in out.splitlines() if "status_page" in line]

    def test_values_run_mode_could_not_write_are_reported(self):
        os.mkdir(self.path("adir"))
        os.mkdir(self.path("sub"))
        self.assertEqual(self.check_lines("page.html"), [])
        self.assertEqual(self.check_lines(self.path("sub/page.html")), [])
        for value, problem in [("", "must name a file"), ("adir", "cannot be written"),
                               ("missing/page.html", "cannot be written"),
                               ("x" * 300, "is too long")]:
            lines = self.check_lines(value)
            self.assertEqual(len(lines), 1, value)
            self.assertIn(problem, lines[0])
        if os.geteuid() != 0:
            os.chmod(self.path("sub"), 0o555)
            self.assertEqual(len(self.check_lines(self.path("sub/page.html"))), 1)


class PageAndMetricsOfARun(MonitorCase):
    HOSTS = ["127.0.0.1", "127.0.0.2", "127.0.0.3"]

    def test_round_with_a_down_host_in_a_browser_and_a_prometheus_parser(self):
        self.fake_curl()
        self.write("hostvigil_email.txt", ALERTS)
        self.write("hostvigil_host.txt", monitor_config(self.HOSTS, alertcount=2) +
                   'instance_name : "lab <script>alert(1)</script> & co"\n'
                   'status_page : "hostvigil_status.html"\nmetrics_file : "hostvigil.prom"\n')
        self.set_host("127.0.0.2", "state", "D")
        child = self.start_monitor()
        self.assertTrue(wait_for(lambda: all(self.checks_of(h) >= 4 for h in self.HOSTS),
                                 timeout=60))
        rc, summary = self.run_hv("-summary")
        self.assertEqual(rc, 0)
        self.assertEqual(len(summary.splitlines()), 3 + len(self.HOSTS), summary)
        self.stop_child(child)

        dom = self.dump_dom(self.path("hostvigil_status.html"))
        rows = dom.count('<tr class="host">')
        self.assertEqual(rows, len(self.HOSTS), dom)
        self.assertIn('<span class="state up">up</span>', dom)
        self.assertIn('<span class="state alert">alert</span>', dom)
        self.assertIn("lab &lt;script&gt;alert(1)&lt;/script&gt; &amp; co", dom)
        self.assertNotIn("<script", dom)
        self.assertIn('<span id="hosts-up">2</span> up, <span id="hosts-down">1</span> down', dom)

        samples = {}
        for family in text_string_to_metric_families(self.read("hostvigil.prom")):
            for s in family.samples:
                samples[(s.name, s.labels.get("host"), s.labels.get("channel"),
                         s.labels.get("result"))] = s.value
                self.assertEqual(s.labels["station"], "lab <script>alert(1)</script> & co")
        self.assertEqual(samples[("hostvigil_host_up", "127.0.0.1", None, None)], 1)
        self.assertEqual(samples[("hostvigil_host_up", "127.0.0.2", None, None)], 0)
        self.assertEqual(samples[("hostvigil_host_alert_active", "127.0.0.2", None, None)], 1)
        self.assertAlmostEqual(samples[("hostvigil_host_rtt_seconds", "127.0.0.1", None, None)],
                               0.00005)
        self.assertNotIn(("hostvigil_host_rtt_seconds", "127.0.0.2", None, None), samples)
        self.assertEqual(samples[("hostvigil_notifications_total", None, "email", "ok")], 1)
        self.assertGreater(samples[("hostvigil_last_round_timestamp_seconds", None, None, None)], 0)

    def test_odd_and_legacy_texts_give_a_file_the_parser_takes_whole(self):
        # Host texts the checks refuse but the reports still list, and a station name and a
        # host saved in Latin-1 (a Windows machine name from its ANSI code page looks alike).
        hosts = ["127.0.0.1", "back\\slash\\ \\n", "cr\rtab\tend", "caf\xe9"]
        self.fake_curl()
        self.write("hostvigil_email.txt", ALERTS)
        config = (monitor_config(hosts) + 'instance_name : "st\xe4tion"\n'
                  'metrics_file : "hostvigil.prom"\n')
        self.write("hostvigil_host.txt", config.encode("latin-1"), mode="wb")
        child = self.start_monitor()

        def host_labels():
            if not self.exists("hostvigil.prom"):
                return None
            families = text_string_to_metric_families(self.read("hostvigil.prom", "rb").decode())
            return {s.labels["host"]: s.labels["station"]
                    for family in families if family.name == "hostvigil_host_up"
                    for s in family.samples}

        expected = {h.replace("\xe9", "\ufffd"): "st\ufffdtion" for h in hosts}
        self.assertEqual(wait_for(lambda: host_labels() == expected and expected, timeout=60),
                         expected, host_labels())
        self.stop_child(child)

    def dump_dom(self, page):
        profile = tempfile.mkdtemp(prefix="hv-chromium-")
        self.addCleanup(shutil.rmtree, profile, True)
        result = subprocess.run(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--no-first-run", f"--user-data-dir={profile}", "--dump-dom", "file://" + page],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120)
        self.assertEqual(result.returncode, 0)
        return result.stdout.decode()


if __name__ == "__main__":
    unittest.main()
