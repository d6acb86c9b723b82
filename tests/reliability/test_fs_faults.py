"""The working directory misbehaving under a running monitor: its event log deleted, the
directory turned read-only, the file system full when the alert file is rewritten."""

import json
import os
import subprocess
import sys

from reliability import Instance, WorkDir, monitor_file, scheduled_ping, wait_for

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "blackbox"))
import servers  # noqa: E402

LOGIN = "monitor@example.com"
PASSWORD = "s3cret"
HOSTS = ["127.0.0.1", "127.0.0.2", "127.0.0.3"]


def mount_tmpfs(case, size):
    """Mounts a private tmpfs of size on case.work, or skips the test when that is not
    possible here. Unmounted again at clean-up, before the directory goes."""
    if os.geteuid() != 0:
        case.skipTest("mounting a file system needs root")
    res = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size},mode=0755", "tmpfs",
                          case.work], stderr=subprocess.PIPE)
    if res.returncode != 0:
        case.skipTest(f"cannot mount a tmpfs here: {res.stderr.decode().strip()}")
    case.addCleanup(subprocess.run, ["umount", "-l", case.work])


def fill(case, free_kib):
    """Fills the file system of case.work up to free_kib KiB with the file "filler"."""
    filler = case.path("filler")
    with open(filler, "wb", buffering=0) as f:
        try:
            while f.write(b"\0" * 65536):
                pass
        except OSError:
            pass
    if free_kib:
        os.truncate(filler, os.path.getsize(filler) - free_kib * 1024)
    return filler


def remount(case, mode):
    subprocess.run(["mount", "-o", f"remount,{mode}", case.work], check=True)


def log_text(case):
    return case.read("hostvigil_log.txt") if case.exists("hostvigil_log.txt") else ""


class EventLog(WorkDir):
    def test_deleted_log_is_recreated_at_the_next_line(self):
        # Host 2 fails checks 1 to 4: its alert is logged at check 2, its recovery at check 5.
        scheduled_ping(self, {"127.0.0.2": {1, 2, 3, 4}})
        self.write("hostvigil_host.txt", monitor_file(HOSTS, alertcount=2))
        inst = Instance(self)
        self.assertTrue(wait_for(lambda: "***Alert sending : " in log_text(self), timeout=30))
        os.remove(self.path("hostvigil_log.txt"))
        self.assertTrue(wait_for(lambda: "Back to normal." in log_text(self), timeout=30),
                        inst.output()[-2000:])
        rc, out = inst.stop()
        self.assertEqual(rc, 0)
        [line] = [l for l in log_text(self).splitlines() if "***Alert sending" in l]
        self.assertRegex(line, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d .*\*\*\*Alert sending : "
                               r"Back to normal\..* Ping OK 127\.0\.0\.2 received=1/1$")


class ReadOnlyDirectory(WorkDir):
    def setUp(self):
        super().setUp()
        mount_tmpfs(self, "4m")
        self.smtp, self.webhook = servers.local_channels(self, {LOGIN: PASSWORD})

    def test_sends_fail_cleanly_and_logging_resumes(self):
        # Read-only from round 3 to round 10: host 2's alert (check 6) and recovery (check 8)
        # fall well inside; host 3's alert (check 14) comes after.
        scheduled_ping(self, {"127.0.0.2": {5, 6, 7}, "127.0.0.3": {13, 14, 15, 16}})
        self.write("hostvigil_host.txt", monitor_file(HOSTS, alertcount=2))
        self.write("hostvigil_email.txt",
                   f'server : "{self.smtp.url}"\nemail : "{LOGIN}"\npassword : "{PASSWORD}"\n'
                   f'to : "ops@example.com"\nteams_webhook : "{self.webhook.url}/hook"\n')
        inst = Instance(self)
        self.assertGreaterEqual(inst.wait_count("\nWait ", 2), 2)
        log_before = log_text(self)
        remount(self, "ro")
        try:
            self.assertGreaterEqual(inst.wait_count("\nWait ", 10, timeout=60), 10,
                                    inst.output()[-2000:])
        finally:
            remount(self, "rw")
        # Nothing was written, nothing was sent, nothing was left behind.
        self.assertEqual(log_text(self), log_before)
        self.assertEqual(self.smtp.received(), [])
        self.assertEqual(self.webhook.received(), [])
        self.assertIn("[127.0.0.2] Ping OK 127.0.0.2 received=1/1", inst.output())

        self.assertTrue(wait_for(lambda: "Ping Timeout... 127.0.0.3" in log_text(self), timeout=60),
                        inst.output()[-2000:])
        # Host 2's notices failed while the directory was read-only; their retry 30 s later
        # delivers them, in order, beside host 3's alert and recovery.
        wait_for(lambda: len(self.smtp.received()) == 4 and len(self.webhook.received()) == 2,
                 timeout=90)
        rc, out = inst.stop()
        self.assertEqual(rc, 0)
        self.assertEqual(len(self.smtp.received()), 4)
        self.assertEqual(len(self.webhook.received()), 2)
        self.assertEqual(sorted(os.listdir(self.work)),
                         ["hostvigil_email.txt", "hostvigil_host.txt", "hostvigil_log.txt",
                          "hostvigil_state.json"])


