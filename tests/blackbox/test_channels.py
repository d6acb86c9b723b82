"""The alert channels as -test drives them: the real curl against local SMTP, HTTPS and HTTP
servers, and a stand-in curl that records what it is given."""

import datetime
import email.utils
import json
import os
import re
import subprocess
import unittest
import urllib.parse

import servers
from harness import BIN, WorkDir

LOGIN = "alerts@example.com"
PASSWORD = "pa\\ss:w0rd"  # a backslash and a colon travel through the curl config
TOKEN = "123456:SECRET-bot-token"
CHAT_ID = "-100200300"
WEBHOOK_PATH = "/webhookb2/abc?sig=SECRET-signature"
INSTANCE = "bb-station"

TIME_RE = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"


def long_text(time, host=INSTANCE, targets=0):
    return ("This is a test message from hostvigil.\n\n"
            f"Host: {host}\nTime: {time}\nTargets: {targets}\nInterval: 15 sec\n"
            "FastRetry: 4 sec\nPingCount: 3\nWorkers: 2\n\n"
            "If you received this message, notification is working correctly.\n")


def short_text(time, host=INSTANCE, targets=0):
    return ("[TEST] hostvigil notification test\n"
            f"Host: {host}\nTime: {time}\nTargets: {targets}\nInterval: 15 sec\n"
            "PingCount: 3\nWorkers: 2\nEmail / Telegram / Teams settings are working.")


class ChannelCase(servers.SharedCA, WorkDir):
    """A working directory with both configuration files, a curl config that trusts a test CA
    and sends api.telegram.org to a local server, and helpers to start the stand-in servers."""

    def setUp(self):
        super().setUp()
        self.config_names = {"hostvigil_host.txt", "hostvigil_email.txt", "hostvigil_log.txt"}
        self.write("hostvigil_host.txt", f'instance_name : "{INSTANCE}"\n')
        self.use_curl_config()

    def use_curl_config(self, telegram_port=None):
        redirect = {"api.telegram.org:443": telegram_port} if telegram_port else None
        self.env = servers.curl_environment(self.env, os.path.join(self.dir, "curlhome"),
                                            self.ca, redirect)

    def write_alerts(self, **values):
        lines = [f'{key} : "{value}"' for key, value in values.items()]
        self.write("hostvigil_email.txt", "\n".join(lines) + "\n")

    def smtp(self, tls=True, password=PASSWORD):
        return self.enterContext(servers.SmtpServer(tls=self.ca if tls else None,
                                                    users={LOGIN: password}))

    def telegram(self, status=200):
        server = self.enterContext(servers.HttpServer(tls=self.ca, status=status))
        self.use_curl_config(server.port)
        return server

    def teams(self, status=200):
        return self.enterContext(servers.HttpServer(status=status))

    def leftovers(self):
        return sorted(set(os.listdir(self.work)) - self.config_names)

    def run_test_command(self, *extra):
        code, out = self.run_hv(*extra, "-test")
        self.assertEqual(self.leftovers(), [], out)
        return code, out


