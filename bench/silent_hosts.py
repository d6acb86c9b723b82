#!/usr/bin/python3
"""Rounds with silent hosts, measured inside a private network namespace.

Run by bench/run_bench.py as `unshare -n bench/silent_hosts.py ...`: it brings up the
namespace's loopback, makes chosen 127.0.0.x addresses silent with an nftables set that drops
every packet to them (ping and TCP alike), and prints its figures as one JSON object. Nothing
it sends can leave the namespace.
"""

import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HOSTS = [f"127.0.0.{i}" for i in range(1, 256)]
WORKERS = 50
# One silent host in each of the first five batches of 50.
SILENT = ["127.0.0.10", "127.0.0.60", "127.0.0.110", "127.0.0.160", "127.0.0.210"]
TIMEOUT = 1

NFT_RULES = """table inet hvbench {
  set silent { type ipv4_addr; }
  chain input { type filter hook input priority 0; ip daddr @silent drop; }
}
"""

ALERT_FILE = ('server : "smtp://127.0.0.1:2525"\nemail : "monitor@example.net"\n'
              'password : "secret"\nto : "ops@example.net"\n')


def silence(hosts):
    if hosts:
        subprocess.run(["nft", "add", "element", "inet", "hvbench", "silent",
                        "{ " + ", ".join(hosts) + " }"], check=True)


def unsilence_all():
    subprocess.run(["nft", "flush", "set", "inet", "hvbench", "silent"], check=True)


def host_file(hosts, schedule, timeout=TIMEOUT, pingcount=1, workers=WORKERS, interval=3600,
              alertcount=3):
    lines = [f'interval : "{interval}"', f'fast_retry_interval : "{interval}"',
             f'pingcount : "{pingcount}"', f'workers : "{workers}"', f'schedule : "{schedule}"']
    for h in hosts:
        lines += [f'host : "{h}"', f'timeoutsec : "{timeout}"', f'alertcount : "{alertcount}"']
    return "\n".join(lines) + "\n"


class Runner:
    def __init__(self, root):
        self.root = root
        # A curl stand-in that accepts every send at once: the latency ends at the hand-over.
        self.fake_bin = os.path.join(root, "fakebin")
        os.mkdir(self.fake_bin)
        curl = os.path.join(self.fake_bin, "curl")
        with open(curl, "w") as f:
            f.write("#!/bin/sh\ncat >/dev/null\nexit 0\n")
        os.chmod(curl, 0o755)
        self.env = dict(os.environ, PATH=self.fake_bin + os.pathsep + os.environ["PATH"])

    def workdir(self, name, text, alerts=None):
        d = os.path.join(self.root, name)
        shutil.rmtree(d, ignore_errors=True)
        os.mkdir(d)
        with open(os.path.join(d, "hostvigil_host.txt"), "w") as f:
            f.write(text)
        if alerts:
            with open(os.path.join(d, "hostvigil_email.txt"), "w") as f:
                f.write(alerts)
        return d

    def first_round(self, binary, workdir):
        """Seconds from starting run mode to its first wait line."""
        start = time.monotonic()
        proc = subprocess.Popen([binary], cwd=workdir, env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT)
        try:
            for raw in proc.stdout:
                if raw.startswith(b"Wait "):
                    return time.monotonic() - start
            sys.exit("run mode ended before its first wait line")
        finally:
            stop(proc)

    def detection_latency(self, binary):
        """Seconds from silencing a host, right after a round ended, to its alert's hand-over
        to the channels, with every setting at its default and alertcount 3."""
        text = ('host : "127.0.0.1"\nalertcount : "3"\n'
                'host : "127.0.0.20"\nalertcount : "3"\n')
        d = self.workdir("latency", text, ALERT_FILE)
        proc = subprocess.Popen([binary], cwd=d, env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT)
        try:
            silenced = None
            for raw in proc.stdout:
                if silenced is None and raw.startswith(b"Wait "):
                    silence(["127.0.0.20"])
                    silenced = time.monotonic()
                elif silenced is not None and raw.startswith(b"Sending mail alert now"):
                    return time.monotonic() - silenced
            sys.exit("run mode ended before the alert")
        finally:
            stop(proc)
            unsilence_all()


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
    try:
        proc.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()


def concurrent_ping_seconds(concurrent_run, hosts, timeout):
    res = subprocess.run([concurrent_run, "ping", "-n", "-c", "1", "-W", str(timeout), "--",
                          *hosts], stdout=subprocess.PIPE, check=True)
    return float(res.stdout.split()[0])


def window_ideal(durations, workers):
    """The end of the last check when each host starts, in order, on the first free worker."""
    free = [0.0] * workers
    end = 0.0
    for d in durations:
        at = min(range(workers), key=lambda i: free[i])
        free[at] += d
        end = max(end, free[at])
    return end


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    ap.add_argument("--before-bin")
    ap.add_argument("--concurrent-run", required=True)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--latency-runs", type=int, default=1)
    args = ap.parse_args()

    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    subprocess.run(["nft", "-f", "-"], input=NFT_RULES.encode(), check=True)
    root = tempfile.mkdtemp(prefix="hv-bench-silent-")
    r = Runner(root)
    binaries = {"after": args.bin}
    if args.before_bin:
        binaries["before"] = args.before_bin
    med = statistics.median
    out = {name: {"silent_check": [], "batch": [], "window": [], "latency": []}
           for name in binaries}
    pings, up_batches = [], []
    try:
        silence(SILENT)
        one = r.workdir("one", host_file([SILENT[0]], "batch"))
        batch = r.workdir("batch", host_file(HOSTS, "batch"))
        window = r.workdir("window", host_file(HOSTS, "window"))
        for run in range(args.runs):
            pings.append(concurrent_ping_seconds(args.concurrent_run, [SILENT[0]], TIMEOUT))
            up = [h for h in HOSTS[:WORKERS] if h not in SILENT]
            up_batches.append(concurrent_ping_seconds(args.concurrent_run, up, TIMEOUT))
            for name, binary in binaries.items():
                figures = out[name]
                figures["silent_check"].append(r.first_round(binary, one))
                figures["batch"].append(r.first_round(binary, batch))
                figures["window"].append(r.first_round(binary, window))
                print(f"silent hosts, run {run + 1}/{args.runs}, {name}: check "
                      f"{figures['silent_check'][-1]:.3f} s, batch round {figures['batch'][-1]:.3f} s, "
                      f"window round {figures['window'][-1]:.3f} s", file=sys.stderr, flush=True)
        unsilence_all()
        for _ in range(args.latency_runs):
            for name, binary in binaries.items():
                out[name]["latency"].append(r.detection_latency(binary))
                print(f"detection latency, {name}: {out[name]['latency'][-1]:.1f} s",
                      file=sys.stderr, flush=True)
    finally:
        shutil.rmtree(root, ignore_errors=True)

    result = {"ping": med(pings), "up_batch": med(up_batches), "silent": SILENT,
              "workers": WORKERS, "hosts": len(HOSTS), "timeout": TIMEOUT}
    for name, figures in out.items():
        check = med(figures["silent_check"])
        durations = [check if h in SILENT else result["up_batch"] for h in HOSTS]
        batches = [durations[i:i + WORKERS] for i in range(0, len(durations), WORKERS)]
        result[name] = {
            "silent_check": check,
            "batch": med(figures["batch"]),
            "window": med(figures["window"]),
            "batch_ideal": sum(max(b) for b in batches),
            "window_ideal": window_ideal(durations, WORKERS),
            "latency": med(figures["latency"]) if figures["latency"] else None,
        }
    print(json.dumps(result))


if __name__ == "__main__":
    main()
