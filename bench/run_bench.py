#!/usr/bin/python3
"""Measures hostvigil's round efficiency, scheduling overhead, memory, idle cost and -check
speed, side by side with the ideal and with fping in the same run, and writes the table to
bench/results.md. Every figure is the median of several runs.

Run through scripts/bench.sh (`make bench`), which builds the program and the helpers first.
"""

import argparse
import datetime
import json
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HOSTS = [f"127.0.0.{i}" for i in range(1, 256)]
WORKERS = 50
PAGE_TICKS = os.sysconf("SC_CLK_TCK")

# The fake ping's delay per host, as bench/fake_ping.cpp computes it.
FAKE_BASE_MS = 300
FAKE_STEP_MS = 70


def fake_delay(host):
    n = int(host.rsplit(".", 1)[1])
    return (FAKE_BASE_MS + ((n * 37) % 11) * FAKE_STEP_MS) / 1000.0


def batches(items, size):
    return [items[i:i + size] for i in range(0, len(items), size)]


def monitor_config(hosts, interval):
    lines = [f'interval : "{interval}"', f'fast_retry_interval : "{interval}"',
             'pingcount : "1"', f'workers : "{WORKERS}"']
    for h in hosts:
        lines += [f'host : "{h}"', 'timeoutsec : "3"', 'alertcount : "3"', 'tcpfallback : "no"']
    return "\n".join(lines) + "\n"


