#!/usr/bin/env bash
# The benchmark command (`make bench`): builds the program, the micro-benchmarks and the
# fixed-delay ping stand-in in build-bench, then measures and writes bench/results.md.
# BENCH_RUNS (default 5) sets how many runs each median takes; BENCH_IDLE_SECONDS (default 20)
# the idle window, whose CPU time is reported per 60 s; BENCH_SILENT_RUNS (default 3) the runs
# of the silent-host rounds. BENCH_BEFORE_REV=<git revision> also builds the program of that
# revision and measures it beside this one in the silent-host rows.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh bench
dir=${HV_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOSTVIGIL_TESTS=OFF -DHOSTVIGIL_BENCH=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target hostvigil hv_micro_bench hv_fake_ping hv_concurrent_run
if [ -n "${BENCH_BEFORE_REV:-}" ]; then
    before="$dir/before"
    rm -rf "$before/src" && mkdir -p "$before/src"
    git archive "$BENCH_BEFORE_REV" | tar -x -C "$before/src"
    cmake -S "$before/src" -B "$before/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOSTVIGIL_TESTS=OFF >/dev/null
    cmake --build "$before/build" -j"$(nproc)" --target hostvigil
    export BENCH_BEFORE_BIN="$PWD/$before/build/hostvigil"
fi
exec /usr/bin/python3 bench/run_bench.py --bin "$dir/hostvigil" --fake-ping "$dir/bench/hv_fake_ping" \
    --concurrent-run "$dir/bench/hv_concurrent_run" --micro "$dir/bench/hv_micro_bench" --out bench/results.md "$@"
