#!/usr/bin/env bash
# The test command: installs what the tests need, checks the formatting, then builds and runs
# every test in each variant: plain (warnings as errors), AddressSanitizer with
# UndefinedBehaviorSanitizer, ThreadSanitizer, the fuzz targets for a bounded time, the
# Windows build under Wine, the program alone in the Release configuration a packager
# builds (g++ and mingw), where the optimiser's extra warnings show, and the release packages
# (lintian, the unpacked program, the systemd units).
# Stages can be picked for a quick local run:
#   scripts/test.sh format plain asan tsan fuzz windows release package
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
# Every test is meant to run here: a Python test file with a skipped case fails (the test
# runner's list of expected skips aside). HOSTVIGIL_REQUIRE_ALL_TESTS=0 lets skips show as
# skipped instead, for a quick run on a machine that lacks something.
export HOSTVIGIL_REQUIRE_ALL_TESTS=${HOSTVIGIL_REQUIRE_ALL_TESTS:-1}

stages=("$@")
[ ${#stages[@]} -eq 0 ] && stages=(deps format plain asan tsan fuzz windows release package)

step() { printf '\n=== %s\n' "$*"; }

configure_and_test() {
    local dir=$1; shift
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOSTVIGIL_TESTS=ON -DHOSTVIGIL_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 900)
}

for stage in "${stages[@]}"; do
    case "$stage" in
    deps)
        step "dependencies"
        scripts/deps.sh test
        ;;
    format)
        step "clang-format"
        files=$(git ls-files '*.cpp' '*.h')
        clang-format --dry-run --Werror $files
        echo "formatting clean"
        ;;
    plain)
        step "build and test"
        configure_and_test build
        ;;
    asan)
        step "AddressSanitizer + UndefinedBehaviorSanitizer"
        ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
            configure_and_test build-asan -DHOSTVIGIL_SANITIZE=address,undefined
        ;;
    tsan)
        step "ThreadSanitizer"
        TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
            configure_and_test build-tsan -DHOSTVIGIL_SANITIZE=thread
        ;;
    fuzz)
        step "fuzz targets"
        if [ -d fuzz ]; then
            cmake -S "$root" -B build-fuzz -DHOSTVIGIL_FUZZ=ON -DHOSTVIGIL_TESTS=OFF -DHOSTVIGIL_WERROR=ON \
                -DCMAKE_CXX_COMPILER=clang++ >/dev/null
            cmake --build build-fuzz -j"$jobs"
            for target in build-fuzz/fuzz/fuzz_*; do
                [ -x "$target" ] || continue
                corpus=$(mktemp -d)
                "$target" -max_total_time="${HOSTVIGIL_FUZZ_SECONDS:-30}" -max_len=20000 "$corpus" \
                    fuzz/corpus/"$(basename "$target")" 2>&1 | tail -n 3
                rm -rf "$corpus"
            done
        else
            echo "no fuzz targets yet"
        fi
        ;;
    windows)
        step "Windows build"
        scripts/windows.sh
        ;;
    release)
        step "Release builds of the program (g++ and mingw, warnings as errors)"
        cmake -S "$root" -B build-release -DCMAKE_BUILD_TYPE=Release -DHOSTVIGIL_WERROR=ON >/dev/null
        cmake --build build-release -j"$jobs" --target hostvigil
        cmake -S "$root" -B build-release-windows -DCMAKE_BUILD_TYPE=Release -DHOSTVIGIL_WERROR=ON \
            -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
        cmake --build build-release-windows -j"$jobs" --target hostvigil
        ;;
    package)
        step "packages"
        scripts/package_check.sh
        ;;
    *)
        echo "unknown stage: $stage" >&2
        exit 2
        ;;
    esac
done
step "all stages passed: ${stages[*]}"
