"""A stop in the middle of a round with the real ping: every host on the loopback network
answers, so no check may end as a failure, a TCP-only answer or an alert, whatever ping the
stop happens to meet (running, just exited, its answer still unread)."""

import json
import os
import shutil
import signal
import subprocess

from harness import WorkDir

HOSTS = [f"127.0.0.{n}" for n in range(1, 201)]

ALERTS = """server : "smtp://127.0.0.1:2525"
email : "hv@example.org"
password : "pw"
to : "ops@example.org"
"""


def host_file(tcpfallback):
    lines = ['interval : "1"', 'fast_retry_interval : "1"', 'pingcount : "1"', 'workers : "50"']
    for host in HOSTS:
        lines += [f'host : "{host}"', 'timeoutsec : "1"', 'alertcount : "1"',
                  f'tcpfallback : "{tcpfallback}"']
    return "\n".join(lines) + "\n"


class StopMidRound(WorkDir):
    def setUp(self):
        super().setUp()
        ping = shutil.which("ping")
        answered = ping and subprocess.run([ping, "-c", "1", "-W", "1", "127.0.0.2"],
                                           stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL).returncode == 0
        if not answered:
            self.skipTest("the system ping gets no answer from the loopback network here")
        self.fake_curl()

    def run_and_stop_after(self, answers, tcpfallback):
        """Runs the monitor until the console has shown `answers` answered checks, stops it
        with SIGTERM, and returns its whole console output."""
        self.write("hostvigil_host.txt", host_file(tcpfallback))
        self.write("hostvigil_email.txt", ALERTS)
        child = self.start_hv()
        seen = []
        while sum("] Ping OK " in line for line in seen) < answers:
            line = child.stdout.readline().decode("utf-8", "replace")
            if not line:
                break
            seen.append(line)
        rc, rest = self.stop_child(child, signal.SIGTERM)
        out = "".join(seen) + rest
        self.assertEqual(rc, 0, out[-2000:])
        return out

    def test_no_check_cut_by_the_stop_counts_as_failed(self):
        # Moments in the first and second round, with and without the TCP fallback.
        for answers, tcpfallback in ((1, "no"), (60, "yes"), (95, "no"), (120, "yes"),
                                     (175, "no"), (230, "yes"), (280, "no"), (330, "yes")):
            with self.subTest(answers=answers, tcpfallback=tcpfallback):
                for name in ("hostvigil_state.json", "hostvigil_log.txt"):
                    if self.exists(name):
                        os.remove(self.path(name))
                out = self.run_and_stop_after(answers, tcpfallback)
                bad = [line for line in out.splitlines()
                       if "Ping Timeout" in line or "Ping blocked" in line]
                self.assertEqual(bad, [])
                self.assertFalse([line for line in self.log_lines() if "Alert" in line],
                                 self.log_lines())
                self.assertEqual(self.curl_calls(), [])
                state = json.loads(self.read("hostvigil_state.json"))
                for host in state["hosts"]:
                    self.assertEqual((host["fail_count"], host["alert_outstanding"]), (0, False),
                                     host["host"])
                    self.assertNotIn("D", host["recent"], host["host"])
                    # A host the stop came before has no result yet.
                    if host["recent"]:
                        self.assertTrue(host["last_result"].startswith("Ping OK"), host)
