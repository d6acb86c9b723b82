"""The -test command: its report, its event-log entries and its exit code, against local
stand-ins of the three services."""

import json
import os
import re
import unittest
import urllib.parse

import test_channels as channels

ALL_OK = """Testing Email alert...
Sending mail alert now .....
Email command rc=0
Email test OK

Testing Telegram alert...
Sending Telegram alert now .....
Telegram command rc=0
Telegram test OK

Testing Microsoft Teams alert...
Sending Microsoft Teams alert ...
Teams command rc=0
Teams test OK

Test result:
Email    : OK
Telegram : OK
Teams    : OK
"""

NONE_CONFIGURED = """Testing Email alert...
Email not configured

Testing Telegram alert...
Telegram not configured

Testing Microsoft Teams alert...
Teams not configured

Test result:
Email    : FAILED
Telegram : FAILED
Teams    : FAILED
"""


class SelfTest(channels.ChannelCase):
    def log_messages(self):
        stamp = re.compile(channels.TIME_RE + " ")
        messages = []
        for line in self.log_lines():
            self.assertRegex(line, stamp)
            messages.append(line[20:])
        return messages

    def configure_all(self, smtp, telegram, teams):
        self.write_alerts(server=smtp.url, email=channels.LOGIN, password=channels.PASSWORD,
                          to="ops@example.com", token=channels.TOKEN, chat_id=channels.CHAT_ID,
                          teams_webhook=teams.url + channels.WEBHOOK_PATH)

    def test_all_three_services_answer(self):
        smtp, telegram, teams = self.smtp(), self.telegram(200), self.teams(200)
        self.configure_all(smtp, telegram, teams)
        code, out = self.run_test_command()
        self.assertEqual((code, out), (0, ALL_OK))

        [message] = smtp.received()
        body = message["data"].split(b"\r\n\r\n", 1)[1].decode().replace("\r\n", "\n")
        time = re.search(f"Time: ({channels.TIME_RE})", body).group(1)
        self.assertEqual(body, channels.long_text(time) + "\n")
        [request] = telegram.received()
        text = urllib.parse.parse_qs(request["path"].partition("?")[2])["text"][0]
        self.assertEqual(text, channels.short_text(time))
        self.assertEqual(text.split("\n")[0].encode(),
                         re.search(rb"\r\nSubject: ([^\r]*)\r\n", message["data"]).group(1))
        [post] = teams.received()
        card_text = json.loads(post["body"])["attachments"][0]["content"]["body"][0]["text"]
        self.assertEqual(card_text, channels.long_text(time))

        self.assertEqual(self.log_messages(), [
            "Send Mail Alert to ops@example.com via SMTP " + smtp.url,
            f"Send Telegram alert to chat_id [{channels.CHAT_ID}]",
            "Send Teams alert",
            "***TEST sending : hostvigil notification test",
            "Email test OK", "Telegram test OK", "Teams test OK"])

    def test_all_three_services_refuse(self):
        smtp = self.smtp(password="not-the-configured-one")
        telegram, teams = self.telegram(401), self.teams(400)
        self.configure_all(smtp, telegram, teams)
        code, out = self.run_test_command()
        self.assertEqual(code, 1, out)
        for channel in ("Email", "Telegram", "Teams"):
            self.assertRegex(out, f"{channel} command rc=[1-9]\\d*\n{channel} test FAILED\n")
        self.assertTrue(out.endswith(
            "Test result:\nEmail    : FAILED\nTelegram : FAILED\nTeams    : FAILED\n"), out)
        self.assertEqual(self.log_messages()[-3:],
                         ["Email test FAILED", "Telegram test FAILED", "Teams test FAILED"])

    def test_nothing_configured(self):
        for name, alert_file in [("empty alert file", ""), ("no alert file", None)]:
            with self.subTest(name):
                if alert_file is None:
                    os.remove(self.path("hostvigil_email.txt"))
                else:
                    self.write("hostvigil_email.txt", alert_file)
                if self.exists("hostvigil_log.txt"):
                    os.remove(self.path("hostvigil_log.txt"))
                code, out = self.run_test_command()
                self.assertEqual(code, 1, out)
                self.assertTrue(out.endswith(NONE_CONFIGURED), out)
                self.assertEqual(self.log_messages(), [
                    "Email test skipped: email not configured",
                    "Telegram test skipped: telegram not configured",
                    "Teams test skipped: teams_webhook not configured",
                    "***TEST sending : hostvigil notification test",
                    "Email test FAILED", "Telegram test FAILED", "Teams test FAILED"])

    def test_one_working_channel_is_enough_and_silent_mutes_only_the_channel_lines(self):
        teams = self.teams(202)
        self.write_alerts(teams_webhook=teams.url + "/hook")
        code, out = self.run_test_command("-s")
        self.assertEqual(code, 0, out)
        self.assertEqual(out, NONE_CONFIGURED.replace(
            "Teams not configured\n", "Teams test OK\n").replace(
            "Teams    : FAILED", "Teams    : OK"))
        self.assertEqual(len(teams.received()), 1)

    def test_host_label_and_targets_come_from_the_monitor_configuration(self):
        teams = self.teams(200)
        self.write_alerts(teams_webhook=teams.url + "/hook")
        self.write("hostvigil_host.txt",
                   'instance_name : "edge-7"\nhost : "127.0.0.1"\nhost : "localhost"\n')
        code, out = self.run_test_command()
        self.assertEqual(code, 0, out)
        text = json.loads(teams.received()[0]["body"])["attachments"][0]["content"]["body"][0][
            "text"]
        self.assertIn("\nHost: edge-7\n", text)
        self.assertIn("\nTargets: 2\n", text)

    def test_missing_monitor_configuration_ends_before_any_test(self):
        self.write_alerts(teams_webhook="http://127.0.0.1:1/hook")
        os.remove(self.path("hostvigil_host.txt"))
        code, out = self.run_hv("-test")
        self.assertEqual(code, 1)
        self.assertEqual(out, "hostvigil_host.txt is not existed\n")


if __name__ == "__main__":
    unittest.main()
