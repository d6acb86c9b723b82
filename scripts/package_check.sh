#!/usr/bin/env bash
# The package stage of the test command: builds the Debian package and the Linux archive with
# CPack, runs lintian on the package (no errors, no warnings), unpacks it into a temporary root
# and runs the program from there, and verifies both systemd units with systemd-analyze.
# Run as root it also runs the unpacked program under the units' privileges (no new
# privileges, only CAP_NET_RAW) to show that ping still works there.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
dir=${HV_PACKAGE_BUILD_DIR:-build-package}
jobs=$(nproc)

cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHOSTVIGIL_TESTS=OFF \
    -DCPACK_OUTPUT_FILE_PREFIX="$src/$dir/dist" >/dev/null
cmake --build "$dir" -j"$jobs" --target hostvigil >/dev/null
rm -rf "$dir/dist"
(cd "$dir" && cpack >/dev/null)
deb=$(ls "$dir"/dist/hostvigil_*_amd64.deb)
tgz=$(ls "$dir"/dist/hostvigil-*-linux-x86_64.tar.gz)
echo "built $deb and $tgz"

work=$(mktemp -d)
instance=
cleanup() {
    [ -n "$instance" ] && kill "$instance" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package check FAILED: $*" >&2; exit 1; }

echo "--- lintian"
lintian --fail-on error,warning "$deb" 2>&1 | grep -v "running with root privileges" || true
lintian --fail-on error,warning "$deb" >/dev/null 2>&1 || fail "lintian reports errors or warnings"

echo "--- contents"
dpkg-deb -f "$deb" Depends | grep -q "iputils-ping, curl" || fail "Depends lacks iputils-ping, curl"
root=$work/root
dpkg -x "$deb" "$root"
for f in usr/bin/hostvigil usr/lib/systemd/system/hostvigil.service \
    usr/lib/systemd/system/hostvigil@.service usr/share/doc/hostvigil/README.md \
    usr/share/doc/hostvigil/copyright usr/share/doc/hostvigil/changelog.Debian.gz \
    usr/share/doc/hostvigil/examples/hostvigil_host.txt \
    usr/share/doc/hostvigil/examples/hostvigil_email.txt usr/share/man/man1/hostvigil.1.gz; do
    [ -f "$root/$f" ] || fail "/$f missing from the package"
done
file "$root/usr/bin/hostvigil" | grep -q "stripped" || fail "the program is not stripped"
tar tzf "$tgz" | grep -qx "hostvigil-[0-9.]*-linux-x86_64/bin/hostvigil" || fail "archive lacks bin/hostvigil"

echo "--- the unpacked program"
program=$root/usr/bin/hostvigil
"$program" -h | grep -q "Usage:" || fail "-h printed no usage"
run_dir=$work/run
mkdir "$run_dir"
cp "$root"/usr/share/doc/hostvigil/examples/hostvigil_host.txt "$run_dir"/
cat >"$run_dir"/hostvigil_email.txt <<'CONF'
server : "smtp://127.0.0.1:2525"
email : "monitor@example.com"
password : "secret"
to : "oncall@example.com"
CONF
(cd "$run_dir" && "$program" -check) | tee "$work/check.txt"
grep -q "Result: OK" "$work/check.txt" || fail "-check of the example configuration failed"

echo "--- systemd-analyze verify"
units=$work/units
mkdir "$units"
for unit in hostvigil.service hostvigil@.service; do
    # The unit names /usr/bin/hostvigil; here it is the unpacked program.
    sed "s|^ExecStart=/usr/bin/hostvigil|ExecStart=$program|" \
        "$root/usr/lib/systemd/system/$unit" >"$units/$unit"
done
verify=$(cd "$units" && systemd-analyze verify ./hostvigil.service ./hostvigil@check.service 2>&1) ||
    fail "systemd-analyze verify: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify: $verify"
echo "both units verified"

echo "--- ping under the units' privileges"
if [ "$(id -u)" -eq 0 ] && setpriv --no-new-privs --bounding-set=-all,+net_raw \
    --inh-caps=-all,+net_raw --ambient-caps=-all,+net_raw true 2>/dev/null; then
    printf 'interval : "1"\nfast_retry_interval : "1"\npingcount : "1"\nhost : "127.0.0.1"\ntimeoutsec : "1"\nalertcount : "3"\ntcpfallback : "no"\n' \
        >"$run_dir"/hostvigil_host.txt
    (cd "$run_dir" && exec setpriv --no-new-privs --bounding-set=-all,+net_raw \
        --inh-caps=-all,+net_raw --ambient-caps=-all,+net_raw "$program" >"$work/run.txt" 2>&1) &
    instance=$!
    for _ in $(seq 100); do
        grep -q "\[127.0.0.1\] Ping" "$work/run.txt" && break
        sleep 0.1
    done
    kill -TERM "$instance"
    wait "$instance" || fail "run mode under the units' privileges ended with $?"
    instance=
    grep -q "\[127.0.0.1\] Ping OK" "$work/run.txt" || fail "ping failed under the units' privileges: $(cat "$work/run.txt")"
    echo "ping works with NoNewPrivileges and only CAP_NET_RAW"
else
    echo "not root: the check of ping under the units' privileges is skipped"
fi
echo "package check passed"
