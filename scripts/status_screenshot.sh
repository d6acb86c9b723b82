#!/usr/bin/env bash
# Retakes docs/status_page.png: runs the built program (build/hostvigil) for a few rounds on
# loopback hosts, one of them kept down by a ping stand-in that fails for 127.0.0.66 and runs
# the real ping for every other host, then opens the status page in headless Chromium and
# takes the screenshot. Prints the -summary table and the metrics file of the same run, as the
# README shows them.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bin=${HOSTVIGIL_BIN:-$root/build/hostvigil}
rounds=${ROUNDS:-10}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/run" "$work/profile"

real_ping=$(command -v ping)
cat > "$work/bin/ping" <<SH
#!/bin/sh
for a; do host=\$a; done
[ "\$host" = 127.0.0.66 ] && { sleep 1; echo "1 packets transmitted, 0 received, 100% packet loss"; exit 1; }
exec $real_ping "\$@"
SH
chmod +x "$work/bin/ping"

cd "$work/run"
cat > hostvigil_host.txt <<'CFG'
interval : "2"
fast_retry_interval : "2"
pingcount : "2"
workers : "4"
instance_name : "lab-berlin"
status_page : "hostvigil_status.html"
metrics_file : "hostvigil.prom"
CFG
for h in 127.0.0.1 127.0.0.2 127.0.0.66 localhost; do
    printf 'host : "%s"\ntimeoutsec : "1"\nalertcount : "3"\ntcpfallback : "no"\n' "$h" \
        >> hostvigil_host.txt
done
: > hostvigil_email.txt

PATH="$work/bin:$PATH" "$bin" -s &
pid=$!
sleep $((rounds * 3))
"$bin" -summary
echo
cat hostvigil.prom
kill -TERM "$pid"
wait "$pid" || true

chromium --headless --no-sandbox --disable-gpu --disable-background-networking \
    --disable-component-update --disable-sync --no-first-run --hide-scrollbars \
    --user-data-dir="$work/profile" --window-size=1180,400 \
    --screenshot="$root/docs/status_page.png" "file://$work/run/hostvigil_status.html" \
    >/dev/null 2>&1
echo "wrote docs/status_page.png"
