#!/bin/sh
# Stops what keyring-start.sh started under $1.
dir=$1
for pidfile in "$dir/keyring.pid" "$dir/dbus.pid"; do
    if [ -f "$pidfile" ]; then
        kill "$(cat "$pidfile")" 2>/dev/null || true
        rm -f "$pidfile"
    fi
done
rm -rf "$dir/data" "$dir/runtime" "$dir/bus"
exit 0
