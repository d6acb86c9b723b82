"""Many run modes started at the same moment in one directory: one instance, never two."""

import os
import subprocess
import time

from reliability import BIN, WorkDir, instances_in, monitor_file, wait_for


class InstanceRaces(WorkDir):
    def start_together(self, count):
        """Starts count run modes that exec at the same moment: each starts as a small Python
        helper that waits on a shared pipe, then replaces itself by the program, so the
        program's pid is the child's."""
        r, w = os.pipe()
        helper = f"import os; os.read({r}, 1); os.execv({BIN!r}, [{BIN!r}])"
        children = []
        for _ in range(count):
            child = subprocess.Popen(["/usr/bin/python3", "-c", helper], cwd=self.work,
                                     env=self.env, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, pass_fds=(r,))
            self.children.append(child)
            self.addCleanup(child.stdout.close)
            children.append(child)
        os.close(r)
        # Every helper is waiting once its interpreter is up.
        time.sleep(1.0)
        os.write(w, b"x" * count)
        os.close(w)
        return children

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
        self.assertEqual((rc, out), (0, "hostvigil stopped\n"))
        self.assertEqual(winner.wait(timeout=15), 0)
        self.assertFalse(self.exists("hostvigil.pid"))
        self.assertEqual(instances_in(self.work), [])
        self.assertEqual(set(os.listdir(self.work)) - {"hostvigil_log.txt", "hostvigil_state.json"},
                         {"hostvigil_email.txt", "hostvigil_host.txt"})

    def test_ten_at_once_leave_exactly_one(self):
        self.write("hostvigil_host.txt", monitor_file([], interval=1))
        self.write("hostvigil_email.txt", "")
        for attempt in range(5):
            with self.subTest(attempt=attempt):
                winner = self.check_one_survivor(self.start_together(10))
                self.stop_and_check_gone(winner)

    def test_ten_at_once_over_a_stale_pid_file(self):
        # Every starter finds a file naming a dead process and clears it; one clearing another
        # starter's fresh file must not let a second instance in.
        self.write("hostvigil_host.txt", monitor_file([], interval=1))
        self.write("hostvigil_email.txt", "")
        dead = subprocess.Popen(["true"])
        dead.wait()
        for attempt in range(5):
            with self.subTest(attempt=attempt):
                self.write("hostvigil.pid", f"{dead.pid}\n")
                winner = self.check_one_survivor(self.start_together(10))
                self.stop_and_check_gone(winner)