class EmailChannel(ChannelCase):
    def test_message_reaches_the_server_with_login_envelope_and_headers(self):
        smtp = self.smtp()
        self.write_alerts(server=smtp.url, email=LOGIN, password=PASSWORD,
                          to=" ops@example.com , ,  oncall@example.org ")
        # A zone west of UTC by a half hour: the Date header must give its offset and the
        # moment of sending.
        self.env["TZ"] = "<-0330>3:30"
        before = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
        code, out = self.run_test_command()
        after = datetime.datetime.now(datetime.timezone.utc)
        self.assertEqual(code, 0, out)
        self.assertIn("Email command rc=0\nEmail test OK\n", out)

        [message] = smtp.received()
        self.assertEqual(message["login"], LOGIN)
        self.assertEqual(message["mail_from"], LOGIN)  # no `from`: the login is the sender
        self.assertEqual(message["rcpt_tos"], ["ops@example.com", "oncall@example.org"])
        data = message["data"]
        self.assertNotRegex(data, rb"[^\r]\n", "every line ends in CR LF")
        header = re.match(
            rb"From: alerts@example\.com\r\n"
            rb"To: ops@example\.com , ,  oncall@example\.org\r\n"
            rb"Subject: \[TEST\] hostvigil notification test\r\n"
            rb"Date: ([^\r]+)\r\n"
            rb"Message-ID: <[^@<>\r]+@example\.com>\r\n"
            rb"MIME-Version: 1\.0\r\n"
            rb"Content-Type: text/plain; charset=UTF-8\r\n\r\n", data)
        self.assertIsNotNone(header, data)
        date_text = header.group(1).decode()
        self.assertRegex(date_text, r" -0330$")
        date = email.utils.parsedate_to_datetime(date_text)
        self.assertTrue(before <= date <= after, (before, date_text, after))
        self.assertEqual(email.utils.format_datetime(date), date_text)
        body = data.split(b"\r\n\r\n", 1)[1].decode().replace("\r\n", "\n")
        time = re.search(f"Time: ({TIME_RE})", body).group(1)
        self.assertEqual(body, long_text(time) + "\n")

    def test_configured_sender_is_used(self):
        smtp = self.smtp()
        self.write_alerts(server=smtp.url, email=LOGIN, password=PASSWORD,
                          **{"from": "monitor@mail.example.net"}, to="ops@example.com")
        code, out = self.run_test_command()
        self.assertEqual(code, 0, out)
        [message] = smtp.received()
        self.assertEqual(message["mail_from"], "monitor@mail.example.net")
        self.assertIn(b"\r\nFrom: monitor@mail.example.net\r\n", b"\r\n" + message["data"])
        self.assertRegex(message["data"], rb"\r\nMessage-ID: <[^@]+@mail\.example\.net>\r\n")

    def test_greeting_names_the_sender_domain_not_the_message_file(self):
        # curl greets with the URL's path, or with the uploaded file's name when there is none.
        smtp = self.smtp()
        for server, sender, ehlo in ((smtp.url, None, "example.com"),
                                     (smtp.url + "/", "ops@mail.example.net", "mail.example.net"),
                                     (smtp.url + "/relay.example.org", None, "relay.example.org")):
            with self.subTest(server=server):
                extra = {"from": sender} if sender else {}
                self.write_alerts(server=server, email=LOGIN, password=PASSWORD, **extra,
                                  to="ops@example.com")
                code, out = self.run_test_command()
                self.assertEqual(code, 0, out)
                self.assertEqual(smtp.received()[-1]["ehlo"], ehlo)

    def test_refused_or_unreachable_server_fails(self):
        wrong_password = self.smtp(password="another")
        no_tls = self.smtp(tls=False)
        port = servers.free_port()
        # Each failure tells why: the server's refusal with curl's own words, or curl's words
        # alone when no server answered; never the password.
        cases = [("wrong password", wrong_password.url, "67",
                  r"SMTP 535, curl: \(67\) Login denied"),
                 ("no TLS offered", no_tls.url, "64", r"curl: \(64\) [^\n]+"),
                 ("nothing listening", f"smtp://127.0.0.1:{port}", "7",
                  rf"curl: \(7\) Failed to connect to 127\.0\.0\.1 port {port}[^\n]*")]
        for name, url, rc, reason in cases:
            with self.subTest(name):
                self.write_alerts(server=url, email=LOGIN, password=PASSWORD, to="ops@example.com")
                code, out = self.run_test_command()
                self.assertEqual(code, 1, out)
                self.assertRegex(out, f"Email command rc={rc}\nEmail test FAILED\n")
                log = "\n".join(self.log_lines())
                self.assertRegex(log, rf"Mail test message failed \(curl exit code {rc}: "
                                      f"{reason}\\)")
                for text in (out, log):
                    self.assertNotIn(PASSWORD, text)
                    self.assertNotIn("w0rd", text)
        self.assertEqual(wrong_password.received() + no_tls.received(), [])
        self.assertEqual(wrong_password.auth_attempts, [(LOGIN, PASSWORD)])
        # Without TLS the login is never offered, so the password never crosses the wire.
        self.assertEqual(no_tls.auth_attempts, [])


