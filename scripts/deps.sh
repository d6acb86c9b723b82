#!/usr/bin/env bash
# Installs what hostvigil needs, when it is missing: `runtime` (build and run) or `test`
# (everything the test command uses). Debian packages through apt-get when run as root;
# otherwise it names the missing packages and fails.
set -euo pipefail

want=${1:-test}
runtime_packages=(cmake g++ make iputils-ping curl nlohmann-json3-dev)
test_packages=(clang libclang-rt-14-dev clang-format libgtest-dev googletest python3 python3-aiosmtpd
               openssl faketime tzdata util-linux iproute2 nftables g++-mingw-w64-x86-64-posix wine
               wine64
               chromium python3-prometheus-client lintian dpkg-dev fakeroot systemd file gzip)
bench_packages=(fping libbenchmark-dev nftables)

packages=("${runtime_packages[@]}")
case "$want" in
    runtime) ;;
    test) packages+=("${test_packages[@]}") ;;
    bench) packages+=("${test_packages[@]}" "${bench_packages[@]}") ;;
    *) echo "usage: $0 runtime|test|bench" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]}" >&2
    echo "install them with: sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q >/dev/null
apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
