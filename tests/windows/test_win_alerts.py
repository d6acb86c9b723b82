"""hostvigil.exe under Wine with fake ping.exe and curl.exe first on PATH: an alert and a
recovery, host texts that a command interpreter would act on, -test and -check."""

import os
import re
import subprocess
import unittest

from winharness import WINE, WineWorkDir, wait_for, winpath

PASSWORD = 'p&ss|w^rd %PATH% back\\slash!'
TOKEN = "123456:AbC&x|%PATH%"
WEBHOOK = "https://example.invalid/webhookb2/a&b|c%PATH%"


def alert_file(email=True, telegram=True, teams=True):
    lines = []
    if email:
        lines += ['server : "smtp://127.0.0.1:2525"', 'email : "monitor@example.com"',
                  f'password : "{PASSWORD}"', 'to : "ops@example.com"']
    if telegram:
        lines += [f'token : "{TOKEN}"', 'chat_id : "-100123"']
    if teams:
        lines += [f'teams_webhook : "{WEBHOOK}"']
    return "\r\n".join(lines) + "\r\n"


def curl_processes(bin_dir):
    """Linux processes that run the fake curl.exe of bin_dir under Wine."""
    name = winpath(os.path.join(bin_dir, "curl.exe")).lower().encode()
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                if name in f.read().lower():
                    found.append(int(entry))
        except (OSError, ValueError):
            pass
    return found


class WineFakes(WineWorkDir):
    def setUp(self):
        super().setUp()
        self.fake("ping")
        self.fake("curl")

    def assert_curl_runs_are_safe(self, calls):
        """Every run is bounded and reads its secrets from standard input."""
        for call in calls:
            argv = call["argv"]
            self.assertEqual(argv[-6:], ["--connect-timeout", "15", "--max-time", "60", "-K", "-"])
            for secret in ("p&ss", TOKEN, WEBHOOK):
                self.assertNotIn(secret, call["cmdline"])


class AlertAndRecovery(WineFakes):
    def test_a_host_that_goes_down_alerts_once_and_recovers(self):
        self.host_config([("127.0.0.1", ['timeoutsec : "1"', 'alertcount : "2"',
                                         'tcpfallback : "no"'])])
        self.write("hostvigil_email.txt", alert_file(teams=True))
        self.set_fake_ping("down")
        run = self.start_hv()
        self.assertTrue(wait_for(lambda: "***Alert sending" in self.log_text(), timeout=60),
                        run.output())
        out = run.output()
        self.assertIn("[127.0.0.1] Ping Timeout... 127.0.0.1 received=0/1 count 1/2\r\n", out)
        self.assertIn("[127.0.0.1] Ping Timeout... 127.0.0.1 received=0/1 count 2/2\r\n", out)

        self.set_fake_ping("up")
        self.assertTrue(wait_for(lambda: "Back to normal." in self.log_text(), timeout=60),
                        run.output())
        self.assertIn("[127.0.0.1] Ping OK 127.0.0.1 received=1/1\r\n", run.output())
        self.assertEqual(self.run_hv("-stop"), (0, "hostvigil stopped\r\n"))
        run.finish()

        # The alert went out on all three channels, the recovery on e-mail and Telegram only.
        log = self.log_text()
        self.assertEqual(log.count("***Alert sending : "), 2, log)
        self.assertRegex(log, r"\*\*\*Alert sending : [-0-9 :]+ Ping Timeout\.\.\. 127\.0\.0\.1 "
                              r"received=0/1 count 2/2\r\n")
        calls = self.fake_calls("curl")
        self.assertEqual(len(calls), 5, calls)
        self.assert_curl_runs_are_safe(calls)
        # Each channel sends on its own thread, so the e-mail run need not be the first.
        password = PASSWORD.replace("\\", "\\\\").replace('"', '\\"')
        self.assertTrue(any(password in call["stdin"] for call in calls), calls)
        # The message files were read by curl and are gone afterwards.
        self.assertTrue(any(call["files"] for call in calls))
        leftovers = [n for n in os.listdir(self.work)
                     if n.startswith(("pingmailtext", "teamsmsg"))]
        self.assertEqual(leftovers, [])

        for call in self.fake_calls("ping"):
            self.assertEqual(call["argv"][0], "-n")
            self.assertEqual(call["argv"][-1], "127.0.0.1")
            self.assertEqual(call["stdin"], "")


