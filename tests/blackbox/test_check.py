"""The -check command: each message, the verdicts and the exit code, on small fixture files."""

import os

from harness import WorkDir

HEAD = ("hostvigil - host monitor by the hostvigil developers\n\n"
        "Important: use ':' as separator. '=' is not supported.\n\n")

MONITOR_OK = ('interval : "15"\nfast_retry_interval : "4"\npingcount : "3"\nworkers : "2"\n'
              'host : "127.0.0.1"\ntimeoutsec : "2"\nalertcount : "3"\n')
ALERT_OK = ('server : ""\nemail : "me@example.com"\npassword : "pw"\nto : "a@example.com"\n')


def report(monitor_lines, monitor_ok, alert_lines, alert_ok):
    """The whole expected output for the two files' messages and verdicts."""
    verdict = lambda ok: "OK" if ok else "FAILED"
    return (HEAD + "Checking hostvigil_host.txt ...\n" + "".join(monitor_lines) +
            verdict(monitor_ok) + "\n\n" + "Checking hostvigil_email.txt ...\n" +
            "".join(alert_lines) + verdict(alert_ok) + "\n\n" +
            "Result: " + verdict(monitor_ok and alert_ok) + "\n")


class CheckCommand(WorkDir):
    def check(self, monitor=None, alert=None, *args):
        if monitor is not None:
            self.write("hostvigil_host.txt", monitor)
        if alert is not None:
            self.write("hostvigil_email.txt", alert)
        return self.run_hv(*args, "-check")

    def assert_monitor(self, monitor, lines, ok=False):
        rc, out = self.check(monitor, ALERT_OK)
        self.assertEqual(out, report(lines, ok, [], True))
        self.assertEqual(rc, 0 if ok else 1)

    def assert_alert(self, alert, lines, ok=False):
        rc, out = self.check(MONITOR_OK, alert)
        self.assertEqual(out, report([], True, lines, ok))
        self.assertEqual(rc, 0 if ok else 1)

    def test_valid_files_pass_even_when_silent_and_change_nothing(self):
        rc, out = self.check(MONITOR_OK, ALERT_OK, "-s")
        self.assertEqual((rc, out), (0, report([], True, [], True)))
        self.assertEqual(self.read("hostvigil_email.txt"), ALERT_OK)
        self.assertEqual(sorted(os.listdir(self.work)), ["hostvigil_email.txt", "hostvigil_host.txt"])

    def test_missing_files_are_reported_and_both_checked(self):
        rc, out = self.check(None, ALERT_OK)
        self.assertEqual((rc, out), (1, report(["File not found: hostvigil_host.txt\n"], False, [], True)))
        os.remove(self.path("hostvigil_email.txt"))
        rc, out = self.check(MONITOR_OK, None)
        self.assertEqual((rc, out), (1, report([], True, ["File not found: hostvigil_email.txt\n"], False)))

    def test_comments_only_monitor_file(self):
        self.assert_monitor("# nothing\n\n  # still nothing\n", [
            "Missing key: interval\n",
            "Missing key: fast_retry_interval\n",
            "Missing key: pingcount\n",
            "Info: workers not set, default workers:2 will be used\n",
            "no host to watch in hostvigil_host.txt\n",
        ])

    def test_encodings_a_windows_editor_saves(self):
        # Notepad's "UTF-8 with BOM" is read as UTF-8; its "Unicode" (UTF-16) is refused by name.
        monitor = MONITOR_OK.replace("\n", "\r\n")
        alert = ALERT_OK.replace("\n", "\r\n")
        cases = [
            ("UTF-8 with BOM", lambda text: b"\xef\xbb\xbf" + text.encode(), True),
            ("UTF-16 LE", lambda text: text.encode("utf-16-le").join([b"\xff\xfe", b""]), False),
            ("UTF-16 BE", lambda text: text.encode("utf-16-be").join([b"\xfe\xff", b""]), False),
        ]
        for name, encode, ok in cases:
            for monitor_encoded in (True, False):
                with self.subTest(name, file="monitor" if monitor_encoded else "alert"):
                    self.write("hostvigil_host.txt",
                               encode(monitor) if monitor_encoded else monitor.encode(), mode="wb")
                    self.write("hostvigil_email.txt",
                               alert.encode() if monitor_encoded else encode(alert), mode="wb")
                    file = "hostvigil_host.txt" if monitor_encoded else "hostvigil_email.txt"
                    refusal = [] if ok else [f"{file} is UTF-16 text; save it as UTF-8\n"]
                    rc, out = self.run_hv("-check")
                    if monitor_encoded:
                        self.assertEqual(out, report(refusal, ok, [], True))
                    else:
                        self.assertEqual(out, report([], True, refusal, ok))
                    self.assertEqual(rc, 0 if ok else 1)

    def test_workers_not_set_is_only_information(self):
        self.assert_monitor(MONITOR_OK.replace('workers : "2"\n', ""),
                            ["Info: workers not set, default workers:2 will be used\n"], ok=True)

    def test_workers_range(self):
        for value, ok in (("0", False), ("51", False), ("many", False), ("-1", False),
                          ("99999999999", False), ("1", True), ("50", True), ("50x", True)):
            with self.subTest(value=value):
                monitor = MONITOR_OK.replace('workers : "2"', f'workers : "{value}"')
                self.assert_monitor(monitor, [] if ok else ["Line 4: workers must be 1-50\n"], ok=ok)

    def test_schedule_values(self):
        for value, ok in (("window", True), ("batch", True), (" window ", True), ("Window", False),
                          ("windows", False), ("", False), ("1", False)):
            with self.subTest(value=value):
                monitor = MONITOR_OK.replace('workers : "2"\n',
                                             f'workers : "2"\nschedule : "{value}"\n')
                self.assert_monitor(monitor, [] if ok else
                                    ["Line 5: schedule must be batch or window\n"], ok=ok)
        # A disabled line is never checked.
        self.assert_monitor(MONITOR_OK + '*schedule : "fast"\n', [], ok=True)

    def test_line_format_messages_with_line_numbers(self):
        monitor = ("# comment\n"
                   "\n"
                   "*disabled line without anything\n"
                   "interval = \"15\"\n"        # line 4: '=' only
                   "fast_retry_interval : 4\n"  # line 5: no quotes
                   "pingcount : \"3\n"          # line 6: one quote
                   "just words\n"               # line 7: no separator
                   " : \"x\"\n"                 # line 8: empty key
                   "workers : \"2\"\n"
                   "host : \"127.0.0.1\"\ntimeoutsec : \"1\"\nalertcount : \"1\"\n")
        self.assert_monitor(monitor, [
            "Line 4: '=' is not supported, use ':' instead\n",
            "Line 5: invalid format, expected key : \"value\"\n",
            "Line 6: invalid format, expected key : \"value\"\n",
            "Line 7: invalid format, expected key : \"value\"\n",
            "Line 8: invalid format, expected key : \"value\"\n",
            "Missing key: interval\n",
            "Missing key: fast_retry_interval\n",
            "Missing key: pingcount\n",
        ])

    def test_host_blocks(self):
        # timeoutsec and alertcount before the first host do not count for it; a disabled host
        # opens no block.
        monitor = ('interval : "1"\nfast_retry_interval : "1"\npingcount : "1"\n'
                   'timeoutsec : "1"\nalertcount : "1"\n'
                   'host : "127.0.0.1"\ntimeoutsec : "1"\n'
                   '*host : "127.0.0.2"\n'
                   'host : "localhost"\nalertcount : "1"\n')
        self.assert_monitor(monitor, [
            "Host #1 missing required key: alertcount\n",
            "Info: workers not set, default workers:2 will be used\n",
            "Host #2 missing required key: timeoutsec\n",
        ])

    def test_invalid_host_names_fail_but_open_a_block(self):
        monitor = MONITOR_OK + 'host : "-oProxy"\nhost : "a b"\nhost : ""\ntimeoutsec : "1"\n'
        self.assert_monitor(monitor, [
            "Line 8: invalid host name\n",
            "Host #2 missing required key: timeoutsec\n",
            "Host #2 missing required key: alertcount\n",
            "Line 9: invalid host name\n",
            "Host #3 missing required key: timeoutsec\n",
            "Host #3 missing required key: alertcount\n",
            "Line 10: invalid host name\n",
            "Host #4 missing required key: alertcount\n",
        ])

    def test_host_table_limit_matches_run_mode(self):
        # 255 hosts fill the table; the 256th is what run mode refuses, so -check fails there.
        head = 'interval : "15"\nfast_retry_interval : "4"\npingcount : "3"\nworkers : "2"\n'
        block = 'host : "127.0.0.1"\ntimeoutsec : "2"\nalertcount : "3"\n'
        self.assert_monitor(head + block * 255, [], ok=True)
        self.assert_monitor(head + block * 256 + '*host : "127.0.0.2"\n' + block,
                            ["Line 770: too many hosts (max 255)\n"])
        rc, out = self.run_hv("-s")
        self.assertEqual((rc, out), (1, "Too many hosts (max 255)\n"))

    def test_values_that_are_not_utf8_fail(self):
        # Latin-1 files from an old editor. A secret is bytes only curl sees, not text: not
        # judged.
        self.write("hostvigil_host.txt", (MONITOR_OK + 'instance_name : "Caf\xe9"\n').encode(
            "latin-1"), "wb")
        self.write("hostvigil_email.txt", (ALERT_OK.replace('"pw"', '"p\xe9"') +
                                           'from : "Jos\xe9 <j@example.com>"\n').encode("latin-1"),
                   "wb")
        rc, out = self.run_hv("-check")
        self.assertEqual((rc, out), (1, report(["Line 8: not UTF-8 text\n"], False,
                                                ["Line 5: not UTF-8 text\n"], False)))

    def test_alert_file_required_keys(self):
        self.assert_alert("# empty\nfrom : \"x\"\n", [
            "Missing key: server\n",
            "Missing key: email\n",
            "Missing key: password\n",
            "Missing key: to\n",
        ])

    def test_alert_file_optional_keys_and_disabled_lines(self):
        alert = ALERT_OK + '*token : "t"\n* broken line\niamalive : "x"\nteams_webhook : "y"\n'
        self.assert_alert(alert, [], ok=True)

    def test_telegram_pair(self):
        self.assert_alert(ALERT_OK + 'token : "t"\n', ["Telegram config incomplete: chat_id missing\n"])
        self.assert_alert(ALERT_OK + 'chat_id : "1"\n', ["Telegram config incomplete: token missing\n"])
        self.assert_alert(ALERT_OK + 'chat_id : "1"\ntoken : ""\n', [], ok=True)

    def test_equals_with_colon_in_value_is_invalid_format(self):
        alert = ('server : "s"\nemail : "e"\npassword : "p"\n'
                 'to = "mailto:a@example.com"\n')
        self.assert_alert(alert, ['Line 4: invalid format, expected key : "value"\n',
                                  "Missing key: to\n"])

    def test_long_lines_count_once_per_read_unit(self):
        # A line of 10,000 bytes is read as two units, so the line after it is line 3.
        monitor = "#" + "x" * 9999 + "\n" + 'interval = "1"\n'
        rc, out = self.check(monitor, ALERT_OK)
        self.assertEqual(rc, 1)
        self.assertIn("Line 2: invalid format, expected key : \"value\"\n"
                      "Line 3: '=' is not supported, use ':' instead\n", out)

    def test_crlf_and_nul_bytes(self):
        self.write("hostvigil_host.txt", MONITOR_OK.replace("\n", "\r\n").encode() +
                   b'pinglossmsg : "a\x00b"\r\nhost : "localhost"\r\n', mode="wb")
        self.write("hostvigil_email.txt", ALERT_OK)
        rc, out = self.run_hv("-check")
        self.assertEqual(out, report([
            'Line 8: invalid format, expected key : "value"\n',
            "Host #2 missing required key: timeoutsec\n",
            "Host #2 missing required key: alertcount\n",
        ], False, [], True))
        self.assertEqual(rc, 1)