class FullFileSystem(WorkDir):
    def test_alert_file_stays_whole_when_its_rewrite_finds_no_room(self):
        mount_tmpfs(self, "256k")
        self.write("hostvigil_host.txt", monitor_file([]))
        # A plain password makes every load rewrite the file with it scrambled.
        alert = ('server : "smtp://127.0.0.1:1"\nemail : "a@example.net"\n'
                 'password : "plain"\nto : "b@example.net"\n'
                 + "".join(f"# note {i:05d} {'-' * 60}\n" for i in range(600)))
        self.write("hostvigil_email.txt", alert)
        for free_kib in (0, 8):
            with self.subTest(free_kib=free_kib):
                filler = fill(self, free_kib)
                rc, out = self.run_hv("-test")
                self.assertEqual(rc, 1, out)
                self.assertEqual(self.read("hostvigil_email.txt"), alert)
                self.assertEqual(sorted(os.listdir(self.work)),
                                 ["filler", "hostvigil_email.txt", "hostvigil_host.txt"]
                                 + (["hostvigil_log.txt"] if self.exists("hostvigil_log.txt")
                                    else []))
                os.remove(filler)
        # With room again the rewrite happens.
        self.run_hv("-test")
        self.assertIn('password : "encry', self.read("hostvigil_email.txt"))

    def test_state_file_stays_whole_when_its_write_finds_no_room(self):
        mount_tmpfs(self, "256k")
        scheduled_ping(self, {})
        # 120 hosts make a state of some 40 KiB: far more than the room left, so every write
        # runs out midway; the file from before is small.
        hosts = [f"127.0.{i // 200}.{i % 200 + 1}" for i in range(120)]
        self.write("hostvigil_host.txt", monitor_file(hosts))
        previous = json.dumps({"version": 1, "hosts": [
            {"host": "127.0.0.1", "fail_count": 1, "last_result": "from the run before"}]})
        self.write("hostvigil_state.json", previous)
        # Room for the PID file and the event log, not for the state.
        filler = fill(self, 16)
        inst = Instance(self)
        self.assertGreaterEqual(inst.wait_count("\nWait ", 2), 2, inst.output()[-2000:])
        rc, out = inst.stop()
        self.assertEqual(rc, 0, out[-2000:])
        self.assertIn("State file hostvigil_state.json could not be written", log_text(self))
        self.assertEqual(self.read("hostvigil_state.json"), previous)
        rc, out = self.run_hv("-summary")
        self.assertEqual(rc, 0, out)
        self.assertIn("from the run before", out)
        self.assertEqual([n for n in os.listdir(self.work) if n.endswith(".tmp")], [])
        # With room again the state is written.
        os.remove(filler)
        inst = Instance(self)
        self.assertGreaterEqual(inst.wait_count("\nWait ", 1), 1, inst.output()[-2000:])
        self.assertEqual(inst.stop()[0], 0)
        self.assertEqual(len(json.loads(self.read("hostvigil_state.json"))["hosts"]), 120)
