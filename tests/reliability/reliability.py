"""Shared pieces of the reliability tests, on top of the black-box harness: resource counts of
a running instance, configuration builders, and the cost scale of sanitizer builds."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "blackbox"))

from harness import BIN, WorkDir, instances_in, processes_in, wait_for  # noqa: E402,F401

# Sanitizer builds run several times slower; their runs do fewer rounds.
SANITIZED = "san" in os.path.basename(os.path.dirname(BIN))
# ThreadSanitizer keeps a thread of its own in the process.
QUIET_THREADS = 2 if "tsan" in os.path.basename(os.path.dirname(BIN)) else 1


def monitor_file(hosts, interval=1, fast_retry=1, workers=50, pingcount=1, alertcount=2,
                 tcpfallback="no", extra=""):
    """A monitor configuration with the given hosts, each with the same per-host keys."""
    lines = [f'interval : "{interval}"', f'fast_retry_interval : "{fast_retry}"',
             f'pingcount : "{pingcount}"', f'workers : "{workers}"']
    for h in hosts:
        lines += [f'host : "{h}"', 'timeoutsec : "1"', f'alertcount : "{alertcount}"',
                  f'tcpfallback : "{tcpfallback}"']
    return "\n".join(lines) + "\n" + extra


def open_fds(pid):
    """The descriptors the process holds, as their targets."""
    d = f"/proc/{pid}/fd"
    out = []
    for fd in os.listdir(d):
        try:
            out.append(os.readlink(os.path.join(d, fd)))
        except OSError:
            pass
    return sorted(out)


def children_of(pid):
    """Process ids whose parent is pid."""
    kids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid:
            kids.append(int(entry))
    return kids


def status_field(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return line.split(":", 1)[1].strip()
    return ""


def rss_kib(pid):
    return int(status_field(pid, "VmRSS").split()[0])


def thread_count(pid):
    return int(status_field(pid, "Threads"))


class Instance:
    """A run mode in the background whose console output is collected as it arrives."""

    def __init__(self, case, *args, netns=False):
        import subprocess
        import threading
        argv = [BIN, *args]
        if netns:
            # Its own network namespace: only a loopback device, no name server reachable.
            argv = ["unshare", "-n", "--", *argv]
        self.proc = subprocess.Popen(argv, cwd=case.work, env=case.env, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        case.children.append(self.proc)
        case.addCleanup(self.proc.stdout.close)
        self.pid = self.proc.pid
        self._chunks = []
        self._lock = threading.Lock()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        try:
            for chunk in iter(lambda: self.proc.stdout.read1(65536), b""):
                with self._lock:
                    self._chunks.append(chunk)
        except (OSError, ValueError):
            pass  # the pipe was closed at clean-up

    def output(self):
        with self._lock:
            return b"".join(self._chunks).decode("utf-8", "replace")

    def wait_count(self, text, count=1, timeout=30.0):
        """Waits until text appears count times in the output; returns the count seen."""
        wait_for(lambda: self.output().count(text) >= count or self.proc.poll() is not None,
                 timeout=timeout)
        return self.output().count(text)

    def stop(self, timeout=30):
        """Ends it with SIGTERM; returns (exit code, whole output)."""
        import signal
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        rc = self.proc.wait(timeout=timeout)
        self._reader.join(timeout=5)
        return rc, self.output()


def scheduled_ping(case, down, log=False):
    """Puts a fake ping first on case's PATH that answers for every host except on the checks
    listed in down: {host: set of 1-based check numbers on which it fails}. Each host keeps
    its own check counter, so the schedule needs no timing: the k-th check of a host is its
    check in round k. With log, every host it is asked about is appended to `ping.log` in
    case.dir. Only shell built-ins run per check, to keep 255 checks a round cheap."""
    sched = os.path.join(case.dir, "sched")
    counters = os.path.join(case.dir, "counters")
    os.makedirs(counters, exist_ok=True)
    for host, rounds in down.items():
        os.makedirs(os.path.join(sched, host), exist_ok=True)
        for k in rounds:
            open(os.path.join(sched, host, str(k)), "w").close()
    record = f'echo "$h" >> {os.path.join(case.dir, "ping.log")}\n' if log else ""
    case.fake_program("ping", f"""for h; do :; done
{record}if [ -d "{sched}/$h" ]; then
    n=0
    [ -f "{counters}/$h" ] && read n < "{counters}/$h"
    n=$((n + 1))
    echo $n > "{counters}/$h"
    if [ -e "{sched}/$h/$n" ]; then
        echo "1 packets transmitted, 0 received, 100% packet loss"
        exit 1
    fi
fi
echo "64 bytes from $h: icmp_seq=1 ttl=64 time=0.050 ms"
""")


def notices_of_outages(down, alertcount):
    """What a host owes for failing on the check numbers in down and answering on every other
    check, the last check included: one alert and one recovery per outage (a run of failed
    checks in a row) of at least alertcount checks, and nothing for a shorter one."""
    notices, run = [], 0
    for k in range(1, max(down, default=0) + 2):
        if k in down:
            run += 1
            continue
        if run >= alertcount:
            notices += ["alert", "recovery"]
        run = 0
    return notices