class TelegramChannel(ChannelCase):
    def test_request_carries_token_chat_and_text(self):
        api = self.telegram(200)
        self.write_alerts(token=TOKEN, chat_id=CHAT_ID)
        code, out = self.run_test_command()
        self.assertEqual(code, 0, out)
        self.assertIn("Telegram command rc=0\nTelegram test OK\n", out)
        [request] = api.received()
        self.assertEqual(request["method"], "GET")
        self.assertEqual(request["headers"]["host"], "api.telegram.org")
        path, _, query = request["path"].partition("?")
        self.assertEqual(path, f"/bot{TOKEN}/sendMessage")
        self.assertNotIn("+", query, "a blank travels as %20")
        fields = urllib.parse.parse_qs(query, keep_blank_values=True)
        self.assertEqual(fields["chat_id"], [CHAT_ID])
        [text] = fields["text"]
        time = re.search(f"Time: ({TIME_RE})", text).group(1)
        self.assertEqual(text, short_text(time))

    def test_refused_request_fails_with_the_status(self):
        self.telegram(403)
        self.write_alerts(token=TOKEN, chat_id=CHAT_ID)
        code, out = self.run_test_command()
        self.assertEqual(code, 1, out)
        self.assertIn("Telegram command rc=22\nTelegram test FAILED\n", out)
        log = "\n".join(self.log_lines())
        self.assertIn("Telegram test message failed (curl exit code 22: HTTP 403)", log)
        self.assertNotIn("SECRET", out + log)


class TeamsChannel(ChannelCase):
    def test_card_is_posted_and_status_decides(self):
        for status, verdict in [(200, "OK"), (202, "OK"), (400, "FAILED")]:
            with self.subTest(status=status):
                hook = self.teams(status)
                self.write_alerts(teams_webhook=hook.url + WEBHOOK_PATH)
                code, out = self.run_test_command()
                self.assertEqual(code, 0 if verdict == "OK" else 1, out)
                self.assertIn(f"\nTeams test {verdict}\n", out)
                [request] = hook.received()
                self.assertEqual(request["method"], "POST")
                self.assertEqual(request["path"], WEBHOOK_PATH)
                self.assertEqual(request["headers"]["content-type"], "application/json")
                card = json.loads(request["body"])
                self.assertEqual(card["type"], "message")
                [attachment] = card["attachments"]
                self.assertEqual(attachment["contentType"],
                                 "application/vnd.microsoft.card.adaptive")
                content = attachment["content"]
                self.assertEqual(content["$schema"],
                                 "http://adaptivecards.io/schemas/adaptive-card.json")
                self.assertEqual((content["type"], content["version"]), ("AdaptiveCard", "1.5"))
                [block] = content["body"]
                time = re.search(f"Time: ({TIME_RE})", block["text"]).group(1)
                self.assertEqual(block, {"type": "TextBlock", "text": long_text(time),
                                         "weight": "Bolder", "size": "Medium", "wrap": True})


    def test_refused_card_fails_with_the_status(self):
        hook = self.teams(500)
        self.write_alerts(teams_webhook=hook.url + WEBHOOK_PATH)
        code, out = self.run_test_command()
        self.assertEqual(code, 1, out)
        self.assertIn("Teams command rc=22\nTeams test FAILED\n", out)
        log = "\n".join(self.log_lines())
        self.assertIn("Teams test message failed (curl exit code 22: HTTP 500)", log)
        self.assertNotIn("SECRET", out + log)


