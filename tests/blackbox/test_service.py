"""Running under a service manager on Linux: systemd's readiness notification (Type=notify)
and the Windows-only service commands."""

import os
import socket

from harness import WorkDir, wait_for

MONITOR = ('interval : "1"\nfast_retry_interval : "1"\npingcount : "1"\n'
           'host : "127.0.0.1"\ntimeoutsec : "1"\nalertcount : "3"\ntcpfallback : "no"\n')


class NotifySocket(WorkDir):
    """A datagram socket standing in for systemd's notification socket."""

    def listen(self, abstract):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(sock.close)
        if abstract:
            name = f"\0hv-notify-{os.getpid()}-{id(self)}"
            sock.bind(name)
            self.env["NOTIFY_SOCKET"] = "@" + name[1:]
        else:
            path = os.path.join(self.dir, "notify.sock")
            sock.bind(path)
            self.env["NOTIFY_SOCKET"] = path
        sock.settimeout(20)
        return sock

    def test_ready_is_sent_once_the_pid_file_is_claimed(self):
        self.write("hostvigil_host.txt", MONITOR)
        self.write("hostvigil_email.txt", "# no channels\n")
        for abstract in (False, True):
            with self.subTest(abstract=abstract):
                sock = self.listen(abstract)
                child = self.start_hv("-s")
                message = sock.recv(4096).decode()
                # Ready means running: the PID file already names the instance.
                self.assertEqual(self.read_pid(), child.pid)
                self.assertEqual(message.split("\n")[0], "READY=1")
                rc, _ = self.stop_child(child)
                self.assertEqual(rc, 0)
                self.assertFalse(self.exists("hostvigil.pid"))

    def test_no_ready_when_start_up_is_refused(self):
        # No monitor configuration: run mode ends with 1 and never claims to be ready.
        sock = self.listen(False)
        sock.settimeout(0.5)
        rc, out = self.run_hv("-s")
        self.assertEqual((rc, out), (1, "hostvigil_host.txt is not existed\n"))
        with self.assertRaises(socket.timeout):
            sock.recv(4096)

    def test_a_notify_socket_that_is_not_there_does_no_harm(self):
        self.write("hostvigil_host.txt", MONITOR)
        self.write("hostvigil_email.txt", "# no channels\n")
        for value in (os.path.join(self.dir, "missing.sock"), "relative.sock", "@", ""):
            with self.subTest(value=value):
                self.env["NOTIFY_SOCKET"] = value
                child = self.start_hv("-s")
                self.assertTrue(wait_for(lambda: self.read_pid() == child.pid))
                self.assertEqual(self.stop_child(child)[0], 0)


class WindowsOnlyCommands(WorkDir):
    def test_install_and_uninstall_point_to_the_systemd_units(self):
        expected = ("Windows services only: on Linux use the systemd units hostvigil.service "
                    "and hostvigil@.service (see README)\n")
        for args in (["-install"], ["-install", "office"], ["-uninstall"], ["-s", "-uninstall"]):
            with self.subTest(args=args):
                self.assertEqual(self.run_hv(*args), (1, expected))
        self.assertEqual(self.run_hv("-install", "bad name"),
                         (1, "Invalid service name \"bad name\": use up to 80 letters, digits, "
                             "'-', '_', '.'\n"))

    def test_service_entry_outside_a_service_manager(self):
        self.write("hostvigil_host.txt", MONITOR)
        self.assertEqual(self.run_hv("-service", "hostvigil", self.work),
                         (1, "-service is the entry the Windows service manager uses; install a "
                             "service with -install\n"))
        self.assertEqual(self.run_hv("-service"),
                         (1, "-service needs a service name and a directory\n"))
        self.assertFalse(self.exists("hostvigil.pid"))
