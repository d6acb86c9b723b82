"""hostvigil.exe as a Windows service under Wine's service manager: -install, `net start`,
`net stop`, -uninstall, and the exit code a refused start reports.

Wine gaps: its service manager accepts delayed start and recovery actions but stores neither,
so only the registration, the command line and the shutdown time are checked; and it gives
services neither the test's WINEPATH nor a per-service environment, so the service runs Wine's
own ping.exe (on 127.0.0.1 only) instead of a fake one. `net stop` under Wine returns before the
service has stopped, so the tests wait for `sc query` to say STOPPED."""

import itertools
import os
import re
import subprocess

from winharness import EXE, WINE, WineWorkDir, wait_for, winpath

_names = itertools.count()


class ServiceCase(WineWorkDir):
    def setUp(self):
        super().setUp()
        self.name = f"hvtest{os.getpid()}n{next(_names)}"
        self.addCleanup(self._remove_service)

    def _remove_service(self):
        self.wine("net", "stop", self.name)
        wait_for(lambda: self.state() in ("STOPPED", None), timeout=30)
        self.wine("sc", "delete", self.name)

    def wine(self, *args, timeout=60):
        result = subprocess.run([WINE, *args], cwd=self.work, env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                stdin=subprocess.DEVNULL, timeout=timeout)
        return result.returncode, result.stdout.decode("utf-8", "replace")

    def query(self):
        """`sc query` of the service as a dict (STATE, WIN32_EXIT_CODE, ...); empty when the
        service does not exist."""
        _, out = self.wine("sc", "query", self.name)
        return {m.group(1): m.group(2) for m in re.finditer(r"^\s*(\w+)\s*: (\S+)", out, re.M)}

    def state(self):
        fields = self.query()
        if "STATE" not in fields:
            return None
        _, out = self.wine("sc", "query", self.name)
        return re.search(r"STATE\s*: \d+\s+(\w+)", out).group(1)

    def registry(self):
        _, out = self.wine("reg", "query",
                           rf"HKLM\System\CurrentControlSet\Services\{self.name}")
        return {m.group(1): m.group(3).strip()
                for m in re.finditer(r"^\s+(\w+)\s+(REG_\w+)\s+(.*)$", out, re.M)}

    def monitor_config(self):
        # 127.0.0.1 is checked with Wine's own ping.exe; a host text that is not a host is never
        # probed and always fails, so the first round raises an alert in the event log.
        self.host_config([("127.0.0.1", None),
                          ("not a host!", ['timeoutsec : "1"', 'alertcount : "1"',
                                           'tcpfallback : "no"'])], interval=1)
        self.write("hostvigil_email.txt", "# no channels\r\n")


class InstallAndRun(ServiceCase):
    def test_install_start_stop_uninstall(self):
        self.monitor_config()
        code, out = self.run_hv("-install", self.name)
        self.assertEqual(code, 0, out)
        self.assertIn(f"Service {self.name} installed: runs {winpath(EXE)} in {winpath(self.work)}\r\n",
                      out)
        self.assertIn(f"Start it now with: net start {self.name}\r\n", out)
        self.assertNotIn("Note:", out)

        self.assertEqual(self.state(), "STOPPED")
        self.assertEqual(self.query()["TYPE"], "10")
        reg = self.registry()
        self.assertEqual(reg["ImagePath"],
                         f'"{winpath(EXE)}" -service "{self.name}" "{winpath(self.work)}"')
        self.assertEqual(reg["Start"], "0x2")  # automatic
        self.assertEqual(int(reg["PreshutdownTimeout"], 16), 180000)
        self.assertEqual(reg["DisplayName"], f"hostvigil ({self.name})")

        # A second install under the same name is refused.
        code, out = self.run_hv("-install", self.name)
        self.assertEqual(code, 1)
        self.assertIn("a service of that name exists already", out)

        code, out = self.wine("net", "start", self.name)
        self.assertEqual(code, 0, out)
        self.assertTrue(wait_for(lambda: self.state() == "RUNNING"))
        # Run mode runs in the configured directory: it holds the PID file and the event log.
        pid = wait_for(self.read_pid)
        self.assertTrue(pid, "the service wrote no PID file in its directory")
        self.assertTrue(wait_for(lambda: "***Alert sending" in self.log_text(), timeout=30),
                        self.log_text())

        code, out = self.wine("net", "stop", self.name)
        self.assertEqual(code, 0, out)
        self.assertTrue(wait_for(lambda: self.state() == "STOPPED", timeout=60))
        fields = self.query()
        self.assertEqual((fields["WIN32_EXIT_CODE"], fields["SERVICE_EXIT_CODE"]), ("0", "0"))
        # The orderly stop wrote the state and removed the PID file.
        self.assertFalse(self.exists("hostvigil.pid"))
        self.assertIn(b'"not a host!"', self.read_bytes("hostvigil_state.json"))

        code, out = self.run_hv("-uninstall", self.name)
        self.assertEqual((code, out), (0, f"Service {self.name} removed\r\n"))
        self.assertIsNone(self.state())

    def test_uninstall_stops_a_running_service_in_order(self):
        self.monitor_config()
        self.assertEqual(self.run_hv("-install", self.name)[0], 0)
        self.assertEqual(self.wine("net", "start", self.name)[0], 0)
        self.assertTrue(wait_for(self.read_pid))
        code, out = self.run_hv("-uninstall", self.name, timeout=240)
        self.assertEqual((code, out), (0, f"Service {self.name} removed\r\n"))
        self.assertFalse(self.exists("hostvigil.pid"))
        self.assertIsNone(self.state())

    def test_a_refused_start_reports_its_exit_code(self):
        # No monitor configuration: run mode ends with exit code 1 before it runs.
        code, out = self.run_hv("-install", self.name)
        self.assertEqual(code, 0, out)
        self.assertIn(f"Note: {winpath(self.work)} has no hostvigil_host.txt yet", out)
        self.wine("net", "start", self.name)
        self.assertTrue(wait_for(lambda: self.state() == "STOPPED" and
                                 self.query().get("SERVICE_EXIT_CODE") == "1", timeout=30),
                        self.query())
        # ERROR_SERVICE_SPECIFIC_ERROR carries the program's own exit code.
        self.assertEqual(self.query()["WIN32_EXIT_CODE"], "1066")
        self.assertFalse(self.exists("hostvigil.pid"))


class Refusals(ServiceCase):
    def test_names_and_services_that_are_not_hostvigil(self):
        code, out = self.run_hv("-uninstall", self.name)
        self.assertEqual((code, out), (1, f"Unable to remove service {self.name}: no such service\r\n"))
        for bad in ('two words', 'a"quote', "back\\slash", "x" * 81):
            with self.subTest(name=bad):
                code, out = self.run_hv("-install", bad)
                self.assertEqual(code, 1)
                self.assertTrue(out.startswith("Invalid service name"), out)
        # A service of another program is never removed.
        self.assertEqual(self.wine("sc", "create", self.name, "binPath=",
                                   r"C:\windows\system32\notepad.exe")[0], 0)
        code, out = self.run_hv("-uninstall", self.name)
        self.assertEqual((code, out), (1, f"Unable to remove service {self.name}: it does not "
                                          "run hostvigil, left alone\r\n"))
        self.assertEqual(self.state(), "STOPPED")

    def test_service_entry_from_a_console(self):
        code, out = self.run_hv("-service", self.name, winpath(self.work))
        self.assertEqual((code, out), (1, "-service is the entry the Windows service manager "
                                          "uses; install a service with -install\r\n"))