class OrderlyStop(WineFakes):
    def test_stop_during_a_slow_send_lets_it_finish(self):
        self.host_config([("127.0.0.1", ['timeoutsec : "1"', 'alertcount : "1"',
                                         'tcpfallback : "no"'])], interval=30)
        self.write("hostvigil_email.txt", alert_file(telegram=False, teams=False))
        self.set_fake_ping("down")
        with open(os.path.join(self.bin_dir, "curl_sleep.txt"), "w") as f:
            f.write("8000")
        run = self.start_hv()
        curl_pid = os.path.join(self.bin_dir, "curl.pid")
        self.assertTrue(wait_for(lambda: os.path.exists(curl_pid), timeout=60), run.output())
        code, out = self.run_hv("-stop", timeout=200)
        self.assertEqual(code, 0, out)
        self.assertRegex(out, r"^Waiting for hostvigil pid \d+ to finish its sends \.+\r\n"
                              r"hostvigil stopped\r\n$")
        code, out = run.finish()
        self.assertEqual(code, 0, out)
        # The send finished: curl ran to its end and its message file is gone.
        self.assertEqual(len(self.fake_calls("curl")), 1)
        self.assertIn("***Alert sending", self.log_text())
        self.assertFalse(self.exists("hostvigil.pid"))
        self.assertEqual([n for n in os.listdir(self.work) if n.startswith("pingmailtext")], [])


