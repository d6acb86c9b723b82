"""Started by test_probe_netns.py inside a private network and mount namespace: nftables rules
play firewalls on loopback addresses, and /etc/resolv.conf names a local DNS server that reads
every query and never answers.

    127.0.0.2  echo dropped; 443 and 80 rejected "administratively prohibited"; 22 listens
    127.0.0.3  echo dropped; 443 and 22 dropped; 80 refused
    127.0.0.4  everything dropped
    127.0.0.5  every echo request sent twice, so each is answered twice
    127.0.0.6  echo dropped; every TCP port rejected "administratively prohibited"
"""

import os
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from harness import BIN, WorkDir, wait_for

BUILD_DIR = os.environ.get("HOSTVIGIL_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build"))
PROBE_TESTS = os.path.abspath(os.path.join(BUILD_DIR, "src/probe/probe_tests"))

RULES = """
table ip hostvigil_test {
    chain input {
        type filter hook input priority 0;
        ip daddr 127.0.0.2 icmp type echo-request drop
        ip daddr 127.0.0.2 tcp dport { 443, 80 } reject with icmp type admin-prohibited
        ip daddr 127.0.0.3 icmp type echo-request drop
        ip daddr 127.0.0.3 tcp dport { 443, 22 } drop
        ip daddr 127.0.0.4 drop
        ip daddr 127.0.0.6 icmp type echo-request drop
        ip daddr 127.0.0.6 meta l4proto tcp reject with icmp type admin-prohibited
    }
    chain output {
        type filter hook output priority 0;
        ip daddr 127.0.0.5 icmp type echo-request dup to 127.0.0.5
    }
}
"""

# One attempt of one second per query: ping's own look-up of a name fails after about a
# second. The fallback's look-up is bounded by the host's timeoutsec whatever this says.
RESOLV_CONF = "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n"
NSSWITCH_CONF = "hosts: files dns\n"

_kept = []


def _bind_over(target, text):
    fd, path = tempfile.mkstemp(prefix="hv-netns-")
    with os.fdopen(fd, "w") as f:
        f.write(text)
    _kept.append(path)
    subprocess.run(["mount", "--bind", path, target], check=True)


def _silent_dns():
    dns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    dns.bind(("127.0.0.1", 53))
    _kept.append(dns)

    def swallow():
        while True:
            dns.recvfrom(4096)

    threading.Thread(target=swallow, daemon=True).start()


def setUpModule():
    if os.environ.get("HV_IN_NAMESPACE") != "1":
        raise unittest.SkipTest("started by test_probe_netns.py only")
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    subprocess.run(["nft", "-f", "-"], input=RULES.encode(), check=True)
    _bind_over("/etc/resolv.conf", RESOLV_CONF)
    # A name service module that asks a resolver daemon would reach outside the namespace.
    _bind_over("/etc/nsswitch.conf", NSSWITCH_CONF)
    _silent_dns()


def tearDownModule():
    for item in _kept:
        if isinstance(item, str):
            os.unlink(item)


class ProbeCases(unittest.TestCase):
    def test_probe_unit_cases(self):
        env = dict(os.environ, HV_ISOLATED_NETWORK="1")
        result = subprocess.run([PROBE_TESTS, "--gtest_filter=IsolatedNetwork.*"], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        out = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 0, out)
        self.assertNotIn("SKIPPED", out, out)
        self.assertIn("[  PASSED  ] 5 tests", out)


