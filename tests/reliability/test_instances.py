"""Many run modes started at the same moment in one directory: one instance, never two."""

import os
import subprocess

from reliability import WorkDir, instances_in, monitor_file, wait_for


class InstanceRaces(WorkDir):
    def check_one_survivor(self, children):
        # Every loser ends on its own; the winner keeps running.
        wait_for(lambda: sum(c.poll() is None for c in children) <= 1, timeout=30)
        running = [c for c in children if c.poll() is None]
        if len(running) > 1:
            for c in running:  # so that the next attempt starts from nothing
                c.kill()
                c.wait()
            self.write("hostvigil.pid", "")
        self.assertEqual(len(running), 1, [c.returncode for c in children])
        for c in children:
            if c is not running[0]:
                out = c.communicate()[0].decode()
                self.assertEqual((c.returncode, out), (1, "hostvigil already running\n"))
        self.assertEqual(self.read_pid(), running[0].pid)
        self.assertEqual(instances_in(self.work), [running[0].pid])
        return running[0]

    def stop_and_check_gone(self, winner):
        rc, out = self.run_hv("-stop")
        # -stop shows that it waits when the instance needs more than a moment.
        self.assertEqual(rc, 0, out)
        self.assertRegex(out, r"^(Waiting for hostvigil pid \d+ to finish its sends \.+\n)?"
                              r"hostvigil stopped\n$")
        self.assertEqual(winner.wait(timeout=15), 0)
        self.assertFalse(self.exists("hostvigil.pid"))
        self.assertEqual(instances_in(self.work), [])
        self.assertEqual(set(os.listdir(self.work)) - {"hostvigil_log.txt", "hostvigil_state.json"},
                         {"hostvigil_email.txt", "hostvigil_host.txt"})

    def test_ten_at_once_leave_exactly_one(self):
        # Over a stale file every starter finds a file naming a dead process and clears it;
        # one clearing another starter's fresh file must not let a second instance in.
        dead = subprocess.Popen(["true"])
        dead.wait()
        self.write("hostvigil_host.txt", monitor_file(["127.0.0.1"], interval=1))
        self.write("hostvigil_email.txt", "")
        for name, pid_file in (("no PID file", None), ("stale PID file", f"{dead.pid}\n")):
            for attempt in range(5):
                with self.subTest(name, attempt=attempt):
                    if pid_file is not None:
                        self.write("hostvigil.pid", pid_file)
                    winner = self.check_one_survivor(self.start_together(10))
                    self.stop_and_check_gone(winner)