class CurlInvocation(ChannelCase):
    """The recording curl first on PATH: each argument vector and standard input."""

    def setUp(self):
        super().setUp()
        self.fake_curl()

    def calls(self):
        return [(call["argv"], call["stdin"]) for call in self.curl_calls()]

    def test_secrets_travel_only_on_standard_input(self):
        webhook = "https://example.invalid" + WEBHOOK_PATH
        self.write_alerts(server="smtps://127.0.0.1:1", email=LOGIN, password=PASSWORD,
                          to="ops@example.com", token=TOKEN, chat_id=CHAT_ID,
                          teams_webhook=webhook)
        code, out = self.run_test_command()
        self.assertEqual(code, 0, out)
        calls = self.calls()
        self.assertEqual(len(calls), 3)
        tail = ["--show-error", "--write-out", "\\nhv-reply:%{response_code}\\n",
                "--connect-timeout", "15", "--max-time", "60", "-K", "-"]
        for argv, _ in calls:
            for secret in (PASSWORD, TOKEN, "SECRET"):
                self.assertNotIn(secret, "\0".join(argv))
            self.assertEqual(argv[-9:], tail)
            # curl's verbose output would show the login and the secret addresses.
            self.assertFalse({"-v", "--verbose", "--trace", "--trace-ascii"} & set(argv), argv)
        # E-mail hands over its login, Telegram its API address, Teams the webhook address.
        order = {"user": 0, "url = \"https://api.telegram.org/": 1, "url = \"https://example": 2}
        (mail_argv, mail_stdin), (tg_argv, tg_stdin), (teams_argv, teams_stdin) = sorted(
            calls, key=lambda call: next(v for k, v in order.items() if call[1].startswith(k)))
        self.assertEqual(mail_argv[:6], ["-s", "smtps://127.0.0.1:1/example.com", "--mail-from",
                                         LOGIN,
                                         "--ssl-reqd", "-T"])
        self.assertRegex(mail_argv[6], r"^pingmailtext-\d+-\d+\.txt$")
        self.assertEqual(mail_argv[7:-9], ["--mail-rcpt", "ops@example.com"])
        self.assertEqual(mail_stdin, f'user = "{LOGIN}:pa\\\\ss:w0rd"\n')
        self.assertEqual(tg_argv, ["-s", "--fail"] + tail)
        self.assertTrue(tg_stdin.startswith(
            f'url = "https://api.telegram.org/bot{TOKEN}/sendMessage?chat_id={CHAT_ID}&text='))
        self.assertEqual(teams_argv[:5], ["-s", "--fail", "-H", "Content-Type: application/json",
                                          "--data-binary"])
        self.assertRegex(teams_argv[5], r"^@teamsmsg-\d+-\d+\.json$")
        self.assertEqual(teams_argv[6:], tail)
        self.assertEqual(teams_stdin, f'url = "{webhook}"\n')

    def test_missing_curl_fails_every_channel(self):
        os.remove(os.path.join(self.bin_dir, "curl"))
        self.env["PATH"] = self.bin_dir
        self.write_alerts(server="smtp://127.0.0.1:1", email=LOGIN, password=PASSWORD,
                          to="ops@example.com", token=TOKEN, chat_id=CHAT_ID,
                          teams_webhook="http://127.0.0.1:1/hook")
        code, out = self.run_test_command()
        self.assertEqual(code, 1, out)
        for line in ("Email command rc=-1", "Telegram command rc=-1", "Teams command rc=-1"):
            self.assertIn(line + "\n", out)

    def test_read_only_directory_sends_nothing_and_leaves_nothing(self):
        self.write_alerts(server="smtp://127.0.0.1:1", email=LOGIN, password=PASSWORD,
                          to="ops@example.com", teams_webhook="http://127.0.0.1:1/hook")
        prefix = self.make_work_read_only()
        result = subprocess.run([*prefix, BIN, "-test"], cwd=self.work, env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        out = result.stdout.decode()
        self.assertEqual(result.returncode, 1, out)
        self.assertIn("Testing Email alert...\nEmail test FAILED\n", out)
        self.assertIn("Testing Microsoft Teams alert...\nTeams test FAILED\n", out)
        self.assertNotIn("Sending", out)
        self.assertEqual(self.calls(), [])
        self.assertEqual(sorted(os.listdir(self.work)), ["hostvigil_email.txt",
                                                         "hostvigil_host.txt"])


if __name__ == "__main__":
    unittest.main()