class RunMode(WorkDir):
    """The monitor in run mode with the real ping; its console goes to a file that the test
    reads while it runs."""

    def start_monitor(self, hosts, alertcount=3):
        lines = ['interval : "1"', 'fast_retry_interval : "1"', 'pingcount : "1"',
                 f'workers : "{len(hosts)}"']
        for host in hosts:
            lines += [f'host : "{host}"', 'timeoutsec : "1"', f'alertcount : "{alertcount}"']
        self.write("hostvigil_host.txt", "\n".join(lines) + "\n")
        self.console = self.path("console.txt")
        out = open(self.console, "wb")
        self.addCleanup(out.close)
        child = subprocess.Popen([BIN], cwd=self.work, env=self.env, stdout=out,
                                 stderr=subprocess.STDOUT)
        self.children.append(child)
        return child

    def output(self):
        with open(self.console, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stop(self, child):
        child.send_signal(signal.SIGTERM)
        self.assertEqual(child.wait(timeout=30), 0, self.output())
        return self.output()

    def name_lines(self):
        return [line for line in self.log_lines() if "Name lookup" in line]

    def test_firewalls_silence_and_names(self):
        ssh = socket.socket()
        self.addCleanup(ssh.close)
        ssh.bind(("127.0.0.2", 22))
        ssh.listen(8)
        hosts = ["127.0.0.2", "127.0.0.3", "127.0.0.4", "nas-missing.invalid"]
        child = self.start_monitor(hosts)
        lines = ["[127.0.0.2] Ping blocked but TCP reachable: 127.0.0.2\n",
                 "[127.0.0.3] Ping blocked but TCP reachable: 127.0.0.3\n",
                 "[127.0.0.4] Ping Timeout... 127.0.0.4 received=0/1 count 1/3\n",
                 "[nas-missing.invalid] Ping Timeout... nas-missing.invalid received=0/1 "
                 "count 1/3\n"]
        self.assertTrue(wait_for(lambda: all(line in self.output() for line in lines),
                                 timeout=60), self.output())
        out = self.stop(child)
        self.assertNotIn("Name lookup", out)
        self.assertEqual(len(self.name_lines()), 1, self.log_lines())
        self.assertRegex(self.name_lines()[0],
                         r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d Name lookup failed for "
                         r"nas-missing.invalid$")

    def test_fallback_lookup_waits_only_timeoutsec(self):
        # ping gives no word on the name, so the fallback looks it up itself; the resolver is
        # told to wait 30 s for the silent DNS server, the host's timeoutsec is 1.
        self.fake_program("ping", 'echo "1 packets transmitted, 0 received, 100% packet loss"\n'
                                  "exit 1\n")
        self.env["RES_OPTIONS"] = "timeout:30 attempts:1"
        start = time.monotonic()
        child = self.start_monitor(["slow-dns.invalid"], alertcount=5)
        first = "[slow-dns.invalid] Ping Timeout... slow-dns.invalid received=0/1 count 1/5\n"
        self.assertTrue(wait_for(lambda: first in self.output(), timeout=60), self.output())
        self.assertLess(time.monotonic() - start, 15, "the look-up was not cut at timeoutsec")
        self.assertTrue(wait_for(lambda: "count 2/5" in self.output(), timeout=60),
                        self.output())
        self.stop(child)
        # The second check found the first one's look-up still running and skipped the fallback.
        self.assertEqual([line[20:] for line in self.name_lines()],
                         ["Name lookup failed for slow-dns.invalid",
                          "Name lookup for slow-dns.invalid still pending; TCP check skipped"],
                         self.log_lines())

    def test_lookups_that_hang_hold_one_thread_per_name(self):
        # Look-ups that outlive every check: each name keeps one running, the checks that find
        # it running skip the fallback, and the log says so once per name.
        self.fake_program("ping", 'echo "1 packets transmitted, 0 received, 100% packet loss"\n'
                                  "exit 1\n")
        self.env["RES_OPTIONS"] = "timeout:30 attempts:1"
        names = [f"hang-{n}.invalid" for n in range(1, 6)]
        child = self.start_monitor(names, alertcount=20)
        self.assertTrue(wait_for(lambda: self.output().count("count 6/20") == len(names),
                                 timeout=90), self.output())
        threads = self.thread_count(child.pid)
        self.stop(child)
        # The main thread, the senders, a round's workers and one look-up per name; every
        # check leaving a thread behind would be one per name and round.
        self.assertLessEqual(threads, 1 + 4 + 2 * len(names))
        for name in names:
            self.assertEqual([line[20:] for line in self.name_lines() if name in line],
                             [f"Name lookup failed for {name}",
                              f"Name lookup for {name} still pending; TCP check skipped"])

    @staticmethod
    def thread_count(pid):
        with open(f"/proc/{pid}/status") as f:
            return int(next(line.split()[1] for line in f if line.startswith("Threads:")))


if __name__ == "__main__":
    unittest.main()