def proc_status_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def proc_cpu_seconds(pid):
    """User plus system time of the whole process, threads that have ended included."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / PAGE_TICKS


def proc_main_thread_cpu_ns(pid):
    """CPU time of the main thread in nanoseconds (finer than the clock ticks of stat)."""
    try:
        with open(f"/proc/{pid}/task/{pid}/schedstat") as f:
            return int(f.read().split()[0])
    except OSError:
        return None


class Bench:
    def __init__(self, args):
        self.args = args
        self.bin = os.path.abspath(args.bin)
        self.root = tempfile.mkdtemp(prefix="hv-bench-")
        self.fake_dir = os.path.join(self.root, "fakebin")
        os.mkdir(self.fake_dir)
        os.symlink(os.path.abspath(args.fake_ping), os.path.join(self.fake_dir, "ping"))
        self.ping_argv = None

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def workdir(self, name, host_text):
        d = os.path.join(self.root, name)
        shutil.rmtree(d, ignore_errors=True)
        os.mkdir(d)
        with open(os.path.join(d, "hostvigil_host.txt"), "w") as f:
            f.write(host_text)
        return d

    # The argument vector the program hands to ping, found by letting it run a recorder.
    def discover_ping_argv(self):
        d = self.workdir("argv", monitor_config(["127.0.0.1"], 3600))
        rec_dir = os.path.join(self.root, "recbin")
        os.makedirs(rec_dir, exist_ok=True)
        rec = os.path.join(rec_dir, "ping")
        out = os.path.join(self.root, "argv.txt")
        with open(rec, "w") as f:
            f.write(f'#!/bin/sh\nfor a in "$@"; do printf "%s\\n" "$a"; done > {out}\n'
                    'echo "64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.1 ms"\n')
        os.chmod(rec, 0o755)
        env = dict(os.environ, PATH=rec_dir + os.pathsep + os.environ["PATH"])
        elapsed, proc = self.first_round(d, env)
        self.stop(proc)
        try:
            with open(out) as f:
                args = f.read().splitlines()
        except OSError:
            args = []
        if not args or args[-1] != "127.0.0.1":
            sys.exit("could not learn the ping arguments: the monitor never ran ping")
        self.ping_argv = ["ping"] + args[:-1]

    def first_round(self, workdir, env):
        """Starts run mode; returns (seconds from start to the first wait line, process)."""
        start = time.monotonic()
        proc = subprocess.Popen([self.bin], cwd=workdir, env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT)
        for raw in proc.stdout:
            if raw.startswith(b"Wait "):
                return time.monotonic() - start, proc
        proc.wait()
        sys.exit(f"run mode ended before its first wait line (exit code {proc.returncode})")

    @staticmethod
    def stop(proc):
        proc.send_signal(signal.SIGTERM)
        try:
            proc.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()

    def concurrent_pings(self, hosts):
        """Wall time of running one ping per host, all at the same moment."""
        res = subprocess.run([self.args.concurrent_run, *self.ping_argv, "--", *hosts],
                             stdout=subprocess.PIPE, check=True)
        seconds, failures, _ = res.stdout.split()
        if int(failures):
            print(f"warning: {int(failures)} of {len(hosts)} concurrent pings failed", flush=True)
        return float(seconds)

    def fping(self):
        start = time.monotonic()
        subprocess.run(["fping", "-c", "1", "-q", "-t", "3000"] + HOSTS,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return time.monotonic() - start

    def real_round(self, idle_seconds):
        """One run on the real ping: round time, peak memory of the round, idle CPU."""
        d = self.workdir("real", monitor_config(HOSTS, 3600))
        elapsed, proc = self.first_round(d, dict(os.environ))
        peak_kib = proc_status_kib(proc.pid, "VmHWM")
        idle = None
        if idle_seconds > 0:
            cpu0, ns0 = proc_cpu_seconds(proc.pid), proc_main_thread_cpu_ns(proc.pid)
            time.sleep(idle_seconds)
            cpu1, ns1 = proc_cpu_seconds(proc.pid), proc_main_thread_cpu_ns(proc.pid)
            idle = (cpu1 - cpu0, None if ns0 is None else (ns1 - ns0) / 1e9)
        self.stop(proc)
        return elapsed, peak_kib, idle

    def fake_round(self, reports=False):
        """One round on the fixed-delay fake ping: (round seconds, peak RSS KiB). With
        `reports` the status page and the metrics file are written after the round."""
        extra = ('status_page : "hostvigil_status.html"\nmetrics_file : "hostvigil.prom"\n'
                 if reports else "")
        d = self.workdir("fake", monitor_config(HOSTS, 3600) + extra)
        env = dict(os.environ, PATH=self.fake_dir + os.pathsep + os.environ["PATH"],
                   HV_FAKE_PING_BASE_MS=str(FAKE_BASE_MS), HV_FAKE_PING_STEP_MS=str(FAKE_STEP_MS))
        elapsed, proc = self.first_round(d, env)
        # The files are written before the wait line is printed.
        if reports and not os.path.exists(os.path.join(d, "hostvigil.prom")):
            sys.exit("run mode printed its wait line before writing the metrics file")
        peak_kib = proc_status_kib(proc.pid, "VmHWM")
        self.stop(proc)
        return elapsed, peak_kib

    def fake_start_floor(self):
        """Wall time of starting 50 fake pings at once that answer without any delay: what
        process creation alone costs a batch, which the exact ideal leaves out."""
        env = dict(os.environ, HV_FAKE_PING_BASE_MS="0", HV_FAKE_PING_STEP_MS="0")
        res = subprocess.run([self.args.concurrent_run, self.args.fake_ping, *self.ping_argv[1:],
                              "--", *HOSTS[:WORKERS]], stdout=subprocess.PIPE, check=True, env=env)
        return float(res.stdout.split()[0])

    def check_run(self, workdir):
        """-check on the files of workdir: (wall seconds, peak RSS KiB, exit code)."""
        res = subprocess.run([self.args.concurrent_run, self.bin, "-check"], cwd=workdir,
                             stdout=subprocess.PIPE, check=True)
        seconds, failures, peak = res.stdout.split()
        return float(seconds), int(peak), int(failures)


ALERT_FILE = ('server : "smtp://127.0.0.1:2525"\nemail : "monitor@example.net"\n'
              'password : "secret"\nto : "ops@example.net"\n')


def big_check_file():
    """About 10 MB in 100,000 lines: 25,000 complete host blocks with long custom texts."""
    head = 'interval : "15"\nfast_retry_interval : "4"\npingcount : "3"\nworkers : "2"\n'
    # 85 bytes of each block are fixed; the message fills it to 400 bytes, 100 per line.
    msg = "rack 4 core switch unreachable, " * 9 + "x" * 27
    blocks = []
    for i in range(25000):
        blocks.append(f'host : "10.{i // 65536 % 256}.{i // 256 % 256}.{i % 256}"\n'
                      f'timeoutsec : "3"\nalertcount : "3"\npinglossmsg : "{msg} {i:06d} down"\n')
    text = head + "".join(blocks)
    # Trim the head lines' share so the file holds exactly 100,000 lines.
    lines = text.splitlines(keepends=True)[:100000]
    return "".join(lines)


def fmt_s(x):
    return f"{x:.3f} s"


def silent_hosts(args):
    """The silent-host figures, measured by bench/silent_hosts.py in a private network
    namespace; None when no such namespace or no nftables is available here."""
    if shutil.which("unshare") is None or shutil.which("nft") is None:
        print("warning: unshare or nft missing: the silent-host rows are left out", flush=True)
        return None
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "silent_hosts.py")
    cmd = ["unshare", "-n", "/usr/bin/python3", script, "--bin", args.bin, "--concurrent-run",
           args.concurrent_run, "--runs", str(args.silent_runs)]
    if args.before_bin:
        cmd += ["--before-bin", args.before_bin]
    res = subprocess.run(cmd, stdout=subprocess.PIPE)
    if res.returncode != 0:
        print("warning: the silent-host measurement failed: its rows are left out", flush=True)
        return None
    return json.loads(res.stdout)


def silent_rows(silent, before_label):
    if silent is None:
        return []

    def verdict(ok):
        return "met" if ok else "MISSED"

    rows = []
    names = [("after", "this build")] + ([("before", before_label)] if "before" in silent else [])
    for key, label in names:
        f = silent[key]
        check_target = 1.1 * (silent["ping"] + silent["timeout"])
        rows += [
            (f"Silent host's whole check ({label}), `timeoutsec` 1 / (ping time + 1 s)",
             f"{fmt_s(f['silent_check'])} / {fmt_s(silent['ping'] + silent['timeout'])} = "
             f"**{f['silent_check'] / (silent['ping'] + silent['timeout']):.2f}**", "≤ 1.1",
             verdict(f["silent_check"] <= check_target)),
            (f"Round with 5 silent hosts, batch schedule ({label}) / its ideal",
             f"{fmt_s(f['batch'])} / {fmt_s(f['batch_ideal'])} = "
             f"**{f['batch'] / f['batch_ideal']:.2f}**", "—", "context"),
            (f"Round with 5 silent hosts, window schedule ({label}) / its ideal",
             f"{fmt_s(f['window'])} / {fmt_s(f['window_ideal'])} = "
             f"**{f['window'] / f['window_ideal']:.2f}**", "≤ 1.2",
             verdict(f["window"] <= 1.2 * f["window_ideal"])),
        ]
        if f.get("latency") is not None:
            rows.append((f"Detection latency, defaults, `alertcount` 3 ({label}): silenced → "
                         "alert handed to the channels", f"**{f['latency']:.1f} s**", "—",
                         "context"))
    return rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    ap.add_argument("--fake-ping", required=True)
    ap.add_argument("--concurrent-run", required=True)
    ap.add_argument("--micro")
    ap.add_argument("--runs", type=int, default=int(os.environ.get("BENCH_RUNS", "5")))
    ap.add_argument("--idle-seconds", type=float,
                    default=float(os.environ.get("BENCH_IDLE_SECONDS", "20")))
    ap.add_argument("--out", required=True)
    # A second program to measure beside this one in the silent-host rows (scripts/bench.sh
    # builds it from BENCH_BEFORE_REV).
    ap.add_argument("--before-bin", default=os.environ.get("BENCH_BEFORE_BIN") or None)
    ap.add_argument("--before-label", default=os.environ.get("BENCH_BEFORE_REV", "before"))
    ap.add_argument("--silent-runs", type=int,
                    default=int(os.environ.get("BENCH_SILENT_RUNS", "3")))
    args = ap.parse_args()
    # Some runs happen inside their own working directories.
    for name in ("bin", "fake_ping", "concurrent_run", "micro", "before_bin"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))

    b = Bench(args)
    try:
        b.discover_ping_argv()
        print(f"ping as the monitor runs it: {' '.join(b.ping_argv)} <host>", flush=True)
        rounds, ideals, fpings, peaks, idles, idle_main, fakes = [], [], [], [], [], [], []
        floors, report_rounds, report_peaks, plain_peaks = [], [], [], []
        fake_ideal = sum(max(fake_delay(h) for h in batch) for batch in batches(HOSTS, WORKERS))
        for run in range(args.runs):
            # Interleaved, so slow phases of the shared machine hit every column alike.
            batch_time = statistics.median(b.concurrent_pings(HOSTS[i:i + WORKERS])
                                           for i in range(0, len(HOSTS), WORKERS))
            ideals.append(len(batches(HOSTS, WORKERS)) * batch_time)
            fpings.append(b.fping())
            elapsed, peak, idle = b.real_round(args.idle_seconds)
            rounds.append(elapsed)
            peaks.append(peak)
            if idle:
                idles.append(idle[0])
                if idle[1] is not None:
                    idle_main.append(idle[1])
            fake_elapsed, fake_peak = b.fake_round()
            fakes.append(fake_elapsed)
            plain_peaks.append(fake_peak)
            fake_elapsed, fake_peak = b.fake_round(reports=True)
            report_rounds.append(fake_elapsed)
            report_peaks.append(fake_peak)
            floors.append(b.fake_start_floor())
            print(f"run {run + 1}/{args.runs}: round {elapsed:.3f} s, ideal {ideals[-1]:.3f} s, "
                  f"fping {fpings[-1]:.3f} s, fake round {fakes[-1]:.3f} s "
                  f"(ideal {fake_ideal:.3f} s), peak RSS {peak} KiB", flush=True)

        small = b.workdir("check-small", monitor_config(HOSTS, 15))
        large = b.workdir("check-large", big_check_file())
        for d in (small, large):
            with open(os.path.join(d, "hostvigil_email.txt"), "w") as f:
                f.write(ALERT_FILE)
        large_size = os.path.getsize(os.path.join(large, "hostvigil_host.txt"))
        checks = {"small": [], "large": []}
        for _ in range(args.runs):
            checks["small"].append(b.check_run(small))
            checks["large"].append(b.check_run(large))
        for name, runs in checks.items():
            failed = sum(failures for _, _, failures in runs)
            if failed:
                print(f"warning: -check on the {name} file failed in {failed} runs", flush=True)

        micro = []
        report_write_ms = None
        if args.micro:
            res = subprocess.run([args.micro, "--benchmark_format=json",
                                  "--benchmark_repetitions=5",
                                  "--benchmark_report_aggregates_only=true"],
                                 stdout=subprocess.PIPE, check=True)
            for bm in json.loads(res.stdout)["benchmarks"]:
                if bm.get("aggregate_name") == "median":
                    micro.append((bm["run_name"], bm["real_time"], bm["time_unit"]))
                    if bm["run_name"] == "BM_write_reports_255_hosts":
                        report_write_ms = bm["real_time"]
        silent = silent_hosts(args)
    finally:
        b.cleanup()

    med = statistics.median
    round_s, ideal_s, fping_s, fake_s = med(rounds), med(ideals), med(fpings), med(fakes)
    peak_mib = med(peaks) / 1024
    ratio, fake_ratio = round_s / ideal_s, fake_s / fake_ideal

    def verdict(ok):
        return "met" if ok else "MISSED"

    rows = [
        ("Round efficiency: first round, 255 hosts, real ping / ideal",
         f"{fmt_s(round_s)} / {fmt_s(ideal_s)} = **{ratio:.3f}**", "≤ 1.10", verdict(ratio <= 1.10)),
        ("Scheduling overhead: first round, fixed-delay fake ping / exact ideal",
         f"{fmt_s(fake_s)} / {fmt_s(fake_ideal)} = **{fake_ratio:.3f}**", "≤ 1.02",
         verdict(fake_ratio <= 1.02)),
        ("Start-up floor: 50 fake pings without delay at once, times 6 batches",
         f"{fmt_s(6 * med(floors))} (ideal + floor = {fmt_s(fake_ideal + 6 * med(floors))})",
         "—", "context"),
        ("Reference: fping -c 1 on the same 255 addresses (our round / fping)",
         f"{fmt_s(round_s)} / {fmt_s(fping_s)} = **{round_s / fping_s:.2f}**", "—", "reference"),
        ("Peak resident memory (VmHWM) after a 255-host, 50-worker round",
         f"**{peak_mib:.2f} MiB**", "≤ 8 MiB", verdict(peak_mib <= 8)),
    ]
    rows.append(("Status page and metrics on vs off: fake-ping round, peak RSS (VmHWM)",
                 f"on {fmt_s(med(report_rounds))}, **{med(report_peaks) / 1024:.2f} MiB** / "
                 f"off {fmt_s(fake_s)}, **{med(plain_peaks) / 1024:.2f} MiB**", "—", "context"))
    if report_write_ms is not None:
        rows.append(("Rendering and writing the status page and the metrics, 255 hosts "
                     "(micro-benchmark, both files flushed to disk)",
                     f"**{report_write_ms:.2f} ms** per round = "
                     f"{report_write_ms / 1000 / fake_s * 100:.2f} % of the fake-ping round",
                     "—", "context"))
    if idles:
        per60 = med(idles) * 60 / args.idle_seconds
        main_txt = (f"; main thread {med(idle_main) * 60 / args.idle_seconds * 1000:.2f} ms"
                    if idle_main else "")
        rows.append((f"Idle CPU between rounds (measured over {args.idle_seconds:g} s, "
                     "scaled to 60 s)",
                     f"**{per60:.3f} s** per 60 s (clock ticks of 1/{PAGE_TICKS} s{main_txt})",
                     "< 0.1 s", verdict(per60 < 0.1)))
    small_t, small_kib = med(r[0] for r in checks["small"]), med(r[1] for r in checks["small"])
    large_t, large_kib = med(r[0] for r in checks["large"]), med(r[1] for r in checks["large"])
    rows.append(("-check, 255-host file", f"{fmt_s(small_t)}, peak RSS {small_kib / 1024:.2f} MiB",
                 "—", "—"))
    rows.append((f"-check, {large_size / 1e6:.1f} MB file of 100,000 lines",
                 f"{fmt_s(large_t)}, peak RSS {large_kib / 1024:.2f} MiB", "memory flat",
                 verdict(large_kib <= small_kib + 512)))

    rows += silent_rows(silent, args.before_label)

    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    out = [f"# Benchmark results", "",
           f"Measured {now} on {platform.machine()} Linux {platform.release()}, "
           f"{os.cpu_count()} CPUs, by `make bench` (scripts/bench.sh); median of {args.runs} runs, "
           "all columns measured interleaved in the same run.", "",
           "| Figure | Measured (median) | Target | Result |", "|---|---|---|---|"]
    out += [f"| {a} | {b_} | {c} | {d} |" for a, b_, c, d in rows]
    out += ["", "How each figure is taken:", "",
            f"- Round: from starting run mode (`workers` 50, `pingcount` 1, `tcpfallback` no) to "
            "its first wait line. Ideal: the number of batches (6) times the median wall time of "
            f"50 concurrent `{' '.join(b.ping_argv)} <host>` started directly by "
            "bench/concurrent_run.cpp, measured between the rounds.",
            f"- Fake ping: every host answers after {FAKE_BASE_MS} + ((n·37) mod 11)·{FAKE_STEP_MS} ms "
            "(n the address's last number); the ideal is the sum over batches of the slowest host.",
            "- fping: `fping -c 1 -q -t 3000` with its default 10 ms between requests.",
            "- Memory: VmHWM of the process right after its first round; idle CPU: utime + stime "
            "of /proc/<pid>/stat across the wait.",
            "- -check: wall time and the child's maximum resident set size (wait4), started by "
            "bench/concurrent_run.cpp so the figure holds no Python pages.",
            "- Silent hosts (bench/silent_hosts.py, inside `unshare -n`): 255 loopback hosts, "
            "`workers` 50, `pingcount` 1, `timeoutsec` 1, `tcpfallback` on; 127.0.0.10, .60, "
            ".110, .160 and .210 (one in each of the first five batches) made silent by an "
            "nftables set that drops every packet to them. Round: start to the first wait line, "
            f"median of {args.silent_runs}. A silent host's check: the same for a file with only "
            "that host (process start included). Batch ideal: the sum over batches of the "
            "slowest check, taking the measured silent check and, for the other hosts, the wall "
            "time of 45 concurrent pings; window ideal: the end of the last check when each host "
            "in order takes the first free of 50 workers, with the same durations. Detection "
            "latency: two hosts, every setting at its default and `alertcount` 3; the second "
            "host is silenced as the first wait line appears (the longest case) and the time "
            "runs to its \"Sending mail alert now\" line (a stand-in curl accepts at once)."]
    if micro:
        out += ["", "## Micro-benchmarks (median of 5 repetitions)", "",
                "| Benchmark | Time per call |", "|---|---|"]
        out += [f"| {name} | {t:.1f} {unit} |" for name, t, unit in micro]
    text = "\n".join(out) + "\n"
    with open(args.out, "w") as f:
        f.write(text)
    print()
    print(text)


if __name__ == "__main__":
    main()
