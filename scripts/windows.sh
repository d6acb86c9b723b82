#!/usr/bin/env bash
# Cross-builds hostvigil.exe and its tests with mingw-w64 and, where Wine is installed, runs
# the unit tests and the black-box tests of the .exe under Wine in a private prefix.
# HV_WINDOWS_BUILD_DIR picks the build directory (default build-windows).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir=${HV_WINDOWS_BUILD_DIR:-build-windows}
jobs=$(nproc)
started=$(date +%s)

if ! command -v wine >/dev/null 2>&1 || ! command -v wineserver >/dev/null 2>&1; then
    echo "wine is not installed: the Windows tests are skipped, only hostvigil.exe is built"
    cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOSTVIGIL_TESTS=OFF -DHOSTVIGIL_WERROR=ON >/dev/null
    cmake --build "$dir" -j"$jobs" --target hostvigil
    echo "built $dir/hostvigil.exe"
    exit 0
fi

# A private, headless Wine: its own prefix under the build directory, no debug output, no
# .NET or HTML engine installers, and no debugger dump when a program crashes.
mkdir -p "$dir"
export WINEPREFIX="$root/$dir/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export WINEARCH=win64
cleanup() { wineserver -k >/dev/null 2>&1 || true; }
trap cleanup EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating the Wine prefix $WINEPREFIX"
    wineboot --init >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
fi
# One server for the whole run: without it every program start waits for Wine's background
# processes, which also hold ctest's output pipe open.
wineserver -p >/dev/null 2>&1
# Wine's own services start with the first program and live on with the server; started here,
# they hold no test's output pipe open.
wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true

cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOSTVIGIL_TESTS=ON -DHOSTVIGIL_WERROR=ON >/dev/null
cmake --build "$dir" -j"$jobs"
echo "built $dir/hostvigil.exe"
(cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 900 "$@")
echo "Windows tests under Wine passed in $(($(date +%s) - started)) s"