class KilledDuringSend(WineFakes):
    def test_curl_ends_with_a_killed_instance_and_a_new_start_sweeps_its_file(self):
        self.host_config([("127.0.0.1", ['timeoutsec : "1"', 'alertcount : "1"',
                                         'tcpfallback : "no"'])], interval=30)
        self.write("hostvigil_email.txt", alert_file(telegram=False, teams=False))
        self.set_fake_ping("down")
        sleep_file = os.path.join(self.bin_dir, "curl_sleep.txt")
        with open(sleep_file, "w") as f:
            f.write("120000")
        run = self.start_hv()
        curl_pid_file = os.path.join(self.bin_dir, "curl.pid")
        self.assertTrue(wait_for(lambda: os.path.exists(curl_pid_file), timeout=60), run.output())
        left = [n for n in os.listdir(self.work) if n.startswith("pingmailtext")]
        self.assertEqual(len(left), 1)

        # Ended outright, as by the task manager: no handler of its own runs.
        pid = self.read_pid()
        self.assertTrue(pid)
        subprocess.run([WINE, "taskkill", "/F", "/PID", str(pid)], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        run.finish(timeout=60)
        self.assertTrue(wait_for(lambda: not curl_processes(self.bin_dir), timeout=30),
                        "curl.exe outlived the killed instance")
        self.assertEqual(len(self.fake_calls("curl")), 1)
        self.assertTrue(self.exists(left[0]))

        os.remove(sleep_file)
        self.start_hv()
        self.assertTrue(wait_for(lambda: not self.exists(left[0]), timeout=60),
                        os.listdir(self.work))
        self.assertEqual(self.run_hv("-stop", timeout=200)[0], 0)


class CommandInterpreter(WineFakes):
    HOSTS = ["%PATH%", "a&echo", "b|more", "c%OS%d"]

    def test_host_texts_reach_no_command_interpreter(self):
        self.host_config([(host, None) for host in self.HOSTS], interval=30)
        self.write("hostvigil_email.txt", alert_file(email=False, telegram=False, teams=False))
        self.set_fake_ping("up")
        run = self.start_hv()
        self.assertTrue(wait_for(lambda: run.output().count("\r\n[") >= len(self.HOSTS),
                                 timeout=60), run.output())
        self.run_hv("-stop")
        run.finish()
        out = run.output()
        # '%' is allowed in a host text and reaches ping unexpanded; '&' and '|' make the text
        # unusable, so its check fails without starting anything.
        self.assertIn("[%PATH%] Ping OK %PATH% received=1/1\r\n", out)
        self.assertIn("[c%OS%d] Ping OK c%OS%d received=1/1\r\n", out)
        self.assertRegex(out, r"\[a&echo\] Ping Timeout\.\.\. a&echo received=0/1 count 1/2")
        self.assertRegex(out, r"\[b\|more\] Ping Timeout\.\.\. b\|more received=0/1 count 1/2")
        hosts = sorted(call["argv"][-1] for call in self.fake_calls("ping"))
        self.assertEqual(hosts, ["%PATH%", "c%OS%d"])
        for call in self.fake_calls("ping"):
            self.assertIn(call["argv"][-1], call["cmdline"])

        code, out = self.run_hv("-check")
        self.assertEqual(code, 1, out)
        self.assertEqual(len(re.findall(r"Line \d+: invalid host name\r\n", out)), 2, out)


class SelfTest(WineFakes):
    def test_every_channel_runs_curl_without_secrets_in_its_arguments(self):
        self.host_config([("127.0.0.1", None)])
        self.write("hostvigil_email.txt", alert_file())
        code, out = self.run_hv("-test")
        self.assertEqual(code, 0, out)
        self.assertTrue(out.endswith(
            "Test result:\r\nEmail    : OK\r\nTelegram : OK\r\nTeams    : OK\r\n"), out)
        email, telegram, teams = self.fake_calls("curl")
        self.assert_curl_runs_are_safe([email, telegram, teams])
        self.assertIn("--ssl-reqd", email["argv"])
        for call in (telegram, teams):
            self.assertIn("--fail", call["argv"])
        # Secrets arrive on standard input in curl's config syntax, byte for byte.
        self.assertIn('user = "monitor@example.com:' + PASSWORD.replace("\\", "\\\\")
                      .replace('"', '\\"') + '"', email["stdin"])
        self.assertIn("/bot" + TOKEN + "/sendMessage", telegram["stdin"])
        self.assertIn('"' + WEBHOOK + '"', teams["stdin"])

    def test_a_failing_curl_fails_the_test(self):
        self.host_config([("127.0.0.1", None)])
        self.write("hostvigil_email.txt", alert_file())
        self.set_fake_exit("curl", 22)
        code, out = self.run_hv("-test")
        self.assertEqual(code, 1, out)
        self.assertIn("Telegram command rc=22\r\nTelegram test FAILED\r\n", out)
        self.assertTrue(out.endswith(
            "Email    : FAILED\r\nTelegram : FAILED\r\nTeams    : FAILED\r\n"), out)


class Check(WineWorkDir):
    def test_check_accepts_a_good_pair_of_files_and_rejects_a_bad_one(self):
        self.host_config([("127.0.0.1", None)])
        self.write("hostvigil_email.txt", alert_file())
        code, out = self.run_hv("-check")
        self.assertEqual(code, 0, out)
        self.assertTrue(out.endswith("Result: OK\r\n"), out)

        self.write("hostvigil_host.txt", 'interval = "5"\r\nhost : "127.0.0.1"\r\n')
        code, out = self.run_hv("-check")
        self.assertEqual(code, 1, out)
        self.assertIn("Line 1: '=' is not supported, use ':' instead\r\n", out)
        self.assertTrue(out.endswith("Result: FAILED\r\n"), out)


if __name__ == "__main__":
    unittest.main()
