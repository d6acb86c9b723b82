#!/usr/bin/env bash
# Release packages: dist/hostvigil-<version>-windows-x86_64.zip (hostvigil.exe cross-built with
# mingw-w64) and dist/hostvigil-<version>-linux-x86_64.tar.gz, each holding the program, the
# README and the example configuration in one top folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
version=$(sed -n 's/^project(hostvigil VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "no version in CMakeLists.txt" >&2; exit 1; }
mkdir -p dist

# RelWithDebInfo: the optimisation level every test runs at (-O3 makes g++ 12 report false
# -Wrestrict warnings in the standard library); the debug information is stripped below.
cmake -S "$root" -B build-dist-linux -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOSTVIGIL_TESTS=OFF >/dev/null
cmake --build build-dist-linux -j"$jobs" --target hostvigil
cmake -S "$root" -B build-windows-dist -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOSTVIGIL_TESTS=OFF >/dev/null
cmake --build build-windows-dist -j"$jobs" --target hostvigil
strip -o build-dist-linux/hostvigil.release build-dist-linux/hostvigil
x86_64-w64-mingw32-strip -o build-windows-dist/hostvigil.release.exe build-windows-dist/hostvigil.exe

# Packing goes through Python's zipfile and tarfile, so no zip tool is needed, and every entry
# gets fixed owner and mode bits.
/usr/bin/python3 - "$version" <<'PY'
import os, sys, tarfile, zipfile

version = sys.argv[1]
docs = ["README.md"] + sorted(os.path.join("examples", n) for n in os.listdir("examples"))

def pack_zip(name, program):
    with zipfile.ZipFile(f"dist/{name}.zip", "w", zipfile.ZIP_DEFLATED) as z:
        for path in [program] + docs:
            arc = os.path.join(name, "hostvigil.exe" if path == program else path)
            z.write(path, arc)

def pack_tar(name, program):
    def tidy(info):
        info.uid = info.gid = 0
        info.uname = info.gname = "root"
        info.mode = 0o755 if info.isdir() or info.name.endswith("/hostvigil") else 0o644
        return info
    with tarfile.open(f"dist/{name}.tar.gz", "w:gz") as t:
        for path in [program] + docs:
            arc = os.path.join(name, "hostvigil" if path == program else path)
            t.add(path, arc, filter=tidy)

pack_zip(f"hostvigil-{version}-windows-x86_64", "build-windows-dist/hostvigil.release.exe")
pack_tar(f"hostvigil-{version}-linux-x86_64", "build-dist-linux/hostvigil.release")
PY
ls -l dist/hostvigil-"$version"-*
