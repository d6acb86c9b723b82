#!/usr/bin/env bash
# The benchmark command (`make bench`): builds the program, the micro-benchmarks and the
# fixed-delay ping stand-in in build-bench, then measures and writes bench/results.md.
# BENCH_RUNS (default 5) sets how many runs each median takes; BENCH_IDLE_SECONDS (default 20)
# the idle window, whose CPU time is reported per 60 s.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh bench
dir=${HV_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOSTVIGIL_TESTS=OFF -DHOSTVIGIL_BENCH=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target hostvigil hv_micro_bench hv_fake_ping hv_concurrent_run
exec /usr/bin/python3 bench/run_bench.py --bin "$dir/hostvigil" --fake-ping "$dir/bench/hv_fake_ping" \
    --concurrent-run "$dir/bench/hv_concurrent_run" --micro "$dir/bench/hv_micro_bench" --out bench/results.md "$@"
